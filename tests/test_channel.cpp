// SerialChannel over a real pseudo-terminal pair, and the COM-port map.
// The test's side of the line is the pty master; the channel opens the slave through
// a map entry in the test's own preferences store.

#include "link/portmap.h"
#include "link/serialchannel.h"

#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace zk;

Q_DECLARE_METATYPE(zk::Parity)
Q_DECLARE_METATYPE(zk::SerialChannel::Baudrate)
Q_DECLARE_METATYPE(zk::SerialChannel::RtsControl)

namespace {

const int LinePort = 77;

// The master side of a pseudo-terminal; the slave is what the channel opens.
class Pty
{
public:
    Pty()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0)
            m_slave = QString::fromLocal8Bit(::ptsname(m_master));
    }
    ~Pty() { closeMaster(); }
    bool ok() const { return m_master >= 0 && !m_slave.isEmpty(); }
    QString slave() const { return m_slave; }
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    // The slave's line settings, as the other end sees them.
    termios2 attrs() const
    {
        termios2 t{};
        ::ioctl(m_master, TCGETS2, &t);
        return t;
    }
    void setAttrs(const termios2 &t) { ::ioctl(m_master, TCSETS2, &t); }
    int masterFd() const { return m_master; }

    bool write(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
            if (n < 0 && errno != EAGAIN)
                return false;
            if (n > 0)
                done += n;
            else
                QTest::qWait(5);
        }
        return true;
    }
    // Whatever the master can read now.
    QByteArray readNow()
    {
        QByteArray out;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, n);
        }
        return out;
    }
    // Reads until `count` bytes came or `ms` passed, running the event loop meanwhile.
    QByteArray read(qsizetype count, int ms = 5000)
    {
        QByteArray out;
        QDeadlineTimer deadline(ms);
        while (out.size() < count && !deadline.hasExpired()) {
            out += readNow();
            if (out.size() < count)
                QTest::qWait(2);
        }
        return out;
    }

private:
    int m_master = -1;
    QString m_slave;
};

QString errorOf(const std::function<void()> &call, QString *message = nullptr)
{
    try {
        call();
    } catch (const SerialChannelError &e) {
        if (message)
            *message = withPortOpenAdvice(QStringLiteral("Ошибка"), e);
        return e.text();
    }
    return QString();
}

QString sysText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// Runs the event loop for `ms` and returns the share of it this thread spent on the CPU.
double threadCpuShare(int ms)
{
    const auto micros = [] {
        rusage u{};
        ::getrusage(RUSAGE_THREAD, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
    };
    const qint64 before = micros();
    QElapsedTimer wall;
    wall.start();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return double(micros() - before) / double(std::max<qint64>(wall.nsecsElapsed() / 1000, 1));
}

QByteArray allByteValues()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    return bytes;
}

} // namespace

