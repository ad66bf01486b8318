#pragma once
// The commands that write to the meter: write and reset-billing.

#include "cli/options.h"
#include "meter/meterinfo.h"
#include "meter/settingswrite.h"
#include "records/dbftable.h"

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

// The local register a write is to be recorded in, opened before the meter is
// touched; nothing, with *exit set and the reason on stderr, in SQL mode (the
// production database's records are not made from the command line) or when the
// register cannot be used.
std::optional<DbfTable> registerForWrite(int *exit);
// Records a completed write as the window records it; ExitDone or ExitStorage.
int recordCompletedWrite(DbfTable &table, const SettingsWrite &write, const MeterInfo &info);

int commandWrite(const Options &options);
int commandResetBilling(const Options &options);

} // namespace zk::cli
