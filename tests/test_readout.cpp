// Reply decoders, reading formats and status lines, without a window; then the
// pages applying them under the edited mark and the "Не считывать" boxes.

#include "link/frame.h"
#include "meter/formstatus.h"
#include "meter/meterinfo.h"
#include "meter/pagereadings.h"
#include "meter/pagesettings.h"
#include "meter/readout.h"
#include "ops/rules.h"
#include "tests/testbytes.h"
#include "ui/editmark.h"
#include "ui/widgets.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QToolButton>
#include <QtTest>

#include <ctime>

using namespace zk;

namespace {


QByteArray count5(quint64 count)
{
    QByteArray b;
    for (int i = 0; i < 5; ++i)
        b.append(char((count >> (8 * i)) & 0xFF));
    return b;
}

const QLocale Ru(QLocale::Russian, QLocale::Russia);

} // namespace

class TestReadout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLocale::setDefault(Ru);
        // A zone with summer time: the meter's times must not move with it.
        qputenv("TZ", "Europe/Berlin");
        ::tzset();
    }

    void serial_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("expected");
        QTest::newRow("zero") << bytes({0, 0, 0}) << 0;
        QTest::newRow("little-endian") << bytes({0xA0, 0x86, 0x01}) << 100000;
        QTest::newRow("d2 0xFF gives bit 16 only") << bytes({0xFF, 0xFF, 0xFF}) << MaxSerialNumber;
        QTest::newRow("d2 high bits ignored") << bytes({0x01, 0x00, 0xFE}) << 1;
    }
    void serial()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, expected);
        QCOMPARE(decodeSerial(replyFrame(0x01, data)), std::optional<int>(expected));
    }

    void correction_data()
    {
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("expected");
        QTest::newRow("0x25 +5") << 0x25 << 5;
        QTest::newRow("0x05 -5") << 0x05 << -5;
        QTest::newRow("0x3F +31") << 0x3F << 31;
        QTest::newRow("0x20 zero") << 0x20 << 0;
        QTest::newRow("0x00 zero") << 0x00 << 0;
        QTest::newRow("bits 6-7 ignored") << 0xC7 << -7;
    }
    void correction()
    {
        QFETCH(int, byte);
        QFETCH(int, expected);
        QCOMPARE(decodeCorrection(replyFrame(0x06, bytes({byte}))), std::optional<int>(expected));
    }

    void turnOn_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "0:0";
        QTest::newRow("7") << 7 << "0:3";
        QTest::newRow("119") << 119 << "0:59";
        QTest::newRow("120") << 120 << "1:0";
        QTest::newRow("121") << 121 << "1:0";
        QTest::newRow("24 bits") << 0xFFFFFF << "139810:7";
    }
    void turnOn()
    {
        QFETCH(int, count);
        QFETCH(QString, text);
        const auto t = decodeTurnOn(replyFrame(0x11, bytes({count & 0xFF, (count >> 8) & 0xFF, (count >> 16) & 0xFF, 200})));
        QVERIFY(t);
        QCOMPARE(int(t->halfMinutes), count);
        QCOMPARE(t->corrections, 200);
        QCOMPARE(halfMinutesText(t->halfMinutes), text);
    }

    void readingFormat_data()
    {
        QTest::addColumn<quint64>("count");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << quint64(0) << "0,00000";
        QTest::newRow("one count") << quint64(1) << "0,00025";
        QTest::newRow("2^32") << (quint64(1) << 32) << "1073741,82400";
        // 274877906.94375 has 14 significant digits: rounded to 12 first.
        QTest::newRow("40 bits") << ((quint64(1) << 40) - 1) << "274877906,94400";
    }
    void readingFormat()
    {
        QFETCH(quint64, count);
        QFETCH(QString, text);
        QCOMPARE(formatReading(readingValue(count), Ru), text);
        const QByteArray f = replyFrame(0x0F, count5(count) + count5(0) + count5(0));
        QCOMPARE(count40(f, 0), count);
        QCOMPARE(parseReading(text, Ru), std::optional<double>(readingValue(count)));
        QCOMPARE(formatReading(*parseReading(text, Ru), Ru), text);
    }

    void readings()
    {
        // Length byte 17: current counts only; 32: billing-day counts follow.
        const QByteArray current = count5(4000) + count5(8000) + count5(1);
        const auto short_ = decodeReadings(replyFrame(0x0F, current));
        QVERIFY(short_);
        QCOMPARE(short_->current, (std::array<quint64, 3>{4000, 8000, 1}));
        QVERIFY(!short_->billing);
        const auto full = decodeReadings(replyFrame(0x0F, current + count5(quint64(1) << 32) + count5(2) + count5(3)));
        QVERIFY(full && full->billing);
        QCOMPARE(*full->billing, (std::array<quint64, 3>{quint64(1) << 32, 2, 3}));
        // Thirty data bytes under another length byte are no billing-day set.
        QByteArray odd = replyFrame(0x0F, current + count5(1) + count5(2) + count5(3));
        odd[1] = char(31);
        QVERIFY(!decodeReadings(odd)->billing);
    }

    void sums_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<bool>("summed");
        QTest::addColumn<double>("sum");
        QTest::newRow("three") << QStringList{"1,00000", "2,50000", "0,00025"} << true << 3.50025;
        QTest::newRow("empty stops") << QStringList{"1,00000", "", "2,00000"} << false << 0.0;
        QTest::newRow("point is no separator") << QStringList{"1.5", "1,0", "1,0"} << false << 0.0;
        QTest::newRow("group separator refused") << QStringList{"1 000,0", "1,0", "1,0"} << false << 0.0;
    }
    void sums()
    {
        QFETCH(QStringList, texts);
        QFETCH(bool, summed);
        QFETCH(double, sum);
        const auto s = sumReadings(texts, Ru);
        QCOMPARE(s.has_value(), summed);
        if (summed)
            QCOMPARE(*s, sum);
    }

    void clock()
    {
        // 09 05 13 04 29 02 24 80: 13:05:09 on Thursday 29.02.2024, summer time on.
        const auto c = decodeClock(replyFrame(0x04, bytes({0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80})));
        QVERIFY(c);
        QCOMPARE(c->time(), QTime(13, 5, 9));
        QCOMPARE(c->date(), QDate(2024, 2, 29));
        QVERIFY(c->summer);
        QVERIFY(!c->weekdayMismatch());
        QCOMPARE(clockText(*c, Ru), QStringLiteral("29.02.2024 13:05:09"));
        // A wrong weekday is only a warning; an impossible date leaves the time.
        const auto wrongDay = decodeClock(replyFrame(0x04, bytes({0x09, 0x05, 0x13, 0x05, 0x29, 0x02, 0x24, 0x00})));
        QVERIFY(wrongDay->weekdayMismatch());
        QVERIFY(!wrongDay->summer);
        const auto badDate = decodeClock(replyFrame(0x04, bytes({0x00, 0x00, 0x12, 0x01, 0x30, 0x02, 0x24, 0})));
        QVERIFY(!badDate->date().isValid());
        QVERIFY(!badDate->weekdayMismatch());
        QCOMPARE(clockText(*badDate, Ru), QStringLiteral("12:00:00"));
        const auto badTime = decodeClock(replyFrame(0x04, bytes({0x60, 0x00, 0x25, 0x04, 0x29, 0x02, 0x24, 0})));
        QCOMPARE(clockText(*badTime, Ru), QStringLiteral("29.02.2024"));
    }

    void ddmAndStamps()
    {
        const auto ddm = decodeDdm(replyFrame(0x0A, bytes({0x56, 0x34, 0x12, 1, 0, 0, 0xFF, 0xFF, 0xFF})));
        QCOMPARE(*ddm, (Triple{0x123456, 1, 0xFFFFFF}));
        const auto stamps = decodeDdmStamps(replyFrame(0x2A, bytes({1, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x51, 0x01, 0})));
        QCOMPARE(*stamps, (StampCounts{1, 0, 86400}));
        QCOMPARE(ddmStamp(5, 1), std::optional<QDateTime>(zoneFree(QDate(2000, 1, 1), QTime(0, 0, 1))));
        QVERIFY(!ddmStamp(0, 1));  // no DDM number: no stamp, whatever the count
        QVERIFY(!ddmStamp(5, 0));
        QCOMPARE(stampTime(86400).date(), QDate(2000, 1, 2));
    }

    // Seconds since 2000-01-01 00:00:00 as the window shows them, also where the local zone
    // keeps summer time or skips the hour.
    void ddmStampText_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("text");
        QTest::newRow("first second") << QDate(2000, 1, 1) << QTime(0, 0, 1) << "01.01.2000 00:00:01";
        QTest::newRow("winter") << QDate(2026, 1, 15) << QTime(8, 0) << "15.01.2026 08:00:00";
        QTest::newRow("summer") << QDate(2026, 7, 1) << QTime(12, 0) << "01.07.2026 12:00:00";
        QTest::newRow("in the spring-forward gap") << QDate(2026, 3, 29) << QTime(2, 30) << "29.03.2026 02:30:00";
        QTest::newRow("the repeated autumn hour") << QDate(2026, 10, 25) << QTime(2, 30) << "25.10.2026 02:30:00";
    }
    void ddmStampText()
    {
        QFETCH(QDate, date);
        QFETCH(QTime, time);
        QFETCH(QString, text);
        const qint64 seconds = QDate(2000, 1, 1).daysTo(date) * 86400 + time.msecsSinceStartOfDay() / 1000;
        const auto stamp = ddmStamp(7, quint32(seconds));
        QVERIFY(stamp);
        QCOMPARE(dateTimeText(*stamp, Ru), text);
    }

    void billing()
    {
        const auto b = decodeBilling(replyFrame(0x22, bytes({0x23, 0x31})));
        QCOMPARE(b->hour, 23);
        QCOMPARE(b->day, 31);
    }

    // Replies shorter than their layout decode to nothing; none reads past the frame.
    void shortReplies()
    {
        const QByteArray empty = replyFrame(0x01, QByteArray());
        QVERIFY(!decodeSerial(replyFrame(0x01, bytes({1, 2}))));
        QVERIFY(!decodeClock(replyFrame(0x04, bytes({1, 2, 3, 4, 5, 6, 7}))));
        QVERIFY(!decodeCorrection(empty));
        QVERIFY(!decodeDdm(replyFrame(0x0A, QByteArray(8, 1))));
        QVERIFY(!decodeStatus(empty));
        QVERIFY(!decodeIndication(empty));
        QVERIFY(!decodeReadings(replyFrame(0x0F, QByteArray(14, 1))));
        QVERIFY(!decodeTurnOn(replyFrame(0x11, QByteArray(3, 1))));
        QVERIFY(!decodeBilling(replyFrame(0x22, QByteArray(1, 1))));
        QVERIFY(!decodeDdmStamps(replyFrame(0x2A, QByteArray(11, 1))));
        // A length byte announcing more than the frame holds counts only what is there.
        QByteArray lying = replyFrame(0x01, bytes({1, 2, 3}));
        lying.chop(3);
        QVERIFY(!decodeSerial(lying));
    }

    // The layout the engine waits for is exactly what each decoder needs: with it the
    // value arrives, a byte short of it nothing does. Too long a layout would leave a
    // reply waiting out the line's time; too short, a second wake-up a reply.
    void layoutOfReply_data()
    {
        QTest::addColumn<int>("function");
        for (const int function : {0x01, 0x04, 0x06, 0x0A, 0x0C, 0x0D, 0x0F, 0x11, 0x22, 0x2A})
            QTest::addRow("0x%02X", function) << function;
    }
    void layoutOfReply()
    {
        QFETCH(int, function);
        const int size = layout::ofReply(quint8(function));
        QVERIFY(size > 0);
        MeterInfo info;
        QVERIFY(!info.take(replyFrame(quint8(function), QByteArray(size - 1, 1))));
        QVERIFY(info.take(replyFrame(quint8(function), QByteArray(size, 1))));
    }

    void layoutOfOtherReplies()
    {
        for (const int function : {0x00, 0x08, 0x12, 0x13, 0x14, 0x26, 0xFF})
            QCOMPARE(layout::ofReply(quint8(function)), 0);
    }

    void status_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("0x00") << 0x00 << QStringList{};
        QTest::newRow("0x01") << 0x01 << QStringList{"Фаза A: нет связи с ДДМ"};
        QTest::newRow("0x0A") << 0x0A << QStringList{"Фаза A: номер ДДМ не установлен", "Фаза B: номер ДДМ не установлен"};
        QTest::newRow("0x20 bit 5 alone") << 0x20 << QStringList{"Неисправность таймера календаря."};
        QTest::newRow("0x4F") << 0x4F << QStringList{"Фаза A: отсутствует фаза", "Фаза B: отсутствует фаза",
                                                     "Дата и время таймера не установлены."};
        QTest::newRow("0x10") << 0x10 << QStringList{"Фаза C: нет связи с ДДМ"};
        QTest::newRow("0x80") << 0x80 << QStringList{"Фаза C: номер ДДМ не установлен"};
        QTest::newRow("0x90") << 0x90 << QStringList{"Фаза C: отсутствует фаза"};
        QTest::newRow("0x11 phases A and C") << 0x11 << QStringList{"Фаза A: нет связи с ДДМ", "Фаза C: нет связи с ДДМ"};
        QTest::newRow("0x64 order") << 0x64 << QStringList{"Фаза B: нет связи с ДДМ",
                                                           "Дата и время таймера не установлены.",
                                                           "Неисправность таймера календаря."};
        QTest::newRow("0xFF") << 0xFF << QStringList{"Выключение счетчика"};
        QTest::newRow("0xFE") << 0xFE << QStringList{"Фаза A: номер ДДМ не установлен", "Фаза B: отсутствует фаза",
                                                     "Фаза C: отсутствует фаза", "Дата и время таймера не установлены.",
                                                     "Неисправность таймера календаря."};
    }
    void status()
    {
        QFETCH(int, status);
        QFETCH(QStringList, lines);
        QCOMPARE(statusLines(quint8(status)), lines);
    }

    void meterInfoComplete()
    {
        MeterInfo info;
        QVERIFY(info.take(withCrc(bytes({0x00, 4, 0x09, 0x01}))));
        QCOMPARE(info.version->text, QStringLiteral("1.9"));
        QVERIFY(!info.take(replyFrame(0x05, QByteArray())));     // not a polled value
        QVERIFY(!info.take(replyFrame(0x01, bytes({1}))));       // too short
        QVERIFY(info.take(replyFrame(0x01, bytes({1, 0, 0}))));
        QVERIFY(info.take(replyFrame(0x04, QByteArray(8, 1))));
        QVERIFY(info.take(replyFrame(0x06, bytes({1}))));
        QVERIFY(info.take(replyFrame(0x0A, QByteArray(9, 0))));
        QVERIFY(info.take(replyFrame(0x0C, bytes({0}))));
        QVERIFY(info.take(replyFrame(0x0D, bytes({0}))));
        QVERIFY(info.take(replyFrame(0x0F, QByteArray(15, 0))));
        QVERIFY(info.take(replyFrame(0x11, QByteArray(4, 0))));
        QVERIFY(!info.complete());
        QVERIFY(info.take(replyFrame(0x22, bytes({0, 1}))));
        QVERIFY(info.complete()); // firmware 1.9 has no DDM stamps
        info.version->number = 12;
        QVERIFY(!info.complete());
        QVERIFY(info.take(replyFrame(0x2A, QByteArray(12, 0))));
        QVERIFY(info.complete());
    }

    // ---- the pages ----------------------------------------------------------------

    void serialUnderMark()
    {
        PageSettings page;
        QVERIFY(page.showSerial(42));
        QCOMPARE(page.SpinEdit_Number->value(), 42);
        QVERIFY(!isEdited(page.SpinEdit_Number));
        QVERIFY(!page.SpinEdit_Number->isEnabled());
        QVERIFY(!page.BitBtn1->isEnabled());
        QVERIFY(!page.showSerial(42)); // unchanged
        page.displayReset();
        QVERIFY(page.SpinEdit_Number->isEnabled());
        QVERIFY(!page.showSerial(0)); // the reset already shows 0
        QVERIFY(page.SpinEdit_Number->isEnabled());
        QVERIFY(page.BitBtn1->isEnabled());
        // A typed number is kept, with its enabled state, and no change is reported.
        page.SpinEdit_Number->setValue(777);
        QVERIFY(isEdited(page.SpinEdit_Number));
        QVERIFY(!page.showSerial(5));
        QCOMPARE(page.SpinEdit_Number->value(), 777);
        QVERIFY(page.SpinEdit_Number->isEnabled());
    }

    void addressFromSerial_data()
    {
        QTest::addColumn<bool>("sql");
        QTest::addColumn<bool>("checkAddr");
        QTest::addColumn<int>("newAddress");
        QTest::newRow("sql, checked") << true << true << 45;
        QTest::newRow("sql, unchecked") << true << false << 1;
        QTest::newRow("local") << false << true << 1;
    }
    void addressFromSerial()
    {
        QFETCH(bool, sql);
        QFETCH(bool, checkAddr);
        QFETCH(int, newAddress);
        PageSettings page;
        page.setAddressProposal([sql](int serial) { return proposedAddress(deriveModes(false, false, false, sql), serial); });
        page.CheckAddr->setChecked(checkAddr);
        page.SpinEdit_Number->setValue(12345);
        QCOMPARE(page.SpinNewAddr->value(), newAddress);
    }

    void notReadBoxes()
    {
        PageSettings page;
        page.SpinEditB->setValue(9);
        page.displayReset();
        // Checked at start: nothing of their groups changes.
        page.showDdm({1, 2, 3});
        page.showBilling({5, 20});
        page.showIndication(0x0F);
        page.showDdmStamps({100, 100, 100});
        QCOMPARE(page.SpinEditA->value(), 0);
        QCOMPARE(page.SpinDay->value(), 1);
        QVERIFY(!page.CheckBox1->isChecked());
        QVERIFY(page.LabelA->text().isEmpty());

        page.CheckDdmRead->setChecked(false);
        page.CheckReadTarif->setChecked(false);
        page.CheckNoIndi->setChecked(false);
        page.SpinEditC->setValue(7); // the operator's: kept
        page.showDdm({1, 0, 3});
        QCOMPARE(page.SpinEditA->value(), 1);
        QCOMPARE(page.SpinEditB->value(), 0);
        QCOMPARE(page.SpinEditC->value(), 7);
        QVERIFY(!isEdited(page.SpinEditA));
        page.showDdmStamps({100, 100, 0});
        QVERIFY(!page.LabelA->text().isEmpty());
        QVERIFY(page.LabelB->text().isEmpty()); // DDM number 0
        QVERIFY(page.LabelC->text().isEmpty()); // count 0
        page.showBilling({5, 20});
        QCOMPARE(page.SpinDay->value(), 20);
        QCOMPARE(page.SpinHour->value(), 5);
        page.SpinHour->setValue(7);
        page.showBilling({6, 21});
        QCOMPARE(page.SpinDay->value(), 21);
        QCOMPARE(page.SpinHour->value(), 7);
    }

    void indicationFreeze()
    {
        PageSettings page;
        page.CheckNoIndi->setChecked(false);
        page.showIndication(0x09);
        QVERIFY(page.CheckBox1->isChecked() && page.CheckBox4->isChecked());
        QVERIFY(!page.CheckBox2->isChecked() && !page.CheckBox3->isChecked());
        page.CheckBox2->click();
        page.showIndication(0x00);
        // One edited box keeps all four.
        QVERIFY(page.CheckBox1->isChecked() && page.CheckBox2->isChecked() && page.CheckBox4->isChecked());
        page.displayReset();
        page.showIndication(0x00);
        QVERIFY(!page.CheckBox1->isChecked() && !page.CheckBox2->isChecked() && !page.CheckBox4->isChecked());
    }

    void correctionAndTurnOn()
    {
        PageSettings page;
        page.showCorrection(-7);
        QCOMPARE(page.SpinClock->value(), -7);
        QVERIFY(!isEdited(page.SpinClock));
        page.showTurnOn({121, 3});
        QCOMPARE(page.LabeledOff->text(), QStringLiteral("1:0"));
        QCOMPARE(page.EditOff->text(), QStringLiteral("121"));
        QCOMPARE(page.LabeledNCorrect->text(), QStringLiteral("3"));
    }

    void statusMemo()
    {
        PageSettings page;
        page.showStatus(0x00);
        QVERIFY(page.Memo1->toPlainText().isEmpty());
        page.showStatus(0x05);
        QCOMPARE(page.Memo1->toPlainText(), QStringLiteral("Фаза A: нет связи с ДДМ\nФаза B: нет связи с ДДМ"));
        // The same byte again leaves the memo alone, even when something changed it.
        page.Memo1->setPlainText(QStringLiteral("x"));
        page.showStatus(0x05);
        QCOMPARE(page.Memo1->toPlainText(), QStringLiteral("x"));
        page.displayReset();
        QCOMPARE(page.lastStatus(), quint8(0));
        QVERIFY(page.Memo1->toPlainText().isEmpty());
        page.showStatus(0x05);
        QCOMPARE(page.Memo1->toPlainText().count(QLatin1Char('\n')), 1);
    }

    void statusWindow()
    {
        FormStatus window;
        QCOMPARE(window.Memo1->toPlainText(), QStringLiteral("Фаза A: нет связи с ДДМ"));
        window.SpinEdit1->setValue(255);
        QCOMPARE(window.Memo1->toPlainText(), QStringLiteral("Выключение счетчика"));
    }

    void readingGrids()
    {
        PageReadings page;
        page.setFixedCaptions();
        page.GridValue_1->setCellText(4, 1, QStringLiteral("сумма была"));
        page.showReadings({{4000, 8000, 1}, std::nullopt});
        QCOMPARE(page.GridValue->cellText(1, 1), QStringLiteral("1,00000"));
        QCOMPARE(page.GridValue->cellText(3, 1), QStringLiteral("0,00025"));
        QCOMPARE(page.GridValue->cellText(4, 1), QStringLiteral("3,00025"));
        for (int row = 1; row <= 3; ++row)
            QVERIFY(page.GridValue_1->cellText(row, 1).isEmpty());
        QCOMPARE(page.GridValue_1->cellText(4, 1), QStringLiteral("сумма была"));
        page.showReadings({{0, 0, 0}, std::array<quint64, 3>{quint64(1) << 32, 0, 4}});
        QCOMPARE(page.GridValue_1->cellText(1, 1), QStringLiteral("1073741,82400"));
        QCOMPARE(page.GridValue_1->cellText(4, 1), QStringLiteral("1073741,82500"));
    }
};

QTEST_MAIN(TestReadout)
#include "test_readout.moc"
