// The virtual meter: its protocol state machine in-process against frames built by the
// codec, and the real executable over a pseudo-terminal.

#include "frame.h"
#include "metermodel.h"
#include "meterprotocol.h"

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

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

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
    void parseFault_data();
    void parseFault();
    void stateJson();

    void ptyNinthBit_data();
    void ptyNinthBit();
    void ptyFaults_data();
    void ptyFaults();
    void ptyStateSurvivesRestart();
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
        QVERIFY(ack.isEmpty());
        QVERIFY(out.isEmpty());
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
    if (f->kind != FaultKind::NoAck)
        QCOMPARE(joined(ack), bytes({1}));

    // The count was one exchange: the next one is normal.
    QByteArray nextAck;
    QCOMPARE(b.exchange(request, 1, &nextAck), normal);
    QCOMPARE(nextAck, bytes({1}));
    QCOMPARE(b.protocol.fault().kind, FaultKind::None);
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

// ---- the executable over a pseudo-terminal -----------------------------------------

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
