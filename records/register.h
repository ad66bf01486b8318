#pragma once
// The local settings register: the table Setting.DBF in the working directory, one row per
// settings write. Recording a write, the settings restored at start-up, the next free serial
// number and the rows of the browse view, straight over the table.

#include "records/dbftable.h"

#include <QDateTime>
#include <QLocale>
#include <QStringList>
#include <QTime>
#include <array>
#include <optional>

namespace zk {

inline constexpr char RegisterFileName[] = "Setting.DBF";

// The columns of a new register, in this order (the browse view and other programs look the
// columns up by name, so an older register with other widths or order reads the same):
//   C_NUMBER N(10,0)  VERSION C(5)  ADDRESS N(6,0)  TURN_ON N(10,0)  STATUS N(5,0)
//   C_DATE D  C_TIME C(8) "hh:mm"  SUMMER L  PASS N(10,0)
//   T_1_C T_2_C T_3_C T_1_1 T_2_1 T_3_1 N(15,5)   (up to 999 999 999.99999)
//   DDM_A DDM_B DDM_C N(10,0)  COUNT_DAY COUNT_HOUR N(6,0)
//   REPORT L  DATE_REC D  TIME_REC C(5) "hh:mm"  NCORRECT N(6,0)  INDICATOR N(6,0)
//   ZONE_0 N(6,0)          tariff of zone 0, 0 for single-tariff operation
//   ZONE_1..ZONE_5 C(10)   tariff of zones 1 to 5 as text
//   TIME_0..TIME_5 C(8)    start of zones 0 to 5 as "hh:mm:ss"
// The zone columns are filled by other tools; this program only reads them, and also reads
// them when stored as N (zones) or as "hh:mm" (times).
QVector<DbfField> registerFields();

// Opens <dir>/Setting.DBF (the name in any letter case), creating it with registerFields()
// when there is none. A file that is there but unreadable throws DbfError and stays as it is.
DbfTable openOrCreateRegister(const QString &dir);

// RecordReadings in the order T_1_C, T_2_C, T_3_C, T_1_1, T_2_1, T_3_1.
using RecordReadings = std::array<std::optional<double>, 6>;

// What one settings write stores. An empty optional is a NULL column: the conditional columns
// are NULL when their part of the settings was not written, never 0. REPORT, DATE_REC and
// TIME_REC are filled by recordWrite; the zone columns are never written.
struct SettingsRecord
{
    double number = 0;                  // C_NUMBER
    QString version;                    // VERSION
    std::optional<int> address;         // ADDRESS
    double turnOn = 0;                  // TURN_ON, half-minutes
    double status = 0;                  // STATUS, the last status byte
    std::optional<QDate> clockDate;     // C_DATE
    std::optional<QTime> clockTime;     // C_TIME, stored "hh:mm"
    std::optional<bool> summer;         // SUMMER
    std::optional<double> password;     // PASS
    RecordReadings readings;                  // T_1_C .. T_3_1
    std::array<std::optional<double>, 3> ddm; // DDM_A, DDM_B, DDM_C
    std::optional<int> countDay;        // COUNT_DAY
    std::optional<int> countHour;       // COUNT_HOUR
    int nCorrect = 0;                   // NCORRECT
    std::optional<int> indicator;       // INDICATOR, bits 0..3
};

// The six reading cells converted in order with the locale's decimal separator (no group
// separators; blanks around the number are allowed). The first cell that is not a finite
// number ends the conversion: it and every later reading stay empty. Missing cells count as
// not numbers.
RecordReadings readingsFromTexts(const QStringList &texts, const QLocale &locale);

// Appends one record: REPORT false, DATE_REC now's date, TIME_REC now as "hh:mm". Columns are
// found by name, so the register's column order does not matter. Throws DbfError.
void recordWrite(DbfTable &table, const SettingsRecord &record, const QDateTime &now);

// The settings restored at start-up, from the first row in file order that carries the latest
// DATE_REC. Each item is empty when its column is NULL (or does not read as its kind).
struct LastSettings
{
    std::optional<int> zone0;                     // ZONE_0
    std::array<std::optional<QString>, 5> zones;  // ZONE_1 .. ZONE_5
    std::array<std::optional<QTime>, 6> times;    // TIME_0 .. TIME_5
    std::optional<int> indicator;                 // INDICATOR rounded, halves to even
};

// Empty when no row has a DATE_REC. Deleted rows are passed over here and below.
std::optional<LastSettings> latestSettings(const DbfTable &table);

// The highest C_NUMBER rounded to the nearest integer (halves to even), plus 1; rows whose
// number is NULL do not count; 1 when no row has a number. A highest number beyond the range
// of qint64 gives its largest value (its smallest plus 1 below the range).
qint64 nextFreeNumber(const DbfTable &table);

// Indexes, in file order, of the rows with from <= DATE_REC <= to and, when serial > 0,
// C_NUMBER = serial. A row whose DATE_REC is NULL never matches; from later than to gives none.
QVector<qint64> browseRows(const DbfTable &table, QDate from, QDate to, int serial);

// The browse view's "Летн. время": "да", "нет", or empty for NULL.
QString summerText(std::optional<bool> summer);

} // namespace zk
