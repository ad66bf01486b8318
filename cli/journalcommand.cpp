#include "cli/journalcommand.h"

#include "cli/report.h"
#include "cli/session.h"
#include "ops/journaloperation.h"
#include "schedule/journalexport.h"

#include <QDate>
#include <QJsonArray>
#include <cstdio>
#include <unistd.h>

namespace zk::cli {

namespace {

QJsonArray jsonRow(const QStringList &cells)
{
    QJsonArray row;
    for (const QString &cell : cells)
        row.append(cell);
    return row;
}

// Titles first, then the rows; cells separated by tabs, one row a line.
QString tableText(const TextTable &table)
{
    QString text;
    for (const QStringList &row : table)
        text += row.join(QLatin1Char('\t')) + QLatin1Char('\n');
    return text;
}

QJsonObject tableJson(const TextTable &table)
{
    QJsonObject o;
    o[QStringLiteral("titles")] = jsonRow(table.value(0));
    QJsonArray rows;
    for (int r = 1; r < table.size(); ++r)
        rows.append(jsonRow(table.at(r)));
    o[QStringLiteral("rows")] = rows;
    return o;
}

bool queued(const QList<QByteArray> &queue, quint8 function)
{
    for (const QByteArray &frame : queue)
        if (!frame.isEmpty() && quint8(frame.at(0)) == function)
            return true;
    return false;
}

} // namespace

int commandJournal(const Options &o)
{
    // journal annual|consumption [--xls FILE]
    const QString xls = o.value(QStringLiteral("xls"));
    if (o.has(QStringLiteral("xls")) && xls.isEmpty())
        return usageError(QStringLiteral("Параметру --xls не хватает имени файла"));
    const QString kind = o.args.size() == 1 ? o.args.first() : QString();
    if (kind != QLatin1String("annual") && kind != QLatin1String("consumption"))
        return usageError(QStringLiteral("Команде journal нужен вид журнала: annual или consumption"));
    // A workbook that could not be written is found before the meter is read.
    if (!xls.isEmpty())
        if (const QString problem = exportTargetProblem(xls); !problem.isEmpty()) {
            printErr(exportFailureText() + QStringLiteral(" (") + problem + QLatin1Char(')'));
            return ExitStorage;
        }
    JournalRead journal(kind == QLatin1String("annual"));
    const bool progress = isatty(STDERR_FILENO) == 1;

    Session session(o);
    if (const int e = session.connectMeter())
        return e;
    if (const int e = session.pollCycle())
        return e;

    ExchangeEngine &engine = session.engine();
    engine.setHandler(journal.function(), 1, [&](const QByteArray &frame) {
        if (const QString line = journal.take(frame); !line.isEmpty())
            engine.log(line);
        if (progress)
            std::fputs(QStringLiteral("\r%1: %2 из %3").arg(journal.name()).arg(journal.answered()).arg(journal.total())
                           .toLocal8Bit().constData(), stderr);
        session.progress();
    });
    engine.enqueue(journal.requests());
    // Done when its own replies are in, or when none of its requests is left (the rest
    // dropped after a failed exchange).
    int exit = session.runUntil([&] { return journal.complete() || !queued(engine.queue(), journal.function()); });
    if (progress)
        std::fputs("\n", stderr);
    if (exit == ExitDone && !journal.complete()) {
        printErr(journal.incompleteText());
        exit = ExitNoAnswer;
    }

    // The rows read, as the window shows and exports them after a read that broke off.
    const TextTable table = journal.table();
    printOut(o.json ? jsonLine(tableJson(table)) : tableText(table));
    if (!xls.isEmpty()) {
        // The workbook the window's "Экспорт" writes: the same title, cells and number test.
        try {
            writeExport(ExportTable{table}, journalTitle(journal.annual(), session.info().serial.value_or(0)), xls,
                        QLocale());
        } catch (const ExportError &e) {
            printErr(exportFailureText() + QStringLiteral(" (") + e.text() + QLatin1Char(')'));
            return exit == ExitDone ? int(ExitStorage) : exit;
        }
    }
    return exit;
}

} // namespace zk::cli
