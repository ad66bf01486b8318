// Faults in storage: a program killed while it appends to Setting.DBF, again and again at
// random moments; the production database gone in the middle of recording a write; a
// full disk under a journal export, from the window and from zelta-kn-cli.

#include "app/application.h"
#include "app/formmain.h"
#include "ops/preferences.h"
#include "link/exchangeengine.h"
#include "link/linkbar.h"
#include "link/portmap.h"
#include "meter/pagesettings.h"
#include "records/dbftable.h"
#include "records/production.h"
#include "records/register.h"
#include "schedule/pagejournal.h"
#include "tests/testdbf.h"
#include "tests/testproduction.h"
#include "ui/dialogs.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QAction>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QSpinBox>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>
#include <csignal>

using namespace zk;

namespace {

constexpr int MeterAddress = 7;
constexpr int Port = 13;
const char ExportWarning[] =
    "Файл не может быть создан в указанной директории, или файл с таким именем сейчас открыт!";

QString binDir()
{
    return qEnvironmentVariable("ZK_BIN_DIR", QCoreApplication::applicationDirPath());
}

// Waits with the event loop running until `p` prints a line starting with `prefix`.
QString waitForLine(QProcess &p, const QString &prefix, int timeoutMs = 10000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        while (p.canReadLine()) {
            const QString line = QString::fromUtf8(p.readLine()).trimmed();
            if (line.startsWith(prefix))
                return line;
        }
        QTest::qWait(5);
    }
    return QString();
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestStorage : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_sim;
    QString m_link;
    QList<Message> m_messages;

    bool startSim(const QString &link, int serial = 1001)
    {
        m_sim.setProgram(binDir() + QStringLiteral("/zelta-kn-sim"));
        m_sim.setArguments({QStringLiteral("--link"), link, QStringLiteral("--address"), QString::number(MeterAddress),
                            QStringLiteral("--serial"), QString::number(serial), QStringLiteral("--turnaround"),
                            QStringLiteral("2")});
        m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_sim.start();
        return m_sim.waitForStarted(5000) && m_sim.waitForReadyRead(10000)
            && QString::fromUtf8(m_sim.readLine()).trimmed() == QStringLiteral("ready ") + link;
    }

