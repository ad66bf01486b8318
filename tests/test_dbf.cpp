// The dBASE table codec and the local register. Every table written here is read back by
// dbfread, a reader we did not write.

#include "records/dbftable.h"
#include "records/register.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <limits>
#include <unistd.h>
#include <atomic>
#include <sys/syscall.h>

using namespace zk;

// Writes that take nothing, as a device or a full pipe may answer: while the count is above
// zero, every write and pwrite of this program (the table's among them) takes no byte.
static std::atomic<int> g_writesTakingNothing{0};
extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    if (g_writesTakingNothing > 0 && g_writesTakingNothing-- > 0)
        return 0;
    return ::syscall(SYS_write, fd, buf, n);
}
extern "C" ssize_t pwrite(int fd, const void *buf, size_t n, off_t offset)
{
    if (g_writesTakingNothing > 0 && g_writesTakingNothing-- > 0)
        return 0;
    return ::syscall(SYS_pwrite64, fd, buf, n, offset);
}

Q_DECLARE_METATYPE(zk::SettingsRecord)
Q_DECLARE_METATYPE(zk::DbfField)

namespace {

// dbfread's view of a table: header facts, fields and every record up to the end marker.
const char ReadScript[] = R"(
import sys, json, datetime, dbfread
t = dbfread.DBF(sys.argv[1], char_decode_errors='strict')
conv = lambda v: v.isoformat() if isinstance(v, datetime.date) else v
print(json.dumps({
    'encoding': t.encoding, 'driver': t.header.language_driver, 'count': t.header.numrecords,
    'changed': t.date.isoformat() if t.date else None,
    'fields': [[f.name, f.type, f.length, f.decimal_count] for f in t.fields],
    'records': [[conv(v) for v in r.values()] for r in t]}))
)";

