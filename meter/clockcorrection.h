#pragma once
// The clock correction aids: the drift of the meter's clock per day since its last
// recorded setting, and the daily correction recalculated from a bench measurement.

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <optional>

namespace zk {

// Seconds a day the meter's clock runs ahead of the PC's since `lastSetting`:
// (meter - pc) / (pc - lastSetting) in days, times 86400. Nothing without a last
// setting or when it lies half a day or less before `pc`. Each is taken as its clock shows
// it (date and time of day, whatever its zone).
std::optional<double> driftPerDay(const QDateTime &meter, const QDateTime &pc, const QDateTime &lastSetting);
// Rounded to 5 significant digits, one digit after the locale's decimal separator.
QString driftText(double drift, const QLocale &locale = QLocale());

// The recalculation is offered for a whole number below 1875.
bool correctionMeasurementValid(const QString &text);
// The correction for the measurement n, limited to -31..31. Nothing for a
// measurement so far below zero that the period it stands for is not positive.
std::optional<int> recalculatedCorrection(qint64 n);

} // namespace zk
