#include "link/serialchannel.h"

#include "link/portmap.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTimer>

// The kernel's own termios interface (termios2) instead of <termios.h>: one ioctl
// sets every line setting, any rate included, and glibc's struct termios must not
// be mixed with it in one file.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/timerfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace zk {

const QString SerialChannel::PortOpenText = QStringLiteral("Can't perform this operation while port is open");

namespace {

const char *const WriteErrorText = "Write error (%1), %2";
const char *const ReadErrorText = "Read error (%1), %2";
const char *const StatisticsErrorText = "Error retrieving statistics (%1), %2";
const char *const CommFunctionErrorText = "Error calling comm function (%1), %2";
const char *const ModemStateErrorText = "Error reading modem state (%1), %2";
const char *const DcbErrorText = "Error writing dcb (%1), %2";

// Pending device events, delivered in this order.
enum Event { EvRxChar = 1, EvTxEmpty = 2, EvBreak = 4 };

QString systemText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

[[noreturn]] void fail(const char *text, int err)
{
    throw SerialChannelError(QString::fromLatin1(text).arg(QString::number(err), systemText(err)), err);
}

int rateOf(SerialChannel::Baudrate b)
{
    static const int rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                19200, 38400, 56000, 57600, 115200, 128000, 256000};
    const int i = int(b);
    return (i >= 0 && i < int(sizeof rates / sizeof rates[0])) ? rates[i] : 0;
}

// The 11-bit time of one character at `rate`, in microseconds.
qint64 charMicros(int rate)
{
    return rate > 0 ? 11 * 1000000LL / rate + 1 : 10000;
}

} // namespace

bool isPseudoTerminalDevice(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned int major = major(st.st_rdev);
    // Unix98 pty slaves use majors 136..143; the old BSD pty slaves use 3.
    return (major >= 136 && major <= 143) || major == 3;
}

SerialChannel::SerialChannel(QObject *parent)
    : QObject(parent)
{
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    m_retry->setInterval(500);
    connect(m_retry, &QTimer::timeout, this, [this] {
        m_hungUp = false;
        enableReader();
    });
    m_drain = new QTimer(this);
    m_drain->setInterval(10);
    connect(m_drain, &QTimer::timeout, this, &SerialChannel::continueOutput);
}

SerialChannel::~SerialChannel()
{
    close();
    delete m_reader;
    if (m_gatherFd >= 0)
        ::close(m_gatherFd);
    if (m_pollFd >= 0)
        ::close(m_pollFd);
}

// One epoll set holds the device and the end of a wait, so that leaving the device
// unwatched and watching it again are one system call each: Qt's event dispatcher wakes
// its loop for every notifier switched off or on. The wait is timed by the kernel, as a
// Qt timer counts whole milliseconds and every one it rounds up holds a reply back.
// Made by the first open; 0, or the error that kept them from being made (the next open
// tries again).
int SerialChannel::makeWatch()
{
    if (m_reader)
        return 0;
    if (m_pollFd < 0)
        m_pollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_pollFd < 0)
        return errno;
    if (m_gatherFd < 0)
        m_gatherFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_gatherFd < 0)
        return errno;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_gatherFd;
    if (::epoll_ctl(m_pollFd, EPOLL_CTL_ADD, m_gatherFd, &ev) != 0)
        return errno;
    m_reader = new QSocketNotifier(qintptr(m_pollFd), QSocketNotifier::Read, this);
    m_reader->setEnabled(false);
    connect(m_reader, &QSocketNotifier::activated, this, &SerialChannel::onActivity);
    return 0;
}

void SerialChannel::refuseWhileOpen() const
{
    if (isOpen())
        throw SerialChannelError(PortOpenText);
}

void SerialChannel::setPortNum(int portNum)
{
    refuseWhileOpen();
    m_portNum = portNum;
}

void SerialChannel::setDeviceName(const QString &nameTemplate)
{
    refuseWhileOpen();
    m_deviceName = nameTemplate;
}

QString SerialChannel::formattedDeviceName() const
{
    QString name = m_deviceName;
    const int at = name.indexOf(QLatin1String("%d"));
    if (at >= 0)
        name.replace(at, 2, QString::number(m_portNum));
    return name;
}

