#pragma once
// Decoders of the polled replies. Each takes the accepted reply frame (data byte i
// at offset 2 + i) and returns the value it carries, or nothing when the frame is
// shorter than the reply's layout. No widgets: the pages and the command line both
// show what these return.

#include "link/frame.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QTime>
#include <array>
#include <optional>

namespace zk {

// Data bytes each reply must carry.
namespace layout {
constexpr int Serial = 3;
constexpr int Clock = 8;
constexpr int Correction = 1;
constexpr int Ddm = 9;
constexpr int Status = 1;
constexpr int Indication = 1;
constexpr int Readings = 15;
constexpr int ReadingsWithBilling = 30;
constexpr int TurnOn = 4;
constexpr int Billing = 2;
constexpr int DdmStamps = 12;

// What the decoder of a polled reply needs, by the reply's function code; 0 for a
// function the poll cycle does not read. The engine waits for this much before it
// wakes the program, and hands a shorter reply to no decoder.
constexpr int ofReply(quint8 function)
{
    switch (function) {
    case fn::ReadSerial: return Serial;
    case fn::ReadClock: return Clock;
    case fn::ReadCorrection: return Correction;
    case fn::ReadDdm: return Ddm;
    case fn::ReadStatus: return Status;
    case fn::ReadIndication: return Indication;
    case fn::ReadReadings: return Readings;
    case fn::ReadTurnOn: return TurnOn;
    case fn::ReadBilling: return Billing;
    case fn::ReadDdmStamps: return DdmStamps;
    default: return 0;
    }
}
} // namespace layout

// The largest serial number a meter holds: 17 bits.
constexpr int MaxSerialNumber = 0x1FFFF; // 131071
// The largest DDM number a meter holds: 24 bits.
constexpr int MaxDdm = 0xFFFFFF; // 16777215

// 0x01: 17 bits, the low bit of the third byte is bit 16.
std::optional<int> decodeSerial(const QByteArray &frame);

// 0x04: the meter's clock as sent, BCD fields decoded.
struct MeterClock {
    int second = 0, minute = 0, hour = 0;
    int weekday = 0; // 1 = Monday .. 7 = Sunday, as the meter counts
    int day = 0, month = 0, year = 0; // year in full (2000 + field)
    bool summer = false;              // automatic switch to summer time

    QTime time() const { return QTime(hour, minute, second); } // invalid when the fields are
    QDate date() const { return QDate(year, month, day); }
    // The date is valid and its day of the week is not the one the meter sent.
    bool weekdayMismatch() const { return date().isValid() && date().dayOfWeek() != weekday; }
};
std::optional<MeterClock> decodeClock(const QByteArray &frame);

// 0x06: magnitude in bits 0-4, bit 5 set for positive; bits 6-7 ignored.
int correctionFromByte(quint8 byte);
std::optional<int> decodeCorrection(const QByteArray &frame);

// 0x0A: 24-bit DDM numbers of phases A, B, C.
using Triple = std::array<qint64, 3>;
std::optional<Triple> decodeDdm(const QByteArray &frame);

// 0x0C and 0x0D: one byte.
std::optional<quint8> decodeStatus(const QByteArray &frame);
std::optional<quint8> decodeIndication(const QByteArray &frame);

// 0x0F: 40-bit counts of tariffs 1..3; the billing-day counts only when the
// length byte announces 30 data bytes.
struct Readings {
    std::array<quint64, 3> current{};
    std::optional<std::array<quint64, 3>> billing;
};
std::optional<Readings> decodeReadings(const QByteArray &frame);
// 40 bits at data offset `at` (low 32 bits little-endian, then bits 32-39).
quint64 count40(const QByteArray &frame, int at);

// A count in energy units (0.00025 a count), rounded to 12 significant digits.
double readingValue(quint64 count);
// Fixed point with 5 decimals, the locale's decimal separator, no group separator.
QString formatReading(double value, const QLocale &locale = QLocale());
// A reading text back to a number: the whole text in the locale's format, no
// group separators; nothing for any other text.
std::optional<double> parseReading(const QString &text, const QLocale &locale = QLocale());
// The sum of the three texts in row order, or nothing at the first text that is not
// a number (the sum row then keeps what it showed).
std::optional<double> sumReadings(const QStringList &texts, const QLocale &locale = QLocale());

// 0x11: 24-bit count of half-minutes switched on, and the correction counter.
struct TurnOn {
    quint32 halfMinutes = 0;
    int corrections = 0;
};
std::optional<TurnOn> decodeTurnOn(const QByteArray &frame);
// Hours, a colon and minutes, no leading zeros: 121 half-minutes is "1:0".
QString halfMinutesText(quint32 halfMinutes);

// 0x22: billing hour and day (BCD).
struct BillingDay {
    int hour = 0;
    int day = 0;
};
std::optional<BillingDay> decodeBilling(const QByteArray &frame);

// 0x2A: seconds since 2000-01-01 00:00:00 of the last exchange with each DDM.
using StampCounts = std::array<quint32, 3>;
std::optional<StampCounts> decodeDdmStamps(const QByteArray &frame);
QDateTime stampTime(quint32 seconds);
// The meter's times carry no zone: a date and time as they stand, in UTC used as a plain
// calendar, so that no local summer-time shift or gap touches the arithmetic.
QDateTime zoneFree(const QDate &date, const QTime &time);
// The stamp shown for a phase: nothing when its DDM number or its count is 0.
std::optional<QDateTime> ddmStamp(qint64 ddmNumber, quint32 seconds);

// Times and dates as the window shows them: the locale's long time format without
// a time zone, its short date format.
QString timeText(const QTime &time, const QLocale &locale = QLocale());
QString dateText(const QDate &date, const QLocale &locale = QLocale());
QString dateTimeText(const QDateTime &dateTime, const QLocale &locale = QLocale());
// The clock box: date, a blank and time; the parts that are valid.
QString clockText(const MeterClock &clock, const QLocale &locale = QLocale());

// The status byte as lines, in order: phases A, B, C, then bit 6, then bit 5; 0xFF
// alone means the meter is switching off.
QStringList statusLines(quint8 status);

} // namespace zk
