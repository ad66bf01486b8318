#pragma once
// Read-back verification: an acknowledgement says the meter received a frame, not that it
// keeps the value. What a write sent, compared with what the meter reads back after it.

#include "meter/meterinfo.h"
#include "meter/settingswrite.h"
#include "schedule/tariffschedule.h"

#include <QDateTime>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace zk {

// A value the meter did not keep: what it is, the value written and the value read.
struct Mismatch {
    QString what;
    QString written;
    QString read;
    bool operator==(const Mismatch &o) const { return what == o.what && written == o.written && read == o.read; }
};

// The read clock may differ from the written one, moved on by the time elapsed since,
// by this much.
inline constexpr qint64 ClockToleranceMs = 3000;

// The settings of `write` against the poll cycle `after` read after it. The clock: the read
// clock within ClockToleranceMs of the written clock plus `elapsedMs` (from the clock frame's
// acknowledgement to the clock reply's arrival), and the summer-time flag equal; the daily
// correction, serial number, billing day and hour, DDM numbers and indication equal. The
// address is checked by the meter answering the read-back at the new one.
QList<Mismatch> settingsMismatches(const SettingsWrite &write, const MeterInfo &after, qint64 elapsedMs);

// What a write carries that no request reads back: the new password.
QStringList notReadBack(const SettingsWrite &write);

// The schedule written against the one the read sequence gives back: one-tariff mode, and
// otherwise the zones, and from firmware 10 on their day types, the holidays and transfers.
QList<Mismatch> scheduleMismatches(const TariffSchedule &written, const TariffSchedule &read, int firmware);

// [{"what", "written", "read"}, ...]
QJsonArray mismatchesJson(const QList<Mismatch> &mismatches);
// One line a value: "индикация: записано 9, прочитано 3".
QString mismatchesText(const QList<Mismatch> &mismatches);

// What a read-back concludes: the meter was read again after the write and compared.
struct ReadBackVerdict {
    QString failure;            // why the meter was not read back; empty when it was
    QList<Mismatch> mismatches;
    QStringList notReadBack;    // what no request reads back (the new password)

    bool kept() const { return failure.isEmpty() && mismatches.isEmpty(); }
    // What the operator is told when not kept: the failure, or "Счетчик подтвердил запись,
    // но хранит другое:" and the values, one a line.
    QString text() const;
};

// The read-back of a settings write: the poll cycle that follows it, each accepted reply
// handed in as it arrives, compared with the write once the cycle is complete.
class SettingsReadBack
{
public:
    // `clockWritten`: when the meter acknowledged the clock frame; the clock read back is
    // expected moved on by the time from then to the clock reply's arrival.
    SettingsReadBack(const SettingsWrite &written, const QDateTime &clockWritten)
        : m_written(written), m_clockWritten(clockWritten)
    {
    }
    // A reply of the poll cycle, arrived at `arrival`; false for one the cycle does not read.
    bool take(const QByteArray &frame, const QDateTime &arrival = QDateTime::currentDateTime());
    bool complete() const { return m_read.complete(); }
    ReadBackVerdict verdict() const;

private:
    SettingsWrite m_written;
    QDateTime m_clockWritten;
    MeterInfo m_read;
    QDateTime m_clockArrival;
};

} // namespace zk
