// The virtual meter: its protocol state machine in-process against frames built by the
// codec, and the real executable over a pseudo-terminal.

#include "link/frame.h"
#include "sim/metermodel.h"
#include "sim/meterprotocol.h"
#include "tests/testbytes.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace zk;
using namespace zk::sim;

namespace {

QByteArray frame(std::initializer_list<int> headAndData)
{
    return withCrc(bytes(headAndData));
}

QByteArray joined(const QList<Transmission> &pieces)
{
    QByteArray out;
    for (const Transmission &t : pieces)
        out += t.bytes;
    return out;
}

QByteArray replyData(const QByteArray &reply)
{
    return reply.size() >= 4 ? reply.mid(2, reply.size() - 4) : QByteArray();
}

// "09 14 01 ..." as bytes.
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// Little-endian unsigned number of `size` bytes at frame offset `offset`.
quint64 leAt(const QByteArray &frame, int offset, int size)
{
    quint64 v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = (v << 8) | quint8(frame.at(offset + i));
    return v;
}

// A meter in-process with a clock the test moves.
struct Bench {
    explicit Bench(int minor = 12)
    {
        model.setFirmware(1, minor);
        protocol.setStoredHook([this] { ++stores; });
    }

    QByteArray exchange(const QByteArray &request, quint8 address = 1, QByteArray *ack = nullptr)
    {
        protocol.receive(QByteArray(1, char(address)), Ninth::Mark);
        const QByteArray a = joined(protocol.takeOutput());
        if (ack)
            *ack = a;
        protocol.receive(request, Ninth::Space);
        return joined(protocol.takeOutput());
    }

    bool login(quint16 password = kFactoryPassword)
    {
        return exchange(makeFrame(req::Password, bytes({password & 0xFF, password >> 8})))
            == makeFrame({0x14, 2});
    }

    QByteArray read(Head head, const QByteArray &data = QByteArray())
    {
        return replyData(exchange(makeFrame(head, data)));
    }

    ManualClock clock{naiveDateTime(QDate(2024, 3, 15), QTime(12, 0))};
    MeterModel model{clock};
    MeterProtocol protocol{model, clock};
    int stores = 0;
};

// The slave side of the meter's terminal, as the program would use it.
class PtyClient
{
public:
    ~PtyClient() { close(); }

    bool open(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0)
            return false;
        termios t{};
        if (tcgetattr(m_fd, &t) != 0)
            return false;
        cfmakeraw(&t);
        // A pty drops PARENB, and refuses (EINVAL) a request holding PARENB that changes
        // nothing else; CMSPAR and PARODD are what the meter reads.
        t.c_cflag |= CREAD | CLOCAL | CMSPAR;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        return tcsetattr(m_fd, TCSANOW, &t) == 0;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    bool setSpeed(speed_t speed)
    {
        termios t{};
        return tcgetattr(m_fd, &t) == 0 && cfsetispeed(&t, speed) == 0 && cfsetospeed(&t, speed) == 0
            && tcsetattr(m_fd, TCSANOW, &t) == 0;
    }

    // MARK: parity forced to one (CMSPAR with PARODD); SPACE: forced to zero.
    bool setMark(bool mark)
    {
        termios t{};
        if (tcgetattr(m_fd, &t) != 0)
            return false;
        t.c_cflag |= CMSPAR;
        if (mark)
            t.c_cflag |= PARODD;
        else
            t.c_cflag &= ~tcflag_t(PARODD);
        return tcsetattr(m_fd, TCSANOW, &t) == 0;
    }

    bool send(const QByteArray &data) { return ::write(m_fd, data.constData(), size_t(data.size())) == data.size(); }

    // Reads until `want` bytes have come or `timeoutMs` has passed.
    QByteArray read(int want, int timeoutMs)
    {
        QByteArray out;
        QElapsedTimer timer;
        timer.start();
        while (out.size() < want) {
            const qint64 left = timeoutMs - timer.elapsed();
            if (left <= 0)
                break;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(left)) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::read(m_fd, buffer, size_t(std::min<int>(want - int(out.size()), 256)));
            if (n > 0)
                out.append(buffer, int(n));
        }
        return out;
    }

    // Address byte at MARK; the acknowledgement (empty when none came).
    QByteArray select(quint8 address, int waitMs = 1000)
    {
        setMark(true);
        send(QByteArray(1, char(address)));
        return read(1, waitMs);
    }

    // A whole reply: its head, then as many bytes as its length byte announces.
    QByteArray readReply(int timeoutMs = 3000)
    {
        QByteArray out = read(2, timeoutMs);
        if (out.size() == 2)
            out += read(quint8(out.at(1)), timeoutMs);
        return out;
    }

    QByteArray exchange(const QByteArray &request, quint8 address = 1)
    {
        if (select(address) != QByteArray(1, char(address)))
            return QByteArray();
        setMark(false);
        send(request);
        return readReply();
    }

private:
    int m_fd = -1;
};

QString simBinary()
{
    const QString dir = qEnvironmentVariable("ZK_BIN_DIR", QCoreApplication::applicationDirPath());
    return QDir(dir).filePath(QStringLiteral("zelta-kn-sim"));
}

// The executable, started with a link in a temporary folder.
class SimProcess
{
public:
    ~SimProcess() { stop(); }

    bool start(const QString &link, const QStringList &extra = {})
    {
        m_link = link;
        m_process.setProgram(simBinary());
        m_process.setArguments(QStringList{QStringLiteral("--link"), link} + extra);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        m_process.setReadChannel(QProcess::StandardOutput);
        while (!m_process.canReadLine())
            if (!m_process.waitForReadyRead(5000))
                return false;
        return m_process.readLine() == QByteArray("ready " + QFile::encodeName(link) + "\n");
    }

    // Sends a command line and waits for the line on stderr that confirms it.
    bool command(const QString &line, const QString &confirmation)
    {
        m_process.write(line.toUtf8() + '\n');
        m_process.setReadChannel(QProcess::StandardError);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 5000) {
            while (m_process.canReadLine())
                if (QString::fromUtf8(m_process.readLine()).startsWith(confirmation))
                    return true;
            m_process.waitForReadyRead(200);
        }
        return false;
    }

    // SIGTERM; the exit code, or -1 when it did not end cleanly.
    int stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
            return -1;
        }
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    QProcess m_process;
    QString m_link;
};

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void readReplies_data();
    void readReplies();
    void writeThenRead_data();
    void writeThenRead();
    void writeNeedsAccess_data();
    void writeNeedsAccess();
    void sessionEnds_data();
    void sessionEnds();
    void newPassword();
    void errorCodes_data();
    void errorCodes();
    void addressing_data();
    void addressing();
    void addressChangeTakesEffectNextExchange();
    void growingCounters();
    void derivedStatusAndStamps();
    void billingReset();
    void clearingFrames_data();
    void clearingFrames();
    void journals();
    void faults_data();
    void faults();
    void faultOnOneFunction();
    void vanishEndsTheSession();
    void forgottenWrite();
    void parseFault_data();
    void parseFault();
    void stateJson();
    void replyFields_data();
    void replyFields();
    void ddmStamps_data();
    void ddmStamps();
    void wireExamples_data();
    void wireExamples();
    void settingsReadBack_data();
    void settingsReadBack();
    void statusBits_data();
    void statusBits();
    void billingDayCapture_data();
    void billingDayCapture();
    void malformedStateFileRefused();

    void ptyNinthBit_data();
    void ptyNinthBit();
    void ptyFaults_data();
    void ptyFaults();
    void ptyStateSurvivesRestart();
    void ptyPacedInput();
    void ptyReopenEndsSession_data();
    void ptyReopenEndsSession();
};

// ---- the state machine in-process --------------------------------------------------

void TestSim::readReplies_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("length");
    QTest::newRow("version") << makeFrame(req::ReadVersion) << 4;
    QTest::newRow("serial") << makeFrame(req::ReadSerial) << 5;
    QTest::newRow("clock") << makeFrame(req::ReadClock) << 10;
    QTest::newRow("correction") << makeFrame(req::ReadCorrection) << 3;
    QTest::newRow("zones") << makeFrame(req::ReadZones) << 20;
    QTest::newRow("ddm") << makeFrame(req::ReadDdm) << 11;
    QTest::newRow("status") << makeFrame(req::ReadStatus) << 3;
    QTest::newRow("indication") << makeFrame(req::ReadIndication) << 3;
    QTest::newRow("readings") << makeFrame(req::ReadReadings) << 32;
    QTest::newRow("turn-on") << makeFrame(req::ReadTurnOn) << 6;
    QTest::newRow("annual 0") << makeFrame(req::ReadAnnual, bytes({0})) << 22;
    QTest::newRow("annual 11") << makeFrame(req::ReadAnnual, bytes({11})) << 22;
    QTest::newRow("consumption 0") << makeFrame(req::ReadConsumption, bytes({0})) << 24;
    QTest::newRow("consumption 60") << makeFrame(req::ReadConsumption, bytes({60})) << 24;
    QTest::newRow("billing") << makeFrame(req::ReadBilling) << 4;
    QTest::newRow("holiday used") << makeFrame(req::ReadHoliday, bytes({0})) << 5;
    QTest::newRow("holiday empty") << makeFrame(req::ReadHoliday, bytes({15})) << 3;
    QTest::newRow("transfer empty") << makeFrame(req::ReadTransfer, bytes({0})) << 3;
    QTest::newRow("ddm stamps") << makeFrame(req::ReadDdmStamps) << 14;
    QTest::newRow("day types") << makeFrame(req::ReadDayTypes) << 8;
}

