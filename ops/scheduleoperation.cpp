#include "ops/scheduleoperation.h"

#include "link/frame.h"

namespace zk {

ScheduleRead::ScheduleRead(int firmware) : m_requests(scheduleReadFrames(firmware))
{
    m_schedule.holidays.clear();
    m_schedule.transfers.clear();
}

bool ScheduleRead::isReadFunction(quint8 f)
{
    return f == req::ReadZones.function || f == req::ReadDayTypes.function || f == req::ReadHoliday.function
        || f == req::ReadTransfer.function;
}

QStringList ScheduleRead::take(const QByteArray &frame)
{
    QStringList log;
    if (frame.isEmpty() || !isReadFunction(quint8(frame.at(0))))
        return log;
    ++m_answered;
    const quint8 f = quint8(frame.at(0));
    if (f == req::ReadZones.function) {
        if (const auto reply = decodeZones(frame))
            for (int zone : applyZoneReply(m_schedule, *reply))
                log << badZoneTimeText(zone);
    } else if (f == req::ReadDayTypes.function) {
        const auto masks = decodeDayTypes(frame);
        for (int z = 0; z < tariff::Zones; ++z)
            m_schedule.zones[size_t(z)].days = masks ? (*masks)[size_t(z)] : 0;
    } else if (f == req::ReadHoliday.function) {
        if (const auto h = decodeHoliday(frame); h && m_schedule.holidays.size() < tariff::ListCapacity)
            m_schedule.holidays << *h;
    } else if (const auto t = decodeTransfer(frame); t && m_schedule.transfers.size() < tariff::ListCapacity) {
        m_schedule.transfers << *t;
    }
    return log;
}

} // namespace zk
