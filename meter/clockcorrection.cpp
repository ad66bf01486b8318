#include "meter/clockcorrection.h"

#include "meter/readout.h"

#include <algorithm>
#include <cmath>

namespace zk {

std::optional<double> driftPerDay(const QDateTime &meterTime, const QDateTime &pcTime, const QDateTime &lastSettingTime)
{
    if (!meterTime.isValid() || !pcTime.isValid() || !lastSettingTime.isValid())
        return std::nullopt;
    // The three are compared as clocks show them: the meter's has no zone, and a local time
    // of the PC would otherwise differ from it by the summer-time offset.
    const QDateTime meter = zoneFree(meterTime.date(), meterTime.time());
    const QDateTime pc = zoneFree(pcTime.date(), pcTime.time());
    const QDateTime lastSetting = zoneFree(lastSettingTime.date(), lastSettingTime.time());
    const double sincePc = double(lastSetting.msecsTo(pc)) / 86400000.0;
    if (sincePc <= 0.5)
        return std::nullopt;
    const double ahead = double(pc.msecsTo(meter)) / 86400000.0;
    return ahead / sincePc * 86400.0;
}

QString driftText(double drift, const QLocale &locale)
{
    const double rounded = QString::number(drift, 'g', 5).toDouble();
    QLocale plain = locale;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    return plain.toString(rounded, 'f', 1);
}

bool correctionMeasurementValid(const QString &text)
{
    bool ok = false;
    const qint64 n = text.trimmed().toLongLong(&ok);
    return ok && n < 1875;
}

std::optional<int> recalculatedCorrection(qint64 n)
{
    const double x = double(n) / 1e10 + 0.001953;
    if (x <= 0)
        return std::nullopt;
    const double f = 1.0 / x;
    const double z = 1e6 * f / 512.0 - 1e6;
    const double r = std::nearbyint(z); // halves to the even neighbour
    const double value = std::trunc(-r / 2.0);
    return int(std::clamp(value, -31.0, 31.0));
}

} // namespace zk