void TestSim::readReplies()
{
    QFETCH(QByteArray, request);
    QFETCH(int, length);
    Bench b;
    QByteArray ack;
    const QByteArray reply = b.exchange(request, 1, &ack);
    QCOMPARE(ack, bytes({1}));
    QCOMPARE(reply.size(), length + 2);
    QCOMPARE(reply.at(0), request.at(0));
    QCOMPARE(int(quint8(reply.at(1))), length);
    QVERIFY(crcMatches(reply));
    QCOMPARE(checkReply(reply, quint8(request.at(0)), true).verdict, Verdict::Accepted);
}

void TestSim::writeThenRead_data()
{
    QTest::addColumn<QByteArray>("write");
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("serial") << frame({0x02, 5, 0xA0, 0x86, 0x01}) << makeFrame(req::ReadSerial)
                            << bytes({0xA0, 0x86, 0x01});
    QTest::newRow("serial keeps 17 bits") << frame({0x02, 5, 0xFF, 0xFF, 0xFF}) << makeFrame(req::ReadSerial)
                                          << bytes({0xFF, 0xFF, 0x01});
    QTest::newRow("clock") << frame({0x05, 10, 0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80})
                           << makeFrame(req::ReadClock) << bytes({0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80});
    QTest::newRow("clock computes day of week")
        << frame({0x05, 10, 0x00, 0x30, 0x23, 0x01, 0x31, 0x12, 0x25, 0x00}) << makeFrame(req::ReadClock)
        << bytes({0x00, 0x30, 0x23, 0x03, 0x31, 0x12, 0x25, 0x00});
    QTest::newRow("correction +7") << frame({0x07, 3, 0x27}) << makeFrame(req::ReadCorrection) << bytes({0x27});
    QTest::newRow("correction -7") << frame({0x07, 3, 0x07}) << makeFrame(req::ReadCorrection) << bytes({0x07});
    QTest::newRow("zones") << frame({0x09, 0x14, 0x03, 0x00, 0x00, 0x01, 0x07, 0x00, 0x02, 0x09, 0x15, 0x01, 0x12,
                                     0x00, 0x03, 0x18, 0x45, 0x01, 0x23, 0x00})
                           << makeFrame(req::ReadZones)
                           << bytes({0x03, 0x00, 0x00, 0x01, 0x07, 0x00, 0x02, 0x09, 0x15, 0x01, 0x12, 0x00, 0x03,
                                     0x18, 0x45, 0x01, 0x23, 0x00});
    QTest::newRow("one tariff") << makeFrame(req::OneTariff) << makeFrame(req::ReadZones) << QByteArray();
    QTest::newRow("ddm") << frame({0x0B, 11, 0x56, 0x34, 0x12, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF})
                         << makeFrame(req::ReadDdm) << bytes({0x56, 0x34, 0x12, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF});
    QTest::newRow("indication") << frame({0x0E, 3, 0x09}) << makeFrame(req::ReadIndication) << bytes({0x09});
    QTest::newRow("billing day") << frame({0x23, 4, 0x00, 0x25}) << makeFrame(req::ReadBilling)
                                 << bytes({0x00, 0x25});
    QTest::newRow("holiday") << frame({0x27, 5, 3, 0x09, 0x05}) << makeFrame(req::ReadHoliday, bytes({3}))
                             << bytes({3, 0x09, 0x05});
    QTest::newRow("holiday 29 Feb") << frame({0x27, 5, 15, 0x29, 0x02}) << makeFrame(req::ReadHoliday, bytes({15}))
                                    << bytes({15, 0x29, 0x02});
    QTest::newRow("transfer") << frame({0x29, 7, 0, 0x08, 0x03, 0x24, 0x06})
                              << makeFrame(req::ReadTransfer, bytes({0})) << bytes({0, 0x08, 0x03, 0x24, 0x06});
    QTest::newRow("day types") << frame({0x2F, 8, 0x01, 0x02, 0x04, 0x08, 0x10, 0x80})
                               << makeFrame(req::ReadDayTypes) << bytes({0x01, 0x02, 0x04, 0x08, 0x10, 0x80});
}

void TestSim::writeThenRead()
{
    QFETCH(QByteArray, write);
    QFETCH(QByteArray, read);
    QFETCH(QByteArray, expected);
    Bench b;
    QVERIFY(b.login());
    QCOMPARE(b.stores, 0);
    QCOMPARE(b.exchange(write), makeFrame({quint8(write.at(0)), 2}));
    QCOMPARE(b.stores, 1);
    QCOMPARE(replyData(b.exchange(read)), expected);
}

void TestSim::writeNeedsAccess_data()
{
    QTest::addColumn<QByteArray>("write");
    QTest::newRow("serial") << frame({0x02, 5, 1, 2, 0});
    QTest::newRow("address") << frame({0x03, 3, 7});
    QTest::newRow("clock") << frame({0x05, 10, 0, 0, 0, 1, 0x01, 0x01, 0x24, 0});
    QTest::newRow("correction") << frame({0x07, 3, 0x25});
    QTest::newRow("one tariff") << makeFrame(req::OneTariff);
    QTest::newRow("zones") << frame({0x09, 20, 1, 0, 0, 2, 1, 0, 3, 2, 0, 1, 3, 0, 2, 4, 0, 3, 5, 0});
    QTest::newRow("ddm") << frame({0x0B, 11, 1, 0, 0, 2, 0, 0, 3, 0, 0});
    QTest::newRow("indication") << frame({0x0E, 3, 0});
    QTest::newRow("billing day") << frame({0x23, 4, 0x05, 0x10});
    QTest::newRow("billing reset") << makeFrame(req::ResetBilling);
    QTest::newRow("clear holidays") << makeFrame(req::ClearHolidays);
    QTest::newRow("holiday") << frame({0x27, 5, 0, 0x15, 0x07});
    QTest::newRow("clear transfers") << makeFrame(req::ClearTransfers);
    QTest::newRow("transfer") << frame({0x29, 7, 1, 0x01, 0x06, 0x24, 0x01});
    QTest::newRow("day types") << frame({0x2F, 8, 0, 0, 0, 0, 0, 0});
}

void TestSim::writeNeedsAccess()
{
    QFETCH(QByteArray, write);
    Bench b;
    b.model.advance();
    const QJsonObject before = b.model.state().toJson();
    const quint8 function = quint8(write.at(0));
    QCOMPARE(b.exchange(write), makeErrorReply(function, 6));
    // A wrong password does not open the gate either.
    QCOMPARE(b.exchange(makeFrame(req::Password, bytes({kFactoryPassword + 1, 0}))), makeErrorReply(0x14, 6));
    QCOMPARE(b.exchange(write), makeErrorReply(function, 6));
    QCOMPARE(b.model.state().toJson(), before);
    QCOMPARE(b.stores, 0);

    QVERIFY(b.login());
    QCOMPARE(b.exchange(write, 1), makeFrame({function, 2}));
    QCOMPARE(b.stores, 1);
}

void TestSim::sessionEnds_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("another meter addressed") << QStringLiteral("other");
    QTest::newRow("inactivity") << QStringLiteral("idle");
    QTest::newRow("port closed") << QStringLiteral("closed");
}

void TestSim::sessionEnds()
{
    QFETCH(QString, how);
    Bench b;
    b.protocol.setSessionTimeoutMs(30000);
    QVERIFY(b.login());
    const QByteArray write = frame({0x0E, 3, 0x01});
    QCOMPARE(b.exchange(write), makeFrame({0x0E, 2}));

    // Within the session, exchanges keep it alive.
    b.clock.advanceMs(20000);
    QCOMPARE(b.exchange(write), makeFrame({0x0E, 2}));
    b.clock.advanceMs(20000);
    QVERIFY(b.protocol.accessGranted());

    if (how == QLatin1String("other"))
        b.protocol.receive(bytes({2}), Ninth::Mark);
    else if (how == QLatin1String("idle"))
        b.clock.advanceMs(30001);
    else
        b.protocol.lineClosed();
    QCOMPARE(b.exchange(write), makeErrorReply(0x0E, 6));
    QVERIFY(b.login());
    QCOMPARE(b.exchange(write), makeFrame({0x0E, 2}));
}

void TestSim::newPassword()
{
    Bench b;
    QVERIFY(b.login());
    // A second 0x14 within the session sets the new password.
    QCOMPARE(b.exchange(makeFrame(req::Password, bytes({0x34, 0x12}))), makeFrame({0x14, 2}));
    QCOMPARE(b.model.state().password, quint16(0x1234));
    QCOMPARE(b.stores, 1);
    b.protocol.lineClosed();
    QVERIFY(!b.login(kFactoryPassword));
    QVERIFY(!b.protocol.accessGranted());
    QVERIFY(b.login(0x1234));
    QCOMPARE(b.exchange(makeFrame(req::ResetBilling)), makeFrame({0x24, 2}));
}

