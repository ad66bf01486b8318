#include "records/production.h"

#include "records/odbcstatement.h"
#include "core/lebytes.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <dirent.h>
#include <dlfcn.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace zk {

const QString MessageMeterNotRegistered = QStringLiteral("Номер прибора не описан в БД. Установите его.");
const QString MessageUnderRepair = QStringLiteral("Прибор в ремонте.");
const QString MessageWriteFailedPrefix = QStringLiteral("Ошибка записи в БД: ");

QString numberTakenMessage(qint64 serial)
{
    return QStringLiteral("Номер %1 уже записан в другой счетчик.").arg(serial);
}

QString noFreeNumberMessage(qint64 from)
{
    return QStringLiteral("Свободного номера нет: у каждого номера счетчика в БД от %1 и выше уже есть "
                          "операция установки.")
        .arg(from);
}

namespace {

QString lines(std::initializer_list<QString> parts)
{
    return QStringList(parts).join(QLatin1Char('\n'));
}

// The production queries, line by line in the SQL Server dialect. The type ids are part of
// the text, not bound.
const QString QueryComputer = lines({"SELECT * FROM computer", "WHERE name = :name"});
const QString QueryPerson = lines({"SELECT * FROM operator", "WHERE login = :login", "AND operating = 1"});
const QString QueryPlant = lines({"SELECT * FROM plant", QStringLiteral("WHERE type_id = %1").arg(SettingBenchTypeId),
                                  "AND computer_id = :computer_id"});
// The server's clock with its zone, so that a server in another time zone sets the PC clock
// right.
const QString QueryTime = lines({"SELECT SYSDATETIMEOFFSET()"});
const QString QueryCheckNumber = lines({"SELECT * FROM electrometer", "WHERE number = :number ", "AND type_id = :type_id"});
const QString QuerySpoilage = lines({"SELECT COUNT(*) FROM spoilage", "WHERE electro_id = :electro_id",
                                     "AND date_repair IS NULL"});
const QString QueryOperation = lines({"INSERT INTO operation(type_id,electro_id,plant_id,person_id,success)",
                                      "VALUES(:type_id,:electro_id,:plant_id,:person_id,:success)"});
const QString QueryMaxOper = lines({"SELECT MAX(operation_id) FROM operation", "WHERE plant_id = :plant_id"});
const QString QueryIns = lines({
    "INSERT INTO set_zelta_kn(operation_id,version,turn_on,status,address,",
    "  date_time,summer,correct,pass,t_1_1,t_1_c,t_2_1,t_2_c,t_3_1,t_3_c,",
    "  ddm_a,ddm_b,ddm_c,count_day,count_hour,",
    "  ncorrect,indicator,secperday)",
    "VALUES(:operation_id,:version,:turn_on,:status,:address,:date_time,",
    "  :summer,:correct,:pass,:t_1_1,:t_1_c,:t_2_1,:t_2_c,:t_3_1,:t_3_c,",
    "  :ddm_a,:ddm_b,:ddm_c,:count_day,:count_hour,",
    "  :ncorrect,:indicator,:secperday)"});
const QString QueryMaxSql = lines({"SELECT MIN(number) FROM electrometer", "WHERE type_id = :type_id",
                                   "AND NOT electro_id IN (SELECT electro_id FROM operation",
                                   QStringLiteral("  WHERE type_id = %1)").arg(SettingOperationTypeId)});
// From the proposal of QueryMaxSql on: the smallest registered number without a setting
// operation.
const QString QueryFreeFrom = lines({"SELECT MIN(number) FROM electrometer", "WHERE type_id = :type_id",
                                     "AND number >= :start",
                                     "AND NOT electro_id IN (SELECT electro_id FROM operation",
                                     QStringLiteral("  WHERE type_id = %1)").arg(SettingOperationTypeId)});
// Whether a number was written before: a setting operation of its meter.
const QString QueryNumberSet = lines({"SELECT COUNT(*) FROM operation",
                                      QStringLiteral("WHERE type_id = %1").arg(SettingOperationTypeId),
                                      "AND electro_id IN (SELECT electro_id FROM electrometer",
                                      "  WHERE number = :number AND type_id = :type_id)"});
// Inside the record's transaction: the meter's row locked (a change of nothing, the same text
// on every engine), then its setting operations counted.
const QString QueryLockMeter = lines({"UPDATE electrometer SET number = number", "WHERE electro_id = :electro_id"});
const QString QueryMeterSet = lines({"SELECT COUNT(*) FROM operation", "WHERE electro_id = :electro_id",
                                     QStringLiteral("AND type_id = %1").arg(SettingOperationTypeId)});
const QString QueryDelta = lines({"SELECT MAX(date_time) FROM set_zelta_kn",
                                  "WHERE operation_id IN (SELECT operation_id FROM operation",
                                  "  WHERE electro_id = (SELECT electro_id FROM electrometer",
                                  "     WHERE number = :number AND type_id = :type_id))"});
const QString QueryMaxTarif = lines({"SELECT MAX(operation_id) FROM set_zelta_kn", "WHERE NOT zone_0 IS NULL"});
const QString QueryMaxIndi = lines({"SELECT MAX(operation_id) FROM set_zelta_kn", "WHERE NOT indicator IS NULL"});
const QString QueryMaxPass = lines({"SELECT MAX(operation_id) FROM set_zelta_kn", "WHERE NOT pass IS NULL"});
const QString QueryOp = lines({"SELECT * FROM set_zelta_kn", "WHERE operation_id = :operation_id"});

// The defect registration window's queries.
const QString QuerySelect = lines({"SELECT MAX(operation_id) FROM operation", "WHERE electro_id = :electro_id",
                                   "AND DATEDIFF(DAY,date_operation,getdate()) = 0",
                                   QStringLiteral("AND type_id = %1").arg(SettingOperationTypeId)});
const QString QueryFail = lines({"UPDATE operation SET success = 0", "WHERE operation_id = :operation_id"});
const QString QueryInsert = lines({"INSERT INTO operation(type_id,electro_id,plant_id,person_id,success)",
                                   QStringLiteral("VALUES(%1,:electro_id,:plant_id,:person_id,0)").arg(SettingOperationTypeId)});
const QString QueryDefect = lines({"INSERT INTO spoilage(type_id,electro_id,person_id,code,operation_id)",
                                   QStringLiteral("VALUES(%1,:electro_id,:person_id,:code,:operation_id)").arg(DefectTypeId)});

// Typed NULLs, so every driver binds a NULL of the column's kind.
QVariant nullInt() { return QVariant(QMetaType(QMetaType::Int)); }
QVariant nullDouble() { return QVariant(QMetaType(QMetaType::Double)); }
QVariant nullBool() { return QVariant(QMetaType(QMetaType::Bool)); }
QVariant nullDateTime() { return QVariant(QMetaType(QMetaType::QDateTime)); }

template <typename T>
QVariant orNull(const std::optional<T> &v, QVariant null)
{
    return v ? QVariant::fromValue(*v) : null;
}

// A column as text, NULL as an empty text (a NULL number would read "0").
QString textOf(const QVariant &v)
{
    return v.isNull() ? QString() : v.toString();
}

QVariant intOrNull(const std::optional<double> &v)
{
    return v ? QVariant(qint64(qRound64(*v))) : nullInt();
}

// A date-time as the drivers return it: a QDateTime (PostgreSQL, ODBC) or a text in ISO form
// with 'T' or a blank between date and time (SQLite). Invalid for NULL.
// A stored date-time as its clock showed it, without a zone (see zoneFree): a time that
// the local zone skips in spring still reads as it was written.
QDateTime toDateTime(const QVariant &v)
{
    if (v.isNull())
        return {};
    if (v.metaType().id() == QMetaType::QDateTime) {
        const QDateTime t = v.toDateTime();
        return t.isValid() ? zoneFree(t.date(), t.time()) : QDateTime();
    }
    if (v.metaType().id() == QMetaType::QDate)
        return zoneFree(v.toDate(), QTime(0, 0));
    const QString text = v.toString().trimmed();
    const QDate date = QDate::fromString(text.left(10), Qt::ISODate);
    if (text.size() == 10)
        return zoneFree(date, QTime(0, 0));
    if (text.size() < 19 || (text.at(10) != QLatin1Char(' ') && text.at(10) != QLatin1Char('T')))
        return {};
    const QTime time = QTime::fromString(text.mid(11), Qt::ISODateWithMs);
    return date.isValid() && time.isValid() ? zoneFree(date, time) : QDateTime();
}

// The day difference DATEDIFF(DAY, from, to) in the dialect's own terms.
QString dayDifference(const QString &from, const QString &to, SqlDialect dialect)
{
    if (dialect == SqlDialect::PostgreSql)
        return QStringLiteral("(CAST(%2 AS DATE) - CAST(%1 AS DATE))").arg(from, to);
    return QStringLiteral("CAST(julianday(date(%2)) - julianday(date(%1)) AS INTEGER)").arg(from, to);
}

QString serverNow(SqlDialect dialect)
{
    if (dialect == SqlDialect::PostgreSql)
        return QStringLiteral("LOCALTIMESTAMP");
    return QStringLiteral("datetime('now','localtime')");
}

// SYSDATETIMEOFFSET(): an absolute instant. PostgreSQL gives now() as seconds since the epoch,
// whatever the session's TimeZone and DateStyle; SQLite its UTC time in whole seconds.
QString serverInstant(SqlDialect dialect)
{
    if (dialect == SqlDialect::PostgreSql)
        return QStringLiteral("EXTRACT(EPOCH FROM now())");
    return QStringLiteral("datetime('now')");
}

// "YYYY-MM-DD[T ]hh:mm:ss[.f...][ ][Z|+hh[:mm]|-hhmm]"; a text without a zone is in `noZone`.
QDateTime instantFromText(const QString &text, Qt::TimeSpec noZone)
{
    static const QRegularExpression re(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})[T ](\\d{2}):(\\d{2}):(\\d{2})(?:[.,](\\d+))?\\s*(Z|[+-]\\d{2}(?::?\\d{2})?)?$"));
    const QRegularExpressionMatch m = re.match(text.trimmed());
    if (!m.hasMatch())
        return QDateTime();
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const int ms = m.captured(7).isEmpty() ? 0 : (m.captured(7) + QStringLiteral("00")).left(3).toInt();
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(), ms);
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    const QString zone = m.captured(8);
    if (zone.isEmpty())
        return QDateTime(date, time, noZone);
    if (zone == QLatin1String("Z"))
        return QDateTime(date, time, Qt::UTC);
    const QString digits = QString(zone.mid(1)).remove(QLatin1Char(':'));
    const int offset = (digits.left(2).toInt() * 60 + digits.mid(2).toInt()) * 60;
    return QDateTime(date, time, Qt::OffsetFromUTC, zone.at(0) == QLatin1Char('-') ? -offset : offset).toUTC();
}

} // namespace

