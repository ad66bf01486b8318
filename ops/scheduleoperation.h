#pragma once
// The tariff schedule's read as an operation: its frames and the replies into one
// schedule; and the read-back of a schedule write. (The checks of a write are
// scheduleWriteProblem() beside the schedule.)

#include "ops/verify.h"
#include "schedule/tariffschedule.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace zk {

// One read of the schedule: its frames, and each reply into the schedule as the page
// shows it. The calendars start empty, as the page empties them when the read is queued.
class ScheduleRead
{
public:
    explicit ScheduleRead(int firmware);

    QList<QByteArray> requests() const { return m_requests; }
    // An accepted reply of one of the read's functions; returns the log lines it gives.
    QStringList take(const QByteArray &frame);
    // Whether `function` is one of the read's.
    static bool isReadFunction(quint8 function);
    int answered() const { return m_answered; }
    bool complete() const { return m_answered >= m_requests.size(); }
    const TariffSchedule &schedule() const { return m_schedule; }

private:
    QList<QByteArray> m_requests;
    TariffSchedule m_schedule;
    int m_answered = 0;
};

// The read-back of a schedule write: the schedule's read sequence after it (its replies are
// the read-back's, not the page's), compared with what was written.
class ScheduleReadBack
{
public:
    ScheduleReadBack(const TariffSchedule &written, int firmware) : m_written(written), m_firmware(firmware), m_read(firmware) {}
    ScheduleRead &read() { return m_read; }
    const ScheduleRead &read() const { return m_read; }
    ReadBackVerdict verdict() const { return {QString(), scheduleMismatches(m_written, m_read.schedule(), m_firmware), {}}; }

private:
    TariffSchedule m_written;
    int m_firmware;
    ScheduleRead m_read;
};

} // namespace zk
