#include "cli/commands.h"

#include "cli/journalcommand.h"
#include "cli/production.h"
#include "cli/report.h"
#include "cli/schedulecommand.h"
#include "cli/session.h"
#include "cli/writecommand.h"
#include "core/version.h"
#include "ops/linescan.h"
#include "ops/preferences.h"
#include "ops/workfolder.h"

#include <QJsonArray>
#include <cstdio>
#include <unistd.h>


namespace zk::cli {

namespace {

int noArguments(const Options &o)
{
    if (!o.args.isEmpty())
        return usageError(QStringLiteral("Лишние аргументы команды %1: %2").arg(o.command, o.args.join(QLatin1Char(' '))));
    return ExitDone;
}

int commandInfo(const Options &o)
{
    if (const int e = noArguments(o))
        return e;
    Session session(o);
    if (const int e = session.connectMeter())
        return e;
    // In SQL mode the bench is identified first, and the drift per day is shown.
    int exit = ExitDone;
    std::optional<Bench> bench = openBench(&exit);
    if (!bench)
        return exit;
    if (const int e = session.pollCycle())
        return e;
    if (!bench->production) {
        printOut(o.json ? jsonLine(infoJson(session.info())) : infoText(session.info()));
        return ExitDone;
    }
    const QString drift = productionDrift(*bench, session.info(), session.clockArrival());
    if (o.json) {
        QJsonObject obj = infoJson(session.info());
        obj[QStringLiteral("drift")] = drift.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(driftValue(drift).value_or(0));
        printOut(jsonLine(obj));
    } else {
        printOut(infoText(session.info()) + QStringLiteral("Уход за сутки (сек.) : ") + (drift.isEmpty() ? QStringLiteral("—") : drift) + QLatin1Char('\n'));
    }
    return ExitDone;
}

int commandFindAddress(const Options &o)
{
    if (const int e = noArguments(o))
        return e;
    Options from0 = o;
    from0.address = 0;
    Session session(from0);
    if (const int e = session.connectMeter())
        return e;
    int found = -1;
    if (const int e = session.findAddress(&found))
        return e;
    if (o.json) {
        QJsonObject obj;
        obj[QStringLiteral("address")] = found;
        printOut(jsonLine(obj));
    } else {
        printOut(QString::number(found) + QLatin1Char('\n'));
    }
    return ExitDone;
}

// Every address of the line in one pass; progress on stderr when it is a terminal.
int commandScan(const Options &o)
{
    if (const int e = noArguments(o))
        return e;
    LineScan scan;
    QString name;
    if (const int e = preparePort(scan.channel(), o, &name))
        return e;
    scan.setReplyTimeout(o.timeout);
    const bool progress = isatty(STDERR_FILENO) == 1;
    QObject::connect(&scan, &LineScan::addressStarted, [progress](int address) {
        if (progress)
            std::fputs(QStringLiteral("\rАдрес %1 из 255").arg(address).toLocal8Bit().constData(), stderr);
    });
    QObject::connect(&scan, &LineScan::meterFound, [progress, &o](const ScannedMeter &meter) {
        if (progress)
            std::fputs("\n", stderr);
        if (!o.json)
            printOut(meter.text() + QLatin1Char('\n'));
    });
    try {
        scan.open();
    } catch (const SerialChannelError &e) {
        printErr(withPortOpenAdvice(QStringLiteral("Ошибка открытия порта %1: %2").arg(name, e.text()), e));
        return ExitNoAnswer;
    }
    scan.run();
    if (progress)
        std::fputs("\n", stderr);
    if (o.json) {
        QJsonArray meters;
        for (const ScannedMeter &m : scan.meters())
            meters.append(m.toJson());
        printOut(jsonLine(QJsonObject{{QStringLiteral("meters"), meters}}));
    }
    if (!scan.failure().isEmpty()) {
        printErr(QStringLiteral("Обзор линии %1 прерван: %2").arg(name, scan.failure()));
        return ExitNoAnswer;
    }
    if (scan.meters().isEmpty()) {
        printErr(QStringLiteral("На линии %1 не отвечает ни один адрес 0..255").arg(name));
        return ExitNoAnswer;
    }
    return ExitDone;
}

int commandStatus(const Options &o)
{
    if (o.args.size() != 1)
        return usageError(QStringLiteral("Команде status нужно одно значение статуса 0..255"));
    const QString text = o.args.first();
    bool ok = false;
    const int value = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toInt(&ok, 16)
                                                                                 : text.toInt(&ok, 10);
    if (!ok || value < 0 || value > 255)
        return usageError(QStringLiteral("Значение статуса должно быть числом 0..255: %1").arg(text));
    printOut(o.json ? jsonLine(statusJson(quint8(value))) : statusText(quint8(value)));
    return ExitDone;
}

int commandDoctor(const Options &o)
{
    if (const int e = noArguments(o))
        return e;
    const std::optional<PortChoice> port = choosePort(o);
    if (!port)
        return ExitUsage;
    const LineReport report = checkLine(port->name, port->device, o.baud, o.address, o.timeout);
    const QStringList problems = lineProblems(report);
    printOut(o.json ? jsonLine(lineReportJson(report, problems)) : lineReportText(report, problems));
    return problems.isEmpty() ? ExitDone : ExitNoAnswer;
}

} // namespace

int runCommand(const Options &o)
{
    if (o.help) {
        printOut(usageText());
        return ExitDone;
    }
    if (o.version) {
        printOut(QStringLiteral("zelta-kn-cli " ZK_VERSION "\n"));
        return ExitDone;
    }
    QString folderError;
    if (o.menu && !enterMenuWorkFolder(&folderError)) {
        printErr(folderError);
        return ExitStorage;
    }
    // A database password in a preferences file others can read: one line on stderr, as
    // the window shows it at start.
    if (const QString warning = preferencesExposureWarning(); !warning.isEmpty())
        printErr(warning);
    if (o.command == QLatin1String("info"))
        return commandInfo(o);
    if (o.command == QLatin1String("find-address"))
        return commandFindAddress(o);
    if (o.command == QLatin1String("scan"))
        return commandScan(o);
    if (o.command == QLatin1String("status"))
        return commandStatus(o);
    if (o.command == QLatin1String("doctor"))
        return commandDoctor(o);
    if (o.command == QLatin1String("write"))
        return commandWrite(o);
    if (o.command == QLatin1String("reset-billing"))
        return commandResetBilling(o);
    if (o.command == QLatin1String("spoilage"))
        return commandSpoilage(o);
    if (o.command == QLatin1String("fix"))
        return commandFix(o);
    if (o.command == QLatin1String("journal"))
        return commandJournal(o);
    if (o.command == QLatin1String("schedule"))
        return commandSchedule(o);
    return usageError(QStringLiteral("Неизвестная команда: %1").arg(o.command));
}

} // namespace zk::cli
