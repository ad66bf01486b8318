#include "ops/verify.h"

#include "meter/readout.h"

#include <QJsonObject>

namespace zk {

namespace {

QString clockText(const QDateTime &t)
{
    return t.isValid() ? t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) : QStringLiteral("—");
}

QString yesNo(bool on)
{
    return on ? QStringLiteral("да") : QStringLiteral("нет");
}

template<typename T, typename Text>
void compare(QList<Mismatch> &out, const QString &what, const std::optional<T> &written,
             const std::optional<T> &read, Text text)
{
    if (!written)
        return;
    if (!read || !(text(*read) == text(*written)))
        out << Mismatch{what, text(*written), read ? text(*read) : QStringLiteral("—")};
}

QString zoneText(const TariffZone &z, bool calendars)
{
    QString text = QStringLiteral("тариф %1 с %2").arg(z.tariff).arg(z.start.toString(QStringLiteral("HH:mm")));
    if (calendars)
        text += QStringLiteral(", типы дней %1").arg(int(z.days));
    return text;
}

template<typename T, typename Text>
QString listText(const QList<T> &list, Text text)
{
    QStringList parts;
    for (const T &item : list)
        parts << text(item);
    return parts.isEmpty() ? QStringLiteral("—") : parts.join(QStringLiteral(", "));
}

} // namespace

QList<Mismatch> settingsMismatches(const SettingsWrite &w, const MeterInfo &after, qint64 elapsedMs)
{
    QList<Mismatch> out;
    if (w.clock) {
        const QDateTime expected = zoneFree(w.clock->date, w.clock->time).addMSecs(elapsedMs);
        const QDateTime read = after.clock ? zoneFree(after.clock->date(), after.clock->time()) : QDateTime();
        if (!read.isValid() || qAbs(expected.msecsTo(read)) > ClockToleranceMs)
            out << Mismatch{frameName(fn::WriteClock), clockText(expected), clockText(read)};
        if (!after.clock || after.clock->summer != w.clock->summer)
            out << Mismatch{QStringLiteral("автопереход на летнее время"), yesNo(w.clock->summer),
                            after.clock ? yesNo(after.clock->summer) : QStringLiteral("—")};
    }
    const auto number = [](auto v) { return QString::number(v); };
    compare(out, frameName(fn::WriteCorrection), w.correction, after.correction, number);
    compare(out, frameName(fn::WriteSerial), w.serial, after.serial, number);
    compare(out, frameName(fn::WriteBilling), w.billing, after.billing,
            [](const BillingDay &b) { return QStringLiteral("день %1, час %2").arg(b.day).arg(b.hour); });
    compare(out, frameName(fn::WriteDdm), w.ddm, after.ddm,
            [](const Triple &t) { return QStringLiteral("%1, %2, %3").arg(t[0]).arg(t[1]).arg(t[2]); });
    compare(out, frameName(fn::WriteIndication), w.indication, after.indication,
            [](quint8 v) { return QString::number(v); });
    return out;
}

QStringList notReadBack(const SettingsWrite &w)
{
    // The password frame 0x14 has no read request.
    return w.newPassword && *w.newPassword != w.accessPassword ? QStringList{QStringLiteral("новый пароль")}
                                                              : QStringList{};
}

QList<Mismatch> scheduleMismatches(const TariffSchedule &written, const TariffSchedule &read, int firmware)
{
    QList<Mismatch> out;
    if (written.oneTariff != read.oneTariff) {
        out << Mismatch{QStringLiteral("работа по одному тарифу"), yesNo(written.oneTariff), yesNo(read.oneTariff)};
        return out;
    }
    if (written.oneTariff)
        return out;
    const bool calendars = hasCalendars(firmware);
    for (int z = 0; z < tariff::Zones; ++z) {
        const QString w = zoneText(written.zones[size_t(z)], calendars);
        const QString r = zoneText(read.zones[size_t(z)], calendars);
        if (w != r)
            out << Mismatch{QStringLiteral("зона %1").arg(z), w, r};
    }
    if (!calendars)
        return out;
    const auto holiday = [](const Holiday &h) { return QStringLiteral("%1.%2").arg(h.day).arg(h.month); };
    const auto transfer = [](const Transfer &t) {
        return QStringLiteral("%1 (%2)").arg(t.date.toString(Qt::ISODate)).arg(t.dayType);
    };
    if (written.holidays != read.holidays)
        out << Mismatch{frameName(fn::WriteHoliday), listText(written.holidays, holiday), listText(read.holidays, holiday)};
    if (written.transfers != read.transfers)
        out << Mismatch{frameName(fn::WriteTransfer), listText(written.transfers, transfer),
                        listText(read.transfers, transfer)};
    return out;
}

QJsonArray mismatchesJson(const QList<Mismatch> &mismatches)
{
    QJsonArray list;
    for (const Mismatch &m : mismatches)
        list.append(QJsonObject{{QStringLiteral("what"), m.what}, {QStringLiteral("written"), m.written},
                                {QStringLiteral("read"), m.read}});
    return list;
}

QString mismatchesText(const QList<Mismatch> &mismatches)
{
    QStringList lines;
    for (const Mismatch &m : mismatches)
        lines << QStringLiteral("%1: записано %2, прочитано %3").arg(m.what, m.written, m.read);
    return lines.join(QLatin1Char('\n'));
}

QString ReadBackVerdict::text() const
{
    if (!failure.isEmpty())
        return failure;
    return mismatches.isEmpty() ? QString()
                                : QStringLiteral("Счетчик подтвердил запись, но хранит другое:\n") + mismatchesText(mismatches);
}

bool SettingsReadBack::take(const QByteArray &frame, const QDateTime &arrival)
{
    if (!m_read.take(frame))
        return false;
    if (quint8(frame.at(0)) == fn::ReadClock)
        m_clockArrival = arrival;
    return true;
}

ReadBackVerdict SettingsReadBack::verdict() const
{
    const qint64 elapsed = m_clockWritten.isValid() && m_clockArrival.isValid() ? m_clockWritten.msecsTo(m_clockArrival) : 0;
    return ReadBackVerdict{QString(), settingsMismatches(m_written, m_read, elapsed), zk::notReadBack(m_written)};
}

} // namespace zk
