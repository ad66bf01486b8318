// Writes the generated seeds of the fuzz corpus: replies a meter sends (the frames the unit
// tests use) for fuzz_reply, and small registers and tables written by the program's own
// table writer for fuzz_dbf. Usage: fuzz_corpus DIR (DIR/fuzz_reply and DIR/fuzz_dbf).

#include "fuzz/requests.h"
#include "link/frame.h"
#include "meter/readout.h"
#include "records/dbftable.h"
#include "records/register.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>
#include <initializer_list>

using namespace zk;

namespace {

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

QByteArray replyFrame(quint8 function, const QByteArray &data, int length = -1)
{
    QByteArray f;
    f.append(char(function));
    f.append(char(length < 0 ? data.size() + 2 : length));
    f.append(data);
    return withCrc(f);
}

QByteArray count5(quint64 count)
{
    QByteArray b;
    for (int i = 0; i < 5; ++i)
        b.append(char((count >> (8 * i)) & 0xFF));
    return b;
}

void save(const QString &path, const QByteArray &content)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size()) {
        fprintf(stderr, "cannot write %s\n", qPrintable(path));
        exit(1);
    }
}

// The seed of fuzz_reply: request index, switches, the bytes of the reply.
void reply(const QDir &dir, const char *name, quint8 request, quint8 switches, const QByteArray &frame)
{
    QByteArray seed;
    seed.append(char(fuzz::requestIndex(request)));
    seed.append(char(switches));
    seed.append(frame);
    save(dir.filePath(QString::fromLatin1(name)), seed);
}

