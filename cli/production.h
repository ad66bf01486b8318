#pragma once
// The command line in SQL mode: the bench identified first, writes recorded in the
// production database as the window records them, the drift per day, defects.

#include "cli/options.h"
#include "meter/meterinfo.h"
#include "meter/settingswrite.h"
#include "records/production.h"

#include <memory>
#include <optional>

namespace zk::cli {

// SQL mode, decided as the window decides it: the marker file in the working
// directory or the value "Sql" of the preferences.
bool sqlModeHere();

// The production database with this computer, operator and bench identified, and
// the PC clock set from the server; nothing, with the reason on stderr and *exit
// set to ExitStorage, when the database cannot be used or does not know them.
struct ProductionBench {
    std::unique_ptr<ProductionDatabase> db;
    BenchIdentity bench;
};
std::optional<ProductionBench> identifiedBench(int *exit);

// The meter `serial` may get a recorded write: registered and not under repair.
// ExitDone, or the refusal on stderr with ExitRefused (under repair) or ExitStorage.
int productionWriteAllowed(ProductionBench &bench, int serial);

// The drift per day of the meter polled into `info`, as the window shows it; empty
// when its last setting time is unknown.
QString productionDrift(ProductionBench &bench, const MeterInfo &info);

// Records a completed write; ExitDone or ExitStorage with the window's message.
int recordProductionWrite(ProductionBench &bench, const SettingsWrite &write, const MeterInfo &info);

// spoilage NUMBER CODE
int commandSpoilage(const Options &options);

} // namespace zk::cli
