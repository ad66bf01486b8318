// The tariff schedule: frames on the wire, the read and write sequences, the
// schedule checks with their messages and order, the calendars' insertion rules
// and limits, the reply decoders at their edges; then the page: start-time push,
// mark toggle, enabling rule, the two lists and their buttons, replies shown.

#include "link/frame.h"
#include "meter/readout.h"
#include "meter/settingswrite.h"
#include "schedule/pageschedule.h"
#include "schedule/tariffschedule.h"
#include "tests/testbytes.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QtTest>

using namespace zk;

Q_DECLARE_METATYPE(TariffSchedule)
Q_DECLARE_METATYPE(Holiday)
Q_DECLARE_METATYPE(Transfer)
Q_DECLARE_METATYPE(QList<Holiday>)
Q_DECLARE_METATYPE(QList<Transfer>)

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}


using Heads = QList<QPair<int, int>>;

// Function code and length byte of each frame.
Heads heads(const QList<QByteArray> &frames)
{
    Heads out;
    for (const QByteArray &f : frames)
        out.append({quint8(f.at(0)), quint8(f.at(1))});
    return out;
}

TariffSchedule withTimes(std::initializer_list<const char *> times)
{
    TariffSchedule s;
    int z = 0;
    for (const char *t : times)
        s.zones[size_t(z++)].start = QTime::fromString(QLatin1String(t), QStringLiteral("HH:mm"));
    return s;
}

TariffSchedule multi(TariffSchedule s)
{
    s.oneTariff = false;
    return s;
}

TariffSchedule withMasks(TariffSchedule s, std::initializer_list<int> masks)
{
    int z = 0;
    for (int m : masks)
        s.zones[size_t(z++)].days = quint8(m);
    return s;
}

QList<Holiday> defaults()
{
    return TariffSchedule::defaultHolidays();
}

QList<Holiday> sixteenHolidays()
{
    QList<Holiday> list;
    for (int d = 1; d <= 16; ++d)
        list << Holiday{7, d};
    return list;
}

QStringList texts(const QTreeWidget *list, int column)
{
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(column);
    return out;
}

} // namespace

class TestSchedule : public QObject
{
    Q_OBJECT

    QList<Message> m_messages;

