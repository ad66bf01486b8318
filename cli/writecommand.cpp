#include "cli/writecommand.h"

#include "cli/production.h"
#include "cli/report.h"
#include "cli/session.h"
#include "ops/rules.h"

namespace zk::cli {

namespace {

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

// A refusal before anything is sent: the mode, the password or a value.
int refuse(const Options &o, const QString &text)
{
    return finish(o, FrameVerdict{}, ExitUsage, text);
}

} // namespace

std::optional<SettingsRequest> parseWrite(const Options &o, const QDateTime &now, QString *error)
{
    SettingsRequest r;
    SettingsWrite &w = r.write;
    w.accessPassword = o.password;
    auto bad = [error](const QString &text) {
        *error = text;
        return std::nullopt;
    };
    if (!o.args.isEmpty())
        return bad(QStringLiteral("Лишний аргумент команды write: %1").arg(o.args.first()));
    if (o.has(QStringLiteral("time"))) {
        const QString v = o.value(QStringLiteral("time"));
        // A wall-clock date and time without a zone: one that a local summer-time change
        // skips is still a time the meter can show.
        QDate date = now.date();
        QTime time = now.time();
        if (v != QLatin1String("now")) {
            const bool shape = v.size() == 19 && v.at(10) == QLatin1Char('T');
            date = shape ? QDate::fromString(v.left(10), QStringLiteral("yyyy-MM-dd")) : QDate();
            time = shape ? QTime::fromString(v.mid(11), QStringLiteral("HH:mm:ss")) : QTime();
        }
        if (!date.isValid() || !time.isValid() || date.year() < 2000 || date.year() > 2099)
            return bad(QStringLiteral("Время: now или ГГГГ-ММ-ДДTЧЧ:ММ:СС в 2000-2099 годах: %1").arg(v));
        w.clock = ClockSetting{date, time, false};
    }
    if (o.has(QStringLiteral("summer"))) {
        const QString v = o.value(QStringLiteral("summer"));
        if (v != QLatin1String("on") && v != QLatin1String("off"))
            return bad(QStringLiteral("--summer: on или off: %1").arg(v));
        if (!w.clock)
            return bad(QStringLiteral("--summer относится к записи времени: укажите и --time"));
        w.clock->summer = v == QLatin1String("on");
        r.summerGiven = true;
    }
    if (o.has(QStringLiteral("new-address"))) {
        const QString v = o.value(QStringLiteral("new-address"));
        const auto n = intArgument(v, 0, 255);
        if (!n)
            return bad(QStringLiteral("Новый адрес должен быть от 0 до 255: %1").arg(v));
        w.address = *n;
    }
    if (o.has(QStringLiteral("serial"))) {
        const QString v = o.value(QStringLiteral("serial"));
        const auto n = intArgument(v, 0, MaxSerialNumber);
        if (v == QLatin1String("next"))
            r.nextSerial = true;
        else if (!n)
            return bad(QStringLiteral("Заводской номер должен быть от 0 до %1 или next: %2").arg(MaxSerialNumber).arg(v));
        w.serial = n.value_or(0); // "next": filled in from the register
    }
    if (o.has(QStringLiteral("ddm"))) {
        const QString v = o.value(QStringLiteral("ddm"));
        const auto n = numberList(v, 3, 0, MaxDdm);
        if (!n)
            return bad(QStringLiteral("Номера ДДМ: три числа от 0 до %1 через запятую: %2").arg(MaxDdm).arg(v));
        w.ddm = Triple{n->at(0), n->at(1), n->at(2)};
    }
    if (o.has(QStringLiteral("indication"))) {
        const QString v = o.value(QStringLiteral("indication"));
        const auto n = intArgument(v, 0, 15);
        if (!n)
            return bad(QStringLiteral("Индикация: число от 0 до 15: %1").arg(v));
        w.indication = quint8(*n);
    }
    if (o.has(QStringLiteral("billing"))) {
        const QString v = o.value(QStringLiteral("billing"));
        const QStringList parts = v.split(QLatin1Char(','));
        const auto day = intArgument(parts.value(0), 1, 31);
        const auto hour = intArgument(parts.value(1), 0, 23);
        if (parts.size() != 2 || !day || !hour)
            return bad(QStringLiteral("РДЧ: день 1..31 и час 0..23 через запятую: %1").arg(v));
        w.billing = BillingDay{*hour, *day};
    }
    if (o.has(QStringLiteral("correction"))) {
        const QString v = o.value(QStringLiteral("correction"));
        const auto n = intArgument(v, -31, 31);
        if (!n)
            return bad(QStringLiteral("Суточная коррекция должна быть от -31 до 31: %1").arg(v));
        w.correction = *n;
    }
    r.noCorrection = o.has(QStringLiteral("no-correction"));
    if (r.noCorrection && w.correction)
        return bad(QStringLiteral("--correction и --no-correction вместе не указываются"));
    if (o.has(QStringLiteral("new-password"))) {
        const QString v = o.value(QStringLiteral("new-password"));
        if (!intArgument(v, 0, 65535))
            return bad(QStringLiteral("Новый пароль должен быть числом от 0 до 65535: %1").arg(v));
        w.newPassword = v;
    }
    w.resetTariff = o.has(QStringLiteral("reset-tariff"));
    return r;
}

std::optional<SettingsRequest> parseWrite(const QStringList &args, const QString &accessPassword,
                                          const QDateTime &now, QString *error)
{
    const Parsed p = parseArguments(QStringList{QStringLiteral("write")} + args);
    if (!p.options) {
        *error = p.error;
        return std::nullopt;
    }
    Options o = *p.options;
    o.password = accessPassword;
    return parseWrite(o, now, error);
}

int commandWrite(const Options &o)
{
    // Everything the arguments and the modes decide is checked before a file or the
    // port is touched.
    QString error;
    const auto request = parseWrite(o, QDateTime::currentDateTime(), &error);
    if (!request)
        return verdictUsageError(o.json, error);
    const Modes modes = modesHere();
    if (const QString p = accessPasswordProblem(o.password); !p.isEmpty())
        return refuse(o, p);
    if (request->write.serial && !serialEditableInMode(modes))
        return refuse(o, serialWriteProblem(modes, 0));
    if (request->write.newPassword)
        if (const QString p = newPasswordProblem(modes); !p.isEmpty())
            return refuse(o, p);

    std::optional<WriteStart> start;
    if (const int e = startWrite(o, &start))
        return e;
    Session &session = *start->session;
    WriteRecords &records = start->bench.records;

    SettingsRequest asked = *request;
    // `--time now` is the time the frames are queued.
    if (o.value(QStringLiteral("time")) == QLatin1String("now")) {
        const QDateTime now = QDateTime::currentDateTime();
        asked.write.clock->date = now.date();
        asked.write.clock->time = now.time();
    }
    if (asked.nextSerial) {
        Outcome failure;
        const std::optional<qint64> next = records.nextFreeNumber(&failure);
        if (!next)
            return finish(o, FrameVerdict{}, exitOf(failure), failure.message);
        if (const QString p = nextSerialProblem(*next); !p.isEmpty())
            return finish(o, FrameVerdict{}, ExitStorage, p);
        asked.write.serial = int(*next);
    }
    SettingsWriteOperation write(modes, records);
    if (const Outcome refused = write.prepare(asked, session.info()); !refused.ok())
        return finish(o, FrameVerdict{}, exitOf(refused), refused.message);
    if (o.has(QStringLiteral("dry-run")))
        return printFrames(o, write.frames()); // no file, no record, nothing sent
    if (const Outcome refused = write.clearToSend(); !refused.ok())
        return finish(o, FrameVerdict{}, exitOf(refused), refused.message);
    if (write.write().address)
        session.setNewAddress(*write.write().address);
    FrameVerdict verdict;
    if (const int e = session.runFrames(write.frames(), Session::WriteFlag::Settings, &verdict))
        return finish(o, verdict, e, verdict.acknowledgedText());
    const QString drift = productionDrift(start->bench, session.info(), session.clockArrival());
    if (const Outcome recorded = write.record(session.info(), drift); !recorded.ok())
        return finish(o, verdict, exitOf(recorded), records.notRecordedPrefix() + recorded.message);
    if (o.has(QStringLiteral("no-verify")))
        return finish(o, verdict, ExitDone, QStringLiteral("Установки записаны."));
    // Read back: the next poll cycle, at the new address when one was written.
    SettingsReadBack back(write.write(), session.clockWritten());
    if (const int e = session.readBack(back))
        return finish(o, verdict, e, QStringLiteral("Установки записаны, но не прочитаны обратно."));
    verdict.takeReadBack(back.verdict());
    return finishVerified(o, verdict, QStringLiteral("Установки записаны и прочитаны обратно."));
}

int commandResetBilling(const Options &o)
{
    if (!o.args.isEmpty())
        return verdictUsageError(o.json, QStringLiteral("Лишние аргументы команды reset-billing: %1").arg(o.args.join(QLatin1Char(' '))));
    if (const QString p = accessPasswordProblem(o.password); !p.isEmpty())
        return refuse(o, p);
    Session session(o);
    if (const int e = session.connectMeter())
        return finishSaid(o, e, session.failureText());
    if (const int e = session.waitForMeter())
        return finishSaid(o, e, session.failureText());
    if (o.has(QStringLiteral("dry-run")))
        return printFrames(o, billingResetFrames(o.password));
    FrameVerdict verdict;
    if (const int e = session.runFrames(billingResetFrames(o.password), Session::WriteFlag::None, &verdict))
        return finish(o, verdict, e, verdict.acknowledgedText());
    return finish(o, verdict, ExitDone, QStringLiteral("Показания на расчетный день сброшены."));
}

} // namespace zk::cli
