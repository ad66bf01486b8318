// The journals: request frames, reply decoding with odd months, dates and lengths,
// the texts of each cell, the whole tables; then the page applying the replies to
// its grid, list and gauges.

#include "link/frame.h"
#include "schedule/journal.h"
#include "schedule/pagejournal.h"
#include "tests/testbytes.h"
#include "ui/widgets.h"

#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeWidget>
#include <QtTest>

using namespace zk;

namespace {

const QLocale Ru(QLocale::Russian, QLocale::Russia);


QByteArray le(quint64 v, int n)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b.append(char((v >> (8 * i)) & 0xFF));
    return b;
}

// The 20 data bytes of a full annual entry.
QByteArray annualData(int month, int label, quint64 t1, quint64 t2, quint64 t3, quint32 halfMinutes)
{
    return bytes({month, label}) + le(t1, 5) + le(t2, 5) + le(t3, 5) + le(halfMinutes, 3);
}

// The 22 data bytes of a consumption record (time fields as BCD bytes).
QByteArray consumptionData(int page, int minute, int hour, int day, int month, int status = 0)
{
    return bytes({page, 7, minute, hour, day, month}) + le(4000, 5) + le(8000, 5) + le(0, 5) + bytes({status});
}

AnnualReply annual(const QByteArray &data, int length = -1)
{
    return decodeAnnual(replyFrame(0x12, data, length)).value();
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(Ru); }

    void requests()
    {
        QCOMPARE(annualRequest(0), bytes({0x12, 0x03, 0x00, 0xD1, 0x35}));
        QCOMPARE(consumptionRequest(0), bytes({0x13, 0x03, 0x00, 0x80, 0xF5}));
        const QList<QByteArray> a = annualRequests();
        const QList<QByteArray> c = consumptionRequests();
        QCOMPARE(a.size(), 12);
        QCOMPARE(c.size(), 61);
        for (int i = 0; i < c.size(); ++i) {
            if (i < a.size())
                QCOMPARE(a[i], annualRequest(i));
            QCOMPARE(c[i], consumptionRequest(i));
            QCOMPARE(dataByte(c[i], 0), std::optional<quint8>(quint8(i)));
        }
    }

    // The cells a reply sets in its grid row, and whether the log hears of it.
    void annualReply_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("month");
        QTest::addColumn<QStringList>("cells");
        QTest::addColumn<bool>("badMonth");
        const QByteArray jan = annualData(0, 0x07, 4000, quint64(1) << 32, (quint64(1) << 40) - 1, 16777215);
        QTest::newRow("full entry") << replyFrame(0x12, jan) << 0
                                    << QStringList{"07 янв.", "1,00000", "1073741,82400", "274877906,94400", "139810:7"}
                                    << false;
        QTest::newRow("label hex upper case") << replyFrame(0x12, annualData(11, 0xAB, 0, 1, 2, 121)) << 11
                                              << QStringList{"AB дек.", "0,00000", "0,00025", "0,00050", "1:0"}
                                              << false;
        QTest::newRow("month only") << replyFrame(0x12, bytes({4})) << 4 << QStringList{"май"} << false;
        QTest::newRow("length 21") << replyFrame(0x12, jan.left(19)) << 0 << QStringList{"янв."} << false;
        QTest::newRow("length 23") << replyFrame(0x12, jan + bytes({0})) << 0 << QStringList{"янв."} << false;
        QTest::newRow("month 12 full") << replyFrame(0x12, annualData(12, 0x07, 1, 1, 1, 1)) << 12 << QStringList{}
                                       << true;
        QTest::newRow("month 255 full") << replyFrame(0x12, annualData(255, 0x07, 1, 1, 1, 1)) << 255 << QStringList{}
                                        << true;
        QTest::newRow("month 12 short") << replyFrame(0x12, bytes({12, 0})) << 12 << QStringList{} << false;
        // Length byte 22 on a frame cut short: the decoder stays inside it.
        QTest::newRow("cut short") << replyFrame(0x12, jan.left(10), 22).left(12) << 0 << QStringList{"янв."} << false;
        // 19 data bytes under the length byte of a full entry: still no entry.
        QTest::newRow("one data byte short") << replyFrame(0x12, jan, 22).left(23) << 0 << QStringList{"янв."}
                                             << false;
    }
    void annualReply()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, month);
        QFETCH(QStringList, cells);
        QFETCH(bool, badMonth);
        const auto r = decodeAnnual(frame);
        QVERIFY(r);
        QCOMPARE(r->month, month);
        QCOMPARE(annualCells(*r, Ru), cells);
        QCOMPARE(isBadMonthEntry(*r), badMonth);
    }

    void operatingTime_data()
    {
        QTest::addColumn<int>("halfMinutes");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "0:0";
        QTest::newRow("119") << 119 << "0:59";
        QTest::newRow("120") << 120 << "1:0";
        QTest::newRow("odd half-minute dropped") << 241 << "2:0";
        QTest::newRow("three bytes") << 0x123456 << "9942:3";
        QTest::newRow("largest") << 16777215 << "139810:7";
    }
    void operatingTime()
    {
        QFETCH(int, halfMinutes);
        QFETCH(QString, text);
        const AnnualReply r = annual(annualData(1, 0, 0, 0, 0, quint32(halfMinutes)));
        QCOMPARE(annualCells(r, Ru).value(4), text);
    }

    void noData()
    {
        QVERIFY(!decodeAnnual(replyFrame(0x12, {})));
        QVERIFY(!decodeConsumption(replyFrame(0x13, {})));
        QVERIFY(!decodeAnnual(bytes({0x12, 0x03})));
    }

    void consumptionRecord_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("year");
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QStringList>("cells"); // empty: no record
        const QStringList rest{"1,00000", "2,00000", "0,00000"};
        QTest::newRow("05.03 14:30") << consumptionData(60, 0x30, 0x14, 0x05, 0x03, 255) << 2025 << Ru
                                     << (QStringList{"60", "7", "05.03 14:30"} + rest + QStringList{"255"});
        QTest::newRow("29.02 common year") << consumptionData(1, 0, 0, 0x29, 0x02) << 2025 << Ru
                                           << (QStringList{"1", "7", ""} + rest + QStringList{"0"});
        QTest::newRow("29.02 leap year") << consumptionData(1, 0, 0, 0x29, 0x02) << 2024 << Ru
                                         << (QStringList{"1", "7", "29.02 00:00"} + rest + QStringList{"0"});
        QTest::newRow("hour 24") << consumptionData(2, 0, 0x24, 0x01, 0x01) << 2025 << Ru
                                 << (QStringList{"2", "7", ""} + rest + QStringList{"0"});
        QTest::newRow("minute 60") << consumptionData(2, 0x60, 0x23, 0x01, 0x01) << 2025 << Ru
                                   << (QStringList{"2", "7", ""} + rest + QStringList{"0"});
        QTest::newRow("month 13") << consumptionData(2, 0, 0, 0x01, 0x13) << 2025 << Ru
                                  << (QStringList{"2", "7", ""} + rest + QStringList{"0"});
        QTest::newRow("day 0") << consumptionData(2, 0, 0, 0x00, 0x01) << 2025 << Ru
                               << (QStringList{"2", "7", ""} + rest + QStringList{"0"});
        // A nibble above 9 counts as it stands: 0x1A is 20.
        QTest::newRow("nibble above 9") << consumptionData(3, 0x1A, 0x09, 0x31, 0x12) << 2025 << Ru
                                        << (QStringList{"3", "7", "31.12 09:20"} + rest + QStringList{"0"});
        QTest::newRow("dot time separator") << consumptionData(4, 0x05, 0x08, 0x10, 0x10) << 2025
                                            << QLocale(QLocale::Finnish, QLocale::Finland)
                                            << QStringList{"4", "7", "10.10 08.05", "1,00000", "2,00000",
                                                           "0,00000", "0"};
        QTest::newRow("length 23: page alone") << consumptionData(9, 0, 0, 1, 1).left(21) << 2025 << Ru
                                               << QStringList{};
        // Enough bytes under another length byte are no record either.
        QTest::newRow("length 25: page alone") << consumptionData(9, 0, 0, 1, 1) + bytes({0}) << 2025 << Ru
                                               << QStringList{};
    }
    void consumptionRecord()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, year);
        QFETCH(QLocale, locale);
        QFETCH(QStringList, cells);
        const auto r = decodeConsumption(replyFrame(0x13, data));
        QVERIFY(r);
        QCOMPARE(r->page, int(quint8(data.at(0))));
        QCOMPARE(r->record.has_value(), !cells.isEmpty());
        if (r->record)
            QCOMPARE(consumptionCells(*r->record, year, locale), cells);
    }

    // The separator between hours and minutes is what the locale writes there, also
    // when its format puts a field or quoted text before the hour.
    void timeSeparators_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("separator");
        QTest::addColumn<QString>("written"); // hour, separator and minutes of 08:05 as the locale writes them
        QTest::newRow("ru: HH:mm") << Ru << ":" << "08:05";
        QTest::newRow("en: h:mm AP") << QLocale(QLocale::English, QLocale::UnitedStates) << ":" << "8:05";
        QTest::newRow("fi: H.mm") << QLocale(QLocale::Finnish, QLocale::Finland) << "." << "8.05";
        QTest::newRow("nds: quoted text first") << QLocale(QLocale::LowGerman, QLocale::Germany) << "." << "8.05";
        QTest::newRow("as: AM/PM first") << QLocale(QLocale::Assamese, QLocale::India) << "."
                                         << QString::fromUtf8("৮.০৫");
    }
    void timeSeparators()
    {
        QFETCH(QLocale, locale);
        QFETCH(QString, separator);
        QFETCH(QString, written);
        QCOMPARE(timeSeparator(locale), separator);
        QVERIFY2(locale.toString(QTime(8, 5), QLocale::ShortFormat).contains(written),
                 qPrintable(locale.toString(QTime(8, 5), QLocale::ShortFormat)));
        QCOMPARE(consumptionTimeText(5, 3, 8, 5, 2025, locale), QStringLiteral("05.03 08") + separator + "05");
    }

    // The tables start from the captions and take the replies as the views do.
    void tables()
    {
        const QList<AnnualReply> replies = {annual(annualData(0, 0x25, 4000, 0, 0, 240)),
                                            annual(bytes({4})),
                                            annual(annualData(12, 0x25, 8000, 0, 0, 0)),
                                            annual(bytes({0}))};
        const TextTable a = annualTable(replies, Ru);
        QCOMPARE(a.size(), 13);
        QCOMPARE(a[0], annualTitles());
        for (const QStringList &row : a)
            QCOMPARE(row.size(), 5);
        // A later reply without the entry renames the month and keeps its values.
        QCOMPARE(a[1], (QStringList{"янв.", "1,00000", "0,00000", "0,00000", "2:0"}));
        QCOMPARE(a[5], (QStringList{"май", "", "", "", ""}));
        QCOMPARE(a[12], (QStringList{"дек.", "", "", "", ""}));

        const QList<ConsumptionReply> records = {
            decodeConsumption(replyFrame(0x13, consumptionData(0, 0, 0, 0x29, 0x02))).value(),
            decodeConsumption(replyFrame(0x13, bytes({1}))).value(),
            decodeConsumption(replyFrame(0x13, consumptionData(2, 0, 0, 0x28, 0x02))).value()};
        const TextTable c = consumptionTable(records, 2023, Ru);
        QCOMPARE(c.size(), 3);
        QCOMPARE(c[0], consumptionTitles());
        QCOMPARE(c[1].mid(0, 3), (QStringList{"0", "7", ""}));
        QCOMPARE(c[2].mid(0, 3), (QStringList{"2", "7", "28.02 00:00"}));
    }

    void pageAnnual()
    {
        PageJournal page;
        page.setFixedCaptions();
        QSignalSpy queued(&page, &PageJournal::queueRequests);
        page.showAnnual(annual(annualData(4, 0x24, 4000, 4000, 4000, 120)));
        QCOMPARE(page.GridJournal->cellText(5, 0), QStringLiteral("24 май"));

        page.BitBtn4->click();
        QCOMPARE(queued.size(), 1);
        QCOMPARE(queued[0][0].value<QList<QByteArray>>(), annualRequests());
        QVERIFY(!page.Gauge1->isHidden());
        QVERIFY(page.Gauge2->isHidden());
        QCOMPARE(page.Gauge1->maximum(), 12);
        QCOMPARE(page.Gauge1->value(), 0);
        // Column 0 keeps its text; the values are gone.
        QCOMPARE(page.GridJournal->cellText(5, 0), QStringLiteral("24 май"));
        QCOMPARE(page.GridJournal->cellText(5, 1), QString());

        QList<AnnualReply> replies;
        for (int m = 0; m < 12; m += 2) {
            replies.append(annual(m == 4 ? bytes({4}) : annualData(m, 0x25, m * 4000, 1, 2, m * 120)));
            page.showAnnual(replies.last());
            QCOMPARE(page.Gauge1->value(), m + 1);
        }
        QCOMPARE(page.annualTexts(), annualTable(replies));
        // A month beyond the journal moves the gauge to its end and nothing else.
        page.showAnnual(annual(bytes({3})));
        QCOMPARE(page.Gauge1->value(), 4);
        page.showAnnual(annual(annualData(200, 0x25, 1, 1, 1, 1)));
        QCOMPARE(page.Gauge1->value(), 12);
        QCOMPARE(page.GridJournal->cellText(4, 0), QStringLiteral("апр."));
    }

    void pageConsumption()
    {
        PageJournal page;
        page.ListView1->addTopLevelItem(new QTreeWidgetItem(QStringList{"old"}));
        QSignalSpy queued(&page, &PageJournal::queueRequests);
        page.BitBtn3->click();
        QCOMPARE(queued.size(), 1);
        QCOMPARE(queued[0][0].value<QList<QByteArray>>(), consumptionRequests());
        QCOMPARE(page.ListView1->topLevelItemCount(), 0);
        QVERIFY(!page.Gauge2->isHidden());
        QCOMPARE(page.Gauge2->maximum(), 61);

        QList<ConsumptionReply> replies;
        for (const QByteArray &data : {consumptionData(5, 0, 0, 0x29, 0x02), consumptionData(6, 0, 0, 1, 1).left(3),
                                       consumptionData(7, 0x30, 0x14, 0x05, 0x03)}) {
            replies.append(decodeConsumption(replyFrame(0x13, data)).value());
            page.showConsumption(replies.last(), 2025);
            QCOMPARE(page.Gauge2->value(), replies.last().page);
        }
        QCOMPARE(page.ListView1->topLevelItemCount(), 2);
        QCOMPARE(page.consumptionTexts(), consumptionTable(replies, 2025));
        page.showConsumption(decodeConsumption(replyFrame(0x13, bytes({90}))).value(), 2025);
        QCOMPARE(page.Gauge2->value(), 61);
    }
};

QTEST_MAIN(TestJournal)
#include "test_journal.moc"