void SerialChannel::setBuffers(const Buffers &buffers)
{
    refuseWhileOpen();
    m_buffers = buffers;
}

void SerialChannel::setBaudrate(Baudrate baudrate)
{
    if (baudrate == m_baudrate)
        return;
    m_baudrate = baudrate;
    if (baudrate != brUser)
        m_userBaudrate = 0;
    if (isOpen())
        applyLineSettings(false);
}

void SerialChannel::setUserBaudrate(int rate)
{
    if (rate == m_userBaudrate)
        return;
    m_userBaudrate = rate;
    m_baudrate = brUser;
    if (isOpen())
        applyLineSettings(false);
}

int SerialChannel::effectiveBaudrate() const
{
    return m_baudrate == brUser ? m_userBaudrate : rateOf(m_baudrate);
}

void SerialChannel::setParity(Parity parity)
{
    if (parity == m_parity)
        return;
    m_parity = parity;
    if (isOpen())
        applyLineSettings(false);
}

void SerialChannel::setWakeThreshold(int bytes)
{
    m_wakeThreshold = std::clamp(bytes, 1, 255);
    if (m_gathering && int(m_in.size()) >= m_wakeThreshold) {
        stopGathering();
        enableReader();
        postEvent(0);
    }
}

bool SerialChannel::gathering() const
{
    return m_gathering;
}

// Called with fresh bytes in m_in: when fewer than the threshold are in, the device is
// left unwatched for the time the missing ones take on the line, and nothing is
// reported yet. Every byte costs the watcher a wake-up otherwise.
bool SerialChannel::startGathering()
{
    const int missing = m_wakeThreshold - int(m_in.size());
    if (missing <= 0 || m_full || m_hungUp || !isOpen())
        return false;
    // An eighth of a character more, for a sender whose clock runs a little slow.
    const qint64 character = charMicros(effectiveBaudrate());
    const qint64 micros = missing * character + character / 8;
    itimerspec at{};
    at.it_value.tv_sec = time_t(micros / 1000000);
    at.it_value.tv_nsec = long(micros % 1000000) * 1000;
    if (::timerfd_settime(m_gatherFd, 0, &at, nullptr) != 0)
        return false;
    m_gathering = true;
    watchDevice(false);
    return true;
}

void SerialChannel::stopGathering()
{
    if (!m_gathering)
        return;
    m_gathering = false;
    // Disarming also clears an expiry not yet read.
    const itimerspec off{};
    ::timerfd_settime(m_gatherFd, 0, &off, nullptr);
}

void SerialChannel::gatheringDone()
{
    quint64 expired = 0;
    if (::read(m_gatherFd, &expired, sizeof expired) < 0 && errno == EAGAIN)
        return; // stopped meanwhile
    m_gathering = false;
    // A handler running an event loop of its own: its delivery loop re-enables the
    // reader and raises what is pending once it returns.
    if (!isOpen() || m_inEvent)
        return;
    // A device error shows once the reader looks again.
    fetchInput();
    enableReader();
    deliverEvents();
}

void SerialChannel::setFlowControl(const FlowControl &flow)
{
    if (flow == m_flow)
        return;
    m_flow = flow;
    if (isOpen())
        applyLineSettings(true);
}

