#pragma once
// Time as the virtual meter sees it. The meter's clock, its energy growth and the
// session timeout all read one SimClock, so tests can drive time by hand.

#include <QDateTime>
#include <QTimeZone>

namespace zk::sim {

// Wall-clock time as a naive local date and time (held in a UTC QDateTime, so no
// daylight-saving step ever shifts the arithmetic).
class SimClock
{
public:
    virtual ~SimClock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock : public SimClock
{
public:
    QDateTime now() const override
    {
        const QDateTime local = QDateTime::currentDateTime();
        return QDateTime(local.date(), local.time(), QTimeZone::utc());
    }
};

class ManualClock : public SimClock
{
public:
    explicit ManualClock(const QDateTime &start = QDateTime(QDate(2024, 3, 15), QTime(12, 0), QTimeZone::utc()))
        : m_now(start) {}
    QDateTime now() const override { return m_now; }
    void set(const QDateTime &t) { m_now = t; }
    void advanceMs(qint64 ms) { m_now = m_now.addMSecs(ms); }

private:
    QDateTime m_now;
};

// A naive date-time from its fields (seconds precision).
inline QDateTime naiveDateTime(const QDate &date, const QTime &time)
{
    return QDateTime(date, time, QTimeZone::utc());
}

} // namespace zk::sim
