#include "meter/settingswrite.h"

#include "link/frame.h"

namespace zk {

const QString FactoryPassword = QStringLiteral("1");

namespace {

std::optional<qint64> wholeNumber(const QString &text)
{
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok, 10);
    return ok ? std::optional<qint64>(v) : std::nullopt;
}

QByteArray le(quint32 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
    return out;
}

} // namespace

quint16 passwordValue(const QString &text)
{
    const auto v = wholeNumber(text);
    return v ? quint16(quint64(*v) & 0xFFFF) : 0;
}

QByteArray passwordFrame(const QString &text)
{
    return makeFrame(req::Password, le(passwordValue(text), 2));
}

bool writeAllowed(bool connected, const QString &accessPassword, const QString &newPassword,
                  bool writeNewPassword)
{
    if (!connected)
        return false;
    const auto access = wholeNumber(accessPassword);
    if (!access || *access > 65535)
        return false;
    const auto fresh = wholeNumber(newPassword);
    if (fresh && *fresh > 65535)
        return false;
    return !writeNewPassword || fresh;
}

quint8 correctionByte(int correction)
{
    return correction < 0 ? quint8(-correction) : quint8(correction | 0x20);
}

QByteArray clockFrame(const ClockSetting &c)
{
    QByteArray data;
    data.append(char(toBcd(c.time.second())));
    data.append(char(toBcd(c.time.minute())));
    data.append(char(toBcd(c.time.hour())));
    data.append(char(c.date.dayOfWeek()));
    data.append(char(toBcd(c.date.day())));
    data.append(char(toBcd(c.date.month())));
    data.append(char(toBcd(c.date.year() - 2000)));
    data.append(char(c.summer ? 0x80 : 0x00));
    return makeFrame(req::WriteClock, data);
}

QByteArray serialFrame(int serial)
{
    return makeFrame(req::WriteSerial, le(quint32(serial), 3));
}

QByteArray ddmFrame(const Triple &numbers)
{
    QByteArray data;
    for (qint64 n : numbers)
        data.append(le(quint32(n), 3));
    return makeFrame(req::WriteDdm, data);
}

QString settingsProblem(const SettingsWrite &w)
{
    if (w.ddm) {
        for (qint64 n : *w.ddm)
            if (n < 0 || n > MaxDdm)
                return QStringLiteral("Номер ДДМ %1 не помещается в счетчик: допустимы номера от 0 до %2.")
                    .arg(n)
                    .arg(MaxDdm);
    }
    if (w.clock && (!w.clock->date.isValid() || !w.clock->time.isValid() || w.clock->date.year() < 2000
                    || w.clock->date.year() > 2099))
        return QStringLiteral("Дата для записи в счетчик должна быть в 2000-2099 годах.");
    return QString();
}

QList<QByteArray> settingsFrames(const SettingsWrite &w)
{
    QList<QByteArray> frames;
    frames << passwordFrame(w.accessPassword);
    if (w.clock)
        frames << clockFrame(*w.clock);
    if (w.newPassword && *w.newPassword != w.accessPassword)
        frames << passwordFrame(*w.newPassword);
    if (w.correction)
        frames << makeFrame(req::WriteCorrection, QByteArray(1, char(correctionByte(*w.correction))));
    if (w.serial)
        frames << serialFrame(*w.serial);
    if (w.address)
        frames << makeFrame(req::WriteAddress, QByteArray(1, char(quint8(*w.address))));
    if (w.billing) {
        QByteArray data;
        data.append(char(toBcd(w.billing->hour)));
        data.append(char(toBcd(w.billing->day)));
        frames << makeFrame(req::WriteBilling, data);
    }
    if (w.ddm)
        frames << ddmFrame(*w.ddm);
    if (w.indication)
        frames << makeFrame(req::WriteIndication, QByteArray(1, char(*w.indication & 0x0F)));
    if (w.resetTariff)
        frames << makeFrame(req::OneTariff);
    return frames;
}

QString frameName(quint8 function)
{
    switch (function) {
    case fn::Password: return QStringLiteral("пароль");
    case fn::WriteClock: return QStringLiteral("время");
    case fn::WriteCorrection: return QStringLiteral("суточная коррекция");
    case fn::WriteSerial: return QStringLiteral("заводской номер");
    case fn::WriteAddress: return QStringLiteral("адрес");
    case fn::WriteBilling: return QStringLiteral("РДЧ");
    case fn::WriteDdm: return QStringLiteral("номера ДДМ");
    case fn::WriteIndication: return QStringLiteral("индикация");
    case fn::WriteZones: return QStringLiteral("тарифное расписание");
    case fn::ResetBilling: return QStringLiteral("сброс показаний на расчетный день");
    case fn::WriteDayTypes: return QStringLiteral("типы дней");
    case fn::WriteHoliday: return QStringLiteral("праздники");
    case fn::WriteTransfer: return QStringLiteral("переносы");
    default: return QStringLiteral("функция 0x%1").arg(function, 2, 16, QLatin1Char('0'));
    }
}

QList<QByteArray> billingResetFrames(const QString &accessPassword)
{
    return {passwordFrame(accessPassword), makeFrame(req::ResetBilling)};
}

} // namespace zk
