// The real main window, offscreen, talking through a pseudo-terminal to the virtual
// meter executable: the poll cycle after connecting, a write that succeeds, one the
// meter refuses, a disconnect in the middle of a write, both journals read from their
// page, the address search, and the tariff schedule read, changed, written and read
// back (with firmware 1.9 only the zones), one write broken off by the meter.

#include "app/application.h"
#include "app/formmain.h"
#include "app/formscan.h"
#include "cli/schedulecommand.h"
#include "app/pageterminal.h"
#include "ops/preferences.h"
#include "link/exchangeengine.h"
#include "link/frame.h"
#include "link/linkbar.h"
#include "link/portmap.h"
#include "link/serialchannel.h"
#include "meter/pagereadings.h"
#include "meter/pagesettings.h"
#include "meter/settingswrite.h"
#include "schedule/pagejournal.h"
#include "schedule/pageschedule.h"
#include "schedule/tariffschedule.h"
#include "records/formspoilage.h"
#include "records/pagedatabase.h"
#include "tests/testbytes.h"
#include "tests/testdbf.h"
#include "tests/testproduction.h"
#include "tests/testxls.h"
#include "ui/dialogs.h"
#include "ui/editmark.h"
#include "tests/testwindow.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QAction>
#include <algorithm>
#include <QPushButton>
#include <QTableWidget>
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
#include <QComboBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QSpinBox>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTableView>
#include <QToolButton>
#include <QTreeWidget>
#include <QProcess>
#include <QSettings>
#include <QSpinBox>
#include <QSqlQuery>
#include <QTableView>
#include <QToolButton>
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

// The schedule a meter's state file holds, holidays and transfers in slot order.
TariffSchedule scheduleOfState(const QJsonObject &state)
{
    TariffSchedule s;
    s.oneTariff = state.value(QStringLiteral("oneTariff")).toBool();
    const QJsonArray zones = state.value(QStringLiteral("zones")).toArray();
    const QJsonArray masks = state.value(QStringLiteral("dayTypes")).toArray();
    for (int z = 0; z < 6; ++z) {
        const QJsonObject zone = zones.at(z).toObject();
        s.zones[size_t(z)] = TariffZone{zone.value(QStringLiteral("tariff")).toInt(),
                                        QTime(zone.value(QStringLiteral("hour")).toInt(),
                                              zone.value(QStringLiteral("minute")).toInt()),
                                        quint8(masks.at(z).toInt())};
    }
    QMap<int, Holiday> holidays;
    for (const QJsonValue &v : state.value(QStringLiteral("holidays")).toArray())
        holidays[v[QStringLiteral("slot")].toInt()] = Holiday{v[QStringLiteral("month")].toInt(),
                                                              v[QStringLiteral("day")].toInt()};
    QMap<int, Transfer> transfers;
    for (const QJsonValue &v : state.value(QStringLiteral("transfers")).toArray())
        transfers[v[QStringLiteral("slot")].toInt()] =
            Transfer{QDate::fromString(v[QStringLiteral("date")].toString(), Qt::ISODate),
                     v[QStringLiteral("dayType")].toInt()};
    s.holidays = holidays.values();
    s.transfers = transfers.values();
    return s;
}

// The tariff schedule in the virtual meter at start: holidays out of date order with
// empty slots between them, two transfers, masks of every kind.
void addOddSchedule(QJsonObject &state)
{
    QJsonArray zones;
    const int zs[6][3] = {{3, 0, 0}, {1, 7, 15}, {2, 7, 15}, {3, 12, 0}, {1, 19, 45}, {2, 23, 59}};
    for (const auto &z : zs)
        zones.append(QJsonObject{{"tariff", z[0]}, {"hour", z[1]}, {"minute", z[2]}});
    state["zones"] = zones;
    state["dayTypes"] = QJsonArray{0x1F, 0x60, 0x80, 0x7F, 0xFF, 0x01};
    state["oneTariff"] = false;
    state["holidays"] = QJsonArray{QJsonObject{{"slot", 0}, {"day", 9}, {"month", 5}},
                                   QJsonObject{{"slot", 1}, {"day", 1}, {"month", 1}},
                                   QJsonObject{{"slot", 3}, {"day", 29}, {"month", 2}},
                                   QJsonObject{{"slot", 15}, {"day", 31}, {"month", 12}}};
    state["transfers"] = QJsonArray{QJsonObject{{"slot", 2}, {"date", "2091-05-04"}, {"dayType", 1}},
                                    QJsonObject{{"slot", 5}, {"date", "2090-03-08"}, {"dayType", 8}}};
}

bool scheduleReadQueued(const ExchangeEngine *engine)
{
    for (const QByteArray &frame : engine->queue()) {
        const quint8 f = quint8(frame.at(0));
        if (f == 0x08 || f == 0x2E || f == 0x26 || f == 0x28)
            return true;
    }
    return false;
}

int queuedCount(const ExchangeEngine *engine, quint8 function)
{
    int n = 0;
    for (const QByteArray &frame : engine->queue())
        n += quint8(frame.at(0)) == function;
    return n;
}