class TestChannel : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Pty> m_pty;

    // A channel on the test's pty, at its start settings.
    std::unique_ptr<SerialChannel> lineChannel()
    {
        auto ch = std::make_unique<SerialChannel>();
        ch->setPortNum(LinePort);
        return ch;
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        setPortMapStore(QStringLiteral("ZkTest"), QStringLiteral("test_channel"));
        QSettings settings(portMapOrganisation(), portMapApplication());
        // Never the user's own preferences.
        QVERIFY2(settings.fileName().contains(QLatin1String("qttest")), qPrintable(settings.fileName()));
        settings.remove(QStringLiteral("Ports"));
        settings.sync();
    }

    void init()
    {
        m_pty = std::make_unique<Pty>();
        QVERIFY(m_pty->ok());
        mapPort(LinePort, m_pty->slave());
    }

    void cleanup()
    {
        m_pty.reset();
        QSettings(portMapOrganisation(), portMapApplication()).remove(QStringLiteral("Ports"));
    }

    // ---- opening and closing ---------------------------------------------------

    void openAndCloseRules()
    {
        auto ch = lineChannel();
        QVERIFY(!ch->isOpen());
        ch->close(); // closed: nothing happens
        QCOMPARE(ch->formattedDeviceName(), QStringLiteral("COM77"));

        ch->open();
        QVERIFY(ch->isOpen());
        const QString refused = QStringLiteral("Can't perform this operation while port is open");
        QCOMPARE(errorOf([&] { ch->open(); }), refused);
        QCOMPARE(errorOf([&] { ch->setPortNum(3); }), refused);
        QCOMPARE(errorOf([&] { ch->setPortNum(LinePort); }), refused);
        QCOMPARE(errorOf([&] { ch->setDeviceName(QStringLiteral("COM%d")); }), refused);
        QCOMPARE(errorOf([&] { ch->setBuffers(SerialChannel::Buffers()); }), refused);
        QCOMPARE(ch->portNum(), LinePort);
        // Still open and working after the refusals.
        QVERIFY(ch->isOpen());
        QVERIFY(ch->writeByte(0x5A));
        QCOMPARE(m_pty->read(1), QByteArray("\x5A"));

        ch->close();
        QVERIFY(!ch->isOpen());
        QVERIFY(!ch->writeByte(0x01)); // not open: nothing written
        ch->close();
        ch->open(); // settings survive, the port opens again
        QVERIFY(ch->isOpen());
        QVERIFY(ch->writeByte(0x33));
        QCOMPARE(m_pty->read(1), QByteArray("\x33"));
    }

    void openFailures_data()
    {
        QTest::addColumn<QString>("nameTemplate");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("mapTo");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("message"); // what the operator reads after it
        QTest::newRow("no device behind the number")
            << "COM%d" << 250 << QString() << "Specified device not found (COM250)." << "Ошибка";
        QTest::newRow("map entry to a missing device")
            << "COM%d" << 78 << "/nonexistent/ttyX" << "Specified device not found (COM78)." << "Ошибка";
        QTest::newRow("port 0") << "COM%d" << 0 << QString() << "Specified device not found (COM0)." << "Ошибка";
        QTest::newRow("not a terminal")
            << "COM%d" << 79 << "/dev/null" << QStringLiteral("Error writing dcb (%1), %2").arg(ENOTTY).arg(sysText(ENOTTY))
            << "Ошибка\n/dev/null - не последовательный порт (не терминал).";
        QTest::newRow("path template")
            << "/dev/nonexistent%d" << 3 << QString() << "Specified device not found (/dev/nonexistent3)." << "Ошибка";
    }
    void openFailures()
    {
        QFETCH(QString, nameTemplate);
        QFETCH(int, port);
        QFETCH(QString, mapTo);
        QFETCH(QString, error);
        QFETCH(QString, message);
        if (!mapTo.isEmpty())
            mapPort(port, mapTo);
        SerialChannel ch;
        ch.setDeviceName(nameTemplate);
        ch.setPortNum(port);
        QString shown;
        QCOMPARE(errorOf([&] { ch.open(); }, &shown), error);
        QCOMPARE(shown, message);
        QVERIFY(!ch.isOpen());
        // A failed open leaves the channel closed and usable.
        ch.setPortNum(LinePort);
        ch.setDeviceName(QStringLiteral("COM%d"));
        ch.open();
        QVERIFY(ch.isOpen());
    }

    void secondOpenerRefused()
    {
        auto first = lineChannel();
        auto second = lineChannel();
        first->open();
        QCOMPARE(errorOf([&] { second->open(); }),
                 QStringLiteral("Can't open specified device COM77 (Error %1, %2)").arg(EBUSY).arg(sysText(EBUSY)));
        QVERIFY(!second->isOpen());
        QVERIFY(first->writeByte(0x11));
        QCOMPARE(m_pty->read(1), QByteArray("\x11"));
        first->close();
        second->open();
        QVERIFY(second->isOpen());
    }

    // Out of file descriptors at the first open, with none or one to spare: the open
    // says why and holds nothing more; once descriptors are free again it succeeds.
    void noDescriptorsLeft_data()
    {
        QTest::addColumn<int>("spare");
        QTest::newRow("none") << 0;
        QTest::newRow("one") << 1;
    }
    void noDescriptorsLeft()
    {
        QFETCH(int, spare);
        rlimit saved{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
        const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC); // the lowest free descriptor
        QVERIFY(probe >= 0);
        ::close(probe);
        {
            auto ch = lineChannel();
            rlimit tight = saved;
            tight.rlim_cur = rlim_t(probe + spare); // every descriptor from there on is refused
            QVERIFY(::setrlimit(RLIMIT_NOFILE, &tight) == 0);
            const QString error = errorOf([&] { ch->open(); });
            QVERIFY(::setrlimit(RLIMIT_NOFILE, &saved) == 0);
            QCOMPARE(error, QStringLiteral("Can't open specified device COM77 (Error %1, %2)")
                                .arg(EMFILE)
                                .arg(sysText(EMFILE)));
            QVERIFY(!ch->isOpen());
            ch->open();
            QVERIFY(ch->isOpen());
            QVERIFY(ch->writeByte(0x5A));
            QCOMPARE(m_pty->read(1), QByteArray("\x5A"));
            QSignalSpy rx(ch.get(), &SerialChannel::rxChar);
            QVERIFY(m_pty->write("ok"));
            QVERIFY(rx.wait(1000));
        }
        const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        QCOMPARE(next, probe);
        ::close(next);
    }

    // The channel keeps the line settings it applied for the rest of a session, and
    // takes the device's own again at the next open.
    void settingsTakenAfreshEachSession()
    {
        auto ch = lineChannel();
        ch->open();
        ch->close();
        termios2 t = m_pty->attrs();
        t.c_cc[VINTR] = 5;
        t.c_cc[VEOF] = 6;
        m_pty->setAttrs(t);
        ch->open();
        ch->setParity(Parity::Space);
        ch->setParity(Parity::Mark);
        QCOMPARE(int(m_pty->attrs().c_cc[VINTR]), 5);
        QCOMPARE(int(m_pty->attrs().c_cc[VEOF]), 6);
        QVERIFY(m_pty->attrs().c_cflag & PARODD);
    }

    // ---- data ------------------------------------------------------------------

    void bytesToTheLine()
    {
        auto ch = lineChannel();
        ch->open();
        QSignalSpy txEmpty(ch.get(), &SerialChannel::txEmpty);
        const QByteArray bytes = allByteValues();
        QVERIFY(ch->writeBytes(bytes));
        // Raised from the event loop, after the writing call has returned.
        QCOMPARE(txEmpty.count(), 0);
        QCOMPARE(m_pty->readNow(), bytes); // complete when writeBytes returned
        QVERIFY(txEmpty.wait(2000));
        QCOMPARE(txEmpty.count(), 1);
    }

    void bytesFromTheLine()
    {
        auto ch = lineChannel();
        ch->open();
        QVERIFY(ch->readAvailable().isEmpty());

        QByteArray received;
        int events = 0;
        connect(ch.get(), &SerialChannel::rxChar, this, [&](int count) {
            ++events;
            QVERIFY(count > 0);
            const QByteArray got = ch->readAvailable();
            QVERIFY(got.size() >= count);
            received += got;
        });
        // Every value, the mark byte 0xFF among them, and a run that looks like a mark.
        const QByteArray sent = allByteValues() + QByteArray("\xFF\x00\x00\xFF\xFF\x00", 6);
        QVERIFY(m_pty->write(sent));
        QDeadlineTimer deadline(5000);
        while (received.size() < sent.size() && !deadline.hasExpired())
            QTest::qWait(5);
        QCOMPARE(received, sent);
        QVERIFY(events >= 1);
        QVERIFY(ch->readAvailable().isEmpty());
    }

    // A write made by a receive handler ends with txEmpty once, after the handler has
    // returned and before anything the handler queued on the event loop; the channel
    // queues no call of its own for it.
    void writeFromAHandler()
    {
        auto ch = lineChannel();
        ch->open();
        struct CallCounter : QObject {
            int calls = 0;
            bool eventFilter(QObject *, QEvent *e) override
            {
                calls += e->type() == QEvent::MetaCall;
                return false;
            }
        } queuedCalls;
        ch->installEventFilter(&queuedCalls);
        QStringList order;
        connect(ch.get(), &SerialChannel::rxChar, this, [&] {
            ch->readAvailable();
            QMetaObject::invokeMethod(this, [&] { order << QStringLiteral("queued"); }, Qt::QueuedConnection);
            QVERIFY(ch->writeByte(0x06));
            order << QStringLiteral("written");
        });
        connect(ch.get(), &SerialChannel::txEmpty, this, [&] { order << QStringLiteral("txEmpty"); });
        QVERIFY(m_pty->write("a"));
        QTRY_COMPARE_WITH_TIMEOUT(order.size(), 3, 2000);
        QCOMPARE(order, (QStringList{QStringLiteral("written"), QStringLiteral("txEmpty"), QStringLiteral("queued")}));
        QCOMPARE(m_pty->read(1), QByteArray("\x06"));
        QTest::qWait(50);
        QCOMPARE(order.size(), 3);
        QCOMPARE(queuedCalls.calls, 0);
    }

    void unreadBytesWait()
    {
        // Nobody reads in the handler: the bytes stay until asked for, each new
        // arrival is announced with the number waiting.
        auto ch = lineChannel();
        ch->open();
        QSignalSpy rx(ch.get(), &SerialChannel::rxChar);
        QVERIFY(m_pty->write("abc"));
        QVERIFY(rx.wait(2000));
        QVERIFY(m_pty->write("de"));
        QDeadlineTimer deadline(2000);
        while ((rx.isEmpty() || rx.last().at(0).toInt() < 5) && !deadline.hasExpired())
            QTest::qWait(5);
        QCOMPARE(rx.last().at(0).toInt(), 5);
        QCOMPARE(ch->readAvailable(), QByteArray("abcde"));
        QVERIFY(ch->readAvailable().isEmpty());
    }

    // With a wake threshold the first bytes start a wait for the time the rest take on
    // the line (36.7 ms a character at 300 bit/s); then what came is announced once: the
    // whole count, or a shorter answer. Lowered to what is waiting, the wait ends at once.
    void wakeThreshold_data()
    {
        const int c = 367; // tenths of a millisecond a character
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("loweredTo"); // 0: left to run
        QTest::addColumn<int>("minMs");     // announced no earlier than this after the bytes
        QTest::addColumn<int>("maxMs");     // and well before a wait twice as long ends
        QTest::newRow("the whole count") << QByteArray("abcdef") << 6 << 0 << 0 << 6 * c / 10;
        QTest::newRow("one short") << QByteArray("abc") << 4 << 0 << c / 10 << 3 * c / 10;
        QTest::newRow("a shorter answer") << QByteArray("abc") << 6 << 0 << 3 * c / 10 << 7 * c / 10;
        QTest::newRow("lowered to what waits") << QByteArray("ab") << 200 << 2 << 0 << 40 * c / 10;
        QTest::newRow("lowered above what waits") << QByteArray("ab") << 8 << 3 << 6 * c / 10 << 11 * c / 10;
    }
    void wakeThreshold()
    {
        QFETCH(QByteArray, sent);
        QFETCH(int, threshold);
        QFETCH(int, loweredTo);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        auto ch = lineChannel();
        ch->setBaudrate(SerialChannel::br300);
        ch->open();
        QSignalSpy rx(ch.get(), &SerialChannel::rxChar);
        ch->setWakeThreshold(threshold);
        QElapsedTimer since;
        since.start();
        QVERIFY(m_pty->write(sent));
        if (loweredTo) {
            QVERIFY(!rx.wait(20));
            QVERIFY(ch->gathering());
            ch->setWakeThreshold(loweredTo);
        }
        QVERIFY(rx.wait(3000));
        const qint64 ms = since.elapsed();
        // A coarse timer may fire up to 5 % early.
        QVERIFY2(ms >= minMs * 94 / 100 && ms < maxMs, qPrintable(QString::number(ms)));
        QVERIFY(!ch->gathering());
        QCOMPARE(rx.size(), 1);
        QCOMPARE(rx.first().at(0).toInt(), int(sent.size()));
        QCOMPARE(ch->readAvailable(), sent);
        // The device is watched again: one more byte is announced.
        ch->setWakeThreshold(1);
        QVERIFY(m_pty->write("z"));
        QVERIFY(rx.wait(2000));
        QCOMPARE(ch->readAvailable(), QByteArray("z"));
        // Waiting was the channel's own: the terminal still reads at once.
        QCOMPARE(m_pty->attrs().c_cc[VMIN], cc_t(0));
    }

    // The receive buffer holds ReadSize bytes; the rest stays in the device, unwatched
    // and without keeping the event loop busy, until the program reads.
    void receiveBufferFull()
    {
        auto ch = lineChannel();
        SerialChannel::Buffers buffers;
        buffers.readSize = 8;
        ch->setBuffers(buffers);
        ch->open();
        QSignalSpy rx(ch.get(), &SerialChannel::rxChar);
        const QByteArray sent = "abcdefghijklmnopqrst";
        // Seven first: room for one more.
        QVERIFY(m_pty->write(sent.left(7)));
        QTRY_VERIFY_WITH_TIMEOUT(!rx.isEmpty() && rx.last().at(0).toInt() == 7, 2000);
        QVERIFY(m_pty->write(sent.mid(7)));
        QTRY_VERIFY_WITH_TIMEOUT(rx.last().at(0).toInt() == 8, 2000);
        const double cpu = threadCpuShare(300);
        QVERIFY2(cpu < 0.3, qPrintable(QString::number(cpu)));
        QCOMPARE(rx.last().at(0).toInt(), 8);
        QCOMPARE(ch->readAvailable(), sent);
        // Watched again once read.
        QVERIFY(m_pty->write("u"));
        QVERIFY(rx.wait(1000));
        QCOMPARE(ch->readAvailable(), QByteArray("u"));
    }

    // A handler that runs an event loop of its own (a message box) sees no further
    // receive event meanwhile, and bytes arriving then neither keep the loop busy nor
    // get lost.
    void handlerWithItsOwnLoop()
    {
        auto ch = lineChannel();
        ch->open();
        int calls = 0;
        bool nested = false;
        double cpu = 1;
        QByteArray got;
        connect(ch.get(), &SerialChannel::rxChar, this, [&] {
            if (nested)
                QFAIL("a receive event inside the handler's own loop");
            ++calls;
            got += ch->readAvailable();
            if (calls == 1) {
                nested = true;
                QVERIFY(m_pty->write("later"));
                cpu = threadCpuShare(300);
                nested = false;
            }
        });
        QVERIFY(m_pty->write("first"));
        QTRY_VERIFY_WITH_TIMEOUT(got == "firstlater", 3000);
        QCOMPARE(calls, 2);
        QVERIFY2(cpu < 0.3, qPrintable(QString::number(cpu)));
    }

    // A reply coming a byte at a time does not wake the program once a byte.
    void thresholdSparesWakeUps()
    {
        auto ch = lineChannel();
        ch->setBaudrate(SerialChannel::br1200);
        ch->open();
        QSignalSpy rx(ch.get(), &SerialChannel::rxChar);
        ch->setWakeThreshold(20);
        rusage before{}, after{};
        ::getrusage(RUSAGE_THREAD, &before);
        int written = 0;
        std::thread sender([this, &written] {
            for (int i = 0; i < 20; ++i) {
                const char c = char('a' + i);
                written += ::write(m_pty->masterFd(), &c, 1) == 1;
                ::usleep(8000); // a little faster than the line
            }
        });
        while ((rx.isEmpty() || rx.last().at(0).toInt() < 20) && rx.wait(3000)) {
        }
        ::getrusage(RUSAGE_THREAD, &after);
        sender.join();
        QCOMPARE(written, 20);
        QCOMPARE(ch->readAvailable(), QByteArray("abcdefghijklmnopqrst"));
        const long wakes = after.ru_nvcsw - before.ru_nvcsw;
        QVERIFY2(wakes <= 10, qPrintable(QString::number(wakes)));
    }

    // Parity and threshold in one call; the range is 1..255; a new session starts at 1
    // with no wait of the last one left.
    void switchLineAndSessions()
    {
        auto ch = lineChannel();
        ch->setBaudrate(SerialChannel::br1200);
        ch->open();
        ch->switchLine(Parity::Space, 4);
        QCOMPARE(ch->parity(), Parity::Space);
        QCOMPARE(ch->wakeThreshold(), 4);
        QVERIFY(m_pty->attrs().c_cflag & CMSPAR);
        QVERIFY(!(m_pty->attrs().c_cflag & PARODD));
        ch->switchLine(Parity::Mark, 300);
        QCOMPARE(ch->wakeThreshold(), 255);
        QVERIFY(m_pty->attrs().c_cflag & PARODD);
        ch->switchLine(Parity::Mark, 0);
        QCOMPARE(ch->wakeThreshold(), 1);

        ch->setWakeThreshold(255);
        QVERIFY(m_pty->write("a"));
        QTRY_VERIFY_WITH_TIMEOUT(ch->gathering(), 2000); // 2.3 s for the rest
        ch->close();
        QVERIFY(!ch->gathering());
        ch->open();
        QCOMPARE(ch->wakeThreshold(), 1);
        QSignalSpy rx(ch.get(), &SerialChannel::rxChar);
        QVERIFY(m_pty->write("b"));
        QVERIFY(rx.wait(1000));
        QCOMPARE(ch->readAvailable(), QByteArray("b"));
    }

    void writeOutlivesItsWait()
    {
        auto ch = lineChannel();
        SerialChannel::Buffers buffers;
        buffers.readTimeout = 100;
        ch->setBuffers(buffers);
        ch->open();
        QSignalSpy txEmpty(ch.get(), &SerialChannel::txEmpty);
        // Far more than the pseudo-terminal holds while the other end does not read.
        QByteArray bytes(1 << 20, '\0');
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7 + i / 251);
        QVERIFY(!ch->writeBytes(bytes));
        // Not cancelled: the rest follows once the line takes it, then txEmpty.
        const QByteArray got = m_pty->read(bytes.size(), 20000);
        QCOMPARE(got.size(), bytes.size());
        QVERIFY(got == bytes);
        QVERIFY(txEmpty.count() == 1 || txEmpty.wait(5000));
        QCOMPARE(txEmpty.count(), 1);
    }

    void hungUpLine()
    {
        auto ch = lineChannel();
        ch->open();
        m_pty->closeMaster();
        // The event loop must survive a line that stays readable, and not spin on it.
        const double cpu = threadCpuShare(300);
        QVERIFY2(cpu < 0.3, qPrintable(QString::number(cpu)));
        QVERIFY(ch->isOpen());
        const QString statistics = errorOf([&] { ch->readAvailable(); });
        QVERIFY2(statistics.startsWith(QLatin1String("Error retrieving statistics (")), qPrintable(statistics));
        const QString write = errorOf([&] { ch->writeByte(0x00); });
        QCOMPARE(write, QStringLiteral("Write error (%1), %2").arg(EIO).arg(sysText(EIO)));
        ch->close();
        QVERIFY(!ch->isOpen());
    }

    // A port closed and opened again keeps delivering its events: bytes received and
    // transmitter empty after the reopen are not lost to the closed session.
    void eventsAfterReopen_data()
    {
        QTest::addColumn<bool>("byHandler");
        QTest::newRow("reopened with a transmitter-empty event still queued") << false;
        QTest::newRow("reopened by a receive handler") << true;
    }
    void eventsAfterReopen()
    {
        QFETCH(bool, byHandler);
        auto ch = lineChannel();
        ch->open();
        QSignalSpy rx(ch.get(), &SerialChannel::rxChar);
        QSignalSpy tx(ch.get(), &SerialChannel::txEmpty);
        const auto receives = [&] {
            rx.clear();
            if (!m_pty->write("bc") || !rx.wait(2000))
                return false;
            QDeadlineTimer deadline(2000);
            QByteArray got;
            while (got.size() < 2 && !deadline.hasExpired()) {
                got += ch->readAvailable();
                QTest::qWait(5);
            }
            return got == "bc";
        };
        const auto writes = [&] {
            tx.clear();
            if (!ch->writeByte(0x02) || m_pty->read(1) != "\x02")
                return false;
            return tx.count() == 1 || (tx.wait(2000) && tx.count() == 1);
        };
        // Each event is checked before the other could wake the channel up.
        if (byHandler) {
            bool reopened = false;
            connect(ch.get(), &SerialChannel::rxChar, this, [&] {
                if (reopened)
                    return;
                reopened = true;
                ch->close();
                ch->open();
            });
            QVERIFY(m_pty->write("a"));
            QVERIFY(rx.wait(2000));
            QVERIFY(reopened && ch->isOpen());
            QVERIFY(receives());
            QVERIFY(writes());
        } else {
            QVERIFY(ch->writeByte(0x01)); // its event is queued, not yet raised
            ch->close();
            ch->open();
            m_pty->readNow();
            QVERIFY(writes());
            QVERIFY(receives());
        }
    }

    // ---- line settings ---------------------------------------------------------

    void parityOnTheLine_data()
    {
        QTest::addColumn<Parity>("parity");
        QTest::addColumn<bool>("stick");
        QTest::addColumn<bool>("odd");
        // The pty driver clears PARENB; CMSPAR and PARODD still tell the mode.
        QTest::newRow("mark") << Parity::Mark << true << true;
        QTest::newRow("space") << Parity::Space << true << false;
        QTest::newRow("odd") << Parity::Odd << false << true;
        QTest::newRow("even") << Parity::Even << false << false;
        QTest::newRow("none") << Parity::None << false << false;
    }
    void parityOnTheLine()
    {
        QFETCH(Parity, parity);
        QFETCH(bool, stick);
        QFETCH(bool, odd);
        auto ch = lineChannel();
        QCOMPARE(ch->parity(), Parity::Mark);
        ch->open();
        // Start from the opposite stick mode so that every row changes something.
        const Parity other = parity == Parity::Space ? Parity::Mark : Parity::Space;
        ch->setParity(other);
        QVERIFY(ch->writeByte(0x01));
        ch->setParity(parity); // right after a write, as before a frame
        const termios2 t = m_pty->attrs();
        QCOMPARE(bool(t.c_cflag & CMSPAR), stick);
        QCOMPARE(bool(t.c_cflag & PARODD), odd);
        QCOMPARE(int(t.c_cflag & CSIZE), int(CS8));
        QVERIFY(!(t.c_cflag & CSTOPB));
        // Read back from the device as the line check does, not from what was applied.
        const SerialChannel::ParityBits back = ch->deviceParity();
        QCOMPARE(back.fixed, stick);
        QCOMPARE(back.odd, odd);
        QVERIFY(!back.enabled);
        termios2 changed = m_pty->attrs();
        changed.c_cflag ^= PARODD;
        m_pty->setAttrs(changed);
        QCOMPARE(ch->deviceParity().odd, !odd);

        // Stored while closed, applied by the next open.
        ch->close();
        ch->setParity(other);
        ch->open();
        QCOMPARE(bool(m_pty->attrs().c_cflag & PARODD), other == Parity::Mark);
        QCOMPARE(bool(m_pty->attrs().c_cflag & CMSPAR), true);
    }

    void unchangedSettingLeavesDevice()
    {
        auto ch = lineChannel();
        ch->open();
        QCOMPARE(int(m_pty->attrs().c_ospeed), 4800);
        // Someone else changes the line; setting what the channel already has must
        // not write the device, setting something new re-applies every setting.
        termios2 t = m_pty->attrs();
        t.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
        t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
        t.c_ispeed = t.c_ospeed = 1200;
        m_pty->setAttrs(t);
        QCOMPARE(int(m_pty->attrs().c_ospeed), 1200);

        ch->setParity(Parity::Mark);
        ch->setBaudrate(SerialChannel::br4800);
        QCOMPARE(int(m_pty->attrs().c_ospeed), 1200);
        ch->setParity(Parity::Space);
        QCOMPARE(int(m_pty->attrs().c_ospeed), 4800);
    }

    void speedOnTheLine_data()
    {
        QTest::addColumn<SerialChannel::Baudrate>("baudrate");
        QTest::addColumn<int>("userRate");
        QTest::addColumn<int>("rate");
        QTest::newRow("1200") << SerialChannel::br1200 << 0 << 1200;
        QTest::newRow("2400") << SerialChannel::br2400 << 0 << 2400;
        QTest::newRow("9600") << SerialChannel::br9600 << 0 << 9600;
        QTest::newRow("14400") << SerialChannel::br14400 << 0 << 14400;
        QTest::newRow("115200") << SerialChannel::br115200 << 0 << 115200;
        QTest::newRow("256000") << SerialChannel::br256000 << 0 << 256000;
        QTest::newRow("user rate") << SerialChannel::brUser << 31250 << 31250;
    }
    void speedOnTheLine()
    {
        QFETCH(SerialChannel::Baudrate, baudrate);
        QFETCH(int, userRate);
        QFETCH(int, rate);
        auto ch = lineChannel();
        QCOMPARE(ch->baudrate(), SerialChannel::br4800);
        ch->open();
        if (baudrate == SerialChannel::brUser)
            ch->setUserBaudrate(userRate);
        else
            ch->setBaudrate(baudrate);
        QCOMPARE(ch->baudrate(), baudrate);
        QCOMPARE(ch->effectiveBaudrate(), rate);
        QCOMPARE(int(m_pty->attrs().c_ospeed), rate);
        QCOMPARE(int(m_pty->attrs().c_ispeed), rate);
    }

    void baudrateRules()
    {
        SerialChannel ch;
        ch.setUserBaudrate(31250);
        QCOMPARE(ch.baudrate(), SerialChannel::brUser);
        ch.setBaudrate(SerialChannel::br9600);
        QCOMPARE(ch.userBaudrate(), 0);
        QCOMPARE(ch.effectiveBaudrate(), 9600);
        // brUser without a rate cannot be applied: the open fails and stays closed.
        ch.setBaudrate(SerialChannel::brUser);
        QCOMPARE(ch.effectiveBaudrate(), 0);
        ch.setPortNum(LinePort);
        QCOMPARE(errorOf([&] { ch.open(); }),
                 QStringLiteral("Error writing dcb (%1), %2").arg(EINVAL).arg(sysText(EINVAL)));
        QVERIFY(!ch.isOpen());
        ch.setUserBaudrate(2400);
        ch.open();
        QCOMPARE(int(m_pty->attrs().c_ospeed), 2400);
    }

    // ---- modem lines -----------------------------------------------------------

    void modemLinesOnPseudoTerminal()
    {
        auto ch = lineChannel();
        ch->open();
        ch->setRts(true);
        QVERIFY(ch->writeByte(0x42));
        ch->setRts(false);
        QVERIFY(!ch->isModemLineOn(SerialChannel::Dsr));
        QCOMPARE(m_pty->read(1), QByteArray("\x42"));
    }

    void rtsRefusedWithHardwareControl_data()
    {
        QTest::addColumn<SerialChannel::RtsControl>("control");
        QTest::newRow("handshake") << SerialChannel::rtsHandshake;
        QTest::newRow("toggle") << SerialChannel::rtsToggle;
    }
    void rtsRefusedWithHardwareControl()
    {
        QFETCH(SerialChannel::RtsControl, control);
        auto ch = lineChannel();
        SerialChannel::FlowControl flow;
        flow.controlRts = control;
        ch->setFlowControl(flow);
        ch->open();
        QCOMPARE(errorOf([&] { ch->setRts(true); }),
                 QStringLiteral("RTS line updates not allowed when flowcontrol is set to Handshake or Toggle."));
        QCOMPARE(bool(m_pty->attrs().c_cflag & CRTSCTS), control == SerialChannel::rtsHandshake);
        QVERIFY(ch->writeByte(0x24));
        QCOMPARE(m_pty->read(1), QByteArray("\x24"));
        // Back to program-controlled RTS while open: accepted again.
        ch->setFlowControl(SerialChannel::FlowControl());
        QVERIFY(!(m_pty->attrs().c_cflag & CRTSCTS));
        ch->setRts(true);
    }

    void closedChannelCalls_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<QString>("error");
        const QString suffix = QStringLiteral(" (%1), %2").arg(EBADF).arg(sysText(EBADF));
        QTest::newRow("setRts") << 0 << "Error calling comm function" + suffix;
        QTest::newRow("isModemLineOn") << 1 << "Error reading modem state" + suffix;
        QTest::newRow("readAvailable") << 2 << "Error retrieving statistics" + suffix;
    }
    void closedChannelCalls()
    {
        QFETCH(int, call);
        QFETCH(QString, error);
        SerialChannel ch;
        const std::function<void()> calls[] = {
            [&] { ch.setRts(true); },
            [&] { ch.isModemLineOn(SerialChannel::Dsr); },
            [&] { ch.readAvailable(); },
        };
        QCOMPARE(errorOf(calls[call]), error);
    }

    // ---- port map --------------------------------------------------------------

    void defaultNumbering_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("port");
        QTest::newRow("ttyS0") << "/dev/ttyS0" << 1;
        QTest::newRow("ttyS2") << "/dev/ttyS2" << 3;
        QTest::newRow("ttyS31") << "/dev/ttyS31" << 32;
        QTest::newRow("ttyUSB0") << "/dev/ttyUSB0" << 33;
        QTest::newRow("ttyUSB7") << "/dev/ttyUSB7" << 40;
        QTest::newRow("ttyACM0") << "/dev/ttyACM0" << 41;
        QTest::newRow("ttyACM12") << "/dev/ttyACM12" << 53;
    }
    void defaultNumbering()
    {
        QFETCH(QString, path);
        QFETCH(int, port);
        QCOMPARE(devicePathForPort(port), path);
        QCOMPARE(portNumberForDevice(path), port);
    }

    void devicesWithoutNumber_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("ttyS32 (would be a USB number)") << "/dev/ttyS32";
        QTest::newRow("ttyUSB8 (would be ttyACM0)") << "/dev/ttyUSB8";
        QTest::newRow("leading zero") << "/dev/ttyS01";
        QTest::newRow("no index") << "/dev/ttyUSB";
        QTest::newRow("other driver") << "/dev/ttyAMA0";
        QTest::newRow("unmapped pty") << "/dev/pts/999";
        QTest::newRow("empty") << "";
    }
    void devicesWithoutNumber()
    {
        QFETCH(QString, path);
        QCOMPARE(portNumberForDevice(path), 0);
    }

    void mapOverrides()
    {
        QVERIFY(devicePathForPort(0).isEmpty());
        QCOMPARE(devicePathForPort(LinePort), m_pty->slave());
        QCOMPARE(portNumberForDevice(m_pty->slave()), LinePort);

        mapPort(3, QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(devicePathForPort(3), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(portNumberForDevice(QStringLiteral("/dev/ttyUSB0")), 3); // map first
        QCOMPARE(devicePathForPort(33), QStringLiteral("/dev/ttyUSB0"));

        // An entry written by hand in another letter case is the same port; writing
        // the port again replaces it.
        QSettings settings(portMapOrganisation(), portMapApplication());
        settings.setValue(QStringLiteral("Ports/com6"), QStringLiteral("/dev/ttyACM3"));
        settings.sync();
        QCOMPARE(devicePathForPort(6), QStringLiteral("/dev/ttyACM3"));
        mapPort(6, QStringLiteral("/dev/ttyACM4"));
        QCOMPARE(devicePathForPort(6), QStringLiteral("/dev/ttyACM4"));
        QCOMPARE(portNumberForDevice(QStringLiteral("/dev/ttyACM3")), 44);

        mapPort(3, QString());
        mapPort(6, QString());
        QCOMPARE(devicePathForPort(3), QStringLiteral("/dev/ttyS2"));
        QCOMPARE(devicePathForPort(6), QStringLiteral("/dev/ttyS5"));
        QCOMPARE(portNumberForDevice(QStringLiteral("/dev/ttyUSB0")), 33);
    }

    void systemPortList()
    {
        // A kernel tty class directory as the kernel lays it out.
        QTemporaryDir sys;
        QVERIFY(sys.isValid());
        const auto entry = [&](const QString &name, bool device, const char *type) {
            QDir(sys.path()).mkpath(name + (device ? QStringLiteral("/device") : QString()));
            if (type) {
                QFile f(sys.filePath(name + QStringLiteral("/type")));
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write(type);
            }
        };
        entry(QStringLiteral("ttyS0"), true, "4\n");  // a UART, but its number is mapped to the pty
        entry(QStringLiteral("ttyS1"), true, "0\n");  // placeholder without a UART
        entry(QStringLiteral("ttyS2"), false, "4\n"); // no device link
        entry(QStringLiteral("ttyS9"), true, "4\n");
        entry(QStringLiteral("ttyUSB0"), true, nullptr);
        entry(QStringLiteral("ttyUSB9"), true, nullptr); // no number
        entry(QStringLiteral("ttyACM1"), true, nullptr); // mapped to port 2
        entry(QStringLiteral("tty0"), true, nullptr);
        entry(QStringLiteral("console"), true, nullptr);

        mapPort(1, m_pty->slave());
        mapPort(2, QStringLiteral("/dev/ttyACM1"));
        mapPort(7, QStringLiteral("/nonexistent/ttyX")); // gone: not listed
        const QStringList expected = {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM10"),
                                      QStringLiteral("COM33"), QStringLiteral("COM77")};
        QCOMPARE(systemPortNames(sys.path()), expected);

        // The machine's own list carries the mapped pty once, in number order.
        const QStringList real = systemPortNames();
        QCOMPARE(real.count(QStringLiteral("COM77")), 1);
        QList<int> numbers;
        for (const QString &name : real)
            numbers << portNumberOfName(name);
        QVERIFY(std::is_sorted(numbers.begin(), numbers.end()));
        QVERIFY(std::adjacent_find(numbers.begin(), numbers.end()) == numbers.end());
    }
};

QTEST_GUILESS_MAIN(TestChannel)
#include "test_channel.moc"
