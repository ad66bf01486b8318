#pragma once
// The main window: tool bar, menus and actions, the link bar, the six pages and
// the status bar; the run-time switches, start-up and shut-down; port selection,
// connecting and disconnecting; the exchange engine's host.

#include "ops/preferences.h"
#include "ops/records.h"
#include "ops/scheduleoperation.h"
#include "ops/verify.h"
#include "link/exchangeengine.h"
#include "meter/meterinfo.h"
#include "meter/readout.h"
#include "records/settingsrecord.h"

#include <QDateTime>
#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <QWindow>
#include <memory>
#include <optional>

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QTabWidget;
class QTimer;
class QToolBar;
class QToolButton;


namespace zk {

class LinkBar;
class PageDatabase;
class PageJournal;
class PageReadings;
class PageSchedule;
class PageSettings;
class PageTabs;
class PageTerminal;
class SerialChannel;

// Shape1: the link indicator, a coloured circle on the tool bar.
class LinkIndicator : public QWidget
{
    Q_OBJECT
public:
    explicit LinkIndicator(QWidget *parent = nullptr);
    QColor colour() const { return m_colour; }
    void setColour(const QColor &colour);
    QSize sizeHint() const override { return {19, 22}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_colour = Qt::green;
};

class FormMain : public QMainWindow, public EngineHost
{
    Q_OBJECT
public:
    static const QString Title; // "Установка ЗЕЛТА-КН"

    explicit FormMain(QWidget *parent = nullptr);
    ~FormMain() override;

    // Run-time switches, fixed by the start-up sequence.
    int operatingMode() const { return m_modes.operatingMode; }
    bool masterMode() const { return m_modes.masterMode(); }
    bool passwordEditing() const { return m_modes.passwordEditing(); }
    bool sqlMode() const { return m_modes.sqlMode; }
    int meterTypeId() const { return m_meterTypeId; }

    // The secondary windows, created by the program entry and shown modally.
    void setAboutWindow(QDialog *window) { m_about = window; }
    void setHelpWindow(QDialog *window) { m_help = window; }
    void setStatusWindow(QDialog *window) { m_status = window; }
    void setSpoilageWindow(QDialog *window) { m_spoilage = window; }

    SerialChannel *channel() const { return Comm1; }
    ExchangeEngine *engine() const { return m_engine; }
    // Visibility of the tool buttons that sit on the tool bar as widgets.
    bool toolButtonShown(const QString &name) const;
    QString statusText(int panel) const;
    // The link indicator is on the tool bar.
    bool indicatorShown() const;

    // EngineHost
    int address() const override;
    void setAddress(int address) override;
    int newAddress() const override;
    bool terminalOn() const override;
    void addLogLine(const QString &line) override;
    void clearLog() override;
    void beep() override;
    void setStatusText(int panel, const QString &text) override;
    void showVerdict(WriteVerdict verdict) override;
    void hideIndicator() override;
    void setWriteEnabled(bool enabled) override;
    void setFindAddressEnabled(bool enabled) override;
    void setGauges(bool annual, bool consumption) override;
    void firmwareChanged(const FirmwareVersion &version) override;
    void resetAction() override;
    void displayReset() override;
    void recordWrite() override;
    void reportWriteFailure(const QString &text) override;
    void replyAccepted(const QByteArray &frame) override;
    void replyMissing() override;
    void replyRejected(const ReplyCheck &check) override;

    // Controls and pages, under their own names.
    QToolBar *ToolBar1;
    LinkBar *Panel1;
    PageTabs *PageControl1;
    PageSettings *TabSheet1;
    PageSchedule *TabSchedule;
    PageReadings *TabSheet3;
    PageJournal *TabSheet2;
    PageTerminal *TabSheet4;
    PageDatabase *TabSheet5;
    QStatusBar *StatusBar1;
    LinkIndicator *Shape1;

    QAction *ActionConnect;
    QAction *ActionDisconnect;
    QAction *ActionSetting;
    QAction *ActionReset;
    QAction *ActionOpen;
    QAction *ActionClose;
    QAction *ActionSpoilage;
    QAction *ActionFocusCorrect;
    QAction *ActionCountCorrect;
    QAction *ActionPlusDDM;
    QAction *ActionMinusDDM;
    QAction *ActionFindAddress;
    QAction *ActionLineScan;
    QAction *ActionFixDb;

    QMenu *N1;    // "&Связь"
    QMenu *NPort; // "&Порт"
    QMenu *NBaud; // "&Скорость"
    QAction *N12001, *N24001, *N48001, *N96001;
    QMenu *N6;    // "&Установки"
    QMenu *N11;   // "&База данных"
    QMenu *N14;   // "&?"
    QAction *N3, *N4, *N19, *NLineScan, *NExit, *N7, *NFixDb, *N16, *N10, *N12, *N13, *N17, *N20, *N15;
    QAction *NVerify; // "Проверять запись": a settings write is read back before its verdict shows

