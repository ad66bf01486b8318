#pragma once
// The virtual meter's memory and the values it derives from it: clock, readings that
// grow with time, turn-on time, status, DDM time stamps and the two journals.

#include "sim/simclock.h"

#include <QByteArray>
#include <QDate>
#include <QJsonObject>
#include <QString>
#include <array>
#include <cstdint>

namespace zk::sim {

constexpr quint16 kFactoryPassword = 1;
constexpr quint8 kDefaultAddress = 1;
constexpr int kSlots = 16;          // holiday and transfer tables
constexpr int kZones = 6;
constexpr int kAnnualEntries = 12;
constexpr int kConsumptionPages = 61;
constexpr quint32 kSerialMask = 0x1FFFF; // 17-bit serial number
constexpr quint64 kCountMask = 0xFFFFFFFFFFull; // 40-bit energy counts
constexpr quint8 kStatusSwitchingOff = 0xFF;    // status byte of a meter switching off

struct Zone {
    quint8 tariff = 1;
    quint8 hour = 0;
    quint8 minute = 0;
    bool operator==(const Zone &o) const { return tariff == o.tariff && hour == o.hour && minute == o.minute; }
};

struct Holiday {
    bool used = false;
    quint8 day = 0;
    quint8 month = 0;
    bool operator==(const Holiday &o) const { return used == o.used && day == o.day && month == o.month; }
};

struct Transfer {
    bool used = false;
    QDate date;
    quint8 dayType = 0; // 1..7 Monday..Sunday, 8 holiday
    bool operator==(const Transfer &o) const { return used == o.used && date == o.date && dayType == o.dayType; }
};

// Everything the meter keeps in its non-volatile memory. Saved as JSON by --state.
struct MeterState {
    quint32 serial = 0;
    quint8 address = kDefaultAddress;
    quint16 password = kFactoryPassword;
    qint64 clockOffsetMs = 0; // meter clock minus wall clock
    bool summerTime = true;
    quint8 correction = 0x20; // bits 0-4 magnitude, bit 5 positive
    quint8 correctionCounter = 0;
    std::array<quint32, 3> ddm{{0, 0, 0}};
    quint8 statusExtra = 0;   // status bits not derived from the DDM numbers
    quint8 indication = 0x0F;
    std::array<quint64, 3> readings{{0, 0, 0}};
    std::array<quint64, 3> billingReadings{{0, 0, 0}};
    quint32 turnOnHalfMinutes = 0;
    quint8 billingDay = 1;
    quint8 billingHour = 0;
    bool oneTariff = false;
    std::array<Zone, kZones> zones{};
    std::array<quint8, kZones> dayTypes{};
    std::array<Holiday, kSlots> holidays{};
    std::array<Transfer, kSlots> transfers{};

    MeterState();

    QJsonObject toJson() const;
    // Fills the fields present in `json`; false with a message on a malformed field.
    bool loadJson(const QJsonObject &json, QString *error);
};

struct AnnualEntry {
    quint8 monthIndex = 0;
    quint8 yearBcd = 0; // two-digit year of the month the entry closes
    std::array<quint64, 3> counts{};
    quint32 operatingHalfMinutes = 0;
};

struct ConsumptionRecord {
    quint8 page = 0;
    quint8 record = 0;
    QDateTime stamp;
    std::array<quint64, 3> counts{};
    quint8 status = 0;
};

class MeterModel
{
public:
    explicit MeterModel(const SimClock &clock, const MeterState &initial = MeterState());

    // Firmware version as MAJOR.MINOR; the number after the stop gates the calendars.
    void setFirmware(int major, int minor);
    int firmwareMajor() const { return m_fwMajor; }
    int firmwareMinor() const { return m_fwMinor; }
    bool hasCalendars() const { return m_fwMinor >= 10; }

    // Energy drawn by the virtual load, in watts (1200 W by default).
    void setLoadWatts(double watts) { m_loadWatts = watts; }

    // Brings readings and turn-on time up to the clock's present time.
    void advance();

    MeterState &state() { return m_state; }
    const MeterState &state() const { return m_state; }

    QDateTime meterTime() const;
    void setMeterTime(const QDateTime &t);

    quint8 statusByte() const;
    // Seconds since 2000-01-01 00:00 of the last exchange with each DDM unit; 0 when
    // the phase has no DDM number.
    quint32 ddmStamp(int phase) const;

    // Tariff 1..3 in force at a meter time, by zones, day types, holidays and transfers.
    int activeTariff(const QDateTime &meterTime) const;

    // Copies the present readings into the billing-day set (function 0x24). The meter
    // does the same by itself whenever its clock passes the billing day and hour.
    void resetBilling();
    // The latest billing day and hour at or before `meterTime`.
    QDateTime latestBillingMoment(const QDateTime &meterTime) const;

    AnnualEntry annualEntry(int monthIndex) const;
    ConsumptionRecord consumptionRecord(int page) const;

private:
    std::array<double, 3> dailyCounts() const;
    std::array<quint64, 3> countsBefore(double days) const;
    int dayType(const QDate &date) const; // 1..7, 8 = holiday

    const SimClock &m_clock;
    MeterState m_state;
    int m_fwMajor = 1;
    int m_fwMinor = 12;
    double m_loadWatts = 1200.0;
    QDateTime m_anchor;                      // wall time up to which growth is counted
    std::array<double, 3> m_fraction{{0, 0, 0}}; // parts of a count not yet whole
    qint64 m_turnOnRemainderMs = 0;
};

// Seconds from 2000-01-01 00:00:00 to `t` (0 before that).
quint32 secondsSince2000(const QDateTime &t);

} // namespace zk::sim