// SYSDATETIMEOFFSET() as an ODBC driver hands it over: a text with its offset, the driver's
// SQL_SS_TIMESTAMPOFFSET_STRUCT as bytes (year, month, day, hour, minute, second as 16-bit
// numbers, the fraction in nanoseconds as 32 bits, the offset's hours and minutes), or a
// date-time the driver already read.
QDateTime instantOf(const QVariant &v)
{
    if (v.metaType().id() == QMetaType::QDateTime)
        return v.toDateTime().toUTC();
    if (v.metaType().id() == QMetaType::QByteArray && v.toByteArray().size() == 20) {
        const QByteArray b = v.toByteArray();
        const auto i16 = [&b](int at) { return int(qint16(le::readU16(b.constData() + at))); };
        const quint32 fraction = le::readU32(b.constData() + 12);
        const QDate date(i16(0), i16(2), i16(4));
        const QTime time(i16(6), i16(8), i16(10), int(fraction / 1000000u));
        if (!date.isValid() || !time.isValid())
            return QDateTime();
        const int offset = (i16(16) * 60 + i16(18)) * 60;
        return QDateTime(date, time, Qt::OffsetFromUTC, offset).toUTC();
    }
    return instantFromText(QString::fromUtf8(v.toByteArray()), Qt::LocalTime);
}

