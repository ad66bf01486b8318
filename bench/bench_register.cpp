// The local register at 1,000,000 records: the start-up load, the next free number, the browse
// rows of one day and one append, each beside one plain sequential read of the same file.
// Every operation runs in a child process of its own, so that its peak memory (getrusage) is
// its own; times are the best and the median of several runs, with the file in the page cache.
//
//   bench_register [records] [folder]      defaults: 1000000, the system's temporary folder

#include "records/register.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace zk;

namespace {

constexpr int Runs = 5;
const QDate FirstDay(2024, 1, 1);
constexpr int PerDay = 1000;

// The register file written straight: the header of a real register, then records made from a
// few real ones with the serial number and the date of record changed.
void buildRegister(const QString &path, qint64 records)
{
    QByteArray header;
    std::vector<QByteArray> samples;
    int numberAt = 0;
    int dateAt = 0;
    {
        const QString dir = QFileInfo(path).absolutePath() + QStringLiteral("/samples");
        QDir().mkpath(dir);
        DbfTable t = openOrCreateRegister(dir);
        for (int i = 0; i < 16; ++i) {
            SettingsRecord r;
            r.number = 1;
            r.version = QStringLiteral("2.4%1").arg(i % 10);
            r.turnOn = 1000 + i;
            r.status = i;
            r.readings = readingsFromTexts({"1234,5", "234,25", "34,125", "1200", "230", "30"}, QLocale::c());
            if (i % 2)
                r.address = i;
            if (i % 3)
                r.indicator = i % 16;
            recordWrite(t, r, QDateTime(FirstDay, QTime(8, i)));
        }
        const QByteArray file = [&] {
            QFile f(t.path());
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        }();
        header = file.left(t.headerLength());
        for (int i = 0; i < 16; ++i)
            samples.push_back(file.mid(t.headerLength() + i * t.recordLength(), t.recordLength()));
        int offset = 1;
        for (const DbfField &f : t.fields()) {
            if (f.name == QLatin1String("C_NUMBER"))
                numberAt = offset;
            if (f.name == QLatin1String("DATE_REC"))
                dateAt = offset;
            offset += f.length;
        }
        QFile::remove(t.path());
        QDir().rmdir(dir);
    }
    qToLittleEndian<quint32>(quint32(records), header.data() + 4);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    out.write(header);
    QByteArray chunk;
    for (qint64 i = 0; i < records; ++i) {
        QByteArray r = samples[size_t(i % qint64(samples.size()))];
        const QByteArray number = QByteArray::number(i % 900000 + 1).rightJustified(10);
        r.replace(numberAt, 10, number);
        r.replace(dateAt, 8, FirstDay.addDays(i / PerDay).toString(QStringLiteral("yyyyMMdd")).toLatin1());
        chunk += r;
        if (chunk.size() > (8 << 20)) {
            out.write(chunk);
            chunk.clear();
        }
    }
    chunk += '\x1A';
    out.write(chunk);
}

struct Result
{
    std::vector<double> ms;
    long peakKb = 0;
};

// Runs `op` Runs times in a child process; the child reports each time through a pipe.
Result measure(const std::function<void()> &op)
{
    int fds[2];
    if (::pipe(fds) != 0)
        qFatal("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        for (int i = 0; i < Runs; ++i) {
            QElapsedTimer timer;
            timer.start();
            op();
            const double ms = double(timer.nsecsElapsed()) / 1e6;
            if (::write(fds[1], &ms, sizeof ms) != sizeof ms)
                ::_exit(2);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    Result r;
    double ms;
    while (::read(fds[0], &ms, sizeof ms) == sizeof ms)
        r.ms.push_back(ms);
    ::close(fds[0]);
    int status = 0;
    struct rusage usage;
    ::wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || int(r.ms.size()) != Runs)
        qFatal("a measured operation failed");
    r.peakKb = usage.ru_maxrss;
    std::sort(r.ms.begin(), r.ms.end());
    return r;
}

void readSequentially(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    std::vector<char> buffer(1 << 20);
    qint64 total = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
        total += n;
    ::close(fd);
    if (total == 0)
        qFatal("nothing read");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 records = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1000000;
    QTemporaryDir dir(argc > 2 ? QString::fromLocal8Bit(argv[2]) + QStringLiteral("/bench-register-XXXXXX")
                               : QDir::tempPath() + QStringLiteral("/bench-register-XXXXXX"));
    const QString path = dir.filePath(QString::fromLatin1(RegisterFileName));

    QElapsedTimer build;
    build.start();
    buildRegister(path, records);
    const qint64 size = QFileInfo(path).size();
    std::printf("register: %lld records, %.1f MB, built in %.1f s\n", records, double(size) / 1e6,
                double(build.elapsed()) / 1e3);
    readSequentially(path); // into the page cache

    const QDate lastDay = FirstDay.addDays((records - 1) / PerDay);
    const QDate someDay = FirstDay.addDays((records - 1) / PerDay / 2);
    QTemporaryDir small;
    {
        DbfTable t = openOrCreateRegister(small.path());
        for (int i = 0; i < 1000; ++i)
            recordWrite(t, SettingsRecord{}, QDateTime(FirstDay, QTime(9, 0)));
    }

    struct Case
    {
        std::string name;
        std::function<void()> op;
    };
    const std::string appendBig = "append one record (" + std::to_string(records) + ")";
    const std::vector<Case> cases = {
        {"open only (baseline)", [&] { DbfTable::open(path); }},
        {"sequential read of the file", [&] { readSequentially(path); }},
        {"latest settings (start-up)",
         [&] {
             const auto s = latestSettings(DbfTable::open(path));
             if (!s)
                 qFatal("no settings");
         }},
        {"next free number",
         [&] {
             if (nextFreeNumber(DbfTable::open(path)) != std::min<qint64>(records, 900000) + 1)
                 qFatal("wrong next number");
         }},
        {"browse rows of one day",
         [&] {
             if (browseRows(DbfTable::open(path), someDay, someDay, 0).size() != PerDay)
                 qFatal("wrong browse rows");
         }},
        {appendBig,
         [&] {
             DbfTable t = DbfTable::open(path);
             recordWrite(t, SettingsRecord{}, QDateTime(lastDay, QTime(12, 0)));
         }},
        {"append one record (1000)",
         [&] {
             DbfTable t = openOrCreateRegister(small.path());
             recordWrite(t, SettingsRecord{}, QDateTime(FirstDay, QTime(12, 0)));
         }},
    };

    std::printf("%-32s %10s %10s %12s\n", "operation", "best ms", "median ms", "peak RSS KB");
    double sequential = 0;
    for (const Case &c : cases) {
        const Result r = measure(c.op);
        const bool isScan = c.name.rfind("sequential", 0) != 0 && c.name.rfind("append", 0) != 0
            && c.name.rfind("open", 0) != 0;
        if (c.name.rfind("sequential", 0) == 0)
            sequential = r.ms.front();
        std::printf("%-32s %10.2f %10.2f %12ld", c.name.c_str(), r.ms.front(), r.ms[r.ms.size() / 2], r.peakKb);
        if (isScan)
            std::printf("   %.2f x sequential", r.ms.front() / sequential);
        std::printf("\n");
    }
    return 0;
}
