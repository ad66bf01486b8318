// The real main window, offscreen, talking through a pseudo-terminal to the virtual
// meter executable: the poll cycle after connecting, a write that succeeds, one the
// meter refuses, a disconnect in the middle of a write, both journals read from their
// page, and the address search.

#include "app/application.h"
#include "app/formmain.h"
#include "app/pageterminal.h"
#include "app/preferences.h"
#include "link/linkbar.h"
#include "link/portmap.h"
#include "link/serialchannel.h"
#include "meter/pagereadings.h"
#include "meter/pagesettings.h"
#include "schedule/pagejournal.h"
#include "tests/testbytes.h"
#include "tests/testxls.h"
#include "ui/dialogs.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QDateEdit>
#include <QLabel>
#include <QPushButton>
#include <QTimeEdit>
#include <QLineEdit>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QProcess>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace zk;

namespace {

constexpr int MeterAddress = 3;
constexpr int Port = 9;

// Function codes of the request frames in a master-mode traffic log, in order.
QList<int> requestFunctions(const QString &log)
{
    QList<int> out;
    static const QRegularExpression frameLine(
        QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d Send ([0-9A-F]{2}) [0-9A-F]{2} "));
    for (const QString &line : log.split(QLatin1Char('\n'))) {
        const auto m = frameLine.match(line);
        if (m.hasMatch())
            out.append(m.captured(1).toInt(nullptr, 16));
    }
    return out;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_sim;
    QString m_link;
    QString m_state;
    QList<Message> m_messages;
    int m_case = 0;

    QJsonObject meterState() const
    {
        QFile file(m_state);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    std::unique_ptr<FormMain> openWindow(bool master)
    {
        const QString app = QStringLiteral("e2e-%1").arg(++m_case);
        setPreferencesStore(QStringLiteral("KalvimetTest"), app);
        setPortMapStore(QStringLiteral("KalvimetTest"), app);
        QSettings prefs(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                        preferencesApplication());
        prefs.setValue(QStringLiteral("Port"), Port);
        if (master)
            prefs.setValue(QStringLiteral("Master"), 1);
        prefs.sync();
        mapPort(Port, m_link);
        auto window = std::make_unique<FormMain>();
        window->Panel1->SpinTimer->setValue(500);
        return window;
    }

    static QString log(FormMain &w) { return w.TabSheet4->Memo_Terminal->toPlainText(); }

    // Waits until the request with function `f` is on the wire.
    static bool waitForRequest(FormMain &w, int f, int timeoutMs = 10000)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            const QByteArray cur = w.engine()->currentRequest();
            if (!cur.isEmpty() && quint8(cur.at(0)) == f && w.engine()->awaitingReply()
                && w.channel()->parity() == Parity::Space)
                return true;
            QTest::qWait(2);
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_link = m_dir.filePath(QStringLiteral("meter"));
        m_state = m_dir.filePath(QStringLiteral("meter.json"));
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        // Odd values in the meter's memory, for the readout to show.
        {
            QJsonObject state;
            state[QStringLiteral("address")] = MeterAddress;
            state[QStringLiteral("serial")] = 100000;
            state[QStringLiteral("correction")] = 0x07; // -7
            state[QStringLiteral("ddm")] = QJsonArray{0x123456, 0, 77};
            state[QStringLiteral("indication")] = 0x09;
            state[QStringLiteral("billingDay")] = 25;
            state[QStringLiteral("billingHour")] = 13;
            state[QStringLiteral("billingReadings")] = QJsonArray{double(quint64(1) << 32), 4000, 1};
            state[QStringLiteral("turnOnHalfMinutes")] = 121;
            QFile file(m_state);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QJsonDocument(state).toJson());
        }
        const QString bin = qEnvironmentVariable("ZK_BIN_DIR", QCoreApplication::applicationDirPath());
        m_sim.setProgram(bin + QStringLiteral("/zelta-kn-sim"));
        m_sim.setArguments({QStringLiteral("--link"), m_link, QStringLiteral("--address"),
                            QString::number(MeterAddress), QStringLiteral("--state"), m_state,
                            QStringLiteral("--turnaround"), QStringLiteral("2")});
        m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_sim.start();
        QVERIFY2(m_sim.waitForStarted(5000), qPrintable(m_sim.errorString()));
        QVERIFY(m_sim.waitForReadyRead(10000));
        QCOMPARE(QString::fromUtf8(m_sim.readLine()).trimmed(), QStringLiteral("ready ") + m_link);
        setApplicationTitle(FormMain::Title);
    }

    void cleanupTestCase()
    {
        m_sim.terminate();
        QVERIFY(m_sim.waitForFinished(5000));
        QCOMPARE(m_sim.exitCode(), 0);
        QVERIFY(!QFile::exists(m_link));
    }

    void init()
    {
        QVERIFY(QDir::setCurrent(m_dir.path()));
        m_messages.clear();
        setMessageHook([this](const Message &m) { m_messages.append(m); });
    }

    void cleanup() { setMessageHook({}); }

    void connectPollsTheMeter()
    {
        auto w = openWindow(true);
        QVERIFY(!w->TabSheet4->CheckBox_Terminal->isChecked()); // off at start in master mode
        w->TabSheet4->CheckBox_Terminal->setChecked(true);
        w->setAddress(MeterAddress);
        QVERIFY(w->ActionConnect->isEnabled());
        w->ActionConnect->trigger();
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
        QVERIFY(w->ActionDisconnect->isEnabled());
        QVERIFY(!w->ActionConnect->isEnabled());

        const QList<int> expected = {0x00, 0x00, 0x01, 0x04, 0x0D, 0x0F, 0x0A,
                                     0x11, 0x0C, 0x06, 0x22, 0x2A, 0x00, 0x01};
        QTRY_VERIFY_WITH_TIMEOUT(requestFunctions(log(*w)).size() >= expected.size(), 20000);
        QCOMPARE(requestFunctions(log(*w)).mid(0, expected.size()), expected);
        QVERIFY2(!log(*w).contains(QStringLiteral("Timeout")), qPrintable(log(*w)));
        QCOMPARE(w->TabSheet1->LabeledVersion->text(), QStringLiteral("1.12"));
        QVERIFY(w->statusText(0).toInt() > 0);

        w->ActionDisconnect->trigger();
        QVERIFY(w->ActionConnect->isEnabled());
        QVERIFY(!w->channel()->isOpen());
        QVERIFY(m_messages.isEmpty());
    }

    void writeSequenceReachesTheMeter()
    {
        auto w = openWindow(false);
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QVERIFY(waitForRequest(*w, 0x01));
        const int flags = (meterState().value(QStringLiteral("indication")).toInt() + 5) & 0x0F;
        ExchangeEngine *engine = w->engine();
        engine->setSettingsWritePending(true);
        engine->enqueue({makeFrame(req::Password, bytes({1, 0})),
                         makeFrame(req::WriteIndication, bytes({flags}))});
        QTRY_VERIFY_WITH_TIMEOUT(w->indicatorShown(), 10000);
        QCOMPARE(w->Shape1->colour(), QColor(0, 255, 0));
        QVERIFY(m_messages.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(meterState().value(QStringLiteral("indication")).toInt(), flags, 5000);
        // The indicator goes after two seconds; polling went on meanwhile.
        QTRY_VERIFY_WITH_TIMEOUT(!w->indicatorShown(), 5000);
        QVERIFY(!engine->settingsWritePending());
        w->ActionDisconnect->trigger();
    }

    void refusedWriteIsReportedOnce()
    {
        auto w = openWindow(false);
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QVERIFY(waitForRequest(*w, 0x01));
        const int before = meterState().value(QStringLiteral("indication")).toInt();
        ExchangeEngine *engine = w->engine();
        engine->setSettingsWritePending(true);
        // A wrong access password: the meter refuses the write that follows.
        engine->enqueue({makeFrame(req::Password, bytes({0x39, 0x30})),
                         makeFrame(req::WriteIndication, bytes({(before + 3) & 0x0F})),
                         makeFrame(req::WriteBilling, bytes({0, 1}))});
        QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 1, 10000);
        QCOMPARE(m_messages[0].caption, QStringLiteral("Ошибка"));
        QCOMPARE(m_messages[0].text, ExchangeEngine::WriteFailureText);
        QCOMPARE(w->Shape1->colour(), QColor(255, 0, 0));
        QVERIFY(log(*w).contains(QStringLiteral("Ошибка: Доступ запрещен")));
        // The rest of the sequence is dropped; polling resumes.
        const int sent = engine->sentCount();
        QTRY_VERIFY_WITH_TIMEOUT(engine->sentCount() >= sent + 4, 10000);
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(meterState().value(QStringLiteral("indication")).toInt(), before);
        w->ActionDisconnect->trigger();
    }

    void disconnectInTheMiddleOfAWrite()
    {
        auto w = openWindow(false);
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QVERIFY(waitForRequest(*w, 0x01));
        ExchangeEngine *engine = w->engine();
        engine->setSettingsWritePending(true);
        engine->enqueue({makeFrame(req::Password, bytes({1, 0})),
                         makeFrame(req::WriteIndication, bytes({0x0F})),
                         makeFrame(req::WriteBilling, bytes({0, 1}))});
        QVERIFY(waitForRequest(*w, 0x14));
        w->ActionDisconnect->trigger();
        QVERIFY(!w->channel()->isOpen());
        QVERIFY(engine->queue().isEmpty());
        QTest::qWait(2500); // longer than the indicator and any reply timeout
        QVERIFY(!w->indicatorShown());
        QVERIFY(m_messages.isEmpty());
        QVERIFY(!engine->settingsWritePending());
    }

    void readoutShowsTheMeter()
    {
        auto w = openWindow(false);
        PageSettings *page = w->TabSheet1;
        for (QCheckBox *box : {page->CheckDdmRead, page->CheckNoIndi, page->CheckReadTarif})
            box->setChecked(false);
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        // The DDM stamps close the cycle.
        QTRY_VERIFY_WITH_TIMEOUT(!page->LabelA->text().isEmpty(), 15000);
        QCOMPARE(page->SpinEdit_Number->value(), 100000);
        QVERIFY(!page->SpinEdit_Number->isEnabled());
        QCOMPARE(page->SpinClock->value(), -7);
        QCOMPARE(page->SpinEditA->value(), 0x123456);
        QCOMPARE(page->SpinEditB->value(), 0);
        QCOMPARE(page->SpinEditC->value(), 77);
        QVERIFY(page->LabelB->text().isEmpty());
        QVERIFY(!page->LabelC->text().isEmpty());
        // Earlier cases wrote the indication flags: the meter's memory says which.
        const int flags = meterState().value(QStringLiteral("indication")).toInt();
        QCheckBox *boxes[4] = {page->CheckBox1, page->CheckBox2, page->CheckBox3, page->CheckBox4};
        for (int bit = 0; bit < 4; ++bit)
            QCOMPARE(boxes[bit]->isChecked(), bool(flags & (1 << bit)));
        QCOMPARE(page->SpinDay->value(), 25);
        QCOMPARE(page->SpinHour->value(), 13);
        QVERIFY(page->LabeledOff->text().startsWith(QLatin1String("1:")));
        QVERIFY(!page->LabeledCurTime->text().isEmpty());
        QVERIFY(page->Memo1->toPlainText().contains(QStringLiteral("Фаза B: номер ДДМ не установлен")));
        StringGrid *billing = w->TabSheet3->GridValue_1;
        QCOMPARE(billing->cellText(1, 1), QStringLiteral("1073741,82400"));
        QCOMPARE(billing->cellText(2, 1), QStringLiteral("1,00000"));
        QCOMPARE(billing->cellText(4, 1), QStringLiteral("1073742,82425"));
        QVERIFY(!w->TabSheet3->GridValue->cellText(4, 1).isEmpty());
        QVERIFY(w->ActionSetting->isEnabled());

        // The meter stops answering: writing goes grey and the readout clears.
        m_sim.write("fault noack\n");
        QTRY_VERIFY_WITH_TIMEOUT(!w->ActionSetting->isEnabled(), 10000);
        QVERIFY(!w->ActionFixDb->isEnabled());
        QVERIFY(page->LabeledVersion->text().isEmpty());
        QCOMPARE(page->SpinEdit_Number->value(), 0);
        QVERIFY(page->Memo1->toPlainText().isEmpty());
        // The first reply brings them back.
        m_sim.write("fault off\n");
        QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(page->SpinEdit_Number->value(), 100000, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!page->LabeledVersion->text().isEmpty(), 10000);
        w->ActionDisconnect->trigger();
        QVERIFY(m_messages.isEmpty());
    }

    // Both journals read from the page: the gauges show while their journal's replies
    // come and go with the next poll reply; a read broken off by a disconnect keeps its
    // rows and its gauge until the first reply after connecting again.
    void journalsFromTheWindow()
    {
        auto w = openWindow(false);
        PageJournal *page = w->TabSheet2;
        // Not connected: the view empties and the gauge shows at 0; nothing is queued.
        page->GridJournal->setCellText(3, 2, QStringLiteral("x"));
        page->BitBtn4->click();
        QVERIFY(w->engine()->queue().isEmpty());
        QVERIFY(page->GridJournal->cellText(3, 2).isEmpty());
        QVERIFY(!page->Gauge1->isHidden());
        QCOMPARE(page->Gauge1->value(), 0);

        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(page->Gauge1->isHidden(), 10000);
        QVERIFY(waitForRequest(*w, 0x01));

        const auto queued = [&](int f) {
            for (const QByteArray &frame : w->engine()->queue())
                if (quint8(frame.at(0)) == f)
                    return true;
            return false;
        };
        // Waits for the journal's read to end, checking the gauges on the way.
        const auto readJournal = [&](QPushButton *button, QProgressBar *gauge, QProgressBar *other, int f) {
            button->click();
            QVERIFY(!gauge->isHidden());
            QCOMPARE(gauge->value(), 0);
            bool seen = false;
            QElapsedTimer t;
            t.start();
            while (queued(f) && t.elapsed() < 20000) {
                if (quint8(w->engine()->currentRequest().at(0)) == f && gauge->value() > 0) {
                    seen = true;
                    QVERIFY(!gauge->isHidden());
                    QVERIFY(other->isHidden());
                }
                QTest::qWait(2);
            }
            QVERIFY(seen);
            QTRY_VERIFY_WITH_TIMEOUT(gauge->isHidden(), 5000);
        };

        readJournal(page->BitBtn4, page->Gauge1, page->Gauge2, 0x12);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(page->Gauge1->value(), 12);
        const QDate today = QDate::currentDate();
        for (int m = 0; m < 12; ++m) {
            const int year = m + 1 < today.month() ? today.year() : today.year() - 1;
            QCOMPARE(page->GridJournal->cellText(m + 1, 0),
                     QStringLiteral("%1 %2").arg(year % 100, 2, 10, QLatin1Char('0')).arg(monthAbbreviation(m)));
            for (int c = 1; c < 4; ++c)
                QVERIFY(parseReading(page->GridJournal->cellText(m + 1, c)));
            QVERIFY(page->GridJournal->cellText(m + 1, 4).contains(QLatin1Char(':')));
        }

        readJournal(page->BitBtn3, page->Gauge2, page->Gauge1, 0x13);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(page->ListView1->topLevelItemCount(), 61);
        QCOMPARE(page->Gauge2->value(), 60);
        for (int p = 0; p < 61; ++p) {
            const QTreeWidgetItem *row = page->ListView1->topLevelItem(p);
            QCOMPARE(row->text(0), QString::number(p));
            QCOMPARE(row->text(2), today.addDays(-p).toString(QStringLiteral("dd.MM")) + QStringLiteral(" 00:00"));
        }
        // The annual grid is left as it was.
        QCOMPARE(page->GridJournal->cellText(12, 0).right(4), QStringLiteral("дек."));
        QVERIFY(!page->GridJournal->cellText(12, 1).isEmpty());

        // Both journals exported as the view shows them, then handed to the desktop.
        QTemporaryDir out;
        QString opened;
        setOpenHook([&opened](const QString &path) { opened = path; });
        const int serial = w->TabSheet1->SpinEdit_Number->value();
        QVERIFY(serial > 0);
        for (const bool annual : {true, false}) {
            const QString path = out.filePath(annual ? QStringLiteral("annual.xls") : QStringLiteral("diary.xls"));
            setSaveFileHook([path](const QString &type) { return type == QLatin1String("xls") ? path : QString(); });
            (annual ? page->BtnJournal : page->BtnDiary)->click();
            QCOMPARE(opened, path);
            const QJsonArray sheet = xlsSheet(path);
            QCOMPARE(sheet.size(), annual ? 14 : 63);
            QCOMPARE(sheet[0].toArray()[0].toString(),
                     (annual ? QStringLiteral("Годовой журнал ") : QStringLiteral("Журнал потребления "))
                         + QStringLiteral("Счетчик № %1, ").arg(serial));
            const QJsonArray row = sheet[2].toArray();
            QVERIFY(row[annual ? 0 : 2].isString()); // month, time stamp
            QVERIFY(row[annual ? 1 : 3].isDouble()); // reading
            QCOMPARE(row[annual ? 1 : 3].toDouble(), *parseReading(annual ? page->GridJournal->cellText(1, 1)
                                                                          : page->ListView1->topLevelItem(0)->text(3)));
        }
        // A file that cannot be written: the warning, nothing opened; cancelling: nothing.
        opened.clear();
        setSaveFileHook([&out](const QString &) { return out.path(); });
        page->BtnJournal->click();
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages[0].caption, QStringLiteral("Warning"));
        QCOMPARE(m_messages[0].text, QStringLiteral("Файл не может быть создан в указанной директории, или файл с таким именем сейчас открыт!"));
        setSaveFileHook([](const QString &) { return QString(); });
        page->BtnDiary->click();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY(opened.isEmpty());
        setSaveFileHook({});
        setOpenHook({});
        m_messages.clear();

        page->BitBtn3->click();
        QTRY_VERIFY_WITH_TIMEOUT(page->ListView1->topLevelItemCount() >= 5, 10000);
        w->ActionDisconnect->trigger();
        const int rows = page->ListView1->topLevelItemCount();
        const int position = page->Gauge2->value();
        QVERIFY(rows < 61);
        QVERIFY(!page->Gauge2->isHidden());
        QTest::qWait(300);
        QCOMPARE(page->ListView1->topLevelItemCount(), rows);
        QVERIFY(!page->Gauge2->isHidden());
        QCOMPARE(page->Gauge2->value(), position);
        w->ActionConnect->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(page->Gauge2->isHidden(), 10000);
        QCOMPARE(page->ListView1->topLevelItemCount(), rows);
        w->ActionDisconnect->trigger();
        QVERIFY(m_messages.isEmpty());
    }

