#include "cli/production.h"

#include "app/preferences.h"
#include "cli/writecommand.h"
#include "meter/clockcorrection.h"
#include "records/settingsrecord.h"

#include <QSettings>
#include <cstdio>

namespace zk::cli {

namespace {
void say(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}
} // namespace

bool sqlModeHere()
{
    const QSettings prefs(preferencesOrganisation(), preferencesApplication());
    return deriveModes(false, false, prefs.contains(QStringLiteral("Sql")), sqlMarkerExists()).sqlMode;
}

std::optional<ProductionBench> identifiedBench(int *exit)
{
    *exit = ExitStorage;
    try {
        ProductionBench b;
        b.db = std::make_unique<ProductionDatabase>(
            readConnectionSettings(preferencesOrganisation(), preferencesApplication()));
        b.db->open();
        const Identification id = b.db->identify(localComputerName(), localLogin());
        if (!id.ok()) {
            say(id.problem);
            return std::nullopt;
        }
        b.bench = id.identity;
        const QDateTime server = b.db->serverTime();
        if (!qEnvironmentVariableIsSet("ZK_KEEP_PC_CLOCK"))
            setPcClock(server); // a refusal is ignored
        *exit = ExitDone;
        return b;
    } catch (const DatabaseError &e) {
        say(e.text());
        return std::nullopt;
    }
}

int productionWriteAllowed(ProductionBench &b, int serial)
{
    try {
        const auto id = b.db->meterId(serial);
        if (!id) {
            say(MessageMeterNotRegistered);
            return ExitStorage;
        }
        if (b.db->openRepairs(*id) > 0) {
            say(MessageUnderRepair);
            return ExitRefused;
        }
    } catch (const DatabaseError &e) {
        say(e.text());
        return ExitStorage;
    }
    return ExitDone;
}

QString productionDrift(ProductionBench &b, const MeterInfo &info)
{
    if (!info.serial || !info.clock || !info.clock->date().isValid() || !info.clock->time().isValid())
        return QString();
    try {
        const QDateTime last = b.db->lastSettingTime(*info.serial);
        const auto drift = driftPerDay(QDateTime(info.clock->date(), info.clock->time()),
                                       QDateTime::currentDateTime(), last);
        return drift ? driftText(*drift) : QString();
    } catch (const DatabaseError &e) {
        say(e.text());
        return QString();
    }
}

int recordProductionWrite(ProductionBench &b, const SettingsWrite &write, const MeterInfo &info)
{
    try {
        const RecordResult r = b.db->recordWrite(
            b.bench, buildProductionRecord(write, readoutOf(info, write), productionDrift(b, info)));
        if (!r.recorded()) {
            say(QStringLiteral("Записано в счетчик, но не в БД: ") + r.message);
            return ExitStorage;
        }
    } catch (const DatabaseError &e) {
        say(QStringLiteral("Записано в счетчик, но не в БД: ") + e.text());
        return ExitStorage;
    }
    return ExitDone;
}

int commandSpoilage(const Options &o)
{
    if (o.args.size() != 2)
        return usageError(QStringLiteral("Команде spoilage нужны номер счетчика и код брака"));
    const auto serial = intArgument(o.args.at(0), 0, MaxSerialNumber);
    if (!serial)
        return usageError(QStringLiteral("Номер счетчика должен быть от 0 до %1: %2").arg(QString::number(MaxSerialNumber), o.args.at(0)));
    const QString code = o.args.at(1).trimmed();
    if (!defectCodeAccepted(code))
        return usageError(QStringLiteral("Код брака не может быть пустым"));
    if (!sqlModeHere()) {
        say(QStringLiteral("Регистрация брака выполняется только в производственном режиме."));
        return ExitStorage;
    }
    int exit = ExitDone;
    auto b = identifiedBench(&exit);
    if (!b)
        return exit;
    try {
        const auto id = b->db->meterId(*serial);
        if (!id) {
            say(MessageMeterNotRegistered);
            return ExitStorage;
        }
        b->db->registerDefect(*id, b->bench, code);
    } catch (const DatabaseError &e) {
        say(e.text());
        return ExitStorage;
    }
    say(QStringLiteral("Брак зарегистрирован."));
    return ExitDone;
}

} // namespace zk::cli