QByteArray python(const char *script, const QStringList &args)
{
    // The distribution's interpreter, which has the packaged dbfread.
    const QString exe = QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                          : QStringLiteral("python3");
    QProcess p;
    p.start(exe, QStringList{QStringLiteral("-c"), QString::fromUtf8(script)} + args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        qFatal("python failed: %s", p.readAllStandardError().constData());
    return p.readAllStandardOutput();
}

QJsonObject dbfread(const QString &path)
{
    return QJsonDocument::fromJson(python(ReadScript, {path})).object();
}

QJsonArray column(const QJsonObject &read, const QString &name)
{
    const QJsonArray fields = read[QLatin1String("fields")].toArray();
    int at = -1;
    for (int i = 0; i < fields.size(); ++i)
        if (fields[i].toArray()[0].toString() == name)
            at = i;
    QJsonArray out;
    for (const QJsonValue &r : read[QLatin1String("records")].toArray())
        out.append(at < 0 ? QJsonValue(QJsonValue::Undefined) : r.toArray()[at]);
    return out;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

quint32 headerCount(const QByteArray &file)
{
    return qFromLittleEndian<quint32>(file.constData() + 4);
}

void appendNamed(DbfTable &t, const QVariantMap &values)
{
    QVariantList row(t.fields().size());
    for (auto it = values.begin(); it != values.end(); ++it)
        row[t.column(it.key())] = it.value();
    t.append(row);
}

// A register as another program may have laid it out: numbers with decimals, a zone as N.
QVector<DbfField> foreignRegisterFields()
{
    QVector<DbfField> f = registerFields();
    for (DbfField &field : f) {
        if (field.name == QLatin1String("C_NUMBER"))
            field = {field.name, DbfType::Numeric, 12, 2};
        if (field.name == QLatin1String("INDICATOR"))
            field = {field.name, DbfType::Numeric, 6, 1};
        if (field.name == QLatin1String("ZONE_2"))
            field = {field.name, DbfType::Numeric, 3, 0};
    }
    return f;
}

int appenderMain(const QString &job);
int readerMain(const QString &path);

} // namespace

class TestDbf : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }

    void newRegister()
    {
        QTemporaryDir dir;
        DbfTable t = openOrCreateRegister(dir.path());
        QCOMPARE(t.path(), dir.filePath(QStringLiteral("Setting.DBF")));
        const QJsonObject read = dbfread(t.path());
        QCOMPARE(read[QLatin1String("driver")].toInt(), 0xC9);
        QCOMPARE(read[QLatin1String("encoding")].toString(), QStringLiteral("cp1251"));
        QCOMPARE(read[QLatin1String("count")].toInt(), 0);
        QVERIFY(read[QLatin1String("records")].toArray().isEmpty());

        // The data model's column order, then the zone columns read at start-up; the widths are
        // the register's file format, shared with other programs.
        const QStringList expected = {
            "C_NUMBER N 10 0", "VERSION C 5 0", "ADDRESS N 6 0", "TURN_ON N 10 0", "STATUS N 5 0", "C_DATE D 8 0",
            "C_TIME C 8 0", "SUMMER L 1 0", "PASS N 10 0", "T_1_C N 15 5", "T_2_C N 15 5", "T_3_C N 15 5",
            "T_1_1 N 15 5", "T_2_1 N 15 5", "T_3_1 N 15 5", "DDM_A N 10 0", "DDM_B N 10 0", "DDM_C N 10 0",
            "COUNT_DAY N 6 0", "COUNT_HOUR N 6 0", "REPORT L 1 0", "DATE_REC D 8 0", "TIME_REC C 5 0",
            "NCORRECT N 6 0", "INDICATOR N 6 0", "ZONE_0 N 6 0", "ZONE_1 C 10 0", "ZONE_2 C 10 0", "ZONE_3 C 10 0",
            "ZONE_4 C 10 0", "ZONE_5 C 10 0", "TIME_0 C 8 0", "TIME_1 C 8 0", "TIME_2 C 8 0", "TIME_3 C 8 0",
            "TIME_4 C 8 0", "TIME_5 C 8 0"};
        QStringList fields;
        for (const QJsonValue &f : read[QLatin1String("fields")].toArray()) {
            const QJsonArray a = f.toArray();
            fields << QStringLiteral("%1 %2 %3 %4").arg(a[0].toString(), a[1].toString()).arg(a[2].toInt()).arg(a[3].toInt());
        }
        QCOMPARE(fields, expected);
        QCOMPARE(t.fieldIndex(u"time_3"), 34);
        QCOMPARE(t.fieldIndex(u"Zone_0"), 25);
        QCOMPARE(t.fieldIndex(u"NO_SUCH"), -1);
        QVERIFY_THROWS_EXCEPTION(DbfError, t.column(u"NO_SUCH"));
    }

    void values_data()
    {
        QTest::addColumn<char>("type");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QJsonValue>("theirs"); // dbfread
        QTest::addColumn<QVariant>("ours");     // read back by DbfTable

        const QString cyr = QStringLiteral("Счётчик №1");
        QTest::newRow("C cyrillic") << 'C' << 12 << 0 << QVariant(cyr) << QJsonValue(cyr) << QVariant(cyr);
        QTest::newRow("C cut to length") << 'C' << 4 << 0 << QVariant(QStringLiteral("ABCDEF"))
                                         << QJsonValue("ABCD") << QVariant(QStringLiteral("ABCD"));
        QTest::newRow("C leading blanks kept") << 'C' << 6 << 0 << QVariant(QStringLiteral(" 1:2 "))
                                               << QJsonValue(" 1:2") << QVariant(QStringLiteral(" 1:2"));
        QTest::newRow("C NULL") << 'C' << 5 << 0 << QVariant() << QJsonValue("") << QVariant();
        QTest::newRow("N int") << 'N' << 10 << 0 << QVariant(1234567890) << QJsonValue(1234567890) << QVariant(1234567890.0);
        QTest::newRow("N negative") << 'N' << 6 << 0 << QVariant(-4200.0) << QJsonValue(-4200) << QVariant(-4200.0);
        QTest::newRow("N decimals") << 'N' << 15 << 5 << QVariant(123456789.12345) << QJsonValue(123456789.12345)
                                    << QVariant(123456789.12345);
        QTest::newRow("N rounded to decimals") << 'N' << 8 << 2 << QVariant(1.006) << QJsonValue(1.01) << QVariant(1.01);
        QTest::newRow("N negative fraction") << 'N' << 6 << 2 << QVariant(-0.5) << QJsonValue(-0.5) << QVariant(-0.5);
        QTest::newRow("N 18 digits") << 'N' << 20 << 0 << QVariant(1e17) << QJsonValue(qint64(100000000000000000)) << QVariant(1e17);
        QTest::newRow("N zero") << 'N' << 6 << 0 << QVariant(0.0) << QJsonValue(0) << QVariant(0.0);
        QTest::newRow("N NULL") << 'N' << 6 << 0 << QVariant() << QJsonValue(QJsonValue::Null) << QVariant();
        QTest::newRow("D") << 'D' << 8 << 0 << QVariant(QDate(2026, 3, 1)) << QJsonValue("2026-03-01")
                           << QVariant(QDate(2026, 3, 1));
        QTest::newRow("D NULL") << 'D' << 8 << 0 << QVariant() << QJsonValue(QJsonValue::Null) << QVariant();
        QTest::newRow("D invalid is NULL") << 'D' << 8 << 0 << QVariant(QDate()) << QJsonValue(QJsonValue::Null) << QVariant();
        QTest::newRow("L true") << 'L' << 1 << 0 << QVariant(true) << QJsonValue(true) << QVariant(true);
        QTest::newRow("L false") << 'L' << 1 << 0 << QVariant(false) << QJsonValue(false) << QVariant(false);
        QTest::newRow("L NULL") << 'L' << 1 << 0 << QVariant() << QJsonValue(QJsonValue::Null) << QVariant();
    }

    void values()
    {
        QFETCH(char, type);
        QFETCH(int, length);
        QFETCH(int, decimals);
        QFETCH(QVariant, value);
        QFETCH(QJsonValue, theirs);
        QFETCH(QVariant, ours);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.dbf"));
        DbfTable t = DbfTable::create(path, {{QStringLiteral("before"), DbfType::Character, 3, 0},
                                             {QStringLiteral("value"), DbfType(type), length, decimals},
                                             {QStringLiteral("after"), DbfType::Character, 3, 0}});
        t.append({QStringLiteral("<<<"), value, QStringLiteral(">>>")});

        const QJsonObject read = dbfread(path);
        const QJsonArray field = read[QLatin1String("fields")].toArray()[1].toArray();
        QCOMPARE(field, (QJsonArray{"VALUE", QString(QChar::fromLatin1(type)), length, decimals}));
        const QJsonArray record = read[QLatin1String("records")].toArray()[0].toArray();
        QCOMPARE(record, (QJsonArray{"<<<", theirs, ">>>"}));

        const QVariantList back = t.record(0);
        QCOMPARE(back.at(1), ours);
        QCOMPARE(back.at(2).toString(), QStringLiteral(">>>"));
    }

    void valueRejected_data()
    {
        QTest::addColumn<char>("type");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<QVariant>("value");

        QTest::newRow("N too wide") << 'N' << 5 << 0 << QVariant(123456);
        QTest::newRow("N decimals too wide") << 'N' << 6 << 2 << QVariant(1000.0);
        QTest::newRow("N not finite") << 'N' << 10 << 0 << QVariant(qInf());
        QTest::newRow("N text") << 'N' << 10 << 0 << QVariant(QStringLiteral("12"));
        QTest::newRow("D year 10000") << 'D' << 8 << 0 << QVariant(QDate(10000, 1, 1));
        QTest::newRow("D text") << 'D' << 8 << 0 << QVariant(QStringLiteral("20260101"));
        QTest::newRow("L number") << 'L' << 1 << 0 << QVariant(1);
        QTest::newRow("C number") << 'C' << 5 << 0 << QVariant(5);
    }

    void valueRejected()
    {
        QFETCH(char, type);
        QFETCH(int, length);
        QFETCH(int, decimals);
        QFETCH(QVariant, value);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.dbf"));
        DbfTable t = DbfTable::create(path, {{QStringLiteral("x"), DbfType(type), length, decimals}});
        t.append({QVariant()});
        const QByteArray before = fileBytes(path);
        try {
            t.append({value});
            QFAIL("accepted");
        } catch (const DbfError &e) {
            QVERIFY2(e.text().contains(path) && e.text().contains(QStringLiteral("поле X")), qPrintable(e.text()));
        }
        QCOMPARE(fileBytes(path), before);
    }

    void codePage()
    {
        QByteArray high;
        for (int b = 0x80; b <= 0xFF; ++b)
            high.append(char(b));
        const QString expected = QString::fromUtf8(
            python("import sys; sys.stdout.buffer.write(bytes(range(0x80, 0x100)).decode('cp1251', 'replace').encode('utf-8'))", {}));
        QCOMPARE(fromCp1251(high), expected);

        // Every character of the code page survives a table, and one without a code becomes '?'.
        QString text = expected;
        text.remove(QChar(0xFFFD));
        text += QStringLiteral("ä");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.dbf"));
        DbfTable t = DbfTable::create(path, {{QStringLiteral("TEXT"), DbfType::Character, 200, 0}});
        t.append({text});
        text.chop(1);
        QCOMPARE(dbfread(path)[QLatin1String("records")].toArray()[0].toArray()[0].toString(), text + QLatin1Char('?'));
        QCOMPARE(t.record(0).at(0).toString(), text + QLatin1Char('?'));
    }

    void endMarkerAndCountAfterEveryAppend()
    {
        QTemporaryDir dir;
        DbfTable t = openOrCreateRegister(dir.path());
        // A new table already ends with the field list's end and the end marker.
        const QByteArray empty = fileBytes(t.path());
        QCOMPARE(empty.size(), t.headerLength() + 1);
        QCOMPARE(empty.right(2), QByteArray("\x0D\x1A"));
        QCOMPARE(headerCount(empty), quint32(0));
        const QDateTime now(QDate(2026, 5, 4), QTime(10, 20, 30));
        for (int k = 1; k <= 4; ++k) {
            SettingsRecord r;
            r.number = 100 + k;
            recordWrite(t, r, now.addDays(k));
            const QByteArray file = fileBytes(t.path());
            QCOMPARE(file.size(), t.headerLength() + k * t.recordLength() + 1);
            QCOMPARE(file.back(), '\x1A');
            QCOMPARE(headerCount(file), quint32(k));
            QCOMPARE(t.recordCount(), k);
            const QJsonObject read = dbfread(t.path());
            QCOMPARE(read[QLatin1String("count")].toInt(), k);
            QCOMPARE(read[QLatin1String("changed")].toString(), QDate::currentDate().toString(Qt::ISODate));
            QCOMPARE(column(read, QStringLiteral("C_NUMBER")).last().toInt(), 100 + k);
            QCOMPARE(column(read, QStringLiteral("DATE_REC")).last().toString(),
                     now.addDays(k).date().toString(Qt::ISODate));
        }
    }

    void declarations_data()
    {
        QTest::addColumn<QVector<DbfField>>("fields");
        QTest::addColumn<bool>("valid");

        auto one = [](const char *name, DbfType type, int length, int decimals = 0) {
            return QVector<DbfField>{{QString::fromLatin1(name), type, length, decimals}};
        };
        QTest::newRow("C 254") << one("a", DbfType::Character, 254) << true;
        QTest::newRow("C 255") << one("a", DbfType::Character, 255) << false;
        QTest::newRow("N 20") << one("a", DbfType::Numeric, 20) << true;
        QTest::newRow("N 21") << one("a", DbfType::Numeric, 21) << false;
        QTest::newRow("N 5.3") << one("a", DbfType::Numeric, 5, 3) << true;
        QTest::newRow("N 5.4: no room for the point") << one("a", DbfType::Numeric, 5, 4) << false;
        QTest::newRow("D 6") << one("a", DbfType::Date, 6) << false;
        QTest::newRow("name of 10") << one("abcdefghij", DbfType::Logical, 1) << true;
        QTest::newRow("name of 11") << one("abcdefghijk", DbfType::Logical, 1) << false;
        QTest::newRow("name twice") << (one("Ab", DbfType::Logical, 1) + one("aB", DbfType::Date, 8)) << false;
        auto many = [](int count) {
            QVector<DbfField> fields;
            for (int i = 0; i < count; ++i)
                fields.append({QStringLiteral("F%1").arg(i), DbfType::Logical, 1, 0});
            return fields;
        };
        QTest::newRow("255 fields") << many(255) << true;
        QTest::newRow("256 fields") << many(256) << false;
        QTest::newRow("no field") << many(0) << false;
    }

    void declarations()
    {
        QFETCH(QVector<DbfField>, fields);
        QFETCH(bool, valid);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.dbf"));
        try {
            DbfTable::create(path, fields);
        } catch (const DbfError &e) {
            QVERIFY2(!valid, qPrintable(e.text()));
            QVERIFY(e.text().contains(path));
            QVERIFY(QDir(dir.path()).isEmpty());
            return;
        }
        QVERIFY(valid);
        const QJsonArray read = dbfread(path)[QLatin1String("fields")].toArray();
        QCOMPARE(read.size(), fields.size());
        QCOMPARE(read[0].toArray(), (QJsonArray{fields[0].name.toUpper(), QString(QChar::fromLatin1(char(fields[0].type))),
                                                fields[0].length, fields[0].decimals}));
    }

    void tornTail_data()
    {
        // Files as an append cut short by a crash or a power loss may leave them: `cut` is how
        // many bytes of the three records (and their end marker) remain, `extra` what follows.
        QTest::addColumn<bool>("uncounted");    // a fourth record whole
        QTest::addColumn<int>("cut");           // bytes of record data kept, -1 all and the marker
        QTest::addColumn<QByteArray>("extra");
        QTest::addColumn<quint32>("counted");   // the header's count
        QTest::addColumn<int>("intact");        // complete records

        QTest::newRow("cut inside the last record") << false << 2 * 100 + 10 << QByteArray() << 3u << 2;
        QTest::newRow("cut after the flag byte") << false << 2 * 100 + 1 << QByteArray() << 3u << 2;
        QTest::newRow("end marker lost") << false << 3 * 100 << QByteArray() << 3u << 3;
        QTest::newRow("part of a new body after the marker") << false << -1 << QByteArray(40, '7') << 3u << 3;
        QTest::newRow("more than a record after the marker") << false << -1 << QByteArray(250, ' ') << 3u << 3;
        QTest::newRow("new record whole, count not yet raised") << true << -1 << QByteArray() << 3u << 4;
        QTest::newRow("records another program did not count") << true << -1 << QByteArray() << 1u << 4;
        QTest::newRow("no record counted, cut in the last") << true << 3 * 100 + 50 << QByteArray() << 0u << 3;
    }

    void tornTail()
    {
        QFETCH(bool, uncounted);
        QFETCH(int, cut);
        QFETCH(QByteArray, extra);
        QFETCH(quint32, counted);
        QFETCH(int, intact);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.dbf"));
        QByteArray file;
        int recordLength;
        int headerLength;
        {
            DbfTable t = DbfTable::create(path, {{QStringLiteral("NUM"), DbfType::Numeric, 5, 0},
                                                 {QStringLiteral("PAD"), DbfType::Character, 94, 0}});
            recordLength = t.recordLength();
            headerLength = t.headerLength();
            QCOMPARE(recordLength, 100);
            for (int i = 1; i <= 3; ++i)
                t.append({i, QString(94, QChar('a' + i))});
            if (uncounted)
                t.append({4, QString(94, QChar('z'))});
            file = fileBytes(path);
            qToLittleEndian<quint32>(counted, file.data() + 4);
        }
        if (cut >= 0)
            file.truncate(headerLength + cut);
        writeBytes(path, file + extra);

        // dbfread still reads every intact record.
        const QJsonArray before = column(dbfread(path), QStringLiteral("NUM"));
        QVERIFY(before.size() >= intact);
        for (int i = 0; i < intact; ++i)
            QCOMPARE(before[i].toInt(), i + 1);

        DbfTable t = DbfTable::open(path);
        QCOMPARE(t.recordCount(), intact);
        t.append({77, QStringLiteral("new")});
        QCOMPARE(t.recordCount(), intact + 1);

        const QByteArray after = fileBytes(path);
        QCOMPARE(after.size(), headerLength + (intact + 1) * recordLength + 1);
        QCOMPARE(after.back(), '\x1A');
        QCOMPARE(headerCount(after), quint32(intact + 1));
        QCOMPARE(after.left(headerLength + intact * recordLength).mid(32), file.left(headerLength + intact * recordLength).mid(32));
        const QJsonObject read = dbfread(path);
        QJsonArray expected;
        for (int i = 1; i <= intact; ++i)
            expected.append(i);
        expected.append(77);
        QCOMPARE(column(read, QStringLiteral("NUM")), expected);
        QCOMPARE(column(read, QStringLiteral("PAD")).last().toString(), QStringLiteral("new"));
    }

    void badFile_data()
    {
        QTemporaryDir source;
        const QByteArray good = [&] {
            DbfTable t = openOrCreateRegister(source.path());
            recordWrite(t, SettingsRecord{}, QDateTime(QDate(2026, 1, 2), QTime(3, 4)));
            return fileBytes(t.path());
        }();
        auto patched = [&](int at, QByteArray bytes) {
            QByteArray b = good;
            b.replace(at, bytes.size(), bytes);
            return b;
        };
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("text") << QByteArray("C_NUMBER;VERSION\n1;2.3\n2;2.3\n3;2.4\n4;2.4\n5;2.5\n6;2.5\n7;2.6\n");
        QTest::newRow("picture") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x10\0\0\0\x10\x08\x06\0\0\0\x1f\xf3\xff" "a", 33)
                                        + QByteArray(200, '\0');
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut in the first 32 bytes") << good.left(20);
        QTest::newRow("cut in the field list") << good.left(32 + 32 * 5 + 7);
        QTest::newRow("record length wrong") << patched(10, QByteArray("\x10\x01", 2));
        QTest::newRow("header longer than the field list") << patched(8, QByteArray("\xC2\x04", 2));
        QTest::newRow("no end of field list") << patched(32 + 32 * 37, "X");
        QTest::newRow("memo field") << patched(32 + 11, "M");
        QTest::newRow("C field without length") << patched(32 + 32 + 16, QByteArray(1, '\0'));
    }

    void badFile()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Setting.DBF"));
        writeBytes(path, bytes);

        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                if (attempt == 0)
                    DbfTable::open(path);
                else
                    openOrCreateRegister(dir.path());
                QFAIL("opened");
            } catch (const DbfError &e) {
                QVERIFY2(e.text().contains(path), qPrintable(e.text()));
            }
        }
        QCOMPARE(fileBytes(path), bytes);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Setting.DBF")});
    }

    void existingRegisterKept_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("as named") << QStringLiteral("Setting.DBF");
        QTest::newRow("lower case") << QStringLiteral("setting.dbf");
    }

    void existingRegisterKept()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        {
            DbfTable t = DbfTable::create(dir.filePath(name), foreignRegisterFields());
            recordWrite(t, SettingsRecord{}, QDateTime(QDate(2026, 1, 2), QTime(3, 4)));
        }
        const QByteArray before = fileBytes(dir.filePath(name));
        QVERIFY_THROWS_EXCEPTION(DbfError, DbfTable::create(dir.filePath(name), registerFields()));
        // What a killed creation left behind goes; a running program's private name stays.
        const QString live = name + QStringLiteral(".new-%1-2b").arg(QCoreApplication::applicationPid());
        writeBytes(dir.filePath(name + QStringLiteral(".new-999999999-1a")), "x");
        writeBytes(dir.filePath(live), "x");
        DbfTable t = openOrCreateRegister(dir.path());
        QCOMPARE(t.path(), dir.filePath(name));
        QCOMPARE(t.recordCount(), 1);
        QCOMPARE(fileBytes(t.path()), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{name, live}));
    }

    void recordWriteNulls_data()
    {
        QTest::addColumn<SettingsRecord>("record");
        QTest::addColumn<QVariantMap>("expected"); // columns as dbfread reads them; the rest are NULL

        SettingsRecord base;
        base.number = 123456;
        base.version = QStringLiteral("2.41");
        base.turnOn = 720;
        base.status = 9;
        base.nCorrect = 3;
        const QVariantMap always = {{"C_NUMBER", 123456}, {"VERSION", "2.41"}, {"TURN_ON", 720}, {"STATUS", 9},
                                    {"NCORRECT", 3}, {"REPORT", false}, {"DATE_REC", "2026-07-08"},
                                    {"TIME_REC", "09:05"}, {"C_TIME", ""}, {"ZONE_1", ""}, {"ZONE_2", ""},
                                    {"ZONE_3", ""}, {"ZONE_4", ""}, {"ZONE_5", ""}, {"TIME_0", ""}, {"TIME_1", ""},
                                    {"TIME_2", ""}, {"TIME_3", ""}, {"TIME_4", ""}, {"TIME_5", ""}};
        auto with = [&](QVariantMap extra) {
            QVariantMap m = always;
            m.insert(extra);
            return m;
        };

        QTest::newRow("nothing optional") << base << always;
        SettingsRecord r = base;
        r.address = 17;
        QTest::newRow("address") << r << with({{"ADDRESS", 17}});
        r = base;
        r.clockDate = QDate(2026, 12, 31);
        r.clockTime = QTime(23, 59, 58);
        r.summer = false;
        QTest::newRow("clock") << r << with({{"C_DATE", "2026-12-31"}, {"C_TIME", "23:59"}, {"SUMMER", false}});
        r = base;
        r.password = 0;
        QTest::newRow("password 0 is not NULL") << r << with({{"PASS", 0}});
        r = base;
        r.ddm = {5, 0, 7};
        QTest::newRow("ddm") << r << with({{"DDM_A", 5}, {"DDM_B", 0}, {"DDM_C", 7}});
        r = base;
        r.countDay = 0;
        r.countHour = 23;
        QTest::newRow("billing schedule") << r << with({{"COUNT_DAY", 0}, {"COUNT_HOUR", 23}});
        r = base;
        r.indicator = 0;
        QTest::newRow("indication none shown") << r << with({{"INDICATOR", 0}});
        r = base;
        r.address = 0;
        r.indicator = 15;
        r.summer = true;
        r.readings = {1.5, 0.0, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
        QTest::newRow("mixed") << r << with({{"ADDRESS", 0}, {"INDICATOR", 15}, {"SUMMER", true}, {"T_1_C", 1.5}, {"T_2_C", 0}});
    }

    void recordWriteNulls()
    {
        QFETCH(SettingsRecord, record);
        QFETCH(QVariantMap, expected);
        QTemporaryDir dir;
        DbfTable t = openOrCreateRegister(dir.path());
        recordWrite(t, record, QDateTime(QDate(2026, 7, 8), QTime(9, 5, 59)));

        const QJsonObject read = dbfread(t.path());
        for (const QJsonValue &f : read[QLatin1String("fields")].toArray()) {
            const QString name = f.toArray()[0].toString();
            const QJsonValue got = column(read, name)[0];
            const QJsonValue want = QJsonValue::fromVariant(expected.value(name));
            QVERIFY2(got == want, qPrintable(QStringLiteral("%1: %2, expected %3").arg(
                                      name, QString::fromUtf8(QJsonDocument(QJsonArray{got}).toJson(QJsonDocument::Compact)),
                                      QString::fromUtf8(QJsonDocument(QJsonArray{want}).toJson(QJsonDocument::Compact)))));
        }
    }

    void readingsStopAtFirstNonNumber_data()
    {
        QTest::addColumn<QStringList>("cells");
        QTest::addColumn<QVariantList>("stored"); // T_1_C, T_2_C, T_3_C, T_1_1, T_2_1, T_3_1

        const QVariant null;
        QTest::newRow("all numbers") << QStringList{"1", "2,5", " 3,25 ", "-4", "0", "1e3"}
                                     << QVariantList{1, 2.5, 3.25, -4, 0, 1000};
        QTest::newRow("empty third") << QStringList{"1", "2", "", "4", "5", "6"} << QVariantList{1, 2, null, null, null, null};
        QTest::newRow("first not a number") << QStringList{"abc", "2", "3", "4", "5", "6"}
                                            << QVariantList{null, null, null, null, null, null};
        QTest::newRow("point is not the separator") << QStringList{"1", "2", "3", "4,5", "5.5", "6"}
                                                    << QVariantList{1, 2, 3, 4.5, null, null};
        QTest::newRow("no group separators") << QStringList{"1 000,5", "2", "3", "4", "5", "6"}
                                             << QVariantList{null, null, null, null, null, null};
        QTest::newRow("not finite") << QStringList{"1", "inf", "3", "4", "5", "6"} << QVariantList{1, null, null, null, null, null};
        QTest::newRow("last one bad") << QStringList{"1", "2", "3", "4", "5", "x"} << QVariantList{1, 2, 3, 4, 5, null};
        QTest::newRow("fewer cells") << QStringList{"1", "2"} << QVariantList{1, 2, null, null, null, null};
    }

    void readingsStopAtFirstNonNumber()
    {
        QFETCH(QStringList, cells);
        QFETCH(QVariantList, stored);
        SettingsRecord r;
        r.readings = readingsFromTexts(cells, QLocale());
        QTemporaryDir dir;
        DbfTable t = openOrCreateRegister(dir.path());
        recordWrite(t, r, QDateTime(QDate(2026, 7, 8), QTime(9, 5)));

        const QJsonObject read = dbfread(t.path());
        const char *columns[] = {"T_1_C", "T_2_C", "T_3_C", "T_1_1", "T_2_1", "T_3_1"};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(column(read, QLatin1String(columns[i]))[0], QJsonValue::fromVariant(stored[i]));
    }

    void nextFreeNumber_data()
    {
        QTest::addColumn<QVariantList>("numbers"); // C_NUMBER of each row, null for NULL
        QTest::addColumn<qint64>("next");

        const QVariant null;
        QTest::newRow("empty register") << QVariantList{} << qint64(1);
        QTest::newRow("only NULL numbers") << QVariantList{null, null} << qint64(1);
        QTest::newRow("gaps, highest not last") << QVariantList{3, 100, null, 7} << qint64(101);
        QTest::newRow("half rounds to even, down") << QVariantList{1, 2.5} << qint64(3);
        QTest::newRow("half rounds to even, up") << QVariantList{3.5, 1} << qint64(5);
        QTest::newRow("below half") << QVariantList{41.49} << qint64(42);
        QTest::newRow("negative only") << QVariantList{-5, -9} << qint64(-4);
    }

    void nextFreeNumber()
    {
        QFETCH(QVariantList, numbers);
        QFETCH(qint64, next);
        QTemporaryDir dir;
        DbfTable t = DbfTable::create(dir.filePath(QStringLiteral("Setting.DBF")), foreignRegisterFields());
        for (const QVariant &n : numbers)
            appendNamed(t, {{"C_NUMBER", n.isNull() ? QVariant() : QVariant(n.toDouble())}});
        QCOMPARE(zk::nextFreeNumber(t), next);
    }

    void nextFreeNumberBeyond64Bits_data()
    {
        QTest::addColumn<QByteArrayList>("numbers"); // C_NUMBER N(20,0) of each row, as stored
        QTest::addColumn<qint64>("next");

        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("twenty nines") << QByteArrayList{"99999999999999999999"} << max;
        QTest::newRow("exponent") << QByteArrayList{"               1e300"} << max;
        QTest::newRow("largest qint64 reads as 2^63") << QByteArrayList{" 9223372036854775807"} << max;
        QTest::newRow("largest double below 2^63")
            << QByteArrayList{" 9223372036854774784"} << qint64(9223372036854774785LL);
        QTest::newRow("far below -2^63") << QByteArrayList{"-9999999999999999999"} << min + 1;
        QTest::newRow("-2^63 itself") << QByteArrayList{"-9223372036854775808"} << min + 1;
        QTest::newRow("beside small numbers") << QByteArrayList{"                   5", "               1e300",
                                                                "                   7"} << max;
    }

    void nextFreeNumberBeyond64Bits()
    {
        QFETCH(QByteArrayList, numbers);
        QFETCH(qint64, next);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Setting.DBF"));
        int headerLength = 0;
        {
            DbfTable t = DbfTable::create(path, {{QStringLiteral("C_NUMBER"), DbfType::Numeric, 20, 0}});
            headerLength = t.headerLength();
            for (int i = 0; i < numbers.size(); ++i)
                t.append({QVariant()});
        }
        // Our writer refuses such numbers: they go into the file as another program wrote them.
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        for (int i = 0; i < numbers.size(); ++i) {
            QCOMPARE(numbers[i].size(), 20);
            QVERIFY(f.seek(headerLength + qint64(i) * 21 + 1));
            QCOMPARE(f.write(numbers[i]), qint64(20));
        }
        f.close();
        QCOMPARE(zk::nextFreeNumber(DbfTable::open(path)), next);
    }

    void latestSettings_data()
    {
        // Rows as column -> value; the expected settings as the text of each item ("-" for empty).
        QTest::addColumn<QList<QVariantMap>>("rows");
        QTest::addColumn<QString>("expected"); // zone0, zones 1..5, times 0..5, indicator; null: none

        const QDate d1(2026, 3, 1), d2(2026, 3, 2), d3(2026, 3, 3);
        QTest::newRow("empty register") << QList<QVariantMap>{} << QString();
        QTest::newRow("no row has a date") << QList<QVariantMap>{{{"ZONE_0", 1}}} << QString();
        const QVariantMap full = {{"DATE_REC", d3}, {"ZONE_0", 2}, {"ZONE_1", "1"}, {"ZONE_2", 2}, {"ZONE_3", " 3"},
                                  {"ZONE_4", "4"}, {"ZONE_5", "1"}, {"TIME_0", "00:00:00"}, {"TIME_1", "07:00:00"},
                                  {"TIME_2", "10:30:00"}, {"TIME_3", "17:00"}, {"TIME_4", "21:00:00"},
                                  {"TIME_5", "23:00:00"}, {"INDICATOR", 5.0}};
        QTest::newRow("first row of the latest date")
            << QList<QVariantMap>{{{"DATE_REC", d1}, {"ZONE_0", 9}, {"INDICATOR", 9.0}},
                                  full,
                                  {{"DATE_REC", d2}, {"ZONE_0", 8}},
                                  {{"DATE_REC", d3}, {"ZONE_0", 7}, {"INDICATOR", 7.0}},
                                  {{"ZONE_0", 6}}}
            << QStringLiteral("2 1 2 3 4 1 00:00:00 07:00:00 10:30:00 17:00:00 21:00:00 23:00:00 5");
        QTest::newRow("NULL columns stay empty")
            << QList<QVariantMap>{{{"DATE_REC", d2}, {"ZONE_0", 0}, {"ZONE_3", "2"}, {"TIME_3", "12:00:00"}},
                                  {{"DATE_REC", d1}, {"ZONE_0", 3}, {"INDICATOR", 15.0}}}
            << QStringLiteral("0 - - 2 - - - - - 12:00:00 - - -");
        QTest::newRow("indicator half to even, down")
            << QList<QVariantMap>{{{"DATE_REC", d1}, {"INDICATOR", 2.5}}}
            << QStringLiteral("- - - - - - - - - - - - 2");
        QTest::newRow("indicator half to even, up")
            << QList<QVariantMap>{{{"DATE_REC", d1}, {"INDICATOR", 3.5}}}
            << QStringLiteral("- - - - - - - - - - - - 4");
        QTest::newRow("unreadable time is empty")
            << QList<QVariantMap>{{{"DATE_REC", d1}, {"TIME_1", "25:00:00"}, {"TIME_2", "noon"}}}
            << QStringLiteral("- - - - - - - - - - - - -");
    }

    void latestSettings()
    {
        QFETCH(QList<QVariantMap>, rows);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        DbfTable t = DbfTable::create(dir.filePath(QStringLiteral("Setting.DBF")), foreignRegisterFields());
        for (const QVariantMap &row : rows)
            appendNamed(t, row);

        const std::optional<LastSettings> s = zk::latestSettings(t);
        QCOMPARE(s.has_value(), !expected.isEmpty());
        if (!s)
            return;
        auto text = [](const auto &v) -> QString {
            if (!v)
                return QStringLiteral("-");
            if constexpr (std::is_same_v<std::decay_t<decltype(*v)>, QTime>)
                return v->toString(QStringLiteral("hh:mm:ss"));
            else
                return QVariant(*v).toString();
        };
        QStringList got{text(s->zone0)};
        for (const auto &z : s->zones)
            got << text(z);
        for (const auto &tm : s->times)
            got << text(tm);
        got << text(s->indicator);
        QCOMPARE(got.join(QLatin1Char(' ')), expected);
    }

    // ZONE_0 and INDICATOR of a register whose numbers are wider than an int: a value
    // out of the int range is no setting at all.
    void settingsBeyondTheIntRange_data()
    {
        QTest::addColumn<double>("stored");
        QTest::addColumn<QString>("expected"); // "-" for empty
        QTest::newRow("largest int") << 2147483647.0 << "2147483647";
        QTest::newRow("one above") << 2147483648.0 << "-";
        QTest::newRow("smallest int") << -2147483648.0 << "-2147483648";
        QTest::newRow("one below") << -2147483649.0 << "-";
        QTest::newRow("far above") << 1e18 << "-";
    }
    void settingsBeyondTheIntRange()
    {
        QFETCH(double, stored);
        QFETCH(QString, expected);
        QVector<DbfField> fields = registerFields();
        for (DbfField &f : fields)
            if (f.name == QLatin1String("ZONE_0") || f.name == QLatin1String("INDICATOR"))
                f = {f.name, DbfType::Numeric, 20, 0};
        QTemporaryDir dir;
        DbfTable t = DbfTable::create(dir.filePath(QStringLiteral("Setting.DBF")), fields);
        appendNamed(t, {{"DATE_REC", QDate(2026, 3, 1)}, {"ZONE_0", stored}, {"INDICATOR", stored}});
        const std::optional<LastSettings> s = zk::latestSettings(t);
        QVERIFY(s);
        QCOMPARE(s->zone0 ? QString::number(*s->zone0) : QStringLiteral("-"), expected);
        QCOMPARE(s->indicator ? QString::number(*s->indicator) : QStringLiteral("-"), expected);
    }

    void browseRows_data()
    {
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<int>("serial");
        QTest::addColumn<QVector<qint64>>("rows");

        // Rows: 0 (5.1, 10)  1 (5.2, 11)  2 (NULL, 10)  3 (5.2, NULL)  4 (5.3, 10)  5 (5.2, 10, deleted)
        //       6 (5.2, 10)  7 (4.30, 10)
        const QDate d(2026, 5, 2);
        QTest::newRow("one day") << d << d << 0 << QVector<qint64>{1, 3, 6};
        QTest::newRow("one day, one number") << d << d << 10 << QVector<qint64>{6};
        QTest::newRow("range with its ends") << d.addDays(-1) << d.addDays(1) << 10 << QVector<qint64>{0, 4, 6};
        QTest::newRow("negative number: no condition") << d << d.addDays(1) << -3 << QVector<qint64>{1, 3, 4, 6};
        QTest::newRow("across a month") << QDate(2026, 4, 30) << QDate(2026, 5, 1) << 0 << QVector<qint64>{0, 7};
        QTest::newRow("number nowhere") << d.addDays(-5) << d.addDays(5) << 12 << QVector<qint64>{};
        QTest::newRow("from after to") << d.addDays(1) << d << 0 << QVector<qint64>{};
    }

    void browseRows()
    {
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(int, serial);
        QFETCH(QVector<qint64>, rows);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Setting.DBF"));
        {
            DbfTable t = DbfTable::create(path, foreignRegisterFields());
            const QVariant null;
            const QList<QPair<QVariant, QVariant>> data = {
                {QDate(2026, 5, 1), 10.0}, {QDate(2026, 5, 2), 11.0}, {null, 10.0}, {QDate(2026, 5, 2), null},
                {QDate(2026, 5, 3), 10.0}, {QDate(2026, 5, 2), 10.0}, {QDate(2026, 5, 2), 10.0},
                {QDate(2026, 4, 30), 10.0}};
            for (const auto &[date, number] : data)
                appendNamed(t, {{"DATE_REC", date}, {"C_NUMBER", number}});
        }
        QByteArray file = fileBytes(path);
        const DbfTable probe = DbfTable::open(path);
        file[probe.headerLength() + 5 * probe.recordLength()] = '*';
        writeBytes(path, file);
        QCOMPARE(zk::browseRows(DbfTable::open(path), from, to, serial), rows);
    }

    // Another program holds the file: every operation gives up within seconds, says that the
    // table is busy and names the file, and the table is as it was.
    void busyTable_data()
    {
        QTest::addColumn<int>("how");       // the other program's lock
        QTest::addColumn<QString>("operation");
        QTest::newRow("append") << LOCK_SH << "append";
        QTest::newRow("append check") << LOCK_SH << "check";
        QTest::newRow("count") << LOCK_EX << "count";
        QTest::newRow("open") << LOCK_EX << "open";
        QTest::newRow("register") << LOCK_EX << "register";
    }
    void busyTable()
    {
        QFETCH(int, how);
        QFETCH(QString, operation);
        QTemporaryDir dir;
        DbfTable t = openOrCreateRegister(dir.path());
        appendNamed(t, {{"C_NUMBER", 5.0}});
        const QByteArray before = fileBytes(t.path());
        const int other = ::open(QFile::encodeName(t.path()).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(other >= 0);
        QCOMPARE(::flock(other, how), 0);
        QElapsedTimer clock;
        clock.start();
        try {
            if (operation == QLatin1String("append"))
                appendNamed(t, {{"C_NUMBER", 6.0}});
            else if (operation == QLatin1String("check"))
                t.checkAppendable();
            else if (operation == QLatin1String("count"))
                t.recordCount();
            else if (operation == QLatin1String("open"))
                DbfTable::open(t.path());
            else
                zk::nextFreeNumber(openOrCreateRegister(dir.path()));
            QFAIL("not refused");
        } catch (const DbfError &e) {
            QVERIFY2(e.text().contains(t.path()) && e.text().contains(QStringLiteral("занята")), qPrintable(e.text()));
        }
        QVERIFY(clock.elapsed() < 10000);
        ::close(other);
        QCOMPARE(fileBytes(t.path()), before);
        QCOMPARE(t.recordCount(), 1);
    }

    // A write that takes nothing is an I/O error, not a reason to try again for ever: the
    // creation leaves no file, the append no record.
    void writeTakingNothing()
    {
        QTemporaryDir dir;
        g_writesTakingNothing = 1000;
        QVERIFY_THROWS_EXCEPTION(DbfError, openOrCreateRegister(dir.path()));
        g_writesTakingNothing = 0;
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        DbfTable t = openOrCreateRegister(dir.path());
        appendNamed(t, {{"C_NUMBER", 5.0}});
        g_writesTakingNothing = 1000;
        QVERIFY_THROWS_EXCEPTION(DbfError, appendNamed(t, {{"C_NUMBER", 6.0}}));
        g_writesTakingNothing = 0;
        QCOMPARE(t.recordCount(), 1);
    }

    // A register this program may not write (another user's file, a read-only share)
    // still opens and reads; an append is refused with its own text.
    void readOnlyRegisterOpensForReading()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Setting.DBF"));
        {
            DbfTable t = openOrCreateRegister(dir.path());
            appendNamed(t, {{"C_NUMBER", 5.0}});
            appendNamed(t, {{"C_NUMBER", 6.0}});
        }
        const auto readable = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        QVERIFY(QFile::setPermissions(path, readable));
        QVERIFY(QFile::setPermissions(dir.path(), readable | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup
                                                      | QFile::ExeOther));
        // In a child: root may write any file, so there the child becomes an ordinary user.
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ZK_DBF_READER"), path);
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(p.waitForFinished(60000));
        if (p.exitCode() == 4)
            QSKIP("the temporary folder is out of an ordinary user's reach");
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()).trimmed(),
                 QStringLiteral("2 7 открыта только для чтения"));
        QCOMPARE(DbfTable::open(path).recordCount(), 2);
    }

    void concurrentAppends()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Setting.DBF"));
        // Two tables open on one file: the second sees the first's append.
        {
            DbfTable a = openOrCreateRegister(dir.path());
            DbfTable b = DbfTable::open(path);
            appendNamed(a, {{"C_NUMBER", 1.0}, {"VERSION", "start"}, {"T_1_C", 1.0}});
            appendNamed(b, {{"C_NUMBER", 2.0}, {"VERSION", "start"}, {"T_1_C", 2.0}});
            QCOMPARE(a.recordCount(), 2);
        }

        const int writers = 3;
        const int each = 200;
        QList<QProcess *> procs;
        for (int w = 1; w <= writers; ++w) {
            auto *p = new QProcess(this);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("ZK_DBF_APPENDER"), QStringLiteral("%1|%2|%3").arg(path).arg(w).arg(each));
            p->setProcessEnvironment(env);
            p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            procs << p;
        }
        for (QProcess *p : procs)
            p->start(QCoreApplication::applicationFilePath(), {});
        for (QProcess *p : procs) {
            QVERIFY(p->waitForFinished(120000));
            QCOMPARE(p->exitCode(), 0);
        }

        const int total = 2 + writers * each;
        QCOMPARE(DbfTable::open(path).recordCount(), total);
        const QJsonObject read = dbfread(path);
        QCOMPARE(read[QLatin1String("count")].toInt(), total);
        const QJsonArray numbers = column(read, QStringLiteral("C_NUMBER"));
        const QJsonArray checks = column(read, QStringLiteral("T_1_C"));
        const QJsonArray tags = column(read, QStringLiteral("VERSION"));
        QCOMPARE(numbers.size(), total);
        QVector<int> nextOf(writers + 1, 0);
        for (int i = 2; i < total; ++i) {
            // Whole records only, each writer's in its own order, none lost or doubled.
            const int n = numbers[i].toInt();
            const int w = n / 10000;
            QVERIFY(w >= 1 && w <= writers);
            QCOMPARE(checks[i].toInt(), n);
            QCOMPARE(tags[i].toString(), QStringLiteral("w%1").arg(w));
            QCOMPARE(n % 10000, nextOf[w]++);
        }
        for (int w = 1; w <= writers; ++w)
            QCOMPARE(nextOf[w], each);
    }
};

