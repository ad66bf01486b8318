#pragma once
// Everything one poll cycle reads from a meter, as decoded values.

#include "link/frame.h"
#include "meter/readout.h"

#include <QByteArray>
#include <optional>

namespace zk {

struct MeterInfo {
    std::optional<FirmwareVersion> version;
    std::optional<int> serial;
    std::optional<MeterClock> clock;
    std::optional<int> correction;
    std::optional<Triple> ddm;
    std::optional<quint8> status;
    std::optional<quint8> indication;
    std::optional<Readings> readings;
    std::optional<TurnOn> turnOn;
    std::optional<BillingDay> billing;
    std::optional<StampCounts> ddmStamps;

    // Decodes an accepted reply of a polled function into its value; false for a
    // function the poll cycle does not read or a reply shorter than its layout.
    bool take(const QByteArray &frame);
    // Every value the poll cycle reads for this firmware has arrived.
    bool complete() const;
    // The DDM time stamps are polled from firmware version number 10 on.
    bool hasDdmStamps() const { return version && version->number >= 10; }
};

} // namespace zk