namespace {

// Where `name` followed by "()" (blanks allowed) starts at `i`: the index after ")", or -1.
int emptyCallEnd(const QString &text, int i, int nameLength)
{
    int j = i + nameLength;
    while (j < text.size() && text.at(j).isSpace())
        ++j;
    if (j + 1 >= text.size() || text.at(j) != QLatin1Char('('))
        return -1;
    int k = j + 1;
    while (k < text.size() && text.at(k).isSpace())
        ++k;
    return k < text.size() && text.at(k) == QLatin1Char(')') ? k + 1 : -1;
}

bool startsWithAt(const QString &text, int at, QLatin1String word)
{
    return text.mid(at, word.size()).compare(word, Qt::CaseInsensitive) == 0
        && (at == 0 || !(text.at(at - 1).isLetterOrNumber() || text.at(at - 1) == QLatin1Char('_')));
}

// Splits the arguments of a call whose '(' is at `open`; returns the index of its ')' or -1.
int callArguments(const QString &text, int open, QStringList &args)
{
    int depth = 0;
    bool quoted = false;
    int start = open + 1;
    for (int i = open; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        } else if (quoted) {
            continue;
        } else if (c == QLatin1Char('(')) {
            ++depth;
        } else if (c == QLatin1Char(')')) {
            if (--depth == 0) {
                args << text.mid(start, i - start).trimmed();
                return i;
            }
        } else if (c == QLatin1Char(',') && depth == 1) {
            args << text.mid(start, i - start).trimmed();
            start = i + 1;
        }
    }
    return -1;
}

// A positive whole number of seconds, or the default.
int seconds(const QVariant &value, int byDefault)
{
    bool ok = false;
    const int n = value.toString().trimmed().toInt(&ok);
    return ok && n > 0 ? n : byDefault;
}

// The value of `key` in an ODBC connect string "KEY=value;KEY={value};...".
QString connectStringValue(const QString &connectString, const QString &key)
{
    for (const QString &part : connectString.split(QLatin1Char(';'))) {
        const int eq = part.indexOf(QLatin1Char('='));
        if (eq > 0 && part.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0) {
            QString v = part.mid(eq + 1).trimmed();
            if (v.startsWith(QLatin1Char('{')) && v.endsWith(QLatin1Char('}')))
                v = v.mid(1, v.size() - 2);
            return v;
        }
    }
    return QString();
}

// PQsocket of the PostgreSQL client library the QPSQL plugin loaded; looked up at run time, so
// the program needs no libpq headers to build.
int postgresSocket(const QSqlDatabase &d)
{
    using PQsocketFn = int (*)(const void *);
    static PQsocketFn pqSocket = nullptr;
    if (!pqSocket) {
        if (void *lib = dlopen("libpq.so.5", RTLD_LAZY | RTLD_NOLOAD))
            pqSocket = reinterpret_cast<PQsocketFn>(dlsym(lib, "PQsocket"));
        if (!pqSocket)
            return -1;
    }
    if (!d.driver())
        return -1;
    const QVariant h = d.driver()->handle();
    // PGconn is a typedef of struct pg_conn: the type is named either way.
    if (!h.isValid() || (qstrcmp(h.typeName(), "PGconn*") != 0 && qstrcmp(h.typeName(), "pg_conn*") != 0))
        return -1;
    const void *connection = *static_cast<void *const *>(h.constData());
    return connection ? pqSocket(connection) : -1;
}

// The inode of the socket behind a descriptor; 0 when it is not a socket.
quint64 socketInode(int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) ? quint64(st.st_ino) : 0;
}

// The sockets this process holds, descriptor to inode (/proc/self/fd; empty where there is
// none).
std::map<int, quint64> processSockets()
{
    std::map<int, quint64> sockets;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return sockets;
    while (const dirent *entry = ::readdir(dir)) {
        bool ok = false;
        const int fd = QByteArray(entry->d_name).toInt(&ok);
        if (!ok)
            continue;
        if (const quint64 inode = socketInode(fd))
            sockets[fd] = inode;
    }
    ::closedir(dir);
    return sockets;
}

// Connections of this process open one at a time, so that the socket a connection adds is
// told apart from another's.
std::mutex &openingLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

