#include "app/formmain.h"
#include "app/formscan.h"

#include "app/icons/icons.h"
#include "app/pageterminal.h"
#include "link/linkbar.h"
#include "link/portmap.h"
#include "link/serialchannel.h"
#include "meter/clockcorrection.h"
#include "meter/pagereadings.h"
#include "meter/pagesettings.h"
#include "ops/rules.h"
#include "ops/settingsoperation.h"
#include "records/pagedatabase.h"
#include "schedule/pagejournal.h"
#include "schedule/pageschedule.h"
#include "schedule/journalexport.h"
#include "ui/dialogs.h"
#include "ui/editmark.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>

namespace zk {

const QString FormMain::Title = QStringLiteral("Установка ЗЕЛТА-КН");

namespace {

constexpr SerialChannel::Baudrate BaudForIndex[4] = {SerialChannel::br1200, SerialChannel::br2400,
                                                     SerialChannel::br4800, SerialChannel::br9600};

} // namespace

// ---- construction --------------------------------------------------------------

FormMain::FormMain(QWidget *parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                              | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(Title);
    setWindowIcon(programIcon());
    // A small dialog font, as the window was laid out for.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);

    // The serial channel and the engine exist before anything can fail, so the
    // window always has them, whatever start-up manages to do.
    Comm1 = new SerialChannel(this);
    Comm1->setObjectName(QStringLiteral("Comm1"));
    m_engine = new ExchangeEngine(Comm1, this, this);

    buildActions();
    buildMenus();
    buildToolBar();
    buildPages();
    buildStatusBar();
    wire();
    registerHandlers();
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &FormMain::focusWindowChanged);

    FormCreate();
    fitWindow();
}

FormMain::~FormMain()
{
    // The engine refers to this window as its host: stop it first.
    m_engine->stopAfterDisconnect();
    delete m_engine;
    m_engine = nullptr;
}

void FormMain::wire()
{
    connect(Comm1, &SerialChannel::rxChar, m_engine, &ExchangeEngine::onRxChar);
    connect(Comm1, &SerialChannel::txEmpty, m_engine, &ExchangeEngine::onTxEmpty);
    connect(Comm1, &SerialChannel::breakReceived, m_engine, &ExchangeEngine::onBreak);

    connect(Panel1->SpinTimer, &QSpinBox::valueChanged, m_engine, &ExchangeEngine::setReplyTimeout);
    markOnChange(Panel1->SpinAddr);
    connect(Panel1, &LinkBar::portNumberChosen, this, [this](int n) { Comm1->setPortNum(n); });
    connect(Panel1, &LinkBar::baudIndexChosen, this, &FormMain::setBaudIndex);
    connect(Panel1, &LinkBar::portTextRejected, this, [](const QString &text) { reportError(text); });

    // Timer3 fires just after each whole second of the PC clock, so the pickers show a
    // new second at once and the program wakes once a second for them.
    Timer3 = new QTimer(this);
    Timer3->setObjectName(QStringLiteral("Timer3"));
    Timer3->setSingleShot(true);
    Timer3->setTimerType(Qt::PreciseTimer);
    connect(Timer3, &QTimer::timeout, this, &FormMain::Timer3Timer);
    Timer3->start(nextSecondMs(QTime::currentTime()));
}

int FormMain::nextSecondMs(const QTime &now)
{
    return 1000 - now.msec() + 2;
}

// ---- start-up and shut-down ------------------------------------------------------

