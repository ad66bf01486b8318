#pragma once
// The production database "Electrometer": one Qt SQL connection shared by every production
// query, so a transaction started on it covers them all. The SQL texts are kept in the SQL
// Server dialect and run as they are on SQL Server; for PostgreSQL and SQLite sqlForDialect()
// rewrites the few SQL-Server-only pieces. The dialect is the database's, as the open connection
// reports it, whichever Qt driver reaches it (PostgreSQL through ODBC speaks PostgreSQL). Every
// value travels as a bound parameter.
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
#include <memory>
#include <optional>
#include <utility>

class QSettings;
class QSqlDatabase;
class QSqlQuery;

namespace zk {

// A failure of the database engine; text() is the engine's message. The program never puts the
// connect string or the password into a message; where a driver's own text echoes a
// password-bearing option (PWD=..., password=...), that option's value reads "***".
class DatabaseError : public StorageError
{
public:
    using StorageError::StorageError;
};

inline constexpr int DefaultConnectTimeout = 5; // seconds
inline constexpr int DefaultQueryTimeout = 15;  // seconds

// The connection, as the preferences group "Electrometer" holds it: Driver (QODBC, QPSQL or
// QSQLITE), DatabaseName, HostName, Port, UserName, Password, ConnectOptions, and the bounds
// ConnectTimeout and QueryTimeout in seconds (a value that is not a positive whole number
// keeps the default). Connecting waits at most connectTimeout, every statement at most
// queryTimeout:
//   QPSQL   connect_timeout; statement_timeout set after connecting; and a watchdog of the
//           program's own that cuts the connection's socket when a statement has had no
//           answer for queryTimeout + 1 s (a stopped server or a silent network never
//           answers the server's own timeout)
//   QODBC   SQL_ATTR_LOGIN_TIMEOUT and SQL_ATTR_CONNECTION_TIMEOUT as connect options,
//           SQL_ATTR_QUERY_TIMEOUT on each statement handle, and the same watchdog on the
//           socket the connection added when it opened (the PostgreSQL ODBC driver has the
//           server time a statement, which a silent server never does)
//   QSQLITE QSQLITE_BUSY_TIMEOUT (the wait for another connection's lock)
// Options of ConnectOptions come after these and so take precedence.
struct ConnectionSettings {
    QString driver = QStringLiteral("QODBC");
    QString databaseName;
    QString hostName;
    int port = -1; // -1: the driver's default
    QString userName;
    QString password;
    QString connectOptions;
    int connectTimeout = DefaultConnectTimeout;
    int queryTimeout = DefaultQueryTimeout;
};

// Which database a message talks about, without a password: "сервер HOST:PORT" (PostgreSQL),
// "источник данных NAME" (ODBC; a DSN-less connect string names its SERVER), "файл PATH"
// (SQLite).
QString databaseServerName(const ConnectionSettings &settings);

// The connect options the driver is given: the bounds of the timeouts, then ConnectOptions.
QString effectiveConnectOptions(const ConnectionSettings &settings);

// A driver's text with the value of every password-bearing option (PWD=..., PASSWORD=...,
// as a whole token) replaced by "***"; the rest of the text as it is.
QString maskPasswordOptions(const QString &text);

inline constexpr char ConnectionGroup[] = "Electrometer";

// Reads the group "Electrometer" of a preferences store; missing values keep their defaults.
ConnectionSettings readConnectionSettings(QSettings &store);
ConnectionSettings readConnectionSettings(const QString &organisation, const QString &application);

// The SQL a database speaks. It decides every piece of SQL text (the date functions, how a new
// operation's key is taken, how the server's time is read); the Qt driver decides only the calls
// into its own API (the statement handle's options, the client library's socket).
enum class SqlDialect {
    SqlServer, // the texts as they are
    PostgreSql,
    Sqlite,
};

// The dialect of the database an open connection reports (QSqlDriver::dbmsType(), which the
// ODBC driver fills from the data source's DBMS name). A database the driver does not name is
// that of its Qt driver (QPSQL, QSQLITE), or else SQL Server.
SqlDialect sqlDialect(const QSqlDatabase &connection);

// The SQL Server text in a dialect. PostgreSQL and SQLite get getdate() as the server's local
// time, SYSDATETIMEOFFSET() as the server's absolute time (PostgreSQL: the seconds since the
// epoch of now(); SQLite: datetime('now'), UTC with whole seconds) and DATEDIFF(DAY, a, b) as
// the number of calendar days from a to b; SQL Server gets the text unchanged.
QString sqlForDialect(const QString &sqlServerText, SqlDialect dialect);

// The model's numbers in the production database.
inline constexpr int ProductionMeterTypeId = 10; // electrometer.type_id of this model
inline constexpr int SettingBenchTypeId = 3;     // plant.type_id of a setting bench
inline constexpr int SettingOperationTypeId = 3; // operation.type_id of a setting operation
inline constexpr int DefectTypeId = 1;           // spoilage.type_id of a defect record
inline constexpr int MaxDefectCodeLength = 64;   // spoilage.code VARCHAR(64)

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
// "Номер N уже записан в другой счетчик."
QString numberTakenMessage(qint64 serial);
// Why "+" proposes nothing: no registered number from `from` on is free.
QString noFreeNumberMessage(qint64 from);

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

// The server's clock as an absolute instant, and how finely the server tells it.
struct ServerTime {
    QDateTime instant;       // in UTC
    qint64 resolutionMs = 1; // 1000 for SQLite's whole seconds
};

// Whether the PC clock reading `pcNow` is to be set from the server's: not when they differ
// by less than the server's resolution (a server with whole seconds would otherwise move
// the PC clock back by up to a second every time).
bool pcClockNeedsSetting(const ServerTime &server, const QDateTime &pcNow);
// The server's time as the driver hands it over (a text with its offset, the ODBC driver's
// timestamp-with-offset structure as bytes, or a date-time), in UTC; invalid when unreadable.
QDateTime instantOf(const QVariant &v);

// Sets the PC's clock to an absolute instant (in any time zone); false when the system refuses
// (the caller ignores it).
bool setPcClock(const QDateTime &instant);

// One production settings record (table set_zelta_kn): the settings record of the local
// register plus the daily correction and the drift per day.
struct ProductionRecord {
    SettingsRecord settings;
    std::optional<int> correct;      // the daily correction, when the write set it
    std::optional<double> secPerDay; // the drift per day, NULL when its text is not a number
    // The write gave the meter this serial number (it reported 0): the number must still
    // have no setting operation when the record is made.
    bool numberWritten = false;
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
    NumberTaken,   // the number written got a setting operation of another meter meanwhile
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
    // The dialect of the database, known once the connection has been opened.
    SqlDialect dialect() const { return m_dialect; }
    QString connectionName() const { return m_name; }

