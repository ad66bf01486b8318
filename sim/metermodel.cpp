#include "sim/metermodel.h"

#include <QJsonArray>
#include <algorithm>
#include <cmath>

namespace zk::sim {

namespace {

constexpr qint64 kMsPerDay = 86400000;
constexpr double kCountsPerKwh = 4000.0; // one count is 0.00025 kWh
constexpr quint32 kHalfMinutesPerDay = 2880;

const QDateTime &epoch2000()
{
    static const QDateTime e = naiveDateTime(QDate(2000, 1, 1), QTime(0, 0));
    return e;
}

bool readUInt(const QJsonObject &json, const char *key, quint64 max, quint64 *out, QString *error)
{
    const QJsonValue v = json.value(QLatin1String(key));
    if (v.isUndefined())
        return true;
    const double d = v.toDouble(-1);
    if (!v.isDouble() || d < 0 || d > double(max) || d != std::floor(d)) {
        *error = QStringLiteral("state field \"%1\" must be a whole number 0..%2").arg(QLatin1String(key)).arg(max);
        return false;
    }
    *out = quint64(d);
    return true;
}

template <typename T>
bool readField(const QJsonObject &json, const char *key, quint64 max, T *field, QString *error)
{
    quint64 v = quint64(*field);
    if (!readUInt(json, key, max, &v, error))
        return false;
    *field = T(v);
    return true;
}

QJsonArray toArray(const std::array<quint64, 3> &a)
{
    return QJsonArray{double(a[0]), double(a[1]), double(a[2])};
}

bool readCounts(const QJsonObject &json, const char *key, std::array<quint64, 3> *out, QString *error)
{
    const QJsonValue v = json.value(QLatin1String(key));
    if (v.isUndefined())
        return true;
    const QJsonArray a = v.toArray();
    if (!v.isArray() || a.size() != 3) {
        *error = QStringLiteral("state field \"%1\" must be an array of 3 counts").arg(QLatin1String(key));
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        const double d = a.at(i).toDouble(-1);
        if (d < 0 || d > double(kCountMask) || d != std::floor(d)) {
            *error = QStringLiteral("state field \"%1\" holds a count outside 0..2^40-1").arg(QLatin1String(key));
            return false;
        }
        (*out)[size_t(i)] = quint64(d);
    }
    return true;
}

int daysInMonthLeap(int month)
{
    static const int days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (month >= 1 && month <= 12) ? days[month - 1] : 0;
}

} // namespace

quint32 secondsSince2000(const QDateTime &t)
{
    const qint64 s = epoch2000().secsTo(t);
    return s <= 0 ? 0 : quint32(std::min<qint64>(s, 0xFFFFFFFFll));
}

MeterState::MeterState()
{
    // The schedule a meter leaves the factory with, all zones on every day type.
    zones = {{{1, 0, 0}, {2, 6, 30}, {3, 8, 30}, {2, 11, 30}, {3, 17, 30}, {2, 20, 30}}};
    dayTypes.fill(0xFF);
    static const quint8 defaultHolidays[12][2] = {
        {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {7, 1}, {23, 2}, {8, 3}, {1, 5}, {9, 5}, {12, 6}, {4, 11}};
    for (int i = 0; i < 12; ++i)
        holidays[size_t(i)] = Holiday{true, defaultHolidays[i][0], defaultHolidays[i][1]};
    // A meter that has been in service for well over a year, so that both journals
    // have something to show.
    readings = {{15604321, 27611234, 14398765}};
    billingReadings = {{15323521, 27114434, 14139565}};
    turnOnHalfMinutes = 500 * kHalfMinutesPerDay + 1234;
}

QJsonObject MeterState::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("serial"), double(serial));
    o.insert(QStringLiteral("address"), address);
    o.insert(QStringLiteral("password"), password);
    o.insert(QStringLiteral("clockOffsetMs"), double(clockOffsetMs));
    o.insert(QStringLiteral("summerTime"), summerTime);
    o.insert(QStringLiteral("correction"), correction);
    o.insert(QStringLiteral("correctionCounter"), correctionCounter);
    o.insert(QStringLiteral("ddm"), QJsonArray{double(ddm[0]), double(ddm[1]), double(ddm[2])});
    o.insert(QStringLiteral("statusExtra"), statusExtra);
    o.insert(QStringLiteral("indication"), indication);
    o.insert(QStringLiteral("readings"), toArray(readings));
    o.insert(QStringLiteral("billingReadings"), toArray(billingReadings));
    o.insert(QStringLiteral("turnOnHalfMinutes"), double(turnOnHalfMinutes));
    o.insert(QStringLiteral("billingDay"), billingDay);
    o.insert(QStringLiteral("billingHour"), billingHour);
    o.insert(QStringLiteral("oneTariff"), oneTariff);
    QJsonArray zs;
    for (const Zone &z : zones)
        zs.append(QJsonObject{{QStringLiteral("tariff"), z.tariff},
                              {QStringLiteral("hour"), z.hour},
                              {QStringLiteral("minute"), z.minute}});
    o.insert(QStringLiteral("zones"), zs);
    QJsonArray dts;
    for (quint8 m : dayTypes)
        dts.append(m);
    o.insert(QStringLiteral("dayTypes"), dts);
    QJsonArray hs;
    for (int i = 0; i < kSlots; ++i) {
        const Holiday &h = holidays[size_t(i)];
        if (h.used)
            hs.append(QJsonObject{{QStringLiteral("slot"), i},
                                  {QStringLiteral("day"), h.day},
                                  {QStringLiteral("month"), h.month}});
    }
    o.insert(QStringLiteral("holidays"), hs);
    QJsonArray ts;
    for (int i = 0; i < kSlots; ++i) {
        const Transfer &t = transfers[size_t(i)];
        if (t.used)
            ts.append(QJsonObject{{QStringLiteral("slot"), i},
                                  {QStringLiteral("date"), t.date.toString(Qt::ISODate)},
                                  {QStringLiteral("dayType"), t.dayType}});
    }
    o.insert(QStringLiteral("transfers"), ts);
    return o;
}

