#include "schedule/tariffschedule.h"

#include "link/frame.h"
#include "meter/settingswrite.h"

namespace zk {

namespace {

const QDate FirstTransferDate(2000, 1, 1);
const QDate LastTransferDate(2099, 12, 31);

bool validHoliday(const Holiday &h)
{
    return h.month >= 1 && h.month <= 12 && h.day >= 1 && h.day <= dayLimit(h.month);
}

bool validTransfer(const Transfer &t)
{
    return t.date.isValid() && t.date >= FirstTransferDate && t.date <= LastTransferDate && t.dayType >= 1
        && t.dayType <= 8;
}

// Start times as minutes of the day; the seconds a time may carry are not compared.
int minuteOfDay(const QTime &t)
{
    return t.hour() * 60 + t.minute();
}

} // namespace

// ---- the value ----

TariffZones TariffSchedule::defaultZones()
{
    static const int tariffs[tariff::Zones] = {1, 2, 3, 2, 3, 2};
    static const int starts[tariff::Zones][2] = {{0, 0}, {6, 30}, {8, 30}, {11, 30}, {17, 30}, {20, 30}};
    TariffZones zones;
    for (int z = 0; z < tariff::Zones; ++z)
        zones[size_t(z)] = TariffZone{tariffs[z], QTime(starts[z][0], starts[z][1]), tariff::AllDays};
    return zones;
}

QList<Holiday> TariffSchedule::defaultHolidays()
{
    return {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 7}, {2, 23}, {3, 8}, {5, 1}, {5, 9}, {6, 12}, {11, 4}};
}

// ---- names ----

QStringList monthNames()
{
    return {QStringLiteral("январь"), QStringLiteral("февраль"), QStringLiteral("март"),
            QStringLiteral("апрель"), QStringLiteral("май"), QStringLiteral("июнь"),
            QStringLiteral("июль"), QStringLiteral("август"), QStringLiteral("сентябрь"),
            QStringLiteral("октябрь"), QStringLiteral("ноябрь"), QStringLiteral("декабрь")};
}

QStringList dayTypeNames()
{
    return {QStringLiteral("понедельник"), QStringLiteral("вторник"), QStringLiteral("среда"),
            QStringLiteral("четверг"), QStringLiteral("пятница"), QStringLiteral("суббота"),
            QStringLiteral("воскресенье"), QStringLiteral("праздник")};
}

QString monthName(int month)
{
    return monthNames().value(month - 1);
}

QString dayTypeName(int dayType)
{
    return dayTypeNames().value(dayType - 1);
}

QStringList dayColumnTitles()
{
    return {QStringLiteral("ПН"), QStringLiteral("ВТ"), QStringLiteral("СР"), QStringLiteral("ЧТ"),
            QStringLiteral("ПТ"), QStringLiteral("СБ"), QStringLiteral("ВС"), QStringLiteral("ПР")};
}

// ---- rules ----

std::optional<quint8> tariffByte(const QString &text)
{
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return quint8(quint64(v) & 0xFF);
}

QString tariffTextProblem(int zone, const QString &text)
{
    if (tariffByte(text))
        return QString();
    return QStringLiteral("Ошибка в тарифном расписании. Тариф зоны %1 не является числом: \"%2\". "
                          "Выберите тариф из списка.")
        .arg(zone)
        .arg(text);
}

int dayLimit(int month)
{
    switch (month) {
    case 2: return 29;
    case 4: case 6: case 9: case 11: return 30;
    default: return 31;
    }
}

const QString TimesMustIncreaseText =
    QStringLiteral("Ошибка в тарифном расписании. Время в расписании должно нарастать.");
const QString TimesMustNotDecreaseText =
    QStringLiteral("Ошибка в тарифном расписании. Время в расписании не должно убывать.");
const QString NoWeekdaysText = QStringLiteral("Ошибка в тарифном расписании. Нет данных для дней недели.");

QString zoneUndefinedText(int zone)
{
    // No space between the number and "не определена": the operators know the text so.
    return QStringLiteral("Ошибка в тарифном расписании. Зона ") + QString::number(zone)
        + QStringLiteral("не определена.");
}

QString scheduleCheck(const TariffSchedule &s, int firmware)
{
    const TariffZones &z = s.zones;
    if (!hasCalendars(firmware) || s.oneTariff) {
        for (int i = 1; i < tariff::Zones; ++i)
            if (minuteOfDay(z[size_t(i - 1)].start) >= minuteOfDay(z[size_t(i)].start))
                return TimesMustIncreaseText;
        return QString();
    }
    for (int i = 1; i < tariff::Zones; ++i)
        if (minuteOfDay(z[size_t(i - 1)].start) > minuteOfDay(z[size_t(i)].start))
            return TimesMustNotDecreaseText;
    for (int i = 0; i < tariff::Zones; ++i)
        if (z[size_t(i)].days == 0)
            return zoneUndefinedText(i);
    bool weekday = false;
    for (const TariffZone &zone : z)
        weekday = weekday || (zone.days & tariff::WeekdayBits);
    if (!weekday)
        return NoWeekdaysText;
    return QString();
}