// PostgreSQL's statement_timeout is the server's, and so is an ODBC driver's query timeout when
// the driver has the server time the statement: a stopped server process or a network that
// swallows everything never sends it, and the client library would wait for ever. The
// watchdog, one thread per connection, cuts the connection's socket (shutdown, both ways)
// when a statement is still waiting at its deadline: the client library then fails the
// statement, the connection is closed and the next use opens a new one.
class ProductionDatabase::Watchdog
{
public:
    Watchdog()
        : m_thread([this] { run(); })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    void arm(int socket, std::chrono::milliseconds after)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_socket = socket;
            m_deadline = std::chrono::steady_clock::now() + after;
            m_armed = true;
            m_fired = false;
        }
        m_wake.notify_all();
    }
    // Whether it cut the socket since arm().
    bool disarm()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = false;
        const bool fired = m_fired;
        m_fired = false;
        return fired;
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop) {
            if (!m_armed) {
                m_wake.wait(lock);
                continue;
            }
            m_wake.wait_until(lock, m_deadline);
            // The socket is cut only while the statement still waits: disarm() takes the lock
            // before the connection can close it.
            if (m_armed && !m_stop && std::chrono::steady_clock::now() >= m_deadline) {
                ::shutdown(m_socket, SHUT_RDWR);
                m_armed = false;
                m_fired = true;
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_armed = false;
    bool m_fired = false;
    int m_socket = -1;
    std::chrono::steady_clock::time_point m_deadline;
    std::thread m_thread; // last: it starts once the rest is there
};

QString maskPasswordOptions(const QString &text)
{
    static const QRegularExpression option(
        QStringLiteral("\\b((?:PWD|PASSWORD)\\s*=\\s*)(\\{[^}]*\\}?|'(?:[^'\\\\]|\\\\.)*'?|\"[^\"]*\"?|[^;\\n]*(?=;)|[^;\\s]*)"),
        QRegularExpression::CaseInsensitiveOption);
    QString out = text;
    out.replace(option, QStringLiteral("\\1***"));
    return out;
}

QString databaseServerName(const ConnectionSettings &s)
{
    if (s.driver == QLatin1String("QPSQL"))
        return QStringLiteral("сервер %1:%2")
            .arg(s.hostName.isEmpty() ? QStringLiteral("localhost") : s.hostName)
            .arg(s.port > 0 ? s.port : 5432);
    if (s.driver == QLatin1String("QSQLITE"))
        return QStringLiteral("файл %1").arg(s.databaseName);
    if (s.driver == QLatin1String("QODBC")) {
        // A DSN-less connect string may carry the password: only its DSN or SERVER is named.
        if (!s.databaseName.contains(QLatin1Char('=')))
            return QStringLiteral("источник данных %1").arg(s.databaseName);
        const QString dsn = connectStringValue(s.databaseName, QStringLiteral("DSN"));
        if (!dsn.isEmpty())
            return QStringLiteral("источник данных %1").arg(dsn);
        for (const char *key : {"SERVER", "ADDRESS", "ADDR", "HOST", "SERVERNAME"}) {
            const QString server = connectStringValue(s.databaseName, QLatin1String(key));
            if (!server.isEmpty())
                return QStringLiteral("сервер %1").arg(server);
        }
        return QStringLiteral("источник данных ODBC");
    }
    return QStringLiteral("%1 %2").arg(s.driver, s.hostName.isEmpty() ? s.databaseName : s.hostName);
}

QString effectiveConnectOptions(const ConnectionSettings &s)
{
    QStringList options;
    if (s.driver == QLatin1String("QPSQL")) {
        options << QStringLiteral("connect_timeout=%1").arg(s.connectTimeout);
    } else if (s.driver == QLatin1String("QODBC")) {
        options << QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(s.connectTimeout)
                << QStringLiteral("SQL_ATTR_CONNECTION_TIMEOUT=%1").arg(s.queryTimeout);
    } else if (s.driver == QLatin1String("QSQLITE")) {
        options << QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(qint64(s.queryTimeout) * 1000);
    }
    if (!s.connectOptions.trimmed().isEmpty())
        options << s.connectOptions.trimmed();
    return options.join(QLatin1Char(';'));
}

ConnectionSettings readConnectionSettings(QSettings &store)
{
    ConnectionSettings s;
    store.beginGroup(QLatin1String(ConnectionGroup));
    s.driver = store.value(QStringLiteral("Driver"), s.driver).toString().trimmed().toUpper();
    s.databaseName = store.value(QStringLiteral("DatabaseName")).toString();
    s.hostName = store.value(QStringLiteral("HostName")).toString();
    bool ok = false;
    const int port = store.value(QStringLiteral("Port")).toInt(&ok);
    s.port = ok && port > 0 ? port : -1;
    s.userName = store.value(QStringLiteral("UserName")).toString();
    s.password = store.value(QStringLiteral("Password")).toString();
    s.connectOptions = store.value(QStringLiteral("ConnectOptions")).toString();
    s.connectTimeout = seconds(store.value(QStringLiteral("ConnectTimeout")), DefaultConnectTimeout);
    s.queryTimeout = seconds(store.value(QStringLiteral("QueryTimeout")), DefaultQueryTimeout);
    store.endGroup();
    return s;
}

ConnectionSettings readConnectionSettings(const QString &organisation, const QString &application)
{
    QSettings store(organisation, application);
    return readConnectionSettings(store);
}

SqlDialect sqlDialect(const QSqlDatabase &connection)
{
    switch (connection.driver() ? connection.driver()->dbmsType() : QSqlDriver::UnknownDbms) {
    case QSqlDriver::PostgreSQL:
        return SqlDialect::PostgreSql;
    case QSqlDriver::SQLite:
        return SqlDialect::Sqlite;
    case QSqlDriver::MSSqlServer:
        return SqlDialect::SqlServer;
    default:
        break;
    }
    if (connection.driverName() == QLatin1String("QPSQL"))
        return SqlDialect::PostgreSql;
    if (connection.driverName() == QLatin1String("QSQLITE"))
        return SqlDialect::Sqlite;
    return SqlDialect::SqlServer;
}

QString sqlForDialect(const QString &text, SqlDialect dialect)
{
    if (dialect == SqlDialect::SqlServer)
        return text;
    QString out;
    bool quoted = false;
    for (int i = 0; i < text.size();) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        } else if (!quoted && startsWithAt(text, i, QLatin1String("getdate"))) {
            if (const int end = emptyCallEnd(text, i, 7); end > 0) {
                out += serverNow(dialect);
                i = end;
                continue;
            }
        } else if (!quoted && startsWithAt(text, i, QLatin1String("sysdatetimeoffset"))) {
            if (const int end = emptyCallEnd(text, i, 17); end > 0) {
                out += serverInstant(dialect);
                i = end;
                continue;
            }
        } else if (!quoted && startsWithAt(text, i, QLatin1String("datediff"))) {
            int j = i + 8;
            while (j < text.size() && text.at(j).isSpace())
                ++j;
            QStringList args;
            const int close = j < text.size() && text.at(j) == QLatin1Char('(') ? callArguments(text, j, args) : -1;
            if (close > 0 && args.size() == 3 && args.at(0).compare(QLatin1String("DAY"), Qt::CaseInsensitive) == 0) {
                out += dayDifference(sqlForDialect(args.at(1), dialect), sqlForDialect(args.at(2), dialect), dialect);
                i = close + 1;
                continue;
            }
        }
        out += c;
        ++i;
    }
    return out;
}