bool MeterState::loadJson(const QJsonObject &json, QString *error)
{
    MeterState s = *this;
    const QJsonValue offsetValue = json.value(QStringLiteral("clockOffsetMs"));
    if (!offsetValue.isUndefined()) {
        // Two centuries either way is far more than the BCD year can show.
        constexpr double kMaxOffsetMs = 200.0 * 366 * kMsPerDay;
        if (!offsetValue.isDouble() || std::fabs(offsetValue.toDouble()) > kMaxOffsetMs) {
            *error = QStringLiteral("state field \"clockOffsetMs\" must be a number of ms within 200 years");
            return false;
        }
        s.clockOffsetMs = qint64(offsetValue.toDouble());
    }
    if (!readField(json, "serial", kSerialMask, &s.serial, error)
        || !readField(json, "address", 255, &s.address, error)
        || !readField(json, "password", 65535, &s.password, error)
        || !readField(json, "correction", 255, &s.correction, error)
        || !readField(json, "correctionCounter", 255, &s.correctionCounter, error)
        || !readField(json, "statusExtra", 255, &s.statusExtra, error)
        || !readField(json, "indication", 255, &s.indication, error)
        || !readField(json, "turnOnHalfMinutes", 0xFFFFFF, &s.turnOnHalfMinutes, error)
        || !readField(json, "billingDay", 31, &s.billingDay, error)
        || !readField(json, "billingHour", 23, &s.billingHour, error)
        || !readCounts(json, "readings", &s.readings, error)
        || !readCounts(json, "billingReadings", &s.billingReadings, error))
        return false;
    if (json.contains(QStringLiteral("summerTime")))
        s.summerTime = json.value(QStringLiteral("summerTime")).toBool();
    if (json.contains(QStringLiteral("oneTariff")))
        s.oneTariff = json.value(QStringLiteral("oneTariff")).toBool();

    if (json.contains(QStringLiteral("ddm"))) {
        const QJsonArray a = json.value(QStringLiteral("ddm")).toArray();
        if (a.size() != 3) {
            *error = QStringLiteral("state field \"ddm\" must be an array of 3 numbers");
            return false;
        }
        for (int i = 0; i < 3; ++i) {
            const double d = a.at(i).toDouble(-1);
            if (d < 0 || d > 0xFFFFFF || d != std::floor(d)) {
                *error = QStringLiteral("state field \"ddm\" holds a number outside 0..16777215");
                return false;
            }
            s.ddm[size_t(i)] = quint32(d);
        }
    }
    if (json.contains(QStringLiteral("zones"))) {
        const QJsonArray a = json.value(QStringLiteral("zones")).toArray();
        if (a.size() != kZones) {
            *error = QStringLiteral("state field \"zones\" must hold 6 zones");
            return false;
        }
        for (int i = 0; i < kZones; ++i) {
            const QJsonObject z = a.at(i).toObject();
            Zone &zone = s.zones[size_t(i)];
            if (!readField(z, "tariff", 255, &zone.tariff, error) || !readField(z, "hour", 23, &zone.hour, error)
                || !readField(z, "minute", 59, &zone.minute, error))
                return false;
        }
    }
    if (json.contains(QStringLiteral("dayTypes"))) {
        const QJsonArray a = json.value(QStringLiteral("dayTypes")).toArray();
        if (a.size() != kZones) {
            *error = QStringLiteral("state field \"dayTypes\" must hold 6 masks");
            return false;
        }
        for (int i = 0; i < kZones; ++i) {
            const double d = a.at(i).toDouble(-1);
            if (d < 0 || d > 255 || d != std::floor(d)) {
                *error = QStringLiteral("state field \"dayTypes\" holds a mask outside 0..255");
                return false;
            }
            s.dayTypes[size_t(i)] = quint8(d);
        }
    }
    if (json.contains(QStringLiteral("holidays"))) {
        s.holidays.fill(Holiday());
        for (const QJsonValue &v : json.value(QStringLiteral("holidays")).toArray()) {
            const QJsonObject h = v.toObject();
            const int slot = h.value(QStringLiteral("slot")).toInt(-1);
            const int day = h.value(QStringLiteral("day")).toInt();
            const int month = h.value(QStringLiteral("month")).toInt();
            if (slot < 0 || slot >= kSlots || month < 1 || month > 12 || day < 1 || day > daysInMonthLeap(month)) {
                *error = QStringLiteral("state field \"holidays\" holds an invalid entry");
                return false;
            }
            s.holidays[size_t(slot)] = Holiday{true, quint8(day), quint8(month)};
        }
    }
    if (json.contains(QStringLiteral("transfers"))) {
        s.transfers.fill(Transfer());
        for (const QJsonValue &v : json.value(QStringLiteral("transfers")).toArray()) {
            const QJsonObject t = v.toObject();
            const int slot = t.value(QStringLiteral("slot")).toInt(-1);
            const QDate date = QDate::fromString(t.value(QStringLiteral("date")).toString(), Qt::ISODate);
            const int type = t.value(QStringLiteral("dayType")).toInt();
            if (slot < 0 || slot >= kSlots || !date.isValid() || type < 1 || type > 8) {
                *error = QStringLiteral("state field \"transfers\" holds an invalid entry");
                return false;
            }
            s.transfers[size_t(slot)] = Transfer{true, date, quint8(type)};
        }
    }
    *this = s;
    return true;
}

