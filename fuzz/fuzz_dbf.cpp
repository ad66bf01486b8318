// libFuzzer target: arbitrary bytes as a dBASE table, the local register's Setting.DBF.
//
// The bytes are written to a file and opened the way the program opens its register; then
// every read runs: the layout, the count, a scan of every value of every field, single
// records (and indexes out of range), the settings restored at start-up, the next free
// number, the browse rows and the browse view's cells. When the table opens, one record is
// appended and the count must grow by exactly one.

#include "fuzz/check.h"
#include "records/dbftable.h"
#include "records/register.h"
#include "records/registermodel.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

using namespace zk;

namespace {

QTemporaryDir *Folder = nullptr;
QString *TablePath = nullptr;
QByteArray *NativePath = nullptr;

void writeFile(const uint8_t *data, size_t size)
{
    const int fd = ::open(NativePath->constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0)
            abort();
        done += size_t(n);
    }
    ::close(fd);
}

// Every value of every record, as the scan hands them out.
void scanAll(const DbfTable &table)
{
    const int fields = int(table.fields().size());
    qint64 seen = 0;
    table.scan([&](const DbfRow &row) {
        FUZZ_CHECK(row.index() == seen);
        ++seen;
        (void)row.isDeleted();
        for (int f = 0; f < fields; ++f) {
            const QByteArrayView raw = row.raw(f);
            FUZZ_CHECK(raw.size() == table.fields().at(f).length);
            const QVariant v = row.value(f);
            (void)row.number(f);
            const int key = row.dateKey(f);
            FUZZ_CHECK(key == 0 || (key >= 10101 && key <= 99991231));
            (void)v;
        }
        return true;
    });
    FUZZ_CHECK(seen == table.recordCount());
}

void readRecords(const DbfTable &table)
{
    const qint64 count = table.recordCount();
    FUZZ_CHECK(count >= 0);
    for (qint64 index : {qint64(-1), qint64(0), count / 2, count - 1, count, count + 1}) {
        try {
            const QVariantList values = table.record(index);
            FUZZ_CHECK(index >= 0 && index < count);
            FUZZ_CHECK(values.size() == table.fields().size());
        } catch (const DbfError &) {
            FUZZ_CHECK(index < 0 || index >= count);
        }
    }
}

void registerReads(const DbfTable &table)
{
    try {
        (void)latestSettings(table);
    } catch (const DbfError &) {
        // a column of the register is missing
    }
    try {
        (void)nextFreeNumber(table);
    } catch (const DbfError &) {
    }
    try {
        (void)browseRows(table, QDate(1, 1, 1), QDate(9999, 12, 31), 0);
        (void)browseRows(table, QDate(2000, 1, 1), QDate(2099, 12, 31), 1);
        (void)browseRows(table, QDate(2020, 1, 1), QDate(2019, 1, 1), 0);
    } catch (const DbfError &) {
    }
}

void browseView()
{
    RegisterModel model;
    try {
        model.open(*TablePath, QDate(1, 1, 1), QDate(9999, 12, 31), 0);
    } catch (const DbfError &) {
        return;
    }
    const int rows = qMin(model.rowCount(), 64);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < model.columnCount(); ++c)
            (void)model.cellText(r, c);
    (void)model.cellText(model.rowCount(), 0);
    model.close();
}

void appendOne(DbfTable &table)
{
    const qint64 before = table.recordCount();
    SettingsRecord record;
    record.number = 1234;
    record.version = QStringLiteral("1.12");
    record.address = 5;
    record.clockDate = QDate(2024, 2, 29);
    record.clockTime = QTime(13, 5);
    record.summer = true;
    record.readings[0] = 1.25;
    record.indicator = 9;
    try {
        recordWrite(table, record, QDateTime(QDate(2025, 1, 2), QTime(3, 4)));
    } catch (const DbfError &) {
        return; // columns missing, or values that do not fit this table's fields
    }
    FUZZ_CHECK(table.recordCount() == before + 1);
    scanAll(table);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    // In memory where there is a tmpfs: an append flushes to disk three times.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/zk-fuzz-dbf-XXXXXX")
                                                                    : QDir::tempPath() + QStringLiteral("/zk-fuzz-dbf-XXXXXX");
    Folder = new QTemporaryDir(base);
    if (!Folder->isValid())
        abort();
    TablePath = new QString(Folder->filePath(QString::fromLatin1(RegisterFileName)));
    NativePath = new QByteArray(QFile::encodeName(*TablePath));
    // The folder goes with the process.
    atexit([] { delete Folder; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    writeFile(data, size);
    try {
        DbfTable table = openOrCreateRegister(Folder->path());
        FUZZ_CHECK(!table.fields().isEmpty());
        for (const DbfField &f : table.fields()) {
            FUZZ_CHECK(table.fieldIndex(f.name) >= 0);
            (void)table.column(f.name);
        }
        (void)table.fieldIndex(u"c_number");
        scanAll(table);
        readRecords(table);
        registerReads(table);
        browseView();
        appendOne(table);
    } catch (const DbfError &e) {
        FUZZ_CHECK(!e.text().isEmpty());
    }
    return 0;
}
