#pragma once
// The serial port of the program: a numbered port ("COM%d" through the port map),
// line settings that can change while open (the parity switch carries the ninth bit),
// synchronous writes, reads of whatever has arrived, RTS and DSR, and three events on
// the event thread: bytes received, transmitter empty, break.
//
// Built directly on termios. The device and a timer of the channel's own are watched
// through one epoll set, itself watched by a QSocketNotifier on the event thread, so
// every event handler runs there, one at a time, and no lock is needed; the device is
// taken out of the set and put back without a round through the event loop. While a
// handler runs, no further device event is delivered (a handler that opens a modal box
// does not see nested receive events).

#include "link/meterchannel.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QDeadlineTimer;
class QSocketNotifier;
class QTimer;

namespace zk {

class SerialChannel : public QObject, public MeterChannel
{
    Q_OBJECT
public:
    enum Baudrate {
        br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
        br56000, br57600, br115200, br128000, br256000,
        brUser // rate taken from UserBaudrate
    };
    enum Databits { db4, db5, db6, db7, db8 };
    enum Stopbits { sb1, sb15, sb2 };
    enum RtsControl {
        rtsDisabled,  // dropped on opening, then set by the program
        rtsEnabled,   // raised on opening, then set by the program
        rtsHandshake, // RTS/CTS hardware flow control
        rtsToggle     // raised by the channel itself while it transmits
    };
    enum DtrControl { dtrDisabled, dtrEnabled };
    enum ModemLine { Cts, Dsr, Ring, Rlsd };

    struct FlowControl {
        RtsControl controlRts = rtsEnabled;
        DtrControl controlDtr = dtrDisabled;
        bool operator==(const FlowControl &o) const
        {
            return controlRts == o.controlRts && controlDtr == o.controlDtr;
        }
        bool operator!=(const FlowControl &o) const { return !(*this == o); }
    };

    // Queue sizes and limits are kept for their names only: the kernel sizes its own
    // queues. ReadTimeout bounds how long a read or a write may wait.
    struct Buffers {
        int readSize = 4096;
        int writeSize = 2048;
        int readTimeout = 1000;
        int writeTimeout = 1000;
        int xonLimit = 1024;
        int xoffLimit = 1024;
        bool operator==(const Buffers &o) const
        {
            return readSize == o.readSize && writeSize == o.writeSize && readTimeout == o.readTimeout
                && writeTimeout == o.writeTimeout && xonLimit == o.xonLimit && xoffLimit == o.xoffLimit;
        }
    };

    static const QString PortOpenText; // "Can't perform this operation while port is open"

    explicit SerialChannel(QObject *parent = nullptr);
    ~SerialChannel() override;

    // Port and device. Refused while open.
    int portNum() const { return m_portNum; }
    void setPortNum(int portNum);
    QString deviceName() const { return m_deviceName; } // the template, "COM%d"
    void setDeviceName(const QString &nameTemplate);
    // The template with the port number in place of its "%d": "COM12".
    QString formattedDeviceName() const;
    Buffers buffers() const { return m_buffers; }
    void setBuffers(const Buffers &buffers);

    // Line settings: an unchanged value does nothing; a new one is stored and, while
    // open, all line settings are applied to the device again before the call returns.
    Baudrate baudrate() const { return m_baudrate; }
    void setBaudrate(Baudrate baudrate); // a member other than brUser sets UserBaudrate to 0
    int userBaudrate() const { return m_userBaudrate; }
    void setUserBaudrate(int rate);      // a new value selects brUser
    // The rate in bit/s the settings give (UserBaudrate for brUser).
    int effectiveBaudrate() const;
    Parity parity() const override { return m_parity; }
    void setParity(Parity parity) override;
    // How many bytes the program waits for. Once the first of them has come, the device
    // is not watched for the time the rest take on the line: the kernel wakes a
    // watcher for every byte a serial driver hands it, whatever VMIN says, so a reply
    // would cost one wake-up a byte. Then whatever has come is reported, the whole
    // reply or a shorter answer. A threshold lowered to what is waiting ends the wait
    // at once.
    void setWakeThreshold(int bytes) override;
    int wakeThreshold() const { return m_wakeThreshold; }
    // True while the channel waits out the rest of a threshold without watching the device.
    bool gathering() const;
    Databits databits() const { return m_databits; }
    Stopbits stopbits() const { return m_stopbits; }
    FlowControl flowControl() const { return m_flow; }
    void setFlowControl(const FlowControl &flow);

