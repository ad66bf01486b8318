// The production database against real engines: SQLite in a temporary file and a PostgreSQL
// server started by scripts/pgtest (ZK_PG_HOST, ZK_PG_PORT, ZK_PG_DB, ZK_PG_USER), reached
// through QPSQL and through QODBC with the PostgreSQL ODBC driver. Every test runs on each; the
// schema comes from records/sql/.

#include "records/production.h"
#include "tests/testproduction.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace zk;

namespace {
const QLocale Ru(QLocale::Russian, QLocale::Russia);
using Db = std::unique_ptr<ProductionDatabase>;

bool pgAvailable() { return !qEnvironmentVariableIsEmpty("ZK_PG_PORT"); }

const QStringList AllDrivers{QStringLiteral("QSQLITE"), QStringLiteral("QPSQL"), QStringLiteral("QODBC")};
const QStringList ServerDrivers{QStringLiteral("QPSQL"), QStringLiteral("QODBC")};

ConnectionSettings pgSettings()
{
    ConnectionSettings s;
    s.driver = QStringLiteral("QPSQL");
    s.hostName = qEnvironmentVariable("ZK_PG_HOST");
    s.port = qEnvironmentVariableIntValue("ZK_PG_PORT");
    s.databaseName = qEnvironmentVariable("ZK_PG_DB");
    s.userName = qEnvironmentVariable("ZK_PG_USER");
    return s;
}

// The test run's PostgreSQL server through the driver (QPSQL or QODBC); `port` for a relay.
ConnectionSettings serverSettings(const QString &driver, int port = 0)
{
    ConnectionSettings s = pgSettings();
    if (port > 0)
        s.port = port;
    if (driver == QLatin1String("QODBC")) {
        s = ConnectionSettings{};
        s.databaseName = odbcPostgresConnectString(port);
    }
    return s;
}

// tests/cutproxy.py in front of the PostgreSQL server of the test run.
struct Relay {
    QProcess process;
    int port = 0;
    bool start(const QString &pattern = QStringLiteral("no pattern"))
    {
        process.start(QStringLiteral("python3"), {qEnvironmentVariable("ZK_SOURCE_DIR") + QStringLiteral("/tests/cutproxy.py"),
                                                  qEnvironmentVariable("ZK_PG_HOST"), qEnvironmentVariable("ZK_PG_PORT"),
                                                  pattern});
        if (!process.waitForStarted(5000))
            return false;
        const QString line = waitFor(QStringLiteral("port "));
        port = line.mid(5).toInt();
        return port > 0;
    }
    QString waitFor(const QString &prefix)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            while (process.canReadLine()) {
                const QString line = QString::fromUtf8(process.readLine()).trimmed();
                if (line.startsWith(prefix))
                    return line;
            }
            process.waitForReadyRead(100);
        }
        return QString();
    }
    bool command(const char *line)
    {
        process.write(line);
        process.write("\n");
        return !waitFor(QString::fromLatin1(line)).isEmpty();
    }
    ~Relay()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(5000))
            process.kill();
    }
};

QVariant one(ProductionDatabase &db, const QString &sql, const ProductionDatabase::Params &params = {})
{
    QSqlQuery q = db.exec(sql, params);
    return q.next() ? q.value(0) : QVariant();
}

int count(ProductionDatabase &db, const QString &table)
{
    return one(db, QStringLiteral("SELECT COUNT(*) FROM ") + table).toInt();
}

ProductionRecord sampleRecord(int serial, const QString &drift = QStringLiteral("5,0"))
{
    SettingsWrite w;
    w.clock = ClockSetting{QDate(2024, 2, 29), QTime(13, 5, 9), true};
    w.newPassword = QStringLiteral("4321");
    w.correction = -7;
    w.address = 17;
    w.billing = BillingDay{22, 3}; // hour, day
    w.ddm = Triple{100, 200, 300};
    w.indication = 0x0B;
    ReadoutForRecord r;
    r.serial = serial;
    r.version = QStringLiteral("1.12");
    r.turnOnCount = QStringLiteral("121");
    r.status = 0x8A;
    r.readings = {QStringLiteral("1,5"), QStringLiteral("2,25"), QStringLiteral("0,00025"),
                  QStringLiteral("7"), QStringLiteral("x"), QStringLiteral("3")};
    r.corrections = QStringLiteral("4");
    return buildProductionRecord(w, r, drift, Ru);
}
} // namespace

class TestProduction : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_files = 0;
    BenchIdentity m_bench;

    // A fresh database of the driver with the schema and the demo bench; m_bench is its
    // identity. Fails under CI when the PostgreSQL server is missing, skips elsewhere.
    Db fresh(const QString &driver)
    {
        Db db;
        if (driver != QLatin1String("QSQLITE")) {
            if (!pgAvailable())
                return nullptr;
            db = std::make_unique<ProductionDatabase>(serverSettings(driver), driver);
            db->exec(QStringLiteral("SET client_min_messages TO WARNING"));
            db->exec(QStringLiteral("DROP SCHEMA public CASCADE"));
            db->exec(QStringLiteral("CREATE SCHEMA public"));
            runProductionScript(*db, productionSqlFile(QStringLiteral("postgresql.sql")));
        } else {
            // Through the preferences group, as the program opens it.
            QSettings store(m_dir.filePath(QStringLiteral("prefs%1.ini").arg(++m_files)), QSettings::IniFormat);
            store.setValue(QStringLiteral("Electrometer/Driver"), QStringLiteral("qsqlite"));
            store.setValue(QStringLiteral("Electrometer/DatabaseName"), m_dir.filePath(QStringLiteral("db%1.sqlite").arg(m_files)));
            db = std::make_unique<ProductionDatabase>(readConnectionSettings(store), QStringLiteral("lite"));
            runProductionScript(*db, productionSqlFile(QStringLiteral("sqlite.sql")));
        }
        loadDemoBench(*db);
        const Identification id = db->identify(localComputerName(), localLogin());
        if (!id.ok())
            qFatal("demo bench not identified: %s", qPrintable(id.problem));
        m_bench = id.identity;
        return db;
    }

    static void drivers(const QStringList &which = AllDrivers)
    {
        QTest::addColumn<QString>("driver");
        for (const QString &d : which)
            QTest::newRow(qPrintable(d)) << d;
    }

    // Tests that need PostgreSQL (and for QODBC its ODBC driver) fail under CI without it and
    // are skipped elsewhere.
#define NEED_PG()                                                                  \
    if (!pgAvailable()) {                                                          \
        if (qEnvironmentVariable("CI") == QLatin1String("true"))                   \
            QFAIL("ZK_PG_* missing under CI: run the tests through scripts/pgtest"); \
        QSKIP("no PostgreSQL server (run through scripts/pgtest)");                \
    }
#define NEED_SERVER(driver)                                                        \
    if (driver != QLatin1String("QSQLITE"))                                        \
        NEED_PG();                                                                 \
    if (driver == QLatin1String("QODBC") && odbcPostgresDriver().isEmpty()) {      \
        if (qEnvironmentVariable("CI") == QLatin1String("true"))                   \
            QFAIL("QODBC or the PostgreSQL ODBC driver missing under CI");         \
        QSKIP("no QODBC or PostgreSQL ODBC driver (Debian: odbc-postgresql)");     \
    }
#define FRESH(db)                                                                  \
    QFETCH(QString, driver);                                                       \
    NEED_SERVER(driver);                                                           \
    Db db = fresh(driver);