void FormMain::FormCreate()
{
    try {
        // 1
        m_meterTypeId = ProductionMeterTypeId;
        // 2
        TabSheet3->setFixedCaptions();
        TabSheet2->setFixedCaptions();
        TabSchedule->setFixedCaptions();
        TabSheet1->LabelA->clear();
        TabSheet1->LabelB->clear();
        TabSheet1->LabelC->clear();
        // 3, 4
        m_modes = Modes{};
        // 5: the preferences key (created when missing).
        const StartPreferences prefs = readStartPreferences();
        // A database password in a file others can read: said at start, as PostgreSQL's
        // client says it of a password file.
        if (const QString warning = preferencesExposureWarning(); !warning.isEmpty())
            showMessage(this, QMessageBox::Warning, QStringLiteral("Настройки"), warning);
        int savedPort = 1;
        bool master = false, noUser = false, sqlValue = false;
        if (prefs.opened) {
            savedPort = prefs.port;
            master = prefs.master;
            noUser = prefs.noUser;
            sqlValue = prefs.sql;
            QSpinBox *ddm[3] = {TabSheet1->SpinEditA, TabSheet1->SpinEditB, TabSheet1->SpinEditC};
            for (int i = 0; i < 3; ++i)
                if (prefs.ddm[size_t(i)])
                    ddm[i]->setValue(*prefs.ddm[size_t(i)]);
            // The password boxes are never masked, so "Password" changes nothing.
        }
        // 6
        m_modes = deriveModes(master, noUser, sqlValue, sqlMarkerExists());
        // The window takes over keys only in SQL mode; otherwise no event of the
        // program need pass through its filter.
        if (sqlMode())
            qApp->installEventFilter(this);
        else
            qApp->removeEventFilter(this);
        // 7
        applyModeEffects();
        // 8
        QThread::msleep(50);
        buildPortList(savedPort);
        // 9: the engine, with an empty queue, exists since construction.
        // 10
        TabSchedule->setupTariffPickLists();
        // 11
        setBaudIndex(LinkBar::StartBaudIndex);
        // 12
        TabSheet5->DTP1->setDateTime(QDateTime::currentDateTime());
        TabSheet5->DTP2->setDateTime(QDateTime::currentDateTime());
        // 13
        loadLastSettings();
        {
            const QSignalBlocker keep(NVerify); // read, not written back
            NVerify->setChecked(verifyPreference());
        }
        // 14
        TabSheet1->copyPasswordMasking();
        // 15
        m_engine->setReplyTimeout(Panel1->SpinTimer->value());
        // 16
        PageControl1->setCurrentIndex(0);
        // 17
        Panel1->setTint(panelTint(QApplication::palette().color(QPalette::Button)));
        // 18
        TabSheet2->BtnJournal->setEnabled(true);
        TabSheet2->BtnDiary->setEnabled(true);
        // 19
        TabSchedule->applyEnablingRule();
        // 20
        fillDefaultHolidays();
    } catch (const std::exception &e) {
        reportError(e);
    }
}

void FormMain::applyModeEffects()
{
    const bool master = masterMode();
    const bool sql = sqlMode();
    m_engine->setMasterMode(master);
    m_engine->setSqlMode(sql);

    // master mode
    PageControl1->setTabText(PageControl1->indexOf(TabSheet4),
                             master ? QStringLiteral("Терминал") : QStringLiteral("Протокол"));
    QSpinBox *number = TabSheet1->SpinEdit_Number;
    number->setReadOnly(!serialEditableInMode(m_modes));
    {
        QPalette p = TabSheet1->GroupBox1->palette();
        if (!master)
            p.setColor(QPalette::Base, p.color(QPalette::Window));
        number->setPalette(p);
    }
    TabSheet1->BitBtn1->setVisible(serialEditableInMode(m_modes));
    TabSheet1->setAddressProposal([this](int serial) { return proposedAddress(m_modes, serial); });
    TabSheet4->CheckBox_Terminal->setChecked(!master);

    // password editing
    TabSheet1->LabeledPass1->setReadOnly(!newPasswordEditable(m_modes));

    // SQL mode
    TabSheet1->LabeledDelta->setVisible(sql);
    PageControl1->setTabVisible(PageControl1->indexOf(TabSheet5), !sql);
    ActionOpen->setEnabled(!sql);
    PageControl1->setTabVisible(PageControl1->indexOf(TabSchedule), !sql);
    TabSheet1->CheckAddr->setChecked(sql);
    TabSheet1->CheckTime->setChecked(true);
    TabSheet1->GroupTimerCorrect->setVisible(sql);
    TabSheet1->CheckCorrect->setVisible(sql);
    TabSheet1->CheckCorrect->setChecked(correctionByDefault(m_modes));
    TabSheet1->CheckResetTariff->setVisible(sql);
    m_fixDbButton->setVisible(sql);
    NFixDb->setVisible(sql);
    m_spoilageButton->setVisible(sql);
    N16->setVisible(sql);
}

bool FormMain::probePort(int portNum)
{
    bool ok = false;
    try {
        Comm1->setPortNum(portNum);
        Comm1->open();
        ok = Comm1->writeByte(0x00);
    } catch (const SerialChannelError &) {
        ok = false;
    }
    try {
        Comm1->close();
    } catch (const SerialChannelError &) {
    }
    return ok;
}

void FormMain::buildPortList(int savedPort)
{
    Panel1->buildPortList(systemPortNames(), savedPort, [this](int n) { return probePort(n); });
    Comm1->setPortNum(Panel1->selectedPortNumber());
}

void FormMain::setBaudIndex(int index)
{
    if (index < 0 || index > 3)
        return;
    Panel1->selectBaud(index);
    Comm1->setBaudrate(BaudForIndex[index]);
}

void FormMain::Timer3Timer()
{
    const QDateTime now = QDateTime::currentDateTime();
    TabSheet1->refreshPickers(now);
    showStatusText(0);
    Timer3->start(nextSecondMs(now.time()));
}