MeterModel::MeterModel(const SimClock &clock, const MeterState &initial)
    : m_clock(clock), m_state(initial), m_anchor(clock.now())
{
}

void MeterModel::setFirmware(int major, int minor)
{
    m_fwMajor = major;
    m_fwMinor = minor;
}

void MeterModel::advance()
{
    const QDateTime now = m_clock.now();
    qint64 remaining = m_anchor.msecsTo(now);
    if (remaining <= 0) {
        if (remaining < 0)
            m_anchor = now; // the wall clock went back: start counting again from here
        return;
    }
    const double countsPerMs = m_loadWatts / 1000.0 * kCountsPerKwh / 3600000.0;
    // Steps of a minute follow the tariff zones; a long pause is covered in at most
    // about 100000 steps.
    const qint64 step = std::max<qint64>(60000, remaining / 100000 + 1);
    QDateTime wall = m_anchor;
    while (remaining > 0) {
        const qint64 ms = std::min(step, remaining);
        const QDateTime stepStart = wall.addMSecs(m_state.clockOffsetMs);
        const int tariff = activeTariff(stepStart);
        m_fraction[size_t(tariff - 1)] += double(ms) * countsPerMs;
        wall = wall.addMSecs(ms);
        remaining -= ms;
        for (size_t t = 0; t < 3; ++t) {
            const double whole = std::floor(m_fraction[t]);
            m_fraction[t] -= whole;
            m_state.readings[t] = (m_state.readings[t] + quint64(whole)) & kCountMask;
        }
        // The billing day and hour came round within this step: the meter keeps the
        // readings of that moment as its billing-day set.
        if (latestBillingMoment(wall.addMSecs(m_state.clockOffsetMs)) > stepStart)
            m_state.billingReadings = m_state.readings;
    }
    m_turnOnRemainderMs += m_anchor.msecsTo(now);
    m_state.turnOnHalfMinutes = (m_state.turnOnHalfMinutes + quint32(m_turnOnRemainderMs / 30000)) & 0xFFFFFF;
    m_turnOnRemainderMs %= 30000;
    m_anchor = now;
}

