// The record of a write built from the write and the readout, and the browse view's
// model over the register.

#include "records/register.h"
#include "records/registermodel.h"
#include "records/settingsrecord.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace zk;

namespace {
const QLocale Ru(QLocale::Russian, QLocale::Russia);

ReadoutForRecord readout()
{
    ReadoutForRecord r;
    r.serial = 12345;
    r.version = QStringLiteral("1.12");
    r.turnOnCount = QStringLiteral("121");
    r.status = 0x8A;
    r.readings = {QStringLiteral("1,50000"), QStringLiteral("2,00000"), QStringLiteral("0,00025"),
                  QStringLiteral("1,00000"), QString(), QStringLiteral("3,00000")};
    r.corrections = QStringLiteral("4");
    return r;
}
} // namespace

class TestRegister : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(Ru); }

    // Only the parts a write carried fill their columns; the others stay NULL.
    void recordFromAWrite()
    {
        SettingsWrite w;
        SettingsRecord rec = buildSettingsRecord(w, readout(), Ru);
        QCOMPARE(rec.number, 12345.0);
        QCOMPARE(rec.version, QStringLiteral("1.12"));
        QCOMPARE(rec.turnOn, 121.0);
        QCOMPARE(rec.status, double(0x8A));
        QCOMPARE(rec.nCorrect, 4);
        QVERIFY(!rec.address && !rec.clockDate && !rec.clockTime && !rec.summer && !rec.password);
        QVERIFY(!rec.ddm[0] && !rec.countDay && !rec.countHour && !rec.indicator);
        // Readings stop at the empty cell: T_1_1 stored, T_2_1 and T_3_1 NULL.
        QCOMPARE(rec.readings[0], std::optional<double>(1.5));
        QCOMPARE(rec.readings[3], std::optional<double>(1.0));
        QVERIFY(!rec.readings[4] && !rec.readings[5]);

        w.address = 0;
        w.clock = ClockSetting{QDate(2024, 2, 29), QTime(13, 5, 9), false};
        w.newPassword = QStringLiteral("abc");
        w.ddm = Triple{0, 5, 6};
        w.billing = BillingDay{0, 25};
        w.indication = 0;
        rec = buildSettingsRecord(w, readout(), Ru);
        QCOMPARE(rec.address, std::optional<int>(0)); // 0, not NULL
        QCOMPARE(rec.clockDate, std::optional<QDate>(QDate(2024, 2, 29)));
        QCOMPARE(rec.summer, std::optional<bool>(false));
        QCOMPARE(rec.password, std::optional<double>(0)); // not a number: 0
        QCOMPARE(rec.ddm[0], std::optional<double>(0));
        QCOMPARE(rec.countDay, std::optional<int>(25));
        QCOMPARE(rec.countHour, std::optional<int>(0));
        QCOMPARE(rec.indicator, std::optional<int>(0));

        ReadoutForRecord odd = readout();
        odd.turnOnCount = QStringLiteral("x");
        odd.corrections = QString();
        rec = buildSettingsRecord(SettingsWrite{}, odd, Ru);
        QCOMPARE(rec.turnOn, 0.0);
        QCOMPARE(rec.nCorrect, 0);
    }

    void browseModel()
    {
        QTemporaryDir dir;
        {
            DbfTable table = openOrCreateRegister(dir.path());
            SettingsWrite w;
            recordWrite(table, buildSettingsRecord(w, readout(), Ru), QDateTime(QDate(2026, 1, 5), QTime(8, 30)));
            w.clock = ClockSetting{QDate(2026, 1, 6), QTime(9, 0), true};
            ReadoutForRecord other = readout();
            other.serial = 777;
            recordWrite(table, buildSettingsRecord(w, other, Ru), QDateTime(QDate(2026, 1, 6), QTime(9, 1)));
            w.clock->summer = false;
            recordWrite(table, buildSettingsRecord(w, readout(), Ru), QDateTime(QDate(2026, 1, 7), QTime(10, 2)));
        }
        const QString path = dir.filePath(QLatin1String(RegisterFileName));
        RegisterModel model;
        QCOMPARE(model.columnCount(), 24);
        QCOMPARE(RegisterModel::columnTitles().size(), 24);
        QCOMPARE(model.headerData(13, Qt::Horizontal).toString(), QStringLiteral("Летн. время"));
        model.open(path, QDate(2026, 1, 1), QDate(2026, 1, 31), 0);
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.cellText(0, 0), QStringLiteral("12345"));
        QCOMPARE(model.cellText(0, 1), QStringLiteral("05.01.2026"));
        QCOMPARE(model.cellText(0, 2), QStringLiteral("08:30"));
        QCOMPARE(model.cellText(0, 13), QString());          // SUMMER NULL
        QCOMPARE(model.cellText(1, 13), QStringLiteral("да"));
        QCOMPARE(model.cellText(2, 13), QStringLiteral("нет"));
        QCOMPARE(model.cellText(0, 16), QStringLiteral("1,50000"));
        QCOMPARE(model.cellText(0, 4), QString());           // ADDRESS NULL
        model.open(path, QDate(2026, 1, 6), QDate(2026, 1, 7), 0);
        QCOMPARE(model.rowCount(), 2);
        model.open(path, QDate(2026, 1, 1), QDate(2026, 1, 31), 777);
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.cellText(0, 0), QStringLiteral("777"));
        model.open(path, QDate(2026, 1, 31), QDate(2026, 1, 1), 0);
        QCOMPARE(model.rowCount(), 0);

        // Another program shrinks the file under the open view: the view is read again, or
        // closes with the reason when the file no longer reads.
        QSignalSpy refreshed(&model, &RegisterModel::refreshed);
        QSignalSpy failed(&model, &RegisterModel::failed);
        QFile file(path);
        const qint64 twoRecords = [&] {
            const DbfTable t = DbfTable::open(path);
            return t.headerLength() + 2 * t.recordLength();
        }();
        model.open(path, QDate(2026, 1, 1), QDate(2026, 1, 31), 0);
        QVERIFY(file.resize(twoRecords));
        QCOMPARE(model.cellText(2, 0), QString());
        QCOMPARE(model.cellText(2, 0), QString());
        QTRY_COMPARE(refreshed.size(), 1);
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.cellText(1, 0), QStringLiteral("777"));
        // A lock held by another program: one cell waits it out, the rest of the paint does not.
        const int other = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        QCOMPARE(::flock(other, LOCK_EX), 0);
        QElapsedTimer painting;
        painting.start();
        for (int column = 0; column < model.columnCount(); ++column)
            QCOMPARE(model.cellText(0, column), QString());
        QVERIFY2(painting.elapsed() < 6000, QByteArray::number(painting.elapsed()));
        ::close(other);
        QTRY_COMPARE(refreshed.size(), 2);
        QCOMPARE(model.cellText(1, 0), QStringLiteral("777"));
        QVERIFY(file.resize(100));
        QCOMPARE(model.cellText(0, 0), QString());
        QTRY_COMPARE(failed.size(), 1);
        QVERIFY(failed.at(0).at(0).toString().contains(path));
        QVERIFY(!model.isOpen());
        QCOMPARE(model.rowCount(), 0);
        model.close();
        QVERIFY(!model.isOpen());
        QCOMPARE(model.rowCount(), 0);
        QVERIFY_THROWS_EXCEPTION(DbfError, model.open(dir.filePath(QStringLiteral("none.dbf")), QDate(), QDate(), 0));
    }
};

QTEST_GUILESS_MAIN(TestRegister)
#include "test_register.moc"