void TestSim::errorCodes_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("code");
    QTest::newRow("unknown 0x10") << makeFrame({0x10, 2}) << 12 << 1;
    QTest::newRow("unknown 0x15") << makeFrame({0x15, 2}) << 12 << 1;
    QTest::newRow("unknown 0x7F") << frame({0x7F, 3, 0}) << 12 << 1;
    QTest::newRow("fw 9 holiday read") << makeFrame(req::ReadHoliday, bytes({0})) << 9 << 1;
    QTest::newRow("fw 9 holiday clear") << makeFrame(req::ClearHolidays) << 9 << 1;
    QTest::newRow("fw 9 transfer read") << makeFrame(req::ReadTransfer, bytes({0})) << 9 << 1;
    QTest::newRow("fw 9 transfer clear") << makeFrame(req::ClearTransfers) << 9 << 1;
    QTest::newRow("fw 9 ddm stamps") << makeFrame(req::ReadDdmStamps) << 9 << 1;
    QTest::newRow("fw 9 day types") << makeFrame(req::ReadDayTypes) << 9 << 1;
    QTest::newRow("fw 9 day types write") << frame({0x2F, 8, 1, 1, 1, 1, 1, 1}) << 9 << 1;
    QTest::newRow("serial read with data") << frame({0x01, 3, 0}) << 12 << 2;
    QTest::newRow("zones of 5 bytes") << frame({0x09, 7, 1, 0, 0, 2, 6}) << 12 << 2;
    QTest::newRow("password of 1 byte") << frame({0x14, 3, 1}) << 12 << 2;
    QTest::newRow("length byte 1") << bytes({0x01, 0x01}) << 12 << 2;
    QTest::newRow("bad crc") << bytes({0x00, 0x02, 0x80, 0x72}) << 12 << 3;
    QTest::newRow("bad crc on a write") << bytes({0x0E, 0x03, 0x01, 0x00, 0x00}) << 12 << 3;
    QTest::newRow("month 12") << makeFrame(req::ReadAnnual, bytes({12})) << 12 << 4;
    QTest::newRow("page 61") << makeFrame(req::ReadConsumption, bytes({61})) << 12 << 4;
    QTest::newRow("holiday slot 16") << makeFrame(req::ReadHoliday, bytes({16})) << 12 << 4;
    QTest::newRow("transfer slot 16") << makeFrame(req::ReadTransfer, bytes({16})) << 12 << 4;
    QTest::newRow("holiday write slot 16") << frame({0x27, 5, 16, 0x01, 0x01}) << 12 << 4;
    QTest::newRow("holiday 30 Feb") << frame({0x27, 5, 0, 0x30, 0x02}) << 12 << 4;
    QTest::newRow("holiday month 13") << frame({0x27, 5, 0, 0x01, 0x13}) << 12 << 4;
    QTest::newRow("holiday day not BCD") << frame({0x27, 5, 0, 0x0A, 0x01}) << 12 << 4;
    QTest::newRow("transfer 29 Feb 2023") << frame({0x29, 7, 0, 0x29, 0x02, 0x23, 1}) << 12 << 4;
    QTest::newRow("transfer day type 9") << frame({0x29, 7, 0, 0x01, 0x02, 0x24, 9}) << 12 << 4;
    QTest::newRow("transfer slot 16") << frame({0x29, 7, 16, 0x01, 0x02, 0x24, 1}) << 12 << 4;
    QTest::newRow("clock month 13") << frame({0x05, 10, 0, 0, 0, 1, 0x01, 0x13, 0x24, 0}) << 12 << 4;
    QTest::newRow("clock minutes 1A") << frame({0x05, 10, 0, 0x1A, 0, 1, 0x01, 0x01, 0x24, 0}) << 12 << 4;
    QTest::newRow("clock 31 Apr") << frame({0x05, 10, 0, 0, 0, 1, 0x31, 0x04, 0x24, 0}) << 12 << 4;
    QTest::newRow("billing hour 24") << frame({0x23, 4, 0x24, 0x01}) << 12 << 4;
    QTest::newRow("billing day 0") << frame({0x23, 4, 0x00, 0x00}) << 12 << 4;
    QTest::newRow("zone tariff 4") << frame({0x09, 20, 4, 0, 0, 2, 1, 0, 3, 2, 0, 1, 3, 0, 2, 4, 0, 3, 5, 0}) << 12
                                   << 4;
    QTest::newRow("zone hour 24") << frame({0x09, 20, 1, 0x24, 0, 2, 1, 0, 3, 2, 0, 1, 3, 0, 2, 4, 0, 3, 5, 0}) << 12
                                  << 4;
}

void TestSim::errorCodes()
{
    QFETCH(QByteArray, request);
    QFETCH(int, minor);
    QFETCH(int, code);
    Bench b(minor);
    QVERIFY(b.login());
    const QJsonObject before = b.model.state().toJson();
    QCOMPARE(b.exchange(request), makeErrorReply(quint8(request.at(0)), quint8(code)));
    QCOMPARE(b.model.state().toJson(), before);
    QCOMPARE(b.stores, 0);
}

void TestSim::addressing_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<bool>("mark");
    QTest::addColumn<bool>("acknowledged");
    QTest::addColumn<bool>("answered");
    QTest::newRow("right address at MARK") << bytes({1}) << true << true << true;
    QTest::newRow("address at SPACE") << bytes({1}) << false << false << false;
    QTest::newRow("other address") << bytes({2}) << true << false << false;
    QTest::newRow("other then right") << bytes({2, 1}) << true << true << true;
    QTest::newRow("right then other") << bytes({1, 2}) << true << true << false;
    QTest::newRow("no address at all") << QByteArray() << true << false << false;
}

void TestSim::addressing()
{
    QFETCH(QByteArray, address);
    QFETCH(bool, mark);
    QFETCH(bool, acknowledged);
    QFETCH(bool, answered);
    Bench b;
    b.protocol.receive(address, mark ? Ninth::Mark : Ninth::Space);
    const QByteArray ack = joined(b.protocol.takeOutput());
    b.protocol.receive(makeFrame(req::ReadSerial), Ninth::Space);
    const QByteArray reply = joined(b.protocol.takeOutput());
    QCOMPARE(ack, acknowledged ? bytes({1}) : QByteArray());
    QCOMPARE(reply, answered ? makeFrame({0x01, 5}, bytes({0, 0, 0})) : QByteArray());
    // One request per address byte: a second frame without a new address goes unanswered.
    b.protocol.receive(makeFrame(req::ReadSerial), Ninth::Space);
    QVERIFY(b.protocol.takeOutput().isEmpty());
}

void TestSim::addressChangeTakesEffectNextExchange()
{
    Bench b;
    QVERIFY(b.login());
    QByteArray ack;
    QCOMPARE(b.exchange(frame({0x03, 3, 200}), 1, &ack), makeFrame({0x03, 2}));
    QCOMPARE(ack, bytes({1}));
    QVERIFY(b.exchange(makeFrame(req::ReadVersion), 1, &ack).isEmpty());
    QVERIFY(ack.isEmpty());
    QCOMPARE(b.exchange(makeFrame(req::ReadVersion), 200, &ack), makeFrame({0x00, 4}, bytes({0x12, 0x01})));
    QCOMPARE(ack, bytes({200}));
}

void TestSim::growingCounters()
{
    Bench b;
    QVERIFY(b.login());
    // 03:00, in the first zone of the factory schedule (tariff 1).
    QCOMPARE(b.exchange(frame({0x05, 10, 0, 0, 0x03, 1, 0x04, 0x03, 0x24, 0})), makeFrame({0x05, 2}));
    const auto counts = [&b]() {
        const QByteArray d = b.read(req::ReadReadings);
        std::array<quint64, 3> c{};
        for (int t = 0; t < 3; ++t)
            for (int i = 4; i >= 0; --i)
                c[size_t(t)] = (c[size_t(t)] << 8) | quint8(d.at(5 * t + i));
        return c;
    };
    const auto turnOn = [&b]() {
        const QByteArray d = b.read(req::ReadTurnOn);
        return qMakePair(quint32(quint8(d[0])) | quint32(quint8(d[1])) << 8 | quint32(quint8(d[2])) << 16,
                         int(quint8(d[3])));
    };

    const auto c0 = counts();
    const auto on0 = turnOn();
    b.clock.advanceMs(3600 * 1000);
    const auto c1 = counts();
    const auto on1 = turnOn();
    QVERIFY(b.login()); // the session ended with the hour of silence
    QVERIFY(c1[0] > c0[0]);
    QCOMPARE(c1[1], c0[1]);
    QCOMPARE(c1[2], c0[2]);
    QCOMPARE(on1.first, on0.first + 120); // an hour is 120 half-minutes

    // 09:00 is in a tariff 3 zone.
    QCOMPARE(b.exchange(frame({0x05, 10, 0, 0, 0x09, 1, 0x04, 0x03, 0x24, 0})), makeFrame({0x05, 2}));
    b.clock.advanceMs(1800 * 1000);
    const auto c2 = counts();
    QVERIFY(b.login());
    QCOMPARE(c2[0], c1[0]);
    QCOMPARE(c2[1], c1[1]);
    QVERIFY(c2[2] > c1[2]);

    // One-tariff operation counts everything under tariff 1.
    QCOMPARE(b.exchange(makeFrame(req::OneTariff)), makeFrame({0x09, 2}));
    b.clock.advanceMs(1800 * 1000);
    const auto c3 = counts();
    QVERIFY(c3[0] > c2[0]);
    QCOMPARE(c3[2], c2[2]);

    // Every correction write counts, whatever its value.
    QCOMPARE(on1.second, on0.second);
    QVERIFY(b.login());
    QCOMPARE(b.exchange(frame({0x07, 3, 0x25})), makeFrame({0x07, 2}));
    QCOMPARE(b.exchange(frame({0x07, 3, 0x25})), makeFrame({0x07, 2}));
    QCOMPARE(turnOn().second, on0.second + 2);
}

void TestSim::derivedStatusAndStamps()
{
    Bench b;
    QVERIFY(b.login());
    // Phase B without a DDM number: "number not set" for B, no time stamp for B.
    QCOMPARE(b.exchange(frame({0x0B, 11, 1, 0, 0, 0, 0, 0, 3, 0, 0})), makeFrame({0x0B, 2}));
    QCOMPARE(b.read(req::ReadStatus), bytes({0x08}));
    const QByteArray stamps = b.read(req::ReadDdmStamps);
    QCOMPARE(stamps.size(), 12);
    const auto stamp = [&stamps](int p) {
        return quint32(quint8(stamps[4 * p])) | quint32(quint8(stamps[4 * p + 1])) << 8
            | quint32(quint8(stamps[4 * p + 2])) << 16 | quint32(quint8(stamps[4 * p + 3])) << 24;
    };
    const quint32 now = secondsSince2000(b.model.meterTime());
    QVERIFY(stamp(0) > 0 && stamp(0) <= now);
    QCOMPARE(stamp(1), quint32(0));
    QVERIFY(stamp(2) > 0 && stamp(2) <= now);
    QVERIFY(now - stamp(2) < 600);
}