const QString HolidaysFullText = QStringLiteral("В списке праздников уже 16 дат: больше счетчик не хранит.");
const QString TransfersFullText = QStringLiteral("В списке переносов уже 16 дат: больше счетчик не хранит.");
const QString TransferDateRangeText =
    QStringLiteral("Дата переноса должна быть в 2000-2099 годах: счетчик хранит год двумя цифрами.");

QString calendarProblem(const TariffSchedule &s)
{
    if (s.holidays.size() > tariff::ListCapacity)
        return QStringLiteral("В списке праздников %1 дат: счетчик хранит не больше 16.").arg(s.holidays.size());
    if (s.transfers.size() > tariff::ListCapacity)
        return QStringLiteral("В списке переносов %1 дат: счетчик хранит не больше 16.").arg(s.transfers.size());
    for (const Holiday &h : s.holidays) {
        if (h.month < 1 || h.month > 12)
            return QStringLiteral("В списке праздников есть месяц %1: месяцы нумеруются от 1 до 12.").arg(h.month);
        if (!validHoliday(h))
            return QStringLiteral("В списке праздников есть дата, которой нет: %1 %2. Удалите ее из списка.")
                .arg(h.day)
                .arg(monthName(h.month));
    }
    for (const Transfer &t : s.transfers) {
        if (!t.date.isValid() || t.date < FirstTransferDate || t.date > LastTransferDate)
            return TransferDateRangeText;
        if (t.dayType < 1 || t.dayType > 8)
            return QStringLiteral("В списке переносов есть тип дня %1: типы дней нумеруются от 1 до 8.").arg(t.dayType);
    }
    return QString();
}

QString scheduleWriteProblem(const TariffSchedule &schedule, int firmware, const QStringList &tariffTexts)
{
    if (const QString problem = scheduleCheck(schedule, firmware); !problem.isEmpty())
        return problem;
    if (schedule.oneTariff)
        return QString();
    for (int z = 0; z < tariffTexts.size(); ++z)
        if (const QString problem = tariffTextProblem(z, tariffTexts.at(z)); !problem.isEmpty())
            return problem;
    return hasCalendars(firmware) ? calendarProblem(schedule) : QString();
}

Insertion holidayInsertion(const QList<Holiday> &list, const Holiday &entry)
{
    if (list.size() >= tariff::ListCapacity)
        return {-1, HolidaysFullText};
    if (entry.month < 1 || entry.month > 12)
        return {-1, QStringLiteral("Месяц праздника должен быть от 1 до 12: %1").arg(entry.month)};
    if (!validHoliday(entry))
        return {-1, QStringLiteral("В месяце %1 нет дня %2.").arg(monthName(entry.month)).arg(entry.day)};
    for (int i = 0; i < list.size(); ++i) {
        const Holiday &h = list.at(i);
        if (h.month > entry.month || (h.month == entry.month && h.day >= entry.day))
            return {i, QString()};
    }
    return {int(list.size()), QString()};
}

Insertion transferInsertion(const QList<Transfer> &list, const Transfer &entry)
{
    if (list.size() >= tariff::ListCapacity)
        return {-1, TransfersFullText};
    if (!entry.date.isValid() || entry.date < FirstTransferDate || entry.date > LastTransferDate)
        return {-1, TransferDateRangeText};
    if (entry.dayType < 1 || entry.dayType > 8)
        return {-1, QStringLiteral("Тип дня переноса должен быть от 1 до 8: %1").arg(entry.dayType)};
    for (int i = 0; i < list.size(); ++i)
        if (list.at(i).date > entry.date)
            return {i, QString()};
    return {int(list.size()), QString()};
}

QDate transferDate(const QDate &chosen, const QDate &today)
{
    return chosen < today ? today : chosen;
}

// ---- frames ----

QByteArray zonesReadFrame()
{
    return makeFrame(req::ReadZones);
}

QByteArray dayTypesReadFrame()
{
    return makeFrame(req::ReadDayTypes);
}

QByteArray holidayReadFrame(int slot)
{
    return makeFrame(req::ReadHoliday, QByteArray(1, char(quint8(slot))));
}

QByteArray transferReadFrame(int slot)
{
    return makeFrame(req::ReadTransfer, QByteArray(1, char(quint8(slot))));
}

QByteArray oneTariffFrame()
{
    return makeFrame(req::OneTariff);
}

QByteArray zonesFrame(const TariffZones &zones)
{
    QByteArray data;
    for (const TariffZone &z : zones) {
        data.append(char(quint8(z.tariff)));
        data.append(char(toBcd(z.start.hour())));
        data.append(char(toBcd(z.start.minute())));
    }
    return makeFrame(req::WriteZones, data);
}

QByteArray dayTypesFrame(const TariffZones &zones)
{
    QByteArray data;
    for (const TariffZone &z : zones)
        data.append(char(z.days));
    return makeFrame(req::WriteDayTypes, data);
}

