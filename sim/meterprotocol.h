#pragma once
// The meter's side of the line protocol: address byte and acknowledgement, request
// frames, replies, error replies, the password gate and injected faults. No I/O: the
// transport feeds received bytes with their ninth bit and sends what takeOutput()
// hands back.

#include "sim/metermodel.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

namespace zk::sim {

enum class Ninth { Space, Mark };

// One piece of the meter's output. `gapMs` is the pause before it: for the first piece
// of an answer it comes on top of the turnaround delay, for later pieces it follows the
// end of the previous one.
struct Transmission {
    qint64 gapMs = 0;
    QByteArray bytes;
};

enum class FaultKind {
    None,
    NoAck,         // the address byte is not acknowledged
    Delay,         // the reply comes `value` ms late
    BadCrc,        // the reply's CRC is wrong
    ExtraByte,     // one byte (`value`) follows the reply
    ErrorReply,    // an error reply with code `value` instead of the answer
    Split,         // the reply goes out in 3-byte chunks, `value` ms apart
    WrongFunction, // the reply carries another function code
    Silent,        // acknowledged, then no reply at all
    Noise,         // `value` random bytes go out before the reply
    Vanish,        // the meter is switched off: no acknowledgement, and its session ends
    Forget,        // a write is answered as taken, and the meter keeps what it had
    Echo,          // a two-wire adapter without echo suppression: every byte sent comes back
};

struct Fault {
    FaultKind kind = FaultKind::None;
    int value = 0;
    int count = -1; // exchanges still affected; -1 = until switched off
    int function = -1; // only exchanges with this request function; -1 = every one
};

// Parses "KIND[=VALUE] [COUNT] [on=FUNCTION]" or "off". Kinds: noack, delay[=MS], badcrc,
// extra[=BYTE], error[=CODE], split[=GAP_MS], wrongfn[=CODE], silent, noise[=BYTES],
// vanish, forget, echo. With on=FUNCTION only exchanges whose request has that function code
// are affected (and counted); noack, vanish and echo act before the request is seen and take none.
std::optional<Fault> parseFault(const QString &text, QString *error);
QString describeFault(const Fault &fault);

class MeterProtocol
{
public:
    MeterProtocol(MeterModel &model, const SimClock &clock);

    // Bytes received from the line, all with the same ninth bit.
    void receive(const QByteArray &bytes, Ninth ninth);
    // The program closed the port: the session ends, half a frame is forgotten.
    void lineClosed();
    // What the meter sends, in order, since the last call.
    QList<Transmission> takeOutput();

    void setFault(const Fault &fault) { m_fault = fault; }
    Fault fault() const { return m_fault; }

    // A session ends after this long without an exchange addressed to the meter.
    void setSessionTimeoutMs(qint64 ms) { m_sessionTimeoutMs = ms; }
    bool accessGranted() const { return m_access; }
    bool addressed() const { return m_addressed; }

    // Called after every accepted write (the meter's memory changed).
    void setStoredHook(std::function<void()> hook) { m_storedHook = std::move(hook); }
    // Called with a line about each protocol event (for --trace).
    void setEventHook(std::function<void(const QString &)> hook) { m_eventHook = std::move(hook); }

    // The answer to one complete request frame (CRC included), without addressing and
    // without faults: a reply frame or an error reply.
    QByteArray answer(const QByteArray &frame);

private:
    QByteArray handle(quint8 function, int length, const QByteArray &data, bool *stored);
    void frameComplete(const QByteArray &frame);
    void endSession(const QString &why);
    void event(const QString &text);
    bool faultActive(FaultKind kind) const;
    void consumeFault();

    MeterModel &m_model;
    const SimClock &m_clock;
    QList<Transmission> m_output;
    QByteArray m_frame;
    QDateTime m_lastByte;
    QDateTime m_lastActivity;
    bool m_addressed = false;
    bool m_access = false;
    qint64 m_sessionTimeoutMs = 60000;
    Fault m_fault;
    int m_function = -1; // the request being answered; -1 while none is
    QRandomGenerator m_noise{20261209}; // the same noise on every run
    std::function<void()> m_storedHook;
    std::function<void(const QString &)> m_eventHook;
};

} // namespace zk::sim
