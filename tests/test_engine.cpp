// The exchange engine against a fake line and a fake window. Timers are stepped by
// calling their handlers, so nothing here depends on wall-clock time.

#include "link/exchangeengine.h"
#include "tests/testbytes.h"

#include <QtTest>

using namespace zk;

namespace {

struct Written {
    QByteArray bytes;
    Parity parity;
};

class FakeChannel : public MeterChannel
{
public:
    bool open = true;
    Parity par = Parity::Mark;
    bool rts = false;
    QByteArray incoming;
    QList<Written> written;
    bool failAddressWrite = false;

    bool isOpen() const override { return open; }
    Parity parity() const override { return par; }
    void setParity(Parity p) override { par = p; }
    void setRts(bool raised) override { rts = raised; }
    bool writeBytes(const QByteArray &b) override
    {
        if (failAddressWrite && par == Parity::Mark)
            throw SerialChannelError(QStringLiteral("Write error (5), Input/output error"));
        written.append({b, par});
        return true;
    }
    QByteArray readAvailable() override
    {
        QByteArray out = incoming;
        incoming.clear();
        return out;
    }
    QList<int> wakes; // every wake threshold asked for, in order
    void setWakeThreshold(int bytes) override { wakes.append(bytes); }
};

class FakeHost : public EngineHost
{
public:
    int addr = 1;
    int newAddr = 7;
    bool terminal = true;
    QStringList log;
    int beeps = 0;
    QString status[3];
    QList<WriteVerdict> verdicts;
    bool indicatorShown = false;
    bool writeEnabled = false;
    bool findEnabled = false;
    QList<FirmwareVersion> versions;
    int resetActions = 0;
    int displayResets = 0;
    int records = 0;
    QStringList failures;
    std::function<void()> onFailure;

    int address() const override { return addr; }
    void setAddress(int a) override { addr = a; }
    int newAddress() const override { return newAddr; }
    bool terminalOn() const override { return terminal; }
    void addLogLine(const QString &line) override { log.append(line); }
    void clearLog() override { log.clear(); }
    void beep() override { ++beeps; }
    void setStatusText(int panel, const QString &text) override { status[panel] = text; }
    void showVerdict(WriteVerdict v) override
    {
        verdicts.append(v);
        indicatorShown = true;
    }
    void hideIndicator() override { indicatorShown = false; }
    void setWriteEnabled(bool e) override { writeEnabled = e; }
    void setFindAddressEnabled(bool e) override { findEnabled = e; }
    QList<QPair<bool, bool>> gauges;
    void setGauges(bool annual, bool consumption) override { gauges.append({annual, consumption}); }
    void firmwareChanged(const FirmwareVersion &v) override { versions.append(v); }
    void resetAction() override { ++resetActions; }
    void displayReset() override { ++displayResets; }
    void recordWrite() override { ++records; }
    void reportWriteFailure(const QString &text) override
    {
        failures.append(text);
        if (onFailure)
            onFailure();
    }
};

// A reply to a request: a version reply for 0x00, an empty frame for anything else.
QByteArray replyTo(const QByteArray &request, int firmware)
{
    const quint8 f = quint8(request.at(0));
    if (f == 0x00)
        return withCrc(bytes({0x00, 0x04, toBcd(firmware), 0x01}));
    return withCrc(bytes({f, 0x02}));
}

struct Rig {
    FakeChannel channel;
    FakeHost host;
    ExchangeEngine engine{&channel, &host};
    int firmware = 12;

    void connect()
    {
        engine.setConnected(true);
        engine.startAfterConnect();
        engine.firstRequest();
    }

    // Sends the address byte; returns the function code of the request in flight.
    quint8 tick()
    {
        engine.sendTick();
        return quint8(engine.currentRequest().at(0));
    }

    void acknowledge()
    {
        channel.incoming = QByteArray(1, char(quint8(host.addr)));
        engine.onRxChar();
    }

    void reply(const QByteArray &frame)
    {
        channel.incoming = frame;
        engine.onRxChar();
    }

    // One whole exchange answered the way a meter would; returns the request's function.
    quint8 exchange()
    {
        const quint8 f = tick();
        acknowledge();
        reply(replyTo(engine.currentRequest(), firmware));
        return f;
    }

