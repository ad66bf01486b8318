#pragma once
// The settings write as one operation: what a request becomes under the modes and the
// meter's state, why it may not be sent, its frames, and what its record takes from the
// readout. The window fills a request from its controls, the command line from its
// options; both send what settingsFrames() makes of the result.

#include "meter/meterinfo.h"
#include "meter/settingswrite.h"
#include "ops/preferences.h"
#include "ops/verify.h"
#include "records/settingsrecord.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

namespace zk {

// What is asked of a settings write beyond the values it names.
struct SettingsRequest {
    SettingsWrite write;        // the values named; the clock's summer flag only when given
    bool summerGiven = false;   // the clock's summer-time flag was named; otherwise the meter's stays
    bool nextSerial = false;    // the serial number: the next free one (filled in by the caller)
    bool noCorrection = false;  // SQL mode: leave out the daily correction it carries by default
};

// The write a request makes for a meter as last read, with the window's defaults:
//  - the clock keeps the summer-time flag the meter reported unless one was given;
//  - in SQL mode the daily correction as last read, unless given or left out;
//  - in SQL mode a serial number written to a meter that reports 0 also writes the
//    address, the number mod 100, unless an address was given.
SettingsWrite settingsWithDefaults(const Modes &modes, const MeterInfo &meter, const SettingsRequest &request);

// Why the write may not be sent: a serial number this meter or mode does not take, a new
// password the mode locks, a value its frame cannot carry. Empty when it may.
QString settingsWriteProblem(const Modes &modes, int reportedSerial, const SettingsWrite &write);

// What the record of a completed write takes from a poll cycle: the number written or
// read, and the readout's texts as the window shows them.
ReadoutForRecord readoutOf(const MeterInfo &meter, const SettingsWrite &write);

// The verdict of frames sent to the meter: which it acknowledged (by function code, in
// order), the first it did not, and why; and, when the write was read back, whether the
// meter keeps what it acknowledged.
struct FrameVerdict {
    bool ok = false;
    QList<quint8> acknowledged;
    std::optional<quint8> failed;
    QString error;
    std::optional<bool> verified;  // nothing when not read back
    QList<Mismatch> mismatches;
    QStringList notReadBack;       // what no request reads back (the new password)

    // {"ok", "acknowledged": [names], "failed": name or null, "error": text or null,
    //  "verified": true, false or null, "mismatches": [{"what", "written", "read"}],
    //  "not_read_back": [names]}, the frames named by frameName().
    QJsonObject toJson() const;
    // What stays written after a failure, as the operator is told.
    QString acknowledgedText() const;
};

} // namespace zk