// The frames a traffic log shows sent from the first access password on, as hex, without
// the poll requests; the clock frame's seconds and its CRC masked.
QStringList writeFrames(const QString &log)
{
    static const QRegularExpression sendLine(QStringLiteral("Send ((?:[0-9A-F]{2} ?)+)$"));
    QStringList out;
    for (const QString &line : log.split(QLatin1Char('\n'))) {
        const auto m = sendLine.match(line.trimmed());
        if (!m.hasMatch())
            continue;
        QStringList hex = m.captured(1).trimmed().split(QLatin1Char(' '));
        const int f = hex.first().toInt(nullptr, 16);
        const bool polled = std::any_of(std::begin(ExchangeEngine::PollTable), std::end(ExchangeEngine::PollTable),
                                        [f](const Head &head) { return head.function == f; });
        if (hex.size() == 1 || (out.isEmpty() && f != fn::Password) || polled) // an address byte, a poll
            continue;
        if (f == fn::WriteClock && hex.size() == 12)
            hex[2] = hex[10] = hex[11] = QStringLiteral("..");
        out << hex.join(QLatin1Char(' '));
    }
    return out;
}

// A register record without what the moment decides: the record's own date and time and
// the clock's minutes.
QJsonObject lastRecordShape(const QString &dbf)
{
    QJsonObject r = dbfRecords(dbf).last().toObject();
    for (const char *key : {"DATE_REC", "TIME_REC", "C_TIME"})
        r.remove(QLatin1String(key));
    return r;
}

// The newest settings record of the production database the preferences name, by column.
QJsonObject lastProductionRecord()
{
    QJsonObject r;
    {
        ProductionDatabase db(readConnectionSettings(preferencesOrganisation(), preferencesApplication()),
                              QStringLiteral("e2e-record"));
        db.open();
        QSqlQuery q = db.exec(QStringLiteral("SELECT * FROM set_zelta_kn ORDER BY operation_id DESC"));
        if (q.next())
            for (int i = 0; i < q.record().count(); ++i)
                r.insert(q.record().fieldName(i).toUpper(), QJsonValue::fromVariant(q.value(i)));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("e2e-record"));
    r.remove(QStringLiteral("OPERATION_ID"));
    return r;
}

