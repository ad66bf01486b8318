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
    case 0x00: return store(version, decodeVersion(frame));
    case 0x01: return store(serial, decodeSerial(frame));
    case 0x04: return store(clock, decodeClock(frame));
    case 0x06: return store(correction, decodeCorrection(frame));
    case 0x0A: return store(ddm, decodeDdm(frame));
    case 0x0C: return store(status, decodeStatus(frame));
    case 0x0D: return store(indication, decodeIndication(frame));
    case 0x0F: return store(readings, decodeReadings(frame));
    case 0x11: return store(turnOn, decodeTurnOn(frame));
    case 0x22: return store(billing, decodeBilling(frame));
    case 0x2A: return store(ddmStamps, decodeDdmStamps(frame));
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
