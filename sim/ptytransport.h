#pragma once
// The virtual meter's line: the master side of a pseudo-terminal.
//
// Telling the ninth bit: a pty carries no parity bit, so the meter reads the line
// settings the program has put on the terminal at the moment bytes arrive (tcgetattr
// on the master reports the slave's settings). CMSPAR with PARODD is MARK (an address
// byte), CMSPAR without PARODD or no CMSPAR is SPACE (frame bytes). The pty driver
// clears PARENB, so only CMSPAR and PARODD are tested. Limits: everything read in one
// batch is taken with the setting seen at that read. A program that waits for the
// acknowledgement before switching to SPACE (as the protocol requires) is always told
// apart correctly; one that writes the address byte, switches parity and writes the
// frame without waiting may have the address byte read as SPACE. Only the setting at
// read time is seen, never the setting at write time.
//
// Closing and reopening: the master stays open for the whole run. Every close of the
// slave device is seen through inotify (even a close followed at once by a reopen,
// which a hang-up alone would miss): the meter then ends its session and drops queued
// output. While no program has the slave open the master reports a hang-up, so the
// master is left out of poll() then and checked every 50 ms for the port to reopen.

#include "sim/meterprotocol.h"

#include <QList>
#include <QString>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <vector>

namespace zk::sim {

class PtyTransport
{
public:
    explicit PtyTransport(MeterProtocol &protocol);
    ~PtyTransport();
    PtyTransport(const PtyTransport &) = delete;
    PtyTransport &operator=(const PtyTransport &) = delete;

    // Creates the pseudo-terminal (raw, 8 data bits, 4800 bit/s) and publishes its
    // device as a symbolic link at `linkPath` (replacing a stale link there).
    bool open(const QString &linkPath, QString *error);
    // Removes the link (when it still points at this terminal) and closes the master.
    void close();

    QString devicePath() const { return m_device; }
    QString linkPath() const { return m_link; }

    // Another meter on the same line (RS-485): it hears every byte and answers at its
    // own address. The transport does not own it.
    void addMeter(MeterProtocol &protocol);

    void setTurnaroundMs(int ms) { m_turnaroundMs = ms; }
    // Takes in each received byte only once its wire time at the terminal's speed has
    // passed since the previous one (a pseudo-terminal hands over the program's bytes at
    // once), so that an exchange lasts as long as on a real line both ways.
    void setPaceInput(bool on) { m_paceInput = on; }
    // Receives a line for every byte moved and every line event (for --trace).
    void setTrace(std::function<void(const QString &)> trace) { m_trace = std::move(trace); }

    // One turn of the loop: waits at most `timeoutMs` for line input, output that falls
    // due, or input on one of `watchFds`; serves the line; returns the readable fds of
    // `watchFds` (a closed one counts as readable).
    QList<int> step(int timeoutMs, const QList<int> &watchFds);

    // Line speed set on the terminal, in bit/s (0 when unknown).
    int baudRate() const;
    bool portOpen() const { return !m_hungUp; }
    // Bytes of replies not yet on the line (a held-back or split reply among them).
    int pendingBytes() const { return int(m_pending.size()); }

private:
    using Clock = std::chrono::steady_clock;

    void readLine();
    void deliver(const QByteArray &bytes, Ninth ninth);
    void takeIn(Clock::time_point now);
    std::chrono::microseconds byteTime() const;
    void schedule(const QList<Transmission> &pieces);
    void writeDue();
    void hangUp();
    void portClosed();
    void readDeviceEvents();
    void trace(const QString &text);

    std::vector<MeterProtocol *> m_meters;
    int m_master = -1;
    int m_events = -1; // inotify on the slave device
    QString m_device;
    QString m_link;
    int m_turnaroundMs = 10;
    bool m_hungUp = false;
    std::multimap<Clock::time_point, char> m_pending;
    struct Incoming {
        Clock::time_point at; // when its last bit has come in
        char byte;
        Ninth ninth;
    };
    bool m_paceInput = false;
    std::deque<Incoming> m_incoming;
    Clock::time_point m_lineFreeAt; // the end of the last byte taken in
    std::function<void(const QString &)> m_trace;
};

} // namespace zk::sim
