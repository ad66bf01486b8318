#pragma once
// zelta-kn-cli schedule read|write: the tariff schedule with its holidays and
// transfers, read from the meter or written to it as the window's page does.

#include "cli/options.h"
#include "schedule/tariffschedule.h"

#include <QByteArray>
#include <QDate>
#include <QJsonObject>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <optional>

namespace zk::cli {

int commandSchedule(const Options &options);

// {one_tariff, zones: [{tariff, start "HH:MM", days}], holidays: [{day, month}],
// transfers: [{date "YYYY-MM-DD", day_type}]} in list order; below firmware 10 the
// zones carry no days and there are no holidays and transfers.
QJsonObject scheduleJson(const TariffSchedule &schedule, int firmware);
// The same as readable lines.
QString scheduleText(const TariffSchedule &schedule, int firmware, const QLocale &locale = QLocale());

// A schedule file: the shape scheduleJson() prints. one_tariff and the six zones with
// tariff (1..3) and start are required; days, holidays and transfers may be left out
// and then hold what the window starts with (every day type, the default holidays, no
// transfers). Holidays and transfers are taken as they stand and in the file's order,
// as a read gives them: at most 16 of each, dates that exist, years 2000..2099.
struct ScheduleFile {
    std::optional<TariffSchedule> schedule;
    QString error; // names the field; empty when the file was taken
};
ScheduleFile parseScheduleFile(const QByteArray &json);

} // namespace zk::cli