// Applies every line setting as one block. Raw binary mode, no echo, no signals, no
// XON/XOFF; a read returns at once with whatever waits; received bytes are not
// parity-checked. PARMRK makes the kernel report a break as "\377 \0 \0" in the data
// (and a real \377 as "\377 \377"); decodeInput() takes the marks out again.
// TCSETSW2 waits for pending output to drain first, so a parity switch never changes
// the ninth bit of a byte already written.
void SerialChannel::applyLineSettings(bool setModemLines)
{
    // The device's settings are read once a session: nobody else changes them while
    // the port is held exclusively, and the parity switches twice an exchange.
    struct termios2 t;
    if (m_termios.size() == qsizetype(sizeof t))
        std::memcpy(&t, m_termios.constData(), sizeof t);
    else if (::ioctl(m_fd, TCGETS2, &t) != 0)
        fail(DcbErrorText, errno);

    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | IGNPAR | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC
                           | IXON | IXANY | IXOFF | IMAXBEL | IUTF8);
    t.c_iflag |= PARMRK;
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | IEXTEN
                           | NOFLSH | TOSTOP);
    // Reads never block (the device is non-blocking) and return at once with what waits.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;

    t.c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CREAD | CLOCAL | HUPCL;

    switch (m_databits) {
    case db4: fail(DcbErrorText, EINVAL); // the kernel has no 4-bit characters
    case db5: t.c_cflag |= CS5; break;
    case db6: t.c_cflag |= CS6; break;
    case db7: t.c_cflag |= CS7; break;
    case db8: t.c_cflag |= CS8; break;
    }
    switch (m_stopbits) {
    case sb1: break;
    case sb15:
        // One and a half stop bits exist only for 5-bit characters (CSTOPB there).
        if (m_databits != db5)
            fail(DcbErrorText, EINVAL);
        t.c_cflag |= CSTOPB;
        break;
    case sb2: t.c_cflag |= CSTOPB; break;
    }
    switch (m_parity) {
    case Parity::None: break;
    case Parity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case Parity::Even: t.c_cflag |= PARENB; break;
    case Parity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case Parity::Space: t.c_cflag |= PARENB | CMSPAR; break;
    }
    if (m_flow.controlRts == rtsHandshake)
        t.c_cflag |= CRTSCTS;

    const int rate = effectiveBaudrate();
    if (rate <= 0)
        fail(DcbErrorText, EINVAL);
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = speed_t(rate);
    t.c_ospeed = speed_t(rate);

    if (::ioctl(m_fd, TCSETSW2, &t) != 0) {
        m_termios.clear(); // read them again next time: a failed call may have applied a part
        fail(DcbErrorText, errno);
    }
    m_termios = QByteArray(reinterpret_cast<const char *>(&t), qsizetype(sizeof t));

    if (setModemLines && !m_pty) {
        setModemLine(TIOCM_DTR, m_flow.controlDtr == dtrEnabled, DcbErrorText);
        if (m_flow.controlRts != rtsHandshake)
            setModemLine(TIOCM_RTS, m_flow.controlRts == rtsEnabled, DcbErrorText);
    }
}

void SerialChannel::setModemLine(int bit, bool on, const char *errorText)
{
    int bits = bit;
    if (::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0)
        fail(errorText, errno);
}

void SerialChannel::open()
{
    refuseWhileOpen();
    const QString name = formattedDeviceName();
    const QString notFound = QStringLiteral("Specified device not found (%1).").arg(name);
    QString path;
    const auto cantOpen = [&name, &path](int err) {
        return SerialChannelError(QStringLiteral("Can't open specified device %1 (Error %2, %3)")
                                      .arg(name, QString::number(err), systemText(err)),
                                  err, path);
    };

    if (const int err = makeWatch())
        throw cantOpen(err);

    if (const int n = portNumberOfName(name); n > 0)
        path = devicePathForPort(n);
    else if (name.startsWith(u'/'))
        path = name;
    if (path.isEmpty())
        throw SerialChannelError(notFound);

    const QByteArray encoded = path.toLocal8Bit();
    const int fd = ::open(encoded.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENODEV || err == ENXIO)
            throw SerialChannelError(notFound);
        throw cantOpen(err);
    }
    // Unshared: TIOCEXCL keeps other programs out (root excepted); the lock also
    // keeps out a second opener in this program or any root process that locks.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        throw cantOpen(err);
    }
    ::ioctl(fd, TIOCEXCL);

    m_fd = fd;
    m_pty = isPseudoTerminalDevice(fd);
    m_wakeThreshold = 1;
    // Gives the device back when the session cannot start.
    const auto release = [this, fd] {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        m_fd = -1;
        m_termios.clear();
    };
    try {
        applyLineSettings(true);
    } catch (const SerialChannelError &e) {
        release();
        throw SerialChannelError(e.text(), e.systemError(), path);
    } catch (...) {
        release();
        throw;
    }
    // Bytes that arrived before the port was ours are not part of any exchange.
    ::ioctl(fd, TCFLSH, TCIFLUSH);
    m_deviceWatched = false;
    watchDevice(true);
    if (!m_deviceWatched) {
        const int err = errno;
        release();
        throw cantOpen(err);
    }

    ++m_generation;
    m_in.clear();
    m_out.clear();
    m_markState = 0;
    m_pending = 0;
    m_full = m_hungUp = false;
    enableReader();
    emit opened();
}

