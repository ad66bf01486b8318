#pragma once
// The tariff schedule without widgets: six zones, one-tariff mode, the day-type
// masks, the holiday and transfer calendars; the checks a schedule must pass before
// it is written, the insertion rules of the two calendars, the frames that read and
// write the schedule and the decoders of the replies. The page "Тарифное расписание"
// and the command line both build on these.

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTime>
#include <array>
#include <optional>

namespace zk {

namespace tariff {
constexpr int Zones = 6;
constexpr int DayColumns = 8;      // ПН .. ВС, ПР: bits 0..7 of a day-type mask
constexpr int WeekdayBits = 0x7F;  // ПН .. ВС
constexpr int ListCapacity = 16;   // holiday and transfer tables of the meter
constexpr int CalendarFirmware = 10; // firmware number from which masks and calendars exist
constexpr quint8 AllDays = 0xFF;
} // namespace tariff

// Day-type masks, holidays and transfers exist from firmware number 10 on.
constexpr bool hasCalendars(int firmware) { return firmware >= tariff::CalendarFirmware; }

struct TariffZone {
    int tariff = 1;              // the byte sent: 1..3 when chosen from the pick list
    QTime start;                 // to the minute
    quint8 days = tariff::AllDays; // bit 0 Monday .. bit 6 Sunday, bit 7 holiday

    bool operator==(const TariffZone &o) const
    {
        return tariff == o.tariff && start == o.start && days == o.days;
    }
};
using TariffZones = std::array<TariffZone, tariff::Zones>;
using DayMasks = std::array<quint8, tariff::Zones>;

struct Holiday {
    int month = 1; // 1..12
    int day = 1;   // as read or chosen; 1..dayLimit(month) for an entry that may be written

    bool operator==(const Holiday &o) const { return month == o.month && day == o.day; }
};

struct Transfer {
    QDate date;       // 2000-01-01 .. 2099-12-31
    int dayType = 1;  // 1 Monday .. 7 Sunday, 8 holiday

    bool operator==(const Transfer &o) const { return date == o.date && dayType == o.dayType; }
};

struct TariffSchedule {
    bool oneTariff = true;
    TariffZones zones = defaultZones();
    QList<Holiday> holidays = defaultHolidays();
    QList<Transfer> transfers;

    // Tariffs 1, 2, 3, 2, 3, 2 from 00:00, 06:30, 08:30, 11:30, 17:30, 20:30, every
    // zone on every day type.
    static TariffZones defaultZones();
    // The twelve holidays the list starts with and "Восстановить праздники" restores.
    static QList<Holiday> defaultHolidays();