    QTimer *Timer3;

signals:
    // A write the meter completed was handed to the register.
    void writeRecorded();

public slots:
    void ActionConnectExecute();
    void ActionDisconnectExecute();
    void ActionFindAddressExecute();
    void ActionLineScanExecute();
    void ActionResetExecute();
    void ActionSettingExecute();
    void ActionOpenExecute();
    void ActionCloseExecute();
    void ActionSpoilageExecute();
    void ActionFocusCorrectExecute();
    void ActionCountCorrectExecute();
    void ActionPlusDDMExecute();
    void ActionMinusDDMExecute();
    void ActionFixDbExecute();
    void N17Click();
    void BtnJournalClick();
    void BtnDiaryClick();
    void LabeledPass1Change();
    void BitBtn5Click();
    void N20Click();
    void N15Click();
    // The tariff schedule: the read and write sequences of the page's buttons.
    void BtnReadScheduleClick();
    void BtnWriteScheduleClick();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildActions();
    void buildMenus();
    void buildToolBar();
    void buildPages();
    void buildStatusBar();
    void wire();
    void registerHandlers();
    void clockReply(const MeterClock &clock);
    void fitWindow();

    // Start-up and shut-down.
    void FormCreate();
    void FormActivate();
    void focusWindowChanged(QWindow *now);
    void applyModeEffects();
    void buildPortList(int savedPort);
    bool probePort(int portNum);
    void setBaudIndex(int index);
    // Hooks of later parts.
    void loadLastSettings();
    void fillDefaultHolidays();
    void identifyBench();
    void lookupLastSettingTime();
    void showDrift(const MeterClock &clock);
    void BitBtn1Click();
    void Timer3Timer();
    static int nextSecondMs(const QTime &now);

    QAction *menuItem(QMenu *menu, QAction *action, const char *name);
    QToolButton *toolButton(QAction *action, const char *name);

    Modes m_modes;
    int m_meterTypeId = 0;
    SerialChannel *Comm1;
    ExchangeEngine *m_engine;
    QLabel *m_panels[3];
    // The texts of panels 0 and 1. Panel 0 (the exchange count, new with every exchange)
    // is put on the screen with each tick of Timer3 (once a second); its last text always shows.
    QString m_statusTexts[2];
    void showStatusText(int panel);
    QAction *m_fixDbButton = nullptr;    // ToolButtonFixDb on the tool bar
    QAction *m_spoilageButton = nullptr; // ToolButton11 on the tool bar
    QAction *m_indicatorHolder = nullptr;
    QPointer<QDialog> m_about, m_help, m_status, m_spoilage;
    QPointer<QWindow> m_previousFocus; // the program's window that had the focus last
    bool m_activatedOnce = false;
    std::unique_ptr<ProductionSession> m_production; // made on first use in SQL mode
    // The identification's database failure has been shown: not again on every activation
    // until the database answers once more.
    bool m_identifyFailureShown = false;
    // The meter as last polled: what a write's defaults, checks and record take.
    MeterInfo m_meter;
    // The write in flight, read back when "Проверять запись" is checked: the settings sent,
    // or the schedule's read-back to run; and when the meter acknowledged the clock frame.
    std::optional<SettingsWrite> m_settingsWritten;
    std::optional<ScheduleReadBack> m_scheduleWritten;
    QDateTime m_clockWritten;
    // The read-backs under way: a settings write's takes the poll cycle's replies, a schedule
    // write's its own read sequence (taken off the page: takeScheduleBack() says so).
    std::optional<SettingsReadBack> m_readBack;
    std::optional<ScheduleReadBack> m_scheduleBack;
    bool takeScheduleBack(const QByteArray &frame);
    // The verdict of a write read back: green when the meter keeps everything, red with
    // the values or the failure named.
    void finishReadBack(const ReadBackVerdict &verdict);

    // The journals: the read buttons' frames into the command queue, the replies
    // onto the page "Журнал".
    void queueRequests(const QList<QByteArray> &frames);
    void annualReply(const QByteArray &frame);
    void exportJournal(bool annual);
    // ---- records: the local register, or the production database in SQL mode
    ProductionSession &production();
    WriteRecords records();
    void showOutcome(const Outcome &outcome);
    void loadProductionSettings();
    void consumptionReply(const QByteArray &frame);

    // The tariff schedule: replies onto the page "Тарифное расписание".
    void zoneReply(const QByteArray &frame);
};

} // namespace zk
