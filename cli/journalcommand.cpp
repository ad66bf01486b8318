#include "cli/journalcommand.h"

#include "cli/report.h"
#include "cli/session.h"
#include "schedule/journalexport.h"
#include "schedule/journal.h"

#include <QDate>
#include <QJsonArray>
#include <cstdio>
#include <unistd.h>

namespace zk::cli {

namespace {

void out(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

void err(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

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
    QString xls;
    QStringList words;
    for (int i = 0; i < o.args.size(); ++i) {
        const QString &a = o.args.at(i);
        if (a == QLatin1String("--xls")) {
            if (i + 1 >= o.args.size() || o.args.at(i + 1).isEmpty())
                return usageError(QStringLiteral("Параметру --xls не хватает имени файла"));
            xls = o.args.at(++i);
        } else if (a.startsWith(QLatin1String("--xls="))) {
            xls = a.mid(6);
            if (xls.isEmpty())
                return usageError(QStringLiteral("Параметру --xls не хватает имени файла"));
        } else {
            words << a;
        }
    }
    const QString kind = words.size() == 1 ? words.first() : QString();
    const bool annual = kind == QLatin1String("annual");
    if (!annual && kind != QLatin1String("consumption")) {
        err(QStringLiteral("Команде journal нужен вид журнала: annual или consumption\n\n") + usageText());
        return ExitUsage;
    }

    const quint8 function = annual ? req::ReadAnnual.function : req::ReadConsumption.function;
    const int total = annual ? journal::Months : journal::Pages;
    const QString name = annual ? QStringLiteral("Годовой журнал") : QStringLiteral("Журнал потребления");
    const bool progress = isatty(STDERR_FILENO) == 1;
    // Before the session: its engine's handlers refer to these.
    QList<AnnualReply> annualReplies;
    QList<ConsumptionReply> consumptionReplies;
    int answered = 0;

    Session session(o);
    if (const int e = session.connectMeter())
        return e;
    if (const int e = session.pollCycle())
        return e;

    ExchangeEngine &engine = session.engine();
    auto step = [&] {
        ++answered;
        if (progress)
            err(QStringLiteral("\r%1: %2 из %3").arg(name).arg(answered).arg(total));
    };
    engine.setHandler(req::ReadAnnual.function, 1, [&](const QByteArray &frame) {
        if (const auto reply = decodeAnnual(frame)) {
            annualReplies.append(*reply);
            if (isBadMonthEntry(*reply))
                engine.log(BadJournalMonthText);
        }
        step();
    });
    engine.setHandler(req::ReadConsumption.function, 1, [&](const QByteArray &frame) {
        if (const auto reply = decodeConsumption(frame))
            consumptionReplies.append(*reply);
        step();
    });

    engine.enqueue(annual ? annualRequests() : consumptionRequests());
    // Done when none of the journal's requests is left: all answered, or the rest
    // dropped after a failed exchange.
    const int exit = session.runUntil([&] { return !queued(engine.queue(), function); });
    if (progress)
        err(QStringLiteral("\n"));

    // The rows read so far, as the window keeps them after a failed read.
    const TextTable table = annual ? annualTable(annualReplies)
                                   : consumptionTable(consumptionReplies, QDate::currentDate().year());
    out(o.json ? jsonLine(tableJson(table)) : tableText(table));
    if (exit != ExitDone)
        return exit;
    if (answered < total) {
        err(QStringLiteral("%1 прочитан не полностью: %2 из %3\n").arg(name).arg(answered).arg(total));
        return ExitNoAnswer;
    }
    if (!xls.isEmpty()) {
        // The workbook the window's "Экспорт" writes: the same title, cells and number test.
        try {
            writeExport(ExportTable{table}, journalTitle(annual, session.info().serial.value_or(0)), xls, QLocale());
        } catch (const ExportError &e) {
            err(exportFailureText() + QStringLiteral(" (") + QString::fromUtf8(e.what()) + QStringLiteral(")\n"));
            return ExitStorage;
        }
    }
    return ExitDone;
}

} // namespace zk::cli