void SerialChannel::close()
{
    if (!isOpen())
        return;
    m_drain->stop();
    stopGathering();
    m_retry->stop();
    watchDevice(false);
    m_reader->setEnabled(false);
    // Unsent output would make the kernel hold close() until it drains.
    ::ioctl(m_fd, TCFLSH, TCIOFLUSH);
    ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    m_fd = -1;
    m_termios.clear();
    ++m_generation;
    m_in.clear();
    m_out.clear();
    m_pending = 0;
    m_markState = 0;
    // No settling waits: nothing runs in the background, and the device (and its
    // lock) is free again as soon as ::close returns.
    emit closed();
}

// ---- output --------------------------------------------------------------------

bool SerialChannel::writeBytes(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    if (bytes.isEmpty())
        return true;
    if (m_flow.controlRts == rtsToggle && !m_pty)
        setModemLine(TIOCM_RTS, true, WriteErrorText);
    m_out.append(bytes);
    const QDeadlineTimer deadline(m_buffers.readTimeout);
    if (!flushOutput(deadline)) {
        // Not cancelled: the rest goes out from the event loop, then txEmpty.
        m_drain->start();
        return false;
    }
    m_drain->stop();
    finishOutput();
    return true;
}

// Hands m_out to the kernel and waits until the transmitter is idle, at most until
// `deadline`. True once everything has left.
bool SerialChannel::flushOutput(const QDeadlineTimer &deadline)
{
    for (;;) {
        while (!m_out.isEmpty()) {
            const ssize_t n = ::write(m_fd, m_out.constData(), size_t(m_out.size()));
            if (n > 0) {
                m_out.remove(0, qsizetype(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN) {
                const int err = errno;
                m_out.clear();
                fail(WriteErrorText, err);
            }
            if (deadline.hasExpired())
                return false;
            pollfd pfd{m_fd, POLLOUT, 0};
            const qint64 left = deadline.remainingTime(); // -1: no limit
            ::poll(&pfd, 1, int(left < 0 ? 50 : std::min<qint64>(left, 50)));
        }
        int queued = 0;
        if (::ioctl(m_fd, TIOCOUTQ, &queued) != 0)
            fail(WriteErrorText, errno);
        if (queued <= 0) {
            // The kernel queue is empty; wait for the UART's FIFO and shift register.
            if (::ioctl(m_fd, TCSBRK, 1) != 0 && errno != EINTR)
                fail(WriteErrorText, errno);
            return true;
        }
        if (deadline.hasExpired())
            return false;
        // Sleep about as long as the queued characters take, in short steps.
        qint64 micros = std::min<qint64>(queued * charMicros(effectiveBaudrate()), 20000);
        if (!deadline.isForever())
            micros = std::min<qint64>(micros, deadline.remainingTime() * 1000 + 500);
        ::usleep(useconds_t(std::max<qint64>(micros, 500)));
    }
}

void SerialChannel::continueOutput()
{
    if (!isOpen()) {
        m_drain->stop();
        return;
    }
    bool done = false;
    try {
        done = flushOutput(QDeadlineTimer(0));
    } catch (const SerialChannelError &) {
        // Nobody waits for this write any more; like a failed background transfer
        // it simply ends.
        m_out.clear();
        done = true;
    }
    if (!done)
        return;
    m_drain->stop();
    try {
        finishOutput();
    } catch (const SerialChannelError &) {
    }
}

void SerialChannel::finishOutput()
{
    if (m_flow.controlRts == rtsToggle && !m_pty)
        setModemLine(TIOCM_RTS, false, WriteErrorText);
    postEvent(EvTxEmpty);
}

// ---- input ---------------------------------------------------------------------

QByteArray SerialChannel::readAvailable()
{
    if (!isOpen())
        fail(StatisticsErrorText, EBADF);
    int waiting = 0;
    if (::ioctl(m_fd, FIONREAD, &waiting) != 0)
        fail(StatisticsErrorText, errno);
    if (waiting > 0) {
        QByteArray raw(waiting, Qt::Uninitialized);
        const ssize_t n = ::read(m_fd, raw.data(), size_t(waiting));
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            fail(ReadErrorText, errno);
        if (n > 0)
            decodeInput(raw.constData(), int(n));
    }
    QByteArray out;
    out.swap(m_in);
    if (m_full) {
        m_full = false;
        enableReader();
    }
    return out;
}

// Moves what the device holds into m_in, up to the receive buffer size. Returns the
// number of raw bytes taken, or -errno.
int SerialChannel::fetchInput()
{
    char raw[4096];
    int taken = 0;
    for (;;) {
        const int room = m_buffers.readSize - int(m_in.size());
        if (room <= 0) {
            // The rest stays in the device until the program reads.
            m_full = true;
            return taken;
        }
        // No count first: a read returns what waits, 0 when nothing does, and a
        // device whose other end is gone (a pseudo-terminal's) answers EIO.
        const int ask = std::min(room, int(sizeof raw));
        const ssize_t n = ::read(m_fd, raw, size_t(ask));
        if (n < 0) {
            const int err = errno;
            if (taken > 0 || err == EAGAIN || err == EINTR)
                return taken;
            return -err;
        }
        decodeInput(raw, int(n));
        taken += n;
        if (n < ask)
            return taken;
    }
}

void SerialChannel::decodeInput(const char *data, int size)
{
    const qsizetype before = m_in.size();
    for (int i = 0; i < size; ++i) {
        const char c = data[i];
        switch (m_markState) {
        case 0:
            if (c == '\377')
                m_markState = 1;
            else
                m_in.append(c);
            break;
        case 1:
            if (c == '\0') {
                m_markState = 2;
            } else {
                // "\377 \377" is one \377; anything else is not a mark.
                if (c != '\377')
                    m_in.append('\377');
                m_in.append(c);
                m_markState = 0;
            }
            break;
        default:
            if (c == '\0')
                m_pending |= EvBreak;
            else
                m_in.append(c); // a character marked as damaged: kept, as no parity check is asked for
            m_markState = 0;
            break;
        }
    }
    if (m_in.size() > before)
        m_pending |= EvRxChar;
    if (m_pending & EvBreak)
        postEvent(0);
}

void SerialChannel::onActivity()
{
    if (!isOpen())
        return;
    if (m_inEvent) {
        // A handler runs an event loop of its own (a message box): what comes waits until
        // it has returned. The reader stays on otherwise, as switching it off and on
        // for every event costs more than the event.
        m_reader->setEnabled(false);
        return;
    }
    epoll_event ready[2];
    const int n = ::epoll_wait(m_pollFd, ready, 2, 0);
    bool timeUp = false;
    bool device = false;
    for (int i = 0; i < n; ++i) {
        if (ready[i].data.fd == m_gatherFd)
            timeUp = true;
        else
            device = true;
    }
    // The end of a wait first: it reads the device too, and watches it again.
    if (timeUp)
        gatheringDone();
    else if (device)
        onReadable();
}

void SerialChannel::onReadable()
{
    const int got = fetchInput();
    if (got < 0 || (got == 0 && !m_full)) {
        // Woken without data: a hang-up (the other end of a pseudo-terminal closed, a
        // USB adapter pulled) keeps the device readable forever. Look again later.
        pollfd pfd{m_fd, POLLIN, 0};
        if (got < 0 || (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)))) {
            m_hungUp = true;
            m_retry->start();
        }
    }
    if (got > 0 && startGathering())
        return;
    enableReader();
    deliverEvents();
}

