#include "cli/production.h"

#include "cli/report.h"
#include "cli/session.h"
#include "ops/rules.h"

namespace zk::cli {

int exitOf(const Outcome &outcome)
{
    switch (outcome.status) {
    case Outcome::Done: return ExitDone;
    case Outcome::Invalid: return ExitUsage;
    case Outcome::Refused: return ExitRefused;
    case Outcome::Storage: break;
    }
    return ExitStorage;
}

void sayOutcome(const Outcome &outcome, const QString &prefix)
{
    printErr(prefix + outcome.message);
}

std::optional<Bench> openBench(int *exit, QString *problem)
{
    Bench b;
    b.modes = modesHere();
    *exit = ExitDone;
    if (!b.modes.sqlMode)
        return b;
    b.production = std::make_unique<ProductionSession>();
    b.records = WriteRecords(b.production.get());
    QString text;
    try {
        const Identification id = b.production->identify();
        if (id.ok())
            return b;
        text = id.problem;
    } catch (const DatabaseError &e) {
        text = e.text();
    }
    printErr(text);
    if (problem)
        *problem = text;
    *exit = ExitStorage;
    return std::nullopt;
}

QString productionDrift(Bench &b, const MeterInfo &info, const QDateTime &clockArrival)
{
    if (!b.production || !info.serial || !info.clock)
        return QString();
    try {
        return b.production->driftText(*info.serial, *info.clock, clockArrival);
    } catch (const DatabaseError &e) {
        printErr(e.text());
        return QString();
    }
}

int commandSpoilage(const Options &o)
{
    FrameVerdict verdict;
    if (o.args.size() != 2)
        return verdictUsageError(o.json, QStringLiteral("Команде spoilage нужны номер счетчика и код брака"));
    const auto serial = intArgument(o.args.at(0), 0, MaxSerialNumber);
    if (!serial)
        return verdictUsageError(o.json, QStringLiteral("Номер счетчика должен быть от 0 до %1: %2").arg(MaxSerialNumber).arg(o.args.at(0)));
    const QString code = o.args.at(1).trimmed();
    if (const QString problem = defectCodeProblem(code); !problem.isEmpty())
        return verdictUsageError(o.json, problem);
    if (!modesHere().sqlMode)
        return finish(o, verdict, ExitUsage,
                      QStringLiteral("Регистрация брака выполняется только в производственном режиме."));
    int exit = ExitDone;
    auto b = openBench(&exit);
    if (!b)
        return finish(o, verdict, exit, QStringLiteral("Рабочее место не опознано в БД."));
    const Outcome outcome = b->production->registerDefect(*serial, code);
    if (!outcome.ok())
        return finish(o, verdict, exitOf(outcome), outcome.message);
    verdict.ok = true;
    return finish(o, verdict, ExitDone, QStringLiteral("Брак зарегистрирован."));
}

int commandFix(const Options &o)
{
    FrameVerdict verdict;
    if (!o.args.isEmpty())
        return verdictUsageError(o.json, QStringLiteral("Лишние аргументы команды fix: %1").arg(o.args.join(QLatin1Char(' '))));
    if (!modesHere().sqlMode)
        return finish(o, verdict, ExitUsage, QStringLiteral("Показания фиксируются только в производственном режиме."));
    int exit = ExitDone;
    QString problem;
    auto b = openBench(&exit, &problem);
    if (!b)
        return finishSaid(o, exit, problem);
    Session session(o);
    if (const int e = session.connectMeter())
        return finishSaid(o, e, session.failureText());
    if (const int e = session.pollCycle())
        return finishSaid(o, e, session.failureText());
    const QString drift = productionDrift(*b, session.info(), session.clockArrival());
    const Outcome outcome = b->records.recordFix(readoutOf(session.info(), SettingsWrite{}), drift);
    if (!outcome.ok())
        return finish(o, verdict, exitOf(outcome), outcome.message);
    return finish(o, verdict, ExitDone, QStringLiteral("Показания зафиксированы в БД."));
}

} // namespace zk::cli
