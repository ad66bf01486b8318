#pragma once
// The exchange engine: command queue, send tick, address and frame phases, reply
// timeout, poll cycle, write completion and failure, address search, traffic log.

#include "link/frame.h"
#include "link/meterchannel.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>

namespace zk {

// How a write ended: every frame taken, or the first refused or unanswered.
enum class WriteVerdict { Success, Failure };

// What the engine needs of the window. Everything is called on the event thread.
class EngineHost
{
public:
    virtual ~EngineHost() = default;
    virtual int address() const = 0;         // SpinAddr
    virtual void setAddress(int address) = 0;
    virtual int newAddress() const = 0;      // SpinNewAddr
    virtual bool terminalOn() const = 0;     // CheckBox_Terminal
    virtual void addLogLine(const QString &line) = 0; // Memo_Terminal (capped at 1500 lines)
    virtual void clearLog() = 0;
    virtual void beep() = 0;
    virtual void setStatusText(int panel, const QString &text) = 0; // StatusBar1
    virtual void showVerdict(WriteVerdict verdict) = 0;             // Shape1 shown, green or red
    virtual void hideIndicator() = 0;
    virtual void setWriteEnabled(bool enabled) = 0;       // ActionSetting, ActionFixDb
    virtual void setFindAddressEnabled(bool enabled) = 0; // ActionFindAddress
    virtual void setGauges(bool annual, bool consumption) = 0; // Gauge1, Gauge2 visible
    virtual void firmwareChanged(const FirmwareVersion &version) = 0; // LabeledVersion, newer controls
    virtual void resetAction() = 0;  // ActionReset: the display reset
    virtual void displayReset() = 0; // the display reset alone
    virtual void recordWrite() = 0;  // record routine of the local register or production database
    // Modal error box "Ошибка" with the write failure text; returns when it is closed.
    virtual void reportWriteFailure(const QString &text) = 0;
    // A reply the checks refused (the meter's error reply among them), after the
    // engine has logged it.
    virtual void replyRejected(const ReplyCheck &check) { (void)check; }
    // An accepted reply, before its handler runs.
    virtual void replyAccepted(const QByteArray &frame) { (void)frame; }
    // A request went unanswered (its reply timeout, not a deselect or a search step).
    virtual void replyMissing() {}
};

class ExchangeEngine : public QObject
{
    Q_OBJECT
public:
    // Handler of an accepted reply: the frame is the receive buffer (data byte i at
    // offset 2 + i). The engine removes the queue head after the handler returns.
    using Handler = std::function<void(const QByteArray &frame)>;

    static const QString WriteFailureText;
    static constexpr int PollEntries = 11;
    static const Head PollTable[PollEntries];

    ExchangeEngine(MeterChannel *channel, EngineHost *host, QObject *parent = nullptr);

    // Replies with fewer than `minData` data bytes are not handed to the handler;
    // the head is removed and, with the log on, one line says so.
    void setHandler(quint8 function, int minData, Handler handler);

    // Switches fixed at start-up.
    void setMasterMode(bool on) { m_master = on; }
    bool masterMode() const { return m_master; }
    void setSqlMode(bool on) { m_sql = on; }
    bool sqlMode() const { return m_sql; }

    // Connection state, set by connect and disconnect.
    bool isConnected() const { return m_connected; }
    void setConnected(bool connected) { m_connected = connected; }
    // After a successful open: TimerStart (the first request 100 ms later).
    void startAfterConnect();
    // A connection begins, the same in every front end: the deselect flag lowered, the
    // write pending flags cleared, connected, and startAfterConnect().
    void startSession();
    // After a successful close: flags cleared, queue emptied, timers stopped.
    void stopAfterDisconnect();

    // The command queue. Every change runs the queue change rule at once.
    const QList<QByteArray> &queue() const { return m_queue; }
    void enqueue(const QByteArray &frame);
    void enqueue(const QList<QByteArray> &frames);
    void removeHead();
    void clearQueue();
    QByteArray currentRequest() const { return m_current; }
    QByteArray receiveBuffer() const { return m_buffer; }

    bool settingsWritePending() const { return m_settingsPending; }
    void setSettingsWritePending(bool on) { m_settingsPending = on; }
    bool scheduleWritePending() const { return m_schedulePending; }
    void setScheduleWritePending(bool on) { m_schedulePending = on; }
    void clearWritePending() { m_settingsPending = m_schedulePending = false; }

    bool deselect() const { return m_deselect; }
    void setDeselect(bool on) { m_deselect = on; }

    bool addressSearch() const { return m_search; }
    // ActionFindAddress: search on, address 0.
    void startAddressSearch();

    int firmwareNumber() const { return m_firmware; }
    int pollIndex() const { return m_pollIndex; }
    int sentCount() const { return m_sent; }
    int timeoutCount() const { return m_timeouts; }

    // SpinTimer changed: applies at once and restarts a running timeout.
    void setReplyTimeout(int ms);
    int replyTimeoutMs() const { return m_timer2.interval(); }
    bool awaitingReply() const { return m_timer2.isActive(); }

    // A log line from any part of the program; shown only while the log is on.
    void log(const QString &line);
    // "hh:mm:ss.zzz" of now.
    static QString stamp();

    QTimer &timer1() { return m_timer1; }
    QTimer &timer2() { return m_timer2; }
    QTimer &timerStart() { return m_timerStart; }
    QTimer &timerShape() { return m_timerShape; }

public slots:
    void onRxChar();   // OnRxChar
    void onTxEmpty();  // OnTxEmpty: RTS dropped
    void onBreak();    // OnBreak

    // The timers' handlers; public so that tests can step the engine without waiting.
    void sendTick();         // Timer1
    void replyTimeout();     // Timer2
    void firstRequest();     // TimerStart
    void indicatorExpired(); // TimerShape

private:
    // Asks the channel to report received bytes once `bytes` of them are waiting.
    void wakeFor(int bytes);
    int replyWakeBytes() const;
    void queueChanged();
    void queueReset();
    void accept();
    void handleVersion(const QByteArray &frame);

    static void startIfIdle(QTimer &timer);

    MeterChannel *m_channel;
    EngineHost *m_host;
    QTimer m_timer1, m_timer2, m_timerStart, m_timerShape;

    QList<QByteArray> m_queue;
    QByteArray m_current;
    QByteArray m_buffer;
    struct Entry {
        int minData;
        Handler handler;
    };
    std::map<quint8, Entry> m_handlers;

    int m_pollIndex = 0;
    int m_firmware = 0;
    int m_sent = 0;
    int m_timeouts = 0;
    bool m_settingsPending = false;
    bool m_schedulePending = false;
    bool m_search = false;
    bool m_deselect = false;
    bool m_exchangeOver = true; // the reply of the exchange in flight was accepted or rejected
    bool m_connected = false;
    bool m_master = false;
    bool m_sql = false;
};

} // namespace zk
