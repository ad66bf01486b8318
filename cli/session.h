#pragma once
// A headless host of the exchange engine: the same serial channel, engine, frames
// and decoders as the window, with the traffic log on stderr and the verdicts kept
// for the exit status.

#include "cli/options.h"
#include "cli/production.h"
#include "link/exchangeengine.h"
#include "link/serialchannel.h"
#include "meter/meterinfo.h"
#include "ops/settingsoperation.h"

#include <QDateTime>

#include <QObject>
#include <QHash>
#include <functional>
#include <memory>
#include <optional>

class QEventLoop;

namespace zk::cli {

// The port the options name: the name as given (a device path or COMn), or the saved
// port's COMn; its number (0 for a path) and the device it stands for.
struct PortChoice {
    QString name;
    int number = 0;
    QString device;
};
// Nothing, after printing why (and giving it in `problem`), for a name that is neither
// COMn nor a path.
std::optional<PortChoice> choosePort(const Options &options, QString *problem = nullptr);

// Sets the channel's device (a path, a COMn name or the saved port) and speed from the
// options; `name` is the device as the user knows it. ExitUsage, said on stderr, for a
// port name that names no port, its text also in `problem`.
int preparePort(SerialChannel &channel, const Options &options, QString *name, QString *problem = nullptr);

class Session : public QObject, public EngineHost
{
    Q_OBJECT
public:
    explicit Session(const Options &options, QObject *parent = nullptr);
    ~Session() override;

    ExchangeEngine &engine() { return *m_engine; }
    SerialChannel &channel() { return m_channel; }
    const MeterInfo &info() const { return m_info; }

    // Opens the port and starts polling as the window's connect does. Returns
    // ExitDone, or ExitNoAnswer after printing why the port could not be used.
    int connectMeter();
    void disconnectMeter();

    // Runs the event loop until `done` holds (asked after every accepted reply) or
    // the engine gives up: six timeouts in a row, or an error reply from the meter.
    // Returns ExitDone, ExitNoAnswer or ExitRefused; failures are printed on stderr.
    int runUntil(const std::function<bool()> &done);
    // Until the meter has answered the first request after connecting (its version):
    // frames queued before that would be dropped by the start of the session.
    int waitForMeter();
    // One whole poll cycle into info().
    int pollCycle();
    // The read-back of a settings write: the poll cycle that follows it, its replies handed
    // to `back` until it is complete.
    int readBack(SettingsReadBack &back);
    // The address search from 0: the address that answered, or ExitNoAnswer after
    // one full round of 256 addresses.
    int findAddress(int *found);

    // The write pending flag runFrames() raises.
    enum class WriteFlag { None, Settings, Schedule };

    // Sends `frames` after the request in flight and waits for the verdict. With a
    // write flag (the settings or the schedule write pending flag) the engine
    // decides: the queue drained is success, the first failed request is failure.
    // Without one, success is every frame acknowledged. A timeout or an unreadable
    // reply of any frame gives ExitNoAnswer, an error reply ExitRefused. The verdict
    // names the frames acknowledged and the one that failed.
    int runFrames(const QList<QByteArray> &frames, WriteFlag flag, FrameVerdict *verdict);

    // The PC's time when the clock reply of the last poll cycle arrived, and when the
    // meter acknowledged the last clock frame runFrames() sent.
    QDateTime clockArrival() const { return m_clockArrival; }
    QDateTime clockWritten() const { return m_clockWritten; }
    // Handlers registered by a command call this after each reply they take, so that
    // runUntil() asks its condition at once.
    void progress() { check(); }

    // The failure that ended runUntil() or connectMeter(), for the caller's own message.
    QString failureText() const { return m_failureText; }

    // EngineHost
    int address() const override { return m_address; }
    void setAddress(int address) override;
    int newAddress() const override { return m_newAddress; }
    void setNewAddress(int address) { m_newAddress = address; }
    bool terminalOn() const override { return m_trace; }
    void addLogLine(const QString &line) override;
    void clearLog() override {}
    void beep() override {}
    void setStatusText(int, const QString &) override {}
    void showVerdict(WriteVerdict) override {}
    void hideIndicator() override {}
    void setWriteEnabled(bool enabled) override;
    void setFindAddressEnabled(bool) override {}
    void setGauges(bool, bool) override {}
    void firmwareChanged(const FirmwareVersion &version) override;
    void resetAction() override {}
    void displayReset() override {}
    void recordWrite() override;
    void reportWriteFailure(const QString &text) override;
    void replyRejected(const ReplyCheck &check) override;
    void replyAccepted(const QByteArray &frame) override;
    void replyMissing() override;

private:
    void fail(int exit, const QString &text);
    void check();
    // runUntil() for a condition the poll alone fulfils: a poll request that goes
    // unanswered MissesPerPollRequest times ends it with ExitNoAnswer.
    static constexpr int MissesPerPollRequest = 3;
    int waitForPoll(const std::function<bool()> &done);

    Options m_options;
    SerialChannel m_channel;
    ExchangeEngine *m_engine;
    MeterInfo m_info;
    int m_address = 0;
    int m_newAddress = 0;
    bool m_trace = false;
    int m_accepted = 0;     // replies handled
    int m_searchSteps = -1; // address changes of a running search; -1 when none runs
    int m_failure = ExitDone;
    QString m_failureText;
    std::function<bool()> m_done;
    QList<QByteArray> m_frames;      // of runFrames(), while it runs
    QList<quint8> m_acknowledged;
    bool m_pollWait = false;         // waitForPoll() runs
    QHash<quint8, int> m_missedPolls; // timeouts of each poll function in that wait
    QDateTime m_clockArrival;
    QDateTime m_clockWritten;
    bool m_written = false;          // the engine reported the write complete
    QEventLoop *m_loop = nullptr;
    SettingsReadBack *m_readBack = nullptr; // of readBack(), while it runs
};

// The start of a command that writes and records: the bench (in SQL mode identified), the
// meter connected and one whole poll cycle read, so that the defaults, the checks and the
// record take what the window's would. ExitDone with *start filled, or, when any of it
// fails, the verdict printed and its status returned.
struct WriteStart {
    Bench bench;
    std::unique_ptr<Session> session;
};
int startWrite(const Options &options, std::optional<WriteStart> *start);

} // namespace zk::cli