void SerialChannel::enableReader()
{
    if (!isOpen())
        return;
    watchDevice(!m_full && !m_hungUp && !m_gathering);
    m_reader->setEnabled(true);
}

void SerialChannel::watchDevice(bool on)
{
    if (on == m_deviceWatched || !isOpen())
        return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_fd;
    if (::epoll_ctl(m_pollFd, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, m_fd, &ev) == 0)
        m_deviceWatched = on;
}

// ---- events --------------------------------------------------------------------

void SerialChannel::postEvent(int event)
{
    m_pending |= event;
    // Raised while a handler runs (the end of a write it made, say): the delivery loop
    // that runs the handler raises it next, without a round through the event loop.
    if (m_deliveryQueued || m_inEvent)
        return;
    m_deliveryQueued = true;
    // Whatever is pending when this runs belongs to the session open then: close()
    // and open() both drop the pending events, so nothing of a closed session is
    // raised, and events of a session opened meanwhile are not left waiting.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_deliveryQueued = false;
            deliverEvents();
        },
        Qt::QueuedConnection);
}

// Raises the pending events, one handler at a time: received bytes, transmitter
// empty, break. While a handler runs no other device event is delivered; what comes
// meanwhile follows once it has returned. A handler may close the channel (and open it again).
void SerialChannel::deliverEvents()
{
    if (m_inEvent || !isOpen() || !m_pending)
        return;
    const quint64 generation = m_generation;
    m_inEvent = true;
    struct Restore {
        SerialChannel *self;
        ~Restore()
        {
            self->m_inEvent = false;
            // Also after a handler that closed the port and opened it again: the
            // new session's reader was left off while the handler ran.
            self->enableReader();
            // Left by a handler that threw, or raised while one ran (a close
            // drops them, so they always belong to the session open now).
            if (self->m_pending)
                self->postEvent(0);
        }
    } restore{this};

    while (m_pending && generation == m_generation) {
        if (m_pending & EvRxChar) {
            m_pending &= ~EvRxChar;
            if (!m_in.isEmpty())
                emit rxChar(int(m_in.size()));
        } else if (m_pending & EvTxEmpty) {
            m_pending &= ~EvTxEmpty;
            emit txEmpty();
        } else if (m_pending & EvBreak) {
            m_pending &= ~EvBreak;
            emit breakReceived();
        }
    }
}

