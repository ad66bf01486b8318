// The production database against real engines: SQLite in a temporary file and a PostgreSQL
// server started by scripts/pgtest (ZK_PG_HOST, ZK_PG_PORT, ZK_PG_DB, ZK_PG_USER). Every test
// runs on both; the schema comes from records/sql/.

#include "records/production.h"
#include "tests/testproduction.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
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
        if (driver == QLatin1String("QPSQL")) {
            if (!pgAvailable())
                return nullptr;
            db = std::make_unique<ProductionDatabase>(pgSettings(), QStringLiteral("pg"));
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

    static void drivers()
    {
        QTest::addColumn<QString>("driver");
        QTest::newRow("sqlite") << QStringLiteral("QSQLITE");
        QTest::newRow("postgresql") << QStringLiteral("QPSQL");
    }

    // Tests that need PostgreSQL fail under CI without the server and are skipped elsewhere.
#define NEED_PG()                                                                  \
    if (!pgAvailable()) {                                                          \
        if (qEnvironmentVariable("CI") == QLatin1String("true"))                   \
            QFAIL("ZK_PG_* missing under CI: run the tests through scripts/pgtest"); \
        QSKIP("no PostgreSQL server (run through scripts/pgtest)");                \
    }
#define FRESH(db)                                                                  \
    QFETCH(QString, driver);                                                       \
    if (driver == QLatin1String("QPSQL"))                                          \
        NEED_PG();                                                                 \
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
        for (const QString &d : {QStringLiteral("QSQLITE"), QStringLiteral("QPSQL")}) {
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
        if (problem.isEmpty()) {
            QCOMPARE(id.identity.computerId, one(*db, QStringLiteral("SELECT computer_id FROM computer WHERE name = :n"),
                                                 {{"n", localComputerName()}}).toInt());
            QCOMPARE(id.identity.plantId, one(*db, QStringLiteral("SELECT plant_id FROM plant WHERE type_id = 3")).toInt());
            QVERIFY(id.identity.personId > 0);
        }
        // The server's clock, as the local one on this machine.
        QVERIFY(qAbs(db->serverTime().secsTo(QDateTime::currentDateTime())) < 120);
    }

    void recordWrite_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("drift");
        QTest::addColumn<QVariant>("secperday");
        for (const QString &d : {QStringLiteral("QSQLITE"), QStringLiteral("QPSQL")}) {
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
        QCOMPARE(db->lastSettingTime(1003), QDateTime(QDate(2024, 2, 29), QTime(13, 5, 9)));
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
        QCOMPARE(db->lastSettingTime(1003), QDateTime(QDate(2024, 2, 29), QTime(13, 5, 9)));
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<int>("serial");
        QTest::addColumn<QString>("repair"); // "open", "closed" or none
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("fixOutcome");
        for (const QString &d : {QStringLiteral("QSQLITE"), QStringLiteral("QPSQL")}) {
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
        for (const QString &d : {QStringLiteral("QSQLITE"), QStringLiteral("QPSQL")}) {
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
    // "+" proposes the smallest never-set number plus one, 1 when all are set; the last
    // setting time is the meter's own newest clock setting.
    void numbersAndTimes()
    {
        FRESH(db);
        QCOMPARE(db->nextFreeNumber(), qint64(1002));
        QVERIFY(!db->lastSettingTime(1001).isValid());
        ProductionRecord rec = sampleRecord(1001);
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        QCOMPARE(db->nextFreeNumber(), qint64(1003));
        rec.settings.clockDate = QDate(2025, 1, 2);
        rec.settings.clockTime = QTime(0, 0, 1);
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        rec.settings.clockDate = QDate(2024, 12, 31);
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        rec.settings.number = 1002;
        rec.settings.clockDate = QDate(2026, 5, 5);
        QVERIFY(db->recordWrite(m_bench, rec).recorded());
        QCOMPARE(db->lastSettingTime(1001), QDateTime(QDate(2025, 1, 2), QTime(0, 0, 1)));
        QVERIFY(!db->lastSettingTime(1003).isValid());
        for (int n : {1003, 1004, 1005}) {
            rec.settings.number = n;
            QVERIFY(db->recordFix(m_bench, rec).recorded());
        }
        QCOMPARE(db->nextFreeNumber(), qint64(1));
    }

    void dayDifference_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("days");
        for (const QString &d : {QStringLiteral("QSQLITE"), QStringLiteral("QPSQL")}) {
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
        const QString cast = driver == QLatin1String("QPSQL") ? QStringLiteral("CAST(%1 AS TIMESTAMP)") : QStringLiteral("%1");
        QCOMPARE(one(*db, QStringLiteral("SELECT DATEDIFF(DAY, %1, %2)").arg(cast.arg(sqlLiteral(from)), cast.arg(sqlLiteral(to)))).toInt(),
                 days);
        QCOMPARE(one(*db, QStringLiteral("SELECT DATEDIFF(DAY,%1,getdate())").arg(cast.arg(sqlLiteral(from)))).toInt(),
                 int(QDate::fromString(from.left(10), Qt::ISODate).daysTo(db->serverTime().date())));
    }

    void defect_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QList<int>>("ageInDays"); // the meter's setting operations, oldest first
        QTest::addColumn<int>("marked");            // index of the one marked failed, -1: a new one
        for (const QString &d : {QStringLiteral("QSQLITE"), QStringLiteral("QPSQL")}) {
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
        const QDateTime now = db->serverTime();
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
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("blanks") << QStringLiteral("   ") << false;
        QTest::newRow("tab and blanks") << QStringLiteral(" \t ") << false;
        QTest::newRow("code") << QStringLiteral("7") << true;
        QTest::newRow("code in blanks") << QStringLiteral("  7 ") << true;
    }
    void defectCode()
    {
        QFETCH(QString, code);
        QFETCH(bool, accepted);
        QCOMPARE(defectCodeAccepted(code), accepted);
    }

    // The engine names the database in its error; the password it shares a text with is not
    // shown.
    void passwordNotInErrors()
    {
        NEED_PG();
        ConnectionSettings s = pgSettings();
        s.databaseName = QStringLiteral("no_such_db_Secret42");
        s.password = QStringLiteral("Secret42");
        ProductionDatabase db(s, QStringLiteral("secret"));
        try {
            db.open();
            QFAIL("opened a database that does not exist");
        } catch (const DatabaseError &e) {
            QVERIFY2(!e.text().contains(QLatin1String("Secret42")), qPrintable(e.text()));
            QVERIFY2(!QString::fromStdString(e.what()).contains(QLatin1String("Secret42")), e.what());
            QVERIFY2(e.text().contains(QLatin1String("no_such_db_***")), qPrintable(e.text()));
        }
    }

    // Two program instances on one bench computer share its setting bench. An operation of that
    // bench that the other instance commits while a write is inside its transaction (here the
    // defect registration of another meter, an operation without a settings record) is not
    // that write's: its settings record stays on the operation its own INSERT made.
    void sharedBenchKeepsItsOperation()
    {
        NEED_PG();
        Db db = fresh(QStringLiteral("QPSQL"));
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
                ProductionDatabase own(pgSettings(), QStringLiteral("held"));
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
    void concurrentBenches()
    {
        NEED_PG();
        Db db = fresh(QStringLiteral("QPSQL"));
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
                ProductionDatabase own(pgSettings(), name);
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
