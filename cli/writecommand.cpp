#include "cli/writecommand.h"

#include "app/preferences.h"
#include "cli/production.h"
#include "cli/session.h"
#include "records/register.h"
#include "records/settingsrecord.h"

#include <QDir>
#include <QSettings>

#include <cstdio>

namespace zk::cli {

namespace {

void say(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// Comma-separated whole numbers, each within [min, max]; exactly `count` of them.
std::optional<QList<int>> numberList(const QString &text, int count, int min, int max)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != count)
        return std::nullopt;
    QList<int> out;
    for (const QString &p : parts) {
        const auto n = intArgument(p, min, max);
        if (!n)
            return std::nullopt;
        out << *n;
    }
    return out;
}

} // namespace

std::optional<SettingsWrite> parseWrite(const QStringList &args, const QString &accessPassword,
                                        const QDateTime &now, QString *error, bool *nextSerial)
{
    if (nextSerial)
        *nextSerial = false;
    SettingsWrite w;
    w.accessPassword = accessPassword;
    bool summer = false;
    auto bad = [error](const QString &text) {
        *error = text;
        return std::nullopt;
    };
    for (int i = 0; i < args.size(); ++i) {
        QString name = args.at(i);
        std::optional<QString> inlineValue;
        if (const int eq = int(name.indexOf(QLatin1Char('='))); name.startsWith(QLatin1String("--")) && eq > 0) {
            inlineValue = name.mid(eq + 1);
            name = name.left(eq);
        }
        auto value = [&]() -> std::optional<QString> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args.at(++i);
            return std::nullopt;
        };
        const bool flag = name == QLatin1String("--summer") || name == QLatin1String("--reset-tariff");
        if (flag && inlineValue)
            return bad(QStringLiteral("Параметр %1 не принимает значения").arg(name));
        if (name == QLatin1String("--summer")) {
            summer = true;
            continue;
        }
        if (name == QLatin1String("--reset-tariff")) {
            w.resetTariff = true;
            continue;
        }
        const std::optional<QString> v = name.startsWith(QLatin1String("--")) ? value() : std::nullopt;
        if (!name.startsWith(QLatin1String("--")))
            return bad(QStringLiteral("Лишний аргумент команды write: %1").arg(name));
        if (!v)
            return bad(QStringLiteral("Параметру %1 не хватает значения").arg(name));

        if (name == QLatin1String("--time")) {
            if (*v == QLatin1String("now")) {
                w.clock = ClockSetting{now.date(), now.time(), false};
            } else {
                const QDateTime t = QDateTime::fromString(*v, QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
                if (!t.isValid() || t.date().year() < 2000 || t.date().year() > 2099)
                    return bad(QStringLiteral("Время: now или ГГГГ-ММ-ДДTЧЧ:ММ:СС в 2000-2099 годах: %1").arg(*v));
                w.clock = ClockSetting{t.date(), t.time(), false};
            }
        } else if (name == QLatin1String("--address")) {
            const auto n = intArgument(*v, 0, 255);
            if (!n)
                return bad(QStringLiteral("Новый адрес должен быть от 0 до 255: %1").arg(*v));
            w.address = *n;
        } else if (name == QLatin1String("--serial") && *v == QLatin1String("next") && nextSerial) {
            *nextSerial = true;
            w.serial = 0; // filled in from the register
        } else if (name == QLatin1String("--serial")) {
            const auto n = intArgument(*v, 0, MaxSerialNumber);
            if (!n)
                return bad(QStringLiteral("Заводской номер должен быть от 0 до %1: %2").arg(QString::number(MaxSerialNumber), *v));
            w.serial = *n;
        } else if (name == QLatin1String("--ddm")) {
            const auto n = numberList(*v, 3, 0, 0xFFFFFF);
            if (!n)
                return bad(QStringLiteral("Номера ДДМ: три числа от 0 до 16777215 через запятую: %1").arg(*v));
            w.ddm = Triple{n->at(0), n->at(1), n->at(2)};
        } else if (name == QLatin1String("--indication")) {
            const auto n = intArgument(*v, 0, 15);
            if (!n)
                return bad(QStringLiteral("Индикация: число от 0 до 15: %1").arg(*v));
            w.indication = quint8(*n);
        } else if (name == QLatin1String("--billing")) {
            const QStringList parts = v->split(QLatin1Char(','));
            const auto day = intArgument(parts.value(0), 1, 31);
            const auto hour = intArgument(parts.value(1), 0, 23);
            if (parts.size() != 2 || !day || !hour)
                return bad(QStringLiteral("РДЧ: день 1..31 и час 0..23 через запятую: %1").arg(*v));
            w.billing = BillingDay{*hour, *day};
        } else if (name == QLatin1String("--correction")) {
            const auto n = intArgument(*v, -31, 31);
            if (!n)
                return bad(QStringLiteral("Суточная коррекция должна быть от -31 до 31: %1").arg(*v));
            w.correction = *n;
        } else if (name == QLatin1String("--new-password")) {
            if (!intArgument(*v, 0, 65535))
                return bad(QStringLiteral("Новый пароль должен быть числом от 0 до 65535: %1").arg(*v));
            w.newPassword = *v;
        } else {
            return bad(QStringLiteral("Неизвестный параметр команды write: %1").arg(name));
        }
    }
    if (summer) {
        if (!w.clock)
            return bad(QStringLiteral("--summer относится к записи времени: укажите и --time"));
        w.clock->summer = true;
    }
    return w;
}

