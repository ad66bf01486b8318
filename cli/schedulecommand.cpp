#include "cli/schedulecommand.h"

#include "cli/production.h"
#include "cli/report.h"
#include "cli/session.h"
#include "ops/rules.h"
#include "ops/scheduleoperation.h"
#include "ops/settingsoperation.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <cmath>
#include <cstdio>

namespace zk::cli {

namespace {

QString field(const QString &name)
{
    return QStringLiteral("Поле \"%1\": ").arg(name);
}

// A JSON number that is a whole number within [min, max].
std::optional<int> wholeNumber(const QJsonValue &v, int min, int max)
{
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    if (d != std::floor(d) || d < min || d > max)
        return std::nullopt;
    return int(d);
}

// The first key of `o` that is not among `known`.
QString unknownKey(const QJsonObject &o, const QStringList &known)
{
    for (auto it = o.begin(); it != o.end(); ++it)
        if (!known.contains(it.key()))
            return it.key();
    return QString();
}

bool readQueued(const QList<QByteArray> &queue)
{
    for (const QByteArray &frame : queue)
        if (!frame.isEmpty() && ScheduleRead::isReadFunction(quint8(frame.at(0))))
            return true;
    return false;
}

// The schedule's read sequence through the session's engine into `read`; ExitNoAnswer with
// the reason on stderr when not every reply came.
int runScheduleRead(Session &session, ScheduleRead &read)
{
    ExchangeEngine &engine = session.engine();
    for (quint8 f : {fn::ReadZones, fn::ReadDayTypes, fn::ReadHoliday, fn::ReadTransfer}) {
        engine.setHandler(f, 0, [&](const QByteArray &frame) {
            for (const QString &line : read.take(frame))
                engine.log(line);
            session.progress();
        });
    }
    engine.enqueue(read.requests());
    // Done when every reply is in, or none of the read's requests is left (the rest
    // dropped after a failed exchange).
    if (const int e = session.runUntil([&] { return read.complete() || !readQueued(engine.queue()); }))
        return e;
    if (!read.complete()) {
        // Part of a schedule would look like a whole one.
        printErr(QStringLiteral("Расписание прочитано не полностью: %1 ответов из %2")
                     .arg(read.answered())
                     .arg(read.requests().size()));
        return ExitNoAnswer;
    }
    return ExitDone;
}

int scheduleRead(const Options &o)
{
    if (o.has(QStringLiteral("dry-run")) || o.has(QStringLiteral("no-verify")))
        return usageError(QStringLiteral("--dry-run и --no-verify относятся к schedule write"));
    if (o.args.size() != 1)
        return usageError(QStringLiteral("Лишние аргументы команды schedule read: %1")
                              .arg(o.args.mid(1).join(QLatin1Char(' '))));
    Session session(o);
    if (const int e = session.connectMeter())
        return e;
    if (const int e = session.waitForMeter())
        return e;
    const int firmware = session.info().version->number;
    ScheduleRead read(firmware);
    if (const int e = runScheduleRead(session, read))
        return e;
    printOut(o.json ? jsonLine(scheduleJson(read.schedule(), firmware)) : scheduleText(read.schedule(), firmware));
    return ExitDone;
}

int scheduleWrite(const Options &o)
{
    if (o.args.size() != 2)
        return verdictUsageError(o.json, QStringLiteral("Команде schedule write нужен один файл расписания (JSON)"));
    const QString path = o.args.at(1);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return finish(o, FrameVerdict{}, ExitStorage,
                      QStringLiteral("Не удалось прочитать файл %1: %2").arg(path, file.errorString()));
    const ScheduleFile parsed = parseScheduleFile(file.readAll());
    if (!parsed.schedule)
        return finish(o, FrameVerdict{}, ExitUsage, QStringLiteral("%1: %2").arg(path, parsed.error));
    if (const QString p = accessPasswordProblem(o.password); !p.isEmpty())
        return finish(o, FrameVerdict{}, ExitUsage, p);
    const TariffSchedule &schedule = *parsed.schedule;
    std::optional<WriteStart> start;
    if (const int e = startWrite(o, &start))
        return e;
    Session &session = *start->session;
    WriteRecords &records = start->bench.records;
    const int firmware = session.info().version->number;
    // The window's checks for this meter, before anything is sent.
    if (const QString problem = scheduleWriteProblem(schedule, firmware); !problem.isEmpty())
        return finish(o, FrameVerdict{}, ExitUsage, problem);
    if (o.has(QStringLiteral("dry-run")))
        return printFrames(o, scheduleWriteFrames(schedule, firmware, o.password)); // nothing sent or recorded
    // Recorded as a settings write, with the settings the command names: none.
    const SettingsWrite settings;
    // A meter whose write could not be recorded is not written.
    if (const Outcome ready = records.ready(settings, session.info()); !ready.ok())
        return finish(o, FrameVerdict{}, exitOf(ready), ready.message);
    FrameVerdict verdict;
    if (const int e = session.runFrames(scheduleWriteFrames(schedule, firmware, o.password),
                                        Session::WriteFlag::Schedule, &verdict))
        return finish(o, verdict, e, verdict.acknowledgedText());
    const QString drift = productionDrift(start->bench, session.info(), session.clockArrival());
    if (const Outcome recorded = records.record(settings, session.info(), drift); !recorded.ok())
        return finish(o, verdict, exitOf(recorded), records.notRecordedPrefix() + recorded.message);
    if (o.has(QStringLiteral("no-verify")))
        return finish(o, verdict, ExitDone, QStringLiteral("Тарифное расписание записано."));
    ScheduleReadBack back(schedule, firmware);
    if (const int e = runScheduleRead(session, back.read()))
        return finish(o, verdict, e, QStringLiteral("Тарифное расписание записано, но не прочитано обратно."));
    verdict.takeReadBack(back.verdict());
    return finishVerified(o, verdict, QStringLiteral("Тарифное расписание записано и прочитано обратно."));
}

} // namespace

QJsonObject scheduleJson(const TariffSchedule &s, int firmware)
{
    const bool calendars = hasCalendars(firmware);
    QJsonObject o;
    o[QStringLiteral("one_tariff")] = s.oneTariff;
    QJsonArray zones;
    for (const TariffZone &z : s.zones) {
        QJsonObject zone;
        zone[QStringLiteral("tariff")] = z.tariff;
        zone[QStringLiteral("start")] = z.start.toString(QStringLiteral("HH:mm"));
        if (calendars)
            zone[QStringLiteral("days")] = int(z.days);
        zones.append(zone);
    }
    o[QStringLiteral("zones")] = zones;
    if (!calendars)
        return o;
    QJsonArray holidays;
    for (const Holiday &h : s.holidays)
        holidays.append(QJsonObject{{QStringLiteral("day"), h.day}, {QStringLiteral("month"), h.month}});
    o[QStringLiteral("holidays")] = holidays;
    QJsonArray transfers;
    for (const Transfer &t : s.transfers)
        transfers.append(QJsonObject{{QStringLiteral("date"), t.date.toString(Qt::ISODate)},
                                     {QStringLiteral("day_type"), t.dayType}});
    o[QStringLiteral("transfers")] = transfers;
    return o;
}

QString scheduleText(const TariffSchedule &s, int firmware, const QLocale &locale)
{
    const bool calendars = hasCalendars(firmware);
    QString text = QStringLiteral("Работа по одному тарифу: %1\n")
                       .arg(s.oneTariff ? QStringLiteral("да") : QStringLiteral("нет"));
    text += QStringLiteral("Зона\tТариф\tВремя");
    if (calendars)
        text += QLatin1Char('\t') + dayColumnTitles().join(QLatin1Char('\t'));
    text += QLatin1Char('\n');
    for (int z = 0; z < tariff::Zones; ++z) {
        const TariffZone &zone = s.zones[size_t(z)];
        text += QStringLiteral("%1\t%2\t%3").arg(z).arg(zone.tariff).arg(zone.start.toString(QStringLiteral("HH:mm")));
        if (calendars)
            for (int b = 0; b < tariff::DayColumns; ++b)
                text += (zone.days >> b) & 1 ? QStringLiteral("\t+") : QStringLiteral("\t");
        text += QLatin1Char('\n');
    }
    if (!calendars)
        return text;
    text += QStringLiteral("Праздники: %1\n").arg(s.holidays.size());
    for (const Holiday &h : s.holidays)
        text += QStringLiteral("  %1 %2\n").arg(h.day).arg(monthName(h.month));
    text += QStringLiteral("Переносы: %1\n").arg(s.transfers.size());
    for (const Transfer &t : s.transfers)
        text += QStringLiteral("  %1 по графику: %2\n").arg(dateText(t.date, locale), dayTypeName(t.dayType));
    return text;
}

ScheduleFile parseScheduleFile(const QByteArray &json)
{
    ScheduleFile result;
    auto bad = [&result](const QString &text) {
        result.error = text;
        return result;
    };
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return bad(QStringLiteral("не JSON (%1, позиция %2)").arg(parseError.errorString()).arg(parseError.offset));
    if (!doc.isObject())
        return bad(QStringLiteral("нужен JSON-объект с полями one_tariff и zones"));
    const QJsonObject o = doc.object();
    if (const QString key = unknownKey(o, {QStringLiteral("one_tariff"), QStringLiteral("zones"),
                                           QStringLiteral("holidays"), QStringLiteral("transfers")});
        !key.isEmpty())
        return bad(field(key) + QStringLiteral("такого поля нет"));

    TariffSchedule s;
    const QJsonValue one = o.value(QStringLiteral("one_tariff"));
    if (!one.isBool())
        return bad(field(QStringLiteral("one_tariff")) + QStringLiteral("нужно true или false"));
    s.oneTariff = one.toBool();

    const QJsonValue zonesValue = o.value(QStringLiteral("zones"));
    if (!zonesValue.isArray() || zonesValue.toArray().size() != tariff::Zones)
        return bad(field(QStringLiteral("zones")) + QStringLiteral("нужен список из 6 зон"));
    static const QRegularExpression hhmm(QStringLiteral("^(\\d\\d):(\\d\\d)$"));
    const QJsonArray zones = zonesValue.toArray();
    for (int z = 0; z < tariff::Zones; ++z) {
        const QString name = QStringLiteral("zones[%1]").arg(z);
        if (!zones.at(z).isObject())
            return bad(field(name) + QStringLiteral("нужен объект с полями tariff, start, days"));
        const QJsonObject zone = zones.at(z).toObject();
        if (const QString key = unknownKey(zone, {QStringLiteral("tariff"), QStringLiteral("start"),
                                                  QStringLiteral("days")});
            !key.isEmpty())
            return bad(field(name + QLatin1Char('.') + key) + QStringLiteral("такого поля нет"));
        TariffZone &target = s.zones[size_t(z)];
        const auto tariffValue = wholeNumber(zone.value(QStringLiteral("tariff")), 1, 3);
        if (!tariffValue)
            return bad(field(name + QStringLiteral(".tariff")) + QStringLiteral("нужен тариф 1, 2 или 3"));
        target.tariff = *tariffValue;
        const auto m = hhmm.match(zone.value(QStringLiteral("start")).toString());
        const QTime start = m.hasMatch() ? QTime(m.captured(1).toInt(), m.captured(2).toInt()) : QTime();
        if (!start.isValid())
            return bad(field(name + QStringLiteral(".start")) + QStringLiteral("нужно время ЧЧ:ММ от 00:00 до 23:59"));
        target.start = start;
        if (zone.contains(QStringLiteral("days"))) {
            const auto days = wholeNumber(zone.value(QStringLiteral("days")), 0, 255);
            if (!days)
                return bad(field(name + QStringLiteral(".days")) + QStringLiteral("нужна маска типов дней 0..255"));
            target.days = quint8(*days);
        }
    }

    if (o.contains(QStringLiteral("holidays"))) {
        const QJsonValue v = o.value(QStringLiteral("holidays"));
        if (!v.isArray())
            return bad(field(QStringLiteral("holidays")) + QStringLiteral("нужен список дат {day, month}"));
        s.holidays.clear();
        const QJsonArray list = v.toArray();
        for (int i = 0; i < list.size(); ++i) {
            const QString name = QStringLiteral("holidays[%1]").arg(i);
            if (!list.at(i).isObject())
                return bad(field(name) + QStringLiteral("нужен объект {day, month}"));
            const QJsonObject h = list.at(i).toObject();
            if (const QString key = unknownKey(h, {QStringLiteral("day"), QStringLiteral("month")}); !key.isEmpty())
                return bad(field(name + QLatin1Char('.') + key) + QStringLiteral("такого поля нет"));
            const auto month = wholeNumber(h.value(QStringLiteral("month")), 1, 12);
            if (!month)
                return bad(field(name + QStringLiteral(".month")) + QStringLiteral("нужен месяц 1..12"));
            const auto day = wholeNumber(h.value(QStringLiteral("day")), 1, dayLimit(*month));
            if (!day)
                return bad(field(name + QStringLiteral(".day"))
                           + QStringLiteral("нужен день 1..%1 (%2)").arg(dayLimit(*month)).arg(monthName(*month)));
            if (s.holidays.size() >= tariff::ListCapacity)
                return bad(field(name) + HolidaysFullText);
            s.holidays << Holiday{*month, *day};
        }
    }

    if (o.contains(QStringLiteral("transfers"))) {
        const QJsonValue v = o.value(QStringLiteral("transfers"));
        if (!v.isArray())
            return bad(field(QStringLiteral("transfers")) + QStringLiteral("нужен список {date, day_type}"));
        const QJsonArray list = v.toArray();
        for (int i = 0; i < list.size(); ++i) {
            const QString name = QStringLiteral("transfers[%1]").arg(i);
            if (!list.at(i).isObject())
                return bad(field(name) + QStringLiteral("нужен объект {date, day_type}"));
            const QJsonObject t = list.at(i).toObject();
            if (const QString key = unknownKey(t, {QStringLiteral("date"), QStringLiteral("day_type")}); !key.isEmpty())
                return bad(field(name + QLatin1Char('.') + key) + QStringLiteral("такого поля нет"));
            const QString dateString = t.value(QStringLiteral("date")).toString();
            const QDate chosen = QDate::fromString(dateString, QStringLiteral("yyyy-MM-dd"));
            if (!chosen.isValid())
                return bad(field(name + QStringLiteral(".date")) + QStringLiteral("нужна дата ГГГГ-ММ-ДД"));
            const auto type = wholeNumber(t.value(QStringLiteral("day_type")), 1, 8);
            if (!type)
                return bad(field(name + QStringLiteral(".day_type")) + QStringLiteral("нужен тип дня 1..8"));
            if (chosen.year() < 2000 || chosen.year() > 2099)
                return bad(field(name + QStringLiteral(".date")) + TransferDateRangeText);
            if (s.transfers.size() >= tariff::ListCapacity)
                return bad(field(name) + TransfersFullText);
            s.transfers << Transfer{chosen, *type};
        }
    }
    result.schedule = s;
    return result;
}

int commandSchedule(const Options &o)
{
    const QString verb = o.args.value(0);
    if (verb == QLatin1String("read"))
        return scheduleRead(o);
    if (verb == QLatin1String("write"))
        return scheduleWrite(o);
    return usageError(QStringLiteral("Команде schedule нужно read или write ФАЙЛ.json"));
}

} // namespace zk::cli
