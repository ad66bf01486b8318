// The drift per day and the recalculated daily correction.

#include "meter/clockcorrection.h"
#include "meter/readout.h"

#include <QtTest>

#include <ctime>

using namespace zk;

class TestClockCorrection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A zone with summer time: the meter's clock has none, and the drift must not move.
        qputenv("TZ", "Europe/Berlin");
        ::tzset();
    }

    void recalculation_data()
    {
        QTest::addColumn<qint64>("n");
        QTest::addColumn<int>("correction");
        QTest::newRow("1250: exactly 1/512") << qint64(1250) << 0;
        QTest::newRow("1000") << qint64(1000) << -6;
        QTest::newRow("1500") << qint64(1500) << 6;
        QTest::newRow("1874") << qint64(1874) << 16;
        QTest::newRow("0: -32 limited") << qint64(0) << -31;
        QTest::newRow("-500: -45 limited") << qint64(-500) << -31;
        QTest::newRow("far below zero, still positive period") << qint64(-19529999) << -31;
        for (qint64 n : {49, 60, 87})
            QTest::newRow(qPrintable(QStringLiteral("%1 gives -30").arg(n))) << n << -30;
        for (qint64 n : {1221, 1250, 1279})
            QTest::newRow(qPrintable(QStringLiteral("%1 gives 0").arg(n))) << n << 0;
        QTest::newRow("48 is not -30") << qint64(48) << -31;
        QTest::newRow("1280 is not 0") << qint64(1280) << 1;
    }
    void recalculation()
    {
        QFETCH(qint64, n);
        QFETCH(int, correction);
        QCOMPARE(recalculatedCorrection(n), std::optional<int>(correction));
    }

    void periodNotPositive()
    {
        QVERIFY(!recalculatedCorrection(-19530000));
        QVERIFY(!recalculatedCorrection(-100000000));
    }

    void enabling_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("1874") << "1874" << true;
        QTest::newRow("1875") << "1875" << false;
        QTest::newRow("-500") << "-500" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("not a number") << "12a" << false;
        QTest::newRow("fraction") << "1,5" << false;
    }
    void enabling()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(correctionMeasurementValid(text), valid);
    }

    void drift_data()
    {
        QTest::addColumn<qint64>("aheadMs");
        QTest::addColumn<qint64>("sinceSettingMs");
        QTest::addColumn<QString>("text"); // empty: no drift
        QTest::addColumn<QDateTime>("pc"); // the PC's local time; the others are clocks' readings
        const qint64 day = 86400000;
        const QDateTime may(QDate(2026, 5, 10), QTime(12, 0));
        QTest::newRow("10 s ahead over two days") << qint64(10000) << 2 * day << "5,0" << may;
        QTest::newRow("behind") << qint64(-24600) << 2 * day << "-12,3" << may;
        QTest::newRow("11 hours ago") << qint64(10000) << 11 * 3600000LL << "" << may;
        QTest::newRow("exactly half a day") << qint64(10000) << day / 2 << "" << may;
        QTest::newRow("five significant digits") << qint64(123456789) << day << "123460,0" << may;
        // The meter shows 02:30 on the night summer time begins, a time the zone skips.
        QTest::newRow("meter in the spring-forward gap") << qint64(-1800000) << 2 * day << "-900,0"
                                                         << QDateTime(QDate(2026, 3, 29), QTime(3, 0));
        QTest::newRow("summer time since the setting") << qint64(10000) << 2 * day << "5,0"
                                                       << QDateTime(QDate(2026, 3, 30), QTime(12, 0));
    }
    void drift()
    {
        QFETCH(qint64, aheadMs);
        QFETCH(qint64, sinceSettingMs);
        QFETCH(QString, text);
        QFETCH(QDateTime, pc);
        const QDateTime wall = zoneFree(pc.date(), pc.time());
        const QDateTime meter = wall.addMSecs(aheadMs);
        const QDateTime lastSetting = wall.addMSecs(-sinceSettingMs);
        const auto d = driftPerDay(meter, pc, QDateTime(lastSetting.date(), lastSetting.time()));
        QCOMPARE(d.has_value(), !text.isEmpty());
        if (d)
            QCOMPARE(driftText(*d, QLocale(QLocale::Russian, QLocale::Russia)), text);
    }

    void noLastSetting()
    {
        const QDateTime pc = QDateTime::currentDateTime();
        QVERIFY(!driftPerDay(pc, pc, QDateTime()));
    }
};

QTEST_GUILESS_MAIN(TestClockCorrection)
#include "test_clockcorrection.moc"
