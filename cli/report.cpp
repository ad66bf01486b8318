#include "cli/report.h"

#include <cstdio>

#include <QJsonArray>
#include <QJsonDocument>

namespace zk::cli {

namespace {

QJsonValue isoOrNull(const std::optional<QDateTime> &t)
{
    // The meter's times have no zone: ISO text without one.
    return t ? QJsonValue(t->toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))) : QJsonValue(QJsonValue::Null);
}

std::optional<QDateTime> clockDateTime(const MeterClock &c)
{
    if (!c.date().isValid() || !c.time().isValid())
        return std::nullopt;
    return zoneFree(c.date(), c.time());
}

// Readings of tariffs 1..3 and their sum, as the grids show them.
std::array<double, 4> readingRow(const std::array<quint64, 3> &counts)
{
    std::array<double, 4> row{};
    double sum = 0;
    for (int t = 0; t < 3; ++t) {
        row[size_t(t)] = readingValue(counts[size_t(t)]);
        sum += row[size_t(t)];
    }
    row[3] = QString::number(sum, 'g', 12).toDouble();
    return row;
}

QJsonArray readingArray(const std::array<quint64, 3> &counts)
{
    QJsonArray out;
    for (double v : readingRow(counts))
        out.append(v);
    return out;
}

QString readingLine(const std::array<quint64, 3> &counts, const QLocale &locale)
{
    const auto row = readingRow(counts);
    return QStringLiteral("1 тариф %1; 2 тариф %2; 3 тариф %3; сумма %4")
        .arg(formatReading(row[0], locale), formatReading(row[1], locale),
             formatReading(row[2], locale), formatReading(row[3], locale));
}

QString yesNo(bool v)
{
    return v ? QStringLiteral("да") : QStringLiteral("нет");
}

QString hexByte(quint8 b)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

QJsonObject infoJson(const MeterInfo &info)
{
    QJsonObject o;
    const QJsonValue null(QJsonValue::Null);
    o[QStringLiteral("version")] = info.version ? QJsonValue(info.version->text) : null;
    o[QStringLiteral("serial")] = info.serial ? QJsonValue(*info.serial) : null;
    if (info.clock) {
        o[QStringLiteral("clock")] = isoOrNull(clockDateTime(*info.clock));
        o[QStringLiteral("summer")] = info.clock->summer;
    } else {
        o[QStringLiteral("clock")] = null;
        o[QStringLiteral("summer")] = null;
    }
    o[QStringLiteral("correction")] = info.correction ? QJsonValue(*info.correction) : null;
    if (info.ddm) {
        QJsonArray ddm;
        for (qint64 n : *info.ddm)
            ddm.append(n);
        o[QStringLiteral("ddm")] = ddm;
    } else {
        o[QStringLiteral("ddm")] = null;
    }
    if (info.hasDdmStamps()) {
        QJsonArray stamps;
        for (int i = 0; i < 3; ++i) {
            const qint64 number = info.ddm ? (*info.ddm)[size_t(i)] : 0;
            const quint32 count = info.ddmStamps ? (*info.ddmStamps)[size_t(i)] : 0;
            stamps.append(isoOrNull(ddmStamp(number, count)));
        }
        o[QStringLiteral("ddm_stamps")] = stamps;
    }
    if (info.status) {
        o[QStringLiteral("status")] = int(*info.status);
        o[QStringLiteral("status_lines")] = QJsonArray::fromStringList(statusLines(*info.status));
    } else {
        o[QStringLiteral("status")] = null;
        o[QStringLiteral("status_lines")] = QJsonArray();
    }
    o[QStringLiteral("indication")] = info.indication ? QJsonValue(int(*info.indication)) : null;
    if (info.readings) {
        QJsonObject r;
        r[QStringLiteral("current")] = readingArray(info.readings->current);
        r[QStringLiteral("billing")] = info.readings->billing ? QJsonValue(readingArray(*info.readings->billing)) : null;
        o[QStringLiteral("readings")] = r;
    } else {
        o[QStringLiteral("readings")] = null;
    }
    if (info.turnOn) {
        o[QStringLiteral("turn_on")] = halfMinutesText(info.turnOn->halfMinutes);
        o[QStringLiteral("correction_counter")] = info.turnOn->corrections;
    } else {
        o[QStringLiteral("turn_on")] = null;
        o[QStringLiteral("correction_counter")] = null;
    }
    if (info.billing) {
        QJsonObject b;
        b[QStringLiteral("day")] = info.billing->day;
        b[QStringLiteral("hour")] = info.billing->hour;
        o[QStringLiteral("billing")] = b;
    } else {
        o[QStringLiteral("billing")] = null;
    }
    return o;
}

