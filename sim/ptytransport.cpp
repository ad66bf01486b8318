#include "sim/ptytransport.h"

#include "sim/linespeed.h"

#include <QFile>
#include <QFileInfo>
#include <QTime>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace zk::sim {

namespace {

constexpr int kHangUpPollMs = 50;
constexpr int kBitsPerCharacter = 11; // start, 8 data, ninth bit, stop

QString hex(const QByteArray &bytes, char ninth)
{
    QString out;
    for (char c : bytes) {
        if (!out.isEmpty())
            out += QLatin1Char(' ');
        out += QStringLiteral("%1%2").arg(quint8(c), 2, 16, QLatin1Char('0')).toUpper().arg(QLatin1Char(ninth));
    }
    return out;
}

} // namespace

PtyTransport::PtyTransport(MeterProtocol &protocol)
    : m_meters{&protocol}
{
}

void PtyTransport::addMeter(MeterProtocol &protocol)
{
    m_meters.push_back(&protocol);
}

// Every meter on the line hears every byte; the one addressed answers.
void PtyTransport::deliver(const QByteArray &bytes, Ninth ninth)
{
    for (MeterProtocol *meter : m_meters) {
        meter->receive(bytes, ninth);
        schedule(meter->takeOutput());
    }
}

PtyTransport::~PtyTransport()
{
    close();
}

void PtyTransport::trace(const QString &text)
{
    if (m_trace)
        m_trace(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz ")) + text);
}

bool PtyTransport::open(const QString &linkPath, QString *error)
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        *error = QStringLiteral("cannot create a pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        close();
        return false;
    }
    m_device = QString::fromLocal8Bit(ptsname(m_master));

    termios t{};
    if (tcgetattr(m_master, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CREAD | CLOCAL;
        cfsetispeed(&t, B4800);
        cfsetospeed(&t, B4800);
        tcsetattr(m_master, TCSANOW, &t);
    }

    const QByteArray link = QFile::encodeName(linkPath);
    const QFileInfo existing(linkPath);
    if (existing.isSymLink()) {
        ::unlink(link.constData());
    } else if (existing.exists()) {
        *error = QStringLiteral("%1 exists and is not a symbolic link").arg(linkPath);
        close();
        return false;
    }
    if (::symlink(QFile::encodeName(m_device).constData(), link.constData()) != 0) {
        *error = QStringLiteral("cannot create %1: %2").arg(linkPath, QString::fromLocal8Bit(strerror(errno)));
        close();
        return false;
    }
    m_link = linkPath;
    m_hungUp = false;
    // Without inotify the hang-up alone tells that the port was closed.
    m_events = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_events >= 0
        && inotify_add_watch(m_events, QFile::encodeName(m_device).constData(),
                             IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(m_events);
        m_events = -1;
    }
    return true;
}

void PtyTransport::close()
{
    if (!m_link.isEmpty()) {
        if (QFileInfo(m_link).symLinkTarget() == m_device)
            ::unlink(QFile::encodeName(m_link).constData());
        m_link.clear();
    }
    if (m_events >= 0)
        ::close(m_events);
    m_events = -1;
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
    m_pending.clear();
    m_incoming.clear();
}

int PtyTransport::baudRate() const
{
    return lineSpeed(m_master);
}

void PtyTransport::portClosed()
{
    m_pending.clear();
    m_incoming.clear();
    for (MeterProtocol *meter : m_meters)
        meter->lineClosed();
    trace(QStringLiteral("port closed"));
}

void PtyTransport::hangUp()
{
    if (m_hungUp)
        return;
    m_hungUp = true;
    tcflush(m_master, TCIOFLUSH);
    // Nobody is listening: what was due to go out is lost, and must not keep the loop
    // waking up for it until the port is opened again.
    m_pending.clear();
    m_incoming.clear();
    if (m_events < 0)
        portClosed();
}

void PtyTransport::readDeviceEvents()
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_events, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
                portClosed();
            else if (e->mask & IN_OPEN)
                trace(QStringLiteral("port opened"));
            at += ssize_t(sizeof(inotify_event)) + e->len;
        }
    }
}

void PtyTransport::readLine()
{
    // The ninth bit of what just arrived is the parity the program has set now.
    termios t{};
    const bool haveSettings = tcgetattr(m_master, &t) == 0;
    const bool mark = haveSettings && (t.c_cflag & CMSPAR) && (t.c_cflag & PARODD);

    QByteArray bytes;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EIO)
            hangUp();
        break;
    }
    if (bytes.isEmpty())
        return;
    trace(QStringLiteral("rx ") + hex(bytes, mark ? 'M' : 'S'));
    if (!m_paceInput) {
        deliver(bytes, mark ? Ninth::Mark : Ninth::Space);
        return;
    }
    const auto now = Clock::now();
    const auto perByte = byteTime();
    for (char c : bytes) {
        m_lineFreeAt = std::max(now, m_lineFreeAt) + perByte;
        m_incoming.push_back(Incoming{m_lineFreeAt, c, mark ? Ninth::Mark : Ninth::Space});
    }
}