    quint8 timeout()
    {
        const quint8 f = tick();
        engine.replyTimeout();
        return f;
    }

    QList<int> requestFunctions() const
    {
        QList<int> out;
        for (const Written &w : channel.written)
            if (w.parity == Parity::Space)
                out.append(quint8(w.bytes.at(0)));
        return out;
    }
};

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT
private slots:
    void pollCycleByFirmware_data()
    {
        QTest::addColumn<int>("firmware");
        QTest::addColumn<QList<int>>("expected");
        const QList<int> cycle10 = {0x00, 0x01, 0x04, 0x0D, 0x0F, 0x0A, 0x11, 0x0C, 0x06, 0x22};
        QTest::newRow("firmware 9: ten entries")
            << 9 << (QList<int>{0x00} + cycle10 + cycle10.mid(0, 3));
        QTest::newRow("firmware 12: eleven entries")
            << 12 << (QList<int>{0x00} + cycle10 + QList<int>{0x2A} + cycle10.mid(0, 2));
        QTest::newRow("firmware 10: eleven entries")
            << 10 << (QList<int>{0x00} + cycle10 + QList<int>{0x2A} + cycle10.mid(0, 2));
    }
    void pollCycleByFirmware()
    {
        QFETCH(int, firmware);
        QFETCH(QList<int>, expected);
        Rig rig;
        rig.firmware = firmware;
        rig.connect();
        for (int i = 0; i < expected.size(); ++i)
            rig.exchange();
        QCOMPARE(rig.requestFunctions(), expected);
        QCOMPARE(rig.engine.firmwareNumber(), firmware);
        QCOMPARE(rig.host.versions.size(), 3); // the first two requests and the next wrap
    }

    void addressThenFrameAtTheirParities()
    {
        Rig rig;
        rig.host.addr = 0x21;
        rig.connect();
        rig.tick();
        QCOMPARE(rig.channel.written.size(), 1);
        QCOMPARE(rig.channel.written[0].bytes, bytes({0x21}));
        QCOMPARE(rig.channel.written[0].parity, Parity::Mark);
        QVERIFY(rig.channel.rts);
        rig.engine.onTxEmpty();
        QVERIFY(!rig.channel.rts);
        // A wrong acknowledgement is ignored: no frame goes out.
        rig.channel.incoming = bytes({0x22});
        rig.engine.onRxChar();
        QCOMPARE(rig.channel.written.size(), 1);
        rig.acknowledge();
        QCOMPARE(rig.channel.written.size(), 2);
        QCOMPARE(rig.channel.written[1].bytes, bytes({0x00, 0x02, 0x80, 0x71}));
        QCOMPARE(rig.channel.written[1].parity, Parity::Space);
        QCOMPARE(rig.engine.sentCount(), 1);
    }

    void lateAcknowledgementIsNotAnswered()
    {
        Rig rig;
        rig.connect();
        rig.tick();
        rig.engine.replyTimeout();
        rig.acknowledge();
        QCOMPARE(rig.channel.written.size(), 1); // the address byte only
        QCOMPARE(rig.channel.parity(), Parity::Mark);
        QCOMPARE(rig.engine.sentCount(), 0);
        rig.tick();
        rig.acknowledge();
        QCOMPARE(rig.channel.written.size(), 3);
        QCOMPARE(rig.channel.written.last().parity, Parity::Space);
    }

    void replySplitAcrossReads()
    {
        Rig rig;
        rig.connect();
        rig.tick();
        rig.acknowledge();
        const QByteArray reply = replyTo(rig.engine.currentRequest(), 12);
        rig.reply(reply.left(1));
        rig.reply(reply.mid(1, 3));
        QVERIFY(rig.engine.awaitingReply());
        QVERIFY(rig.host.versions.isEmpty());
        rig.reply(reply.mid(4));
        QVERIFY(!rig.engine.awaitingReply());
        QCOMPARE(rig.host.versions.size(), 1);
        QCOMPARE(rig.host.versions[0].text, QStringLiteral("1.12"));
    }