QDateTime MeterModel::meterTime() const
{
    return m_clock.now().addMSecs(m_state.clockOffsetMs);
}

void MeterModel::setMeterTime(const QDateTime &t)
{
    m_state.clockOffsetMs = m_clock.now().msecsTo(t);
    m_state.statusExtra &= quint8(~0x40); // the clock is set now
}

quint8 MeterModel::statusByte() const
{
    const quint8 extra = m_state.statusExtra;
    if (extra == kStatusSwitchingOff)
        return extra; // the whole byte has one meaning then
    // Phase fields: A bits 0-1, B bits 2-3, C bits 4 and 7. A phase without a DDM
    // number reports "number not set" in its field, whatever the extra bits hold there.
    static const quint8 fieldMask[3] = {0x03, 0x0C, 0x90};
    static const quint8 notSet[3] = {0x02, 0x08, 0x80};
    quint8 status = extra;
    for (size_t p = 0; p < 3; ++p)
        if (m_state.ddm[p] == 0)
            status = quint8((status & ~fieldMask[p]) | notSet[p]);
    return status;
}

quint32 MeterModel::ddmStamp(int phase) const
{
    if (phase < 0 || phase > 2 || m_state.ddm[size_t(phase)] == 0)
        return 0;
    // Each unit was last heard from a few seconds ago, the phases one after another.
    const quint32 now = secondsSince2000(meterTime());
    const quint32 ago = quint32(7 + 11 * phase);
    return now > ago ? now - ago : 0;
}

int MeterModel::dayType(const QDate &date) const
{
    if (hasCalendars()) {
        for (const Transfer &t : m_state.transfers)
            if (t.used && t.date == date)
                return t.dayType;
        for (const Holiday &h : m_state.holidays)
            if (h.used && h.day == date.day() && h.month == date.month())
                return 8;
    }
    return date.dayOfWeek();
}

