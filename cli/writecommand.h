#pragma once
// The commands that write to the meter: write and reset-billing.

#include "cli/options.h"
#include "ops/settingsoperation.h"

#include <QDateTime>
#include <QStringList>
#include <optional>

namespace zk::cli {

// The options of `write` as a request; nothing with `error` set when an option holds a
// value the meter cannot take. `now` is the time `--time now` stands for. The access
// password is the global one.
std::optional<SettingsRequest> parseWrite(const Options &options, const QDateTime &now, QString *error);
// The same from the words after `write` (an unknown option or a missing value refused too).
std::optional<SettingsRequest> parseWrite(const QStringList &args, const QString &accessPassword,
                                          const QDateTime &now, QString *error);

int commandWrite(const Options &options);
int commandResetBilling(const Options &options);

} // namespace zk::cli
