#include "meter/readout.h"

#include "link/frame.h"

#include <QRegularExpression>
#include <cmath>

namespace zk {

namespace {

// True when the frame holds `size` data bytes (the reply's own layout).
bool holds(const QByteArray &frame, int size)
{
    return dataSize(frame) >= size;
}

quint8 at(const QByteArray &frame, int i)
{
    return quint8(frame.at(2 + i));
}

QLocale plainNumbers(QLocale locale)
{
    locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
    return locale;
}

} // namespace

std::optional<int> decodeSerial(const QByteArray &frame)
{
    if (!holds(frame, layout::Serial))
        return std::nullopt;
    return int(dataNumber(frame, 0, 2) | (quint32(at(frame, 2) & 0x01) << 16));
}

std::optional<MeterClock> decodeClock(const QByteArray &frame)
{
    if (!holds(frame, layout::Clock))
        return std::nullopt;
    MeterClock c;
    c.second = bcd(at(frame, 0));
    c.minute = bcd(at(frame, 1));
    c.hour = bcd(at(frame, 2));
    c.weekday = at(frame, 3);
    c.day = bcd(at(frame, 4));
    c.month = bcd(at(frame, 5));
    c.year = 2000 + bcd(at(frame, 6));
    c.summer = (at(frame, 7) & 0x80) != 0;
    return c;
}

int correctionFromByte(quint8 byte)
{
    const int magnitude = byte & 0x1F;
    return (byte & 0x20) ? magnitude : -magnitude;
}

std::optional<int> decodeCorrection(const QByteArray &frame)
{
    if (!holds(frame, layout::Correction))
        return std::nullopt;
    return correctionFromByte(at(frame, 0));
}

std::optional<Triple> decodeDdm(const QByteArray &frame)
{
    if (!holds(frame, layout::Ddm))
        return std::nullopt;
    return Triple{dataNumber(frame, 0, 3), dataNumber(frame, 3, 3), dataNumber(frame, 6, 3)};
}

std::optional<quint8> decodeStatus(const QByteArray &frame)
{
    if (!holds(frame, layout::Status))
        return std::nullopt;
    return at(frame, 0);
}

std::optional<quint8> decodeIndication(const QByteArray &frame)
{
    if (!holds(frame, layout::Indication))
        return std::nullopt;
    return at(frame, 0);
}

quint64 count40(const QByteArray &frame, int i)
{
    return quint64(dataNumber(frame, i, 4)) | (quint64(at(frame, i + 4)) << 32);
}

std::optional<Readings> decodeReadings(const QByteArray &frame)
{
    if (!holds(frame, layout::Readings))
        return std::nullopt;
    Readings r;
    for (int t = 0; t < 3; ++t)
        r.current[size_t(t)] = count40(frame, 5 * t);
    // The billing-day counts come with a length byte of 32, and only then.
    if (quint8(frame.at(1)) == layout::ReadingsWithBilling + 2 && holds(frame, layout::ReadingsWithBilling)) {
        std::array<quint64, 3> billing{};
        for (int t = 0; t < 3; ++t)
            billing[size_t(t)] = count40(frame, 15 + 5 * t);
        r.billing = billing;
    }
    return r;
}

double readingValue(quint64 count)
{
    const double value = double(count) * 0.00025;
    // Twelve significant digits, as the readings are shown.
    return QString::number(value, 'g', 12).toDouble();
}

QString formatReading(double value, const QLocale &locale)
{
    return plainNumbers(locale).toString(QString::number(value, 'g', 12).toDouble(), 'f', 5);
}

std::optional<double> parseReading(const QString &text, const QLocale &locale)
{
    bool ok = false;
    const double v = plainNumbers(locale).toDouble(text.trimmed(), &ok);
    if (!ok || text.trimmed().isEmpty())
        return std::nullopt;
    return v;
}

std::optional<double> sumReadings(const QStringList &texts, const QLocale &locale)
{
    double sum = 0;
    for (const QString &text : texts) {
        const auto v = parseReading(text, locale);
        if (!v)
            return std::nullopt;
        sum += *v;
    }
    return sum;
}

std::optional<TurnOn> decodeTurnOn(const QByteArray &frame)
{
    if (!holds(frame, layout::TurnOn))
        return std::nullopt;
    return TurnOn{dataNumber(frame, 0, 3), at(frame, 3)};
}

QString halfMinutesText(quint32 halfMinutes)
{
    return QString::number(halfMinutes / 120) + QLatin1Char(':') + QString::number((halfMinutes % 120) / 2);
}

std::optional<BillingDay> decodeBilling(const QByteArray &frame)
{
    if (!holds(frame, layout::Billing))
        return std::nullopt;
    return BillingDay{bcd(at(frame, 0)), bcd(at(frame, 1))};
}

std::optional<StampCounts> decodeDdmStamps(const QByteArray &frame)
{
    if (!holds(frame, layout::DdmStamps))
        return std::nullopt;
    return StampCounts{dataNumber(frame, 0, 4), dataNumber(frame, 4, 4), dataNumber(frame, 8, 4)};
}

QDateTime zoneFree(const QDate &date, const QTime &time)
{
    return QDateTime(date, time, Qt::UTC);
}

QDateTime stampTime(quint32 seconds)
{
    return zoneFree(QDate(2000, 1, 1), QTime(0, 0)).addSecs(qint64(seconds));
}

std::optional<QDateTime> ddmStamp(qint64 ddmNumber, quint32 seconds)
{
    if (ddmNumber <= 0 || seconds == 0)
        return std::nullopt;
    return stampTime(seconds);
}

QString timeText(const QTime &time, const QLocale &locale)
{
    // The long format may carry a time zone ("t"); the meter's clock has none.
    static const QRegularExpression zone(QStringLiteral("\\s*t+\\s*"));
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.replace(zone, QString());
    return locale.toString(time, format.trimmed());
}

QString dateText(const QDate &date, const QLocale &locale)
{
    return locale.toString(date, QLocale::ShortFormat);
}

QString dateTimeText(const QDateTime &dateTime, const QLocale &locale)
{
    return dateText(dateTime.date(), locale) + QLatin1Char(' ') + timeText(dateTime.time(), locale);
}

QString clockText(const MeterClock &clock, const QLocale &locale)
{
    const QString time = clock.time().isValid() ? timeText(clock.time(), locale) : QString();
    if (!clock.date().isValid())
        return time;
    return time.isEmpty() ? dateText(clock.date(), locale)
                          : dateText(clock.date(), locale) + QLatin1Char(' ') + time;
}

QStringList statusLines(quint8 status)
{
    if (status == 0xFF)
        return {QStringLiteral("Выключение счетчика")};
    QStringList lines;
    switch (status & 0x03) {
    case 0x01: lines << QStringLiteral("Фаза A: нет связи с ДДМ"); break;
    case 0x02: lines << QStringLiteral("Фаза A: номер ДДМ не установлен"); break;
    case 0x03: lines << QStringLiteral("Фаза A: отсутствует фаза"); break;
    }
    switch (status & 0x0C) {
    case 0x04: lines << QStringLiteral("Фаза B: нет связи с ДДМ"); break;
    case 0x08: lines << QStringLiteral("Фаза B: номер ДДМ не установлен"); break;
    case 0x0C: lines << QStringLiteral("Фаза B: отсутствует фаза"); break;
    }
    switch (status & 0x90) {
    case 0x10: lines << QStringLiteral("Фаза C: нет связи с ДДМ"); break;
    case 0x80: lines << QStringLiteral("Фаза C: номер ДДМ не установлен"); break;
    case 0x90: lines << QStringLiteral("Фаза C: отсутствует фаза"); break;
    }
    if (status & 0x40)
        lines << QStringLiteral("Дата и время таймера не установлены.");
    if (status & 0x20)
        lines << QStringLiteral("Неисправность таймера календаря.");
    return lines;
}

} // namespace zk