    // Checks every record of the register: numbered 1, 2, 3... in file order, each field
    // as the appender wrote it. Returns the count, or -1 after a failed check.
    static qint64 checkRegister(const QString &dir)
    {
        try {
            const DbfTable table = DbfTable::open(dir + QLatin1Char('/') + QLatin1String(RegisterFileName));
            const int number = table.column(u"C_NUMBER");
            const int t11 = table.column(u"T_3_1");
            const int ddmA = table.column(u"DDM_A");
            const int indicator = table.column(u"INDICATOR");
            qint64 expected = 1;
            bool ok = true;
            table.scan([&](const DbfRow &row) {
                const qint64 n = row.value(number).toLongLong();
                ok = n == expected && row.value(ddmA).toLongLong() == n && row.value(indicator).toInt() == n % 16
                    && qFuzzyCompare(row.value(t11).toDouble(), double(n) + 5 / 8.0);
                if (!ok)
                    qWarning("record %lld holds number %lld", expected, n);
                ++expected;
                return ok;
            });
            return ok ? table.recordCount() : -1;
        } catch (const DbfError &e) {
            qWarning("%s", qPrintable(e.text()));
            return -1;
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        setApplicationTitle(FormMain::Title);
    }

    void init()
    {
        m_messages.clear();
        setMessageHook([this](const Message &m) { m_messages.append(m); });
    }

    void cleanup()
    {
        setMessageHook({});
        if (m_sim.state() != QProcess::NotRunning) {
            m_sim.terminate();
            m_sim.waitForFinished(5000);
        }
    }

    // The appender killed at a random moment, many times over: after every kill the table
    // opens, here and in another dBASE reader, with every record appended before it; the
    // next run goes on from there.
    void killedWhileAppending()
    {
        QTemporaryDir dir;
        const int rounds = qEnvironmentVariableIntValue("ZK_KILL_ROUNDS") > 0
            ? qEnvironmentVariableIntValue("ZK_KILL_ROUNDS") : 60;
        QRandomGenerator random(20261209);
        qint64 count = 0;
        int grown = 0;
        for (int round = 0; round < rounds; ++round) {
            QProcess appender;
            appender.setProcessChannelMode(QProcess::ForwardedChannels);
            appender.start(binDir() + QStringLiteral("/dbfappender"), {dir.path()});
            QVERIFY(appender.waitForStarted(5000));
            QThread::usleep(random.bounded(2000, 60000));
            ::kill(pid_t(appender.processId()), SIGKILL);
            QVERIFY(appender.waitForFinished(5000));
            QCOMPARE(appender.exitStatus(), QProcess::CrashExit);
            if (!QFile::exists(dir.filePath(QLatin1String(RegisterFileName))))
                continue; // killed before the table was made
            const qint64 now = checkRegister(dir.path());
            QVERIFY2(now >= count, qPrintable(QStringLiteral("round %1: %2 records after %3").arg(round).arg(now).arg(count)));
            grown += now > count;
            count = now;
            if (round % 15 == 14 || round == rounds - 1) {
                // dBASE readers that read on to the end marker instead of the header's count
                // see the same records: a record whose append was cut short after its flag
                // byte counts here too.
                const QJsonArray other = dbfRecords(dir.filePath(QLatin1String(RegisterFileName)));
                QVERIFY2(other.size() == count,
                         qPrintable(QStringLiteral("%1 records for the other reader, %2 counted").arg(other.size()).arg(count)));
                for (int i = 0; i < other.size(); ++i)
                    QCOMPARE(other[i].toObject().value(QStringLiteral("C_NUMBER")).toInt(), i + 1);
            }
        }
        QVERIFY(grown > rounds / 2);
        // Nothing of a creation cut short is left beside the table.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QLatin1String(RegisterFileName)});
        qInfo("%d kills while appending, %lld records, every one intact, the same for the other reader", rounds, count);
    }

    // The production database goes away between the two statements that record a write:
    // nothing of the record stays, the window says so and keeps polling, and once the
    // database is back the next write is recorded. The same through ODBC.
    void databaseGoneInTheMiddleOfARecord_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::newRow("QPSQL") << QStringLiteral("QPSQL");
        QTest::newRow("QODBC") << QStringLiteral("QODBC");
    }
    void databaseGoneInTheMiddleOfARecord()
    {
        QFETCH(QString, driver);
        if (qEnvironmentVariableIsEmpty("ZK_PG_HOST"))
            QSKIP("needs the PostgreSQL server of scripts/pgtest (ZK_PG_HOST)");
        if (driver == QLatin1String("QODBC") && odbcPostgresDriver().isEmpty()) {
            if (qEnvironmentVariable("CI") == QLatin1String("true"))
                QFAIL("QODBC or the PostgreSQL ODBC driver missing under CI");
            QSKIP("no QODBC or PostgreSQL ODBC driver (Debian: odbc-postgresql)");
        }
        m_link = m_dir.filePath(QStringLiteral("meter-db"));
        QVERIFY(startSim(m_link));
        QTemporaryDir work;
        QVERIFY(QDir::setCurrent(work.path()));
        QFile marker(work.filePath(QStringLiteral("SettingSql.kvm")));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.close();

        QProcess proxy;
        proxy.start(QStringLiteral("python3"), {QString::fromLocal8Bit(ZK_TESTS_DIR "/cutproxy.py"),
                                                qEnvironmentVariable("ZK_PG_HOST"), qEnvironmentVariable("ZK_PG_PORT"),
                                                QStringLiteral("INSERT INTO set_zelta_kn")});
        QVERIFY(proxy.waitForStarted(5000));
        const QString portLine = waitForLine(proxy, QStringLiteral("port "));
        QVERIFY(!portLine.isEmpty());

        setPreferencesStore(QStringLiteral("KalvimetTest"), QStringLiteral("storage-db"));
        setPortMapStore(QStringLiteral("KalvimetTest"), QStringLiteral("storage-db"));
        QSettings prefs(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                        preferencesApplication());
        prefs.clear();
        prefs.setValue(QStringLiteral("Port"), Port);
        QCOMPARE(makeDemoDatabase(work.filePath(QStringLiteral("unused.sqlite")), prefs, driver), driver);
        const ConnectionSettings direct = readConnectionSettings(prefs);
        if (driver == QLatin1String("QODBC"))
            prefs.setValue(QStringLiteral("Electrometer/DatabaseName"), odbcPostgresConnectString(portLine.mid(5).toInt()));
        else
            prefs.setValue(QStringLiteral("Electrometer/Port"), portLine.mid(5).toInt());
        prefs.sync();
        mapPort(Port, m_link);

        ProductionDatabase check(direct, QStringLiteral("storage-check"));
        const auto count = [&check](const char *table) {
            QSqlQuery q = check.exec(QStringLiteral("SELECT COUNT(*) FROM ") + QLatin1String(table));
            return q.next() ? q.value(0).toInt() : -1;
        };
        {
            FormMain w;
            int records = 0;
            connect(&w, &FormMain::writeRecorded, this, [&records] { ++records; });
            QVERIFY(w.sqlMode());
            w.Panel1->SpinTimer->setValue(500);
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            w.activateWindow();
            QTest::qWait(100);
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
            w.setAddress(MeterAddress);
            w.ActionConnect->trigger();
            PageSettings *page = w.TabSheet1;
            QTRY_VERIFY_WITH_TIMEOUT(w.ActionSetting->isEnabled(), 10000);
            QTRY_COMPARE_WITH_TIMEOUT(page->SpinEdit_Number->value(), 1001, 10000);
            page->CheckAddr->setChecked(false);
            page->CheckTime->setChecked(false);
            page->CheckIndi->setChecked(true);

            const int operations = count("operation");
            const int settings = count("set_zelta_kn");
            proxy.write("arm\n");
            QVERIFY(!waitForLine(proxy, QStringLiteral("armed")).isEmpty());
            w.ActionSetting->trigger();
            QVERIFY(!waitForLine(proxy, QStringLiteral("cut"), 15000).isEmpty());
            QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 1, 15000);
            QCOMPARE(m_messages[0].caption, QStringLiteral("Ошибка БД"));
            QVERIFY2(m_messages[0].text.startsWith(QStringLiteral("Ошибка записи в БД")), qPrintable(m_messages[0].text));
            QCOMPARE(records, 0);
            // Rolled back: neither the operation nor its settings row.
            QTRY_COMPARE_WITH_TIMEOUT(count("operation"), operations, 5000);
            QCOMPARE(count("set_zelta_kn"), settings);

            // Polling goes on meanwhile.
            const int sent = w.engine()->sentCount();
            QTRY_VERIFY_WITH_TIMEOUT(w.engine()->sentCount() > sent + 5, 10000);

            // The database is back: the next write is recorded, once.
            proxy.write("up\n");
            QVERIFY(!waitForLine(proxy, QStringLiteral("up")).isEmpty());
            m_messages.clear();
            QTRY_VERIFY_WITH_TIMEOUT(!w.indicatorShown(), 5000);
            QTRY_VERIFY_WITH_TIMEOUT(w.ActionSetting->isEnabled(), 10000);
            QTRY_COMPARE_WITH_TIMEOUT(page->SpinEdit_Number->value(), 1001, 10000);
            page->CheckIndi->setChecked(true);
            w.ActionSetting->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(records == 1 || !m_messages.isEmpty(), 15000);
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
            QCOMPARE(count("operation"), operations + 1);
            QCOMPARE(count("set_zelta_kn"), settings + 1);
            w.ActionDisconnect->trigger();
        }
        proxy.closeWriteChannel();
        proxy.waitForFinished(5000);
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }

    // The window and the numbers of the production database, for a meter that reports 0: a
    // number another bench has written is refused before anything is queued; "+" proposes
    // the next number never written, and says so when there is none.
    void numbersFromTheWindow()
    {
        m_link = m_dir.filePath(QStringLiteral("meter-numbers"));
        QVERIFY(startSim(m_link, 0));
        QTemporaryDir work;
        QVERIFY(QDir::setCurrent(work.path()));
        QFile marker(work.filePath(QStringLiteral("SettingSql.kvm")));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.close();
        setPreferencesStore(QStringLiteral("KalvimetTest"), QStringLiteral("storage-numbers"));
        setPortMapStore(QStringLiteral("KalvimetTest"), QStringLiteral("storage-numbers"));
        {
            QSettings prefs(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                            preferencesApplication());
            prefs.clear();
            prefs.setValue(QStringLiteral("Port"), Port);
            makeDemoDatabase(work.filePath(QStringLiteral("production.sqlite")), prefs);
        }
        mapPort(Port, m_link);
        ProductionDatabase check(readConnectionSettings(preferencesOrganisation(), preferencesApplication()),
                                 QStringLiteral("numbers-check"));
        const BenchIdentity bench = check.identify(localComputerName(), localLogin()).identity;
        const auto writtenElsewhere = [&](int serial) {
            SettingsWrite write;
            write.serial = serial;
            ReadoutForRecord readout;
            readout.serial = serial;
            return check.recordWrite(bench, buildProductionRecord(write, readout, QString())).recorded();
        };
        QVERIFY(writtenElsewhere(1001));
        {
            FormMain w;
            int records = 0;
            connect(&w, &FormMain::writeRecorded, this, [&records] { ++records; });
            QVERIFY(w.sqlMode() && w.masterMode());
            w.Panel1->SpinTimer->setValue(500);
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            w.activateWindow();
            QTest::qWait(100);
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
            w.setAddress(MeterAddress);
            w.ActionConnect->trigger();
            PageSettings *page = w.TabSheet1;
            QTRY_VERIFY_WITH_TIMEOUT(w.ActionSetting->isEnabled(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(page->BitBtn1->isEnabled(), 10000); // the meter reports 0
            page->CheckAddr->setChecked(false);

            page->SpinEdit_Number->setValue(1001);
            const int sent = w.engine()->sentCount();
            w.ActionSetting->trigger();
            QCOMPARE(m_messages.size(), 1);
            QCOMPARE(m_messages[0].caption, QStringLiteral("Ошибка записи в БД"));
            QCOMPARE(m_messages[0].text, QStringLiteral("Номер 1001 уже записан в другой счетчик."));
            QVERIFY(!w.engine()->settingsWritePending());
            QVERIFY(w.engine()->queue().size() <= 1); // at most the poll's next request
            QTest::qWait(1500);
            QCOMPARE(records, 0);
            QVERIFY(w.engine()->sentCount() > sent); // polling goes on
            QCOMPARE(page->reportedSerial(), 0);
            m_messages.clear();

            // 1002 is the smallest never written: from 1003 on.
            page->BitBtn1->click();
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
            QCOMPARE(page->SpinEdit_Number->value(), 1003);
            QVERIFY(writtenElsewhere(1003));
            page->BitBtn1->click();
            QCOMPARE(page->SpinEdit_Number->value(), 1004);
            QVERIFY(writtenElsewhere(1004));
            QVERIFY(writtenElsewhere(1005));
            page->BitBtn1->click();
            QCOMPARE(m_messages.size(), 1);
            QCOMPARE(m_messages[0].text, noFreeNumberMessage(1003));
            QCOMPARE(page->SpinEdit_Number->value(), 1004); // nothing proposed
            w.ActionDisconnect->trigger();
        }
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }

    // The database server down while the operator comes back to the window again and again:
    // one box per failure, not one per return; once the server answers the next failure gets
    // its box. A server that accepts and then says nothing is given up after ConnectTimeout,
    // the box naming the server. A preferences file that holds the password and that others
    // can read is shown at start.
    void databaseDownOneBoxPerFailure()
    {
        if (qEnvironmentVariableIsEmpty("ZK_PG_HOST"))
            QSKIP("needs the PostgreSQL server of scripts/pgtest (ZK_PG_HOST)");
        QTemporaryDir work;
        QVERIFY(QDir::setCurrent(work.path()));
        QFile marker(work.filePath(QStringLiteral("SettingSql.kvm")));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.close();
        QProcess proxy;
        proxy.start(QStringLiteral("python3"), {QString::fromLocal8Bit(ZK_TESTS_DIR "/cutproxy.py"),
                                                qEnvironmentVariable("ZK_PG_HOST"), qEnvironmentVariable("ZK_PG_PORT"),
                                                QStringLiteral("no pattern")});
        QVERIFY(proxy.waitForStarted(5000));
        const QString portLine = waitForLine(proxy, QStringLiteral("port "));
        QVERIFY(!portLine.isEmpty());
        const int relayPort = portLine.mid(5).toInt();
        const auto relay = [&proxy](const char *command) {
            proxy.write(QByteArray(command) + '\n');
            return !waitForLine(proxy, QString::fromLatin1(command)).isEmpty();
        };

        setPreferencesStore(QStringLiteral("KalvimetTest"), QStringLiteral("storage-down"));
        setPortMapStore(QStringLiteral("KalvimetTest"), QStringLiteral("storage-down"));
        {
            QSettings prefs(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                            preferencesApplication());
            prefs.clear();
            prefs.setValue(QStringLiteral("Port"), Port);
            QCOMPARE(makeDemoDatabase(work.filePath(QStringLiteral("unused.sqlite")), prefs), QStringLiteral("QPSQL"));
            prefs.setValue(QStringLiteral("Electrometer/Port"), relayPort);
            prefs.setValue(QStringLiteral("Electrometer/ConnectTimeout"), 2);
            prefs.setValue(QStringLiteral("Electrometer/QueryTimeout"), 2);
            prefs.setValue(QStringLiteral("Electrometer/Password"), QStringLiteral("unused by trust"));
        }
        const QString prefsFile = preferencesFile();
        QVERIFY(QFile::setPermissions(prefsFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                     | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        const QString server = QStringLiteral("сервер %1:%2").arg(qEnvironmentVariable("ZK_PG_HOST")).arg(relayPort);
        {
            FormMain w;
            // The preferences file others can read: one box at start.
            QCOMPARE(m_messages.size(), 1);
            QCOMPARE(m_messages[0].caption, QStringLiteral("Настройки"));
            QVERIFY2(m_messages[0].text.endsWith(QStringLiteral("chmod 600 %1").arg(prefsFile)), qPrintable(m_messages[0].text));
            m_messages.clear();

            QWidget other; // another window of the program, to come back from
            other.setWindowTitle(QStringLiteral("other"));
            other.resize(100, 100);
            const auto comeBack = [&] {
                other.show();
                other.activateWindow();
                QTRY_VERIFY_WITH_TIMEOUT(QGuiApplication::focusWindow() == other.windowHandle(), 5000);
                other.hide();
                w.activateWindow();
                QTRY_VERIFY_WITH_TIMEOUT(QGuiApplication::focusWindow() == w.windowHandle(), 5000);
                QTest::qWait(50);
            };
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            w.activateWindow();
            QTest::qWait(100);
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));

            QVERIFY(relay("down"));
            for (int i = 0; i < 3; ++i)
                comeBack();
            QCOMPARE(m_messages.size(), 1);
            QVERIFY2(m_messages[0].text.contains(server), qPrintable(m_messages[0].text));

            // Answering again: identified without a box; the next failure has its own.
            QVERIFY(relay("up"));
            comeBack();
            QCOMPARE(m_messages.size(), 1);
            QVERIFY(relay("down"));
            comeBack();
            comeBack();
            QCOMPARE(m_messages.size(), 2);

            // Silent: the open connection's statement is given up after QueryTimeout (and a
            // second), a new connection after ConnectTimeout; not for ever, and one box.
            QVERIFY(relay("up"));
            comeBack();
            QCOMPARE(m_messages.size(), 2);
            QVERIFY(relay("silent"));
            QElapsedTimer waited;
            waited.start();
            comeBack();
            QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 3, 15000);
            QVERIFY2(waited.elapsed() < 15000, qPrintable(QString::number(waited.elapsed())));
            QVERIFY2(m_messages[2].text.startsWith(QStringLiteral("База данных не ответила за 2 с (%1).").arg(server)),
                     qPrintable(m_messages[2].text));
            waited.restart();
            comeBack();
            QVERIFY2(waited.elapsed() < 15000, qPrintable(QString::number(waited.elapsed())));
            QCOMPARE(m_messages.size(), 3);
        }
        // Down at start-up: one box for the settings and the identification together, and the
        // rest of the start-up done.
        QVERIFY(relay("up"));
        QVERIFY(relay("down"));
        QVERIFY(QFile::setPermissions(prefsFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        m_messages.clear();
        {
            FormMain w;
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            w.activateWindow();
            QTest::qWait(100);
            QStringList texts;
            for (const auto &m : m_messages)
                texts << m.text;
            QVERIFY2(m_messages.size() == 1 && texts[0].contains(server), qPrintable(texts.join(QLatin1Char('|'))));
            QVERIFY(w.TabSheet2->BtnJournal->isEnabled() && w.TabSheet2->BtnDiary->isEnabled());
        }
        proxy.closeWriteChannel();
        proxy.waitForFinished(5000);
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }

    // A full disk under an export: the warning (the window) or status 5 (the command
    // line), the earlier file as it was, no temporary file left. The disk is a small
    // tmpfs in a mount namespace of a child run of this test.
    void exportOnFullDisk()
    {
        if (QProcess::execute(QStringLiteral("unshare"),
                              {QStringLiteral("--user"), QStringLiteral("--map-root-user"), QStringLiteral("--mount"),
                               QStringLiteral("true")})
            != 0)
            QSKIP("no user and mount namespaces here (unshare)");
        m_link = m_dir.filePath(QStringLiteral("meter-disk"));
        QVERIFY(startSim(m_link));
        const QString disk = m_dir.filePath(QStringLiteral("disk"));
        QVERIFY(QDir().mkpath(disk));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ZK_FULL_DISK"), disk);
        env.insert(QStringLiteral("ZK_METER_LINK"), m_link);
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QStringLiteral("unshare"),
                    {QStringLiteral("--user"), QStringLiteral("--map-root-user"), QStringLiteral("--mount"),
                     QStringLiteral("sh"), QStringLiteral("-c"),
                     QStringLiteral("mount -t tmpfs -o size=512k zk-full \"$1\" && exec \"$2\" exportOnFullDiskInside"),
                     QStringLiteral("sh"), disk, QCoreApplication::applicationFilePath()});
        QVERIFY(child.waitForStarted(5000));
        QElapsedTimer t;
        t.start();
        while (child.state() != QProcess::NotRunning && t.elapsed() < 120000)
            QTest::qWait(20);
        const QString out = QString::fromUtf8(child.readAll());
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("PASS   : TestStorage::exportOnFullDiskInside()")), qPrintable(out));
    }

    // Run by exportOnFullDisk inside its namespace, on the full tmpfs.
    void exportOnFullDiskInside()
    {
        const QString disk = qEnvironmentVariable("ZK_FULL_DISK");
        if (disk.isEmpty())
            QSKIP("run by exportOnFullDisk");
        const QString target = disk + QStringLiteral("/journal.xls");
        const QByteArray old = QByteArray("an earlier export, kept whole\n").repeated(100);
        {
            QFile f(target);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(old), old.size());
        }
        // Fill the disk but for a few kilobytes: room to create a file, not to write a workbook.
        {
            QFile filler(disk + QStringLiteral("/filler"));
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, 'x');
            while (filler.write(block) == block.size() && filler.flush()) {
            }
            filler.close();
            QFile::resize(filler.fileName(), filler.size() - 4096);
        }
        const QStringList before = QDir(disk).entryList(QDir::Files);

        // The window: the annual journal as the grid holds it.
        setPreferencesStore(QStringLiteral("KalvimetTest"), QStringLiteral("storage-disk"));
        setPortMapStore(QStringLiteral("KalvimetTest"), QStringLiteral("storage-disk"));
        {
            FormMain w;
            PageJournal *page = w.TabSheet2;
            for (int m = 1; m <= 12; ++m)
                for (int c = 0; c < 5; ++c)
                    page->GridJournal->setCellText(m, c, c == 0 ? QStringLiteral("26 янв.")
                                                                : QStringLiteral("%1,%2").arg(1000 * m + c).arg(c));
            setSaveFileHook([&target](const QString &) { return target; });
            bool opened = false;
            setOpenHook([&opened](const QString &) { opened = true; });
            page->BtnJournal->click();
            setSaveFileHook({});
            setOpenHook({});
            QCOMPARE(m_messages.size(), 1);
            QCOMPARE(m_messages[0].caption, QStringLiteral("Warning"));
            QCOMPARE(m_messages[0].text, QString::fromUtf8(ExportWarning));
            QVERIFY(!opened);
        }
        QCOMPARE(fileBytes(target), old);
        QCOMPARE(QDir(disk).entryList(QDir::Files), before);

        // The command line: the journal read from the meter, then the same workbook.
        QProcess cli;
        cli.setProcessChannelMode(QProcess::MergedChannels);
        cli.start(binDir() + QStringLiteral("/zelta-kn-cli"),
                  {QStringLiteral("--port"), qEnvironmentVariable("ZK_METER_LINK"), QStringLiteral("--address"),
                   QString::number(MeterAddress), QStringLiteral("journal"), QStringLiteral("annual"),
                   QStringLiteral("--xls"), target});
        QVERIFY(cli.waitForFinished(60000));
        const QString out = QString::fromUtf8(cli.readAll());
        QCOMPARE(cli.exitCode(), 5);
        const QString last = out.section(QLatin1Char('\n'), -3);
        QVERIFY2(last.contains(QString::fromUtf8(ExportWarning)), qPrintable(last));
        QVERIFY2(last.contains(QStringLiteral("No space left on device")), qPrintable(last));
        QCOMPARE(fileBytes(target), old);
        QCOMPARE(QDir(disk).entryList(QDir::Files), before);

        // With room again the export goes through and replaces the file.
        QVERIFY(QFile::remove(disk + QStringLiteral("/filler")));
        cli.start(cli.program(), cli.arguments());
        QVERIFY(cli.waitForFinished(60000));
        QCOMPARE(cli.exitCode(), 0);
        QVERIFY(fileBytes(target).startsWith(QByteArray::fromHex("D0CF11E0A1B11AE1")));
    }
};

QTEST_MAIN(TestStorage)
#include "test_storage.moc"