void TestSim::billingReset()
{
    Bench b;
    b.clock.advanceMs(6 * 3600 * 1000);
    QVERIFY(b.login());
    QByteArray d = b.read(req::ReadReadings);
    QVERIFY(d.left(15) != d.mid(15, 15));
    QCOMPARE(b.exchange(makeFrame(req::ResetBilling)), makeFrame({0x24, 2}));
    d = b.read(req::ReadReadings);
    QCOMPARE(d.mid(15, 15), d.left(15));
    // The billing-day set stays put while the readings grow on.
    const QByteArray billing = d.mid(15, 15);
    b.clock.advanceMs(3600 * 1000);
    d = b.read(req::ReadReadings);
    QCOMPARE(d.mid(15, 15), billing);
    QVERIFY(d.left(15) != billing);
}

void TestSim::clearingFrames_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QByteArray>("clear");
    QTest::addColumn<int>("readFunction");
    QTest::addColumn<int>("entryLength");
    QTest::newRow("holidays") << frame({0x27, 5, 7, 0x15, 0x08}) << makeFrame(req::ClearHolidays) << 0x26 << 5;
    QTest::newRow("transfers") << frame({0x29, 7, 7, 0x15, 0x08, 0x25, 0x03}) << makeFrame(req::ClearTransfers)
                               << 0x28 << 7;
}

void TestSim::clearingFrames()
{
    QFETCH(QByteArray, entry);
    QFETCH(QByteArray, clear);
    QFETCH(int, readFunction);
    QFETCH(int, entryLength);
    Bench b;
    QVERIFY(b.login());
    QCOMPARE(b.exchange(entry), makeFrame({quint8(entry.at(0)), 2}));
    QCOMPARE(quint8(b.exchange(frame({readFunction, 3, 7})).at(1)), quint8(entryLength));
    QCOMPARE(b.exchange(clear), makeFrame({quint8(clear.at(0)), 2}));
    for (int slot = 0; slot < 16; ++slot)
        QCOMPARE(b.exchange(frame({readFunction, 3, slot})), makeFrame({quint8(readFunction), 3}, bytes({slot})));
}

void TestSim::journals()
{
    Bench b;
    const QByteArray readings = b.read(req::ReadReadings);
    const auto count = [](const QByteArray &d, int offset) {
        quint64 c = 0;
        for (int i = 4; i >= 0; --i)
            c = (c << 8) | quint8(d.at(offset + i));
        return c;
    };

    // Annual entries in calendar order (the clock stands at 15 March 2024: April 2023
    // to March 2024 is not a span the meter has closed; the last closed is February).
    QList<QByteArray> annual;
    for (int m = 0; m < 12; ++m) {
        const QByteArray d = b.read(req::ReadAnnual, bytes({m}));
        QCOMPARE(d.size(), 20);
        QCOMPARE(int(quint8(d.at(0))), m);
        QVERIFY((quint8(d.at(1)) >> 4) <= 9 && (quint8(d.at(1)) & 0x0F) <= 9);
        annual.append(d);
    }
    QList<QByteArray> chronological = annual.mid(2) + annual.mid(0, 2); // March 2023 .. February 2024
    for (int i = 1; i < chronological.size(); ++i)
        for (int t = 0; t < 3; ++t)
            QVERIFY(count(chronological[i], 2 + 5 * t) >= count(chronological[i - 1], 2 + 5 * t));
    QCOMPARE(quint8(annual[1].at(1)), quint8(0x24));
    QCOMPARE(quint8(annual[2].at(1)), quint8(0x23));
    for (int t = 0; t < 3; ++t) {
        QVERIFY(count(annual[1], 2 + 5 * t) <= count(readings, 5 * t));
        QVERIFY(count(annual[1], 2 + 5 * t) > 0);
    }

    // Consumption pages: a record per day, newest first.
    QDate previous;
    QByteArray previousData;
    for (int page = 0; page < 61; ++page) {
        const QByteArray d = b.read(req::ReadConsumption, bytes({page}));
        QCOMPARE(d.size(), 22);
        QCOMPARE(int(quint8(d.at(0))), page);
        const QDate date(2024, bcd(quint8(d.at(5))), bcd(quint8(d.at(4))));
        QVERIFY(date.isValid());
        QVERIFY(QTime(bcd(quint8(d.at(3))), bcd(quint8(d.at(2)))).isValid());
        if (page == 0)
            QCOMPARE(date, QDate(2024, 3, 15));
        else
            QCOMPARE(date, previous.addDays(-1));
        for (int t = 0; t < 3 && page > 0; ++t)
            QVERIFY(count(d, 6 + 5 * t) <= count(previousData, 6 + 5 * t));
        previous = date;
        previousData = d;
    }
}

void TestSim::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("noack") << QStringLiteral("noack");
    QTest::newRow("delay") << QStringLiteral("delay=1500");
    QTest::newRow("badcrc") << QStringLiteral("badcrc");
    QTest::newRow("extra") << QStringLiteral("extra=0x5A");
    QTest::newRow("error") << QStringLiteral("error=5");
    QTest::newRow("split") << QStringLiteral("split=40");
    QTest::newRow("wrongfn") << QStringLiteral("wrongfn");
    QTest::newRow("wrongfn=0x2A") << QStringLiteral("wrongfn=0x2A");
    QTest::newRow("silent") << QStringLiteral("silent");
    QTest::newRow("noise") << QStringLiteral("noise=6");
    QTest::newRow("vanish") << QStringLiteral("vanish");
    QTest::newRow("on the request's function") << QStringLiteral("badcrc on=0x01");
}

void TestSim::faults()
{
    QFETCH(QString, fault);
    Bench b;
    const QByteArray request = makeFrame(req::ReadSerial);
    const QByteArray normal = makeFrame({0x01, 5}, bytes({0, 0, 0}));
    QString error;
    const auto f = zk::sim::parseFault(fault + QStringLiteral(" 1"), &error);
    QVERIFY2(f, qPrintable(error));
    b.protocol.setFault(*f);

    b.protocol.receive(bytes({1}), Ninth::Mark);
    const QList<Transmission> ack = b.protocol.takeOutput();
    b.protocol.receive(request, Ninth::Space);
    const QList<Transmission> out = b.protocol.takeOutput();
    const QByteArray reply = joined(out);

    switch (f->kind) {
    case FaultKind::NoAck:
    case FaultKind::Vanish:
        QVERIFY(ack.isEmpty());
        QVERIFY(out.isEmpty());
        break;
    case FaultKind::Noise:
        QCOMPARE(out.size(), 1);
        QCOMPARE(reply.size(), normal.size() + 6);
        QCOMPARE(reply.mid(6), normal);
        break;
    case FaultKind::Delay:
        QCOMPARE(out.size(), 1);
        QCOMPARE(out[0].gapMs, qint64(1500));
        QCOMPARE(reply, normal);
        break;
    case FaultKind::BadCrc:
        QCOMPARE(reply.size(), normal.size());
        QCOMPARE(reply.left(5), normal.left(5));
        QVERIFY(!crcMatches(reply));
        break;
    case FaultKind::ExtraByte:
        QCOMPARE(reply, normal + bytes({0x5A}));
        QCOMPARE(checkReply(reply, 0x01, true).text, QStringLiteral("Отклик длиннее требуемого"));
        break;
    case FaultKind::ErrorReply:
        QCOMPARE(reply, makeErrorReply(0x01, 5));
        break;
    case FaultKind::Split:
        QCOMPARE(reply, normal);
        QCOMPARE(out.size(), 3);
        QCOMPARE(out[0].gapMs, qint64(0));
        QCOMPARE(out[1].gapMs, qint64(40));
        QCOMPARE(out[2].gapMs, qint64(40));
        break;
    case FaultKind::WrongFunction:
        QVERIFY(crcMatches(reply));
        QCOMPARE(quint8(reply.at(0)), quint8(f->value >= 0 ? f->value : 0x00));
        QCOMPARE(reply.mid(1, 4), normal.mid(1, 4));
        QCOMPARE(checkReply(reply, 0x01, true).text, QStringLiteral("Неверный отклик"));
        break;
    case FaultKind::Silent:
        QCOMPARE(joined(ack), bytes({1}));
        QVERIFY(out.isEmpty());
        break;
    default:
        QFAIL("unexpected kind");
    }
    if (f->kind != FaultKind::NoAck && f->kind != FaultKind::Vanish)
        QCOMPARE(joined(ack), bytes({1}));

    // The count was one exchange: the next one is normal.
    QByteArray nextAck;
    QCOMPARE(b.exchange(request, 1, &nextAck), normal);
    QCOMPARE(nextAck, bytes({1}));
    QCOMPARE(b.protocol.fault().kind, FaultKind::None);
}