    void open();
    // Does nothing when closed. Pending output that has not left yet is discarded.
    void close();
    bool isOpen() const override { return m_fd >= 0; }

    // Synchronous: writes the bytes and waits until they have left the transmitter,
    // at most ReadTimeout. True when all of them did; false when not open, and false
    // (reported as 0 bytes written) when the time ran out: the rest is still sent in
    // the background. txEmpty() follows once the line is idle, queued on the event
    // loop, so its handler runs after the writing call has returned.
    bool writeBytes(const QByteArray &bytes) override;
    // Every byte waiting now; empty at once when none.
    QByteArray readAvailable() override;
    // Raise or drop RTS. On a pseudo-terminal (no modem lines) it does nothing.
    void setRts(bool raised) override;
    // On a pseudo-terminal every line reads inactive.
    bool isModemLineOn(ModemLine line);

    // The parity the open device reports now, read back from it rather than the
    // setting last applied: whether a parity bit is sent at all, whether it is fixed
    // (MARK or SPACE rather than computed) and whether it is odd (MARK when fixed).
    struct ParityBits {
        bool enabled = false;
        bool fixed = false;
        bool odd = false;
    };
    ParityBits deviceParity() const;
    // The device is a pseudo-terminal: no wire, no modem lines. Its driver keeps the
    // fixed and odd bits of the parity but drops "enabled"; the program at its other
    // end reads the ninth bit from them.
    bool isPseudoTerminal() const { return m_pty; }

signals:
    void rxChar(int count);  // bytes received; count = bytes waiting
    void txEmpty();          // the last byte written has left the transmitter
    void breakReceived();    // a break condition was seen on the line
    void opened();
    void closed();

private:
    void refuseWhileOpen() const;
    void applyLineSettings(bool setModemLines);
    void setModemLine(int bit, bool on, const char *errorText);
    bool flushOutput(const QDeadlineTimer &deadline);
    void continueOutput();
    void finishOutput();
    void onActivity();
    void onReadable();
    int fetchInput();
    void decodeInput(const char *data, int size);
    int makeWatch();
    void enableReader();
    void watchDevice(bool on);
    bool startGathering();
    void stopGathering();
    void gatheringDone();
    void postEvent(int event);
    void deliverEvents();

    int m_portNum = 1;
    QString m_deviceName = QStringLiteral("COM%d");
    Baudrate m_baudrate = br4800;
    int m_userBaudrate = 0;
    Parity m_parity = Parity::Mark;
    int m_wakeThreshold = 1;
    Databits m_databits = db8;
    Stopbits m_stopbits = sb1;
    FlowControl m_flow;
    Buffers m_buffers;

    int m_fd = -1;
    bool m_pty = false;
    QByteArray m_termios;       // the line settings last applied (a termios2), while open
    quint64 m_generation = 0;   // bumped by every open and close
    int m_pollFd = -1;          // an epoll set: the device while it is watched, and m_gatherFd
    bool m_deviceWatched = false;
    QSocketNotifier *m_reader = nullptr; // on m_pollFd
    QTimer *m_retry = nullptr;  // looks at the device again after a hang-up
    QTimer *m_drain = nullptr;  // finishes a write that outlived its wait
    int m_gatherFd = -1;        // a timerfd: ends the wait for the rest of a wake threshold
    bool m_gathering = false;
    bool m_full = false;        // m_in holds ReadSize bytes: the device keeps the rest
    bool m_hungUp = false;

    QByteArray m_out;           // bytes handed to writeBytes that the kernel has not taken
    QByteArray m_in;            // received bytes not yet read, marks removed
    int m_markState = 0;        // position inside a "\377 \0 x" mark spanning two reads
    int m_pending = 0;          // device events not yet raised
    bool m_deliveryQueued = false;
    bool m_inEvent = false;     // a handler is running
};

// The open device `fd` is the terminal side of a pseudo-terminal.
bool isPseudoTerminalDevice(int fd);

// The message of a port that could not be opened, `text`, with a line for the operator
// where it helps: the group that gives access to the device and how to join it, or that
// the device is not a serial port.
QString withPortOpenAdvice(const QString &text, const SerialChannelError &error);
// That line alone for `device` and the errno `systemError` that kept it shut; empty
// where there is nothing to advise.
QString portOpenAdvice(const QString &device, int systemError);

} // namespace zk
