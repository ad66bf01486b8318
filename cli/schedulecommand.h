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
// tariff (1..3) and start are required; days, holidays and transfers may be left
// out and then hold what the window starts with (every day type, the default
// holidays, no transfers). Holidays and transfers are added one by one as the
// page's "Добавить" adds them: in its order, a transfer date before `today` taken
// as today (said in `notes`), a full list, an impossible date or a date after 2099
// refused.
struct ScheduleFile {
    std::optional<TariffSchedule> schedule;
    QString error;     // names the field; empty when the file was taken
    QStringList notes; // what was changed on the way in
};
ScheduleFile parseScheduleFile(const QByteArray &json, const QDate &today);

} // namespace zk::cli
