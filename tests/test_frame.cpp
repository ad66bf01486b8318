#include "link/frame.h"
#include "tests/testbytes.h"

#include <QtTest>

using namespace zk;

class TestFrame : public QObject
{
    Q_OBJECT
private slots:
    void crcCheckValue()
    {
        QCOMPARE(crc16(QByteArray("123456789")), quint16(0x4B37));
    }

    void requestFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("version") << makeFrame(req::ReadVersion) << bytes({0x00, 0x02, 0x80, 0x71});
        QTest::newRow("serial read") << makeFrame(req::ReadSerial)
                                     << withCrc(bytes({0x01, 0x02}));
        QTest::newRow("password") << makeFrame(req::Password, bytes({0x34, 0x12}))
                                  << withCrc(bytes({0x14, 0x04, 0x34, 0x12}));
        QTest::newRow("transfer") << makeFrame(req::WriteTransfer, bytes({3, 0x09, 0x05, 0x26, 2}))
                                  << withCrc(bytes({0x29, 0x07, 3, 0x09, 0x05, 0x26, 2}));
    }
    void requestFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, expected);
        QCOMPARE(frame, expected);
        QCOMPARE(int(quint8(frame.at(1))), int(frame.size()) - 2);
        // The CRC over a frame that already carries its CRC is zero.
        QCOMPARE(crc16(frame), quint16(0));
        QVERIFY(crcMatches(frame));
    }

    // Every head of the catalogue against the table of codes and lengths.
    void catalogueHeads_data()
    {
        QTest::addColumn<int>("function");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("expectedFunction");
        QTest::addColumn<int>("expectedLength");
        const struct {
            const char *name;
            Head head;
            int function, length;
        } table[] = {
            {"ReadVersion", req::ReadVersion, 0x00, 2},     {"ReadSerial", req::ReadSerial, 0x01, 2},
            {"WriteSerial", req::WriteSerial, 0x02, 5},     {"WriteAddress", req::WriteAddress, 0x03, 3},
            {"ReadClock", req::ReadClock, 0x04, 2},         {"WriteClock", req::WriteClock, 0x05, 10},
            {"ReadCorrection", req::ReadCorrection, 0x06, 2}, {"WriteCorrection", req::WriteCorrection, 0x07, 3},
            {"ReadZones", req::ReadZones, 0x08, 2},         {"OneTariff", req::OneTariff, 0x09, 2},
            {"WriteZones", req::WriteZones, 0x09, 20},      {"ReadDdm", req::ReadDdm, 0x0A, 2},
            {"WriteDdm", req::WriteDdm, 0x0B, 11},          {"ReadStatus", req::ReadStatus, 0x0C, 2},
            {"ReadIndication", req::ReadIndication, 0x0D, 2}, {"WriteIndication", req::WriteIndication, 0x0E, 3},
            {"ReadReadings", req::ReadReadings, 0x0F, 2},   {"ReadTurnOn", req::ReadTurnOn, 0x11, 2},
            {"ReadAnnual", req::ReadAnnual, 0x12, 3},       {"ReadConsumption", req::ReadConsumption, 0x13, 3},
            {"Password", req::Password, 0x14, 4},           {"ReadBilling", req::ReadBilling, 0x22, 2},
            {"WriteBilling", req::WriteBilling, 0x23, 4},   {"ResetBilling", req::ResetBilling, 0x24, 2},
            {"ReadHoliday", req::ReadHoliday, 0x26, 3},     {"ClearHolidays", req::ClearHolidays, 0x27, 2},
            {"WriteHoliday", req::WriteHoliday, 0x27, 5},   {"ReadTransfer", req::ReadTransfer, 0x28, 3},
            {"ClearTransfers", req::ClearTransfers, 0x29, 2}, {"WriteTransfer", req::WriteTransfer, 0x29, 7},
            {"ReadDdmStamps", req::ReadDdmStamps, 0x2A, 2}, {"ReadDayTypes", req::ReadDayTypes, 0x2E, 2},
            {"WriteDayTypes", req::WriteDayTypes, 0x2F, 8},
        };
        for (const auto &row : table)
            QTest::newRow(row.name) << int(row.head.function) << int(row.head.length) << row.function << row.length;
    }
    void catalogueHeads()
    {
        QFETCH(int, function);
        QFETCH(int, length);
        QFETCH(int, expectedFunction);
        QFETCH(int, expectedLength);
        QCOMPARE(function, expectedFunction);
        QCOMPARE(length, expectedLength);
        QVERIFY(isCatalogueFunction(quint8(function)));
        QCOMPARE(makeFrame(Head{quint8(function), quint8(length)}, QByteArray(length - 2, 0)).size(), length + 2);
    }

    // Which codes the program sends at all, and which of them write: every code of
    // the byte, so that a code slipping into or out of either set is seen.
    void functionSets_data()
    {
        QTest::addColumn<int>("function");
        QTest::addColumn<bool>("catalogue");
        QTest::addColumn<bool>("write");
        const QList<int> reads = {0x00, 0x01, 0x04, 0x06, 0x08, 0x0A, 0x0C, 0x0D, 0x0F, 0x11,
                                  0x12, 0x13, 0x14, 0x22, 0x26, 0x28, 0x2A, 0x2E};
        const QList<int> writes = {0x02, 0x03, 0x05, 0x07, 0x09, 0x0B, 0x0E, 0x23, 0x24, 0x27, 0x29, 0x2F};
        for (int f = 0; f < 256; ++f) {
            const bool write = writes.contains(f);
            QTest::addRow("0x%02X", f) << f << (write || reads.contains(f)) << write;
        }
    }
    void functionSets()
    {
        QFETCH(int, function);
        QFETCH(bool, catalogue);
        QFETCH(bool, write);
        QCOMPARE(isCatalogueFunction(quint8(function)), catalogue);
        QCOMPARE(isWriteFunction(quint8(function)), write);
    }

    void acceptance_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<int>("request");
        QTest::addColumn<bool>("awaiting");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("errorReply");

        const QByteArray version = withCrc(bytes({0x00, 0x04, 0x12, 0x01}));
        const QByteArray err = makeErrorReply(0x00, 6);
        QByteArray errBadCrc = err;
        errBadCrc[4] = char(errBadCrc.at(4) ^ 0x01);
        QByteArray badCrc = version;
        badCrc[5] = char(badCrc.at(5) ^ 0x40);
        QByteArray wrongFunctionAndCrc = badCrc;
        wrongFunctionAndCrc[0] = 0x01;
        const QByteArray ack2 = withCrc(bytes({0x05, 0x02}));

        const int A = int(Verdict::Accepted), I = int(Verdict::Incomplete), R = int(Verdict::Rejected);
        QTest::newRow("good reply") << version << 0 << true << A << QString() << false;
        QTest::newRow("empty") << QByteArray() << 0 << true << I << QString() << false;
        QTest::newRow("one byte") << bytes({0x00}) << 0 << true << I << QString() << false;
        QTest::newRow("short of length") << version.left(5) << 0 << true << I << QString() << false;
        QTest::newRow("error reply") << err << 0 << true << R << "Ошибка: Доступ запрещен" << true;
        QTest::newRow("error reply after timeout") << err << 0 << false << R << "Ошибка: Доступ запрещен" << true;
        QTest::newRow("error look-alike with bad CRC")
            << errBadCrc << 0 << true << R << "Неверный отклик" << false;
        QTest::newRow("error reply to another function")
            << makeErrorReply(0x01, 1) << 0 << true << R << "Неверный отклик" << false;
        QTest::newRow("late reply") << version << 0 << false << R << QString() << false;
        QTest::newRow("wrong function") << version << 1 << true << R << "Неверный отклик" << false;
        QTest::newRow("extra byte") << ack2 + bytes({0x00}) << 5 << true << R
                                    << "Отклик длиннее требуемого" << false;
        QTest::newRow("length 2 complete at 4") << ack2 << 5 << true << A << QString() << false;
        QTest::newRow("bad CRC") << badCrc << 0 << true << R << "Ошибка контрольной суммы" << false;
        QTest::newRow("function and CRC wrong")
            << wrongFunctionAndCrc << 0 << true << R << "Неверный отклик" << false;
        QTest::newRow("extra byte and bad CRC") << badCrc + bytes({0x11}) << 0 << true << R
                                                << "Отклик длиннее требуемого" << false;
    }
    void acceptance()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(int, request);
        QFETCH(bool, awaiting);
        QFETCH(int, verdict);
        QFETCH(QString, text);
        QFETCH(bool, errorReply);
        const ReplyCheck check = checkReply(buffer, quint8(request), awaiting);
        QCOMPARE(int(check.verdict), verdict);
        QCOMPARE(check.text, text);
        QCOMPARE(check.errorReply, errorReply);
    }

    void errorTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("1") << 1 << "Ошибка: Неизвестная функция";
        QTest::newRow("2") << 2 << "Ошибка: Неверная длина запроса";
        QTest::newRow("3") << 3 << "Ошибка: Неверная контрольная сумма";
        QTest::newRow("4") << 4 << "Ошибка: Неверные данные запроса";
        QTest::newRow("5") << 5 << "Ошибка: Память защищена";
        QTest::newRow("6") << 6 << "Ошибка: Доступ запрещен";
        QTest::newRow("0") << 0 << "Неизвестная ошибка";
        QTest::newRow("7") << 7 << "Неизвестная ошибка";
        QTest::newRow("255") << 255 << "Неизвестная ошибка";
    }
    void errorTexts()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(errorCodeText(code), text);
        const QByteArray reply = makeErrorReply(0x14, quint8(code));
        QCOMPARE(checkReply(reply, 0x14, true).text, text);
    }

    void version_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("number");
        QTest::newRow("1.12") << withCrc(bytes({0x00, 0x04, 0x12, 0x01})) << "1.12" << 12;
        QTest::newRow("1.9") << withCrc(bytes({0x00, 0x04, 0x09, 0x01})) << "1.9" << 9;
        QTest::newRow("1.10") << withCrc(bytes({0x00, 0x04, 0x10, 0x01})) << "1.10" << 10;
        QTest::newRow("nibbles above 9") << withCrc(bytes({0x00, 0x04, 0x1A, 0x02})) << "2.20" << 20;
        QTest::newRow("no data") << withCrc(bytes({0x00, 0x02})) << QString() << -1;
        QTest::newRow("one data byte") << withCrc(bytes({0x00, 0x03, 0x12})) << QString() << -1;
    }
    void version()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QString, text);
        QFETCH(int, number);
        const auto v = decodeVersion(frame);
        if (number < 0) {
            QVERIFY(!v);
            return;
        }
        QVERIFY(v);
        QCOMPARE(v->text, text);
        QCOMPARE(v->number, number);
    }

    void dataBytesNeverPastTheFrame()
    {
        // Declared length larger than what arrived: only the bytes present count.
        const QByteArray truncated = bytes({0x0F, 0x20, 1, 2, 3, 4});
        QCOMPARE(dataSize(truncated), 2);
        QVERIFY(dataByte(truncated, 1));
        QVERIFY(!dataByte(truncated, 2));
        QVERIFY(!dataByte(truncated, -1));
        QCOMPARE(dataSize(QByteArray()), 0);
    }

    void bcdBothWays()
    {
        QCOMPARE(bcd(0x59), 59);
        QCOMPARE(bcd(0xFF), 165);
        for (int v = 0; v < 100; ++v)
            QCOMPARE(bcd(toBcd(v)), v);
    }

    void hexText()
    {
        QCOMPARE(hexBytes(bytes({0x00, 0x02, 0x80, 0x71})), QStringLiteral("00 02 80 71 "));
        QCOMPARE(hexBytes(bytes({0xab})), QStringLiteral("AB "));
    }
};

QTEST_GUILESS_MAIN(TestFrame)
#include "test_frame.moc"