// ---- modem lines ---------------------------------------------------------------

void SerialChannel::setRts(bool raised)
{
    if (m_flow.controlRts == rtsHandshake || m_flow.controlRts == rtsToggle)
        throw SerialChannelError(
            QStringLiteral("RTS line updates not allowed when flowcontrol is set to Handshake or Toggle."));
    if (!isOpen())
        fail(CommFunctionErrorText, EBADF);
    if (m_pty)
        return; // a pseudo-terminal has no modem lines
    setModemLine(TIOCM_RTS, raised, CommFunctionErrorText);
}

bool SerialChannel::isModemLineOn(ModemLine line)
{
    if (!isOpen())
        fail(ModemStateErrorText, EBADF);
    if (m_pty)
        return false;
    int bits = 0;
    if (::ioctl(m_fd, TIOCMGET, &bits) != 0)
        fail(ModemStateErrorText, errno);
    switch (line) {
    case Cts: return bits & TIOCM_CTS;
    case Dsr: return bits & TIOCM_DSR;
    case Ring: return bits & TIOCM_RI;
    case Rlsd: return bits & TIOCM_CD;
    }
    return false;
}

SerialChannel::ParityBits SerialChannel::deviceParity() const
{
    if (!isOpen())
        fail(DcbErrorText, EBADF);
    struct termios2 t;
    if (::ioctl(m_fd, TCGETS2, &t) != 0)
        fail(DcbErrorText, errno);
    ParityBits bits;
    bits.enabled = t.c_cflag & PARENB;
    bits.fixed = t.c_cflag & CMSPAR;
    bits.odd = t.c_cflag & PARODD;
    return bits;
}

QString portOpenAdvice(const QString &path, int systemError)
{
    const QByteArray device = path.toLocal8Bit();
    switch (systemError) {
    case EACCES:
    case EPERM: {
        struct stat st;
        if (device.isEmpty() || ::stat(device.constData(), &st) != 0)
            return QString();
        // Joining the group helps only when it is not root's and may read and write the device.
        if (st.st_gid == 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
            return QStringLiteral("Нет доступа к %1: доступ к нему не дает ни одна группа пользователей; "
                                  "обратитесь к администратору компьютера.")
                .arg(path);
        const group *g = ::getgrgid(st.st_gid);
        const QString name = g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
        return QStringLiteral("Нет доступа к %1: доступ дает группа %2. Добавьте себя в нее командой "
                              "sudo adduser $USER %2 и войдите в систему заново.")
            .arg(path, name);
    }
    case ENOTTY:
        return QStringLiteral("%1 - не последовательный порт (не терминал).").arg(path);
    default:
        return QString();
    }
}

QString withPortOpenAdvice(const QString &text, const SerialChannelError &error)
{
    const QString advice = portOpenAdvice(error.device(), error.systemError());
    return advice.isEmpty() ? text : text + QLatin1Char('\n') + advice;
}

} // namespace zk
