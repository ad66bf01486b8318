#pragma once
// The commands that write to the meter: write and reset-billing.

#include "cli/options.h"
#include "cli/production.h"
#include "meter/meterinfo.h"
#include "meter/settingswrite.h"
#include "records/dbftable.h"
#include "records/settingsrecord.h"

#include <QDateTime>
#include <QStringList>
#include <optional>

namespace zk::cli {

// The options of `write` as a settings write; nothing with `error` set when an
// option is unknown, lacks its value or holds one the meter cannot take. `now` is
// the time `--time now` stands for. The access password is the global one.
// `--serial next` sets *nextSerial (the number is the register's to propose).
std::optional<SettingsWrite> parseWrite(const QStringList &args, const QString &accessPassword,
                                        const QDateTime &now, QString *error, bool *nextSerial = nullptr);

// What the record of a completed write takes from the poll cycle, as the window's
// record takes it from the readout.
ReadoutForRecord readoutOf(const MeterInfo &info, const SettingsWrite &write);

// Where a completed write is recorded: the local register, or in SQL mode the
// production database with the bench identified.
struct WriteRecorder {
    std::optional<DbfTable> local;
    std::optional<ProductionBench> production;
    // In SQL mode the meter must be registered and not under repair; ExitDone or
    // the refusal's exit status, with the reason on stderr.
    int allowed(int serial);
    // The number "+" proposes; nothing (reason on stderr) on a storage error.
    std::optional<qint64> nextFreeNumber();
    // ExitDone, or ExitStorage with the reason on stderr.
    int record(const SettingsWrite &write, const MeterInfo &info);
};
// Opened before the meter is touched; nothing, with *exit set and the reason on
// stderr, when it cannot be used (in SQL mode: an unknown computer, operator or bench).
std::optional<WriteRecorder> recorderForWrite(int *exit);

int commandWrite(const Options &options);
int commandResetBilling(const Options &options);

} // namespace zk::cli