    void skipAfterRejectionNotAfterTimeout_data()
    {
        QTest::addColumn<bool>("reject");
        QTest::addColumn<int>("next");
        QTest::newRow("rejected entry 3 -> entry 5") << true << 0x0A;
        QTest::newRow("timeout on entry 3 -> entry 4") << false << 0x0F;
    }
    void skipAfterRejectionNotAfterTimeout()
    {
        QFETCH(bool, reject);
        QFETCH(int, next);
        Rig rig;
        rig.connect();
        for (int i = 0; i < 3; ++i)
            rig.exchange(); // version, version (entry 0), serial (entry 1)
        rig.exchange();     // clock (entry 2)
        QCOMPARE(rig.tick(), quint8(0x0D)); // entry 3
        if (reject) {
            rig.acknowledge();
            QByteArray bad = replyTo(rig.engine.currentRequest(), 12);
            bad[2] = char(bad.at(2) ^ 0x55); // CRC broken
            rig.reply(bad);
            QCOMPARE(rig.host.log.last(), QStringLiteral("Ошибка контрольной суммы"));
        } else {
            rig.engine.replyTimeout();
            QCOMPARE(rig.host.log.last(), QStringLiteral("Timeout."));
        }
        QCOMPARE(int(rig.tick()), next);
    }

