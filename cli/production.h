#pragma once
// Where the command line records: the modes as the window would fix them here, and in
// SQL mode the production database with the bench identified first; the drift per day;
// defects.

#include "cli/options.h"
#include "meter/meterinfo.h"
#include "ops/preferences.h"
#include "ops/records.h"

#include <QDateTime>
#include <memory>
#include <optional>

namespace zk::cli {

// The exit status of an outcome that is not Done.
int exitOf(const Outcome &outcome);
// The outcome's text on stderr, after `prefix`.
void sayOutcome(const Outcome &outcome, const QString &prefix = QString());

struct Bench {
    Modes modes;
    std::unique_ptr<ProductionSession> production; // in SQL mode
    WriteRecords records{nullptr};
};

// The modes of this working directory and, in SQL mode, the bench identified with the PC
// clock set from the server. Nothing, with the reason on stderr and in `problem` and *exit
// set, when the database cannot be used or does not know the computer, the operator or the
// bench.
std::optional<Bench> openBench(int *exit, QString *problem = nullptr);

// The drift per day of the meter polled into `info`, its clock paired with the PC's time
// at the clock reply's arrival; empty when unknown.
QString productionDrift(Bench &bench, const MeterInfo &info, const QDateTime &clockArrival);

// spoilage NUMBER CODE
int commandSpoilage(const Options &options);

// fix: one poll cycle, its readings recorded as "Зафиксировать в БД" records them.
int commandFix(const Options &options);

} // namespace zk::cli