void TestSim::faultOnOneFunction()
{
    Bench b;
    QString error;
    const auto f = zk::sim::parseFault(QStringLiteral("error=5 2 on=0x0E"), &error);
    QVERIFY2(f, qPrintable(error));
    b.protocol.setFault(*f);
    QVERIFY(b.login());
    // Other requests pass untouched and do not count.
    const QByteArray serial = makeFrame({0x01, 5}, bytes({0, 0, 0}));
    QCOMPARE(b.exchange(makeFrame(req::ReadSerial)), serial);
    QCOMPARE(b.exchange(makeFrame(req::WriteIndication, bytes({3}))), makeErrorReply(0x0E, 5));
    QCOMPARE(b.exchange(makeFrame(req::ReadSerial)), serial);
    QCOMPARE(b.exchange(makeFrame(req::WriteIndication, bytes({3}))), makeErrorReply(0x0E, 5));
    QCOMPARE(b.protocol.fault().kind, FaultKind::None);
    QCOMPARE(b.exchange(makeFrame(req::WriteIndication, bytes({3}))), makeFrame({0x0E, 2}));
}

void TestSim::vanishEndsTheSession()
{
    Bench b;
    QVERIFY(b.login());
    QString error;
    b.protocol.setFault(*zk::sim::parseFault(QStringLiteral("vanish 1"), &error));
    QByteArray ack;
    QVERIFY(b.exchange(makeFrame(req::WriteIndication, bytes({3})), 1, &ack).isEmpty());
    QVERIFY(ack.isEmpty());
    // Back on: the access has to be asked for again.
    QCOMPARE(b.exchange(makeFrame(req::WriteIndication, bytes({3}))), makeErrorReply(0x0E, 6));
}

// The fault "forget": the write is acknowledged, and the meter keeps its old value.
void TestSim::forgottenWrite()
{
    Bench b;
    QVERIFY(b.login());
    const QByteArray before = replyData(b.exchange(makeFrame(req::ReadIndication)));
    QString error;
    b.protocol.setFault(*zk::sim::parseFault(QStringLiteral("forget 1 on=0x0E"), &error));
    const QByteArray other = bytes({quint8(before.at(0)) ^ 0x05});
    QCOMPARE(b.exchange(makeFrame(req::WriteIndication, other)), makeFrame({0x0E, 2}));
    QCOMPARE(replyData(b.exchange(makeFrame(req::ReadIndication))), before);
    QCOMPARE(b.exchange(makeFrame(req::WriteIndication, other)), makeFrame({0x0E, 2}));
    QCOMPARE(replyData(b.exchange(makeFrame(req::ReadIndication))), other); // one exchange only
}

void TestSim::parseFault_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("count");
    QTest::newRow("delay with value and count") << "delay=500 3" << true << int(FaultKind::Delay) << 500 << 3;
    QTest::newRow("delay default") << "delay" << true << int(FaultKind::Delay) << 2000 << -1;
    QTest::newRow("error default") << "error" << true << int(FaultKind::ErrorReply) << 4 << -1;
    QTest::newRow("hex value") << "extra=0xFF 2" << true << int(FaultKind::ExtraByte) << 255 << 2;
    QTest::newRow("upper case") << "NOACK" << true << int(FaultKind::NoAck) << 0 << -1;
    QTest::newRow("off") << "off" << true << int(FaultKind::None) << 0 << -1;
    QTest::newRow("unknown kind") << "bogus" << false << 0 << 0 << 0;
    QTest::newRow("value not a number") << "delay=abc" << false << 0 << 0 << 0;
    QTest::newRow("value where none is taken") << "noack=3" << false << 0 << 0 << 0;
    QTest::newRow("error code too big") << "error=256" << false << 0 << 0 << 0;
    QTest::newRow("count zero") << "split 0" << false << 0 << 0 << 0;
    QTest::newRow("off with count") << "off 2" << false << 0 << 0 << 0;
    QTest::newRow("empty") << "" << false << 0 << 0 << 0;
    QTest::newRow("three words") << "delay 1 2" << false << 0 << 0 << 0;
    QTest::newRow("noise default") << "noise" << true << int(FaultKind::Noise) << 4 << -1;
    QTest::newRow("on a function") << "badcrc 2 on=0x0B" << true << int(FaultKind::BadCrc) << 0 << 2;
    QTest::newRow("on before the count") << "split=9 on=20 3" << true << int(FaultKind::Split) << 9 << 3;
    QTest::newRow("on a bad function") << "badcrc on=0x100" << false << 0 << 0 << 0;
    QTest::newRow("noack on a function") << "noack on=0x0B" << false << 0 << 0 << 0;
    QTest::newRow("off on a function") << "off on=1" << false << 0 << 0 << 0;
    QTest::newRow("forget on a function") << "forget 1 on=0x0E" << true << int(FaultKind::Forget) << 0 << 1;
}

void TestSim::parseFault()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, kind);
    QFETCH(int, value);
    QFETCH(int, count);
    QString error;
    const auto f = zk::sim::parseFault(text, &error);
    QCOMPARE(bool(f), valid);
    if (!valid) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(int(f->kind), kind);
    if (f->kind != FaultKind::None && f->kind != FaultKind::NoAck)
        QCOMPARE(f->value, value);
    QCOMPARE(f->count, count);
}

void TestSim::stateJson()
{
    MeterState s;
    s.serial = 131071;
    s.address = 200;
    s.password = 65535;
    s.clockOffsetMs = -86400000LL * 400;
    s.summerTime = false;
    s.correction = 0x07;
    s.correctionCounter = 255;
    s.ddm = {{0xFFFFFF, 0, 42}};
    s.readings = {{kCountMask, 1, 0}};
    s.oneTariff = true;
    s.zones[3] = Zone{3, 23, 59};
    s.dayTypes[5] = 0x81;
    s.holidays.fill(Holiday());
    s.holidays[15] = Holiday{true, 29, 2};
    s.transfers[4] = Transfer{true, QDate(2099, 12, 31), 8};

    MeterState back;
    QString error;
    QVERIFY2(back.loadJson(s.toJson(), &error), qPrintable(error));
    QCOMPARE(back.toJson(), s.toJson());
    QCOMPARE(back.transfers[4], s.transfers[4]);
    QCOMPARE(back.holidays[15], s.holidays[15]);
    QVERIFY(!back.holidays[0].used);
    QCOMPARE(back.readings[0], kCountMask);

    // Malformed fields are refused and leave the state as it was.
    const QList<QByteArray> bad = {
        R"({"address": 256})",
        R"({"serial": 131072})",
        R"({"zones": [{"tariff":1,"hour":0,"minute":0}]})",
        R"({"holidays": [{"slot": 16, "day": 1, "month": 1}]})",
        R"({"transfers": [{"slot": 0, "date": "2024-02-30", "dayType": 1}]})",
        R"({"readings": [1, 2]})",
        R"({"billingHour": 24})",
    };
    for (const QByteArray &json : bad) {
        MeterState t = s;
        QVERIFY2(!t.loadJson(QJsonDocument::fromJson(json).object(), &error), json.constData());
        QCOMPARE(t.toJson(), s.toJson());
    }
}

// ---- reply and request layouts, field by field ---------------------------------------

namespace {

// A meter whose memory holds a distinct value in every field, its clock standing at
// Thursday 29 February 2024 13:05:09.
void pinState(Bench &b)
{
    MeterState &s = b.model.state();
    s.serial = 0x1ABCD;
    s.summerTime = true;
    s.correction = 0x27;
    s.correctionCounter = 200;
    s.ddm = {{0x123456, 0x000001, 0xABCDEF}};
    s.statusExtra = 0x00;
    s.indication = 0x09;
    s.readings = {{quint64(1) << 32, 4000, 0xFFFFFFFFFFull}};
    s.billingReadings = {{1, 0x0102030405ull, (quint64(1) << 32) + 7}};
    s.turnOnHalfMinutes = 0x123456;
    s.billingDay = 25;
    s.billingHour = 13;
    s.oneTariff = false;
    s.zones = {{{1, 0, 0}, {2, 6, 30}, {3, 8, 30}, {2, 11, 30}, {3, 17, 30}, {2, 20, 30}}};
    s.dayTypes = {{0x01, 0x02, 0x04, 0x08, 0x10, 0x80}};
    s.holidays.fill(Holiday());
    s.holidays[0] = Holiday{true, 1, 1};
    s.holidays[15] = Holiday{true, 29, 2};
    s.transfers.fill(Transfer());
    s.transfers[0] = Transfer{true, QDate(2024, 3, 8), 6};
    b.model.setMeterTime(naiveDateTime(QDate(2024, 2, 29), QTime(13, 5, 9)));
    s.statusExtra = 0x40; // clock not set, after the clock was placed above
}

} // namespace