    bool operator==(const TariffSchedule &o) const
    {
        return oneTariff == o.oneTariff && zones == o.zones && holidays == o.holidays
            && transfers == o.transfers;
    }
};

// ---- names as the page shows them ----

QStringList monthNames();   // "январь" .. "декабрь"
QStringList dayTypeNames(); // "понедельник" .. "воскресенье", "праздник"
QString monthName(int month);     // 1..12; empty otherwise
QString dayTypeName(int dayType); // 1..8; empty otherwise
QStringList dayColumnTitles();    // "ПН" .. "ВС", "ПР"

// ---- the editor's rules ----

// The tariff byte of a tariff text: a whole number's low 8 bits; nothing for any
// other text.
std::optional<quint8> tariffByte(const QString &text);
// The refusal of a zone whose tariff text is not a whole number.
QString tariffTextProblem(int zone, const QString &text);

// The highest day of a month for a holiday: 29 for February, 30 for April, June,
// September and November, 31 otherwise.
int dayLimit(int month);

// Messages of the schedule checks, in the order the checks run.
extern const QString TimesMustIncreaseText;  // "... Время в расписании должно нарастать."
extern const QString TimesMustNotDecreaseText; // "... Время в расписании не должно убывать."
extern const QString NoWeekdaysText;         // "... Нет данных для дней недели."
// "Ошибка в тарифном расписании. Зона 3не определена." for zone 3.
QString zoneUndefinedText(int zone);

// The schedule checks for a meter of the given firmware number: the message of the
// first check that fails, empty when the schedule may be written.
QString scheduleCheck(const TariffSchedule &schedule, int firmware);

// What the calendars hold that the meter's tables cannot take (more than 16 entries,
// a month outside 1..12, a day beyond its month, a transfer date outside 2000..2099 or
// a day type outside 1..8); empty when they can be written. Only asked when the write
// carries the calendars.
QString calendarProblem(const TariffSchedule &schedule);

// The checks in the order a write runs them: scheduleCheck(); the zones' tariff texts as
// typed (the page's; a file's tariffs are numbers already); the calendars, when the write
// carries them. The first refusal, or empty when the schedule may be written.
QString scheduleWriteProblem(const TariffSchedule &schedule, int firmware, const QStringList &tariffTexts = {});

// Where a new entry goes, or why it cannot be added.
struct Insertion {
    int position = -1;  // index to insert at; -1 with an error
    QString error;
    bool ok() const { return error.isEmpty(); }
};

// Holidays go in order of month, then day; a new entry goes before an equal one.
Insertion holidayInsertion(const QList<Holiday> &list, const Holiday &entry);
// Transfers go in date order; a new entry goes after those of the same date.
Insertion transferInsertion(const QList<Transfer> &list, const Transfer &entry);
// A transfer date chosen before `today` is replaced by today.
QDate transferDate(const QDate &chosen, const QDate &today);

extern const QString HolidaysFullText;
extern const QString TransfersFullText;
extern const QString TransferDateRangeText;

// ---- frames ----

QByteArray zonesReadFrame();                 // 08 02
QByteArray dayTypesReadFrame();              // 2E 02
QByteArray holidayReadFrame(int slot);       // 26 03 slot
QByteArray transferReadFrame(int slot);      // 28 03 slot
QByteArray oneTariffFrame();                 // 09 02
QByteArray zonesFrame(const TariffZones &zones);    // 09 14 and six zone records
QByteArray dayTypesFrame(const TariffZones &zones); // 2F 08 and six masks
QByteArray holidayFrame(int slot, const Holiday &holiday);    // 27 05 slot day month
QByteArray transferFrame(int slot, const Transfer &transfer); // 29 07 slot day month year type

// The read: 08 02; from firmware 10 on also 2E 02 and the 16 holiday and 16 transfer
// reads of slots 0..15.
QList<QByteArray> scheduleReadFrames(int firmware);
// The write of a checked schedule: the access password, then 09 02 in one-tariff
// mode; otherwise the zones and, from firmware 10 on, the masks, the holiday table
// (27 02 and one frame per entry) and the transfer table (29 02 and one per entry).
QList<QByteArray> scheduleWriteFrames(const TariffSchedule &schedule, int firmware,
                                      const QString &accessPassword);

// ---- replies ----

struct ZoneRecord {
    int tariff = 0;             // the tariff byte as sent
    std::optional<QTime> start; // nothing when hour or minute is out of range
};

struct ZoneReply {
    bool oneTariff = false;     // the length byte says no zones (2)
    std::optional<std::array<ZoneRecord, tariff::Zones>> zones; // with length byte 20 only
};

// 0x08. Nothing only for a frame without a length byte.
std::optional<ZoneReply> decodeZones(const QByteArray &frame);
// The log line for a zone whose start time does not exist.
QString badZoneTimeText(int zone); // "Некорректный тариф, зона N"

// 0x2E: the six masks; nothing for a length byte other than 8 (the page then empties
// every mask).
std::optional<DayMasks> decodeDayTypes(const QByteArray &frame);

// 0x26: the entry of a used slot; nothing for an empty slot (another length byte) or
// a month outside 1..12. The day is taken as it comes.
std::optional<Holiday> decodeHoliday(const QByteArray &frame);
// 0x28: the entry of a used slot; nothing for an empty slot, a date that does not
// exist or lies beyond 2099, or a day type outside 1..8.
std::optional<Transfer> decodeTransfer(const QByteArray &frame);

// A zone reply applied to a schedule as the page applies it: the mode always, the
// zones with length byte 20; a start time that does not exist leaves the zone's time.
// Returns the zones whose time was left.
QList<int> applyZoneReply(TariffSchedule &schedule, const ZoneReply &reply);

} // namespace zk
