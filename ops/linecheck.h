#pragma once
// The line check: is the port there and a terminal, may the user open it, does it keep
// MARK and SPACE parity, does the adapter hand our own bytes back, does a meter answer
// at the address and how long its answers take. Then the problems in words a technician
// acts on, and a reply timeout that fits the line.
//
// The exchanges are the engine's, made one by one: the address byte at MARK, the
// acknowledgement awaited, the request at SPACE, the reply checked as every reply is.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QDeadlineTimer;

namespace zk {

class SerialChannel;

// How the port keeps the ninth bit.
enum class ParityCheck {
    NotChecked, // the port could not be taken
    Kept,       // MARK and SPACE read back as set
    Emulated,   // a pseudo-terminal: no parity bit on any wire; its driver keeps the fixed
                // and odd bits, and the program at the other end reads the ninth bit there
    Lost,       // the device does not keep one of them: a meter cannot tell an address from a frame
};

// How the first exchange with the meter went.
enum class MeterContact {
    NotTried,  // the port could not be taken
    Answered,
    NoAck,     // the address byte was not acknowledged
    WrongAck,  // another byte came instead of the address
    NoReply,   // acknowledged, then no complete reply
    Rejected,  // a reply the checks refuse (CRC, function, length)
    Refused,   // the meter's error reply
};

struct LineReport {
    QString port;           // as named: "COM9" or a path
    QString device;         // the device it stands for
    int baud = 4800;
    int address = 0;
    int timeoutMs = 1000;   // the reply timeout the program is told to use

    bool exists = false;
    std::optional<bool> tty;    // unknown when the device could not be opened to ask
    bool pseudoTerminal = false;
    std::optional<bool> access; // the user may open it for reading and writing; unknown when missing
    QString accessAdvice;       // which group gives access and how to join it
    QString takeError;          // the port could not be taken: the channel's text
    bool busy = false;          // another program holds it
    QString portError;          // the port failed in the middle of the checks: the channel's text

    ParityCheck parity = ParityCheck::NotChecked;
    QString parityDetail;       // what the device gave back when it did not keep a setting

    std::optional<bool> echo;   // unknown when the port could not be taken
    QByteArray stray;           // bytes nobody asked for while no meter was addressed

    MeterContact contact = MeterContact::NotTried;
    QString contactDetail;      // the byte that came instead of the acknowledgement, the check's text
    std::optional<int> serial;
    QString version;

    QList<int> roundTrips;      // ms from the address byte to the accepted reply, of the timed exchanges
    int timedExchanges = 0;     // how many were tried

    bool meterAnswered() const { return contact == MeterContact::Answered; }
};

// The middle value: the mean of the two middle ones for an even count, rounded up;
// nothing for no samples.
std::optional<int> medianMs(QList<int> samples);

// A reply timeout for round trips `samples`: twice the median or the slowest, whichever is
// more, plus 100 ms, rounded up to a step of 100 (the step of the window's timeout box),
// at least 200 and at most 5000. Nothing for no samples.
std::optional<int> suggestedTimeoutMs(const QList<int> &samples);

// The problems of the line, one text each, in the order they need seeing to; empty when
// the line is fit.
QStringList lineProblems(const LineReport &report);

// What arrives on an open channel, with the echo of what was sent taken out once the
// line is known to echo. Waits run the event loop.
class LineListener
{
public:
    explicit LineListener(SerialChannel &channel) : m_channel(channel) {}

    QByteArray received;

    void setEchoes(bool on) { m_echoes = on; }
    // Forgets whatever has come so far.
    void drop();
    // Raises RTS for the bytes, as the engine does, and drops it once they have left.
    void send(const QByteArray &bytes);
    // Collects until `enough` holds or `deadline` passes.
    void collect(const QDeadlineTimer &deadline, const std::function<bool()> &enough);
    void pause(int ms);

private:
    void take(const QByteArray &bytes);

    SerialChannel &m_channel;
    bool m_echoes = false;
    QByteArray m_echo; // sent, its echo not yet seen
};

// One exchange as the engine makes it, without the engine: the address byte at MARK, its
// acknowledgement within `ackLimitMs`, the request at SPACE, the reply until the checks
// decide, within `replyLimitMs` of the address byte. Throws SerialChannelError when the
// port fails.
struct LineExchange {
    MeterContact contact = MeterContact::NoAck;
    QString detail;   // the byte that came instead of the acknowledgement, the check's text
    QByteArray reply; // what came of the reply
    int elapsedMs = 0; // from the address byte to the accepted reply
};
LineExchange lineExchange(SerialChannel &channel, LineListener &in, int address, const QByteArray &request,
                          int ackLimitMs, int replyLimitMs);

// The pause between exchanges: the engine's send tick.
inline constexpr int SendTickMs = 50;

// The exchanges the round trip is measured on.
inline constexpr int TimedExchanges = 5;
// How long the check waits for an acknowledgement, and for a whole reply after the
// address byte: the longest timeout it may suggest.
inline constexpr int AckLimitMs = 2000;
inline constexpr int ReplyLimitMs = 5000;

// Runs every check on `device` (the path `port` stands for) at `baud` bit/s, with the
// meter at `address`. Every wait is bounded: a line where nothing answers takes about
// AckLimitMs after the port checks.
LineReport checkLine(const QString &port, const QString &device, int baud, int address, int timeoutMs);

} // namespace zk