// Hands the paced bytes whose time has come to the meter, in runs of one ninth bit.
void PtyTransport::takeIn(Clock::time_point now)
{
    while (!m_incoming.empty() && m_incoming.front().at <= now) {
        const Ninth ninth = m_incoming.front().ninth;
        QByteArray run;
        while (!m_incoming.empty() && m_incoming.front().at <= now && m_incoming.front().ninth == ninth) {
            run.append(m_incoming.front().byte);
            m_incoming.pop_front();
        }
        deliver(run, ninth);
    }
}

std::chrono::microseconds PtyTransport::byteTime() const
{
    const int baud = baudRate();
    return std::chrono::microseconds(baud > 0 ? kBitsPerCharacter * 1000000LL / baud : 0);
}

void PtyTransport::schedule(const QList<Transmission> &pieces)
{
    if (pieces.isEmpty() || m_hungUp)
        return;
    const auto perByte = byteTime();
    auto at = Clock::now() + std::chrono::milliseconds(m_turnaroundMs);
    for (const Transmission &piece : pieces) {
        at += std::chrono::milliseconds(piece.gapMs);
        for (char c : piece.bytes) {
            at += perByte; // a character is there once its last bit is
            m_pending.emplace(at, c);
        }
    }
}

void PtyTransport::writeDue()
{
    const auto now = Clock::now();
    QByteArray due;
    auto it = m_pending.begin();
    while (it != m_pending.end() && it->first <= now) {
        due.append(it->second);
        it = m_pending.erase(it);
    }
    if (due.isEmpty())
        return;
    int written = 0;
    while (written < due.size()) {
        const ssize_t n = ::write(m_master, due.constData() + written, size_t(due.size() - written));
        if (n > 0) {
            written += int(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break; // the program is not reading: what does not fit is lost, as on a wire
        }
    }
    trace(QStringLiteral("tx ") + hex(due.left(written), 'S'));
}

QList<int> PtyTransport::step(int timeoutMs, const QList<int> &watchFds)
{
    std::vector<pollfd> fds;
    for (int fd : watchFds)
        fds.push_back(pollfd{fd, POLLIN, 0});
    if (m_events >= 0)
        fds.push_back(pollfd{m_events, POLLIN, 0});
    const bool lineWatched = m_master >= 0 && !m_hungUp;
    if (lineWatched)
        fds.push_back(pollfd{m_master, POLLIN, 0});

    // Microseconds: output and paced input fall due between milliseconds.
    std::chrono::microseconds wait = std::chrono::milliseconds(std::max(timeoutMs, 0));
    const auto waitUntil = [&wait](Clock::time_point at) {
        const auto until = std::chrono::ceil<std::chrono::microseconds>(at - Clock::now());
        wait = std::clamp(until, std::chrono::microseconds(0), wait);
    };
    if (!m_pending.empty())
        waitUntil(m_pending.begin()->first);
    if (!m_incoming.empty())
        waitUntil(m_incoming.front().at);
    if (!lineWatched && m_master >= 0) // look again soon for the port to reopen
        wait = std::min<std::chrono::microseconds>(wait, std::chrono::milliseconds(kHangUpPollMs));

    const timespec timeout{time_t(wait.count() / 1000000), long(wait.count() % 1000000) * 1000};
    const int ready = ::ppoll(fds.data(), nfds_t(fds.size()), &timeout, nullptr);
    QList<int> readable;
    if (ready > 0) {
        // An fd that is not open (POLLNVAL) counts as readable too: the caller's read
        // fails and it stops watching, rather than poll() returning at once for ever.
        for (size_t i = 0; i < size_t(watchFds.size()); ++i)
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
                readable.append(fds[i].fd);
        // Opens and closes first: bytes that came after a reopen belong to the new
        // connection.
        if (m_events >= 0 && (fds[size_t(watchFds.size())].revents & POLLIN))
            readDeviceEvents();
        if (lineWatched) {
            const short revents = fds.back().revents;
            if (revents & POLLIN)
                readLine();
            if ((revents & (POLLHUP | POLLERR)) && !(revents & POLLIN))
                hangUp();
        }
    }

    if (m_hungUp && m_master >= 0) {
        pollfd probe{m_master, POLLIN, 0};
        if (::poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP)) {
            m_hungUp = false;
            if (m_events < 0)
                trace(QStringLiteral("port opened"));
        }
    }
    if (!m_hungUp) {
        takeIn(Clock::now());
        writeDue();
    }
    return readable;
}

} // namespace zk::sim