// The window counts as activated on its first show and on each return from one of
// the program's own windows (a message box, About, Help, ...); a return from another
// application, with no window of the program active in between, does not count.
void FormMain::focusWindowChanged(QWindow *now)
{
    if (now && now == windowHandle() && (!m_activatedOnce || m_previousFocus))
        FormActivate();
    if (now && now == windowHandle())
        m_activatedOnce = true;
    m_previousFocus = now;
}

void FormMain::FormActivate()
{
    if (sqlMode())
        identifyBench();
}

void FormMain::closeEvent(QCloseEvent *event)
{
    if (ActionDisconnect->isEnabled())
        ActionDisconnectExecute();
    if (ActionClose->isEnabled())
        ActionCloseExecute();
    const std::array<int, 3> ddm = {TabSheet1->SpinEditA->value(), TabSheet1->SpinEditB->value(),
                                    TabSheet1->SpinEditC->value()};
    saveClosePreferences(Comm1->portNum(), TabSheet1->CheckDdmRead->isChecked(), ddm);
    event->accept();
}

// ---- connection ----------------------------------------------------------------

void FormMain::ActionConnectExecute()
{
    setStatusText(0, QString());
    setStatusText(1, QString());
    Comm1->setPortNum(Panel1->selectedPortNumber());
    try {
        Comm1->open();
    } catch (const SerialChannelError &e) {
        showError(this, withPortOpenAdvice(QStringLiteral("Ошибка открытия порта ") + Panel1->ComboPort->currentText(), e));
        return;
    }
    bool dsr = false;
    try {
        dsr = Comm1->isModemLineOn(SerialChannel::Dsr);
    } catch (const SerialChannelError &) {
        dsr = false; // a line that cannot be read counts as not set
    }
    setStatusText(1, dsr ? QString() : QStringLiteral("DSR не установлен"));
    m_meter = MeterInfo{};
    m_engine->startSession();
    ActionDisconnect->setEnabled(true);
    ActionConnect->setEnabled(false);
    ActionLineScan->setEnabled(false);
    Panel1->setPortControlsEnabled(false);
    displayReset();
    TabSchedule->BtnReadSchedule->setEnabled(true);
    TabSchedule->BtnWriteSchedule->setEnabled(true);
}

void FormMain::ActionDisconnectExecute()
{
    setStatusText(0, QString());
    setStatusText(1, QString());
    try {
        Comm1->close();
    } catch (const SerialChannelError &) {
        showError(this, QStringLiteral("Ошибка закрытия порта ") + Panel1->ComboPort->currentText());
        return;
    }
    // Flags first, then the queue: an unfinished write is dropped unrecorded, and so is a
    // read-back under way (its verdict would come from the next connection).
    m_engine->stopAfterDisconnect();
    m_readBack.reset();
    m_scheduleBack.reset();
    ActionSetting->setEnabled(false);
    ActionFixDb->setEnabled(false);
    ActionDisconnect->setEnabled(false);
    ActionConnect->setEnabled(true);
    ActionLineScan->setEnabled(true);
    ActionFindAddress->setEnabled(false);
    Panel1->setPortControlsEnabled(true);
    TabSchedule->BtnReadSchedule->setEnabled(false);
    TabSchedule->BtnWriteSchedule->setEnabled(false);
    displayReset();
}

void FormMain::ActionFindAddressExecute()
{
    m_engine->startAddressSearch();
}

// The survey runs on a channel of its own while the window is disconnected: the
// engine, its timeouts and its log take no part.
void FormMain::ActionLineScanExecute()
{
    FormScan form(this);
    SerialChannel &channel = form.scan().channel();
    channel.setDeviceName(Comm1->deviceName());
    channel.setPortNum(Panel1->selectedPortNumber());
    channel.setBaudrate(Comm1->baudrate());
    form.scan().setReplyTimeout(Panel1->SpinTimer->value());
    QString error;
    if (!form.start(&error)) {
        showError(this, error);
        return;
    }
    if (form.exec() == QDialog::Accepted && form.chosenAddress() >= 0)
        setAddress(form.chosenAddress());
}

void FormMain::ActionResetExecute()
{
    displayReset();
}

void FormMain::ActionSettingExecute()
{
    // The serial number the checks take: the one the meter reported while the box was not edited.
    MeterInfo meter = m_meter;
    meter.serial = TabSheet1->reportedSerial();
    SettingsWriteOperation write(m_modes, records());
    Outcome refused = write.prepare(TabSheet1->settingsToWrite(), meter);
    if (refused.ok())
        refused = write.clearToSend();
    if (!refused.ok()) {
        showOutcome(refused); // nothing is queued
        return;
    }
    m_settingsWritten = write.write();
    m_scheduleWritten.reset();
    m_engine->setSettingsWritePending(true);
    m_engine->enqueue(write.frames());
}