    // Computer by name, operator (operating = 1) by login, setting bench of the computer.
    Identification identify(const QString &computerName, const QString &login);
    // The server's clock as an absolute instant (SYSDATETIMEOFFSET()), whatever the server's
    // time zone.
    ServerTime serverTime();
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
    // back and throws. A record with numberWritten first locks the meter's row (an UPDATE
    // that changes nothing, so that two benches recording one number take turns) and then
    // refuses, rolled back, when the meter has a setting operation: 0 is returned.
    int writeSettingsRecord(int electroId, const BenchIdentity &bench, const ProductionRecord &record);
    RecordResult recordOn(int electroId, const BenchIdentity &bench, const ProductionRecord &record);

    // The serial number proposed by "+": from the smallest number of the model's meters without
    // a setting operation plus one (1 when there is none) on, the smallest registered number
    // without a setting operation; empty when there is none (*from says where the search
    // started).
    std::optional<qint64> nextFreeNumber(qint64 *from = nullptr);
    // The model's meter with this number has a setting operation (it was written before).
    bool numberHasSettingOperation(int serial);
    // The latest date_time of the meter's settings records; invalid when there is none.
    QDateTime lastSettingTime(int serial);

    // Defect registration: the newest setting operation of the meter dated the server's
    // today (0 when none) ...
    int todaysSettingOperation(int electroId);
    // ... and the registration itself, in one transaction: today's operation marked
    // unsuccessful (or a new unsuccessful one), then the defect record with the trimmed code.
    // Returns the operation the defect record points to. Throws, with every step rolled
    // back; a code longer than MaxDefectCodeLength is refused before anything is done.
    int registerDefect(int electroId, const BenchIdentity &bench, const QString &code);

    // Runs one SQL Server text with its parameters; the query is active (a SELECT positioned
    // before its first row). Throws DatabaseError.
    using Params = QList<std::pair<QString, QVariant>>;
    QSqlQuery exec(const QString &sqlServerText, const Params &params = {});

private:
    class Watchdog;

    QSqlDatabase db() const;
    [[noreturn]] void fail(const QString &engineText) const;
    // A failed statement (or transaction step) that took `elapsedMs`: the engine's text, or
    // when it had no answer within the bound, which server did not answer.
    [[noreturn]] void failStatement(const QString &engineText, qint64 elapsedMs, bool cut) const;
    QVariant firstValue(const QString &sqlServerText, const Params &params = {});
    int registerDefectSteps(int electroId, const BenchIdentity &bench, const QString &code);
    // The transaction steps, bounded as statements are.
    void begin();
    void commit();
    void rollback();
    // A transaction's begin or commit under the watchdog; a failure throws as a statement's.
    void transactionStep(bool (QSqlDatabase::*step)());
    // The socket the watchdog cuts: libpq's (QPSQL), or the one an ODBC connection added to
    // the process when it opened; -1 when unknown.
    int connectionSocket() const;
    void armWatchdog();
    bool disarmWatchdog(); // true when the watchdog cut the connection
    // The Qt driver is QPSQL: libpq's socket and the session's statement_timeout bound it.
    bool throughLibpq() const;
    // After a failed statement: a connection whose link the ODBC driver reports dead is
    // closed, so that the next use opens a new one (QODBC itself keeps it open).
    void closeIfDead() const;

    QString m_name;
    ConnectionSettings m_settings;
    SqlDialect m_dialect = SqlDialect::SqlServer;
    int m_socket = -1; // ODBC: the connection's socket, with its inode
    quint64 m_socketInode = 0;
    std::unique_ptr<Watchdog> m_watchdog; // the socket cut a second after queryTimeout
};

// The defect code accepted by the button "Запись в БД": not empty once blanks are trimmed.
bool defectCodeAccepted(const QString &code);
// ... and at most MaxDefectCodeLength characters once trimmed.
bool defectCodeFits(const QString &code);

} // namespace zk
