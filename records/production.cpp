#include "records/production.h"

#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>

#include <pwd.h>
#include <time.h>
#include <unistd.h>

namespace zk {

const QString MessageMeterNotRegistered = QStringLiteral("Номер прибора не описан в БД. Установите его.");
const QString MessageUnderRepair = QStringLiteral("Прибор в ремонте.");
const QString MessageWriteFailedPrefix = QStringLiteral("Ошибка записи в БД: ");

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
const QString QueryTime = lines({"SELECT getdate()"});
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
QDateTime toDateTime(const QVariant &v)
{
    if (v.isNull())
        return {};
    if (v.metaType().id() == QMetaType::QDateTime)
        return v.toDateTime();
    if (v.metaType().id() == QMetaType::QDate)
        return v.toDate().startOfDay();
    QString text = v.toString().trimmed();
    if (text.size() > 10 && text.at(10) == QLatin1Char(' '))
        text[10] = QLatin1Char('T');
    QDateTime dt = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!dt.isValid())
        dt = QDateTime::fromString(text, Qt::ISODate);
    return dt;
}

// The day difference DATEDIFF(DAY, from, to) in the driver's own terms.
QString dayDifference(const QString &from, const QString &to, const QString &driver)
{
    if (driver == QLatin1String("QPSQL"))
        return QStringLiteral("(CAST(%2 AS DATE) - CAST(%1 AS DATE))").arg(from, to);
    return QStringLiteral("CAST(julianday(date(%2)) - julianday(date(%1)) AS INTEGER)").arg(from, to);
}

QString serverNow(const QString &driver)
{
    if (driver == QLatin1String("QPSQL"))
        return QStringLiteral("LOCALTIMESTAMP");
    return QStringLiteral("datetime('now','localtime')");
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

QString redact(QString text, const QString &password)
{
    if (!password.isEmpty())
        text.replace(password, QStringLiteral("***"));
    return text;
}

} // namespace

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
    store.endGroup();
    return s;
}

ConnectionSettings readConnectionSettings(const QString &organisation, const QString &application)
{
    QSettings store(organisation, application);
    return readConnectionSettings(store);
}

QString sqlForDriver(const QString &text, const QString &driver)
{
    if (driver != QLatin1String("QPSQL") && driver != QLatin1String("QSQLITE"))
        return text;
    QString out;
    bool quoted = false;
    for (int i = 0; i < text.size();) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        } else if (!quoted && startsWithAt(text, i, QLatin1String("getdate"))) {
            int j = i + 7;
            while (j < text.size() && text.at(j).isSpace())
                ++j;
            if (j + 1 < text.size() && text.at(j) == QLatin1Char('(')) {
                int k = j + 1;
                while (k < text.size() && text.at(k).isSpace())
                    ++k;
                if (k < text.size() && text.at(k) == QLatin1Char(')')) {
                    out += serverNow(driver);
                    i = k + 1;
                    continue;
                }
            }
        } else if (!quoted && startsWithAt(text, i, QLatin1String("datediff"))) {
            int j = i + 8;
            while (j < text.size() && text.at(j).isSpace())
                ++j;
            QStringList args;
            const int close = j < text.size() && text.at(j) == QLatin1Char('(') ? callArguments(text, j, args) : -1;
            if (close > 0 && args.size() == 3 && args.at(0).compare(QLatin1String("DAY"), Qt::CaseInsensitive) == 0) {
                out += dayDifference(sqlForDriver(args.at(1), driver), sqlForDriver(args.at(2), driver), driver);
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

bool setPcClock(const QDateTime &localTime)
{
    if (!localTime.isValid())
        return false;
    const qint64 ms = localTime.toMSecsSinceEpoch();
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
    return r;
}

bool defectCodeAccepted(const QString &code)
{
    return !code.trimmed().isEmpty();
}

ProductionDatabase::ProductionDatabase(const ConnectionSettings &s, const QString &connectionName)
    : m_name(connectionName)
    , m_password(s.password)
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
    if (!s.connectOptions.isEmpty())
        d.setConnectOptions(s.connectOptions);
}

ProductionDatabase::~ProductionDatabase()
{
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
    throw DatabaseError(redact(engineText, m_password));
}

void ProductionDatabase::open()
{
    QSqlDatabase d = db();
    if (!d.isValid())
        fail(QStringLiteral("Нет драйвера базы данных \"%1\".").arg(d.driverName()));
    if (d.isOpen())
        return;
    if (!d.open())
        fail(d.lastError().text());
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
    const QString text = sqlForDriver(sqlServerText, d.driverName());
    // A text without parameters runs directly (PostgreSQL prepares only queries and changes
    // of rows, not the statements of a schema script).
    if (params.isEmpty()) {
        if (!q.exec(text))
            fail(q.lastError().text());
        return q;
    }
    if (!q.prepare(text))
        fail(q.lastError().text());
    const bool textTimes = d.driverName() == QLatin1String("QPSQL");
    for (const auto &[name, value] : params) {
        // PostgreSQL gets a date-time as it is on the clock, without a zone: the driver would
        // send an offset and the server would move the value into its own zone.
        if (textTimes && value.metaType().id() == QMetaType::QDateTime && !value.isNull())
            q.bindValue(QLatin1Char(':') + name, value.toDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")));
        else
            q.bindValue(QLatin1Char(':') + name, value);
    }
    if (!q.exec())
        fail(q.lastError().text());
    return q;
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

QDateTime ProductionDatabase::serverTime()
{
    const QDateTime t = toDateTime(firstValue(QueryTime));
    if (!t.isValid())
        fail(QStringLiteral("Сервер не сообщил время."));
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
    open();
    QSqlDatabase d = db();
    if (!d.transaction())
        fail(d.lastError().text());
    try {
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
        // rowid, and its write lock keeps other sessions out until the commit anyway. Other
        // drivers (SQL Server through ODBC) still look the id up as the bench's newest.
        int operationId = 0;
        const QString driver = d.driverName();
        if (driver == QLatin1String("QPSQL")) {
            QSqlQuery q = exec(QueryOperation + QStringLiteral("\nRETURNING operation_id"), operation);
            operationId = q.next() ? q.value(0).toInt() : 0;
        } else if (driver == QLatin1String("QSQLITE")) {
            operationId = exec(QueryOperation, operation).lastInsertId().toInt();
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
            dateTime = QDateTime(*s.clockDate, *s.clockTime);
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
        if (!d.commit())
            fail(d.lastError().text());
        return operationId;
    } catch (...) {
        d.rollback();
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
    return r;
}

qint64 ProductionDatabase::nextFreeNumber()
{
    const QVariant smallest = firstValue(QueryMaxSql, {{QStringLiteral("type_id"), ProductionMeterTypeId}});
    return smallest.toLongLong() + 1;
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