    // F12 with every box of the write: the meter's memory holds each value after it,
    // later frames of the same write going to the new address.
    void settingsWriteFromTheWindow()
    {
        auto w = openWindow(true); // service mode: the serial number can be typed
        PageSettings *page = w->TabSheet1;
        int records = 0;
        connect(w.get(), &FormMain::writeRecorded, this, [&records] { ++records; });
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!page->LabeledVersion->text().isEmpty(), 10000);

        page->DatePicker->setDate(QDate(2024, 2, 29));
        page->TimePicker->setTime(QTime(13, 5, 9));
        page->CheckBoxClock->setChecked(true);
        page->CheckTime->setChecked(true);
        page->CheckAddr->setChecked(true);
        page->SpinNewAddr->setValue(200);
        page->CheckDDM->setChecked(true);
        page->SpinEditA->setValue(1193046);
        page->SpinEditB->setValue(2);
        page->SpinEditC->setValue(3);
        page->CheckIndi->setChecked(true);
        page->CheckBox1->setChecked(true);
        page->CheckBox2->setChecked(false);
        page->CheckBox3->setChecked(false);
        page->CheckBox4->setChecked(true);
        page->CheckShedule->setChecked(true);
        page->SpinDay->setValue(25);
        page->SpinHour->setValue(0);
        page->SpinEdit_Number->setEnabled(true);
        page->SpinEdit_Number->setValue(54321);
        page->CheckPassword->setChecked(true);
        page->LabeledPass1->setText(QStringLiteral("4321"));
        QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000); // after the deselect round
        w->ActionSetting->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(w->indicatorShown(), 15000);
        QCOMPARE(w->Shape1->colour(), QColor(0, 255, 0));
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
        QCOMPARE(records, 1);
        QCOMPARE(w->address(), 200);
        // The password reply made the new password the access password.
        QCOMPARE(page->LabeledPass2->text(), QStringLiteral("4321"));
        QJsonObject state;
        QTRY_VERIFY_WITH_TIMEOUT((state = meterState()).value(QStringLiteral("address")).toInt() == 200, 5000);
        QCOMPARE(state.value(QStringLiteral("ddm")).toArray(), (QJsonArray{1193046, 2, 3}));
        QCOMPARE(state.value(QStringLiteral("indication")).toInt(), 0x09);
        QCOMPARE(state.value(QStringLiteral("billingDay")).toInt(), 25);
        QCOMPARE(state.value(QStringLiteral("billingHour")).toInt(), 0);
        QCOMPARE(state.value(QStringLiteral("serial")).toInt(), 54321);
        QCOMPARE(state.value(QStringLiteral("password")).toInt(), 4321);
        QVERIFY(state.value(QStringLiteral("summerTime")).toBool());
        // The readout shows the meter again: its clock runs from the time written.
        QTRY_VERIFY_WITH_TIMEOUT(page->LabeledCurTime->text().startsWith(QStringLiteral("29.02.2024 13:0")), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(page->SpinEdit_Number->value(), 54321, 10000);

        // Back to the address and password the other cases use.
        QTRY_VERIFY_WITH_TIMEOUT(!w->indicatorShown(), 5000);
        for (QCheckBox *box : {page->CheckTime, page->CheckDDM, page->CheckIndi, page->CheckShedule})
            box->setChecked(false);
        page->SpinNewAddr->setValue(MeterAddress);
        page->LabeledPass1->setText(QStringLiteral("1"));
        QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000);
        w->ActionSetting->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(w->indicatorShown(), 15000);
        QCOMPARE(w->Shape1->colour(), QColor(0, 255, 0));
        QCOMPARE(records, 2);
        QTRY_COMPARE_WITH_TIMEOUT(meterState().value(QStringLiteral("address")).toInt(), MeterAddress, 5000);
        QCOMPARE(meterState().value(QStringLiteral("password")).toInt(), 1);
        QCOMPARE(w->address(), MeterAddress);
        w->ActionDisconnect->trigger();
    }

    void wrongPasswordFromTheWindow()
    {
        auto w = openWindow(false);
        PageSettings *page = w->TabSheet1;
        int records = 0;
        connect(w.get(), &FormMain::writeRecorded, this, [&records] { ++records; });
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000);
        const QJsonObject before = meterState();
        page->LabeledPass2->setText(QStringLiteral("9999"));
        page->CheckTime->setChecked(false);
        page->CheckShedule->setChecked(true);
        page->SpinDay->setValue(before.value(QStringLiteral("billingDay")).toInt() % 28 + 1);
        QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000);
        w->ActionSetting->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 1, 10000);
        QCOMPARE(m_messages[0].text, ExchangeEngine::WriteFailureText);
        QCOMPARE(w->Shape1->colour(), QColor(255, 0, 0));
        QTest::qWait(1500);
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(records, 0);
        QCOMPARE(meterState().value(QStringLiteral("billingDay")), before.value(QStringLiteral("billingDay")));
        w->ActionDisconnect->trigger();
    }

    // The meter stops answering in the middle of a write: failure, nothing recorded,
    // and polling goes on once it answers again.
    void meterSilentInTheMiddleOfAWrite()
    {
        auto w = openWindow(false);
        PageSettings *page = w->TabSheet1;
        int records = 0;
        connect(w.get(), &FormMain::writeRecorded, this, [&records] { ++records; });
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000);
        page->CheckTime->setChecked(true);
        page->CheckIndi->setChecked(true);
        w->ActionSetting->trigger();
        QVERIFY(waitForRequest(*w, 0x14));
        m_sim.write("fault noack\n");
        QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 1, 10000);
        QCOMPARE(w->Shape1->colour(), QColor(255, 0, 0));
        QCOMPARE(records, 0);
        m_sim.write("fault off\n");
        const int sent = w->engine()->sentCount();
        QTRY_VERIFY_WITH_TIMEOUT(w->engine()->sentCount() > sent + 3, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!page->LabeledVersion->text().isEmpty(), 10000);
        QCOMPARE(records, 0);
        QCOMPARE(m_messages.size(), 1);
        w->ActionDisconnect->trigger();
    }

    void billingResetFromTheWindow()
    {
        auto w = openWindow(false);
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QVERIFY(waitForRequest(*w, 0x01));
        QTest::mouseClick(w->TabSheet3->BitBtn5, Qt::LeftButton);
        QVERIFY(waitForRequest(*w, 0x24));
        QTRY_VERIFY_WITH_TIMEOUT(!w->engine()->currentRequest().startsWith(char(0x24)), 5000);
        // No pending flag: no indicator, no record, no box.
        QVERIFY(!w->indicatorShown());
        QVERIFY(m_messages.isEmpty());
        const QJsonObject state = meterState();
        QCOMPARE(state.value(QStringLiteral("billingReadings")), state.value(QStringLiteral("readings")));
        w->ActionDisconnect->trigger();
    }

    void addressSearchFindsTheMeter()
    {
        auto w = openWindow(false);
        w->Panel1->SpinTimer->setValue(200);
        QCOMPARE(w->address(), 0);
        QVERIFY(!w->ActionFindAddress->isEnabled());
        w->ActionConnect->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(w->ActionFindAddress->isEnabled(), 5000);
        QVERIFY(log(*w).contains(QStringLiteral("Timeout.")));
        w->ActionFindAddress->trigger();
        QVERIFY(w->engine()->addressSearch());
        QTRY_VERIFY_WITH_TIMEOUT(!w->engine()->addressSearch(), 10000);
        QCOMPARE(w->address(), MeterAddress);
        QVERIFY(!w->ActionFindAddress->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(w->TabSheet1->LabeledVersion->text(), QStringLiteral("1.12"), 10000);
        w->ActionDisconnect->trigger();
        QVERIFY(m_messages.isEmpty());
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_e2e.moc"
