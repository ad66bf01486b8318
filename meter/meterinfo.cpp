#include "meter/meterinfo.h"

namespace zk {

namespace {
template<typename T>
bool store(std::optional<T> &slot, const std::optional<T> &value)
{
    if (!value)
        return false;
    slot = value;
    return true;
}
} // namespace

bool MeterInfo::take(const QByteArray &frame)
{
    if (frame.isEmpty())
        return false;
    switch (quint8(frame.at(0))) {
    case fn::ReadVersion: return store(version, decodeVersion(frame));
    case fn::ReadSerial: return store(serial, decodeSerial(frame));
    case fn::ReadClock: return store(clock, decodeClock(frame));
    case fn::ReadCorrection: return store(correction, decodeCorrection(frame));
    case fn::ReadDdm: return store(ddm, decodeDdm(frame));
    case fn::ReadStatus: return store(status, decodeStatus(frame));
    case fn::ReadIndication: return store(indication, decodeIndication(frame));
    case fn::ReadReadings: return store(readings, decodeReadings(frame));
    case fn::ReadTurnOn: return store(turnOn, decodeTurnOn(frame));
    case fn::ReadBilling: return store(billing, decodeBilling(frame));
    case fn::ReadDdmStamps: return store(ddmStamps, decodeDdmStamps(frame));
    default: return false;
    }
}

bool MeterInfo::complete() const
{
    const bool base = version && serial && clock && correction && ddm && status && indication
        && readings && turnOn && billing;
    return base && (!hasDdmStamps() || ddmStamps);
}

} // namespace zk