QString infoText(const MeterInfo &info, const QLocale &locale)
{
    const QString none = QStringLiteral("—");
    QStringList lines;
    auto line = [&lines](const QString &label, const QString &value) { lines << label + value; };
    line(QStringLiteral("Версия ПО : "), info.version ? info.version->text : none);
    line(QStringLiteral("Заводской № : "), info.serial ? QString::number(*info.serial) : none);
    if (info.clock) {
        const QString text = clockText(*info.clock, locale);
        line(QStringLiteral("Время : "), text.isEmpty() ? QStringLiteral("ошибочное") : text);
        line(QStringLiteral("Автопереход на летнее время : "), yesNo(info.clock->summer));
    } else {
        line(QStringLiteral("Время : "), none);
    }
    line(QStringLiteral("Суточная коррекция часов : "), info.correction ? QString::number(*info.correction) : none);
    const QString phases[3] = {QStringLiteral("ДДМ фазы \"A\": "), QStringLiteral("ДДМ фазы \"B\": "),
                               QStringLiteral("ДДМ фазы \"C\": ")};
    for (int i = 0; i < 3; ++i) {
        if (!info.ddm) {
            line(phases[i], none);
            continue;
        }
        const qint64 number = (*info.ddm)[size_t(i)];
        QString text = QString::number(number);
        if (info.hasDdmStamps() && info.ddmStamps) {
            if (const auto stamp = ddmStamp(number, (*info.ddmStamps)[size_t(i)]))
                text += QStringLiteral(", ") + dateTimeText(*stamp, locale);
        }
        line(phases[i], text);
    }
    if (info.status) {
        line(QStringLiteral("Статус : "), hexByte(*info.status));
        for (const QString &s : statusLines(*info.status))
            lines << QStringLiteral("  ") + s;
    } else {
        line(QStringLiteral("Статус : "), none);
    }
    if (info.indication) {
        const QString names[4] = {QStringLiteral("Суммарная"), QStringLiteral("На расч. день"),
                                  QStringLiteral("Дата"), QStringLiteral("Время")};
        QStringList on;
        for (int bit = 0; bit < 4; ++bit)
            if (*info.indication & (1 << bit))
                on << names[bit];
        line(QStringLiteral("Индикация : "), on.isEmpty() ? QStringLiteral("нет") : on.join(QStringLiteral(", ")));
    } else {
        line(QStringLiteral("Индикация : "), none);
    }
    if (info.readings) {
        line(QStringLiteral("Показания текущие : "), readingLine(info.readings->current, locale));
        line(QStringLiteral("Показания на расчетный день : "),
             info.readings->billing ? readingLine(*info.readings->billing, locale) : QStringLiteral("нет"));
    } else {
        line(QStringLiteral("Показания текущие : "), none);
    }
    line(QStringLiteral("Время вкл. состояния : "), info.turnOn ? halfMinutesText(info.turnOn->halfMinutes) : none);
    line(QStringLiteral("Счетчик коррекций : "), info.turnOn ? QString::number(info.turnOn->corrections) : none);
    line(QStringLiteral("Расчетный день: "), info.billing ? QString::number(info.billing->day) : none);
    line(QStringLiteral("Расчетный час: "), info.billing ? QString::number(info.billing->hour) : none);
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

namespace {

QJsonValue orNull(const std::optional<bool> &v)
{
    return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}

QJsonValue orNull(const std::optional<int> &v)
{
    return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}

} // namespace

QJsonObject lineReportJson(const LineReport &r, const QStringList &problems)
{
    const QJsonValue null(QJsonValue::Null);
    QJsonObject o;
    o[QStringLiteral("port")] = r.port;
    o[QStringLiteral("device")] = r.device;
    o[QStringLiteral("exists")] = r.exists;
    o[QStringLiteral("tty")] = orNull(r.tty);
    o[QStringLiteral("pseudo_terminal")] = r.pseudoTerminal;
    o[QStringLiteral("access")] = orNull(r.access);
    switch (r.parity) {
    case ParityCheck::NotChecked: o[QStringLiteral("parity_mark_space")] = null; break;
    case ParityCheck::Kept: o[QStringLiteral("parity_mark_space")] = QStringLiteral("kept"); break;
    case ParityCheck::Emulated: o[QStringLiteral("parity_mark_space")] = QStringLiteral("emulated"); break;
    case ParityCheck::Lost: o[QStringLiteral("parity_mark_space")] = QStringLiteral("lost"); break;
    }
    o[QStringLiteral("echo")] = orNull(r.echo);
    if (r.meterAnswered())
        o[QStringLiteral("meter")] = QJsonObject{{QStringLiteral("address"), r.address},
                                                 {QStringLiteral("serial"), orNull(r.serial)},
                                                 {QStringLiteral("version"), r.version}};
    else
        o[QStringLiteral("meter")] = null;
    o[QStringLiteral("rtt_ms")] = orNull(medianMs(r.roundTrips));
    o[QStringLiteral("suggested_timeout_ms")] = orNull(suggestedTimeoutMs(r.roundTrips));
    o[QStringLiteral("problems")] = QJsonArray::fromStringList(problems);
    return o;
}

QString lineReportText(const LineReport &r, const QStringList &problems)
{
    const QString none = QStringLiteral("—");
    QStringList lines;
    auto line = [&lines](const QString &label, const QString &value) { lines << label + value; };
    line(QStringLiteral("Порт : "), r.port == r.device ? r.port : QStringLiteral("%1 (%2)").arg(r.port, r.device));
    QString kind = none;
    if (!r.exists)
        kind = QStringLiteral("не найдено");
    else if (r.tty == false)
        kind = QStringLiteral("не терминал");
    else if (r.tty == true)
        kind = r.pseudoTerminal ? QStringLiteral("псевдотерминал") : QStringLiteral("последовательный порт");
    line(QStringLiteral("Устройство : "), kind);
    line(QStringLiteral("Доступ : "), r.access ? yesNo(*r.access) : none);
    switch (r.parity) {
    case ParityCheck::NotChecked: line(QStringLiteral("Четность MARK/SPACE : "), none); break;
    case ParityCheck::Kept: line(QStringLiteral("Четность MARK/SPACE : "), QStringLiteral("держит")); break;
    case ParityCheck::Emulated:
        line(QStringLiteral("Четность MARK/SPACE : "),
             QStringLiteral("эмулируется (у псевдотерминала нет линии: девятый бит читает из настроек "
                            "терминала программа на другом конце)"));
        break;
    case ParityCheck::Lost:
        line(QStringLiteral("Четность MARK/SPACE : "), QStringLiteral("не держит (%1)").arg(r.parityDetail));
        break;
    }
    line(QStringLiteral("Эхо : "), r.echo ? yesNo(*r.echo) : none);
    if (r.meterAnswered())
        line(QStringLiteral("Счетчик : "), QStringLiteral("адрес %1, заводской № %2, версия ПО %3")
                                               .arg(r.address)
                                               .arg(r.serial ? QString::number(*r.serial) : none, r.version));
    else
        line(QStringLiteral("Счетчик : "), r.contact == MeterContact::NotTried
                                               ? none
                                               : QStringLiteral("не отвечает (адрес %1)").arg(r.address));
    const auto rtt = medianMs(r.roundTrips);
    line(QStringLiteral("Время обмена : "),
         rtt ? QStringLiteral("%1 мс (медиана %2 обменов)").arg(*rtt).arg(r.roundTrips.size()) : none);
    const auto suggested = suggestedTimeoutMs(r.roundTrips);
    line(QStringLiteral("Рекомендуемый таймаут : "), suggested ? QStringLiteral("%1 мс").arg(*suggested) : none);
    lines << QString();
    if (problems.isEmpty()) {
        lines << QStringLiteral("Линия исправна.");
    } else {
        lines << QStringLiteral("Неисправности:");
        for (const QString &p : problems)
            lines << QStringLiteral("- ") + p;
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QJsonObject statusJson(quint8 status)
{
    QJsonObject o;
    o[QStringLiteral("status")] = int(status);
    o[QStringLiteral("lines")] = QJsonArray::fromStringList(statusLines(status));
    return o;
}

QString statusText(quint8 status)
{
    const QStringList lines = statusLines(status);
    if (lines.isEmpty())
        return QStringLiteral("Статус %1: нет замечаний\n").arg(hexByte(status));
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString jsonLine(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

void printOut(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

void printErr(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

int finish(const Options &o, FrameVerdict verdict, int exit, const QString &text)
{
    verdict.ok = exit == ExitDone;
    if (!verdict.ok && verdict.error.isEmpty())
        verdict.error = text;
    if (o.json)
        printOut(jsonLine(verdict.toJson()));
    if (!text.isEmpty() && (!o.json || !verdict.ok))
        printErr(text);
    return exit;
}

int finishSaid(const Options &o, int exit, const QString &said)
{
    FrameVerdict verdict;
    verdict.error = said;
    return finish(o, verdict, exit, QString());
}

int verdictUsageError(bool json, const QString &text)
{
    if (json) {
        FrameVerdict verdict;
        verdict.error = text;
        printOut(jsonLine(verdict.toJson()));
    }
    return usageError(text);
}

int printFrames(const Options &o, const QList<QByteArray> &frames)
{
    QJsonArray list;
    QString text;
    for (const QByteArray &frame : frames) {
        const QString hex = QString::fromLatin1(frame.toHex(' ').toUpper());
        const QString name = frameName(quint8(frame.at(0)));
        list.append(QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("hex"), hex}});
        text += hex + QLatin1Char(' ') + name + QLatin1Char('\n');
    }
    printOut(o.json ? jsonLine(QJsonObject{{QStringLiteral("frames"), list}}) : text);
    return ExitDone;
}

int finishVerified(const Options &o, FrameVerdict verdict, const QString &text)
{
    if (!o.json)
        for (const QString &what : verdict.notReadBack)
            printErr(QStringLiteral("%1 не читается из счетчика: не проверен.").arg(what));
    if (verdict.verified.value_or(false))
        return finish(o, verdict, ExitDone, text);
    return finish(o, verdict, ExitMismatch, ReadBackVerdict{QString(), verdict.mismatches, {}}.text());
}

} // namespace zk::cli
