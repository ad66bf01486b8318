#pragma once
// The production database "Electrometer": one Qt SQL connection shared by every production
// query, so a transaction started on it covers them all. The SQL texts are kept in the SQL
// Server dialect and run as they are through ODBC; for PostgreSQL and SQLite sqlForDriver()
// rewrites the few SQL-Server-only pieces. Every value travels as a bound parameter.
//
// No widgets: each operation returns what the window (or the command line) shows, or throws
// DatabaseError with the engine's text, which the caller passes to the default error report.

#include "core/error.h"
#include "meter/settingswrite.h"
#include "records/settingsrecord.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTime>
#include <QVariant>
#include <array>
#include <optional>
#include <utility>

class QSettings;
class QSqlDatabase;
class QSqlQuery;

namespace zk {

// A failure of the database engine; text() is the engine's message. A connection password
// never appears in it: it is replaced by "***" before the error is built.
class DatabaseError : public StorageError
{
public:
    using StorageError::StorageError;
};

// The connection, as the preferences group "Electrometer" holds it: Driver (QODBC, QPSQL or
// QSQLITE), DatabaseName, HostName, Port, UserName, Password, ConnectOptions.
struct ConnectionSettings {
    QString driver = QStringLiteral("QODBC");
    QString databaseName;
    QString hostName;
    int port = -1; // -1: the driver's default
    QString userName;
    QString password;
    QString connectOptions;
};

inline constexpr char ConnectionGroup[] = "Electrometer";

// Reads the group "Electrometer" of a preferences store; missing values keep their defaults.
ConnectionSettings readConnectionSettings(QSettings &store);
ConnectionSettings readConnectionSettings(const QString &organisation, const QString &application);

// The SQL Server text as the driver runs it. QPSQL and QSQLITE get getdate() as the server's
// local time and DATEDIFF(DAY, a, b) as the number of calendar days from a to b; any other
// driver gets the text unchanged.
QString sqlForDriver(const QString &sqlServerText, const QString &driver);

// The model's numbers in the production database.
inline constexpr int ProductionMeterTypeId = 10; // electrometer.type_id of this model
inline constexpr int SettingBenchTypeId = 3;     // plant.type_id of a setting bench
inline constexpr int SettingOperationTypeId = 3; // operation.type_id of a setting operation
inline constexpr int DefectTypeId = 1;           // spoilage.type_id of a defect record

// computer_id, person_id, plant_id; 0 means not found.
struct BenchIdentity {
    int computerId = 0;
    int personId = 0;
    int plantId = 0;
};

// Captions of the message boxes of the production records.
inline constexpr char CaptionStopped[] = "Приложение остановлено";
inline constexpr char CaptionRecordFailed[] = "Ошибка записи в БД";
inline constexpr char CaptionDatabase[] = "Ошибка БД";
inline constexpr char CaptionDefectLookup[] = "Ошибка записи";
// "Номер прибора не описан в БД. Установите его."
extern const QString MessageMeterNotRegistered;
// "Прибор в ремонте."
extern const QString MessageUnderRepair;
// The prefix of a failed settings record write, followed by the engine's text.
extern const QString MessageWriteFailedPrefix; // "Ошибка записи в БД: "

// The result of identifying the bench: the identity found so far and, when something is
// unknown, the warning to show (caption CaptionStopped) before the program ends.
struct Identification {
    BenchIdentity identity;
    QString problem; // empty when computer, operator and bench are all known
    bool ok() const { return problem.isEmpty(); }
};

// This computer's name (the host name, at most 16 characters) and this user's login (empty
// when longer than 16 characters), as the identification looks them up.
QString localComputerName();
QString localLogin();

// Sets the PC's clock; false when the system refuses (the caller ignores it).
bool setPcClock(const QDateTime &localTime);

// One production settings record (table set_zelta_kn): the settings record of the local
// register plus the daily correction and the drift per day.
struct ProductionRecord {
    SettingsRecord settings;
    std::optional<int> correct;      // the daily correction, when the write set it
    std::optional<double> secPerDay; // the drift per day, NULL when its text is not a number
    // The same record with only the readings-only columns: version, turn_on, status, ncorrect,
    // the six readings and secperday.
    ProductionRecord readingsOnly() const;
};

// The drift text as a number in the locale's format; empty for any other text (empty too).
std::optional<double> driftValue(const QString &text, const QLocale &locale = QLocale());

ProductionRecord buildProductionRecord(const SettingsWrite &write, const ReadoutForRecord &readout,
                                       const QString &driftText, const QLocale &locale = QLocale());

// What start-up restores in the production mode.
struct ProductionStartSettings {
    bool oneTariff = true;              // no settings record with zone_0
    std::array<QString, 6> zones;       // zone_0 .. zone_5 as text, when !oneTariff
    std::array<QTime, 6> zoneTimes;     // time of day of time_0 .. time_5, when !oneTariff
    std::optional<QString> password;    // the new-password box, when a record says so
    std::optional<int> indicator;       // the indication flags of the newest record with one
};

enum class RecordOutcome {
    Recorded,      // the operation and its settings record are in the database
    NotRegistered, // no meter of the model with this number
    UnderRepair,   // the meter has an open repair
    WriteFailed,   // the transaction failed and was rolled back
};

// What recording a write or the fix command did; message and caption are what the operator
// is shown (both empty when recorded).
struct RecordResult {
    RecordOutcome outcome = RecordOutcome::Recorded;
    int operationId = 0; // the new setting operation when recorded
    QString message;
    QString caption;
    bool recorded() const { return outcome == RecordOutcome::Recorded; }
};

class ProductionDatabase
{
public:
    // Adds the named connection without opening it.
    explicit ProductionDatabase(const ConnectionSettings &settings,
                                const QString &connectionName = QStringLiteral("Electrometer"));
    ~ProductionDatabase();
    ProductionDatabase(const ProductionDatabase &) = delete;
    ProductionDatabase &operator=(const ProductionDatabase &) = delete;

