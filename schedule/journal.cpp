#include "schedule/journal.h"

#include "link/frame.h"
#include "meter/readout.h"

#include <QDate>
#include <QTime>

namespace zk {

const QString BadJournalMonthText = QStringLiteral("Некорректный месяц журнала");

namespace {

quint8 lengthByte(const QByteArray &frame)
{
    return frame.size() > 1 ? quint8(frame.at(1)) : 0;
}

QString readingText(quint64 count, const QLocale &locale)
{
    return formatReading(readingValue(count), locale);
}

QString twoDigits(int v)
{
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

} // namespace

// ---- requests ----

QByteArray annualRequest(int month)
{
    return makeFrame(req::ReadAnnual, QByteArray(1, char(quint8(month))));
}

QList<QByteArray> annualRequests()
{
    QList<QByteArray> out;
    for (int m = 0; m < journal::Months; ++m)
        out.append(annualRequest(m));
    return out;
}

QByteArray consumptionRequest(int page)
{
    return makeFrame(req::ReadConsumption, QByteArray(1, char(quint8(page))));
}

QList<QByteArray> consumptionRequests()
{
    QList<QByteArray> out;
    for (int p = 0; p < journal::Pages; ++p)
        out.append(consumptionRequest(p));
    return out;
}

// ---- replies ----

std::optional<AnnualReply> decodeAnnual(const QByteArray &frame)
{
    const auto month = dataByte(frame, 0);
    if (!month)
        return std::nullopt;
    AnnualReply r;
    r.month = *month;
    if (lengthByte(frame) == journal::AnnualEntryLength && dataSize(frame) >= journal::AnnualEntryLength - 2) {
        AnnualEntry e;
        e.label = *dataByte(frame, 1);
        for (int t = 0; t < 3; ++t)
            e.counts[size_t(t)] = count40(frame, 2 + 5 * t);
        e.halfMinutes = dataNumber(frame, 17, 3);
        r.entry = e;
    }
    return r;
}

std::optional<ConsumptionReply> decodeConsumption(const QByteArray &frame)
{
    const auto page = dataByte(frame, 0);
    if (!page)
        return std::nullopt;
    ConsumptionReply r;
    r.page = *page;
    if (lengthByte(frame) == journal::ConsumptionRecordLength
        && dataSize(frame) >= journal::ConsumptionRecordLength - 2) {
        ConsumptionRecord c;
        c.page = *page;
        c.record = *dataByte(frame, 1);
        c.minute = bcd(*dataByte(frame, 2));
        c.hour = bcd(*dataByte(frame, 3));
        c.day = bcd(*dataByte(frame, 4));
        c.month = bcd(*dataByte(frame, 5));
        for (int t = 0; t < 3; ++t)
            c.counts[size_t(t)] = count40(frame, 6 + 5 * t);
        c.status = *dataByte(frame, 21);
        r.record = c;
    }
    return r;
}

// ---- what the views show ----

QStringList annualTitles()
{
    return {QStringLiteral("месяц"), QStringLiteral("1 тариф"), QStringLiteral("2 тариф"),
            QStringLiteral("3 тариф"), QStringLiteral("наработка")};
}

QStringList consumptionTitles()
{
    return {QStringLiteral("Страница"), QStringLiteral("Запись"), QStringLiteral("Время"),
            QStringLiteral("1 тариф"), QStringLiteral("2 тариф"), QStringLiteral("3 тариф"),
            QStringLiteral("Статус")};
}

QString monthAbbreviation(int month)
{
    static const char *const names[journal::Months] = {"янв.", "фев.", "март", "апр.", "май", "июнь",
                                                       "июль", "авг.", "сент.", "окт.", "нояб.", "дек."};
    if (month < 0 || month >= journal::Months)
        return QString();
    return QString::fromUtf8(names[month]);
}

bool isBadMonthEntry(const AnnualReply &reply)
{
    return reply.month >= journal::Months && reply.entry.has_value();
}

QStringList annualCells(const AnnualReply &reply, const QLocale &locale)
{
    if (reply.month >= journal::Months)
        return {};
    const QString name = monthAbbreviation(reply.month);
    if (!reply.entry)
        return {name};
    const AnnualEntry &e = *reply.entry;
    const QString label = QStringLiteral("%1").arg(e.label, 2, 16, QLatin1Char('0')).toUpper();
    return {label + QLatin1Char(' ') + name, readingText(e.counts[0], locale), readingText(e.counts[1], locale),
            readingText(e.counts[2], locale), halfMinutesText(e.halfMinutes)};
}

QString timeSeparator(const QLocale &locale)
{
    // The text between the hour field and the next field of the short time format,
    // quotes removed ("HH:mm" gives ":", "H 'h' mm" gives " h ").
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    int i = 0;
    while (i < format.size() && format.at(i) != QLatin1Char('h') && format.at(i) != QLatin1Char('H'))
        ++i;
    while (i < format.size() && (format.at(i) == QLatin1Char('h') || format.at(i) == QLatin1Char('H')))
        ++i;
    QString sep;
    bool quoted = false;
    for (; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
            continue;
        }
        if (!quoted && c.isLetter())
            break;
        sep += c;
    }
    return sep.isEmpty() ? QStringLiteral(":") : sep;
}

QString consumptionTimeText(int day, int month, int hour, int minute, int year, const QLocale &locale)
{
    if (!QTime::isValid(hour, minute, 0) || !QDate::isValid(year, month, day))
        return QString();
    return twoDigits(day) + QLatin1Char('.') + twoDigits(month) + QLatin1Char(' ') + twoDigits(hour)
           + timeSeparator(locale) + twoDigits(minute);
}

QStringList consumptionCells(const ConsumptionRecord &r, int year, const QLocale &locale)
{
    return {QString::number(r.page),
            QString::number(r.record),
            consumptionTimeText(r.day, r.month, r.hour, r.minute, year, locale),
            readingText(r.counts[0], locale),
            readingText(r.counts[1], locale),
            readingText(r.counts[2], locale),
            QString::number(r.status)};
}

// ---- whole journals ----

TextTable annualTable(const QList<AnnualReply> &replies, const QLocale &locale)
{
    TextTable table;
    table.append(annualTitles());
    for (int m = 0; m < journal::Months; ++m) {
        QStringList row(journal::AnnualColumns);
        row[0] = monthAbbreviation(m);
        table.append(row);
    }
    for (const AnnualReply &reply : replies) {
        const QStringList cells = annualCells(reply, locale);
        if (cells.isEmpty())
            continue;
        QStringList &row = table[reply.month + 1];
        for (int c = 0; c < cells.size(); ++c)
            row[c] = cells.at(c);
    }
    return table;
}

TextTable consumptionTable(const QList<ConsumptionReply> &replies, int year, const QLocale &locale)
{
    TextTable table;
    table.append(consumptionTitles());
    for (const ConsumptionReply &reply : replies)
        if (reply.record)
            table.append(consumptionCells(*reply.record, year, locale));
    return table;
}

} // namespace zk