namespace {

// Child mode of concurrentAppends: "path|writer|count".
int appenderMain(const QString &job)
{
    const QStringList parts = job.split(QLatin1Char('|'));
    const int w = parts.value(1).toInt();
    try {
        DbfTable t = DbfTable::open(parts.value(0));
        for (int i = 0; i < parts.value(2).toInt(); ++i) {
            const double n = w * 10000 + i;
            appendNamed(t, {{"C_NUMBER", n}, {"VERSION", QStringLiteral("w%1").arg(w)}, {"T_1_C", n}});
        }
    } catch (const DbfError &e) {
        qCritical("%s", qPrintable(e.text()));
        return 1;
    }
    return 0;
}

// Child mode of readOnlyRegisterOpensForReading: prints the record count, the next free
// number and the text of a refused append.
int readerMain(const QString &path)
{
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
        return 3;
    if (!QFileInfo(path).isReadable())
        return 4;
    try {
        DbfTable t = DbfTable::open(path);
        QString refused = QStringLiteral("appended");
        try {
            appendNamed(t, {{"C_NUMBER", 7.0}});
        } catch (const DbfError &e) {
            refused = e.text().section(QStringLiteral(": "), -1);
        }
        std::printf("%lld %lld %s\n", t.recordCount(), zk::nextFreeNumber(t), refused.toUtf8().constData());
    } catch (const DbfError &e) {
        qCritical("%s", qPrintable(e.text()));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("ZK_DBF_APPENDER"))
        return appenderMain(qEnvironmentVariable("ZK_DBF_APPENDER"));
    if (qEnvironmentVariableIsSet("ZK_DBF_READER"))
        return readerMain(qEnvironmentVariable("ZK_DBF_READER"));
    QCoreApplication app(argc, argv);
    TestDbf test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_dbf.moc"
