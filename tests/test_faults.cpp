// Faults on the line, end to end: the real main window and zelta-kn-cli against the
// virtual meter, which drops acknowledgements, answers late, garbles, splits or pads its
// replies, sends noise, is switched off and on, or disappears with its port. Whatever
// happens the program keeps polling once the meter answers again; a write that failed is
// reported as failed and leaves no row in Setting.DBF; one that succeeded leaves exactly
// one. The totals are printed at the end of the run.

#include "app/application.h"
#include "app/formmain.h"
#include "ops/preferences.h"
#include "link/exchangeengine.h"
#include "link/linkbar.h"
#include "link/portmap.h"
#include "link/serialchannel.h"
#include "meter/pagesettings.h"
#include "records/dbftable.h"
#include "records/register.h"
#include "tests/testwindow.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace zk;

namespace {

constexpr int MeterAddress = 5;
constexpr int Port = 11;
constexpr int ReplyTimeoutMs = 1000;

enum class WriteEnd { Succeeds, Fails, Either };

// What a fault is expected to do to the one write exchange it hits.
struct LineFault {
    const char *name;
    const char *command; // the meter's fault command, aimed at the indication write where it can be
    bool aimed;          // false: injected just after the password exchange, for the next address byte
    WriteEnd write;
};

const LineFault Faults[] = {
    {"no acknowledgement", "noack 1", false, WriteEnd::Fails},
    {"reply within the timeout", "delay=300 1 on=0x0E", true, WriteEnd::Succeeds},
    {"reply after the timeout", "delay=2500 1 on=0x0E", true, WriteEnd::Fails},
    {"bad CRC", "badcrc 1 on=0x0E", true, WriteEnd::Fails},
    // The extra byte is discarded when the reply was whole before it came, and spoils the
    // reply when both come in one read: either way the verdict and the record agree.
    {"extra byte", "extra=0x55 1 on=0x0E", true, WriteEnd::Either},
    {"error reply", "error=4 1 on=0x0E", true, WriteEnd::Fails},
    {"split reply", "split=40 1 on=0x0E", true, WriteEnd::Succeeds},
    {"split past the timeout", "split=1500 1 on=0x0E", true, WriteEnd::Fails},
    {"wrong function", "wrongfn 1 on=0x0E", true, WriteEnd::Fails},
    {"acknowledged, never answered", "silent 1 on=0x0E", true, WriteEnd::Fails},
    {"noise before the reply", "noise=5 1 on=0x0E", true, WriteEnd::Fails},
    {"meter switched off", "vanish 1", false, WriteEnd::Fails},
};

struct Totals {
    int faults = 0;
    int writes = 0;
    int reportedOk = 0;
    int reportedFailed = 0;
    int recorded = 0;
};

QString outcomeName(WriteEnd o)
{
    return o == WriteEnd::Succeeds ? QStringLiteral("succeeds") : o == WriteEnd::Fails ? QStringLiteral("fails")
                                                                                     : QStringLiteral("either");
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_sim;
    QString m_link;
    QString m_state;
    QString m_simErr;
    QList<Message> m_messages;
    int m_case = 0;
    Totals m_window;
    Totals m_cli;
    int m_pollFaults = 0;

    bool startSim()
    {
        m_sim.setProgram(binDir() + QStringLiteral("/zelta-kn-sim"));
        m_sim.setArguments({QStringLiteral("--link"), m_link, QStringLiteral("--address"),
                            QString::number(MeterAddress), QStringLiteral("--state"), m_state,
                            QStringLiteral("--turnaround"), QStringLiteral("2")});
        m_sim.start();
        if (!m_sim.waitForStarted(5000) || !m_sim.waitForReadyRead(10000))
            return false;
        m_simErr.clear();
        return QString::fromUtf8(m_sim.readLine()).trimmed() == QStringLiteral("ready ") + m_link;
    }

    static QString binDir() { return qEnvironmentVariable("ZK_BIN_DIR", QCoreApplication::applicationDirPath()); }

    // Sends a command to the meter and waits, with the event loop running, for the line
    // that confirms it.
    bool simCommand(const QString &line, const QString &confirmation, int waitMs = 5000)
    {
        m_simErr.clear();
        m_sim.readAllStandardError();
        m_sim.write(line.toUtf8() + '\n');
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < waitMs) {
            m_simErr += QString::fromUtf8(m_sim.readAllStandardError());
            for (const QString &l : m_simErr.split(QLatin1Char('\n')))
                if (l.startsWith(confirmation))
                    return true;
            QTest::qWait(5);
        }
        return false;
    }

