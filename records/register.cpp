#include "records/register.h"

#include <QDir>
#include <QFileInfo>
#include <climits>
#include <cmath>
#include <limits>

namespace zk {

namespace {

DbfField character(const char *name, int length)
{
    return {QString::fromLatin1(name), DbfType::Character, length, 0};
}

DbfField numeric(const char *name, int length, int decimals = 0)
{
    return {QString::fromLatin1(name), DbfType::Numeric, length, decimals};
}

DbfField date(const char *name)
{
    return {QString::fromLatin1(name), DbfType::Date, 8, 0};
}

DbfField logical(const char *name)
{
    return {QString::fromLatin1(name), DbfType::Logical, 1, 0};
}

constexpr const char *ReadingColumns[6] = {"T_1_C", "T_2_C", "T_3_C", "T_1_1", "T_2_1", "T_3_1"};
constexpr const char *DdmColumns[3] = {"DDM_A", "DDM_B", "DDM_C"};

// Rounds to the nearest integer, halves to even (the rounding of the default FP mode).
std::optional<int> roundedInt(double value)
{
    const double r = std::nearbyint(value);
    if (!(r >= double(INT_MIN) && r <= double(INT_MAX)))
        return std::nullopt;
    return int(r);
}

std::optional<int> intOf(const QVariant &v)
{
    if (v.typeId() == QMetaType::Double)
        return roundedInt(v.toDouble());
    if (v.typeId() == QMetaType::QString) {
        bool ok = false;
        const int n = v.toString().trimmed().toInt(&ok);
        if (ok)
            return n;
    }
    return std::nullopt;
}

std::optional<QString> textOf(const QVariant &v)
{
    if (v.typeId() == QMetaType::QString)
        return v.toString().trimmed();
    if (v.typeId() == QMetaType::Double)
        return QString::number(v.toDouble(), 'g', 15);
    return std::nullopt;
}

std::optional<QTime> timeOf(const QVariant &v)
{
    if (v.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString text = v.toString().trimmed();
    for (const char *format : {"hh:mm:ss", "h:mm:ss", "hh:mm", "h:mm"}) {
        const QTime t = QTime::fromString(text, QLatin1String(format));
        if (t.isValid())
            return t;
    }
    return std::nullopt;
}

template <typename T>
QVariant orNull(const std::optional<T> &value)
{
    return value ? QVariant::fromValue(*value) : QVariant();
}

int dateKey(QDate d)
{
    return d.year() * 10000 + d.month() * 100 + d.day();
}

} // namespace

QVector<DbfField> registerFields()
{
    QVector<DbfField> f = {
        numeric("C_NUMBER", 10), character("VERSION", 5), numeric("ADDRESS", 6),
        numeric("TURN_ON", 10), numeric("STATUS", 5), date("C_DATE"), character("C_TIME", 8),
        logical("SUMMER"), numeric("PASS", 10),
    };
    for (const char *name : ReadingColumns)
        f.append(numeric(name, 15, 5));
    for (const char *name : DdmColumns)
        f.append(numeric(name, 10));
    f << numeric("COUNT_DAY", 6) << numeric("COUNT_HOUR", 6) << logical("REPORT")
      << date("DATE_REC") << character("TIME_REC", 5) << numeric("NCORRECT", 6)
      << numeric("INDICATOR", 6) << numeric("ZONE_0", 6);
    for (int i = 1; i <= 5; ++i)
        f.append(character(QByteArray("ZONE_" + QByteArray::number(i)).constData(), 10));
    for (int i = 0; i <= 5; ++i)
        f.append(character(QByteArray("TIME_" + QByteArray::number(i)).constData(), 8));
    return f;
}

DbfTable openOrCreateRegister(const QString &dir)
{
    const QDir folder(dir);
    const QString wanted = QString::fromLatin1(RegisterFileName);
    // A register brought over from another system may differ in letter case.
    const QStringList found = folder.entryList({wanted}, QDir::Files | QDir::Hidden);
    const QString path = folder.filePath(found.isEmpty() || found.contains(wanted) ? wanted : found.first());
    // What a creation cut short by a kill left behind goes with the next use.
    DbfTable::removeLeftovers(path);
    if (!found.isEmpty())
        return DbfTable::open(path);
    try {
        return DbfTable::create(path, registerFields());
    } catch (const DbfError &) {
        // Another program may have created it a moment ago.
        if (!QFileInfo::exists(path))
            throw;
        return DbfTable::open(path);
    }
}

RecordReadings readingsFromTexts(const QStringList &texts, const QLocale &locale)
{
    QLocale strict = locale;
    strict.setNumberOptions(locale.numberOptions() | QLocale::RejectGroupSeparator);
    RecordReadings out;
    for (int i = 0; i < int(out.size()) && i < texts.size(); ++i) {
        bool ok = false;
        const double value = strict.toDouble(texts.at(i), &ok);
        if (!ok || !std::isfinite(value))
            break;
        out[i] = value;
    }
    return out;
}

void recordWrite(DbfTable &table, const SettingsRecord &r, const QDateTime &now)
{
    QVariantList values(table.fields().size());
    auto set = [&](const char *column, const QVariant &value) {
        values[table.column(QString::fromLatin1(column))] = value;
    };
    set("C_NUMBER", r.number);
    set("VERSION", r.version);
    set("ADDRESS", orNull(r.address));
    set("TURN_ON", r.turnOn);
    set("STATUS", r.status);
    set("C_DATE", orNull(r.clockDate));
    set("C_TIME", r.clockTime ? QVariant(r.clockTime->toString(QStringLiteral("hh:mm"))) : QVariant());
    set("SUMMER", orNull(r.summer));
    set("PASS", orNull(r.password));
    for (int i = 0; i < 6; ++i)
        set(ReadingColumns[i], orNull(r.readings[i]));
    for (int i = 0; i < 3; ++i)
        set(DdmColumns[i], orNull(r.ddm[i]));
    set("COUNT_DAY", orNull(r.countDay));
    set("COUNT_HOUR", orNull(r.countHour));
    set("REPORT", false);
    set("DATE_REC", now.date());
    set("TIME_REC", now.time().toString(QStringLiteral("hh:mm")));
    set("NCORRECT", r.nCorrect);
    set("INDICATOR", orNull(r.indicator));
    table.append(values);
}

std::optional<LastSettings> latestSettings(const DbfTable &table)
{
    const int dateCol = table.column(u"DATE_REC");
    const int zone0Col = table.column(u"ZONE_0");
    const int indicatorCol = table.column(u"INDICATOR");
    int zoneCols[5];
    for (int i = 0; i < 5; ++i)
        zoneCols[i] = table.column(QStringLiteral("ZONE_%1").arg(i + 1));
    int timeCols[6];
    for (int i = 0; i < 6; ++i)
        timeCols[i] = table.column(QStringLiteral("TIME_%1").arg(i));

    int latest = 0;
    qint64 row = -1;
    table.scan([&](const DbfRow &r) {
        if (!r.isDeleted()) {
            const int key = r.dateKey(dateCol);
            if (key > latest) {
                latest = key;
                row = r.index();
            }
        }
        return true;
    });
    if (row < 0)
        return std::nullopt;

    const QVariantList values = table.record(row);
    LastSettings s;
    s.zone0 = intOf(values.at(zone0Col));
    for (int i = 0; i < 5; ++i)
        s.zones[i] = textOf(values.at(zoneCols[i]));
    for (int i = 0; i < 6; ++i)
        s.times[i] = timeOf(values.at(timeCols[i]));
    s.indicator = intOf(values.at(indicatorCol));
    return s;
}

qint64 nextFreeNumber(const DbfTable &table)
{
    const int col = table.column(u"C_NUMBER");
    std::optional<double> highest;
    table.scan([&](const DbfRow &r) {
        if (!r.isDeleted()) {
            const std::optional<double> n = r.number(col);
            if (n && (!highest || *n > *highest))
                highest = n;
        }
        return true;
    });
    if (!highest)
        return 1;
    // Another program's register may have a wider C_NUMBER than ours, with numbers beyond
    // 64 bits: they count as the largest (or smallest) number the result can hold, and the
    // callers refuse a next number that large.
    constexpr double TwoTo63 = 9223372036854775808.0;
    const double rounded = std::nearbyint(*highest);
    if (rounded >= TwoTo63)
        return std::numeric_limits<qint64>::max();
    if (rounded < -TwoTo63)
        return std::numeric_limits<qint64>::min() + 1;
    return qint64(rounded) + 1;
}

QVector<qint64> browseRows(const DbfTable &table, QDate from, QDate to, int serial)
{
    const int dateCol = table.column(u"DATE_REC");
    const int numberCol = table.column(u"C_NUMBER");
    QVector<qint64> rows;
    if (!from.isValid() || !to.isValid() || from > to)
        return rows;
    const int first = dateKey(from);
    const int last = dateKey(to);
    table.scan([&](const DbfRow &r) {
        if (r.isDeleted())
            return true;
        const int key = r.dateKey(dateCol);
        if (key == 0 || key < first || key > last)
            return true;
        if (serial > 0 && r.number(numberCol) != double(serial))
            return true;
        rows.append(r.index());
        return true;
    });
    return rows;
}

QString summerText(std::optional<bool> summer)
{
    if (!summer)
        return QString();
    return *summer ? QStringLiteral("да") : QStringLiteral("нет");
}

} // namespace zk