// What the record of a completed write takes from the poll cycle, as the window's.
ReadoutForRecord readoutOf(const MeterInfo &info, const SettingsWrite &write)
{
    ReadoutForRecord r;
    r.serial = write.serial ? *write.serial : info.serial.value_or(0);
    r.version = info.version ? info.version->text : QString();
    r.turnOnCount = info.turnOn ? QString::number(info.turnOn->halfMinutes) : QString();
    r.status = info.status.value_or(0);
    if (info.readings) {
        for (quint64 count : info.readings->current)
            r.readings << formatReading(readingValue(count));
        if (info.readings->billing)
            for (quint64 count : *info.readings->billing)
                r.readings << formatReading(readingValue(count));
    }
    r.corrections = info.turnOn ? QString::number(info.turnOn->corrections) : QString();
    return r;
}

std::optional<WriteRecorder> recorderForWrite(int *exit)
{
    WriteRecorder r;
    if (sqlModeHere()) {
        r.production = identifiedBench(exit);
        if (!r.production)
            return std::nullopt;
        return r;
    }
    try {
        r.local.emplace(openOrCreateRegister(QDir::currentPath()));
    } catch (const DbfError &e) {
        say(e.text());
        *exit = ExitStorage;
        return std::nullopt;
    }
    return r;
}

int WriteRecorder::allowed(int serial)
{
    return production ? productionWriteAllowed(*production, serial) : int(ExitDone);
}

std::optional<qint64> WriteRecorder::nextFreeNumber()
{
    try {
        return production ? production->db->nextFreeNumber() : zk::nextFreeNumber(*local);
    } catch (const Error &e) {
        say(e.text());
    }
    return std::nullopt;
}

int WriteRecorder::record(const SettingsWrite &write, const MeterInfo &info)
{
    if (production)
        return recordProductionWrite(*production, write, info);
    try {
        recordWrite(*local, buildSettingsRecord(write, readoutOf(info, write)), QDateTime::currentDateTime());
    } catch (const DbfError &e) {
        say(QStringLiteral("Записано в счетчик, но не в журнал установок: ") + e.text());
        return ExitStorage;
    }
    return ExitDone;
}

int commandWrite(const Options &o)
{
    QString error;
    bool nextSerial = false;
    // The write's own values are checked before the meter is touched.
    if (!parseWrite(o.args, o.password, QDateTime::currentDateTime(), &error, &nextSerial))
        return usageError(error);
    int exit = ExitDone;
    std::optional<WriteRecorder> recorder = recorderForWrite(&exit);
    if (!recorder)
        return exit;
    if (!writeAllowed(true, o.password, QString(), false))
        return usageError(QStringLiteral("Пароль для доступа должен быть числом от 0 до 65535: %1").arg(o.password));
    Session session(o);
    if (const int e = session.connectMeter())
        return e;
    // One poll cycle first: the record of the write holds what was read.
    if (const int e = session.pollCycle())
        return e;
    // Parsed again now: `--time now` is the time the frames are queued.
    auto write = parseWrite(o.args, o.password, QDateTime::currentDateTime(), &error, &nextSerial);
    if (nextSerial) {
        const std::optional<qint64> proposed = recorder->nextFreeNumber();
        if (!proposed)
            return ExitStorage;
        const qint64 next = *proposed;
        if (next > MaxSerialNumber) {
            say(QStringLiteral("Следующий свободный номер %1 больше наибольшего заводского номера %2.").arg(next).arg(MaxSerialNumber));
            return ExitStorage;
        }
        write->serial = int(next);
    }
    // A meter whose write could not be recorded is not written.
    if (const int e = recorder->allowed(write->serial ? *write->serial : session.info().serial.value_or(0)))
        return e;
    if (write->address)
        session.setNewAddress(*write->address);
    if (const int e = session.runFrames(settingsFrames(*write), true))
        return e;
    if (const int e = recorder->record(*write, session.info()))
        return e;
    say(QStringLiteral("Установки записаны."));
    return ExitDone;
}

int commandResetBilling(const Options &o)
{
    if (!o.args.isEmpty())
        return usageError(QStringLiteral("Лишние аргументы команды reset-billing: %1").arg(o.args.join(QLatin1Char(' '))));
    Session session(o);
    if (const int e = session.connectMeter())
        return e;
    if (const int e = session.waitForMeter())
        return e;
    if (const int e = session.runFrames(billingResetFrames(o.password), false))
        return e;
    say(QStringLiteral("Показания на расчетный день сброшены."));
    return ExitDone;
}

} // namespace zk::cli