void TestSim::replyFields_data()
{
    // Each row: the request, the length byte the program tests or expects, and one field
    // at its frame offset with the value the meter's memory above must give there.
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("isBcd");
    QTest::addColumn<qulonglong>("expected");
    const auto row = [](const char *name, const QByteArray &request, int length, int offset, int size, bool isBcd,
                        qulonglong expected) {
        QTest::newRow(name) << request << length << offset << size << isBcd << expected;
    };
    row("version minor", hex("00 02 80 71"), 4, 2, 1, false, 0x12);
    row("version major", hex("00 02 80 71"), 4, 3, 1, false, 0x01);
    row("serial 17 bits", makeFrame(req::ReadSerial), 5, 2, 3, false, 0x1ABCD);
    row("clock seconds", makeFrame(req::ReadClock), 10, 2, 1, true, 9);
    row("clock minutes", makeFrame(req::ReadClock), 10, 3, 1, true, 5);
    row("clock hours", makeFrame(req::ReadClock), 10, 4, 1, true, 13);
    row("clock day of week, plain", makeFrame(req::ReadClock), 10, 5, 1, false, 4);
    row("clock day", makeFrame(req::ReadClock), 10, 6, 1, true, 29);
    row("clock month", makeFrame(req::ReadClock), 10, 7, 1, true, 2);
    row("clock year", makeFrame(req::ReadClock), 10, 8, 1, true, 24);
    row("clock summer flag", makeFrame(req::ReadClock), 10, 9, 1, false, 0x80);
    row("correction +7", makeFrame(req::ReadCorrection), 3, 2, 1, false, 0x27);
    row("ddm A", makeFrame(req::ReadDdm), 11, 2, 3, false, 0x123456);
    row("ddm B", makeFrame(req::ReadDdm), 11, 5, 3, false, 1);
    row("ddm C", makeFrame(req::ReadDdm), 11, 8, 3, false, 0xABCDEF);
    row("status", makeFrame(req::ReadStatus), 3, 2, 1, false, 0x40);
    row("indication", makeFrame(req::ReadIndication), 3, 2, 1, false, 0x09);
    row("reading tariff 1", makeFrame(req::ReadReadings), 32, 2, 5, false, 1ull << 32);
    row("reading tariff 2", makeFrame(req::ReadReadings), 32, 7, 5, false, 4000);
    row("reading tariff 3", makeFrame(req::ReadReadings), 32, 12, 5, false, 0xFFFFFFFFFFull);
    row("billing-day tariff 1", makeFrame(req::ReadReadings), 32, 17, 5, false, 1);
    row("billing-day tariff 2", makeFrame(req::ReadReadings), 32, 22, 5, false, 0x0102030405ull);
    row("billing-day tariff 3", makeFrame(req::ReadReadings), 32, 27, 5, false, (1ull << 32) + 7);
    row("turn-on half-minutes", makeFrame(req::ReadTurnOn), 6, 2, 3, false, 0x123456);
    row("correction counter", makeFrame(req::ReadTurnOn), 6, 5, 1, false, 200);
    row("billing hour", makeFrame(req::ReadBilling), 4, 2, 1, true, 13);
    row("billing day", makeFrame(req::ReadBilling), 4, 3, 1, true, 25);
    row("zone 0 tariff", hex("08 02 87 B1"), 20, 2, 1, false, 1);
    row("zone 1 tariff", hex("08 02 87 B1"), 20, 5, 1, false, 2);
    row("zone 1 hour", hex("08 02 87 B1"), 20, 6, 1, true, 6);
    row("zone 1 minute", hex("08 02 87 B1"), 20, 7, 1, true, 30);
    row("zone 4 tariff", hex("08 02 87 B1"), 20, 14, 1, false, 3);
    row("zone 5 hour", hex("08 02 87 B1"), 20, 18, 1, true, 20);
    row("zone 5 minute", hex("08 02 87 B1"), 20, 19, 1, true, 30);
    row("day-type mask zone 0", hex("2E 02 9D D1"), 8, 2, 1, false, 0x01);
    row("day-type mask zone 5", hex("2E 02 9D D1"), 8, 7, 1, false, 0x80);
    row("holiday 0 day", hex("26 03 00 90 FB"), 5, 3, 1, true, 1);
    row("holiday 0 month", hex("26 03 00 90 FB"), 5, 4, 1, true, 1);
    row("holiday 15 day", makeFrame(req::ReadHoliday, bytes({15})), 5, 3, 1, true, 29);
    row("holiday 15 month", makeFrame(req::ReadHoliday, bytes({15})), 5, 4, 1, true, 2);
    row("holiday 1 unused", makeFrame(req::ReadHoliday, bytes({1})), 3, 2, 1, false, 1);
    row("transfer 0 day", hex("28 03 00 F1 38"), 7, 3, 1, true, 8);
    row("transfer 0 month", hex("28 03 00 F1 38"), 7, 4, 1, true, 3);
    row("transfer 0 year", hex("28 03 00 F1 38"), 7, 5, 1, true, 24);
    row("transfer 0 day type", hex("28 03 00 F1 38"), 7, 6, 1, false, 6);
    row("annual month index", hex("12 03 00 D1 35"), 22, 2, 1, false, 0);
    row("annual month 11 index", makeFrame(req::ReadAnnual, bytes({11})), 22, 2, 1, false, 11);
    row("consumption page", makeFrame(req::ReadConsumption, bytes({60})), 24, 2, 1, false, 60);
    row("consumption page 0 minute", hex("13 03 00 80 F5"), 24, 4, 1, true, 0);
    row("consumption page 0 hour", hex("13 03 00 80 F5"), 24, 5, 1, true, 0);
    row("consumption page 0 day", hex("13 03 00 80 F5"), 24, 6, 1, true, 29);
    row("consumption page 0 month", hex("13 03 00 80 F5"), 24, 7, 1, true, 2);
    row("consumption page 1 day", makeFrame(req::ReadConsumption, bytes({1})), 24, 6, 1, true, 28);
    row("consumption status", hex("13 03 00 80 F5"), 24, 23, 1, false, 0x40);
}

void TestSim::replyFields()
{
    QFETCH(QByteArray, request);
    QFETCH(int, length);
    QFETCH(int, offset);
    QFETCH(int, size);
    QFETCH(bool, isBcd);
    QFETCH(qulonglong, expected);
    Bench b;
    pinState(b);
    const QByteArray reply = b.exchange(request);
    QCOMPARE(checkReply(reply, quint8(request.at(0)), true).verdict, Verdict::Accepted);
    QCOMPARE(int(quint8(reply.at(1))), length);
    QVERIFY(offset + size <= reply.size() - 2);
    const quint64 raw = leAt(reply, offset, size);
    if (isBcd) {
        // Packed BCD the way it is written: both nibbles decimal digits.
        QVERIFY((raw >> 4) <= 9 && (raw & 0x0F) <= 9);
        QCOMPARE(qulonglong(bcd(quint8(raw))), expected);
    } else {
        QCOMPARE(qulonglong(raw), expected);
    }
}

void TestSim::ddmStamps_data()
{
    QTest::addColumn<int>("phase");
    QTest::addColumn<bool>("hasNumber");
    QTest::newRow("A") << 0 << true;
    QTest::newRow("B without a number") << 1 << false;
    QTest::newRow("C") << 2 << true;
}

void TestSim::ddmStamps()
{
    QFETCH(int, phase);
    QFETCH(bool, hasNumber);
    Bench b;
    pinState(b);
    b.model.state().ddm[size_t(phase)] = hasNumber ? 0x000101 : 0;
    const QByteArray reply = b.exchange(makeFrame(req::ReadDdmStamps));
    QCOMPARE(int(quint8(reply.at(1))), 14);
    const quint64 count = leAt(reply, 2 + 4 * phase, 4);
    if (!hasNumber) {
        QCOMPARE(count, quint64(0));
        return;
    }
    // Seconds since 2000-01-01 00:00:00: a moment shortly before the meter's clock.
    const QDateTime heard = QDateTime(QDate(2000, 1, 1), QTime(0, 0), QTimeZone::utc()).addSecs(qint64(count));
    const QDateTime meterNow(QDate(2024, 2, 29), QTime(13, 5, 9), QTimeZone::utc());
    QVERIFY2(heard <= meterNow && heard.secsTo(meterNow) < 600, qPrintable(heard.toString(Qt::ISODate)));
}

void TestSim::wireExamples_data()
{
    // Frames exactly as they go on the wire (CRC included) and the read that shows what
    // they did, with the data that read must carry from `from` on.
    QTest::addColumn<QByteArray>("write");
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("from");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("default zones")
        << hex("09 14 01 00 00 02 06 30 03 08 30 02 11 30 03 17 30 02 20 30 5D 67") << hex("08 02 87 B1") << 20 << 2
        << hex("01 00 00 02 06 30 03 08 30 02 11 30 03 17 30 02 20 30");
    QTest::newRow("one tariff") << hex("09 02 86 21") << hex("08 02 87 B1") << 2 << 2 << QByteArray();
    QTest::newRow("all day types") << hex("2F 08 FF FF FF FF FF FF 8A 1C") << hex("2E 02 9D D1") << 8 << 2
                                   << hex("FF FF FF FF FF FF");
    QTest::newRow("holiday 1 January") << hex("27 05 00 01 01 D0 9B") << hex("26 03 00 90 FB") << 5 << 3
                                       << hex("01 01");
    QTest::newRow("transfer 8 March 2024 as Saturday")
        << hex("29 07 00 08 03 24 06 CB 17") << hex("28 03 00 F1 38") << 7 << 3 << hex("08 03 24 06");
    QTest::newRow("holidays cleared") << hex("27 02 9B 81") << hex("26 03 00 90 FB") << 3 << 2 << hex("00");
    QTest::newRow("transfers cleared") << hex("29 02 9F E1") << hex("28 03 00 F1 38") << 3 << 2 << hex("00");
}

void TestSim::wireExamples()
{
    QFETCH(QByteArray, write);
    QFETCH(QByteArray, read);
    QFETCH(int, length);
    QFETCH(int, from);
    QFETCH(QByteArray, expected);
    Bench b;
    pinState(b);
    b.model.state().zones[2] = Zone{1, 9, 0};
    b.model.state().dayTypes[3] = 0x7F;
    QVERIFY(b.login());
    QCOMPARE(b.exchange(write), makeFrame({quint8(write.at(0)), 2}));
    const QByteArray reply = b.exchange(read);
    QVERIFY(crcMatches(reply));
    QCOMPARE(int(quint8(reply.at(1))), length);
    QCOMPARE(reply.mid(from, reply.size() - 2 - from), expected);
}

