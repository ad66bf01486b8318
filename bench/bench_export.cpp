// Cost of a journal export: a consumption journal of 10,000 rows in 7 columns
// written as an .xls file, beside the copy of a file of the same size, and the
// process's peak memory (getrusage ru_maxrss) after the export.

#include "schedule/journalexport.h"
#include "workbook/workbook.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <sys/resource.h>
#include <unistd.h>

using namespace zk;

namespace {

constexpr int Rows = 10000;

QLocale russian()
{
    return QLocale(QLocale::Russian, QLocale::Russia);
}

// An energy as the journal shows it: five decimals, the decimal comma, no
// group separators.
QString energyText(double kWh)
{
    return QString::number(kWh, 'f', 5).replace(QLatin1Char('.'), QLatin1Char(','));
}

// What the consumption journal's list shows: page and record numbers, a time
// stamp, three energies and a status number.
ExportTable consumptionJournal(int rows)
{
    ExportTable table;
    table.rows.reserve(rows + 1);
    table.rows << QStringList{"Страница", "Запись", "Время", "1 тариф", "2 тариф", "3 тариф", "Статус"};
    for (int i = 0; i < rows; ++i) {
        const double energy = 1000.0 + i * 0.37;
        table.rows << QStringList{QString::number(i / 164),
                                  QString::number(i % 164),
                                  QStringLiteral("%1.%2 %3:%4")
                                          .arg(i % 28 + 1, 2, 10, QLatin1Char('0'))
                                          .arg(i % 12 + 1, 2, 10, QLatin1Char('0'))
                                          .arg(i % 24, 2, 10, QLatin1Char('0'))
                                          .arg(i % 60, 2, 10, QLatin1Char('0')),
                                  energyText(energy),
                                  energyText(energy / 2),
                                  energyText(energy / 3),
                                  QString::number(i % 4)};
    }
    return table;
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0; // KiB on Linux
}

// Resident memory now, for the baseline under the peak.
double residentMiB()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// The whole export: cells into the workbook, the file written beside the chosen
// one and renamed over it. Runs first, so the peak memory is the export's.
void BM_Export(benchmark::State &state)
{
    const ExportTable table = consumptionJournal(int(state.range(0)));
    const double tableMiB = residentMiB();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("journal.xls"));
    const QString title = journalTitle(false, 12345);
    for (auto _ : state)
        writeExport(table, title, path, russian());
    state.counters["file_KiB"] = QFileInfo(path).size() / 1024.0;
    state.counters["peak_rss_MiB"] = peakRssMiB();
    state.counters["rss_with_table_MiB"] = tableMiB;
}
BENCHMARK(BM_Export)->Arg(Rows)->Unit(benchmark::kMillisecond);

// The same cells into a workbook and its bytes, without the file.
void BM_WorkbookBytes(benchmark::State &state)
{
    const ExportTable table = consumptionJournal(int(state.range(0)));
    const QLocale locale = russian();
    for (auto _ : state) {
        Workbook book;
        for (int r = 0; r < table.rows.size(); ++r) {
            for (int k = 0; k < table.rows[r].size(); ++k) {
                const QString &text = table.rows[r][k];
                if (const auto number = cellNumber(text, locale))
                    book.setNumber(r + 2, k + 1, *number);
                else
                    book.setText(r + 2, k + 1, text);
            }
        }
        benchmark::DoNotOptimize(book.toBytes());
    }
}
BENCHMARK(BM_WorkbookBytes)->Arg(Rows)->Unit(benchmark::kMillisecond);

// Copying a file of the size the export writes, in the same folder kind.
void BM_CopySameSize(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("journal.xls"));
    writeExport(consumptionJournal(int(state.range(0))), journalTitle(false, 1), source, russian());
    const std::filesystem::path from = source.toStdString();
    const std::filesystem::path to = dir.filePath(QStringLiteral("copy.xls")).toStdString();
    for (auto _ : state)
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    state.counters["file_KiB"] = QFileInfo(source).size() / 1024.0;
}
BENCHMARK(BM_CopySameSize)->Arg(Rows)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
