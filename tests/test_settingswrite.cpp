// The settings write without a meter: the frames of a write and their order, the
// password rules, the options of `zelta-kn-cli write`, and the page that fills a
// write from its controls.

#include "cli/writecommand.h"
#include "link/frame.h"
#include "meter/pagesettings.h"
#include "meter/settingswrite.h"
#include "ops/rules.h"
#include "ops/settingsoperation.h"
#include "tests/testbytes.h"
#include "ui/editmark.h"
#include "ui/widgets.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QJsonObject>
#include <QDateEdit>
#include <QSpinBox>
#include <QTimeEdit>
#include <QtTest>

using namespace zk;

Q_DECLARE_METATYPE(zk::SettingsWrite)

namespace {

QByteArray frame(Head head, std::initializer_list<int> data)
{
    return makeFrame(head, bytes(data));
}

QList<int> functions(const QList<QByteArray> &frames)
{
    QList<int> out;
    for (const QByteArray &f : frames)
        out << quint8(f.at(0));
    return out;
}

} // namespace

class TestSettingsWrite : public QObject
{
    Q_OBJECT

private slots:
    void exampleFrames_data()
    {
        QTest::addColumn<QByteArray>("actual");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("clock") << clockFrame({QDate(2024, 2, 29), QTime(13, 5, 9), true})
                               << frame(req::WriteClock, {0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80});
        QTest::newRow("clock, Sunday, no summer") << clockFrame({QDate(2099, 12, 27), QTime(0, 0, 0), false})
                                                  << frame(req::WriteClock, {0, 0, 0, 7, 0x27, 0x12, 0x99, 0});
        QTest::newRow("serial 100000") << serialFrame(100000) << frame(req::WriteSerial, {0xA0, 0x86, 0x01});
        QTest::newRow("ddm") << ddmFrame({1193046, 1, 0xFFFFFF})
                             << frame(req::WriteDdm, {0x56, 0x34, 0x12, 1, 0, 0, 0xFF, 0xFF, 0xFF});
        QTest::newRow("password 12345") << passwordFrame(QStringLiteral("12345")) << frame(req::Password, {0x39, 0x30});
        QTest::newRow("password not a number") << passwordFrame(QString()) << frame(req::Password, {0, 0});
        QTest::newRow("password 65535") << passwordFrame(QStringLiteral("65535")) << frame(req::Password, {0xFF, 0xFF});
        QTest::newRow("negative password, 16 bits") << passwordFrame(QStringLiteral("-2"))
                                                    << frame(req::Password, {0xFE, 0xFF});
        QTest::newRow("billing reset") << billingResetFrames(QStringLiteral("1")).join()
                                       << frame(req::Password, {1, 0}) + makeFrame(req::ResetBilling);
    }
    void exampleFrames()
    {
        QFETCH(QByteArray, actual);
        QFETCH(QByteArray, expected);
        QCOMPARE(actual, expected);
    }