int MeterModel::activeTariff(const QDateTime &meterTime) const
{
    if (m_state.oneTariff)
        return 1;
    const int bit = dayType(meterTime.date()) - 1;
    const int minuteOfDay = meterTime.time().hour() * 60 + meterTime.time().minute();
    int best = -1, bestStart = -1;   // latest zone started today
    int last = -1, lastStart = -1;   // latest zone of the day, carried over from yesterday
    for (int z = 0; z < kZones; ++z) {
        if (hasCalendars() && !(m_state.dayTypes[size_t(z)] & (1u << bit)))
            continue;
        const Zone &zone = m_state.zones[size_t(z)];
        const int start = zone.hour * 60 + zone.minute;
        if (start <= minuteOfDay && start >= bestStart) {
            best = z;
            bestStart = start;
        }
        if (start >= lastStart) {
            last = z;
            lastStart = start;
        }
    }
    const int zone = best >= 0 ? best : last;
    if (zone < 0)
        return 1;
    const int tariff = m_state.zones[size_t(zone)].tariff;
    return (tariff >= 1 && tariff <= 3) ? tariff : 1;
}

QDateTime MeterModel::latestBillingMoment(const QDateTime &meterTime) const
{
    // Day 31 in a shorter month falls on its last day.
    const auto moment = [this](const QDate &month) {
        const int day = std::clamp<int>(m_state.billingDay, 1, month.daysInMonth());
        return naiveDateTime(QDate(month.year(), month.month(), day), QTime(m_state.billingHour % 24, 0));
    };
    const QDate thisMonth(meterTime.date().year(), meterTime.date().month(), 1);
    const QDateTime m = moment(thisMonth);
    return m <= meterTime ? m : moment(thisMonth.addMonths(-1));
}

void MeterModel::resetBilling()
{
    advance();
    m_state.billingReadings = m_state.readings;
}

std::array<double, 3> MeterModel::dailyCounts() const
{
    const double perDay = m_loadWatts / 1000.0 * 24.0 * kCountsPerKwh;
    std::array<double, 3> daily{{0, 0, 0}};
    if (m_state.oneTariff) {
        daily[0] = perDay;
        return daily;
    }
    // Share of an ordinary day under each tariff, from the zones alone.
    QDateTime t = naiveDateTime(QDate(2001, 1, 1), QTime(0, 0));
    for (int minute = 0; minute < 1440; minute += 10)
        daily[size_t(activeTariff(t.addSecs(minute * 60)) - 1)] += perDay / 144.0;
    return daily;
}

std::array<quint64, 3> MeterModel::countsBefore(double days) const
{
    const std::array<double, 3> daily = dailyCounts();
    std::array<quint64, 3> counts{};
    for (size_t t = 0; t < 3; ++t) {
        const double back = std::max(0.0, days) * daily[t];
        const double v = double(m_state.readings[t]) - back;
        counts[t] = v > 0 ? quint64(v) : 0;
    }
    return counts;
}

AnnualEntry MeterModel::annualEntry(int monthIndex) const
{
    const QDateTime now = meterTime();
    const int month = monthIndex + 1;
    const int year = month < now.date().month() ? now.date().year() : now.date().year() - 1;
    const QDateTime end = naiveDateTime(QDate(year, month, 1).addMonths(1), QTime(0, 0));
    const double days = double(end.msecsTo(now)) / double(kMsPerDay);

    AnnualEntry e;
    e.monthIndex = quint8(monthIndex);
    e.yearBcd = quint8((((year % 100) / 10) << 4) | (year % 10));
    e.counts = countsBefore(days);
    const double back = std::max(0.0, days) * kHalfMinutesPerDay;
    e.operatingHalfMinutes = back < m_state.turnOnHalfMinutes ? quint32(m_state.turnOnHalfMinutes - back) : 0;
    return e;
}

ConsumptionRecord MeterModel::consumptionRecord(int page) const
{
    const QDateTime now = meterTime();
    ConsumptionRecord r;
    r.page = quint8(page);
    r.stamp = naiveDateTime(now.date().addDays(-page), QTime(0, 0));
    r.record = quint8(epoch2000().daysTo(r.stamp) & 0xFF);
    r.counts = countsBefore(double(r.stamp.msecsTo(now)) / double(kMsPerDay));
    r.status = statusByte();
    return r;
}

} // namespace zk::sim