    // Opens the connection when it is not open. Throws DatabaseError.
    void open();
    bool isOpen() const;
    QString connectionName() const { return m_name; }

    // Computer by name, operator (operating = 1) by login, setting bench of the computer.
    Identification identify(const QString &computerName, const QString &login);
    // The server's local time.
    QDateTime serverTime();
    // The newest zones, indication and password of all settings records.
    ProductionStartSettings lastSettings();

    // electro_id of the model's meter with this serial number; empty when not registered.
    std::optional<int> meterId(int serial);
    // Number of open repairs (spoilage rows without date_repair) of a meter.
    int openRepairs(int electroId);

    // A successful settings write: refused for an unregistered meter or one under repair,
    // otherwise the full record. Errors of the two checks throw; errors of the write are
    // rolled back and returned as WriteFailed.
    RecordResult recordWrite(const BenchIdentity &bench, const ProductionRecord &record);
    // The fix command: refused only for an unregistered meter; records the readings-only
    // contents of the record.
    RecordResult recordFix(const BenchIdentity &bench, const ProductionRecord &record);
    // The setting operation and its settings record in one transaction; returns the
    // operation's id, as its INSERT made it (on PostgreSQL and SQLite). On any error rolls
    // back and throws.
    int writeSettingsRecord(int electroId, const BenchIdentity &bench, const ProductionRecord &record);
    RecordResult recordOn(int electroId, const BenchIdentity &bench, const ProductionRecord &record);

    // The serial number proposed by "+": the smallest number of the model's meters without a
    // setting operation, plus one; 1 when there is none.
    qint64 nextFreeNumber();
    // The latest date_time of the meter's settings records; invalid when there is none.
    QDateTime lastSettingTime(int serial);

    // Defect registration: the newest setting operation of the meter dated the server's
    // today (0 when none) ...
    int todaysSettingOperation(int electroId);
    // ... and the registration itself, without a transaction: today's operation marked
    // unsuccessful (or a new unsuccessful one), then the defect record with the trimmed code.
    // Returns the operation the defect record points to. Throws; steps done stay done.
    int registerDefect(int electroId, const BenchIdentity &bench, const QString &code);

    // Runs one SQL Server text with its parameters; the query is active (a SELECT positioned
    // before its first row). Throws DatabaseError.
    using Params = QList<std::pair<QString, QVariant>>;
    QSqlQuery exec(const QString &sqlServerText, const Params &params = {});

private:
    QSqlDatabase db() const;
    [[noreturn]] void fail(const QString &engineText) const;
    QVariant firstValue(const QString &sqlServerText, const Params &params = {});

    QString m_name;
    QString m_password;
};

// The defect code accepted by the button "Запись в БД": not empty once blanks are trimmed.
bool defectCodeAccepted(const QString &code);

} // namespace zk