void TestSim::settingsReadBack_data()
{
    // A settings frame as the program builds it, and the value the readout decodes from
    // the matching read afterwards.
    QTest::addColumn<QByteArray>("write");
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<QString>("field");
    QTest::addColumn<qlonglong>("expected");
    QTest::newRow("correction -7") << frame({0x07, 0x03, 0x07}) << makeFrame(req::ReadCorrection)
                                   << QStringLiteral("correction") << -7LL;
    QTest::newRow("correction +7") << frame({0x07, 0x03, 0x27}) << makeFrame(req::ReadCorrection)
                                   << QStringLiteral("correction") << 7LL;
    QTest::newRow("correction 0") << frame({0x07, 0x03, 0x20}) << makeFrame(req::ReadCorrection)
                                  << QStringLiteral("correction") << 0LL;
    QTest::newRow("correction -31") << frame({0x07, 0x03, 0x1F}) << makeFrame(req::ReadCorrection)
                                    << QStringLiteral("correction") << -31LL;
    QTest::newRow("correction +31") << frame({0x07, 0x03, 0x3F}) << makeFrame(req::ReadCorrection)
                                    << QStringLiteral("correction") << 31LL;
    QTest::newRow("billing day 25") << frame({0x23, 0x04, 0x00, 0x25}) << makeFrame(req::ReadBilling)
                                    << QStringLiteral("billing day") << 25LL;
    QTest::newRow("billing hour 0") << frame({0x23, 0x04, 0x00, 0x25}) << makeFrame(req::ReadBilling)
                                    << QStringLiteral("billing hour") << 0LL;
    QTest::newRow("billing hour 23") << frame({0x23, 0x04, 0x23, 0x01}) << makeFrame(req::ReadBilling)
                                     << QStringLiteral("billing hour") << 23LL;
    QTest::newRow("ddm A 1193046") << frame({0x0B, 0x0B, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0, 0})
                                   << makeFrame(req::ReadDdm) << QStringLiteral("ddm A") << 1193046LL;
    QTest::newRow("ddm C 1193046") << frame({0x0B, 0x0B, 0, 0, 0, 0, 0, 0, 0x56, 0x34, 0x12})
                                   << makeFrame(req::ReadDdm) << QStringLiteral("ddm C") << 1193046LL;
    QTest::newRow("serial 100000") << frame({0x02, 0x05, 0xA0, 0x86, 0x01}) << makeFrame(req::ReadSerial)
                                   << QStringLiteral("serial") << 100000LL;
    QTest::newRow("serial 131071") << frame({0x02, 0x05, 0xFF, 0xFF, 0x01}) << makeFrame(req::ReadSerial)
                                   << QStringLiteral("serial") << 131071LL;
    QTest::newRow("indication boxes 1 and 4") << frame({0x0E, 0x03, 0x09}) << makeFrame(req::ReadIndication)
                                              << QStringLiteral("indication") << 0x09LL;
    QTest::newRow("clock date") << frame({0x05, 0x0A, 0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80})
                                << makeFrame(req::ReadClock) << QStringLiteral("date") << 20240229LL;
    QTest::newRow("clock time") << frame({0x05, 0x0A, 0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80})
                                << makeFrame(req::ReadClock) << QStringLiteral("time") << 130509LL;
    QTest::newRow("clock summer on") << frame({0x05, 0x0A, 0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80})
                                     << makeFrame(req::ReadClock) << QStringLiteral("summer") << 1LL;
    QTest::newRow("clock summer off") << frame({0x05, 0x0A, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x24, 0x00})
                                      << makeFrame(req::ReadClock) << QStringLiteral("summer") << 0LL;
    // The day of the week sent is the program's; the meter reports the date's own.
    QTest::newRow("clock day of week from the date")
        << frame({0x05, 0x0A, 0x00, 0x00, 0x00, 0x07, 0x01, 0x01, 0x24, 0x00}) << makeFrame(req::ReadClock)
        << QStringLiteral("day of week") << 1LL;
    QTest::newRow("address 200") << frame({0x03, 0x03, 0xC8}) << QByteArray() << QStringLiteral("address")
                                 << 200LL;
}

void TestSim::settingsReadBack()
{
    QFETCH(QByteArray, write);
    QFETCH(QByteArray, read);
    QFETCH(QString, field);
    QFETCH(qlonglong, expected);
    Bench b;
    pinState(b);
    QVERIFY(b.login());
    QCOMPARE(b.exchange(write), makeFrame({quint8(write.at(0)), 2}));
    if (field == QLatin1String("address")) {
        QByteArray ack;
        QCOMPARE(b.exchange(makeFrame(req::ReadVersion), quint8(expected), &ack).size(), 6);
        QCOMPARE(ack, QByteArray(1, char(expected)));
        return;
    }
    const QByteArray r = b.exchange(read);
    QVERIFY(crcMatches(r));
    const auto d = [&r](int i) { return quint8(r.at(2 + i)); };
    qlonglong got = -1000;
    if (field == QLatin1String("correction"))
        got = (d(0) & 0x20) ? (d(0) & 0x1F) : -qlonglong(d(0) & 0x1F);
    else if (field == QLatin1String("billing day"))
        got = bcd(d(1));
    else if (field == QLatin1String("billing hour"))
        got = bcd(d(0));
    else if (field == QLatin1String("ddm A"))
        got = qlonglong(leAt(r, 2, 3));
    else if (field == QLatin1String("ddm C"))
        got = qlonglong(leAt(r, 8, 3));
    else if (field == QLatin1String("serial"))
        got = d(0) | d(1) << 8 | (d(2) & 1) << 16;
    else if (field == QLatin1String("indication"))
        got = d(0);
    else if (field == QLatin1String("date"))
        got = (2000 + bcd(d(6))) * 10000LL + bcd(d(5)) * 100 + bcd(d(4));
    else if (field == QLatin1String("time"))
        got = bcd(d(2)) * 10000LL + bcd(d(1)) * 100 + bcd(d(0));
    else if (field == QLatin1String("summer"))
        got = (d(7) & 0x80) ? 1 : 0;
    else if (field == QLatin1String("day of week"))
        got = d(3);
    QCOMPARE(got, expected);
}

void TestSim::statusBits_data()
{
    // Phase fields: A bits 0-1, B bits 2-3, C bits 4 and 7; bit 6 clock not set, bit 5
    // timer fault; 0xFF alone is "switching off".
    QTest::addColumn<bool>("ddmA");
    QTest::addColumn<bool>("ddmB");
    QTest::addColumn<bool>("ddmC");
    QTest::addColumn<int>("extra");
    QTest::addColumn<int>("expected");
    QTest::newRow("all numbers set") << true << true << true << 0x00 << 0x00;
    QTest::newRow("A not set") << false << true << true << 0x00 << 0x02;
    QTest::newRow("B not set") << true << false << true << 0x00 << 0x08;
    QTest::newRow("C not set") << true << true << false << 0x00 << 0x80;
    QTest::newRow("none set") << false << false << false << 0x00 << 0x8A;
    QTest::newRow("A no link") << true << true << true << 0x01 << 0x01;
    QTest::newRow("A no link but no number") << false << true << true << 0x01 << 0x02;
    QTest::newRow("B no phase but no number") << true << false << true << 0x0C << 0x08;
    QTest::newRow("C no link but no number") << true << true << false << 0x10 << 0x80;
    QTest::newRow("C no phase") << true << true << true << 0x90 << 0x90;
    QTest::newRow("timer fault is not phase C") << true << true << false << 0x20 << 0xA0;
    QTest::newRow("clock not set") << true << true << true << 0x40 << 0x40;
    QTest::newRow("switching off") << false << true << true << 0xFF << 0xFF;
}

void TestSim::statusBits()
{
    QFETCH(bool, ddmA);
    QFETCH(bool, ddmB);
    QFETCH(bool, ddmC);
    QFETCH(int, extra);
    QFETCH(int, expected);
    Bench b;
    b.model.state().ddm = {{ddmA ? 11u : 0u, ddmB ? 12u : 0u, ddmC ? 13u : 0u}};
    b.model.state().statusExtra = quint8(extra);
    QCOMPARE(int(quint8(b.read(req::ReadStatus).at(0))), expected);
}

void TestSim::billingDayCapture_data()
{
    QTest::addColumn<int>("day");
    QTest::addColumn<int>("hour");
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<bool>("captured");
    const auto at = [](int y, int mo, int d, int h, int mi, int s) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi, s), QTimeZone::utc());
    };
    QTest::newRow("passes 25th 13:00") << 25 << 13 << at(2024, 3, 25, 12, 59, 30) << 60 << true;
    QTest::newRow("after 25th 13:00") << 25 << 13 << at(2024, 3, 25, 13, 0, 30) << 60 << false;
    QTest::newRow("the day before") << 25 << 13 << at(2024, 3, 24, 12, 59, 30) << 60 << false;
    QTest::newRow("day 31 in April falls on the 30th") << 31 << 0 << at(2024, 4, 29, 23, 59, 30) << 60 << true;
    QTest::newRow("into a new month") << 1 << 0 << at(2024, 12, 31, 23, 59, 30) << 60 << true;
}

void TestSim::billingDayCapture()
{
    QFETCH(int, day);
    QFETCH(int, hour);
    QFETCH(QDateTime, start);
    QFETCH(int, seconds);
    QFETCH(bool, captured);
    Bench b;
    b.model.state().billingDay = quint8(day);
    b.model.state().billingHour = quint8(hour);
    b.model.setMeterTime(start);
    const QByteArray before = b.read(req::ReadReadings);
    QVERIFY(before.mid(0, 15) != before.mid(15, 15));
    b.clock.advanceMs(qint64(seconds) * 1000);
    const QByteArray after = b.read(req::ReadReadings);
    QVERIFY(after.mid(0, 15) != before.mid(0, 15)); // the load counted on
    if (captured)
        QCOMPARE(after.mid(15, 15), after.mid(0, 15));
    else
        QCOMPARE(after.mid(15, 15), before.mid(15, 15));
}