void replies(const QDir &dir)
{
    // Switches: bit 0 the reply is awaited; bits 1-5 the piece size less one; bit 6 service
    // mode; bit 7 the CRC added by the line (the frames below then go without theirs).
    const quint8 whole = 0x01 | (31 << 1);
    const quint8 bytewise = 0x01;
    const quint8 service = 0x01 | 0x40 | (2 << 1);
    const quint8 addCrc = 0x80 | whole;
    reply(dir, "version", 0x00, whole, withCrc(bytes({0x00, 0x04, 0x12, 0x01})));
    reply(dir, "version-bytewise", 0x00, bytewise, withCrc(bytes({0x00, 0x04, 0x09, 0x01})));
    reply(dir, "serial", 0x01, whole, replyFrame(0x01, bytes({0xA0, 0x86, 0x01})));
    reply(dir, "clock", 0x04, whole, replyFrame(0x04, bytes({0x09, 0x05, 0x13, 0x04, 0x29, 0x02, 0x24, 0x80})));
    reply(dir, "clock-bad-time", 0x04, whole, replyFrame(0x04, bytes({0x60, 0x00, 0x25, 0x04, 0x29, 0x02, 0x24, 0})));
    reply(dir, "correction", 0x06, whole, replyFrame(0x06, bytes({0x25})));
    reply(dir, "ddm", 0x0A, whole, replyFrame(0x0A, bytes({0x56, 0x34, 0x12, 1, 0, 0, 0xFF, 0xFF, 0xFF})));
    reply(dir, "status", 0x0C, whole, replyFrame(0x0C, bytes({0x4F})));
    reply(dir, "indication", 0x0D, whole, replyFrame(0x0D, bytes({0x09})));
    reply(dir, "readings", 0x0F, whole, replyFrame(0x0F, count5(4000) + count5(1) + count5(0)));
    reply(dir, "readings-billing", 0x0F, 0x01 | (4 << 1),
          replyFrame(0x0F, count5(4000) + count5(1) + count5(0) + count5(quint64(1) << 32) + count5(2) + count5(3)));
    reply(dir, "turn-on", 0x11, whole, replyFrame(0x11, bytes({0x79, 0x00, 0x00, 200})));
    reply(dir, "billing", 0x22, whole, replyFrame(0x22, bytes({0x23, 0x31})));
    reply(dir, "ddm-stamps", 0x2A, whole,
          replyFrame(0x2A, bytes({1, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x51, 0x01, 0})));
    reply(dir, "annual", 0x12, whole,
          replyFrame(0x12, bytes({0, 0x07}) + count5(4000) + count5(8000) + count5(12000) + bytes({0x79, 0, 0})));
    reply(dir, "annual-month-only", 0x12, whole, replyFrame(0x12, bytes({4})));
    reply(dir, "consumption", 0x13, whole,
          replyFrame(0x13, bytes({3, 1, 0x30, 0x12, 0x29, 0x02}) + count5(1) + count5(2) + count5(3) + bytes({0})));
    reply(dir, "consumption-page-only", 0x13, whole, replyFrame(0x13, bytes({60})));
    reply(dir, "zones", 0x08, whole,
          replyFrame(0x08, bytes({1, 0x00, 0x00, 2, 0x06, 0x30, 3, 0x08, 0x30, 2, 0x11, 0x30, 3, 0x17, 0x30,
                                  2, 0x20, 0x30})));
    reply(dir, "zones-one-tariff", 0x08, whole, replyFrame(0x08, QByteArray()));
    reply(dir, "day-types", 0x2E, whole, replyFrame(0x2E, bytes({0xFF, 0x7F, 0x1F, 0x60, 0x80, 0x01})));
    reply(dir, "holiday", 0x26, whole, replyFrame(0x26, bytes({0, 0x08, 0x03})));
    reply(dir, "holiday-empty", 0x26, whole, replyFrame(0x26, bytes({5})));
    reply(dir, "transfer", 0x28, whole, replyFrame(0x28, bytes({3, 0x09, 0x05, 0x26, 2})));
    reply(dir, "write-ack", 0x05, whole, withCrc(bytes({0x05, 0x02})));
    reply(dir, "error-reply", 0x14, whole, makeErrorReply(0x14, 6));
    reply(dir, "wrong-function", 0x0C, whole, replyFrame(0x0D, bytes({0x09})));
    reply(dir, "extra-byte", 0x05, bytewise, withCrc(bytes({0x05, 0x02})) + bytes({0x00}));
    reply(dir, "late", 0x01, 31 << 1, replyFrame(0x01, bytes({1, 0, 0})));
    reply(dir, "clock-service", 0x04, service, replyFrame(0x04, bytes({0x59, 0x59, 0x23, 0x07, 0x31, 0x12, 0x99, 0})));

    // Without their CRC: the line adds it.
    auto noCrc = [](const QByteArray &frame) { return frame.chopped(2); };
    reply(dir, "annual-crc-added", 0x12, addCrc,
          noCrc(replyFrame(0x12, bytes({11, 0x99}) + count5(1) + count5(2) + count5(3) + bytes({0xFF, 0xFF, 0xFF}))));
    reply(dir, "consumption-crc-added", 0x13, addCrc,
          noCrc(replyFrame(0x13, bytes({0, 0, 0x59, 0x23, 0x31, 0x12}) + count5(1) + count5(2) + count5(3) + bytes({7}))));
    reply(dir, "zones-crc-added", 0x08, addCrc,
          noCrc(replyFrame(0x08, bytes({1, 0x00, 0x00, 2, 0x24, 0x00, 3, 0x08, 0x60, 2, 0x11, 0x30, 3, 0x17, 0x30,
                                        2, 0x20, 0x30}))));
    reply(dir, "transfer-crc-added", 0x28, addCrc, noCrc(replyFrame(0x28, bytes({15, 0x29, 0x02, 0x00, 8}))));
    reply(dir, "readings-crc-added", 0x0F, addCrc,
          noCrc(replyFrame(0x0F, count5(quint64(1) << 39) + count5(0xFFFFFFFFFFULL) + count5(0) + count5(1)
                                     + count5(2) + count5(3))));
}

void table(const QDir &dir, const char *name, const QVector<DbfField> &fields, const QList<QVariantList> &rows)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile::remove(path);
    DbfTable t = DbfTable::create(path, fields);
    for (const QVariantList &row : rows)
        t.append(row);
}