void FormMain::LabeledPass1Change()
{
    m_engine->setDeselect(true);
    PageSettings *p = TabSheet1;
    ActionSetting->setEnabled(writeAllowed(ActionDisconnect->isEnabled(), p->LabeledPass2->text(),
                                           p->LabeledPass1->text(), p->CheckPassword->isChecked()));
}

void FormMain::BitBtn5Click()
{
    m_engine->enqueue(billingResetFrames(TabSheet1->LabeledPass2->text()));
}

void FormMain::ActionPlusDDMExecute()
{
    if (sqlMode())
        TabSheet1->stepDdm(3);
}

void FormMain::ActionMinusDDMExecute()
{
    if (sqlMode())
        TabSheet1->stepDdm(-3);
}

bool FormMain::eventFilter(QObject *watched, QEvent *event)
{
    // In SQL mode Ctrl+A and Ctrl+D step the DDM numbers wherever the focus is in
    // this window, also in the number boxes, whose own Ctrl+A would select their
    // text; the password boxes keep select-all.
    if (event->type() == QEvent::ShortcutOverride && sqlMode()) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const QKeyCombination combo = key->keyCombination();
        const bool stepKey = combo == QKeyCombination(Qt::ControlModifier, Qt::Key_A)
            || combo == QKeyCombination(Qt::ControlModifier, Qt::Key_D);
        auto *widget = qobject_cast<QWidget *>(watched);
        if (stepKey && widget && widget->window() == this && widget != TabSheet1->LabeledPass1
            && widget != TabSheet1->LabeledPass2) {
            event->ignore(); // not taken by the widget: the window's shortcut fires
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void FormMain::ActionFocusCorrectExecute()
{
    if (!TabSheet1->GroupTimerCorrect->isHidden())
        TabSheet1->EditCorrect->setFocus();
}

void FormMain::ActionCountCorrectExecute()
{
    if (!correctionMeasurementValid(TabSheet1->EditCorrect->text()))
        return;
    // Setting the value marks it, so the poll keeps it until it is written.
    if (const auto correction = recalculatedCorrection(TabSheet1->EditCorrect->text().trimmed().toLongLong()))
        TabSheet1->SpinClock->setValue(*correction);
}
void FormMain::N17Click()
{
    if (m_status)
        m_status->exec();
}

void FormMain::N20Click()
{
    if (m_help)
        m_help->exec();
}

void FormMain::N15Click()
{
    if (m_about)
        m_about->exec();
}

// ---- journals ----

void FormMain::BtnJournalClick()
{
    exportJournal(true);
}

void FormMain::BtnDiaryClick()
{
    exportJournal(false);
}

// What the view shows, into a workbook the operator names; then opened.
void FormMain::exportJournal(bool annual)
{
    const TextTable texts = annual ? TabSheet2->annualTexts() : TabSheet2->consumptionTexts();
    const QString title = journalTitle(annual, TabSheet1->SpinEdit_Number->value());
    const QString path = askSaveFile(this, QStringLiteral("xls"));
    if (path.isEmpty())
        return;
    try {
        writeExport(ExportTable{texts}, title, path, QLocale());
    } catch (const ExportError &) {
        showMessage(this, QMessageBox::Warning, QStringLiteral("Warning"), exportFailureText());
        return;
    }
    openWithDesktop(path);
}

// ---- tariff schedule ----

void FormMain::fillDefaultHolidays()
{
    TabSchedule->BtnTempletClick();
}

void FormMain::BtnReadScheduleClick()
{
    const int firmware = m_engine->firmwareNumber();
    // The lists are emptied when the read is queued; its replies refill them.
    if (hasCalendars(firmware))
        TabSchedule->clearCalendars();
    m_engine->enqueue(scheduleReadFrames(firmware));
}

void FormMain::BtnWriteScheduleClick()
{
    const int firmware = m_engine->firmwareNumber();
    // What the frames could not carry stops the write before anything is queued.
    if (!TabSchedule->ValidateSchedule(firmware))
        return;
    // Recorded as a settings write once complete: not sent when it could not be.
    if (const Outcome ready = records().ready(TabSheet1->settingsToWrite(), m_meter); !ready.ok()) {
        showOutcome(ready);
        return;
    }
    m_scheduleWritten.emplace(TabSchedule->schedule(), firmware);
    m_settingsWritten.reset();
    m_engine->setScheduleWritePending(true);
    m_engine->enqueue(scheduleWriteFrames(TabSchedule->schedule(), firmware, TabSheet1->LabeledPass2->text()));
}

} // namespace zk