    // A page as the window sets it up at start.
    static std::unique_ptr<PageSchedule> newPage()
    {
        auto page = std::make_unique<PageSchedule>();
        page->setFixedCaptions();
        page->setupTariffPickLists();
        page->applyEnablingRule();
        page->BtnTempletClick();
        return page;
    }

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    }
    void init()
    {
        m_messages.clear();
        setMessageHook([this](const Message &m) { m_messages.append(m); });
    }
    void cleanup() { setMessageHook({}); }

    // ---- frames ----

    void exampleFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("read zones") << zonesReadFrame() << hex("08 02 87 B1");
        QTest::newRow("read day types") << dayTypesReadFrame() << hex("2E 02 9D D1");
        QTest::newRow("one tariff") << oneTariffFrame() << hex("09 02 86 21");
        QTest::newRow("default zones") << zonesFrame(TariffSchedule::defaultZones())
                                       << hex("09 14 01 00 00 02 06 30 03 08 30 02 11 30 03 17 30 02 20 30 5D 67");
        QTest::newRow("all day types") << dayTypesFrame(TariffSchedule::defaultZones())
                                       << hex("2F 08 FF FF FF FF FF FF 8A 1C");
        QTest::newRow("read holiday 0") << holidayReadFrame(0) << hex("26 03 00 90 FB");
        QTest::newRow("read transfer 0") << transferReadFrame(0) << hex("28 03 00 F1 38");
        QTest::newRow("1 January in slot 0") << holidayFrame(0, Holiday{1, 1}) << hex("27 05 00 01 01 D0 9B");
        QTest::newRow("8 March 2024 as Saturday")
            << transferFrame(0, Transfer{QDate(2024, 3, 8), 6}) << hex("29 07 00 08 03 24 06 CB 17");
        // The tariff goes as it is held: 0 read from a meter is written back as 0.
        TariffZones zones = TariffSchedule::defaultZones();
        zones[2].tariff = 0;
        zones[5].start = QTime(23, 59, 45);
        QCOMPARE(zonesFrame(zones).mid(2 + 6, 3), bytes({0x00, 0x08, 0x30}));
        QTest::newRow("seconds not sent") << zonesFrame(zones).mid(2 + 15, 3) << bytes({0x02, 0x23, 0x59});
    }
    void exampleFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, wire);
        QCOMPARE(frame.toHex(' '), wire.toHex(' '));
    }

    void readSequence_data()
    {
        QTest::addColumn<int>("firmware");
        QTest::addColumn<int>("count");
        QTest::newRow("9") << 9 << 1;
        QTest::newRow("10") << 10 << 34;
        QTest::newRow("12") << 12 << 34;
    }
    void readSequence()
    {
        QFETCH(int, firmware);
        QFETCH(int, count);
        const QList<QByteArray> frames = scheduleReadFrames(firmware);
        QCOMPARE(frames.size(), count);
        QCOMPARE(frames.first(), zonesReadFrame());
        if (count == 1)
            return;
        QCOMPARE(frames.at(1), dayTypesReadFrame());
        for (int i = 0; i < 16; ++i) {
            QCOMPARE(frames.at(2 + i), holidayReadFrame(i));
            QCOMPARE(frames.at(18 + i), transferReadFrame(i));
        }
    }

    void writeSequence_data()
    {
        QTest::addColumn<TariffSchedule>("schedule");
        QTest::addColumn<int>("firmware");
        QTest::addColumn<Heads>("expected");
        const QPair<int, int> pw{0x14, 4}, one{0x09, 2}, zones{0x09, 20}, masks{0x2F, 8}, clearH{0x27, 2},
            hol{0x27, 5}, clearT{0x29, 2}, tr{0x29, 7};
        TariffSchedule s;
        QTest::newRow("one tariff, 12") << s << 12 << Heads{pw, one};
        QTest::newRow("one tariff, 9") << s << 9 << Heads{pw, one};
        s.oneTariff = false;
        QTest::newRow("multi, 9") << s << 9 << Heads{pw, zones};
        TariffSchedule empty = s;
        empty.holidays.clear();
        QTest::newRow("multi, 10, empty lists")
            << empty << 10 << Heads{pw, zones, masks, clearH, clearT};
        TariffSchedule some = empty;
        some.holidays = {{3, 8}, {1, 1}};
        some.transfers = {{QDate(2030, 5, 2), 6}};
        QTest::newRow("multi, 12, lists")
            << some << 12 << Heads{pw, zones, masks, clearH, hol, hol, clearT, tr};
    }
    void writeSequence()
    {
        QFETCH(TariffSchedule, schedule);
        QFETCH(int, firmware);
        QFETCH(Heads, expected);
        const QList<QByteArray> frames = scheduleWriteFrames(schedule, firmware, QStringLiteral("513"));
        QCOMPARE(heads(frames), expected);
        QCOMPARE(frames.first(), passwordFrame(QStringLiteral("513")));
        // Entries go to slots 0 .. n-1 in list order.
        int h = 0, t = 0;
        for (const QByteArray &f : frames) {
            if (f.at(0) == 0x27 && f.at(1) == 5) {
                QCOMPARE(f, holidayFrame(h, schedule.holidays.at(h)));
                ++h;
            } else if (f.at(0) == 0x29 && f.at(1) == 7) {
                QCOMPARE(f, transferFrame(t, schedule.transfers.at(t)));
                ++t;
            } else if (f.at(0) == 0x2F) {
                QCOMPARE(f, dayTypesFrame(schedule.zones));
            } else if (f.at(0) == 0x09 && f.at(1) == 20) {
                QCOMPARE(f, zonesFrame(schedule.zones));
            }
        }
    }

    // ---- checks ----

    void checks_data()
    {
        QTest::addColumn<TariffSchedule>("schedule");
        QTest::addColumn<int>("firmware");
        QTest::addColumn<QString>("message");
        const TariffSchedule def;
        const QString ok;
        const QString increase = QStringLiteral("Ошибка в тарифном расписании. Время в расписании должно нарастать.");
        const QString decrease = QStringLiteral("Ошибка в тарифном расписании. Время в расписании не должно убывать.");
        const QString weekdays = QStringLiteral("Ошибка в тарифном расписании. Нет данных для дней недели.");
        for (int fw : {0, 9, 10, 12}) {
            QTest::addRow("default, one tariff, %d", fw) << def << fw << ok;
            QTest::addRow("default, multi, %d", fw) << multi(def) << fw << ok;
        }
        const TariffSchedule equal = withTimes({"00:00", "06:30", "11:30", "11:30", "17:30", "20:30"});
        QTest::newRow("equal neighbours, multi, 10") << multi(equal) << 10 << ok;
        QTest::newRow("equal neighbours, one tariff, 10") << equal << 10 << increase;
        QTest::newRow("equal neighbours, multi, 9") << multi(equal) << 9 << increase;
        const TariffSchedule back = withTimes({"00:00", "06:30", "06:00", "11:30", "17:30", "20:30"});
        QTest::newRow("decrease, multi, 12") << multi(back) << 12 << decrease;
        QTest::newRow("decrease, one tariff, 12") << back << 12 << increase;
        QTest::newRow("decrease, multi, 9") << multi(back) << 9 << increase;
        // Seconds are not compared: 06:30:59 and 06:30:00 are the same start.
        TariffSchedule seconds = def;
        seconds.zones[1].start = QTime(6, 30, 59);
        seconds.zones[2].start = QTime(6, 30, 0);
        QTest::newRow("seconds ignored, multi, 12") << multi(seconds) << 12 << ok;
        QTest::newRow("seconds ignored, multi, 9") << multi(seconds) << 9 << increase;
        // Only the first zone without a day type is named.
        QTest::newRow("zones 0 and 3 undefined")
            << multi(withMasks(def, {0, 0xFF, 0xFF, 0, 0xFF, 0xFF})) << 12
            << QStringLiteral("Ошибка в тарифном расписании. Зона 0не определена.");
        QTest::newRow("zone 3 undefined")
            << multi(withMasks(def, {1, 2, 4, 0, 8, 0x80})) << 10
            << QStringLiteral("Ошибка в тарифном расписании. Зона 3не определена.");
        QTest::newRow("holiday column only") << multi(withMasks(def, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80})) << 12
                                             << weekdays;
        QTest::newRow("one Sunday mark is enough")
            << multi(withMasks(def, {0x80, 0x80, 0x40, 0x80, 0x80, 0x80})) << 12 << ok;
        // Times come before masks, masks before the weekday test.
        QTest::newRow("decrease wins over masks") << multi(withMasks(back, {0, 0, 0, 0, 0, 0})) << 12 << decrease;
        QTest::newRow("undefined zone wins over weekdays")
            << multi(withMasks(def, {0x80, 0x80, 0, 0x80, 0x80, 0x80})) << 12
            << QStringLiteral("Ошибка в тарифном расписании. Зона 2не определена.");
        // Masks are not looked at in one-tariff mode or below firmware 10.
        QTest::newRow("empty masks, multi, 9") << multi(withMasks(def, {0, 0, 0, 0, 0, 0})) << 9 << ok;
        QTest::newRow("empty masks, one tariff, 12") << withMasks(def, {0, 0, 0, 0, 0, 0}) << 12 << ok;
    }
    void checks()
    {
        QFETCH(TariffSchedule, schedule);
        QFETCH(int, firmware);
        QFETCH(QString, message);
        QCOMPARE(scheduleCheck(schedule, firmware), message);
    }

    void calendarProblems_data()
    {
        QTest::addColumn<QList<Holiday>>("holidays");
        QTest::addColumn<QList<Transfer>>("transfers");
        QTest::addColumn<bool>("ok");
        QTest::newRow("defaults") << defaults() << QList<Transfer>{} << true;
        QTest::newRow("16 and 16") << sixteenHolidays() << QList<Transfer>(16, Transfer{QDate(2099, 12, 31), 8})
                                   << true;
        QTest::newRow("17 holidays") << (sixteenHolidays() << Holiday{1, 1}) << QList<Transfer>{} << false;
        QTest::newRow("17 transfers") << defaults() << QList<Transfer>(17, Transfer{QDate(2030, 1, 1), 1}) << false;
        QTest::newRow("day 0 read from a meter") << QList<Holiday>{{1, 0}} << QList<Transfer>{} << false;
        QTest::newRow("30 February") << QList<Holiday>{{2, 30}} << QList<Transfer>{} << false;
        QTest::newRow("29 February") << QList<Holiday>{{2, 29}} << QList<Transfer>{} << true;
        QTest::newRow("year 2100") << defaults() << QList<Transfer>{{QDate(2100, 1, 1), 1}} << false;
        QTest::newRow("first day of 2000") << defaults() << QList<Transfer>{{QDate(2000, 1, 1), 1}} << true;
        QTest::newRow("last day of 1999") << defaults() << QList<Transfer>{{QDate(1999, 12, 31), 1}} << false;
        QTest::newRow("day type 9") << defaults() << QList<Transfer>{{QDate(2030, 1, 1), 9}} << false;
    }
    void calendarProblems()
    {
        QFETCH(QList<Holiday>, holidays);
        QFETCH(QList<Transfer>, transfers);
        QFETCH(bool, ok);
        TariffSchedule s;
        s.holidays = holidays;
        s.transfers = transfers;
        QCOMPARE(calendarProblem(s).isEmpty(), ok);
    }

    void tariffTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("byte"); // -1: refused
        QTest::newRow("2") << "2" << 2;
        QTest::newRow("spaces") << " 3 " << 3;
        QTest::newRow("0 from a reply") << "0" << 0;
        QTest::newRow("low 8 bits") << "258" << 2;
        QTest::newRow("negative") << "-1" << 255;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("word") << "два" << -1;
        QTest::newRow("decimal") << "1.5" << -1;
    }
    void tariffTexts()
    {
        QFETCH(QString, text);
        QFETCH(int, byte);
        const auto b = tariffByte(text);
        QCOMPARE(b.has_value(), byte >= 0);
        if (b)
            QCOMPARE(int(*b), byte);
        const QString problem = tariffTextProblem(4, text);
        QCOMPARE(problem.isEmpty(), byte >= 0);
        if (byte < 0)
            QVERIFY(problem.contains(QStringLiteral("зоны 4")));
    }

    // ---- calendars ----

    void holidayInsertions_data()
    {
        QTest::addColumn<QList<Holiday>>("list");
        QTest::addColumn<Holiday>("entry");
        QTest::addColumn<int>("position");
        QTest::newRow("9 May into the defaults") << defaults() << Holiday{5, 9} << 9;
        QTest::newRow("between 1 May and 12 June") << defaults() << Holiday{5, 10} << 10;
        QTest::newRow("before 1 January") << QList<Holiday>{{1, 2}} << Holiday{1, 1} << 0;
        QTest::newRow("into an empty list") << QList<Holiday>{} << Holiday{12, 31} << 0;
        QTest::newRow("after the last") << defaults() << Holiday{12, 31} << 12;
        // Month first: 1 December goes after 30 November.
        QTest::newRow("month before day") << QList<Holiday>{{11, 30}, {12, 31}} << Holiday{12, 1} << 1;
        // Read entries are in slot order: the scan takes the first later entry.
        QTest::newRow("unsorted list") << QList<Holiday>{{6, 1}, {1, 1}} << Holiday{3, 1} << 0;
        QTest::newRow("full") << sixteenHolidays() << Holiday{1, 1} << -1;
        QTest::newRow("30 February") << defaults() << Holiday{2, 30} << -1;
        QTest::newRow("31 April") << defaults() << Holiday{4, 31} << -1;
        QTest::newRow("day 0") << defaults() << Holiday{4, 0} << -1;
        QTest::newRow("month 13") << defaults() << Holiday{13, 1} << -1;
    }
    void holidayInsertions()
    {
        QFETCH(QList<Holiday>, list);
        QFETCH(Holiday, entry);
        QFETCH(int, position);
        const Insertion at = holidayInsertion(list, entry);
        QCOMPARE(at.position, position);
        QCOMPARE(at.ok(), position >= 0);
        if (list.size() == 16)
            QCOMPARE(at.error, HolidaysFullText);
    }

    void transferInsertions_data()
    {
        QTest::addColumn<QList<Transfer>>("list");
        QTest::addColumn<Transfer>("entry");
        QTest::addColumn<int>("position");
        const QList<Transfer> two{{QDate(2030, 3, 8), 1}, {QDate(2030, 5, 1), 6}};
        QTest::newRow("same date goes after") << two << Transfer{QDate(2030, 3, 8), 7} << 1;
        QTest::newRow("between") << two << Transfer{QDate(2030, 4, 1), 2} << 1;
        QTest::newRow("first") << two << Transfer{QDate(2030, 1, 1), 2} << 0;
        QTest::newRow("last") << two << Transfer{QDate(2031, 1, 1), 2} << 2;
        QTest::newRow("last day of 2099") << two << Transfer{QDate(2099, 12, 31), 8} << 2;
        QTest::newRow("2100") << two << Transfer{QDate(2100, 1, 1), 1} << -1;
        QTest::newRow("first day of 2000") << two << Transfer{QDate(2000, 1, 1), 1} << 0;
        QTest::newRow("1999") << two << Transfer{QDate(1999, 12, 31), 1} << -1;
        QTest::newRow("day type 0") << two << Transfer{QDate(2030, 1, 1), 0} << -1;
        QTest::newRow("full") << QList<Transfer>(16, Transfer{QDate(2030, 1, 1), 1}) << Transfer{QDate(2030, 1, 1), 1}
                              << -1;
    }
    void transferInsertions()
    {
        QFETCH(QList<Transfer>, list);
        QFETCH(Transfer, entry);
        QFETCH(int, position);
        const Insertion at = transferInsertion(list, entry);
        QCOMPARE(at.position, position);
        QCOMPARE(at.ok(), position >= 0);
        if (entry.date.year() > 2099 || entry.date.year() < 2000)
            QCOMPARE(at.error, TransferDateRangeText);
    }

    // Why a holiday cannot be added, in the words the operator sees.
    void holidayRefusals_data()
    {
        QTest::addColumn<QList<Holiday>>("list");
        QTest::addColumn<Holiday>("entry");
        QTest::addColumn<QString>("error");
        QTest::newRow("month 13") << defaults() << Holiday{13, 1} << "Месяц праздника должен быть от 1 до 12: 13";
        QTest::newRow("month 0") << defaults() << Holiday{0, 1} << "Месяц праздника должен быть от 1 до 12: 0";
        QTest::newRow("30 February") << defaults() << Holiday{2, 30} << "В месяце февраль нет дня 30.";
        QTest::newRow("31 April") << defaults() << Holiday{4, 31} << "В месяце апрель нет дня 31.";
        QTest::newRow("day 0") << defaults() << Holiday{12, 0} << "В месяце декабрь нет дня 0.";
        QTest::newRow("full list first") << sixteenHolidays() << Holiday{13, 1} << HolidaysFullText;
    }
    void holidayRefusals()
    {
        QFETCH(QList<Holiday>, list);
        QFETCH(Holiday, entry);
        QFETCH(QString, error);
        const Insertion at = holidayInsertion(list, entry);
        QCOMPARE(at.position, -1);
        QCOMPARE(at.error, error);
    }

    // A new schedule starts from the public holidays, in the calendar order the list
    // keeps, each one a date the meter's table takes.
    void defaultHolidaysInOrder()
    {
        const QList<Holiday> list = defaults();
        QStringList dates;
        for (const Holiday &h : list)
            dates << QString::number(h.day) + QLatin1Char(' ') + monthName(h.month);
        QCOMPARE(dates, (QStringList{"1 январь", "2 январь", "3 январь", "4 январь", "5 январь", "7 январь",
                                     "23 февраль", "8 март", "1 май", "9 май", "12 июнь", "4 ноябрь"}));
        for (int i = 0; i < list.size(); ++i) {
            QList<Holiday> others = list;
            others.removeAt(i);
            QCOMPARE(holidayInsertion(others, list.at(i)).position, i);
        }
    }

    // ---- replies ----

    void zoneReplies()
    {
        // L = 2: one tariff, no zones.
        const auto one = decodeZones(replyFrame(0x08, {}));
        QVERIFY(one && one->oneTariff && !one->zones);
        // An unexpected length: multi-tariff, no zones.
        const auto odd = decodeZones(replyFrame(0x08, bytes({1, 2, 3})));
        QVERIFY(odd && !odd->oneTariff && !odd->zones);
        // L = 20 claimed but short: no zones read past the frame.
        const auto cut = decodeZones(bytes({0x08, 20, 1, 0, 0}));
        QVERIFY(cut && !cut->oneTariff && !cut->zones);
        QVERIFY(!decodeZones(bytes({0x08})));

        // Zone 2 tariff 0, zone 3 hour 0x25, zone 4 hour 0x1A (20), zone 5 minute 0x60.
        const QByteArray data = bytes({1, 0x00, 0x00, 2, 0x06, 0x30, 0, 0x08, 0x30,
                                       2, 0x25, 0x30, 3, 0x1A, 0x30, 2, 0x20, 0x60});
        const auto full = decodeZones(replyFrame(0x08, data));
        QVERIFY(full && !full->oneTariff && full->zones);
        const auto &z = *full->zones;
        QCOMPARE(z[2].tariff, 0);
        QCOMPARE(*z[2].start, QTime(8, 30));
        QVERIFY(!z[3].start);
        QCOMPARE(z[3].tariff, 2);
        QCOMPARE(*z[4].start, QTime(20, 30));
        QVERIFY(!z[5].start);

        TariffSchedule s;
        QCOMPARE(applyZoneReply(s, *full), (QList<int>{3, 5}));
        QVERIFY(!s.oneTariff);
        QCOMPARE(s.zones[3].start, QTime(11, 30)); // left as it was
        QCOMPARE(s.zones[3].tariff, 2);
        QCOMPARE(s.zones[2].tariff, 0);
        QCOMPARE(s.zones[4].start, QTime(20, 30));
        QCOMPARE(badZoneTimeText(3), QStringLiteral("Некорректный тариф, зона 3"));
        applyZoneReply(s, *one);
        QVERIFY(s.oneTariff);
        QCOMPARE(s.zones[4].start, QTime(20, 30));
    }

    // A zone's start time: hours 0..23, minutes 0..59 in BCD; anything else leaves
    // the zone without a time.
    void zoneStartTimes_data()
    {
        QTest::addColumn<int>("hour");
        QTest::addColumn<int>("minute");
        QTest::addColumn<QTime>("start"); // invalid: none
        QTest::newRow("00:00") << 0x00 << 0x00 << QTime(0, 0);
        QTest::newRow("23:59") << 0x23 << 0x59 << QTime(23, 59);
        QTest::newRow("hour 24") << 0x24 << 0x00 << QTime();
        QTest::newRow("minute 60") << 0x12 << 0x60 << QTime();
        QTest::newRow("hour nibble above 9") << 0x1A << 0x05 << QTime(20, 5);
        QTest::newRow("minute nibble above 9") << 0x01 << 0x5A << QTime();
    }
    void zoneStartTimes()
    {
        QFETCH(int, hour);
        QFETCH(int, minute);
        QFETCH(QTime, start);
        QByteArray data;
        for (int z = 0; z < tariff::Zones; ++z)
            data += bytes({1, z == 4 ? hour : 0x00, z == 4 ? minute : 0x00});
        const auto reply = decodeZones(replyFrame(0x08, data));
        QVERIFY(reply && reply->zones);
        const ZoneRecord &r = (*reply->zones)[4];
        QCOMPARE(r.start.has_value(), start.isValid());
        if (r.start)
            QCOMPARE(*r.start, start);
        QCOMPARE(*(*reply->zones)[3].start, QTime(0, 0));
    }

    void dayTypeReplies()
    {
        const auto masks = decodeDayTypes(replyFrame(0x2E, bytes({0x7F, 0x80, 0x01, 0, 0xFF, 0x41})));
        QVERIFY(masks);
        QCOMPARE(*masks, (DayMasks{0x7F, 0x80, 0x01, 0, 0xFF, 0x41}));
        QVERIFY(!decodeDayTypes(replyFrame(0x2E, bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}))));
        QVERIFY(!decodeDayTypes(replyFrame(0x2E, {})));
        QVERIFY(!decodeDayTypes(bytes({0x2E, 8, 1, 2})));
    }

    void holidayReplies_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("month"); // 0: no entry
        QTest::addColumn<int>("day");
        QTest::newRow("1 January") << replyFrame(0x26, bytes({0, 0x01, 0x01})) << 1 << 1;
        QTest::newRow("23 February") << replyFrame(0x26, bytes({6, 0x23, 0x02})) << 2 << 23;
        QTest::newRow("month 0x13") << replyFrame(0x26, bytes({3, 0x01, 0x13})) << 0 << 0;
        QTest::newRow("month 0") << replyFrame(0x26, bytes({3, 0x01, 0x00})) << 0 << 0;
        QTest::newRow("month 0x0A is 10") << replyFrame(0x26, bytes({3, 0x01, 0x0A})) << 10 << 1;
        QTest::newRow("day taken as it is") << replyFrame(0x26, bytes({3, 0x45, 0x02})) << 2 << 45;
        QTest::newRow("empty slot") << replyFrame(0x26, bytes({3})) << 0 << 0;
        QTest::newRow("length 5, data cut") << bytes({0x26, 5, 0, 1}) << 0 << 0;
        QTest::newRow("length 6 with a date in it") << replyFrame(0x26, bytes({3, 0x01, 0x01, 0x00})) << 0 << 0;
    }
    void holidayReplies()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, month);
        QFETCH(int, day);
        const auto h = decodeHoliday(frame);
        QCOMPARE(h.has_value(), month != 0);
        if (h)
            QCOMPARE(*h, (Holiday{month, day}));
    }

    void transferReplies_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QDate>("date"); // null: no entry
        QTest::addColumn<int>("dayType");
        QTest::newRow("8 March 2024, Saturday") << replyFrame(0x28, bytes({0, 0x08, 0x03, 0x24, 0x06})) << QDate(2024, 3, 8)
                                                << 6;
        QTest::newRow("29 February 2024") << replyFrame(0x28, bytes({1, 0x29, 0x02, 0x24, 8})) << QDate(2024, 2, 29) << 8;
        QTest::newRow("29 February 2023") << replyFrame(0x28, bytes({1, 0x29, 0x02, 0x23, 8})) << QDate() << 0;
        QTest::newRow("month 0x13") << replyFrame(0x28, bytes({1, 0x01, 0x13, 0x24, 1})) << QDate() << 0;
        QTest::newRow("day type 0") << replyFrame(0x28, bytes({1, 0x01, 0x01, 0x24, 0})) << QDate() << 0;
        QTest::newRow("day type 9") << replyFrame(0x28, bytes({1, 0x01, 0x01, 0x24, 9})) << QDate() << 0;
        QTest::newRow("year byte 0xA0 is 2100") << replyFrame(0x28, bytes({1, 0x01, 0x01, 0xA0, 1})) << QDate() << 0;
        QTest::newRow("year 2099") << replyFrame(0x28, bytes({1, 0x31, 0x12, 0x99, 7})) << QDate(2099, 12, 31) << 7;
        QTest::newRow("empty slot") << replyFrame(0x28, bytes({5})) << QDate() << 0;
        QTest::newRow("length 7, data cut") << bytes({0x28, 7, 0, 8, 3}) << QDate() << 0;
        QTest::newRow("length 8 with a date in it") << replyFrame(0x28, bytes({1, 0x01, 0x01, 0x24, 1, 0})) << QDate()
                                                    << 0;
    }
    void transferReplies()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QDate, date);
        QFETCH(int, dayType);
        const auto t = decodeTransfer(frame);
        QCOMPARE(t.has_value(), date.isValid());
        if (t)
            QCOMPARE(*t, (Transfer{date, dayType}));
    }

    // ---- the page ----

    // The operator sets zone k; later zones at or before the new time move.
    void startTimePush_data()
    {
        QTest::addColumn<int>("zone");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QStringList>("times");
        QTest::addColumn<QStringList>("tariffs");
        QTest::newRow("zone 1 to 09:00") << 1 << QTime(9, 0)
                                         << QStringList{"00:00", "09:00", "09:01", "11:30", "17:30", "20:30"}
                                         << QStringList{"1", "2", "2", "2", "3", "2"};
        QTest::newRow("zone 1 to 12:00") << 1 << QTime(12, 0)
                                         << QStringList{"00:00", "12:00", "12:01", "12:02", "17:30", "20:30"}
                                         << QStringList{"1", "2", "2", "2", "3", "2"};
        QTest::newRow("zone 4 to 23:59") << 4 << QTime(23, 59)
                                         << QStringList{"00:00", "06:30", "08:30", "11:30", "23:59", "20:30"}
                                         << QStringList{"1", "2", "3", "2", "3", "2"};
        QTest::newRow("zone 2 to 23:58") << 2 << QTime(23, 58)
                                         << QStringList{"00:00", "06:30", "23:58", "23:59", "17:30", "20:30"}
                                         << QStringList{"1", "2", "3", "3", "3", "2"};
        QTest::newRow("equal time moves") << 3 << QTime(17, 30)
                                          << QStringList{"00:00", "06:30", "08:30", "17:30", "17:31", "20:30"}
                                          << QStringList{"1", "2", "3", "2", "2", "2"};
        QTest::newRow("earlier zones stay") << 3 << QTime(1, 0)
                                            << QStringList{"00:00", "06:30", "08:30", "01:00", "17:30", "20:30"}
                                            << QStringList{"1", "2", "3", "2", "3", "2"};
    }
    void startTimePush()
    {
        QFETCH(int, zone);
        QFETCH(QTime, time);
        QFETCH(QStringList, times);
        QFETCH(QStringList, tariffs);
        auto page = newPage();
        page->setOneTariff(false);
        // The operator's change arrives as the picker's own change signal.
        page->Picker_Zone[zone]->setTime(time);
        QStringList gotTimes, gotTariffs;
        for (int z = 0; z < 6; ++z) {
            gotTimes << page->startTime(z).toString(QStringLiteral("HH:mm"));
            gotTariffs << page->tariffText(z);
        }
        QCOMPARE(gotTimes, times);
        QCOMPARE(gotTariffs, tariffs);
    }

    void startTimePushByKeys()
    {
        auto page = newPage();
        page->setOneTariff(false);
        QTimeEdit *picker = page->Picker_Zone[2];
        // Three steps up in the hour section: 08:30 -> 11:30 reaches zone 3.
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(picker, Qt::Key_Up);
        QCOMPARE(page->startTime(2), QTime(11, 30));
        QCOMPARE(page->startTime(3), QTime(11, 31));
        QCOMPARE(page->tariffText(3), QStringLiteral("3"));
        QCOMPARE(page->startTime(4), QTime(17, 30));
    }

    void programmaticTimesDoNotPush()
    {
        auto page = newPage();
        page->setStartTime(1, QTime(12, 0));
        QCOMPARE(page->startTime(2), QTime(8, 30));
        page->showZones(*decodeZones(replyFrame(0x08, bytes({1, 0x00, 0x00, 3, 0x22, 0x00, 3, 0x08, 0x30,
                                                        2, 0x11, 0x30, 3, 0x17, 0x30, 2, 0x20, 0x30}))));
        QCOMPARE(page->startTime(1), QTime(22, 0));
        QCOMPARE(page->startTime(2), QTime(8, 30));
        TariffSchedule s;
        s.zones[0].start = QTime(21, 0);
        page->setSchedule(s);
        QCOMPARE(page->startTime(1), QTime(6, 30));
    }

    void markToggle_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("zone");   // -1: nothing changes
        QTest::addColumn<int>("mask");
        QTest::newRow("header row") << 0 << 3 << -1 << 0;
        QTest::newRow("zone 0 Monday") << 1 << 0 << 0 << 0xFE;
        QTest::newRow("zone 5 holiday") << 6 << 7 << 5 << 0x7F;
    }
    void markToggle()
    {
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(int, zone);
        QFETCH(int, mask);
        auto page = newPage();
        page->StringAttribClick(row, column);
        QCOMPARE(page->StringAttrib->cellText(0, 3), QStringLiteral("ЧТ"));
        for (int z = 0; z < 6; ++z)
            QCOMPARE(int(page->dayMask(z)), z == zone ? mask : 0xFF);
        if (zone < 0)
            return;
        QVERIFY(page->StringAttrib->cellText(row, column).isEmpty());
        page->StringAttribClick(row, column);
        QCOMPARE(page->StringAttrib->cellText(row, column), QStringLiteral(" + "));
        // Any text counts as a mark.
        page->StringAttrib->setCellText(row, column, QStringLiteral("x"));
        QCOMPARE(int(page->dayMask(zone)), 0xFF);
    }

    void enablingRule()
    {
        auto page = newPage();
        const QColor grey(128, 128, 128);
        QVERIFY(page->oneTariff());
        for (QWidget *w : std::initializer_list<QWidget *>{page->ValueListEditor1, page->Picker_Zone[0],
                                                           page->StringAttrib, page->ComboM, page->BtnInsCel,
                                                           page->ListCel, page->DTPTrans, page->BtnInsTrans})
            QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        QCOMPARE(page->StringAttrib->palette().color(QPalette::Text), grey);
        QCOMPARE(page->ValueListEditor1->palette().color(QPalette::Text), grey);
        QVERIFY(page->BtnTemplet->isEnabled());
        QVERIFY(page->CheckOneTarif->isEnabled());

        page->CheckOneTarif->click();
        QVERIFY(!page->oneTariff());
        for (QWidget *w : std::initializer_list<QWidget *>{page->ValueListEditor1, page->Picker_Zone[5],
                                                           page->StringAttrib, page->SpinD, page->BtnInsCel,
                                                           page->ListTransfer, page->BtnInsTrans})
            QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
        QCOMPARE(page->StringAttrib->palette().color(QPalette::Text), QColor(Qt::black));

        // A full list keeps its "Добавить" disabled through the rule.
        page->setHolidays(sixteenHolidays());
        page->setOneTariff(true);
        page->setOneTariff(false);
        QVERIFY(!page->BtnInsCel->isEnabled());
        QVERIFY(page->BtnInsTrans->isEnabled());
    }

    void validateShowsTheMessage()
    {
        auto page = newPage();
        page->setOneTariff(false);
        page->StringAttribClick(1, 0); // a mark removed is not enough
        QVERIFY(page->ValidateSchedule(12));
        QVERIFY(m_messages.isEmpty());
        page->setDayMasks({0, 0xFF, 0xFF, 0, 0xFF, 0xFF});
        QVERIFY(!page->ValidateSchedule(12));
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages[0].caption, QStringLiteral("Ошибка"));
        QCOMPARE(m_messages[0].icon, QMessageBox::Critical);
        QCOMPARE(m_messages[0].text, QStringLiteral("Ошибка в тарифном расписании. Зона 0не определена."));
        // The same grid passes for firmware 9.
        QVERIFY(page->ValidateSchedule(9));
        QCOMPARE(m_messages.size(), 1);
    }

    void holidayButtons()
    {
        auto page = newPage();
        page->setOneTariff(false);
        // 9 May twice: the new entry goes before the one already there.
        page->ComboM->setCurrentIndex(4);
        page->SpinD->setValue(9);
        page->BtnInsCel->click();
        QCOMPARE(page->holidays().mid(8, 4), (QList<Holiday>{{5, 1}, {5, 9}, {5, 9}, {6, 12}}));
        QCOMPARE(texts(page->ListCel, 0).at(9), QStringLiteral("май"));
        QCOMPARE(texts(page->ListCel, 1).at(9), QStringLiteral("9"));
        page->ComboM->setCurrentIndex(11);
        page->SpinD->setValue(31);
        page->BtnInsCel->click();
        page->ComboM->setCurrentIndex(0);
        page->SpinD->setValue(6);
        page->BtnInsCel->click();
        QCOMPARE(page->holidays().size(), 15);
        QCOMPARE(page->holidays().at(5), (Holiday{1, 6}));
        QCOMPARE(page->holidays().last(), (Holiday{12, 31}));
        QVERIFY(page->BtnInsCel->isEnabled());
        page->BtnInsCel->click(); // the 16th
        QCOMPARE(page->holidays().size(), 16);
        QVERIFY(!page->BtnInsCel->isEnabled());

        // Several rows selected and deleted at once; "Удалить" follows the selection.
        page->ListCel->topLevelItem(0)->setSelected(true);
        QVERIFY(page->BtnDelCel->isEnabled());
        page->ListCel->topLevelItem(0)->setSelected(false);
        QVERIFY(!page->BtnDelCel->isEnabled());
        page->ListCel->topLevelItem(0)->setSelected(true);
        page->ListCel->topLevelItem(15)->setSelected(true);
        page->ListCel->topLevelItem(3)->setSelected(true);
        page->BtnDelCel->click();
        QCOMPARE(page->holidays().size(), 13);
        QCOMPARE(page->holidays().first(), (Holiday{1, 2}));
        QCOMPARE(page->holidays().last(), (Holiday{11, 4}));
        QVERIFY(page->BtnInsCel->isEnabled());
        QVERIFY(!page->BtnDelCel->isEnabled());

        // A full list restored: 12 entries, "Добавить" stays off until a delete.
        page->setHolidays(sixteenHolidays());
        QVERIFY(!page->BtnInsCel->isEnabled());
        page->BtnTemplet->click();
        QCOMPARE(page->holidays(), defaults());
        QVERIFY(!page->BtnInsCel->isEnabled());
        page->ListCel->topLevelItem(2)->setSelected(true);
        page->BtnDelCel->click();
        QVERIFY(page->BtnInsCel->isEnabled());
        QVERIFY(m_messages.isEmpty());
    }

    void dayLimitFollowsTheMonth()
    {
        auto page = newPage();
        page->SpinD->setValue(31);
        page->ComboM->setCurrentIndex(1);
        QCOMPARE(page->SpinD->value(), 29);
        QCOMPARE(page->SpinD->maximum(), 29);
        page->ComboM->setCurrentIndex(3);
        QCOMPARE(page->SpinD->maximum(), 30);
        QCOMPARE(page->SpinD->value(), 29);
        page->ComboM->setCurrentIndex(6);
        page->SpinD->setValue(31);
        QCOMPARE(page->SpinD->value(), 31);
        page->ComboM->setCurrentIndex(10);
        QCOMPARE(page->SpinD->value(), 30);
    }

    void transferButtons()
    {
        auto page = newPage();
        page->setOneTariff(false);
        const QDate today = QDate::currentDate();
        page->DTPTrans->setDate(today.addDays(-1));
        QCOMPARE(page->DTPTrans->date(), today);

        const QDate later = today.addDays(30);
        page->DTPTrans->setDate(later);
        page->ComboTrans->setCurrentIndex(5);
        page->BtnInsTrans->click();
        page->DTPTrans->setDate(today.addDays(2));
        page->ComboTrans->setCurrentIndex(0);
        page->BtnInsTrans->click();
        // The same date again goes after the one listed.
        page->DTPTrans->setDate(later);
        page->ComboTrans->setCurrentIndex(7);
        page->BtnInsTrans->click();
        QCOMPARE(page->transfers(),
                 (QList<Transfer>{{today.addDays(2), 1}, {later, 6}, {later, 8}}));
        QCOMPARE(texts(page->ListTransfer, 0).at(1), QLocale().toString(later, QLocale::ShortFormat));
        QCOMPARE(texts(page->ListTransfer, 1), (QStringList{"понедельник", "суббота", "праздник"}));

        // Beyond 2099: refused with a message, nothing added.
        page->DTPTrans->setDate(QDate(2100, 1, 1));
        page->BtnInsTrans->click();
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages[0].text, TransferDateRangeText);
        QCOMPARE(page->transfers().size(), 3);

        // The dates come from the values kept beside the texts, whatever the locale.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const QList<Transfer> listed = page->transfers();
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        QCOMPARE(listed.at(1).date, later);

        page->ListTransfer->topLevelItem(1)->setSelected(true);
        QVERIFY(page->BtnDelTrans->isEnabled());
        page->BtnDelTrans->click();
        QCOMPARE(page->transfers(), (QList<Transfer>{{today.addDays(2), 1}, {later, 8}}));
        QVERIFY(!page->BtnDelTrans->isEnabled());

        page->DTPTrans->setDate(later);
        for (int i = 0; i < 14; ++i)
            page->BtnInsTrans->click();
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(page->transfers().size(), 16);
        QVERIFY(!page->BtnInsTrans->isEnabled());
    }

    void repliesOnThePage()
    {
        auto page = newPage();
        page->setOneTariff(false);
        // One tariff: the groups go grey, the zones stay.
        QVERIFY(page->showZones(*decodeZones(replyFrame(0x08, {}))).isEmpty());
        QVERIFY(page->oneTariff());
        QVERIFY(!page->Picker_Zone[0]->isEnabled() && !page->ListCel->isEnabled());
        QCOMPARE(page->startTime(5), QTime(20, 30));

        // Zone 3's hour 0x25 leaves its time; its tariff and the rest are taken.
        const QByteArray data = bytes({1, 0x00, 0x00, 2, 0x06, 0x00, 0, 0x07, 0x00,
                                       3, 0x25, 0x30, 3, 0x18, 0x00, 1, 0x22, 0x15});
        QCOMPARE(page->showZones(*decodeZones(replyFrame(0x08, data))), QList<int>{3});
        QVERIFY(!page->oneTariff());
        QVERIFY(page->Picker_Zone[0]->isEnabled());
        QCOMPARE(page->startTime(3), QTime(11, 30));
        QCOMPARE(page->tariffText(3), QStringLiteral("3"));
        QCOMPARE(page->tariffText(2), QStringLiteral("0"));
        QCOMPARE(page->startTime(5), QTime(22, 15));
        QCOMPARE(zonesFrame(page->schedule().zones).mid(2 + 6, 3), bytes({0, 0x07, 0x00}));

        page->showDayTypes(decodeDayTypes(replyFrame(0x2E, bytes({0x01, 0x80, 0x7F, 0xFF, 0x00, 0x41}))));
        QCOMPARE(page->StringAttrib->cellText(1, 0), QStringLiteral(" + "));
        QVERIFY(page->StringAttrib->cellText(1, 1).isEmpty());
        QCOMPARE(int(page->dayMask(5)), 0x41);
        QCOMPARE(int(page->dayMask(1)), 0x80);
        // Another length removes every mark; the write then stops at zone 0.
        page->showDayTypes(decodeDayTypes(replyFrame(0x2E, {})));
        for (int z = 0; z < 6; ++z)
            QCOMPARE(int(page->dayMask(z)), 0);
        QCOMPARE(scheduleCheck(page->schedule(), 12), zoneUndefinedText(0));

        // A read empties the lists; replies are appended in slot order, unsorted.
        page->clearCalendars();
        QVERIFY(page->holidays().isEmpty());
        page->appendHoliday(Holiday{6, 12});
        page->appendHoliday(Holiday{1, 1});
        QCOMPARE(texts(page->ListCel, 0), (QStringList{"июнь", "январь"}));
        page->appendTransfer(Transfer{QDate(2024, 3, 8), 6});
        QCOMPARE(texts(page->ListTransfer, 1), QStringList{"суббота"});
        QCOMPARE(page->transfers().first().date, QDate(2024, 3, 8));
        // Sixteen read entries fill the list: "Добавить" goes off, a 17th is not taken.
        for (int i = 2; i < 17; ++i)
            page->appendHoliday(Holiday{7, i});
        QCOMPARE(page->holidays().size(), 16);
        QVERIFY(!page->BtnInsCel->isEnabled());
        page->clearCalendars();
        QVERIFY(page->BtnInsCel->isEnabled());
    }

};

QTEST_MAIN(TestSchedule)
#include "test_schedule.moc"