    void correctionByte_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("byte");
        QTest::newRow("-7") << -7 << 0x07;
        QTest::newRow("+7") << 7 << 0x27;
        QTest::newRow("0") << 0 << 0x20;
        QTest::newRow("-31") << -31 << 0x1F;
        QTest::newRow("+31") << 31 << 0x3F;
    }
    void correctionByte()
    {
        QFETCH(int, value);
        QFETCH(int, byte);
        QCOMPARE(int(zk::correctionByte(value)), byte);
    }

    void frameOrder()
    {
        SettingsWrite w;
        w.accessPassword = QStringLiteral("7");
        w.clock = ClockSetting{QDate(2024, 2, 29), QTime(13, 5, 9), false};
        w.newPassword = QStringLiteral("8");
        w.correction = -7;
        w.serial = 100000;
        w.address = 200;
        w.billing = BillingDay{0, 25};
        w.ddm = Triple{1, 2, 3};
        w.indication = 0x09;
        w.resetTariff = true;
        const QList<QByteArray> frames = settingsFrames(w);
        QCOMPARE(functions(frames), (QList<int>{0x14, 0x05, 0x14, 0x07, 0x02, 0x03, 0x23, 0x0B, 0x0E, 0x09}));
        QCOMPARE(frames[0], frame(req::Password, {7, 0}));
        QCOMPARE(frames[2], frame(req::Password, {8, 0}));
        QCOMPARE(frames[3], frame(req::WriteCorrection, {0x07}));
        QCOMPARE(frames[5], frame(req::WriteAddress, {0xC8}));
        QCOMPARE(frames[6], frame(req::WriteBilling, {0x00, 0x25}));
        QCOMPARE(frames[8], frame(req::WriteIndication, {0x09}));
        QCOMPARE(frames[9], makeFrame(req::OneTariff));
        // The same new password as the access password is not sent again.
        w.newPassword = QStringLiteral("7");
        QCOMPARE(functions(settingsFrames(w)).count(0x14), 1);
        // A write with nothing chosen still presents the password.
        QCOMPARE(functions(settingsFrames(SettingsWrite{})), QList<int>{0x14});
    }

    void problems_data()
    {
        QTest::addColumn<qint64>("ddm");
        QTest::addColumn<QDate>("date");
        QTest::addColumn<bool>("refused");
        QTest::newRow("fits") << qint64(0xFFFFFF) << QDate(2099, 12, 31) << false;
        QTest::newRow("ddm above 24 bits") << qint64(0x1000000) << QDate(2024, 1, 1) << true;
        QTest::newRow("negative ddm") << qint64(-1) << QDate(2024, 1, 1) << true;
        QTest::newRow("year 2100") << qint64(1) << QDate(2100, 1, 1) << true;
        QTest::newRow("year 1999") << qint64(1) << QDate(1999, 12, 31) << true;
        QTest::newRow("year 2000") << qint64(1) << QDate(2000, 1, 1) << false;
    }
    void problems()
    {
        QFETCH(qint64, ddm);
        QFETCH(QDate, date);
        QFETCH(bool, refused);
        SettingsWrite w;
        w.ddm = Triple{1, ddm, 2};
        w.clock = ClockSetting{date, QTime(1, 2, 3), false};
        QCOMPARE(!settingsProblem(w).isEmpty(), refused);
    }

    void enabledRule_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QString>("access");
        QTest::addColumn<QString>("fresh");
        QTest::addColumn<bool>("writeNew");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("all fine") << true << "1" << "1" << false << true;
        QTest::newRow("not connected") << false << "1" << "1" << false << false;
        QTest::newRow("access not a number") << true << "" << "1" << false << false;
        QTest::newRow("access above 65535") << true << "65536" << "1" << false << false;
        QTest::newRow("access 65535") << true << "65535" << "1" << false << true;
        QTest::newRow("new 65536, not written") << true << "1" << "65536" << false << false;
        QTest::newRow("new above 65535") << true << "1" << "70000" << false << false;
        QTest::newRow("new not a number, not written") << true << "1" << "x" << false << true;
        QTest::newRow("new not a number, written") << true << "1" << "x" << true << false;
        QTest::newRow("new a number, written") << true << "1" << "65535" << true << true;
        QTest::newRow("negative passes") << true << "-1" << "1" << false << true;
    }
    void enabledRule()
    {
        QFETCH(bool, connected);
        QFETCH(QString, access);
        QFETCH(QString, fresh);
        QFETCH(bool, writeNew);
        QFETCH(bool, allowed);
        QCOMPARE(writeAllowed(connected, access, fresh, writeNew), allowed);
    }

    void cliOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QList<int>>("functions"); // empty: refused
        QTest::newRow("nothing") << QStringList{} << QList<int>{0x14};
        QTest::newRow("time now") << QStringList{"--time", "now"} << QList<int>{0x14, 0x05};
        QTest::newRow("all") << QStringList{"--reset-tariff", "--indication=9", "--ddm", "1,2,3", "--billing", "25,0",
                                            "--new-address", "200", "--serial", "5", "--correction", "-7",
                                            "--new-password", "9", "--time", "2024-02-29T13:05:09", "--summer", "on"}
                             << QList<int>{0x14, 0x05, 0x14, 0x07, 0x02, 0x03, 0x23, 0x0B, 0x0E, 0x09};
        QTest::newRow("summer without time") << QStringList{"--summer", "on"} << QList<int>{};
        QTest::newRow("summer neither on nor off") << QStringList{"--time", "now", "--summer", "yes"} << QList<int>{};
        QTest::newRow("correction left out and given") << QStringList{"--correction", "1", "--no-correction"}
                                                       << QList<int>{};
        QTest::newRow("bad time") << QStringList{"--time", "2024-02-30T00:00:00"} << QList<int>{};
        QTest::newRow("two ddm numbers") << QStringList{"--ddm", "1,2"} << QList<int>{};
        QTest::newRow("ddm above 24 bits") << QStringList{"--ddm", "1,2,16777216"} << QList<int>{};
        QTest::newRow("billing hour 24") << QStringList{"--billing", "1,24"} << QList<int>{};
        QTest::newRow("indication 16") << QStringList{"--indication", "16"} << QList<int>{};
        QTest::newRow("correction 32") << QStringList{"--correction", "32"} << QList<int>{};
        QTest::newRow("value missing") << QStringList{"--serial"} << QList<int>{};
        QTest::newRow("stray word") << QStringList{"now"} << QList<int>{};
        QTest::newRow("unknown option") << QStringList{"--colour", "red"} << QList<int>{};
    }
    void cliOptions()
    {
        QFETCH(QStringList, args);
        QFETCH(QList<int>, functions);
        QString error;
        const auto w = cli::parseWrite(args, QStringLiteral("1"), QDateTime(QDate(2030, 1, 2), QTime(3, 4, 5)), &error);
        QCOMPARE(w.has_value(), !functions.isEmpty());
        QCOMPARE(error.isEmpty(), w.has_value());
        if (!w)
            return;
        const QList<QByteArray> frames = settingsFrames(w->write);
        QCOMPARE(::functions(frames), functions);
        if (args.contains(QStringLiteral("--summer")))
            QCOMPARE(frames[1], frame(req::WriteClock, {0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80}));
        if (args == QStringList{"--time", "now"})
            QCOMPARE(frames[1], clockFrame({QDate(2030, 1, 2), QTime(3, 4, 5), false}));
    }

    // What a request becomes under the modes and the meter as read, and what refuses it.
    void settingsOperation_data()
    {
        QTest::addColumn<QString>("mode");     // "", "master", "sql" (master too), "nouser"
        QTest::addColumn<int>("reported");     // the serial number the meter reports
        QTest::addColumn<QStringList>("asked"); // the options of the request
        QTest::addColumn<QString>("expected"); // the write's parts, or the refusal's words
        QTest::newRow("clock keeps the meter's summer flag") << "" << 7 << QStringList{"--time", "now"} << "clock summer";
        QTest::newRow("summer named off") << "" << 7 << QStringList{"--time", "now", "--summer", "off"} << "clock";
        QTest::newRow("local: no correction by default") << "" << 7 << QStringList{"--indication", "1"} << "indication";
        QTest::newRow("sql: the correction as read") << "sql" << 7 << QStringList{"--indication", "1"}
                                                  << "correction -7 indication";
        QTest::newRow("sql: correction left out") << "sql" << 7 << QStringList{"--no-correction"} << "";
        QTest::newRow("sql: serial writes its address") << "sql" << 0 << QStringList{"--serial", "1234"}
                                                     << "correction -7 serial 1234 address 34";
        QTest::newRow("sql: the address named wins") << "sql" << 0 << QStringList{"--serial", "1234", "--new-address", "9"}
                                                  << "correction -7 serial 1234 address 9";
        QTest::newRow("sql: serial 100 gives address 0") << "sql" << 0 << QStringList{"--serial", "100"}
                                                      << "correction -7 serial 100 address 0";
        QTest::newRow("sql: serial 1 gives address 1") << "sql" << 0 << QStringList{"--serial", "1"}
                                                    << "correction -7 serial 1 address 1";
        QTest::newRow("sql: serial 0 proposes no address") << "sql" << 0 << QStringList{"--serial", "0"}
                                                        << "correction -7 serial 0";
        QTest::newRow("master: serial to a new meter") << "master" << 0 << QStringList{"--serial", "5"} << "serial 5";
        QTest::newRow("serial outside service mode") << "" << 0 << QStringList{"--serial", "5"} << "сервисном";
        QTest::newRow("serial to a numbered meter") << "master" << 7 << QStringList{"--serial", "5"} << "уже есть";
        QTest::newRow("new password locked") << "nouser" << 7 << QStringList{"--new-password", "5"} << "NoUser";
        QTest::newRow("new password open") << "" << 7 << QStringList{"--new-password", "5"} << "password 5";
    }
    void settingsOperation()
    {
        QFETCH(QString, mode);
        QFETCH(int, reported);
        QFETCH(QStringList, asked);
        QFETCH(QString, expected);
        const Modes modes = deriveModes(mode == "master", mode == "nouser", false, mode == "sql");
        MeterInfo meter;
        meter.serial = reported;
        meter.correction = -7;
        meter.clock = MeterClock{};
        meter.clock->summer = true;
        QString error;
        const auto request = cli::parseWrite(asked, QStringLiteral("1"), QDateTime(QDate(2030, 1, 2), QTime(3, 4, 5)), &error);
        QVERIFY2(request, qPrintable(error));
        SettingsWriteOperation operation(modes, WriteRecords(nullptr));
        const QString problem = operation.prepare(*request, meter).message;
        const SettingsWrite &w = operation.write();
        if (!problem.isEmpty()) {
            QVERIFY2(problem.contains(expected), qPrintable(problem));
            return;
        }
        QStringList parts;
        if (w.clock)
            parts << (w.clock->summer ? QStringLiteral("clock summer") : QStringLiteral("clock"));
        if (w.correction)
            parts << QStringLiteral("correction %1").arg(*w.correction);
        if (w.newPassword)
            parts << QStringLiteral("password ") + *w.newPassword;
        if (w.serial)
            parts << QStringLiteral("serial %1").arg(*w.serial);
        if (w.address)
            parts << QStringLiteral("address %1").arg(*w.address);
        if (w.indication)
            parts << QStringLiteral("indication");
        QCOMPARE(parts.join(QLatin1Char(' ')), expected);
    }

    // The read-back expects the clock moved on by the time from the clock frame's
    // acknowledgement to the clock reply's arrival; a value not read back is named.
    void settingsReadBack()
    {
        SettingsWrite w;
        w.clock = ClockSetting{QDate(2024, 2, 29), QTime(13, 5, 0), true};
        w.indication = 9;
        const QDateTime acknowledged(QDate(2030, 1, 1), QTime(0, 0));
        const QByteArray clock = replyFrame(0x04, bytes({0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80}));
        SettingsReadBack back(w, acknowledged);
        QVERIFY(!back.take(replyFrame(0x14, {})));
        QVERIFY(back.take(clock, acknowledged.addSecs(9)));
        QVERIFY(!back.complete());
        QCOMPARE(back.verdict().mismatches, (QList<Mismatch>{{frameName(fn::WriteIndication), "9", "—"}}));
        QVERIFY(back.verdict().text().endsWith(QStringLiteral("записано 9, прочитано —")));
        SettingsReadBack late(w, acknowledged.addSecs(-10));
        late.take(clock, acknowledged.addSecs(9));
        QCOMPARE(late.verdict().mismatches.size(), 2);
    }

    void accessPassword_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("taken");
        QTest::newRow("factory") << "1" << true;
        QTest::newRow("largest") << "65535" << true;
        QTest::newRow("above 16 bits") << "65536" << false;
        QTest::newRow("a word") << "abc" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("negative, as the box lets it pass") << "-1" << true;
    }
    void accessPassword()
    {
        QFETCH(QString, text);
        QFETCH(bool, taken);
        QCOMPARE(accessPasswordProblem(text).isEmpty(), taken);
    }

    void nextSerialAndDefectCodeBounds()
    {
        QVERIFY(nextSerialProblem(MaxSerialNumber).isEmpty());
        QVERIFY(nextSerialProblem(MaxSerialNumber + 1).contains(QStringLiteral("131072")));
        QVERIFY(defectCodeProblem(QString(64, QChar(0x416))).isEmpty()); // 64 characters, 128 bytes
        QVERIFY(defectCodeProblem(QString(65, QChar(0x416))).contains(QStringLiteral("длиннее 64")));
        QVERIFY(defectCodeProblem(QStringLiteral("  ")).contains(QStringLiteral("пустым")));
    }

    void verdictJson()
    {
        FrameVerdict v;
        v.acknowledged = {0x14, 0x05};
        v.failed = 0x03;
        v.error = QStringLiteral("Счетчик не ответил");
        QCOMPARE(v.toJson(), (QJsonObject{{"ok", false}, {"acknowledged", QJsonArray{"пароль", "время"}},
                                          {"failed", "адрес"}, {"error", "Счетчик не ответил"},
                                          {"verified", QJsonValue::Null}, {"mismatches", QJsonArray()},
                                          {"not_read_back", QJsonArray()}}));
        QVERIFY(v.acknowledgedText().contains(QStringLiteral("пароль, время")));
        QCOMPARE(FrameVerdict{}.toJson().value("failed"), QJsonValue(QJsonValue::Null));
        QVERIFY(FrameVerdict{}.acknowledgedText().contains(QStringLiteral("ничего не записано")));
    }

    void frameNames_data()
    {
        QTest::addColumn<int>("function");
        QTest::addColumn<QString>("name");
        QTest::newRow("password") << 0x14 << "пароль";
        QTest::newRow("clock") << 0x05 << "время";
        QTest::newRow("indication") << 0x0E << "индикация";
        QTest::newRow("address") << 0x03 << "адрес";
        QTest::newRow("unknown") << 0x30 << "функция 0x30";
        QTest::newRow("unknown, one digit") << 0x06 << "функция 0x06";
    }
    void frameNames()
    {
        QFETCH(int, function);
        QFETCH(QString, name);
        QCOMPARE(frameName(quint8(function)), name);
    }

    // ---- the page ---------------------------------------------------------------

    void startUpWrite()
    {
        PageSettings page;
        page.CheckTime->setChecked(true);
        page.DatePicker->setDate(QDate(2024, 2, 29));
        page.TimePicker->setTime(QTime(13, 5, 9));
        page.CheckBoxClock->setChecked(true);
        page.showSerial(4242); // read, not edited: not written
        const QList<QByteArray> frames = settingsFrames(page.settingsToWrite());
        QCOMPARE(frames, (QList<QByteArray>{passwordFrame(FactoryPassword),
                                            frame(req::WriteClock, {0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80})}));
    }

    void pageFillsTheWrite()
    {
        PageSettings page;
        page.CheckTime->setChecked(false);
        for (QCheckBox *box : {page.CheckAddr, page.CheckShedule, page.CheckDDM, page.CheckIndi, page.CheckCorrect})
            box->setChecked(true);
        page.SpinNewAddr->setValue(200);
        page.SpinDay->setValue(25);
        page.SpinHour->setValue(0);
        page.SpinEditA->setValue(1193046);
        page.CheckBox1->setChecked(true);
        page.CheckBox4->setChecked(true);
        page.SpinClock->setValue(-7);
        page.SpinEdit_Number->setValue(100000); // typed: written
        const SettingsWrite w = page.settingsToWrite();
        QCOMPARE(w.address, std::optional<int>(200));
        QCOMPARE(w.billing->day, 25);
        QCOMPARE(w.billing->hour, 0);
        QCOMPARE((*w.ddm)[0], qint64(1193046));
        QCOMPARE(w.indication, std::optional<quint8>(0x09));
        QCOMPARE(w.correction, std::optional<int>(-7));
        QCOMPARE(w.serial, std::optional<int>(100000));
        QVERIFY(!w.clock);
        QVERIFY(!w.newPassword);
    }

    void passwordReplyCopiesTheNewPassword()
    {
        PageSettings page;
        page.LabeledPass1->setText(QStringLiteral("555"));
        page.passwordReplied();
        QCOMPARE(page.LabeledPass2->text(), FactoryPassword); // not asked to write it
        page.CheckPassword->setChecked(true);
        page.passwordReplied();
        QCOMPARE(page.LabeledPass2->text(), QStringLiteral("555"));
    }

    void pickersFollowTheClockUntilEdited()
    {
        PageSettings page;
        const QDateTime t(QDate(2031, 5, 6), QTime(7, 8, 9));
        page.refreshPickers(t);
        QCOMPARE(page.DatePicker->date(), t.date());
        QCOMPARE(page.TimePicker->time(), t.time());
        QVERIFY(!isEdited(page.DatePicker));
        page.TimePicker->setTime(QTime(1, 1, 1));
        page.refreshPickers(t.addDays(1));
        QCOMPARE(page.DatePicker->date(), t.date().addDays(1));
        QCOMPARE(page.TimePicker->time(), QTime(1, 1, 1));
        page.displayReset();
        page.refreshPickers(t);
        QCOMPARE(page.TimePicker->time(), t.time());
    }

    void ddmStepping()
    {
        PageSettings page;
        page.SpinEditB->setValue(10);
        page.displayReset();
        page.stepDdm(3);
        QCOMPARE(page.SpinEditA->value(), 3);
        QCOMPARE(page.SpinEditB->value(), 13);
        QVERIFY(isEdited(page.SpinEditC));
        page.CheckDdmRead->setChecked(false);
        page.showDdm({100, 100, 100}); // the stepped numbers stay
        QCOMPARE(page.SpinEditA->value(), 3);
    }
};

QTEST_MAIN(TestSettingsWrite)
#include "test_settingswrite.moc"