QString localComputerName()
{
    return QSysInfo::machineHostName().left(16);
}

QString localLogin()
{
    QString login;
    if (const passwd *pw = getpwuid(geteuid()))
        login = QString::fromLocal8Bit(pw->pw_name);
    if (login.isEmpty())
        login = qEnvironmentVariable("USER");
    return login.size() > 16 ? QString() : login;
}

bool pcClockNeedsSetting(const ServerTime &server, const QDateTime &pcNow)
{
    if (!server.instant.isValid() || !pcNow.isValid())
        return false;
    return qAbs(server.instant.msecsTo(pcNow)) >= qMax<qint64>(1, server.resolutionMs);
}

bool setPcClock(const QDateTime &instant)
{
    if (!instant.isValid())
        return false;
    const qint64 ms = instant.toMSecsSinceEpoch();
    timespec ts;
    ts.tv_sec = time_t(ms / 1000);
    ts.tv_nsec = long(ms % 1000) * 1000000L;
    return clock_settime(CLOCK_REALTIME, &ts) == 0;
}

ProductionRecord ProductionRecord::readingsOnly() const
{
    ProductionRecord r;
    r.settings.number = settings.number;
    r.settings.version = settings.version;
    r.settings.turnOn = settings.turnOn;
    r.settings.status = settings.status;
    r.settings.nCorrect = settings.nCorrect;
    r.settings.readings = settings.readings;
    r.secPerDay = secPerDay;
    return r;
}

std::optional<double> driftValue(const QString &text, const QLocale &locale)
{
    bool ok = false;
    const double v = locale.toDouble(text.trimmed(), &ok);
    if (!ok || !qIsFinite(v))
        return std::nullopt;
    return v;
}

ProductionRecord buildProductionRecord(const SettingsWrite &write, const ReadoutForRecord &readout,
                                       const QString &driftText, const QLocale &locale)
{
    ProductionRecord r;
    r.settings = buildSettingsRecord(write, readout, locale);
    r.correct = write.correction;
    r.secPerDay = driftValue(driftText, locale);
    r.numberWritten = write.serial.has_value();
    return r;
}

bool defectCodeAccepted(const QString &code)
{
    return !code.trimmed().isEmpty();
}

bool defectCodeFits(const QString &code)
{
    return code.trimmed().size() <= MaxDefectCodeLength;
}

ProductionDatabase::ProductionDatabase(const ConnectionSettings &s, const QString &connectionName)
    : m_name(connectionName)
    , m_settings(s)
{
    QSqlDatabase d = QSqlDatabase::addDatabase(s.driver, m_name);
    d.setDatabaseName(s.databaseName);
    if (!s.hostName.isEmpty())
        d.setHostName(s.hostName);
    if (s.port > 0)
        d.setPort(s.port);
    if (!s.userName.isEmpty())
        d.setUserName(s.userName);
    if (!s.password.isEmpty())
        d.setPassword(s.password);
    if (const QString options = effectiveConnectOptions(s); !options.isEmpty())
        d.setConnectOptions(options);
}