void TestSim::malformedStateFileRefused()
{
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("meter.json"));
    const QByteArray broken = R"({"serial": 12, "address": )";
    {
        QFile f(state);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(broken);
    }
    QProcess sim;
    sim.start(simBinary(), {QStringLiteral("--link"), dir.filePath(QStringLiteral("meter")), QStringLiteral("--state"),
                            state});
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(sim.readAllStandardOutput().isEmpty());
    QFile f(state);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), broken);
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("meter"))));
}

// ---- the executable over a pseudo-terminal -----------------------------------------

// With --pace-input the meter takes in every byte at line speed: at 1200 bit/s (9.17 ms
// a character) the acknowledgement cannot come before the address byte and itself have
// crossed the line, nor the reply before the 4-byte request and the 7-byte reply have.
void TestSim::ptyPacedInput()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("meter"));
    SimProcess sim;
    QVERIFY(sim.start(link, {QStringLiteral("--pace-input"), QStringLiteral("--turnaround"), QStringLiteral("0")}));
    PtyClient pty;
    QVERIFY(pty.open(link));
    QVERIFY(pty.setSpeed(B1200));
    constexpr double charMs = 11 * 1000.0 / 1200;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer t;
        t.start();
        QCOMPARE(pty.select(1), bytes({1}));
        const double ackMs = t.nsecsElapsed() / 1e6;
        QVERIFY2(ackMs >= 2 * charMs - 0.5, qPrintable(QString::number(ackMs)));
        QVERIFY(pty.setMark(false));
        t.restart();
        QVERIFY(pty.send(makeFrame(req::ReadSerial)));
        QCOMPARE(pty.readReply().size(), 7);
        const double replyMs = t.nsecsElapsed() / 1e6;
        QVERIFY2(replyMs >= 11 * charMs - 0.5, qPrintable(QString::number(replyMs)));
    }
}

void TestSim::ptyNinthBit_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("mark");
    QTest::addColumn<bool>("acknowledged");
    QTest::newRow("right address at MARK") << 7 << true << true;
    QTest::newRow("right address at SPACE") << 7 << false << false;
    QTest::newRow("wrong address at MARK") << 8 << true << false;
}

void TestSim::ptyNinthBit()
{
    QFETCH(int, address);
    QFETCH(bool, mark);
    QFETCH(bool, acknowledged);
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("meter"));
    SimProcess sim;
    QVERIFY(QFile::exists(simBinary()));
    QVERIFY(sim.start(link, {QStringLiteral("--address"), QStringLiteral("7")}));
    PtyClient pty;
    QVERIFY(pty.open(link));

    QVERIFY(pty.setMark(mark));
    QVERIFY(pty.send(QByteArray(1, char(address))));
    const QByteArray ack = pty.read(1, acknowledged ? 3000 : 300);
    QCOMPARE(ack, acknowledged ? QByteArray(1, char(address)) : QByteArray());
    QVERIFY(pty.setMark(false));
    QVERIFY(pty.send(makeFrame(req::ReadVersion)));
    const QByteArray reply = pty.readReply(acknowledged ? 3000 : 300);
    QCOMPARE(reply, acknowledged ? makeFrame({0x00, 4}, bytes({0x12, 0x01})) : QByteArray());

    // Whatever happened, the meter still answers a proper exchange.
    QCOMPARE(pty.exchange(makeFrame(req::ReadSerial), 7), makeFrame({0x01, 5}, bytes({0, 0, 0})));
    QCOMPARE(sim.stop(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestSim::ptyFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("noack") << QStringLiteral("noack");
    QTest::newRow("delay") << QStringLiteral("delay=1500");
    QTest::newRow("badcrc") << QStringLiteral("badcrc");
    QTest::newRow("extra") << QStringLiteral("extra");
    QTest::newRow("error") << QStringLiteral("error=6");
    QTest::newRow("split") << QStringLiteral("split=600");
    QTest::newRow("wrongfn") << QStringLiteral("wrongfn");
    QTest::newRow("silent") << QStringLiteral("silent");
}

void TestSim::ptyFaults()
{
    QFETCH(QString, fault);
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("meter"));
    SimProcess sim;
    QVERIFY(sim.start(link, {QStringLiteral("--serial"), QStringLiteral("4660")}));
    PtyClient pty;
    QVERIFY(pty.open(link));
    const QByteArray request = makeFrame(req::ReadSerial);
    const QByteArray normal = makeFrame({0x01, 5}, bytes({0x34, 0x12, 0x00}));
    QCOMPARE(pty.exchange(request), normal);

    const QString kind = fault.section(QLatin1Char('='), 0, 0);
    QVERIFY(sim.command(QStringLiteral("fault %1 1").arg(fault), QStringLiteral("fault ") + kind));

    if (kind == QLatin1String("noack")) {
        QVERIFY(pty.select(1, 500).isEmpty());
        QVERIFY(pty.setMark(false));
        QVERIFY(pty.send(request));
        QVERIFY(pty.read(1, 500).isEmpty());
    } else {
        QCOMPARE(pty.select(1), bytes({1}));
        QVERIFY(pty.setMark(false));
        QVERIFY(pty.send(request));
        if (kind == QLatin1String("silent")) {
            QVERIFY(pty.read(1, 800).isEmpty());
        } else if (kind == QLatin1String("delay")) {
            // Nothing can come before the delay is over; then the whole reply does.
            QVERIFY(pty.read(1, 500).isEmpty());
            QCOMPARE(pty.readReply(5000), normal);
        } else if (kind == QLatin1String("split")) {
            QCOMPARE(pty.read(3, 3000), normal.left(3));
            QVERIFY(pty.read(1, 200).isEmpty()); // the gap
            QCOMPARE(pty.read(4, 5000), normal.mid(3));
        } else if (kind == QLatin1String("extra")) {
            QCOMPARE(pty.read(normal.size() + 1, 3000), normal + bytes({0x00}));
        } else {
            const QByteArray reply = pty.readReply();
            if (kind == QLatin1String("badcrc")) {
                QCOMPARE(reply.left(5), normal.left(5));
                QVERIFY(!crcMatches(reply));
            } else if (kind == QLatin1String("error")) {
                QCOMPARE(reply, makeErrorReply(0x01, 6));
            } else if (kind == QLatin1String("wrongfn")) {
                QVERIFY(crcMatches(reply));
                QVERIFY(reply.at(0) != request.at(0));
            }
        }
    }
    // The fault was for one exchange only; nothing is left over on the line.
    QVERIFY(pty.read(1, 100).isEmpty());
    QCOMPARE(pty.exchange(request), normal);
}

void TestSim::ptyStateSurvivesRestart()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("meter"));
    const QString state = dir.filePath(QStringLiteral("meter.json"));
    {
        SimProcess sim;
        QVERIFY(sim.start(link, {QStringLiteral("--state"), state, QStringLiteral("--password"), QStringLiteral("7")}));
        PtyClient pty;
        QVERIFY(pty.open(link));
        QCOMPARE(pty.exchange(frame({0x02, 5, 0x92, 0x10, 0x00})), makeErrorReply(0x02, 6));
        QCOMPARE(pty.exchange(makeFrame(req::Password, bytes({7, 0}))), makeFrame({0x14, 2}));
        QCOMPARE(pty.exchange(frame({0x02, 5, 0x92, 0x10, 0x00})), makeFrame({0x02, 2}));
        QCOMPARE(pty.exchange(frame({0x27, 5, 2, 0x31, 0x12})), makeFrame({0x27, 2}));
        QCOMPARE(pty.exchange(frame({0x03, 3, 5})), makeFrame({0x03, 2}));
        QVERIFY(QFile::exists(state));
        QCOMPARE(sim.stop(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }
    SimProcess sim;
    // The state file is the meter's memory: it wins over the options.
    QVERIFY(sim.start(link, {QStringLiteral("--state"), state, QStringLiteral("--address"), QStringLiteral("1")}));
    PtyClient pty;
    QVERIFY(pty.open(link));
    QVERIFY(pty.select(1, 300).isEmpty());
    QCOMPARE(pty.exchange(makeFrame(req::ReadSerial), 5), makeFrame({0x01, 5}, bytes({0x92, 0x10, 0x00})));
    QCOMPARE(pty.exchange(makeFrame(req::ReadHoliday, bytes({2})), 5), makeFrame({0x26, 5}, bytes({2, 0x31, 0x12})));
    QCOMPARE(pty.exchange(makeFrame(req::Password, bytes({kFactoryPassword, 0})), 5), makeErrorReply(0x14, 6));
    QCOMPARE(pty.exchange(makeFrame(req::Password, bytes({7, 0})), 5), makeFrame({0x14, 2}));
}

void TestSim::ptyReopenEndsSession_data()
{
    QTest::addColumn<int>("pauseMs");
    QTest::newRow("reopened at once") << 0;
    QTest::newRow("reopened after a pause") << 300;
}

void TestSim::ptyReopenEndsSession()
{
    QFETCH(int, pauseMs);
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("meter"));
    SimProcess sim;
    QVERIFY(sim.start(link));
    PtyClient pty;
    QVERIFY(pty.open(link));
    QCOMPARE(pty.exchange(makeFrame(req::Password, bytes({kFactoryPassword, 0}))), makeFrame({0x14, 2}));
    QCOMPARE(pty.exchange(frame({0x0E, 3, 0x03})), makeFrame({0x0E, 2}));

    pty.close();
    if (pauseMs > 0)
        QTest::qWait(pauseMs); // the meter sees the hang-up and waits for a reopen
    QVERIFY(pty.open(link));
    QCOMPARE(pty.exchange(frame({0x0E, 3, 0x05})), makeErrorReply(0x0E, 6));
    QCOMPARE(pty.exchange(makeFrame(req::ReadIndication)), makeFrame({0x0D, 3}, bytes({0x03})));
    QCOMPARE(sim.stop(), 0);
}

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
