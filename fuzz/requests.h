#pragma once
// The requests fuzz_reply puts in flight, picked by the input's first byte (modulo the
// count); fuzz_corpus writes its seeds with the same indexes.

#include "link/frame.h"

namespace zk::fuzz {

// Every request head the program sends, one per function code.
constexpr Head Requests[] = {
    req::ReadVersion, req::ReadSerial, req::WriteSerial, req::WriteAddress, req::ReadClock,
    req::WriteClock, req::ReadCorrection, req::WriteCorrection, req::ReadZones, req::WriteZones,
    req::ReadDdm, req::WriteDdm, req::ReadStatus, req::ReadIndication, req::WriteIndication,
    req::ReadReadings, req::ReadTurnOn, req::ReadAnnual, req::ReadConsumption, req::Password,
    req::ReadBilling, req::WriteBilling, req::ResetBilling, req::ReadHoliday, req::WriteHoliday,
    req::ReadTransfer, req::WriteTransfer, req::ReadDdmStamps, req::ReadDayTypes, req::WriteDayTypes,
};
constexpr int RequestCount = int(sizeof Requests / sizeof Requests[0]);

// The index of the request with this function code (the first of its heads).
constexpr int requestIndex(quint8 function)
{
    for (int i = 0; i < RequestCount; ++i)
        if (Requests[i].function == function)
            return i;
    return 0;
}

} // namespace zk::fuzz