ProductionDatabase::~ProductionDatabase()
{
    m_watchdog.reset();
    {
        QSqlDatabase d = QSqlDatabase::database(m_name, false);
        if (d.isOpen())
            d.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

QSqlDatabase ProductionDatabase::db() const
{
    return QSqlDatabase::database(m_name, false);
}

void ProductionDatabase::fail(const QString &engineText) const
{
    throw DatabaseError(maskPasswordOptions(engineText));
}

void ProductionDatabase::failStatement(const QString &engineText, qint64 elapsedMs, bool cut) const
{
    // A connection whose socket the watchdog cut is of no further use.
    if (cut && db().isOpen())
        db().close();
    closeIfDead();
    // A statement that ended at its bound had no answer: the server is named.
    if (cut || elapsedMs >= qint64(m_settings.queryTimeout) * 1000 - 100)
        fail(QStringLiteral("База данных не ответила за %1 с (%2). %3")
                 .arg(m_settings.queryTimeout)
                 .arg(databaseServerName(m_settings), engineText)
                 .trimmed());
    // The connection is gone (the server closed it, the network cut it): the server is named.
    if (!db().isOpen())
        fail(QStringLiteral("Соединение с базой данных прервано (%1): %2").arg(databaseServerName(m_settings), engineText));
    fail(engineText);
}

bool ProductionDatabase::throughLibpq() const
{
    return m_settings.driver == QLatin1String("QPSQL");
}

void ProductionDatabase::closeIfDead() const
{
    QSqlDatabase d = db();
    if (d.isOpen() && d.driverName() == QLatin1String("QODBC") && odbcConnectionDead(d))
        d.close();
}

int ProductionDatabase::connectionSocket() const
{
    if (throughLibpq())
        return postgresSocket(db());
    // Still the connection's socket, not a descriptor closed and reused since.
    if (m_socket < 0 || socketInode(m_socket) != m_socketInode)
        return -1;
    return m_socket;
}

void ProductionDatabase::armWatchdog()
{
    const int socket = connectionSocket();
    if (socket < 0)
        return;
    if (!m_watchdog)
        m_watchdog = std::make_unique<Watchdog>();
    // A second after the server's own statement_timeout, which is the better message when
    // the server still answers.
    m_watchdog->arm(socket, std::chrono::milliseconds(qint64(m_settings.queryTimeout) * 1000 + 1000));
}

bool ProductionDatabase::disarmWatchdog()
{
    return m_watchdog && m_watchdog->disarm();
}

void ProductionDatabase::open()
{
    QSqlDatabase d = db();
    if (!d.isValid())
        fail(QStringLiteral("Нет драйвера базы данных \"%1\".").arg(d.driverName()));
    if (d.isOpen())
        return;
    QElapsedTimer waited;
    waited.start();
    // An ODBC driver does not tell its socket: it is the one socket its connecting added.
    m_socket = -1;
    bool opened = false;
    if (d.driverName() == QLatin1String("QODBC")) {
        std::lock_guard<std::mutex> lock(openingLock());
        const std::map<int, quint64> before = processSockets();
        opened = d.open();
        int added = 0;
        for (const auto &[fd, inode] : processSockets()) {
            const auto old = before.find(fd);
            if (old == before.end() || old->second != inode) {
                m_socket = fd;
                m_socketInode = inode;
                ++added;
            }
        }
        if (added != 1)
            m_socket = -1;
    } else {
        opened = d.open();
    }
    if (!opened) {
        const QString engine = d.lastError().text();
        if (waited.elapsed() >= qint64(m_settings.connectTimeout) * 1000 - 100)
            fail(QStringLiteral("База данных не ответила за %1 с при соединении (%2). %3")
                     .arg(m_settings.connectTimeout)
                     .arg(databaseServerName(m_settings), engine)
                     .trimmed());
        fail(QStringLiteral("Нет соединения с базой данных (%1): %2").arg(databaseServerName(m_settings), engine));
    }
    m_dialect = sqlDialect(d);
    if (throughLibpq()) {
        try {
            exec(QStringLiteral("SET statement_timeout = %1").arg(qint64(m_settings.queryTimeout) * 1000));
        } catch (...) {
            d.close();
            throw;
        }
    }
}

bool ProductionDatabase::isOpen() const
{
    return db().isOpen();
}

QSqlQuery ProductionDatabase::exec(const QString &sqlServerText, const Params &params)
{
    open();
    QSqlDatabase d = db();
    QSqlQuery q(d);
    q.setForwardOnly(true);
    const QString text = sqlForDialect(sqlServerText, m_dialect);
    const bool odbc = d.driverName() == QLatin1String("QODBC");
    QElapsedTimer waited;
    waited.start();
    // A text without parameters runs directly (PostgreSQL prepares only queries and changes
    // of rows, not the statements of a schema script). ODBC prepares every text: the query
    // timeout is an attribute of the statement handle, which exists once prepared.
    if (params.isEmpty() && !odbc) {
        armWatchdog();
        const bool ok = q.exec(text);
        const bool cut = disarmWatchdog();
        if (!ok)
            failStatement(q.lastError().text(), waited.elapsed(), cut);
        return q;
    }
    armWatchdog();
    if (!q.prepare(text)) {
        const bool cut = disarmWatchdog();
        failStatement(q.lastError().text(), waited.elapsed(), cut);
    }
    if (odbc)
        setOdbcQueryTimeout(q, m_settings.queryTimeout);
    const bool textTimes = d.driverName() == QLatin1String("QPSQL") || d.driverName() == QLatin1String("QSQLITE");
    for (const auto &[name, value] : params) {
        // PostgreSQL and SQLite get a date-time as it is on the clock, without a zone: the
        // PostgreSQL driver would send an offset and the server would move the value into its
        // own zone, and SQLite's would mark a time without a zone (the meter's) as UTC.
        if (textTimes && value.metaType().id() == QMetaType::QDateTime && !value.isNull())
            q.bindValue(QLatin1Char(':') + name, value.toDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")));
        else
            q.bindValue(QLatin1Char(':') + name, value);
    }
    const bool ok = q.exec();
    const bool cut = disarmWatchdog();
    if (!ok)
        failStatement(q.lastError().text(), waited.elapsed(), cut);
    return q;
}

void ProductionDatabase::begin()
{
    open();
    transactionStep(&QSqlDatabase::transaction);
}

void ProductionDatabase::commit()
{
    transactionStep(&QSqlDatabase::commit);
}

void ProductionDatabase::transactionStep(bool (QSqlDatabase::*step)())
{
    QSqlDatabase d = db();
    QElapsedTimer waited;
    waited.start();
    armWatchdog();
    const bool ok = (d.*step)();
    const bool cut = disarmWatchdog();
    if (!ok)
        failStatement(d.lastError().text(), waited.elapsed(), cut);
}

void ProductionDatabase::rollback()
{
    QSqlDatabase d = db();
    if (!d.isOpen())
        return; // a connection that broke has no transaction left
    armWatchdog();
    d.rollback();
    disarmWatchdog();
}

QVariant ProductionDatabase::firstValue(const QString &sqlServerText, const Params &params)
{
    QSqlQuery q = exec(sqlServerText, params);
    return q.next() ? q.value(0) : QVariant();
}

namespace {
// A column of the first row read as an integer; 0 when there is no row.
int firstRowInt(QSqlQuery q, const QString &column)
{
    return q.next() ? q.value(column).toInt() : 0;
}
} // namespace

Identification ProductionDatabase::identify(const QString &computerName, const QString &login)
{
    Identification r;
    r.identity.computerId = firstRowInt(exec(QueryComputer, {{QStringLiteral("name"), computerName}}),
                                        QStringLiteral("computer_id"));
    if (r.identity.computerId == 0) {
        r.problem = QStringLiteral("Компьютер \"%1\" не описан в БД.").arg(computerName);
        return r;
    }
    r.identity.personId = firstRowInt(exec(QueryPerson, {{QStringLiteral("login"), login}}), QStringLiteral("person_id"));
    if (r.identity.personId == 0) {
        r.problem = QStringLiteral("Пользователь \"%1\" не описан в БД.").arg(login);
        return r;
    }
    r.identity.plantId = firstRowInt(exec(QueryPlant, {{QStringLiteral("computer_id"), r.identity.computerId}}),
                                     QStringLiteral("plant_id"));
    if (r.identity.plantId == 0)
        r.problem = QStringLiteral("Установка не описана в БД.");
    return r;
}

ServerTime ProductionDatabase::serverTime()
{
    const QVariant v = firstValue(QueryTime);
    ServerTime t;
    if (m_dialect == SqlDialect::PostgreSql) {
        bool ok = false;
        const double secs = v.toDouble(&ok);
        // Whole milliseconds cut, not rounded: rounding would put the instant up to half a
        // millisecond after the server read its clock.
        if (ok && qIsFinite(secs))
            t.instant = QDateTime::fromMSecsSinceEpoch(qint64(std::floor(secs * 1000.0)), Qt::UTC);
    } else if (m_dialect == SqlDialect::Sqlite) {
        t.instant = instantFromText(v.toString(), Qt::UTC);
        t.resolutionMs = 1000; // datetime('now') has whole seconds
    } else {
        t.instant = instantOf(v);
    }
    if (!t.instant.isValid())
        fail(QStringLiteral("Сервер не сообщил время."));
    t.instant = t.instant.toUTC();
    return t;
}

ProductionStartSettings ProductionDatabase::lastSettings()
{
    ProductionStartSettings s;
    const auto newest = [this](const QString &text) { return firstValue(text).toInt(); };

    if (const int n = newest(QueryMaxTarif)) {
        QSqlQuery q = exec(QueryOp, {{QStringLiteral("operation_id"), n}});
        if (q.next()) {
            s.password = textOf(q.value(QStringLiteral("pass")));
            for (int i = 0; i < 6; ++i) {
                s.zones[size_t(i)] = textOf(q.value(QStringLiteral("zone_%1").arg(i)));
                const QDateTime t = toDateTime(q.value(QStringLiteral("time_%1").arg(i)));
                s.zoneTimes[size_t(i)] = t.isValid() ? t.time() : QTime(0, 0);
            }
        }
        s.oneTariff = false;
    }
    if (const int n = newest(QueryMaxIndi)) {
        QSqlQuery q = exec(QueryOp, {{QStringLiteral("operation_id"), n}});
        if (q.next())
            s.indicator = q.value(QStringLiteral("indicator")).toInt();
    }
    if (const int n = newest(QueryMaxPass)) {
        QSqlQuery q = exec(QueryOp, {{QStringLiteral("operation_id"), n}});
        if (q.next())
            s.password = textOf(q.value(QStringLiteral("pass")));
    }
    return s;
}

std::optional<int> ProductionDatabase::meterId(int serial)
{
    QSqlQuery q = exec(QueryCheckNumber, {{QStringLiteral("number"), serial},
                                          {QStringLiteral("type_id"), ProductionMeterTypeId}});
    if (!q.next())
        return std::nullopt;
    return q.value(QStringLiteral("electro_id")).toInt();
}

int ProductionDatabase::openRepairs(int electroId)
{
    return firstValue(QuerySpoilage, {{QStringLiteral("electro_id"), electroId}}).toInt();
}

int ProductionDatabase::writeSettingsRecord(int electroId, const BenchIdentity &bench, const ProductionRecord &record)
{
    begin();
    try {
        if (record.numberWritten) {
            // Two benches may have written one number within these seconds: the meter's row
            // is locked first, so the later transaction waits for the earlier one's commit
            // and then sees its operation (PostgreSQL and SQL Server hold the row lock,
            // SQLite its write lock, to the end of the transaction).
            exec(QueryLockMeter, {{QStringLiteral("electro_id"), electroId}});
            if (firstValue(QueryMeterSet, {{QStringLiteral("electro_id"), electroId}}).toInt() > 0) {
                rollback();
                return 0;
            }
        }
        const Params operation{{QStringLiteral("type_id"), SettingOperationTypeId},
                               {QStringLiteral("electro_id"), electroId},
                               {QStringLiteral("plant_id"), bench.plantId},
                               {QStringLiteral("person_id"), bench.personId},
                               {QStringLiteral("success"), 1}};
        // The new operation's id as its INSERT produced it. The newest operation of the bench
        // is not always this one: another session on the same bench (a second program on the
        // bench computer, its defect registration) may commit an operation between the INSERT
        // and the lookup, and the settings record would land on that operation, or fail on its
        // key. PostgreSQL returns the id from the INSERT; SQLite keeps the connection's last
        // rowid, and its write lock keeps other sessions out until the commit anyway. SQL
        // Server still looks the id up as the bench's newest.
        int operationId = 0;
        if (m_dialect == SqlDialect::PostgreSql) {
            QSqlQuery q = exec(QueryOperation + QStringLiteral("\nRETURNING operation_id"), operation);
            operationId = q.next() ? q.value(0).toInt() : 0;
        } else if (m_dialect == SqlDialect::Sqlite) {
            exec(QueryOperation, operation);
            operationId = firstValue(QStringLiteral("SELECT last_insert_rowid()")).toInt();
        } else {
            exec(QueryOperation, operation);
            operationId = firstValue(QueryMaxOper, {{QStringLiteral("plant_id"), bench.plantId}}).toInt();
        }
        if (operationId == 0)
            fail(QStringLiteral("Операция не найдена после записи."));

        const SettingsRecord &s = record.settings;
        const auto reading = [&](int i) { return orNull(s.readings[size_t(i)], nullDouble()); };
        QVariant dateTime = nullDateTime();
        if (s.clockDate && s.clockTime)
            dateTime = zoneFree(*s.clockDate, *s.clockTime);
        exec(QueryIns, {
            {QStringLiteral("operation_id"), operationId},
            {QStringLiteral("version"), s.version},
            {QStringLiteral("turn_on"), qint64(qRound64(s.turnOn))},
            {QStringLiteral("status"), qint64(qRound64(s.status))},
            {QStringLiteral("address"), orNull(s.address, nullInt())},
            {QStringLiteral("date_time"), dateTime},
            {QStringLiteral("summer"), orNull(s.summer, nullBool())},
            {QStringLiteral("correct"), orNull(record.correct, nullInt())},
            {QStringLiteral("pass"), intOrNull(s.password)},
            {QStringLiteral("t_1_1"), reading(3)},
            {QStringLiteral("t_1_c"), reading(0)},
            {QStringLiteral("t_2_1"), reading(4)},
            {QStringLiteral("t_2_c"), reading(1)},
            {QStringLiteral("t_3_1"), reading(5)},
            {QStringLiteral("t_3_c"), reading(2)},
            {QStringLiteral("ddm_a"), intOrNull(s.ddm[0])},
            {QStringLiteral("ddm_b"), intOrNull(s.ddm[1])},
            {QStringLiteral("ddm_c"), intOrNull(s.ddm[2])},
            {QStringLiteral("count_day"), orNull(s.countDay, nullInt())},
            {QStringLiteral("count_hour"), orNull(s.countHour, nullInt())},
            {QStringLiteral("ncorrect"), s.nCorrect},
            {QStringLiteral("indicator"), orNull(s.indicator, nullInt())},
            {QStringLiteral("secperday"), orNull(record.secPerDay, nullDouble())},
        });
        commit();
        return operationId;
    } catch (...) {
        rollback();
        throw;
    }
}

namespace {

RecordResult refused(RecordOutcome outcome, const QString &message, const char *caption)
{
    RecordResult r;
    r.outcome = outcome;
    r.message = message;
    r.caption = QString::fromUtf8(caption);
    return r;
}

} // namespace

RecordResult ProductionDatabase::recordWrite(const BenchIdentity &bench, const ProductionRecord &record)
{
    const std::optional<int> meter = meterId(int(record.settings.number));
    if (!meter)
        return refused(RecordOutcome::NotRegistered, MessageMeterNotRegistered, CaptionRecordFailed);
    if (openRepairs(*meter) > 0)
        return refused(RecordOutcome::UnderRepair, MessageUnderRepair, CaptionRecordFailed);
    return recordOn(*meter, bench, record);
}

RecordResult ProductionDatabase::recordFix(const BenchIdentity &bench, const ProductionRecord &record)
{
    const std::optional<int> meter = meterId(int(record.settings.number));
    if (!meter)
        return refused(RecordOutcome::NotRegistered, MessageMeterNotRegistered, CaptionRecordFailed);
    return recordOn(*meter, bench, record.readingsOnly());
}

// The settings record of a registered meter; a database error is a refusal with its text.
RecordResult ProductionDatabase::recordOn(int electroId, const BenchIdentity &bench, const ProductionRecord &record)
{
    RecordResult r;
    try {
        r.operationId = writeSettingsRecord(electroId, bench, record);
    } catch (const DatabaseError &e) {
        return refused(RecordOutcome::WriteFailed, MessageWriteFailedPrefix + e.text(), CaptionDatabase);
    }
    if (r.operationId == 0)
        return refused(RecordOutcome::NumberTaken, numberTakenMessage(qint64(record.settings.number)),
                       CaptionRecordFailed);
    return r;
}

std::optional<qint64> ProductionDatabase::nextFreeNumber(qint64 *from)
{
    const qint64 start =
        firstValue(QueryMaxSql, {{QStringLiteral("type_id"), ProductionMeterTypeId}}).toLongLong() + 1;
    if (from)
        *from = start;
    const QVariant free = firstValue(QueryFreeFrom, {{QStringLiteral("type_id"), ProductionMeterTypeId},
                                                     {QStringLiteral("start"), start}});
    if (free.isNull())
        return std::nullopt;
    return free.toLongLong();
}

bool ProductionDatabase::numberHasSettingOperation(int serial)
{
    return firstValue(QueryNumberSet, {{QStringLiteral("number"), serial},
                                       {QStringLiteral("type_id"), ProductionMeterTypeId}})
               .toInt()
        > 0;
}

QDateTime ProductionDatabase::lastSettingTime(int serial)
{
    return toDateTime(firstValue(QueryDelta, {{QStringLiteral("number"), serial},
                                              {QStringLiteral("type_id"), ProductionMeterTypeId}}));
}

int ProductionDatabase::todaysSettingOperation(int electroId)
{
    return firstValue(QuerySelect, {{QStringLiteral("electro_id"), electroId}}).toInt();
}

int ProductionDatabase::registerDefect(int electroId, const BenchIdentity &bench, const QString &code)
{
    if (!defectCodeFits(code))
        fail(QStringLiteral("Код брака длиннее %1 знаков.").arg(MaxDefectCodeLength));
    begin();
    try {
        const int n = registerDefectSteps(electroId, bench, code);
        commit();
        return n;
    } catch (...) {
        rollback();
        throw;
    }
}

int ProductionDatabase::registerDefectSteps(int electroId, const BenchIdentity &bench, const QString &code)
{
    int n = todaysSettingOperation(electroId);
    if (n != 0) {
        exec(QueryFail, {{QStringLiteral("operation_id"), n}});
    } else {
        exec(QueryInsert, {{QStringLiteral("electro_id"), electroId},
                           {QStringLiteral("plant_id"), bench.plantId},
                           {QStringLiteral("person_id"), bench.personId}});
        n = todaysSettingOperation(electroId);
        // Never a defect record pointing at no operation.
        if (n == 0)
            fail(QStringLiteral("Операция брака не найдена после записи."));
    }
    exec(QueryDefect, {{QStringLiteral("electro_id"), electroId},
                       {QStringLiteral("person_id"), bench.personId},
                       {QStringLiteral("code"), code.trimmed()},
                       {QStringLiteral("operation_id"), n}});
    return n;
}

} // namespace zk