    void errorReplyAndLongReplyAreNotRepeated_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("text");
        QTest::newRow("error reply") << makeErrorReply(0x01, 1) << "Ошибка: Неизвестная функция";
        QTest::newRow("one byte too many") << withCrc(bytes({0x01, 0x02})) + bytes({0x00})
                                           << "Отклик длиннее требуемого";
        QTest::newRow("another function") << withCrc(bytes({0x04, 0x02})) << "Неверный отклик";
    }
    void errorReplyAndLongReplyAreNotRepeated()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, text);
        Rig rig;
        rig.connect();
        rig.exchange();
        rig.exchange();
        QCOMPARE(rig.tick(), quint8(0x01));
        rig.acknowledge();
        rig.reply(reply);
        QCOMPARE(rig.host.log, QStringList{text});
        QVERIFY(!rig.engine.awaitingReply());
        QCOMPARE(rig.tick(), quint8(0x0D)); // entry 2 (clock) skipped, not the serial again
    }

    // The line wakes the program once for the rest of a reply whose head it has; before
    // the head, after a verdict and after a timeout it wakes at every byte again. One
    // byte too many asked for would hold the reply's last byte back until the timeout.
    void wakeThresholdFollowsTheReply_data()
    {
        QTest::addColumn<QList<int>>("pieces");
        QTest::addColumn<QList<int>>("thresholds");
        // The version reply is 6 bytes: head 00 04, two data bytes, the CRC.
        QTest::newRow("whole reply") << QList<int>{6} << QList<int>{1};
        QTest::newRow("byte by byte") << QList<int>{1, 1, 1, 1, 1, 1} << QList<int>{1, 4, 3, 2, 1, 1};
        QTest::newRow("head alone first") << QList<int>{2, 4} << QList<int>{4, 1};
        QTest::newRow("head and a data byte") << QList<int>{3, 3} << QList<int>{3, 1};
        QTest::newRow("all but the last byte") << QList<int>{5, 1} << QList<int>{1, 1};
        QTest::newRow("cut short by the timeout") << QList<int>{2} << QList<int>{4};
    }
    void wakeThresholdFollowsTheReply()
    {
        QFETCH(QList<int>, pieces);
        QFETCH(QList<int>, thresholds);
        Rig rig;
        rig.connect();
        rig.tick();
        QCOMPARE(rig.channel.wakes, QList<int>{1}); // the acknowledgement is one byte
        rig.acknowledge();
        rig.channel.wakes.clear();
        const QByteArray reply = replyTo(rig.engine.currentRequest(), 12);
        int at = 0;
        for (int n : pieces) {
            rig.reply(reply.mid(at, n));
            at += n;
        }
        QCOMPARE(rig.channel.wakes, thresholds);
        if (rig.engine.awaitingReply()) {
            rig.engine.replyTimeout();
            QCOMPARE(rig.channel.wakes.last(), 1);
        }
    }

    // The frame goes out with the line set to wake the program once the whole reply is
    // in: a function code, a length, the data the decoder needs and the CRC.
    void replyWakesOnceWhole_data()
    {
        QTest::addColumn<int>("minData");
        QTest::addColumn<int>("threshold");
        QTest::newRow("version, two data bytes") << -1 << 6;
        QTest::newRow("no data needed") << 0 << 4;
        QTest::newRow("one data byte, as long as an error reply") << 1 << 5;
        QTest::newRow("thirty data bytes") << 30 << 34;
        QTest::newRow("longer than the terminal counts") << 300 << 255;
        QTest::newRow("a request with no handler") << -2 << 4;
    }
    void replyWakesOnceWhole()
    {
        QFETCH(int, minData);
        QFETCH(int, threshold);
        Rig rig;
        if (minData >= 0)
            rig.engine.setHandler(fn::ReadVersion, minData, [](const QByteArray &) {});
        rig.connect();
        if (minData == -2) {
            rig.engine.enqueue(withCrc(bytes({0x55, 0x02})));
            rig.exchange();
            QCOMPARE(rig.tick(), quint8(0x55));
        } else {
            QCOMPARE(rig.tick(), quint8(0x00));
        }
        rig.channel.wakes.clear();
        rig.acknowledge();
        QCOMPARE(rig.channel.wakes, QList<int>{threshold});
        QCOMPARE(rig.channel.par, Parity::Space);
    }

    // Bytes after a rejected reply belong to no request: they neither drop another
    // queued request nor write a line.
    void strayBytesAfterARejectedReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("late");
        QByteArray badCrc = withCrc(bytes({0x01, 0x02}));
        badCrc[3] = char(badCrc.at(3) ^ 0x01);
        QTest::newRow("bad CRC") << badCrc << false;
        QTest::newRow("error reply") << makeErrorReply(0x01, 6) << false;
        QTest::newRow("another function") << withCrc(bytes({0x04, 0x02})) << false;
        QTest::newRow("late reply") << withCrc(bytes({0x01, 0x02})) << true;
    }
    void strayBytesAfterARejectedReply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, late);
        Rig rig;
        rig.connect();
        rig.exchange();
        rig.exchange();
        QCOMPARE(rig.tick(), quint8(0x01));
        rig.acknowledge();
        if (late)
            rig.engine.replyTimeout();
        rig.reply(reply);
        QCOMPARE(rig.host.log.size(), 1); // the rejection's text, or the timeout's
        const QList<QByteArray> queue = rig.engine.queue();
        const QStringList log = rig.host.log;
        rig.reply(bytes({0x00}));
        rig.reply(bytes({0x01, 0x02}));
        QCOMPARE(rig.engine.queue(), queue);
        QCOMPARE(rig.host.log, log);
    }

    void lateReplyRejectedSilently()
    {
        Rig rig;
        rig.connect();
        rig.tick();
        rig.acknowledge();
        rig.engine.replyTimeout();
        QCOMPARE(rig.host.log, QStringList{"Timeout."});
        rig.reply(replyTo(bytes({0x00}), 12));
        QCOMPARE(rig.host.log, QStringList{"Timeout."});
        QVERIFY(rig.host.versions.isEmpty());
    }

    void deselectTimeoutResendsSilently()
    {
        Rig rig;
        rig.host.addr = 255;
        rig.connect();
        rig.exchange();
        rig.engine.setDeselect(true);
        const quint8 f = rig.tick();
        QCOMPARE(rig.channel.written.last().bytes, bytes({0x00})); // 255 + 1 wraps to 0
        const int timeouts = rig.engine.timeoutCount();
        rig.engine.replyTimeout();
        QVERIFY(!rig.engine.deselect());
        QVERIFY(rig.host.log.isEmpty());
        QCOMPARE(rig.engine.timeoutCount(), timeouts);
        QVERIFY(!rig.host.findEnabled);
        QVERIFY(rig.engine.timer1().isActive());
        QCOMPARE(rig.tick(), f); // the same request again
        QCOMPARE(rig.channel.written.last().bytes, bytes({0xFF}));
    }

    void sixthTimeoutDisablesWriting()
    {
        Rig rig;
        rig.engine.setSqlMode(true);
        rig.host.addr = 9;
        rig.connect();
        rig.host.writeEnabled = true;
        for (int i = 1; i <= 5; ++i) {
            rig.timeout();
            QVERIFY2(rig.host.writeEnabled, qPrintable(QString::number(i)));
            QVERIFY(rig.host.findEnabled);
        }
        QCOMPARE(rig.host.displayResets, 0);
        QCOMPARE(rig.host.addr, 9);
        rig.timeout();
        QVERIFY(!rig.host.writeEnabled);
        QCOMPARE(rig.host.displayResets, 1);
        QCOMPARE(rig.host.addr, 0); // SQL mode falls back to address 0
        rig.timeout();
        QCOMPARE(rig.host.displayResets, 2);
        // The first reply byte in a frame phase enables writing and clears the count.
        rig.tick();
        rig.acknowledge();
        QVERIFY(!rig.host.writeEnabled);
        rig.reply(bytes({0x00}));
        QVERIFY(rig.host.writeEnabled);
        QCOMPARE(rig.engine.timeoutCount(), 0);
        QVERIFY(!rig.host.findEnabled);
    }

    void writeSequenceSucceeds()
    {
        Rig rig;
        rig.connect();
        rig.exchange();
        rig.engine.setSettingsWritePending(true);
        rig.engine.enqueue({makeFrame(req::Password, bytes({1, 0})),
                            makeFrame(req::WriteIndication, bytes({0x0F})),
                            makeFrame(req::WriteBilling, bytes({0x00, 0x01}))});
        // The poll entry already queued goes first.
        QCOMPARE(rig.exchange(), quint8(0x00));
        QCOMPARE(rig.exchange(), quint8(0x14));
        QCOMPARE(rig.exchange(), quint8(0x0E));
        QCOMPARE(rig.host.records, 0);
        QCOMPARE(rig.exchange(), quint8(0x23));
        QCOMPARE(rig.host.verdicts, QList<WriteVerdict>{WriteVerdict::Success});
        QCOMPARE(rig.host.records, 1);
        QCOMPARE(rig.host.displayResets, 1);
        QVERIFY(!rig.engine.settingsWritePending());
        QVERIFY(rig.engine.timerShape().isActive());
        QVERIFY2(rig.host.log.isEmpty(), qPrintable(rig.host.log.join('|'))); // write replies carry no data
        QCOMPARE(rig.exchange(), quint8(0x01)); // polling resumes
        QCOMPARE(rig.host.records, 1);
        rig.engine.indicatorExpired();
        QVERIFY(!rig.host.indicatorShown);
        QCOMPARE(rig.host.resetActions, 1);
        QVERIFY(rig.host.failures.isEmpty());
    }

    // Bytes after an accepted reply, before the next address byte, decide nothing.
    void strayByteAfterAcceptedReply()
    {
        Rig rig;
        rig.connect();
        rig.exchange();
        rig.engine.setSettingsWritePending(true);
        rig.engine.enqueue({makeFrame(req::Password, bytes({1, 0})), makeFrame(req::WriteIndication, bytes({1}))});
        QCOMPARE(rig.exchange(), quint8(0x00));
        QCOMPARE(rig.exchange(), quint8(0x14));
        rig.reply(bytes({0x00})); // a glitch of the line driver
        QVERIFY(rig.host.failures.isEmpty());
        QCOMPARE(rig.exchange(), quint8(0x0E));
        QCOMPARE(rig.host.records, 1);
        QVERIFY(rig.host.failures.isEmpty());
        QCOMPARE(rig.host.verdicts, QList<WriteVerdict>{WriteVerdict::Success});
    }

    // A verdict shortly after another shows its own colour for the whole two seconds.
    void secondVerdictRestartsTheIndicator()
    {
        Rig rig;
        rig.engine.timerShape().setTimerType(Qt::PreciseTimer);
        rig.connect();
        rig.exchange();
        rig.engine.setSettingsWritePending(true);
        rig.engine.enqueue(makeFrame(req::Password, bytes({1, 0})));
        rig.exchange();
        rig.exchange();
        QVERIFY(rig.engine.timerShape().isActive());
        QTest::qWait(200);
        rig.engine.setSettingsWritePending(true);
        rig.engine.enqueue(makeFrame(req::Password, bytes({1, 0})));
        rig.timeout();
        QCOMPARE(rig.host.verdicts, (QList<WriteVerdict>{WriteVerdict::Success, WriteVerdict::Failure}));
        // Restarted by the red: two full seconds again, not what the green had left.
        QVERIFY(rig.engine.timerShape().remainingTime() > 1950);
        QVERIFY(rig.engine.timerShape().remainingTime() <= 2000);
    }

    void timeoutCountStartsAtZeroEachSession()
    {
        Rig rig;
        rig.connect();
        rig.host.writeEnabled = true;
        for (int i = 0; i < 7; ++i)
            rig.timeout();
        QVERIFY(rig.engine.timeoutCount() > 5);
        rig.engine.stopAfterDisconnect();
        rig.connect();
        rig.host.writeEnabled = true;
        const int resets = rig.host.displayResets;
        rig.timeout();
        QVERIFY(rig.host.writeEnabled);
        QCOMPARE(rig.host.displayResets, resets);
        QCOMPARE(rig.engine.timeoutCount(), 1);
    }

    void sixTimeoutsKeepTheAddressOutsideSqlMode()
    {
        Rig rig;
        rig.host.addr = 9;
        rig.connect();
        for (int i = 0; i < 7; ++i)
            rig.timeout();
        QCOMPARE(rig.host.addr, 9);
        QVERIFY(!rig.host.writeEnabled);
    }

    void gaugesFollowTheFunction_data()
    {
        QTest::addColumn<int>("function");
        QTest::addColumn<bool>("annual");
        QTest::addColumn<bool>("consumption");
        QTest::newRow("annual") << 0x12 << true << false;
        QTest::newRow("consumption") << 0x13 << false << true;
        QTest::newRow("other") << 0x01 << false << false;
    }
    void gaugesFollowTheFunction()
    {
        QFETCH(int, function);
        QFETCH(bool, annual);
        QFETCH(bool, consumption);
        Rig rig;
        rig.connect();
        rig.exchange();
        rig.engine.enqueue(withCrc(bytes({function, 0x03, 0x00})));
        rig.exchange(); // the poll entry queued before
        QCOMPARE(rig.tick(), quint8(function));
        rig.acknowledge();
        rig.host.gauges.clear();
        rig.reply(withCrc(bytes({function, 0x02})));
        QCOMPARE(rig.host.gauges.value(0), qMakePair(annual, consumption));
    }

    void scheduleFlagCompletesAWrite()
    {
        Rig rig;
        rig.connect();
        rig.exchange();
        rig.engine.setScheduleWritePending(true);
        rig.engine.enqueue(makeFrame(req::ClearHolidays));
        rig.exchange();
        rig.exchange();
        QCOMPARE(rig.host.records, 1);
        QVERIFY(!rig.engine.scheduleWritePending());
        QCOMPARE(rig.host.verdicts, QList<WriteVerdict>{WriteVerdict::Success});
    }

    void rejectionTextsInServiceMode()
    {
        Rig rig;
        rig.engine.setMasterMode(true);
        rig.connect();
        rig.tick();
        rig.acknowledge();
        rig.reply(makeErrorReply(0x00, 6));
        QVERIFY(rig.host.log.join(QLatin1Char('\n')).contains(errorCodeText(6)));
    }

    void writeSequenceFailsInItsMiddle_data()
    {
        QTest::addColumn<bool>("byTimeout");
        QTest::newRow("timeout") << true;
        QTest::newRow("access denied") << false;
    }
    void writeSequenceFailsInItsMiddle()
    {
        QFETCH(bool, byTimeout);
        Rig rig;
        rig.connect();
        rig.engine.setScheduleWritePending(true);
        rig.engine.enqueue({makeFrame(req::Password, bytes({1, 0})),
                            makeFrame(req::ClearHolidays),
                            makeFrame(req::ClearTransfers)});
        rig.exchange(); // version
        rig.exchange(); // password
        bool timer1DuringBox = true;
        rig.host.onFailure = [&] { timer1DuringBox = rig.engine.timer1().isActive(); };
        QCOMPARE(rig.tick(), quint8(0x27));
        if (byTimeout) {
            rig.engine.replyTimeout();
        } else {
            rig.acknowledge();
            rig.reply(makeErrorReply(0x27, 6));
        }
        QCOMPARE(rig.host.verdicts, QList<WriteVerdict>{WriteVerdict::Failure});
        QCOMPARE(rig.host.failures, QStringList{ExchangeEngine::WriteFailureText});
        QVERIFY(!timer1DuringBox);
        QVERIFY(rig.engine.timer1().isActive());
        QCOMPARE(rig.host.records, 0);
        for (int i = 0; i < 12; ++i)
            rig.exchange();
        QVERIFY(!rig.requestFunctions().contains(0x29));
        QCOMPARE(rig.host.failures.size(), 1);
        QCOMPARE(rig.host.records, 0);
    }

    void disconnectDuringWriteReportsNothing()
    {
        Rig rig;
        rig.connect();
        rig.engine.setSettingsWritePending(true);
        rig.engine.enqueue({makeFrame(req::Password, bytes({1, 0})), makeFrame(req::ResetBilling)});
        rig.exchange();
        rig.exchange();
        rig.tick();
        rig.engine.stopAfterDisconnect();
        QVERIFY(rig.engine.queue().isEmpty());
        QVERIFY(!rig.engine.awaitingReply());
        QVERIFY(rig.host.verdicts.isEmpty());
        QVERIFY(rig.host.failures.isEmpty());
        QCOMPARE(rig.host.records, 0);
    }

    void requestsWhileDisconnectedAreDiscarded()
    {
        Rig rig;
        rig.engine.enqueue(makeFrame(req::ReadAnnual, bytes({0})));
        QVERIFY(rig.engine.queue().isEmpty());
        QVERIFY(!rig.engine.timer1().isActive());
        rig.connect();
        rig.exchange();
        rig.engine.stopAfterDisconnect();
        rig.engine.enqueue({makeFrame(req::ReadConsumption, bytes({0})),
                            makeFrame(req::ReadConsumption, bytes({1}))});
        QVERIFY(rig.engine.queue().isEmpty());
    }

    void newAddressTakesEffectBeforeNextRequest()
    {
        Rig rig;
        rig.host.addr = 1;
        rig.host.newAddr = 42;
        rig.connect();
        rig.exchange();
        rig.engine.enqueue(makeFrame(req::WriteAddress, bytes({42})));
        rig.exchange();
        QCOMPARE(rig.exchange(), quint8(0x03));
        QCOMPARE(rig.host.addr, 42);
        rig.tick();
        QCOMPARE(rig.channel.written.last().bytes, bytes({42}));
    }

    void addressSearchWraps()
    {
        Rig rig;
        rig.connect();
        rig.engine.startAddressSearch();
        QCOMPARE(rig.host.addr, 0);
        rig.host.addr = 254;
        // An unanswered address drops what was queued.
        rig.engine.enqueue(makeFrame(req::ReadAnnual, bytes({0})));
        rig.timeout();
        QCOMPARE(rig.host.addr, 255);
        for (const QByteArray &frame : rig.engine.queue())
            QVERIFY(quint8(frame.at(0)) != 0x12);
        rig.timeout();
        QCOMPARE(rig.host.addr, 0);
        rig.timeout();
        QCOMPARE(rig.host.addr, 1);
        QVERIFY(rig.host.log.isEmpty());
        QCOMPARE(rig.engine.timeoutCount(), 0);
        // Any received byte ends the search.
        rig.tick();
        rig.channel.incoming = bytes({0x01});
        rig.engine.onRxChar();
        QVERIFY(!rig.engine.addressSearch());
        QCOMPARE(rig.host.addr, 1);
    }

    void addressByteInTheLogIsHex()
    {
        Rig rig;
        rig.engine.setMasterMode(true);
        rig.host.addr = 0x1F;
        rig.connect();
        rig.tick();
        QVERIFY(rig.host.log.last().endsWith(QStringLiteral(" Send 1F")));
        // A byte from the meter clears the line-state panel.
        rig.host.status[1] = QStringLiteral("DSR не установлен");
        rig.acknowledge();
        QVERIFY(rig.host.status[1].isEmpty());
    }

    void logFormatsByMode()
    {
        Rig rig;
        rig.engine.setMasterMode(true);
        rig.host.addr = 5;
        rig.connect();
        rig.exchange();
        rig.timeout();
        QCOMPARE(rig.host.beeps, 0);
        const QStringList &log = rig.host.log;
        QCOMPARE(log.size(), 6);
        const QRegularExpression stamp("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ");
        QVERIFY(log[0].contains(stamp));
        QCOMPARE(log[0].mid(12), QStringLiteral(" Send 05"));
        QCOMPARE(log[1].mid(12), QStringLiteral(" Received: 05 "));
        QCOMPARE(log[2].mid(12), QStringLiteral(" Send 00 02 80 71 "));
        QVERIFY(log[3].mid(12).startsWith(QStringLiteral(" Received: 00 04 12 01 ")));
        QCOMPARE(log[4].mid(12), QStringLiteral(" Send 05"));
        QVERIFY(log[5].contains(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d Timeout\\.$")));

        Rig quiet;
        quiet.connect();
        quiet.exchange();
        quiet.timeout();
        quiet.tick();
        quiet.acknowledge();
        quiet.reply(makeErrorReply(0x01, 9));
        QCOMPARE(quiet.host.log, (QStringList{"Timeout.", "Неизвестная ошибка"}));
        QCOMPARE(quiet.host.beeps, 2);

        Rig off;
        off.host.terminal = false;
        off.connect();
        off.timeout();
        QVERIFY(off.host.log.isEmpty());
        QCOMPARE(off.host.beeps, 0);
    }

    void shortReplyIsNotHandled()
    {
        Rig rig;
        int calls = 0;
        rig.engine.setHandler(fn::ReadReadings, 30, [&](const QByteArray &) { ++calls; });
        rig.connect();
        for (int i = 0; i < 5; ++i)
            rig.exchange();
        QCOMPARE(rig.tick(), fn::ReadReadings);
        rig.acknowledge();
        rig.reply(withCrc(bytes({fn::ReadReadings, 0x04, 1, 2})));
        QCOMPARE(calls, 0);
        QCOMPARE(rig.host.log, QStringList{"Отклик короче требуемого"});
        QCOMPARE(rig.tick(), fn::ReadDdm); // the head was removed; polling goes on
    }

    void throwingHandlerStillEndsTheExchange()
    {
        Rig rig;
        rig.engine.setHandler(fn::ReadSerial, 0, [](const QByteArray &) {
            throw SerialChannelError(QStringLiteral("boom"));
        });
        rig.connect();
        rig.exchange();
        rig.exchange();
        QCOMPARE(rig.tick(), quint8(0x01));
        rig.acknowledge();
        QVERIFY_THROWS_EXCEPTION(SerialChannelError, rig.reply(replyTo(bytes({0x01}), 12)));
        QCOMPARE(rig.tick(), quint8(0x04));
    }

    void addressWriteErrorsAreIgnored()
    {
        Rig rig;
        rig.connect();
        rig.channel.failAddressWrite = true;
        rig.tick();
        QVERIFY(rig.engine.awaitingReply());
        rig.engine.replyTimeout();
        QCOMPARE(rig.host.log, QStringList{"Timeout."});
    }

    void tickDoesNothingWhileInFlightOrClosed()
    {
        Rig rig;
        rig.connect();
        rig.tick();
        QCOMPARE(rig.channel.written.size(), 1);
        rig.engine.sendTick();
        QCOMPARE(rig.channel.written.size(), 1);
        rig.engine.replyTimeout();
        rig.channel.open = false;
        rig.engine.sendTick();
        QCOMPARE(rig.channel.written.size(), 1);
    }

    void replyTimeoutChangeRestartsRunningTimer()
    {
        Rig rig;
        rig.connect();
        rig.tick();
        QVERIFY(rig.engine.awaitingReply());
        rig.engine.setReplyTimeout(3000);
        QVERIFY(rig.engine.awaitingReply());
        QCOMPARE(rig.engine.replyTimeoutMs(), 3000);
        QVERIFY(rig.engine.timer2().remainingTime() > 2000);
    }

    void breakShowsInStatus()
    {
        Rig rig;
        rig.engine.onBreak();
        QCOMPARE(rig.host.status[1], QStringLiteral("Break received"));
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "test_engine.moc"
