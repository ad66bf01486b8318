#pragma once
// The meter's two journals without widgets: request frames, reply decoders, and the
// texts the views show for each reply. The page "Журнал", the export and the
// command line all build their tables from these.

#include <QByteArray>
#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

namespace zk {

namespace journal {
constexpr int Months = 12;         // annual journal: one request per month index 0..11
constexpr int Pages = 61;          // consumption journal: one request per page 0..60
constexpr int AnnualColumns = 5;   // "месяц" .. "наработка"
constexpr int ConsumptionColumns = 7; // "Страница" .. "Статус"
constexpr quint8 AnnualEntryLength = 22;       // length byte of a reply with a full entry
constexpr quint8 ConsumptionRecordLength = 24; // length byte of a reply with a record
} // namespace journal

// A table of texts, row 0 holding the column titles.
using TextTable = QList<QStringList>;

// ---- requests ----

// 12 03 m CRC: the annual entry of month index m (0 = January).
QByteArray annualRequest(int month);
// The twelve requests of one read, months 0..11 in order.
QList<QByteArray> annualRequests();
// 13 03 p CRC: consumption page p.
QByteArray consumptionRequest(int page);
// The 61 requests of one read, pages 0..60 in order.
QList<QByteArray> consumptionRequests();

// ---- replies ----

struct AnnualEntry {
    quint8 label = 0;                 // data byte 1: a two-digit BCD value shown before the month
    std::array<quint64, 3> counts{};  // 40-bit counts of tariffs 1..3
    quint32 halfMinutes = 0;          // operating time, 24 bits
};

struct AnnualReply {
    int month = 0;                    // data byte 0 as sent, 0..255
    std::optional<AnnualEntry> entry; // only with the length byte of a full entry
};

// 0x12. Nothing when the reply carries no data byte.
std::optional<AnnualReply> decodeAnnual(const QByteArray &frame);

struct ConsumptionRecord {
    int page = 0;
    int record = 0;
    int minute = 0, hour = 0, day = 0, month = 0; // BCD decoded, not checked
    std::array<quint64, 3> counts{};
    int status = 0;
};

struct ConsumptionReply {
    int page = 0;                             // data byte 0
    std::optional<ConsumptionRecord> record;  // only with the length byte of a record
};

// 0x13. Nothing when the reply carries no data byte.
std::optional<ConsumptionReply> decodeConsumption(const QByteArray &frame);

// ---- what the views show ----

QStringList annualTitles();      // "месяц", "1 тариф", "2 тариф", "3 тариф", "наработка"
QStringList consumptionTitles(); // "Страница", "Запись", "Время", "1 тариф", "2 тариф", "3 тариф", "Статус"
// "янв." .. "дек." for 0..11; empty for any other index.
QString monthAbbreviation(int month);

// The log line of a full entry whose month index is 12 or more.
extern const QString BadJournalMonthText; // "Некорректный месяц журнала"
// A full entry for a month the journal does not have: the grid ignores it and the
// traffic log says so.
bool isBadMonthEntry(const AnnualReply &reply);

// The cells of grid row month + 1 that a reply sets, from column 0: the month name
// alone without a full entry; "07 янв.", three readings and the operating time
// with one. Empty for a month index of 12 or more (the grid does not change).
QStringList annualCells(const AnnualReply &reply, const QLocale &locale = QLocale());

// "dd.mm hh:nn" in the given year, the locale's time separator in place of the
// colon; empty when the time or the date does not exist (29.02 of a common year).
QString consumptionTimeText(int day, int month, int hour, int minute, int year,
                            const QLocale &locale = QLocale());
// The seven cells of a list row; the time stamp in the given year.
QStringList consumptionCells(const ConsumptionRecord &record, int year, const QLocale &locale = QLocale());

// The locale's separator between hours and minutes (":" when its format has none).
QString timeSeparator(const QLocale &locale = QLocale());

// ---- whole journals ----

// The annual grid after a read whose replies came in this order: 13 rows of 5 cells,
// titles and month names as at start, columns 1..4 empty where no entry came.
TextTable annualTable(const QList<AnnualReply> &replies, const QLocale &locale = QLocale());
// The consumption list as a table: the titles, then one row per reply that carried a
// record, in arrival order.
TextTable consumptionTable(const QList<ConsumptionReply> &replies, int year, const QLocale &locale = QLocale());

} // namespace zk