private slots:
    void initTestCase()
    {
        QLocale::setDefault(Ru);
        QVERIFY(m_dir.isValid());
    }

    void identification_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("computer");
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("problem");
        for (const QString &d : AllDrivers) {
            const QByteArray p = d.toLatin1() + ": ";
            QTest::newRow(p + "demo bench") << d << QString() << QString() << QString();
            QTest::newRow(p + "unknown computer") << d << QStringLiteral("o'x; --") << QString()
                                                  << QStringLiteral("Компьютер \"o'x; --\" не описан в БД.");
            QTest::newRow(p + "operating 0") << d << QString() << QStringLiteral("idle")
                                             << QStringLiteral("Пользователь \"idle\" не описан в БД.");
            QTest::newRow(p + "bench of another type") << d << QStringLiteral("store") << QString()
                                                       << QStringLiteral("Установка не описана в БД.");
        }
    }
    void identification()
    {
        FRESH(db);
        QFETCH(QString, computer);
        QFETCH(QString, login);
        QFETCH(QString, problem);
        db->exec(QStringLiteral("INSERT INTO operator(login,operating) VALUES(:l,0)"), {{"l", QStringLiteral("idle")}});
        db->exec(QStringLiteral("INSERT INTO computer(name) VALUES('store')"));
        db->exec(QStringLiteral("INSERT INTO plant(type_id,computer_id) SELECT 5, computer_id FROM computer WHERE name = 'store'"));
        const Identification id = db->identify(computer.isEmpty() ? localComputerName() : computer,
                                               login.isEmpty() ? localLogin() : login);
        QCOMPARE(id.problem, problem);
        // The database's dialect, whichever Qt driver reaches it.
        QCOMPARE(db->dialect(), driver == QLatin1String("QSQLITE") ? SqlDialect::Sqlite : SqlDialect::PostgreSql);
        if (problem.isEmpty()) {
            QCOMPARE(id.identity.computerId, one(*db, QStringLiteral("SELECT computer_id FROM computer WHERE name = :n"),
                                                 {{"n", localComputerName()}}).toInt());
            QCOMPARE(id.identity.plantId, one(*db, QStringLiteral("SELECT plant_id FROM plant WHERE type_id = 3")).toInt());
            QVERIFY(id.identity.personId > 0);
        }
        // The server's clock, as the one of this machine.
        QVERIFY(qAbs(db->serverTime().instant.secsTo(QDateTime::currentDateTimeUtc())) < 120);
    }

    void recordWrite_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("drift");
        QTest::addColumn<QVariant>("secperday");
        for (const QString &d : AllDrivers) {
            const QByteArray p = d.toLatin1() + ": ";
            QTest::newRow(p + "drift 5,0") << d << QStringLiteral("5,0") << QVariant(5.0);
            QTest::newRow(p + "drift -12,3") << d << QStringLiteral("-12,3") << QVariant(-12.3);
            QTest::newRow(p + "drift empty") << d << QString() << QVariant();
        }
    }
    // Every column of a full record, the operation beside it, and the fix command's
    // readings-only record of the same values.
    void recordWrite()
    {
        FRESH(db);
        QFETCH(QString, drift);
        QFETCH(QVariant, secperday);
        const ProductionRecord rec = sampleRecord(1003, drift);
        const RecordResult r = db->recordWrite(m_bench, rec);
        QVERIFY2(r.recorded(), qPrintable(r.message));
        QVERIFY(r.message.isEmpty());

        QSqlQuery op = db->exec(QStringLiteral("SELECT * FROM operation WHERE operation_id = :o"), {{"o", r.operationId}});
        QVERIFY(op.next());
        QCOMPARE(op.value("type_id").toInt(), 3);
        QCOMPARE(op.value("electro_id").toInt(), *db->meterId(1003));
        QCOMPARE(op.value("plant_id").toInt(), m_bench.plantId);
        QCOMPARE(op.value("person_id").toInt(), m_bench.personId);
        QCOMPARE(op.value("success").toInt(), 1);
        QVERIFY(!op.value("date_operation").isNull());

        const auto row = [&](int operation) {
            QSqlQuery q = db->exec(QStringLiteral("SELECT * FROM set_zelta_kn WHERE operation_id = :o"), {{"o", operation}});
            if (!q.next())
                qFatal("no settings record");
            return q;
        };
        QSqlQuery s = row(r.operationId);
        QCOMPARE(s.value("version").toString(), QStringLiteral("1.12"));
        QCOMPARE(s.value("turn_on").toInt(), 121);
        QCOMPARE(s.value("status").toInt(), 0x8A);
        QCOMPARE(s.value("address").toInt(), 17);
        QCOMPARE(db->lastSettingTime(1003), zoneFree(QDate(2024, 2, 29), QTime(13, 5, 9)));
        QCOMPARE(s.value("summer").toBool(), true);
        QCOMPARE(s.value("correct").toInt(), -7);
        QCOMPARE(s.value("pass").toInt(), 4321);
        QCOMPARE(s.value("t_1_c").toDouble(), 1.5);
        QCOMPARE(s.value("t_2_c").toDouble(), 2.25);
        QCOMPARE(s.value("t_3_c").toDouble(), 0.00025);
        QCOMPARE(s.value("t_1_1").toDouble(), 7.0);
        QVERIFY(s.value("t_2_1").isNull() && s.value("t_3_1").isNull()); // stopped at "x"
        QCOMPARE(s.value("ddm_a").toInt(), 100);
        QCOMPARE(s.value("ddm_c").toInt(), 300);
        QCOMPARE(s.value("count_day").toInt(), 3);
        QCOMPARE(s.value("count_hour").toInt(), 22);
        QCOMPARE(s.value("ncorrect").toInt(), 4);
        QCOMPARE(s.value("indicator").toInt(), 0x0B);
        QCOMPARE(s.value("secperday").isNull(), secperday.isNull());
        if (!secperday.isNull())
            QCOMPARE(s.value("secperday").toDouble(), secperday.toDouble());

        const RecordResult fix = db->recordFix(m_bench, rec);
        QVERIFY2(fix.recorded(), qPrintable(fix.message));
        QVERIFY(fix.operationId > r.operationId);
        QSqlQuery f = row(fix.operationId);
        QCOMPARE(f.value("turn_on").toInt(), 121);
        QCOMPARE(f.value("t_1_1").toDouble(), 7.0);
        QCOMPARE(f.value("secperday").isNull(), secperday.isNull());
        for (const char *column : {"address", "indicator", "date_time", "summer", "correct", "pass", "count_day",
                                   "count_hour", "ddm_a", "ddm_b", "ddm_c"})
            QVERIFY2(f.value(column).isNull(), column);
        // The readings-only record has no clock: the last setting time stays the full write's.
        QCOMPARE(db->lastSettingTime(1003), zoneFree(QDate(2024, 2, 29), QTime(13, 5, 9)));
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<int>("serial");
        QTest::addColumn<QString>("repair"); // "open", "closed" or none
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("fixOutcome");
        for (const QString &d : AllDrivers) {
            const QByteArray p = d.toLatin1() + ": ";
            QTest::newRow(p + "not registered") << d << 999 << QString() << int(RecordOutcome::NotRegistered)
                                                << int(RecordOutcome::NotRegistered);
            QTest::newRow(p + "another model") << d << 2001 << QString() << int(RecordOutcome::NotRegistered)
                                               << int(RecordOutcome::NotRegistered);
            QTest::newRow(p + "open repair") << d << 1002 << QStringLiteral("open") << int(RecordOutcome::UnderRepair)
                                             << int(RecordOutcome::Recorded);
            QTest::newRow(p + "repair closed") << d << 1002 << QStringLiteral("closed") << int(RecordOutcome::Recorded)
                                               << int(RecordOutcome::Recorded);
        }
    }
    void refusals()
    {
        FRESH(db);
        QFETCH(int, serial);
        QFETCH(QString, repair);
        QFETCH(int, outcome);
        QFETCH(int, fixOutcome);
        db->exec(QStringLiteral("INSERT INTO electrometer(number,type_id) VALUES(2001,11)"));
        if (!repair.isEmpty()) {
            db->exec(QStringLiteral("INSERT INTO spoilage(type_id,electro_id,code,date_repair) VALUES(1,:e,'1',:d)"),
                     {{"e", *db->meterId(1002)},
                      {"d", repair == QLatin1String("open") ? QVariant(QMetaType(QMetaType::QDateTime))
                                                            : QVariant(QDateTime(QDate(2024, 1, 1), QTime(9, 0)))}});
        }
        const ProductionRecord rec = sampleRecord(serial);
        const RecordResult r = db->recordWrite(m_bench, rec);
        QCOMPARE(int(r.outcome), outcome);
        if (r.outcome == RecordOutcome::NotRegistered)
            QCOMPARE(r.message, QStringLiteral("Номер прибора не описан в БД. Установите его."));
        if (r.outcome == RecordOutcome::UnderRepair)
            QCOMPARE(r.message, QStringLiteral("Прибор в ремонте."));
        if (!r.recorded()) {
            QCOMPARE(r.caption, QStringLiteral("Ошибка записи в БД"));
            QCOMPARE(count(*db, QStringLiteral("operation")), 0);
            QCOMPARE(count(*db, QStringLiteral("set_zelta_kn")), 0);
        }
        const int before = count(*db, QStringLiteral("set_zelta_kn"));
        const RecordResult f = db->recordFix(m_bench, rec);
        QCOMPARE(int(f.outcome), fixOutcome);
        QCOMPARE(count(*db, QStringLiteral("set_zelta_kn")), before + (f.recorded() ? 1 : 0));
    }

    void failedInsertRollsBack_data() { drivers(); }
    // The operation insert succeeds, the settings insert fails: neither row stays, the
    // engine's text is shown, and the connection records the next write.
    void failedInsertRollsBack()
    {
        FRESH(db);
        db->exec(QStringLiteral("ALTER TABLE set_zelta_kn RENAME TO set_zelta_kn_moved"));
        const RecordResult r = db->recordWrite(m_bench, sampleRecord(1001));
        QCOMPARE(int(r.outcome), int(RecordOutcome::WriteFailed));
        QCOMPARE(r.caption, QStringLiteral("Ошибка БД"));
        QVERIFY(r.message.startsWith(QStringLiteral("Ошибка записи в БД: ")));
        QVERIFY2(r.message.contains(QLatin1String("set_zelta_kn")), qPrintable(r.message));
        QCOMPARE(count(*db, QStringLiteral("operation")), 0);

        db->exec(QStringLiteral("ALTER TABLE set_zelta_kn_moved RENAME TO set_zelta_kn"));
        const RecordResult again = db->recordWrite(m_bench, sampleRecord(1001));
        QVERIFY2(again.recorded(), qPrintable(again.message));
        QCOMPARE(count(*db, QStringLiteral("operation")), 1);
        QCOMPARE(one(*db, QStringLiteral("SELECT operation_id FROM set_zelta_kn")).toInt(), again.operationId);
    }

    void startSettings_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("rows"); // which settings records exist, by kind
        QTest::addColumn<bool>("oneTariff");
        QTest::addColumn<QVariant>("password");
        QTest::addColumn<QVariant>("indicator");
        for (const QString &d : AllDrivers) {
            const QByteArray p = d.toLatin1() + ": ";
            QTest::newRow(p + "none") << d << QString() << true << QVariant() << QVariant();
            QTest::newRow(p + "zones without a password") << d << QStringLiteral("z") << false << QVariant(QString())
                                                           << QVariant();
            QTest::newRow(p + "newest of each") << d << QStringLiteral("zpi") << false << QVariant(QStringLiteral("333"))
                                                << QVariant(5);
            QTest::newRow(p + "password only") << d << QStringLiteral("p") << true << QVariant(QStringLiteral("333"))
                                               << QVariant();
        }
    }
    void startSettings()
    {
        FRESH(db);
        QFETCH(QString, rows);
        QFETCH(bool, oneTariff);
        QFETCH(QVariant, password);
        QFETCH(QVariant, indicator);
        const auto operation = [&] {
            db->exec(QStringLiteral("INSERT INTO operation(type_id,electro_id,plant_id,person_id,success) "
                                    "VALUES(3,:e,:p,:o,1)"),
                     {{"e", *db->meterId(1001)}, {"p", m_bench.plantId}, {"o", m_bench.personId}});
            return one(*db, QStringLiteral("SELECT MAX(operation_id) FROM operation")).toInt();
        };
        // An older record of each kind first, which the newer one must win over.
        for (int round = 0; round < 2; ++round) {
            if (rows.contains(QLatin1Char('z'))) {
                db->exec(QStringLiteral("INSERT INTO set_zelta_kn(operation_id,zone_0,zone_1,zone_5,time_0,time_1) "
                                        "VALUES(:o,:z,2,3,:t0,:t1)"),
                         {{"o", operation()}, {"z", 1 + round},
                          {"t0", QDateTime(QDate(1899, 12, 30), QTime(7, round))},
                          {"t1", QDateTime(QDate(1899, 12, 30), QTime(23, 30))}});
            }
            if (rows.contains(QLatin1Char('i')))
                db->exec(QStringLiteral("INSERT INTO set_zelta_kn(operation_id,indicator) VALUES(:o,:i)"),
                         {{"o", operation()}, {"i", 2 + 3 * round}});
            if (rows.contains(QLatin1Char('p')))
                db->exec(QStringLiteral("INSERT INTO set_zelta_kn(operation_id,pass) VALUES(:o,:p)"),
                         {{"o", operation()}, {"p", 111 + 222 * round}});
        }
        const ProductionStartSettings s = db->lastSettings();
        QCOMPARE(s.oneTariff, oneTariff);
        QCOMPARE(s.password.has_value(), !password.isNull());
        if (s.password)
            QCOMPARE(*s.password, password.toString());
        QCOMPARE(s.indicator.has_value(), !indicator.isNull());
        if (s.indicator)
            QCOMPARE(*s.indicator, indicator.toInt());
        if (!oneTariff) {
            QCOMPARE(s.zones[0], QStringLiteral("2"));
            QCOMPARE(s.zones[1], QStringLiteral("2"));
            QCOMPARE(s.zones[2], QString());
            QCOMPARE(s.zones[5], QStringLiteral("3"));
            QCOMPARE(s.zoneTimes[0], QTime(7, 1));
            QCOMPARE(s.zoneTimes[1], QTime(23, 30));
            QCOMPARE(s.zoneTimes[2], QTime(0, 0));
        }
    }

    void numbersAndTimes_data() { drivers(); }
    // "+" proposes, from the smallest never-set number plus one on, the smallest registered
    // number never set; nothing when all are set. The last setting time is the meter's own
    // newest clock setting.
    void numbersAndTimes()
    {
        FRESH(db);
        QCOMPARE(db->nextFreeNumber().value_or(-1), qint64(1002));
        QVERIFY(!db->lastSettingTime(1001).isValid());
        ProductionRecord rec = sampleRecord(1001);
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        QCOMPARE(db->nextFreeNumber().value_or(-1), qint64(1003));
        rec.settings.clockDate = QDate(2025, 1, 2);
        rec.settings.clockTime = QTime(0, 0, 1);
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        rec.settings.clockDate = QDate(2024, 12, 31);
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        rec.settings.number = 1002;
        rec.settings.clockDate = QDate(2026, 5, 5);
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        QCOMPARE(db->lastSettingTime(1001), zoneFree(QDate(2025, 1, 2), QTime(0, 0, 1)));
        QVERIFY(!db->lastSettingTime(1003).isValid());
        // A meter's time that the local zone skips (here Europe/Berlin) is recorded. Read back,
        // the server drivers hand it over as a local time, which Qt has not got for that hour:
        // only SQLite's text comes back whole. The zone is this block's alone: elsewhere the
        // tests take the server's day for the PC's.
        const QByteArray zone = qgetenv("TZ");
        const bool hadZone = qEnvironmentVariableIsSet("TZ");
        qputenv("TZ", "Europe/Berlin");
        ::tzset();
        rec.settings.number = 1003;
        rec.settings.clockDate = QDate(2026, 3, 29);
        rec.settings.clockTime = QTime(2, 30);
        const bool recorded = db->recordWrite(m_bench, rec).recorded();
        const QDateTime last = db->lastSettingTime(1003);
        if (hadZone)
            qputenv("TZ", zone);
        else
            qunsetenv("TZ");
        ::tzset();
        QVERIFY(recorded);
        if (driver == QLatin1String("QSQLITE"))
            QCOMPARE(last, zoneFree(QDate(2026, 3, 29), QTime(2, 30)));
        for (int n : {1003, 1004, 1005}) {
            rec.settings.number = n;
            QVERIFY(db->recordFix(m_bench, rec).recorded());
        }
        qint64 from = 0;
        QVERIFY(!db->nextFreeNumber(&from));
        QCOMPARE(from, qint64(1));
        QCOMPARE(noFreeNumberMessage(from),
                 QStringLiteral("Свободного номера нет: у каждого номера счетчика в БД от 1 и выше уже есть "
                                "операция установки."));
    }

    void nextNumberMovesOn_data() { drivers(); }
    // The proposal moves on as numbers are written, not only once the smallest is: a meter
    // given the proposed number makes "+" propose the next one, never the same one again.
    void nextNumberMovesOn()
    {
        FRESH(db);
        db->exec(QStringLiteral("INSERT INTO electrometer(number,type_id) VALUES(1007,10)"));
        db->exec(QStringLiteral("INSERT INTO electrometer(number,type_id) VALUES(1006,11)")); // another model
        QCOMPARE(db->nextFreeNumber().value_or(-1), qint64(1002));
        ProductionRecord rec = sampleRecord(1002);
        rec.numberWritten = true;
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        // 1001 is still the smallest unconfigured number: the old rule proposed 1002 again.
        QCOMPARE(db->nextFreeNumber().value_or(-1), qint64(1003));
        for (int n : {1003, 1004}) {
            rec.settings.number = n;
            QVERIFY(db->recordWrite(m_bench, rec).recorded());
        }
        // 1005, then past the gap (1006 is not registered for the model) 1007.
        QCOMPARE(db->nextFreeNumber().value_or(-1), qint64(1005));
        rec.settings.number = 1005;
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        QCOMPARE(db->nextFreeNumber().value_or(-1), qint64(1007));
        // A defect registration's unsuccessful setting operation counts as set too.
        db->registerDefect(*db->meterId(1007), m_bench, QStringLiteral("3"));
        qint64 from = 0;
        QVERIFY(!db->nextFreeNumber(&from));
        QCOMPARE(from, qint64(1002));
    }

    void numberTaken_data() { drivers(); }
    // A number written to a meter that reported 0 is recorded only while it has no setting
    // operation: the second meter given the same number is refused when it records, with the
    // number in the message; the meter that has the number is re-configured as before.
    void numberTaken()
    {
        FRESH(db);
        QVERIFY(!db->numberHasSettingOperation(1003));
        ProductionRecord rec = sampleRecord(1003);
        rec.numberWritten = true;
        const RecordResult first = db->recordWrite(m_bench, rec);
        QVERIFY2(first.recorded(), qPrintable(first.message));
        QVERIFY(db->numberHasSettingOperation(1003));
        QVERIFY(!db->numberHasSettingOperation(1004));
        QVERIFY(!db->numberHasSettingOperation(999)); // not registered

        const RecordResult second = db->recordWrite(m_bench, rec);
        QCOMPARE(int(second.outcome), int(RecordOutcome::NumberTaken));
        QCOMPARE(second.message, QStringLiteral("Номер 1003 уже записан в другой счетчик."));
        QCOMPARE(second.caption, QStringLiteral("Ошибка записи в БД"));
        QCOMPARE(count(*db, QStringLiteral("operation")), 1);
        QCOMPARE(count(*db, QStringLiteral("set_zelta_kn")), 1);

        rec.numberWritten = false; // the meter reports 1003 itself now
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        QCOMPARE(count(*db, QStringLiteral("set_zelta_kn")), 2);
    }

    // Two benches wrote one number into two meters within the same seconds and record at
    // once, on two connections: the record that comes second waits for the first and is
    // refused, never recorded under the same number. The first is held inside its
    // transaction (after its check, in its operation INSERT) until the second is waiting.
    void numberRaceBetweenBenches_data() { drivers(ServerDrivers); }
    void numberRaceBetweenBenches()
    {
        FRESH(db);
        db->exec(QStringLiteral("INSERT INTO computer(name) VALUES('second')"));
        db->exec(QStringLiteral("INSERT INTO plant(type_id,computer_id) SELECT 3, computer_id FROM computer WHERE name = 'second'"));
        const Identification second = db->identify(QStringLiteral("second"), localLogin());
        QVERIFY(second.ok());
        db->exec(QStringLiteral("CREATE FUNCTION hold_insert() RETURNS trigger AS $$ BEGIN "
                                "IF NEW.plant_id = %1 THEN PERFORM pg_advisory_xact_lock_shared(4243); END IF; "
                                "RETURN NEW; END $$ LANGUAGE plpgsql")
                     .arg(m_bench.plantId));
        db->exec(QStringLiteral("CREATE TRIGGER hold_insert AFTER INSERT ON operation FOR EACH ROW "
                                "EXECUTE FUNCTION hold_insert()"));
        db->exec(QStringLiteral("SELECT pg_advisory_lock(4243)"));

        ProductionRecord rec = sampleRecord(1004);
        rec.numberWritten = true;
        RecordResult a, b;
        QString errorA, errorB;
        const auto record = [&](BenchIdentity bench, QString name, RecordResult *result, QString *error) {
            try {
                ProductionDatabase own(serverSettings(driver), name);
                *result = own.recordWrite(bench, rec);
            } catch (const DatabaseError &e) {
                *error = e.text();
            }
        };
        const auto waitFor = [&](const QString &sql) {
            QElapsedTimer waited;
            waited.start();
            while (one(*db, sql).toInt() == 0 && waited.elapsed() < 30000)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return waited.elapsed() < 30000;
        };
        std::thread first(record, m_bench, QStringLiteral("bench-a"), &a, &errorA);
        const bool firstHeld = waitFor(QStringLiteral(
            "SELECT COUNT(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted"));
        std::thread later(record, second.identity, QStringLiteral("bench-b"), &b, &errorB);
        // The later one waits for the first one's row lock on the meter.
        const bool laterWaits = firstHeld && waitFor(QStringLiteral(
            "SELECT COUNT(*) FROM pg_locks WHERE locktype IN ('transactionid','tuple') AND NOT granted"));
        db->exec(QStringLiteral("SELECT pg_advisory_unlock(4243)"));
        first.join();
        later.join();
        QVERIFY2(firstHeld, "the first record never reached its INSERT");
        QVERIFY2(laterWaits, "the later record did not wait for the first");
        QVERIFY2(errorA.isEmpty() && errorB.isEmpty(), qPrintable(errorA + errorB));
        QVERIFY2(a.recorded(), qPrintable(a.message));
        QCOMPARE(int(b.outcome), int(RecordOutcome::NumberTaken));
        QCOMPARE(b.message, QStringLiteral("Номер 1004 уже записан в другой счетчик."));
        QCOMPARE(count(*db, QStringLiteral("operation")), 1);
        QCOMPARE(count(*db, QStringLiteral("set_zelta_kn")), 1);
        QCOMPARE(one(*db, QStringLiteral("SELECT plant_id FROM operation")).toInt(), m_bench.plantId);
    }

    void dayDifference_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("days");
        for (const QString &d : AllDrivers) {
            const QByteArray p = d.toLatin1() + ": ";
            QTest::newRow(p + "same day") << d << "2024-03-01 00:00:00" << "2024-03-01 23:59:59" << 0;
            QTest::newRow(p + "over midnight") << d << "2024-02-29 23:59:00" << "2024-03-01 00:01:00" << 1;
            QTest::newRow(p + "backwards") << d << "2024-03-01 00:01:00" << "2024-02-29 23:59:00" << -1;
            QTest::newRow(p + "year") << d << "2023-12-31 12:00:00" << "2024-12-31 11:00:00" << 366;
        }
    }
    void dayDifference()
    {
        FRESH(db);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(int, days);
        const QString cast = driver != QLatin1String("QSQLITE") ? QStringLiteral("CAST(%1 AS TIMESTAMP)") : QStringLiteral("%1");
        QCOMPARE(one(*db, QStringLiteral("SELECT DATEDIFF(DAY, %1, %2)").arg(cast.arg(sqlLiteral(from)), cast.arg(sqlLiteral(to)))).toInt(),
                 days);
        QCOMPARE(one(*db, QStringLiteral("SELECT DATEDIFF(DAY,%1,getdate())").arg(cast.arg(sqlLiteral(from)))).toInt(),
                 int(QDate::fromString(from.left(10), Qt::ISODate).daysTo(db->serverTime().instant.toLocalTime().date())));
    }

    void defect_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QList<int>>("ageInDays"); // the meter's setting operations, oldest first
        QTest::addColumn<int>("marked");            // index of the one marked failed, -1: a new one
        for (const QString &d : AllDrivers) {
            const QByteArray p = d.toLatin1() + ": ";
            QTest::newRow(p + "configured today") << d << QList<int>{0} << 0;
            QTest::newRow(p + "several today") << d << QList<int>{0, 0, 0} << 2;
            QTest::newRow(p + "only yesterday") << d << QList<int>{1} << -1;
            QTest::newRow(p + "none") << d << QList<int>{} << -1;
            QTest::newRow(p + "today, then older") << d << QList<int>{0, 3} << 0;
        }
    }
    void defect()
    {
        FRESH(db);
        QFETCH(QList<int>, ageInDays);
        QFETCH(int, marked);
        const int meter = *db->meterId(1004);
        const QDateTime now = db->serverTime().instant.toLocalTime();
        QList<int> ops;
        for (int age : ageInDays) {
            db->exec(QStringLiteral("INSERT INTO operation(type_id,electro_id,plant_id,person_id,success,date_operation) "
                                    "VALUES(3,:e,:p,:o,1,:d)"),
                     {{"e", meter}, {"p", m_bench.plantId}, {"o", m_bench.personId}, {"d", now.addDays(-age)}});
            ops << one(*db, QStringLiteral("SELECT MAX(operation_id) FROM operation")).toInt();
        }
        // Another meter's operation today is not this meter's.
        QVERIFY(db->recordWrite(m_bench, sampleRecord(1001)).recorded());

        const int n = db->registerDefect(meter, m_bench, QStringLiteral("  12 A\t"));
        if (marked >= 0)
            QCOMPARE(n, ops.at(marked));
        else
            QVERIFY(!ops.contains(n));
        for (int i = 0; i < ops.size(); ++i)
            QCOMPARE(one(*db, QStringLiteral("SELECT success FROM operation WHERE operation_id = :o"), {{"o", ops.at(i)}}).toInt(),
                     i == marked ? 0 : 1);
        QSqlQuery op = db->exec(QStringLiteral("SELECT * FROM operation WHERE operation_id = :o"), {{"o", n}});
        QVERIFY(op.next());
        QCOMPARE(op.value("electro_id").toInt(), meter);
        QCOMPARE(op.value("success").toInt(), 0);
        QCOMPARE(op.value("type_id").toInt(), 3);
        QCOMPARE(op.value("plant_id").toInt(), m_bench.plantId);
        QSqlQuery s = db->exec(QStringLiteral("SELECT * FROM spoilage"));
        QVERIFY(s.next());
        QCOMPARE(s.value("type_id").toInt(), 1);
        QCOMPARE(s.value("electro_id").toInt(), meter);
        QCOMPARE(s.value("person_id").toInt(), m_bench.personId);
        QCOMPARE(s.value("code").toString(), QStringLiteral("12 A"));
        QCOMPARE(s.value("operation_id").toInt(), n);
        QVERIFY(s.value("date_repair").isNull());
        QVERIFY(!s.next());

        // An open repair now: the write is refused, the fix command records.
        QCOMPARE(int(db->recordWrite(m_bench, sampleRecord(1004)).outcome), int(RecordOutcome::UnderRepair));
        QVERIFY(db->recordFix(m_bench, sampleRecord(1004)).recorded());
    }

    void defectCode_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("fits");
        QTest::newRow("empty") << QString() << false << true;
        QTest::newRow("blanks") << QStringLiteral("   ") << false << true;
        QTest::newRow("tab and blanks") << QStringLiteral(" \t ") << false << true;
        QTest::newRow("code") << QStringLiteral("7") << true << true;
        QTest::newRow("code in blanks") << QStringLiteral("  7 ") << true << true;
        QTest::newRow("64") << QString(64, QLatin1Char('x')) << true << true;
        QTest::newRow("64 in blanks") << QStringLiteral("  ") + QString(64, QLatin1Char('x')) + QStringLiteral(" ")
                                      << true << true;
        QTest::newRow("65") << QString(65, QChar(0x0416)) << true << false;
    }
    void defectCode()
    {
        QFETCH(QString, code);
        QFETCH(bool, accepted);
        QFETCH(bool, fits);
        QCOMPARE(defectCodeAccepted(code), accepted);
        QCOMPARE(defectCodeFits(code), fits);
    }

    void defectWholeOrNothing_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<bool>("today"); // the meter was configured today
        QTest::addColumn<QString>("fault");
        for (const QString &d : AllDrivers) {
            const QByteArray p = d.toLatin1() + ": ";
            QTest::newRow(p + "today, defect insert fails") << d << true << QStringLiteral("table");
            QTest::newRow(p + "none today, defect insert fails") << d << false << QStringLiteral("table");
            QTest::newRow(p + "today, code of 65") << d << true << QStringLiteral("long");
            QTest::newRow(p + "today, code of 64") << d << true << QString();
        }
    }
    // The defect registration happens whole or not at all: a failing defect record leaves the
    // day's operation successful and adds none; a code longer than its column is refused
    // before anything is done (PostgreSQL and SQL Server would fail its INSERT, SQLite would
    // store it).
    void defectWholeOrNothing()
    {
        FRESH(db);
        QFETCH(bool, today);
        QFETCH(QString, fault);
        const int meter = *db->meterId(1002);
        if (today)
            QVERIFY(db->recordWrite(m_bench, sampleRecord(1002)).recorded());
        if (fault == QLatin1String("table"))
            db->exec(QStringLiteral("ALTER TABLE spoilage RENAME TO spoilage_moved"));
        const QString code = fault == QLatin1String("long") ? QString(65, QChar(0x0416)) : QString(64, QChar(0x0416));
        const int operations = count(*db, QStringLiteral("operation"));
        QString error;
        int n = 0;
        try {
            n = db->registerDefect(meter, m_bench, code);
        } catch (const DatabaseError &e) {
            error = e.text();
        }
        if (fault == QLatin1String("table"))
            db->exec(QStringLiteral("ALTER TABLE spoilage_moved RENAME TO spoilage"));
        if (fault.isEmpty()) {
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(one(*db, QStringLiteral("SELECT code FROM spoilage WHERE operation_id = :o"), {{"o", n}}).toString(), code);
            QCOMPARE(one(*db, QStringLiteral("SELECT success FROM operation WHERE operation_id = :o"), {{"o", n}}).toInt(), 0);
            return;
        }
        QVERIFY(!error.isEmpty());
        if (fault == QLatin1String("long"))
            QCOMPARE(error, QStringLiteral("Код брака длиннее 64 знаков."));
        QCOMPARE(count(*db, QStringLiteral("spoilage")), 0);
        QCOMPARE(count(*db, QStringLiteral("operation")), operations);
        QCOMPARE(one(*db, QStringLiteral("SELECT COUNT(*) FROM operation WHERE success = 0")).toInt(), 0);
        // Neither configured-and-failed nor under repair: the meter is as it was, and the
        // connection registers the next defect.
        QCOMPARE(db->openRepairs(meter), 0);
        QVERIFY(db->registerDefect(meter, m_bench, QStringLiteral("5")) > 0);
        QCOMPARE(db->openRepairs(meter), 1);
    }

    // The password never goes into a message, and a message is not rewritten for it: a
    // one-letter password that occurs everywhere in the text leaves the text as it is, and
    // the server is named.
    void passwordNotInErrors_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("one letter") << QStringLiteral("a");
        QTest::newRow("part of the database name") << QStringLiteral("Secret42");
    }
    void passwordNotInErrors()
    {
        NEED_PG();
        QFETCH(QString, password);
        ConnectionSettings s = pgSettings();
        s.databaseName = QStringLiteral("no_such_db_abc_Secret42");
        s.password = password;
        ProductionDatabase db(s, QStringLiteral("secret"));
        try {
            db.open();
            QFAIL("opened a database that does not exist");
        } catch (const DatabaseError &e) {
            QVERIFY2(e.text().contains(QLatin1String("\"no_such_db_abc_Secret42\" does not exist")), qPrintable(e.text()));
            QVERIFY2(e.text().startsWith(QStringLiteral("Нет соединения с базой данных (сервер %1:%2): ")
                                             .arg(s.hostName).arg(s.port)),
                     qPrintable(e.text()));
            QVERIFY2(!e.text().contains(QLatin1String("***")), qPrintable(e.text()));
            QVERIFY2(!e.text().contains(QLatin1String("password=")), qPrintable(e.text()));
        }
    }

    void passwordOptionsMasked_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("masked");
        QTest::newRow("odbc string") << QStringLiteral("[unixODBC] bad: DSN=prod;UID=zk;PWD=Secret42;APP=x")
                                     << QStringLiteral("[unixODBC] bad: DSN=prod;UID=zk;PWD=***;APP=x");
        QTest::newRow("braced") << QStringLiteral("DRIVER={x};Pwd={a;b}; rest") << QStringLiteral("DRIVER={x};Pwd=***; rest");
        QTest::newRow("libpq conninfo") << QStringLiteral("host=h password='se cret' dbname=d")
                                        << QStringLiteral("host=h password=*** dbname=d");
        QTest::newRow("quoted with escapes") << QStringLiteral("password='a\\'b' port=1")
                                             << QStringLiteral("password=*** port=1");
        QTest::newRow("no option") << QStringLiteral("password authentication failed for user \"a\"")
                                   << QStringLiteral("password authentication failed for user \"a\"");
        QTest::newRow("odbc value with a space") << QStringLiteral("DSN=p;PWD=my secret;UID=zk") << QStringLiteral("DSN=p;PWD=***;UID=zk");
        QTest::newRow("a word ending in pwd") << QStringLiteral("xpwd=1") << QStringLiteral("xpwd=1");
    }
    void passwordOptionsMasked()
    {
        QFETCH(QString, text);
        QFETCH(QString, masked);
        QCOMPARE(maskPasswordOptions(text), masked);
    }

    void serverNames_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("name");
        QTest::newRow("postgres") << "QPSQL" << "e" << "db.local" << 6432 << "сервер db.local:6432";
        QTest::newRow("postgres defaults") << "QPSQL" << "e" << "" << -1 << "сервер localhost:5432";
        QTest::newRow("odbc dsn") << "QODBC" << "Electrometer" << "" << -1 << "источник данных Electrometer";
        QTest::newRow("odbc string with dsn") << "QODBC" << "DSN=Prod;UID=u;PWD=p" << "" << -1 << "источник данных Prod";
        QTest::newRow("odbc string with server")
            << "QODBC" << "DRIVER={ODBC Driver 18 for SQL Server};SERVER=tcp:sql1,1433;PWD={p}" << "" << -1
            << "сервер tcp:sql1,1433";
        QTest::newRow("sqlite") << "QSQLITE" << "/var/e.sqlite" << "" << -1 << "файл /var/e.sqlite";
    }
    void serverNames()
    {
        QFETCH(QString, driver);
        QFETCH(QString, database);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, name);
        ConnectionSettings s;
        s.driver = driver;
        s.databaseName = database;
        s.hostName = host;
        s.port = port;
        s.password = QStringLiteral("p");
        QCOMPARE(databaseServerName(s), name);
    }

    // The bounds of the connection and of every statement: 5 and 15 seconds unless the
    // preferences say otherwise, given to each driver in its own terms before its own options.
    void timeoutSettings()
    {
        QSettings store(m_dir.filePath(QStringLiteral("timeouts.ini")), QSettings::IniFormat);
        store.setValue(QStringLiteral("Electrometer/Driver"), QStringLiteral("qpsql"));
        ConnectionSettings s = readConnectionSettings(store);
        QCOMPARE(s.connectTimeout, 5);
        QCOMPARE(s.queryTimeout, 15);
        QCOMPARE(effectiveConnectOptions(s), QStringLiteral("connect_timeout=5"));
        store.setValue(QStringLiteral("Electrometer/ConnectTimeout"), 2);
        store.setValue(QStringLiteral("Electrometer/QueryTimeout"), QStringLiteral("30"));
        store.setValue(QStringLiteral("Electrometer/ConnectOptions"), QStringLiteral("requiressl=1"));
        s = readConnectionSettings(store);
        QCOMPARE(s.connectTimeout, 2);
        QCOMPARE(s.queryTimeout, 30);
        QCOMPARE(effectiveConnectOptions(s), QStringLiteral("connect_timeout=2;requiressl=1"));
        s.driver = QStringLiteral("QODBC");
        QCOMPARE(effectiveConnectOptions(s),
                 QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=2;SQL_ATTR_CONNECTION_TIMEOUT=30;requiressl=1"));
        s.driver = QStringLiteral("QSQLITE");
        s.connectOptions.clear();
        QCOMPARE(effectiveConnectOptions(s), QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
        for (const QString &bad : {QStringLiteral("0"), QStringLiteral("-3"), QStringLiteral("x")}) {
            store.setValue(QStringLiteral("Electrometer/QueryTimeout"), bad);
            QCOMPARE(readConnectionSettings(store).queryTimeout, 15);
        }
    }

    void serverTimeIsAnInstant_data() { drivers(); }
    // The server's time is an absolute instant, whatever the server's time zone: a
    // PostgreSQL session on UTC+14 gives the same instant as this machine's clock (its local
    // time would be 14 hours off). SQLite tells whole seconds.
    void serverTimeIsAnInstant()
    {
        FRESH(db);
        if (driver != QLatin1String("QSQLITE"))
            db->exec(QStringLiteral("SET TIME ZONE 'Pacific/Kiritimati'"));
        const QDateTime before = QDateTime::currentDateTimeUtc();
        const ServerTime t = db->serverTime();
        const QDateTime after = QDateTime::currentDateTimeUtc();
        QCOMPARE(t.instant.timeSpec(), Qt::UTC);
        QCOMPARE(t.resolutionMs, driver == QLatin1String("QSQLITE") ? qint64(1000) : qint64(1));
        // The same machine's clock: between the two readings, less the server's resolution.
        QVERIFY2(t.instant >= before.addMSecs(-t.resolutionMs) && t.instant <= after,
                 qPrintable(t.instant.toString(Qt::ISODateWithMs) + QLatin1Char(' ') + before.toString(Qt::ISODateWithMs)));
        // The other queries keep the server's local time (getdate()).
        if (driver != QLatin1String("QSQLITE")) {
            const QDateTime local = one(*db, QStringLiteral("SELECT getdate()")).toDateTime();
            QVERIFY(qAbs(QDateTime(local.date(), local.time(), Qt::UTC).secsTo(before) + 14 * 3600) < 120);
        }
    }

    void pcClockDecision_data()
    {
        QTest::addColumn<qint64>("resolution");
        QTest::addColumn<qint64>("pcAhead"); // ms the PC clock is ahead of the server's reading
        QTest::addColumn<bool>("set");
        QTest::newRow("sqlite, same second") << qint64(1000) << qint64(999) << false;
        QTest::newRow("sqlite, just behind") << qint64(1000) << qint64(-400) << false;
        QTest::newRow("sqlite, a second ahead") << qint64(1000) << qint64(1000) << true;
        QTest::newRow("sqlite, two seconds behind") << qint64(1000) << qint64(-2000) << true;
        QTest::newRow("postgresql, 2 ms") << qint64(1) << qint64(2) << true;
        QTest::newRow("postgresql, same") << qint64(1) << qint64(0) << false;
        QTest::newRow("hours of a zone") << qint64(1) << qint64(-3 * 3600 * 1000) << true;
    }
    // The server's time as drivers hand it over, an offset of its zone included.
    void serverInstants_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QDateTime>("utc"); // invalid: not read
        const auto offsetStruct = [](QList<qint16> fields, quint32 nanoseconds, qint16 hours, qint16 minutes) {
            QByteArray b(20, '\0');
            for (int i = 0; i < 6; ++i)
                qToLittleEndian<qint16>(fields.at(i), b.data() + 2 * i);
            qToLittleEndian<quint32>(nanoseconds, b.data() + 12);
            qToLittleEndian<qint16>(hours, b.data() + 16);
            qToLittleEndian<qint16>(minutes, b.data() + 18);
            return QVariant(b);
        };
        const QDateTime evening(QDate(2026, 12, 10), QTime(18, 30, 0, 123), Qt::UTC);
        QTest::newRow("text +03:00") << QVariant(QByteArray("2026-12-10 21:30:00.1234567 +03:00")) << evening;
        QTest::newRow("text Z") << QVariant(QByteArray("2026-12-10T18:30:00.123Z")) << evening;
        QTest::newRow("text -0530") << QVariant(QByteArray("2026-12-10 13:00:00.123-0530")) << evening;
        QTest::newRow("structure +03:00") << offsetStruct({2026, 12, 10, 21, 30, 0}, 123456700, 3, 0) << evening;
        QTest::newRow("structure -05:30") << offsetStruct({2026, 12, 10, 13, 0, 0}, 123000000, -5, -30) << evening;
        QTest::newRow("structure, no such day") << offsetStruct({2026, 2, 30, 13, 0, 0}, 0, 0, 0) << QDateTime();
        QTest::newRow("garbage") << QVariant(QByteArray("yesterday")) << QDateTime();
    }
    void serverInstants()
    {
        QFETCH(QVariant, value);
        QFETCH(QDateTime, utc);
        QCOMPARE(instantOf(value), utc);
    }

    // A server whose clock has whole seconds does not move the PC clock back by the fraction.
    void pcClockDecision()
    {
        QFETCH(qint64, resolution);
        QFETCH(qint64, pcAhead);
        QFETCH(bool, set);
        const ServerTime server{QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC), resolution};
        QCOMPARE(pcClockNeedsSetting(server, server.instant.addMSecs(pcAhead)), set);
        // In another time zone the same instant decides the same.
        QCOMPARE(pcClockNeedsSetting(server, server.instant.addMSecs(pcAhead).toOffsetFromUtc(5 * 3600)), set);
    }

    // A server that stops answering does not hang the program: the connection is given up
    // after ConnectTimeout, a statement after QueryTimeout (and a second), and the message
    // names the server. The relay accepts and then passes nothing on.
    void silentServerIsBounded_data() { drivers(ServerDrivers); }
    void silentServerIsBounded()
    {
        QFETCH(QString, driver);
        NEED_SERVER(driver);
        Relay relay;
        QVERIFY(relay.start());
        ConnectionSettings s = serverSettings(driver, relay.port);
        s.connectTimeout = 2;
        s.queryTimeout = 2;
        const QString server = driver == QLatin1String("QODBC")
            ? QStringLiteral("сервер %1").arg(qEnvironmentVariable("ZK_PG_HOST"))
            : QStringLiteral("сервер %1:%2").arg(s.hostName).arg(relay.port);

        // Silent from the start: the connection.
        QVERIFY(relay.command("silent"));
        {
            ProductionDatabase db(s, QStringLiteral("silent-connect"));
            QElapsedTimer waited;
            waited.start();
            QString error;
            try {
                db.open();
            } catch (const DatabaseError &e) {
                error = e.text();
            }
            QVERIFY2(waited.elapsed() < 10000, qPrintable(QString::number(waited.elapsed())));
            QVERIFY2(error.startsWith(QStringLiteral("База данных не ответила за 2 с при соединении (%1).").arg(server)),
                     qPrintable(error));
        }

        // Silent in the middle: a statement on an open connection.
        QVERIFY(relay.command("up"));
        ProductionDatabase db(s, QStringLiteral("silent-statement"));
        QCOMPARE(one(db, QStringLiteral("SELECT 1")).toInt(), 1);
        QVERIFY(relay.command("silent"));
        QElapsedTimer waited;
        waited.start();
        QString error;
        try {
            db.exec(QStringLiteral("SELECT 2"));
        } catch (const DatabaseError &e) {
            error = e.text();
        }
        QVERIFY2(waited.elapsed() < 10000, qPrintable(QString::number(waited.elapsed())));
        QVERIFY2(waited.elapsed() >= 2000, qPrintable(QString::number(waited.elapsed())));
        QVERIFY2(error.startsWith(QStringLiteral("База данных не ответила за 2 с (%1).").arg(server)), qPrintable(error));
        QVERIFY(!db.isOpen());
        // Answering again: the next statement opens a new connection.
        QVERIFY(relay.command("up"));
        QCOMPARE(one(db, QStringLiteral("SELECT 3")).toInt(), 3);
    }

    // A server that answers, slowly: statement_timeout ends the statement on the server, the
    // connection stays usable.
    void slowStatementIsBounded()
    {
        NEED_PG();
        ConnectionSettings s = pgSettings();
        s.queryTimeout = 1;
        ProductionDatabase db(s, QStringLiteral("slow"));
        QElapsedTimer waited;
        waited.start();
        QString error;
        try {
            db.exec(QStringLiteral("SELECT pg_sleep(10)"));
        } catch (const DatabaseError &e) {
            error = e.text();
        }
        QVERIFY2(waited.elapsed() < 5000, qPrintable(QString::number(waited.elapsed())));
        QVERIFY2(error.startsWith(QStringLiteral("База данных не ответила за 1 с (сервер ")), qPrintable(error));
        QVERIFY(db.isOpen());
        QCOMPARE(one(db, QStringLiteral("SELECT 4")).toInt(), 4);
    }

    // SQLite: another connection's write lock is waited for QueryTimeout, not for ever and
    // not at all.
    void sqliteBusyIsBounded()
    {
        QSettings store(m_dir.filePath(QStringLiteral("busy.ini")), QSettings::IniFormat);
        store.setValue(QStringLiteral("Electrometer/Driver"), QStringLiteral("QSQLITE"));
        store.setValue(QStringLiteral("Electrometer/DatabaseName"), m_dir.filePath(QStringLiteral("busy.sqlite")));
        store.setValue(QStringLiteral("Electrometer/QueryTimeout"), 1);
        ProductionDatabase holder(readConnectionSettings(store), QStringLiteral("busy-holder"));
        holder.exec(QStringLiteral("CREATE TABLE t (n INTEGER)"));
        holder.exec(QStringLiteral("BEGIN IMMEDIATE"));
        holder.exec(QStringLiteral("INSERT INTO t VALUES (1)"));
        ProductionDatabase other(readConnectionSettings(store), QStringLiteral("busy-other"));
        QElapsedTimer waited;
        waited.start();
        QVERIFY_THROWS_EXCEPTION(DatabaseError, other.exec(QStringLiteral("INSERT INTO t VALUES (2)")));
        QVERIFY2(waited.elapsed() >= 900 && waited.elapsed() < 5000, qPrintable(QString::number(waited.elapsed())));
        holder.exec(QStringLiteral("COMMIT"));
        other.exec(QStringLiteral("INSERT INTO t VALUES (3)"));
        QCOMPARE(one(other, QStringLiteral("SELECT COUNT(*) FROM t")).toInt(), 2);
    }

    // ODBC (through the PostgreSQL ODBC driver, where installed): the connect options bound the
    // login, the statement handle's SQL_ATTR_QUERY_TIMEOUT the statement.
    void odbcTimeouts()
    {
        NEED_SERVER(QStringLiteral("QODBC"));
        const auto settings = [&](int port) {
            ConnectionSettings s = serverSettings(QStringLiteral("QODBC"), port);
            s.connectTimeout = 2;
            s.queryTimeout = 1;
            return s;
        };
        {
            ProductionDatabase db(settings(qEnvironmentVariableIntValue("ZK_PG_PORT")), QStringLiteral("odbc-slow"));
            QCOMPARE(one(db, QStringLiteral("SELECT 5")).toInt(), 5);
            QElapsedTimer waited;
            waited.start();
            QVERIFY_THROWS_EXCEPTION(DatabaseError, db.exec(QStringLiteral("SELECT pg_sleep(10)")));
            QVERIFY2(waited.elapsed() < 5000, qPrintable(QString::number(waited.elapsed())));
        }
        Relay relay;
        QVERIFY(relay.start());
        QVERIFY(relay.command("silent"));
        ProductionDatabase db(settings(relay.port), QStringLiteral("odbc-silent"));
        QElapsedTimer waited;
        waited.start();
        QString error;
        try {
            db.open();
        } catch (const DatabaseError &e) {
            error = e.text();
        }
        QVERIFY2(waited.elapsed() < 10000, qPrintable(QString::number(waited.elapsed())));
        QVERIFY2(error.contains(QStringLiteral("(сервер %1)").arg(qEnvironmentVariable("ZK_PG_HOST"))), qPrintable(error));
    }

    // Two program instances on one bench computer share its setting bench. An operation of that
    // bench that the other instance commits while a write is inside its transaction (here the
    // defect registration of another meter, an operation without a settings record) is not
    // that write's: its settings record stays on the operation its own INSERT made.
    void sharedBenchKeepsItsOperation_data() { drivers(ServerDrivers); }
    void sharedBenchKeepsItsOperation()
    {
        FRESH(db);
        const int heldMeter = *db->meterId(1001);
        const int otherMeter = *db->meterId(1002);
        // The write of meter 1001 waits inside its INSERT, its operation_id drawn, for a lock
        // the test holds.
        db->exec(QStringLiteral("CREATE FUNCTION hold_insert() RETURNS trigger AS $$ BEGIN "
                                "IF NEW.electro_id = %1 THEN PERFORM pg_advisory_xact_lock_shared(4242); END IF; "
                                "RETURN NEW; END $$ LANGUAGE plpgsql")
                     .arg(heldMeter));
        db->exec(QStringLiteral("CREATE TRIGGER hold_insert AFTER INSERT ON operation FOR EACH ROW "
                                "EXECUTE FUNCTION hold_insert()"));
        db->exec(QStringLiteral("SELECT pg_advisory_lock(4242)"));

        RecordResult held;
        QString error;
        std::thread writer([&] {
            try {
                ProductionDatabase own(serverSettings(driver), QStringLiteral("held"));
                held = own.recordWrite(m_bench, sampleRecord(1001));
            } catch (const DatabaseError &e) {
                error = e.text();
            }
        });
        QElapsedTimer waited;
        waited.start();
        while (one(*db, QStringLiteral("SELECT COUNT(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted")).toInt() == 0
               && waited.elapsed() < 30000)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const bool reached = waited.elapsed() < 30000;

        // Meanwhile the other instance registers a defect of meter 1002 on the same bench.
        int defect = 0;
        if (reached)
            defect = db->registerDefect(otherMeter, m_bench, QStringLiteral("7"));
        db->exec(QStringLiteral("SELECT pg_advisory_unlock(4242)"));
        writer.join();
        QVERIFY2(reached, "the write never reached its INSERT");
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY2(held.recorded(), qPrintable(held.message));
        QVERIFY(held.operationId != defect);

        QCOMPARE(count(*db, QStringLiteral("operation")), 2);
        QCOMPARE(count(*db, QStringLiteral("set_zelta_kn")), 1);
        QCOMPARE(one(*db, QStringLiteral("SELECT operation_id FROM set_zelta_kn")).toInt(), held.operationId);
        QSqlQuery op = db->exec(QStringLiteral("SELECT * FROM operation WHERE operation_id = :o"), {{"o", held.operationId}});
        QVERIFY(op.next());
        QCOMPARE(op.value("electro_id").toInt(), heldMeter);
        QCOMPARE(op.value("success").toInt(), 1);
        QCOMPARE(one(*db, QStringLiteral("SELECT operation_id FROM spoilage")).toInt(), defect);
        QCOMPARE(one(*db, QStringLiteral("SELECT electro_id FROM operation WHERE operation_id = :o"), {{"o", defect}}).toInt(),
                 otherMeter);
    }

    // Two benches record at once on one server: each settings record belongs to an operation
    // of its own bench.
    void concurrentBenches_data() { drivers(ServerDrivers); }
    void concurrentBenches()
    {
        FRESH(db);
        db->exec(QStringLiteral("INSERT INTO computer(name) VALUES('second')"));
        db->exec(QStringLiteral("INSERT INTO plant(type_id,computer_id) SELECT 3, computer_id FROM computer WHERE name = 'second'"));
        const Identification second = db->identify(QStringLiteral("second"), localLogin());
        QVERIFY(second.ok());
        QVERIFY(second.identity.plantId != m_bench.plantId);

        constexpr int PerBench = 60;
        std::atomic<int> failures{0};
        QStringList errors;
        QMutex errorsLock;
        const auto bench = [&](BenchIdentity identity, QString name) {
            try {
                ProductionDatabase own(serverSettings(driver), name);
                for (int i = 0; i < PerBench; ++i) {
                    ProductionRecord rec = sampleRecord(1001 + i % 5);
                    rec.settings.version = name;                // which bench wrote it
                    rec.settings.turnOn = identity.plantId;     // and its plant, again
                    const RecordResult r = own.recordWrite(identity, rec);
                    if (!r.recorded())
                        throw DatabaseError(r.message);
                }
            } catch (const DatabaseError &e) {
                ++failures;
                QMutexLocker lock(&errorsLock);
                errors << e.text();
            }
        };
        std::thread a(bench, m_bench, QStringLiteral("A"));
        std::thread b(bench, second.identity, QStringLiteral("B"));
        a.join();
        b.join();
        QVERIFY2(failures == 0, qPrintable(errors.join(QLatin1Char('\n'))));

        QCOMPARE(count(*db, QStringLiteral("operation")), 2 * PerBench);
        QCOMPARE(count(*db, QStringLiteral("set_zelta_kn")), 2 * PerBench);
        QCOMPARE(one(*db, QStringLiteral("SELECT COUNT(*) FROM set_zelta_kn s JOIN operation o ON o.operation_id = s.operation_id "
                                         "WHERE o.plant_id = s.turn_on")).toInt(), 2 * PerBench);
        QCOMPARE(one(*db, QStringLiteral("SELECT COUNT(*) FROM set_zelta_kn s JOIN operation o ON o.operation_id = s.operation_id "
                                         "WHERE s.version = 'A' AND o.plant_id = :p"), {{"p", m_bench.plantId}}).toInt(),
                 PerBench);
    }
};

QTEST_GUILESS_MAIN(TestProduction)
#include "test_production.moc"