QByteArray holidayFrame(int slot, const Holiday &h)
{
    QByteArray data;
    data.append(char(quint8(slot)));
    data.append(char(toBcd(h.day)));
    data.append(char(toBcd(h.month)));
    return makeFrame(req::WriteHoliday, data);
}

QByteArray transferFrame(int slot, const Transfer &t)
{
    QByteArray data;
    data.append(char(quint8(slot)));
    data.append(char(toBcd(t.date.day())));
    data.append(char(toBcd(t.date.month())));
    data.append(char(toBcd(t.date.year() - 2000)));
    data.append(char(quint8(t.dayType)));
    return makeFrame(req::WriteTransfer, data);
}

QList<QByteArray> scheduleReadFrames(int firmware)
{
    QList<QByteArray> frames{zonesReadFrame()};
    if (!hasCalendars(firmware))
        return frames;
    frames << dayTypesReadFrame();
    for (int i = 0; i < tariff::ListCapacity; ++i)
        frames << holidayReadFrame(i);
    for (int i = 0; i < tariff::ListCapacity; ++i)
        frames << transferReadFrame(i);
    return frames;
}

QList<QByteArray> scheduleWriteFrames(const TariffSchedule &s, int firmware, const QString &accessPassword)
{
    QList<QByteArray> frames{passwordFrame(accessPassword)};
    if (s.oneTariff) {
        frames << oneTariffFrame();
        return frames;
    }
    frames << zonesFrame(s.zones);
    if (!hasCalendars(firmware))
        return frames;
    frames << dayTypesFrame(s.zones);
    frames << makeFrame(req::ClearHolidays);
    for (int i = 0; i < s.holidays.size(); ++i)
        frames << holidayFrame(i, s.holidays.at(i));
    frames << makeFrame(req::ClearTransfers);
    for (int i = 0; i < s.transfers.size(); ++i)
        frames << transferFrame(i, s.transfers.at(i));
    return frames;
}

// ---- replies ----

std::optional<ZoneReply> decodeZones(const QByteArray &frame)
{
    if (frame.size() < 2)
        return std::nullopt;
    const int length = quint8(frame.at(1));
    ZoneReply r;
    r.oneTariff = length == req::OneTariff.length;
    if (length != req::WriteZones.length || dataSize(frame) < 3 * tariff::Zones)
        return r;
    std::array<ZoneRecord, tariff::Zones> zones;
    for (int z = 0; z < tariff::Zones; ++z) {
        const quint8 t = *dataByte(frame, 3 * z);
        const int hour = bcd(*dataByte(frame, 3 * z + 1));
        const int minute = bcd(*dataByte(frame, 3 * z + 2));
        zones[size_t(z)].tariff = t;
        if (hour <= 23 && minute <= 59)
            zones[size_t(z)].start = QTime(hour, minute);
    }
    r.zones = zones;
    return r;
}

QString badZoneTimeText(int zone)
{
    return QStringLiteral("Некорректный тариф, зона %1").arg(zone);
}

std::optional<DayMasks> decodeDayTypes(const QByteArray &frame)
{
    if (frame.size() < 2 || quint8(frame.at(1)) != req::WriteDayTypes.length
        || dataSize(frame) < tariff::Zones)
        return std::nullopt;
    DayMasks masks{};
    for (int z = 0; z < tariff::Zones; ++z)
        masks[size_t(z)] = *dataByte(frame, z);
    return masks;
}

std::optional<Holiday> decodeHoliday(const QByteArray &frame)
{
    if (frame.size() < 2 || quint8(frame.at(1)) != req::WriteHoliday.length || dataSize(frame) < 3)
        return std::nullopt;
    const int day = bcd(*dataByte(frame, 1));
    const int month = bcd(*dataByte(frame, 2));
    if (month < 1 || month > 12)
        return std::nullopt;
    return Holiday{month, day};
}

std::optional<Transfer> decodeTransfer(const QByteArray &frame)
{
    if (frame.size() < 2 || quint8(frame.at(1)) != req::WriteTransfer.length || dataSize(frame) < 5)
        return std::nullopt;
    const int day = bcd(*dataByte(frame, 1));
    const int month = bcd(*dataByte(frame, 2));
    const int year = 2000 + bcd(*dataByte(frame, 3));
    const int type = *dataByte(frame, 4);
    const Transfer t{QDate(year, month, day), type};
    if (!validTransfer(t))
        return std::nullopt;
    return t;
}

QList<int> applyZoneReply(TariffSchedule &s, const ZoneReply &reply)
{
    s.oneTariff = reply.oneTariff;
    QList<int> bad;
    if (!reply.zones)
        return bad;
    for (int z = 0; z < tariff::Zones; ++z) {
        const ZoneRecord &r = (*reply.zones)[size_t(z)];
        TariffZone &zone = s.zones[size_t(z)];
        zone.tariff = r.tariff;
        if (r.start)
            zone.start = *r.start;
        else
            bad << z;
    }
    return bad;
}

} // namespace zk