// Two records alike; the readings, which grow while the meter runs, within 0.01 kWh.
void compareRecords(const QJsonObject &cli, const QJsonObject &window)
{
    QCOMPARE(cli.keys(), window.keys());
    QVERIFY(window.value(QStringLiteral("T_1_C")).isDouble());
    for (const QString &key : window.keys()) {
        if (key.startsWith(QLatin1String("T_")) && window.value(key).isDouble())
            QVERIFY2(qAbs(cli.value(key).toDouble() - window.value(key).toDouble()) < 0.01, qPrintable(key));
        else
            QCOMPARE(cli.value(key), window.value(key));
    }
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

    // The virtual meter (re)started with the memory `state`.
    bool startMeter(const QJsonObject &state)
    {
        m_sim.terminate();
        m_sim.waitForFinished(5000);
        QFile file(m_state);
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(state).toJson()) <= 0)
            return false;
        file.close();
        m_sim.start();
        return m_sim.waitForStarted(5000) && m_sim.waitForReadyRead(10000)
            && QString::fromUtf8(m_sim.readLine()).trimmed() == QStringLiteral("ready ") + m_link;
    }

    // With `database`, in SQL mode against the demo bench made there (the marker file is the
    // caller's).
    std::unique_ptr<FormMain> openWindow(bool master, const QString &link = QString(),
                                         const QString &database = QString())
    {
        const QString app = QStringLiteral("e2e-%1").arg(++m_case);
        setPreferencesStore(QStringLiteral("KalvimetTest"), app);
        setPortMapStore(QStringLiteral("KalvimetTest"), app);
        QSettings prefs(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                        preferencesApplication());
        prefs.clear(); // what an earlier run left
        prefs.setValue(QStringLiteral("Port"), Port);
        if (master)
            prefs.setValue(QStringLiteral("Master"), 1);
        if (!database.isEmpty())
            makeDemoDatabase(database, prefs);
        prefs.sync();
        mapPort(Port, link.isEmpty() ? m_link : link);
        auto window = std::make_unique<FormMain>();
        window->Panel1->SpinTimer->setValue(500);
        return window;
    }

    static QString log(FormMain &w) { return w.TabSheet4->Memo_Terminal->toPlainText(); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_link = m_dir.filePath(QStringLiteral("meter"));
        m_state = m_dir.filePath(QStringLiteral("meter.json"));
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        // Odd values in the meter's memory, for the readout to show.
        QJsonObject state;
        {
            state[QStringLiteral("address")] = MeterAddress;
            state[QStringLiteral("serial")] = 100000;
            state[QStringLiteral("correction")] = 0x07; // -7
            state[QStringLiteral("ddm")] = QJsonArray{0x123456, 0, 77};
            state[QStringLiteral("indication")] = 0x09;
            state[QStringLiteral("billingDay")] = 25;
            state[QStringLiteral("billingHour")] = 13;
            state[QStringLiteral("billingReadings")] = QJsonArray{double(quint64(1) << 32), 4000, 1};
            state[QStringLiteral("turnOnHalfMinutes")] = 121;
            addOddSchedule(state);
        }
        const QString bin = qEnvironmentVariable("ZK_BIN_DIR", QCoreApplication::applicationDirPath());
        m_sim.setProgram(bin + QStringLiteral("/zelta-kn-sim"));
        m_sim.setArguments({QStringLiteral("--link"), m_link, QStringLiteral("--address"),
                            QString::number(MeterAddress), QStringLiteral("--state"), m_state,
                            QStringLiteral("--turnaround"), QStringLiteral("2")});
        m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QVERIFY(startMeter(state));
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

    // Read the meter's schedule, holidays and transfers; change zones, masks and
    // calendars as the operator does; write; read back.
    void scheduleFromTheWindow()
    {
        auto w = openWindow(false);
        PageSchedule *page = w->TabSchedule;
        ExchangeEngine *engine = w->engine();
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QVERIFY(waitForRequest(*w, 0x01));
        QCOMPARE(engine->firmwareNumber(), 12);
        QVERIFY(!page->GroupCel->isHidden() && !page->StringAttrib->isHidden());

        page->BtnReadSchedule->click();
        // Emptied when queued, not when the replies come.
        QCOMPARE(page->ListCel->topLevelItemCount(), 0);
        QCOMPARE(queuedCount(engine, 0x26), 16);
        QCOMPARE(queuedCount(engine, 0x28), 16);
        QTRY_VERIFY_WITH_TIMEOUT(!scheduleReadQueued(engine), 30000);
        const TariffSchedule held = scheduleOfState(meterState());
        QCOMPARE(held.holidays.size(), 4);
        QCOMPARE(page->schedule(), held);
        QVERIFY(!page->oneTariff() && page->Picker_Zone[0]->isEnabled());
        QCOMPARE(page->tariffText(0), QStringLiteral("3"));
        QCOMPARE(page->ListCel->topLevelItem(0)->text(0), QStringLiteral("май"));

        // The operator's changes: a start time with its push, a tariff, marks, a
        // holiday added, a transfer deleted and one added.
        page->Picker_Zone[3]->setTime(QTime(20, 0)); // pushes zone 4 (19:45) to 20:01
        page->setTariffText(1, QStringLiteral("2"));
        page->StringAttribClick(1, 0);               // zone 0 loses Monday
        page->StringAttribClick(3, 6);               // zone 2 gains Sunday
        page->ComboM->setCurrentIndex(2);
        page->SpinD->setValue(8);
        page->BtnInsCel->click();
        page->ListTransfer->topLevelItem(0)->setSelected(true);
        page->BtnDelTrans->click();
        page->DTPTrans->setDate(QDate(2092, 1, 7));
        page->ComboTrans->setCurrentIndex(6);
        page->BtnInsTrans->click();
        const TariffSchedule wanted = page->schedule();
        QCOMPARE(wanted.zones[4].start, QTime(20, 1));
        QCOMPARE(wanted.zones[0].days, quint8(0x1E));
        QCOMPARE(wanted.zones[2].days, quint8(0xC0));
        QCOMPARE(wanted.holidays.size(), 5);
        QCOMPARE(wanted.transfers, (QList<Transfer>{{QDate(2090, 3, 8), 8}, {QDate(2092, 1, 7), 7}}));

        page->BtnWriteSchedule->click();
        QVERIFY(engine->scheduleWritePending());
        QTRY_VERIFY_WITH_TIMEOUT(!engine->scheduleWritePending(), 30000);
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
        QVERIFY(w->indicatorShown());
        QCOMPARE(w->Shape1->colour(), QColor(0, 255, 0));
        QTRY_COMPARE_WITH_TIMEOUT(scheduleOfState(meterState()), wanted, 5000);

        // The editor overwritten, then read back from the meter.
        page->setSchedule(TariffSchedule());
        page->BtnReadSchedule->click();
        QTRY_VERIFY_WITH_TIMEOUT(!scheduleReadQueued(engine), 30000);
        QCOMPARE(page->schedule(), wanted);
        w->ActionDisconnect->trigger();
        QVERIFY(m_messages.isEmpty());
    }

    // What the frames could not carry, or a failed check, stops the write before
    // anything is queued.
    void scheduleWriteRefusedBeforeSending()
    {
        auto w = openWindow(false);
        PageSchedule *page = w->TabSchedule;
        ExchangeEngine *engine = w->engine();
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QVERIFY(waitForRequest(*w, 0x01));
        page->setOneTariff(false);
        // A tariff text only a preload can bring.
        page->setTariffText(2, QStringLiteral("два"));
        page->BtnWriteSchedule->click();
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages[0].caption, QStringLiteral("Ошибка"));
        QCOMPARE(m_messages[0].text, tariffTextProblem(2, QStringLiteral("два")));
        QVERIFY(!engine->scheduleWritePending());
        QCOMPARE(queuedCount(engine, 0x14) + queuedCount(engine, 0x09), 0);
        // The checks come first.
        page->setStartTime(4, QTime(11, 0));
        page->BtnWriteSchedule->click();
        QCOMPARE(m_messages.size(), 2);
        QCOMPARE(m_messages[1].text, TimesMustNotDecreaseText);
        QCOMPARE(queuedCount(engine, 0x14) + queuedCount(engine, 0x09), 0);
        // In one-tariff mode the zones are not sent, so their tariffs do not matter;
        // the times must still increase.
        page->setOneTariff(true);
        page->BtnWriteSchedule->click();
        QCOMPARE(m_messages.size(), 3);
        QCOMPARE(m_messages[2].text, TimesMustIncreaseText);
        page->setStartTime(4, QTime(17, 30));
        page->BtnWriteSchedule->click();
        QCOMPARE(m_messages.size(), 3);
        QVERIFY(engine->scheduleWritePending());
        QCOMPARE(engine->queue().mid(engine->queue().size() - 2),
                 (QList<QByteArray>{passwordFrame(w->TabSheet1->LabeledPass2->text()), oneTariffFrame()}));
        QTRY_VERIFY_WITH_TIMEOUT(!engine->scheduleWritePending(), 10000);
        QVERIFY(meterState().value(QStringLiteral("oneTariff")).toBool());
        w->ActionDisconnect->trigger();
    }

    // A fault in the middle of the holiday table: red, the failure box, the rest
    // dropped; the next read shows what the meter holds.
    void scheduleWriteBrokenOff()
    {
        auto w = openWindow(false);
        PageSchedule *page = w->TabSchedule;
        ExchangeEngine *engine = w->engine();
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QVERIFY(waitForRequest(*w, 0x01));
        TariffSchedule s;
        s.oneTariff = false;
        s.holidays.clear();
        for (int d = 1; d <= 10; ++d)
            s.holidays << Holiday{8, d};
        s.transfers = {{QDate(2093, 2, 2), 3}};
        page->setSchedule(s);
        const QList<Transfer> before = scheduleOfState(meterState()).transfers;
        QVERIFY(before != s.transfers);

        page->BtnWriteSchedule->click();
        QElapsedTimer t;
        t.start();
        while (engine->currentRequest() != holidayFrame(3, s.holidays.at(3)) && t.elapsed() < 20000)
            QTest::qWait(2);
        QCOMPARE(engine->currentRequest(), holidayFrame(3, s.holidays.at(3)));
        m_sim.write("fault error=4 1\n");
        QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 1, 10000);
        QCOMPARE(m_messages[0].text, ExchangeEngine::WriteFailureText);
        QCOMPARE(w->Shape1->colour(), QColor(255, 0, 0));
        QVERIFY(!engine->scheduleWritePending());
        QCOMPARE(queuedCount(engine, 0x27) + queuedCount(engine, 0x29), 0);

        page->BtnReadSchedule->click();
        QTRY_VERIFY_WITH_TIMEOUT(!scheduleReadQueued(engine), 30000);
        const TariffSchedule held = scheduleOfState(meterState());
        QCOMPARE(page->schedule(), held);
        QVERIFY2(held.holidays.size() >= 3 && held.holidays.size() < 10,
                 qPrintable(QString::number(held.holidays.size())));
        QCOMPARE(held.holidays, s.holidays.mid(0, held.holidays.size()));
        QCOMPARE(held.transfers, before);
        QCOMPARE(m_messages.size(), 1);
        w->ActionDisconnect->trigger();
    }

    // Firmware 1.9: the calendars are hidden, the read is 08 02 alone and the write
    // carries the zones only.
    void scheduleWithFirmware19()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("old"));
        const QString stateFile = dir.filePath(QStringLiteral("old.json"));
        {
            QJsonObject state;
            state[QStringLiteral("address")] = MeterAddress;
            addOddSchedule(state);
            QFile file(stateFile);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QJsonDocument(state).toJson());
        }
        QProcess sim;
        sim.setProgram(qEnvironmentVariable("ZK_BIN_DIR", QCoreApplication::applicationDirPath())
                       + QStringLiteral("/zelta-kn-sim"));
        sim.setArguments({QStringLiteral("--link"), link, QStringLiteral("--state"), stateFile,
                          QStringLiteral("--firmware"), QStringLiteral("1.9"), QStringLiteral("--turnaround"),
                          QStringLiteral("2")});
        sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim.start();
        QVERIFY(sim.waitForStarted(5000) && sim.waitForReadyRead(10000));
        const auto readState = [&] {
            QFile file(stateFile);
            return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
        };
        const QJsonObject start = readState();

        {
            auto w = openWindow(false, link);
            PageSchedule *page = w->TabSchedule;
            ExchangeEngine *engine = w->engine();
            w->setAddress(MeterAddress);
            w->ActionConnect->trigger();
            QVERIFY(waitForRequest(*w, 0x01));
            QCOMPARE(engine->firmwareNumber(), 9);
            QVERIFY(page->GroupCel->isHidden() && page->GroupTransfer->isHidden() && page->StringAttrib->isHidden());
            QVERIFY(page->BtnTemplet->isHidden());

            page->BtnReadSchedule->click();
            QCOMPARE(queuedCount(engine, 0x08), 1);
            QCOMPARE(queuedCount(engine, 0x2E) + queuedCount(engine, 0x26) + queuedCount(engine, 0x28), 0);
            // The lists are left alone.
            QCOMPARE(page->holidays(), TariffSchedule::defaultHolidays());
            QTRY_VERIFY_WITH_TIMEOUT(!scheduleReadQueued(engine), 10000);
            const TariffSchedule held = scheduleOfState(start);
            for (int z = 0; z < 6; ++z) {
                QCOMPARE(page->startTime(z), held.zones[size_t(z)].start);
                QCOMPARE(page->tariffText(z), QString::number(held.zones[size_t(z)].tariff));
            }
            QVERIFY(!page->oneTariff());

            // All marks gone: firmware 9 writes anyway, and only the zones.
            page->clearDayMasks();
            page->Picker_Zone[1]->setTime(QTime(6, 0));
            page->setTariffText(5, QStringLiteral("1"));
            page->BtnWriteSchedule->click();
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
            QCOMPARE(engine->queue().last().left(2), QByteArray("\x09\x14", 2));
            QCOMPARE(queuedCount(engine, 0x2F) + queuedCount(engine, 0x27) + queuedCount(engine, 0x29), 0);
            QTRY_VERIFY_WITH_TIMEOUT(!engine->scheduleWritePending(), 10000);
            QVERIFY(m_messages.isEmpty());
            QCOMPARE(w->Shape1->colour(), QColor(0, 255, 0));
            w->ActionDisconnect->trigger();
        }
        sim.write("quit\n");
        QVERIFY(sim.waitForFinished(5000));
        const QJsonObject end = readState();
        const TariffSchedule after = scheduleOfState(end);
        QCOMPARE(after.zones[1].start, QTime(6, 0));
        QCOMPARE(after.zones[5].tariff, 1);
        QCOMPARE(end.value(QStringLiteral("dayTypes")), start.value(QStringLiteral("dayTypes")));
        QCOMPARE(end.value(QStringLiteral("holidays")), start.value(QStringLiteral("holidays")));
        QCOMPARE(end.value(QStringLiteral("transfers")), start.value(QStringLiteral("transfers")));
    }

    // A completed write lands in Setting.DBF in the working directory, read back by
    // dbfread; a refused one adds nothing; "+" proposes the next number; the browse
    // page shows the record; a new window restores the indication of the latest one.
    void registerFromTheWindow()
    {
        QTemporaryDir work;
        QVERIFY(QDir::setCurrent(work.path()));
        const QString dbf = work.filePath(QStringLiteral("Setting.DBF"));
        {
            auto w = openWindow(true);
            PageSettings *page = w->TabSheet1;
            w->setAddress(MeterAddress);
            w->ActionConnect->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(!w->TabSheet3->GridValue_1->cellText(1, 1).isEmpty(), 10000);
            page->CheckTime->setChecked(true);
            page->CheckIndi->setChecked(true);
            page->CheckBox1->setChecked(true);
            page->CheckBox2->setChecked(false);
            page->CheckBox3->setChecked(true);
            page->CheckBox4->setChecked(false);
            page->DatePicker->setDate(QDate(2025, 3, 4));
            const int serial = page->SpinEdit_Number->value();
            w->ActionSetting->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(w->indicatorShown(), 15000);
            QCOMPARE(w->Shape1->colour(), QColor(0, 255, 0));
            QJsonArray records = dbfRecords(dbf);
            QCOMPARE(records.size(), 1);
            const QJsonObject r = records[0].toObject();
            QCOMPARE(r.value("C_NUMBER").toInt(), serial);
            QCOMPARE(r.value("VERSION").toString(), QStringLiteral("1.12"));
            QCOMPARE(r.value("INDICATOR").toInt(), 0x05);
            QCOMPARE(r.value("C_DATE").toString(), QStringLiteral("2025-03-04"));
            QVERIFY(r.value("ADDRESS").isNull());
            QVERIFY(r.value("DDM_A").isNull());
            QVERIFY(r.value("PASS").isNull());
            QVERIFY(r.value("T_1_1").toDouble() > 0);
            QCOMPARE(r.value("REPORT").toBool(), false);
            QCOMPARE(r.value("DATE_REC").toString(), QDate::currentDate().toString(Qt::ISODate));

            // A refused write is not recorded.
            QTRY_VERIFY_WITH_TIMEOUT(!w->indicatorShown(), 5000);
            page->LabeledPass2->setText(QStringLiteral("9999"));
            QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000);
            w->ActionSetting->trigger();
            QTRY_COMPARE_WITH_TIMEOUT(m_messages.size(), 1, 10000);
            QCOMPARE(dbfRecords(dbf).size(), 1);
            page->LabeledPass2->setText(QStringLiteral("1"));

            // "+" once the meter's number no longer locks the box.
            w->ActionDisconnect->trigger();
            page->BitBtn1->click();
            QCOMPARE(page->SpinEdit_Number->value(), serial + 1);
            QVERIFY(isEdited(page->SpinEdit_Number));

            w->ActionOpen->trigger();
            QCOMPARE(w->TabSheet5->statusText(), QStringLiteral(" Записей: 1"));
            QCOMPARE(w->TabSheet5->DBGrid1->model()->rowCount(), 1);
            QVERIFY(!w->ActionOpen->isEnabled() && w->ActionClose->isEnabled());
            w->TabSheet5->SpinFilter->setValue(serial + 1); // any filter change closes the view
            QVERIFY(w->ActionOpen->isEnabled() && !w->ActionClose->isEnabled());
            QVERIFY(w->TabSheet5->statusText().isEmpty());
            w->ActionOpen->trigger();
            QCOMPARE(w->TabSheet5->statusText(), QStringLiteral(" Записей: 0"));
            w->close();
        }
        auto again = openWindow(false);
        PageSettings *page = again->TabSheet1;
        QVERIFY(page->CheckBox1->isChecked() && !page->CheckBox2->isChecked());
        QVERIFY(page->CheckBox3->isChecked() && !page->CheckBox4->isChecked());
        m_messages.clear();
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }

    // SQL mode against the production database with this machine's demo bench (the
    // PostgreSQL server of the test run, SQLite without one):
    // identified, a write recorded as an operation with its settings record, the fix
    // command, a defect registered, and the next write refused for the open repair.
    void productionFromTheWindow()
    {
        QTemporaryDir work;
        QVERIFY(QDir::setCurrent(work.path()));
        QFile marker(work.filePath(QStringLiteral("SettingSql.kvm")));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.close();
        const QString app = QStringLiteral("e2e-%1").arg(++m_case);
        setPreferencesStore(QStringLiteral("KalvimetTest"), app);
        setPortMapStore(QStringLiteral("KalvimetTest"), app);
        const QString dbPath = work.filePath(QStringLiteral("production.sqlite"));
        {
            QSettings prefs(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                            preferencesApplication());
            prefs.setValue(QStringLiteral("Port"), Port);
            const QString driver = makeDemoDatabase(dbPath, prefs);
            if (qEnvironmentVariableIsSet("CI"))
                QCOMPARE(driver, QStringLiteral("QPSQL")); // the test run's server is there
        }
        mapPort(Port, m_link);
        int records = 0;
        {
            FormMain w;
            FormSpoilage spoilageWindow(&w);
            w.setSpoilageWindow(&spoilageWindow);
            QVERIFY(w.sqlMode() && w.masterMode());
            connect(&w, &FormMain::writeRecorded, this, [&records] { ++records; });
            w.Panel1->SpinTimer->setValue(500);
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            w.activateWindow();
            QTest::qWait(100);
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
            PageSettings *page = w.TabSheet1;
            w.setAddress(MeterAddress);
            w.ActionConnect->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(w.ActionSetting->isEnabled(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(!page->LabeledVersion->text().isEmpty(), 10000);
            page->CheckAddr->setChecked(false); // the meter keeps its address
            page->SpinEdit_Number->setEnabled(true);
            page->SpinEdit_Number->setValue(1001); // a registered meter of the demo bench
            w.ActionSetting->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(w.indicatorShown(), 15000);
            QCOMPARE(w.Shape1->colour(), QColor(0, 255, 0));
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
            QCOMPARE(records, 1);
            QTRY_VERIFY_WITH_TIMEOUT(!w.indicatorShown(), 5000);

            // The fix command records the readings alone.
            QTRY_COMPARE_WITH_TIMEOUT(page->SpinEdit_Number->value(), 1001, 10000);
            w.ActionFixDb->trigger();
            QCOMPARE(records, 2);
            QVERIFY(w.indicatorShown());

            // A defect: the window is modal, so it is answered from the event loop.
            QTimer::singleShot(200, this, [] {
                auto *spoilage = qobject_cast<FormSpoilage *>(QApplication::activeModalWidget());
                if (!spoilage)
                    return;
                spoilage->LabeledEdit2->setText(QStringLiteral(" 17 "));
                spoilage->BitBtn1->click();
                spoilage->reject();
            });
            w.ActionSpoilage->trigger();
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
            QCOMPARE(spoilageWindow.LabeledEdit1->text(), QStringLiteral("1001"));
            // The code box takes no more than the column holds.
            QCOMPARE(spoilageWindow.LabeledEdit2->maxLength(), 64);
            spoilageWindow.LabeledEdit2->setText(QString(70, QLatin1Char('9')));
            QCOMPARE(spoilageWindow.LabeledEdit2->text().size(), 64);

            // Under repair now: the next write is refused before anything is sent, as the
            // command line refuses it.
            QTRY_VERIFY_WITH_TIMEOUT(!w.indicatorShown(), 5000);
            QTRY_COMPARE_WITH_TIMEOUT(page->SpinEdit_Number->value(), 1001, 10000);
            QVERIFY(w.ActionSetting->isEnabled());
            w.ActionSetting->trigger();
            QVERIFY(!w.engine()->settingsWritePending());
            QCOMPARE(m_messages.size(), 1);
            QCOMPARE(m_messages[0].text, QStringLiteral("Прибор в ремонте."));
            QCOMPARE(m_messages[0].caption, QStringLiteral("Ошибка записи в БД"));
            QCOMPARE(records, 2);
            w.ActionDisconnect->trigger();
        }
        {
            ProductionDatabase db(readConnectionSettings(preferencesOrganisation(), preferencesApplication()),
                                  QStringLiteral("e2e-check"));
            db.open();
            auto one = [&db](const QString &sql) {
                QSqlQuery q = db.exec(sql);
                return q.next() ? q.value(0).toInt() : -1;
            };
            QCOMPARE(one(QStringLiteral("SELECT COUNT(*) FROM set_zelta_kn")), 2);
            QCOMPARE(one(QStringLiteral("SELECT COUNT(*) FROM spoilage WHERE code = '17'")), 1);
            // The defect marked the newest operation of the day unsuccessful.
            QCOMPARE(one(QStringLiteral("SELECT success FROM operation WHERE operation_id = "
                                        "(SELECT MAX(operation_id) FROM operation)")), 0);
            QCOMPARE(one(QStringLiteral("SELECT COUNT(*) FROM set_zelta_kn WHERE correct IS NOT NULL")), 1);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("e2e-check"));
        m_messages.clear();
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }

    // One operation from the window and from the command line against the same meter, each
    // started from the same memory (and in SQL mode the same new demo bench): the same
    // frames reach it (from the access password on, poll requests and address bytes left
    // out, the clock's seconds ignored) and the same record is made, readings included.
    void windowAndCommandLineAgree_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("cli");
        QTest::addColumn<int>("serial"); // the meter's
        QTest::addColumn<bool>("sql");
        QTest::newRow("settings") << "settings"
                                  << QStringList{"write", "--time", "now", "--summer", "on", "--indication", "9",
                                                 "--billing", "25,0", "--ddm", "1193046,2,3", "--new-address", "3",
                                                 "--no-verify"}
                                  << 100000 << false;
        QTest::newRow("billing reset") << "reset" << QStringList{"reset-billing"} << 100000 << false;
        QTest::newRow("schedule") << "schedule" << QStringList{"schedule", "write", "schedule.json", "--no-verify"}
                                  << 100000 << false;
        QTest::newRow("sql: the correction by default") << "indication"
                                                        << QStringList{"write", "--indication", "9", "--no-verify"}
                                                        << 1001 << true;
        QTest::newRow("sql: a serial number and its address") << "serial"
                                                              << QStringList{"write", "--serial", "1001", "--no-verify"}
                                                              << 0 << true;
    }
    void windowAndCommandLineAgree()
    {
        QFETCH(QString, operation);
        QFETCH(QStringList, cli);
        QFETCH(int, serial);
        QFETCH(bool, sql);
        QTemporaryDir work;
        QVERIFY(QDir::setCurrent(work.path()));
        const QJsonObject before = meterState();
        auto restore = qScopeGuard([&] { startMeter(before); }); // for the cases that follow
        QJsonObject state = before;
        state[QStringLiteral("serial")] = serial;
        TariffSchedule schedule;
        schedule.oneTariff = false;
        schedule.zones[2].days = 0x1F;
        schedule.holidays = {{5, 9}, {1, 1}};
        schedule.transfers = {{QDate(2095, 11, 4), 7}, {QDate(2001, 5, 4), 1}};
        QFile file(work.filePath(QStringLiteral("schedule.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(cli::scheduleJson(schedule, 12)).toJson());
        file.close();
        QFile marker(work.filePath(QStringLiteral("SettingSql.kvm")));
        QVERIFY(!sql || marker.open(QIODevice::WriteOnly));
        marker.close();
        const QString database = sql ? work.filePath(QStringLiteral("production.sqlite")) : QString();
        // Both runs within one minute of the PC clock.
        if (QTime::currentTime().second() > 30)
            QTest::qWait((61 - QTime::currentTime().second()) * 1000);

        QVERIFY(startMeter(state));
        auto w = openWindow(true, QString(), database); // the log with every frame
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->activateWindow(); // in SQL mode the bench identified
        w->TabSheet4->CheckBox_Terminal->setChecked(true);
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QVERIFY(waitForRequest(*w, 0x2A)); // a whole poll cycle shown, as the command line reads one
        QVERIFY(waitForRequest(*w, 0x01));
        PageSettings *page = w->TabSheet1;
        const QString dbf = work.filePath(QStringLiteral("Setting.DBF"));
        page->CheckTime->setChecked(operation == QLatin1String("settings")); // the others name no clock
        if (operation == QLatin1String("settings")) {
            page->CheckBoxClock->setChecked(true);
            page->CheckIndi->setChecked(true);
            for (QCheckBox *box : {page->CheckBox1, page->CheckBox2, page->CheckBox3, page->CheckBox4})
                box->setChecked(box == page->CheckBox1 || box == page->CheckBox4);
            page->CheckShedule->setChecked(true);
            page->SpinDay->setValue(25);
            page->SpinHour->setValue(0);
            page->CheckDDM->setChecked(true);
            page->SpinEditA->setValue(1193046);
            page->SpinEditB->setValue(2);
            page->SpinEditC->setValue(3);
            page->CheckAddr->setChecked(true);
            page->SpinNewAddr->setValue(MeterAddress);
        } else if (operation == QLatin1String("indication")) {
            page->CheckAddr->setChecked(false); // the address the number read proposes is the window's alone
            page->CheckIndi->setChecked(true);
            for (QCheckBox *box : {page->CheckBox1, page->CheckBox2, page->CheckBox3, page->CheckBox4})
                box->setChecked(box == page->CheckBox1 || box == page->CheckBox4);
        } else if (operation == QLatin1String("serial")) {
            page->SpinEdit_Number->setValue(1001); // with the defaults: the correction and the address
        }
        if (operation == QLatin1String("reset")) {
            QTest::mouseClick(w->TabSheet3->BitBtn5, Qt::LeftButton);
        } else if (operation == QLatin1String("schedule")) {
            w->TabSchedule->setSchedule(schedule);
            w->TabSchedule->BtnWriteSchedule->click();
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000);
            w->ActionSetting->trigger();
        }
        QTRY_VERIFY_WITH_TIMEOUT(w->engine()->queue().size() <= 1 && !w->engine()->settingsWritePending()
                                     && !w->engine()->scheduleWritePending(),
                                 30000);
        QVERIFY(waitForRequest(*w, 0x04)); // the poll goes on: the operation is over
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.value(0).text));
        const QStringList fromWindow = writeFrames(log(*w));
        w->ActionDisconnect->trigger();
        w.reset();
        const auto lastRecord = [&] { return sql ? lastProductionRecord() : lastRecordShape(dbf); };
        const QJsonObject windowRecord = operation == QLatin1String("reset") ? QJsonObject() : lastRecord();

        QVERIFY(startMeter(state));
        QSettings prefs(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(), preferencesApplication());
        if (sql) { // anew: the number written is free again
            QFile::remove(database);
            makeDemoDatabase(database, prefs);
        }
        const QString config = work.filePath(QStringLiteral("config"));
        QVERIFY(QDir().mkpath(config + QStringLiteral("/Kalvimet")));
        QVERIFY(QFile::copy(preferencesFile(), config + QStringLiteral("/Kalvimet/Zelta-KN.conf")));
        QProcess p;
        p.setWorkingDirectory(work.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config); // the window's preferences
        p.setProcessEnvironment(env);
        p.start(qEnvironmentVariable("ZK_BIN_DIR", QCoreApplication::applicationDirPath()) + QStringLiteral("/zelta-kn-cli"),
                QStringList{"--port", m_link, "--address", QString::number(MeterAddress), "--timeout", "500", "--trace"}
                    + cli);
        QVERIFY(p.waitForFinished(60000));
        const QString trace = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(p.exitCode() == 0, qPrintable(trace));
        const QStringList fromCli = writeFrames(trace);
        QVERIFY(fromWindow.size() >= 2);
        QCOMPARE(fromCli, fromWindow);
        if (!windowRecord.isEmpty())
            compareRecords(lastRecord(), windowRecord);
    }

    // "Проверять запись": the verdict shows after the meter has been read back; a value
    // acknowledged and not kept is red with its values named.
    void readBackFromTheWindow()
    {
        auto w = openWindow(false);
        QVERIFY(!w->NVerify->isChecked()); // off by default
        w->NVerify->setChecked(true);
        QVERIFY(verifyPreference());
        PageSettings *page = w->TabSheet1;
        w->setAddress(MeterAddress);
        w->ActionConnect->trigger();
        QVERIFY(waitForRequest(*w, 0x01));
        page->CheckTime->setChecked(false);
        page->CheckIndi->setChecked(true);
        for (const bool kept : {false, true}) {
            const int flags = (meterState().value(QStringLiteral("indication")).toInt() + 3) & 0x0F;
            for (int bit = 0; bit < 4; ++bit)
                (bit == 0 ? page->CheckBox1 : bit == 1 ? page->CheckBox2 : bit == 2 ? page->CheckBox3 : page->CheckBox4)
                    ->setChecked(flags & (1 << bit));
            if (!kept) {
                m_sim.write("fault forget 1 on=0x0E\n");
                QVERIFY(m_sim.waitForBytesWritten(5000));
            }
            QTRY_VERIFY_WITH_TIMEOUT(w->ActionSetting->isEnabled(), 10000);
            w->ActionSetting->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(!w->engine()->settingsWritePending(), 10000);
            QVERIFY(!w->indicatorShown()); // not before the read-back
            QTRY_VERIFY_WITH_TIMEOUT(w->indicatorShown(), 15000);
            QCOMPARE(w->Shape1->colour(), kept ? QColor(0, 255, 0) : QColor(255, 0, 0));
            QCOMPARE(m_messages.size(), 1 - int(kept));
            if (!kept)
                QVERIFY2(m_messages[0].text.contains(QStringLiteral("индикация: записано %1").arg(flags)),
                         qPrintable(m_messages[0].text));
            m_messages.clear();
            QTRY_VERIFY_WITH_TIMEOUT(!w->indicatorShown(), 5000);
        }

        // A schedule write is read back too; the page keeps what was written.
        PageSchedule *schedule = w->TabSchedule;
        schedule->BtnReadSchedule->click();
        QTRY_VERIFY_WITH_TIMEOUT(!scheduleReadQueued(w->engine()), 30000);
        for (const bool kept : {false, true}) {
            const int tariff = schedule->tariffText(0).toInt() % 3 + 1;
            schedule->setTariffText(0, QString::number(tariff));
            const TariffSchedule wanted = schedule->schedule();
            if (!kept) {
                m_sim.write("fault forget 1 on=0x09\n");
                QVERIFY(m_sim.waitForBytesWritten(5000));
            }
            schedule->BtnWriteSchedule->click();
            QTRY_VERIFY_WITH_TIMEOUT(!w->engine()->scheduleWritePending(), 30000);
            QVERIFY(!w->indicatorShown());
            QTRY_VERIFY_WITH_TIMEOUT(w->indicatorShown(), 30000);
            QCOMPARE(w->Shape1->colour(), kept ? QColor(0, 255, 0) : QColor(255, 0, 0));
            QCOMPARE(m_messages.size(), 1 - int(kept));
            if (!kept)
                QVERIFY2(m_messages[0].text.contains(QStringLiteral("зона 0: записано тариф %1").arg(tariff)),
                         qPrintable(m_messages[0].text));
            QCOMPARE(schedule->schedule(), wanted);
            m_messages.clear();
            QTRY_VERIFY_WITH_TIMEOUT(!w->indicatorShown(), 5000);
        }
        w->NVerify->setChecked(false);
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

    // "Обзор линии" while disconnected: the meter is listed with its serial number and
    // version, nothing reaches the log, and "Выбрать адрес" takes its address over.
    void lineSurveyFromTheWindow()
    {
        auto w = openWindow(false);
        w->Panel1->SpinTimer->setValue(200);
        QVERIFY(w->ActionLineScan->isEnabled());
        QStringList rows;
        bool stopped = false;
        QTimer::singleShot(0, this, [&] {
            auto *form = qobject_cast<FormScan *>(QApplication::activeModalWidget());
            QVERIFY(form);
            QTRY_VERIFY_WITH_TIMEOUT(!form->BtnStop->isEnabled(), 30000);
            stopped = true;
            for (int r = 0; r < form->Table->rowCount(); ++r)
                rows << form->Table->item(r, 0)->text() + QLatin1Char(' ') + form->Table->item(r, 1)->text()
                            + QLatin1Char(' ') + form->Table->item(r, 2)->text();
            form->Table->selectRow(0);
            form->BtnChoose->click();
        });
        w->ActionLineScan->trigger();
        QVERIFY(stopped);
        QCOMPARE(rows, QStringList{QStringLiteral("%1 %2 1.12")
                                       .arg(MeterAddress)
                                       .arg(meterState().value(QStringLiteral("serial")).toInt())});
        QCOMPARE(w->address(), MeterAddress);
        QVERIFY(log(*w).isEmpty());
        w->ActionConnect->trigger();
        QVERIFY(!w->ActionLineScan->isEnabled());
        w->ActionDisconnect->trigger();
        QVERIFY(w->ActionLineScan->isEnabled());
        QVERIFY(m_messages.isEmpty());
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_e2e.moc"