void registerSeeds(const QDir &dir)
{
    const QString empty = dir.filePath(QStringLiteral("register-empty.dbf"));
    QFile::remove(empty);
    DbfTable::create(empty, registerFields());

    const QString written = dir.filePath(QStringLiteral("register-written.dbf"));
    QFile::remove(written);
    {
        DbfTable t = DbfTable::create(written, registerFields());
        SettingsRecord r;
        r.number = 1001;
        r.version = QStringLiteral("1.12");
        r.address = 0;
        r.turnOn = 121;
        r.status = 0x4F;
        r.clockDate = QDate(2024, 2, 29);
        r.clockTime = QTime(13, 5);
        r.summer = false;
        r.password = 1;
        r.readings = {1.0, 2.5, 0.00025, 999999999.99999, 0, 3};
        r.ddm = {1193046.0, 2.0, 3.0};
        r.countDay = 25;
        r.countHour = 0;
        r.nCorrect = 2;
        r.indicator = 9;
        recordWrite(t, r, QDateTime(QDate(2025, 3, 1), QTime(9, 30)));
        SettingsRecord bare;
        bare.number = 1002;
        bare.version = QStringLiteral("1.9");
        recordWrite(t, bare, QDateTime(QDate(2025, 3, 2), QTime(10, 0)));
    }

    // Zones and times as the other tools fill them.
    const QString zones = dir.filePath(QStringLiteral("register-zones.dbf"));
    QFile::remove(zones);
    {
        DbfTable t = DbfTable::create(zones, registerFields());
        QVariantList values(t.fields().size());
        auto set = [&](const char *column, const QVariant &v) { values[t.column(QString::fromLatin1(column))] = v; };
        set("C_NUMBER", 77.0);
        set("DATE_REC", QDate(2025, 1, 31));
        set("TIME_REC", QStringLiteral("23:59"));
        set("INDICATOR", 2.5);
        set("ZONE_0", 1.0);
        set("ZONE_1", QStringLiteral("2"));
        set("ZONE_2", QStringLiteral("3"));
        set("TIME_0", QStringLiteral("00:00:00"));
        set("TIME_1", QStringLiteral("6:30"));
        set("TIME_2", QStringLiteral("08:30:00"));
        set("SUMMER", true);
        t.append(values);
    }

    // A register as another program lays it out: wider numbers, decimals, a zone as N, the
    // type F.
    const QString foreign = dir.filePath(QStringLiteral("register-foreign.dbf"));
    QFile::remove(foreign);
    {
        QVector<DbfField> fields = registerFields();
        for (DbfField &f : fields) {
            if (f.name == QLatin1String("C_NUMBER"))
                f = {f.name, DbfType::Numeric, 20, 0};
            if (f.name == QLatin1String("INDICATOR"))
                f = {f.name, DbfType::Numeric, 6, 1};
            if (f.name == QLatin1String("ZONE_2"))
                f = {f.name, DbfType::Numeric, 3, 0};
        }
        DbfTable t = DbfTable::create(foreign, fields);
        QVariantList values(t.fields().size());
        auto set = [&](const char *column, const QVariant &v) { values[t.column(QString::fromLatin1(column))] = v; };
        set("C_NUMBER", double(MaxSerialNumber));
        set("DATE_REC", QDate(2025, 12, 31));
        set("INDICATOR", 1.5);
        set("ZONE_2", 3.0);
        set("TIME_2", QStringLiteral("8:30"));
        t.append(values);
    }
    {
        // The type byte of C_NUMBER as F, which reads as N.
        QFile f(foreign);
        if (!f.open(QIODevice::ReadWrite) || !f.seek(32 + 11) || f.write("F", 1) != 1) {
            fprintf(stderr, "cannot patch %s\n", qPrintable(foreign));
            exit(1);
        }
    }

    // Every field type, NULLs among the values, Cyrillic text.
    table(dir, "types.dbf",
          {{QStringLiteral("NAME"), DbfType::Character, 12, 0},
           {QStringLiteral("AMOUNT"), DbfType::Numeric, 10, 3},
           {QStringLiteral("COUNT"), DbfType::Numeric, 5, 0},
           {QStringLiteral("DAY"), DbfType::Date, 8, 0},
           {QStringLiteral("FLAG"), DbfType::Logical, 1, 0}},
          {{QStringLiteral("Счетчик"), -12.5, 3, QDate(1999, 12, 31), true},
           {QVariant(), QVariant(), QVariant(), QVariant(), QVariant()},
           {QStringLiteral("abc"), 123456.789, -9999, QDate(2100, 2, 28), false}});
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_corpus DIR\n");
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    for (const char *sub : {"fuzz_reply", "fuzz_dbf"}) {
        if (!root.mkpath(QString::fromLatin1(sub))) {
            fprintf(stderr, "cannot create %s/%s\n", argv[1], sub);
            return 1;
        }
    }
    replies(QDir(root.filePath(QStringLiteral("fuzz_reply"))));
    registerSeeds(QDir(root.filePath(QStringLiteral("fuzz_dbf"))));
    return 0;
}