    // True once the fault in force has been used up.
    bool faultUsedUp() { return simCommand(QStringLiteral("fault"), QStringLiteral("fault off")); }

    // Waits until no reply held back by a fault is still on its way: it would come in
    // the middle of a later exchange and spoil that one.
    bool lineIdle()
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 60000)
            if (simCommand(QStringLiteral("line"), QStringLiteral("line idle"), 200))
                return true;
        return false;
    }

    QJsonObject meterState()
    {
        QFile file(m_state);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    int registerRows() const
    {
        try {
            return int(openOrCreateRegister(m_dir.path()).recordCount());
        } catch (const DbfError &) {
            return -1;
        }
    }

    std::unique_ptr<FormMain> openWindow()
    {
        const QString app = QStringLiteral("faults-%1").arg(++m_case);
        setPreferencesStore(QStringLiteral("KalvimetTest"), app);
        setPortMapStore(QStringLiteral("KalvimetTest"), app);
        QSettings prefs(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                        preferencesApplication());
        prefs.setValue(QStringLiteral("Port"), Port);
        prefs.sync();
        mapPort(Port, m_link);
        auto window = std::make_unique<FormMain>();
        window->Panel1->SpinTimer->setValue(ReplyTimeoutMs);
        window->setAddress(MeterAddress);
        return window;
    }

    // Connected, a whole poll cycle seen, writing enabled.
    bool pollingResumed(FormMain &w, int timeoutMs = 15000)
    {
        const int sent = w.engine()->sentCount();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (w.engine()->sentCount() >= sent + 12 && w.ActionSetting->isEnabled()
                && !w.TabSheet1->LabeledVersion->text().isEmpty()
                && w.TabSheet1->SpinEdit_Number->value() > 0)
                return true;
            QTest::qWait(10);
        }
        return false;
    }


    // One F12 write of the indication flags; `inject` runs as the write starts. Returns
    // whether the window reported success, after checking that its verdict, its record
    // and the meter agree.
    std::optional<bool> windowWrite(FormMain &w, const std::function<void()> &inject)
    {
        PageSettings *page = w.TabSheet1;
        int recordedSignals = 0;
        const auto connection = connect(&w, &FormMain::writeRecorded, this, [&recordedSignals] { ++recordedSignals; });
        const struct Disconnect {
            QMetaObject::Connection c;
            ~Disconnect() { QObject::disconnect(c); }
        } guard{connection};
        const int rowsBefore = registerRows();
        const int flags = (meterState().value(QStringLiteral("indication")).toInt() + 1) & 0x0F;
        page->CheckTime->setChecked(false);
        page->CheckIndi->setChecked(true);
        QCheckBox *boxes[4] = {page->CheckBox1, page->CheckBox2, page->CheckBox3, page->CheckBox4};
        for (int bit = 0; bit < 4; ++bit)
            boxes[bit]->setChecked(flags & (1 << bit));
        if (!w.ActionSetting->isEnabled()) {
            qWarning("writing is not enabled");
            return std::nullopt;
        }
        m_messages.clear();
        w.ActionSetting->trigger();
        inject();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 15000 && m_messages.isEmpty() && !(w.indicatorShown() && w.Shape1->colour() == Qt::green))
            QTest::qWait(5);
        const bool ok = m_messages.isEmpty() && w.indicatorShown();
        if (!ok && m_messages.isEmpty()) {
            qWarning("no verdict");
            return std::nullopt;
        }
        ++m_window.writes;
        // Let late replies and the verdict's indicator pass before counting.
        QTest::qWait(300);
        const int rows = registerRows() - rowsBefore;
        m_window.recorded += rows;
        if (ok) {
            ++m_window.reportedOk;
            if (recordedSignals != 1 || rows != 1 || meterState().value(QStringLiteral("indication")).toInt() != flags) {
                qWarning("reported done: %d signals, %d rows, flags %d in the meter, %d written", recordedSignals, rows,
                         meterState().value(QStringLiteral("indication")).toInt(), flags);
                return std::nullopt;
            }
        } else {
            ++m_window.reportedFailed;
            if (m_messages.size() != 1 || m_messages[0].text != ExchangeEngine::WriteFailureText
                || w.Shape1->colour() != QColor(255, 0, 0) || recordedSignals != 0 || rows != 0) {
                qWarning("reported failed: %d messages (%s), %d signals, %d rows", int(m_messages.size()),
                         qPrintable(m_messages.value(0).text), recordedSignals, rows);
                return std::nullopt;
            }
        }
        page->CheckIndi->setChecked(false);
        return ok;
    }

    struct CliRun {
        int exitCode = -1;
        QString out;
    };

    CliRun cli(const QStringList &args)
    {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(binDir() + QStringLiteral("/zelta-kn-cli"),
                QStringList{QStringLiteral("--port"), m_link, QStringLiteral("--address"), QString::number(MeterAddress),
                            QStringLiteral("--timeout"), QString::number(ReplyTimeoutMs)}
                    + args);
        // The event loop keeps running: the meter's confirmations are read meanwhile.
        QElapsedTimer t;
        t.start();
        while (p.state() != QProcess::NotRunning && t.elapsed() < 60000)
            QTest::qWait(10);
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished();
            return {};
        }
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError())};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_link = m_dir.filePath(QStringLiteral("meter"));
        m_state = m_dir.filePath(QStringLiteral("meter.json"));
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        {
            QJsonObject state;
            state[QStringLiteral("address")] = MeterAddress;
            state[QStringLiteral("serial")] = 4242;
            QFile file(m_state);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QJsonDocument(state).toJson());
        }
        QVERIFY(startSim());
        setApplicationTitle(FormMain::Title);
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }

    void cleanupTestCase()
    {
        qInfo().noquote() << QStringLiteral(
                                 "window: %1 faults while polling; %2 faults on writes, %3 writes, %4 reported "
                                 "done, %5 reported failed, %6 recorded")
                                 .arg(m_pollFaults)
                                 .arg(m_window.faults)
                                 .arg(m_window.writes)
                                 .arg(m_window.reportedOk)
                                 .arg(m_window.reportedFailed)
                                 .arg(m_window.recorded);
        qInfo().noquote() << QStringLiteral(
                                 "zelta-kn-cli: %1 faults on writes, %2 writes, %3 reported done, %4 reported "
                                 "failed, %5 recorded")
                                 .arg(m_cli.faults)
                                 .arg(m_cli.writes)
                                 .arg(m_cli.reportedOk)
                                 .arg(m_cli.reportedFailed)
                                 .arg(m_cli.recorded);
        if (m_sim.state() != QProcess::NotRunning) {
            m_sim.terminate();
            QVERIFY(m_sim.waitForFinished(5000));
        }
    }

    void init()
    {
        m_messages.clear();
        setMessageHook([this](const Message &m) { m_messages.append(m); });
    }

    void cleanup()
    {
        setMessageHook({});
        if (m_sim.state() == QProcess::Running)
            simCommand(QStringLiteral("fault off"), QStringLiteral("fault off"));
    }

    // Each fault while polling: no message, and the readout comes back; then the same
    // fault on a write, and a clean write after it.
    void windowUnderFault_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < int(std::size(Faults)); ++i)
            QTest::newRow(Faults[i].name) << i;
    }

    void windowUnderFault()
    {
        QFETCH(int, index);
        const LineFault &fault = Faults[index];
        const QString kind = QString::fromLatin1(fault.command).section(QLatin1Char(' '), 0, 0).section(QLatin1Char('='), 0, 0);
        auto w = openWindow();
        w->ActionConnect->trigger();
        QVERIFY(pollingResumed(*w));

        // While polling: six exchanges in a row.
        const QString pollFault = QString::fromLatin1(fault.command).section(QLatin1Char(' '), 0, 0);
        QVERIFY(simCommand(QStringLiteral("fault %1 6").arg(pollFault), QStringLiteral("fault ") + kind));
        QElapsedTimer t;
        t.start();
        while (!faultUsedUp() && t.elapsed() < 30000)
            QTest::qWait(100);
        QVERIFY2(t.elapsed() < 30000, "the fault was never used up");
        QVERIFY(lineIdle());
        m_pollFaults += 6;
        QVERIFY(pollingResumed(*w));
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));

        // On a write.
        const auto inject = [&] {
            if (fault.aimed) {
                QVERIFY(simCommand(QStringLiteral("fault ") + QLatin1String(fault.command), QStringLiteral("fault ") + kind));
            } else {
                QVERIFY(waitForRequest(*w, 0x14));
                QVERIFY(simCommand(QStringLiteral("fault ") + QLatin1String(fault.command), QStringLiteral("fault ") + kind));
            }
        };
        const std::optional<bool> ok = windowWrite(*w, inject);
        QVERIFY2(ok, "verdict, record and meter disagree");
        ++m_window.faults;
        if (fault.write != WriteEnd::Either)
            QCOMPARE(*ok ? WriteEnd::Succeeds : WriteEnd::Fails, fault.write);
        QVERIFY(faultUsedUp());
        // A reply held back past its timeout still comes, in the middle of a later
        // exchange, and spoils that one (which is then reported as failed, correctly):
        // the clean write below waits until it is out of the way.
        QVERIFY(lineIdle());

        // Polling goes on and the next write goes through.
        QVERIFY(pollingResumed(*w));
        const std::optional<bool> clean = windowWrite(*w, [] {});
        QVERIFY(clean && *clean);
        w->ActionDisconnect->trigger();
        QVERIFY(!w->channel()->isOpen());
    }

    // The meter switched off for a while: writing goes grey and the readout clears; once
    // it is back polling resumes and a write asks for access again.
    void meterVanishesAndComesBack()
    {
        auto w = openWindow();
        w->ActionConnect->trigger();
        QVERIFY(pollingResumed(*w));
        QVERIFY(simCommand(QStringLiteral("fault vanish"), QStringLiteral("fault vanish")));
        QTRY_VERIFY_WITH_TIMEOUT(!w->ActionSetting->isEnabled(), 20000);
        QVERIFY(w->TabSheet1->LabeledVersion->text().isEmpty());
        QVERIFY(simCommand(QStringLiteral("fault off"), QStringLiteral("fault off")));
        QVERIFY(pollingResumed(*w));
        QVERIFY(m_messages.isEmpty());
        const std::optional<bool> ok = windowWrite(*w, [] {});
        QVERIFY(ok && *ok);
        w->ActionDisconnect->trigger();
    }

    // The port disappears in the middle of a write (the meter's end of the terminal is
    // gone): the write fails unrecorded, the window keeps running and polling times out;
    // with the port back, connecting again resumes polling.
    void portDisappearsWhileConnected()
    {
        auto w = openWindow();
        w->ActionConnect->trigger();
        QVERIFY(pollingResumed(*w));
        int recordedSignals = 0;
        connect(w.get(), &FormMain::writeRecorded, this, [&recordedSignals] { ++recordedSignals; });
        const int rows = registerRows();
        w->TabSheet1->CheckTime->setChecked(false);
        w->TabSheet1->CheckIndi->setChecked(true);
        w->ActionSetting->trigger();
        QVERIFY(waitForRequest(*w, 0x14));
        m_sim.kill();
        QVERIFY(m_sim.waitForFinished(5000));
        ++m_window.writes;
        ++m_window.faults;
        QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 1, 10000);
        ++m_window.reportedFailed;
        QCOMPARE(m_messages[0].text, ExchangeEngine::WriteFailureText);
        QTRY_VERIFY_WITH_TIMEOUT(!w->ActionSetting->isEnabled(), 20000);
        QVERIFY(w->channel()->isOpen());
        QCOMPARE(recordedSignals, 0);
        QCOMPARE(registerRows(), rows);

        QVERIFY(startSim());
        QTest::qWait(1500);
        QVERIFY(!w->ActionSetting->isEnabled()); // the old terminal stays dead
        w->ActionDisconnect->trigger();
        w->ActionConnect->trigger();
        QVERIFY2(pollingResumed(*w), qPrintable(m_messages.value(1).text));
        QCOMPARE(m_messages.size(), 1);
        const std::optional<bool> ok = windowWrite(*w, [] {});
        QVERIFY(ok && *ok);
        w->ActionDisconnect->trigger();
    }

    // The same faults on a write from the command line: the exit status and the
    // register agree.
    void cliUnderFault_data() { windowUnderFault_data(); }

    void cliUnderFault()
    {
        QFETCH(int, index);
        const LineFault &fault = Faults[index];
        const QString kind = QString::fromLatin1(fault.command).section(QLatin1Char(' '), 0, 0).section(QLatin1Char('='), 0, 0);
        // Without an aim the fault takes every exchange until it is switched off.
        const QString command = fault.aimed ? QString::fromLatin1(fault.command)
                                            : QString::fromLatin1(fault.command).section(QLatin1Char(' '), 0, 0);
        QVERIFY(simCommand(QStringLiteral("fault ") + command, QStringLiteral("fault ") + kind));
        const int rows = registerRows();
        const int flags = (meterState().value(QStringLiteral("indication")).toInt() + 1) & 0x0F;
        const CliRun run = cli({QStringLiteral("write"), QStringLiteral("--indication"), QString::number(flags)});
        ++m_cli.faults;
        ++m_cli.writes;
        const int added = registerRows() - rows;
        m_cli.recorded += added;
        QVERIFY2(run.exitCode == 0 || run.exitCode == 3 || run.exitCode == 4, qPrintable(run.out));
        if (run.exitCode == 0) {
            ++m_cli.reportedOk;
            QCOMPARE(added, 1);
            QCOMPARE(meterState().value(QStringLiteral("indication")).toInt(), flags);
        } else {
            ++m_cli.reportedFailed;
            QCOMPARE(added, 0);
        }
        if (fault.write != WriteEnd::Either)
            QVERIFY2((run.exitCode == 0) == (fault.write == WriteEnd::Succeeds),
                     qPrintable(outcomeName(fault.write) + QStringLiteral(": ") + run.out));
        QVERIFY(simCommand(QStringLiteral("fault off"), QStringLiteral("fault off")));
        QVERIFY(lineIdle());
        const CliRun again = cli({QStringLiteral("write"), QStringLiteral("--indication"), QString::number(flags)});
        QVERIFY2(again.exitCode == 0, qPrintable(again.out));
        ++m_cli.writes;
        ++m_cli.reportedOk;
        m_cli.recorded += registerRows() - rows - added;
        QCOMPARE(registerRows(), rows + added + 1);
    }
};

QTEST_MAIN(TestFaults)
#include "test_faults.moc"
