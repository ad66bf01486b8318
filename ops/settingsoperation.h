#pragma once
// The settings write as one operation: what a request becomes under the modes and the
// meter's state, why it may not be sent, its frames, and what its record takes from the
// readout. The window fills a write from its controls, the command line a request from its
// options; both drive SettingsWriteOperation with the result.

#include "meter/meterinfo.h"
#include "meter/settingswrite.h"
#include "ops/preferences.h"
#include "ops/records.h"
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

// The settings write, step by step, the same from either front end:
//  1. prepare(): the write under the modes and the meter as last read, or why it may not be
//     sent (nothing touched yet: caption "Ошибка записи", status Invalid);
//  2. clearToSend(), just before sending: the record can be made (WriteRecords::ready()), in
//     SQL mode the PC clock set from the server, and a serial number for a meter that
//     reports 0 not written to another meter meanwhile;
//  3. frames() sent; the verdict is the engine's (read back with SettingsReadBack);
//  4. once the meter took every frame, the record: record() of what was sent (the command
//     line), or WriteRecords::record() of the boxes as they stand then (the window, whose
//     record reads them at that moment); both through readoutOf().
class SettingsWriteOperation
{
public:
    // `records` in SQL mode refers to the bench's production session (the caller keeps it).
    SettingsWriteOperation(const Modes &modes, WriteRecords records) : m_modes(modes), m_records(records) {}

    // The window's write: the boxes as they stand, whose start state holds the defaults.
    Outcome prepare(const SettingsWrite &write, const MeterInfo &meter);
    // The command line's: the request with the window's defaults (settingsWithDefaults()).
    Outcome prepare(const SettingsRequest &request, const MeterInfo &meter);
    Outcome clearToSend();
    const SettingsWrite &write() const { return m_write; }
    QList<QByteArray> frames() const { return settingsFrames(m_write); }
    // The readout of `meter` as last polled, with the drift per day shown when the write
    // completed (SQL mode).
    Outcome record(const MeterInfo &meter, const QString &driftText) { return m_records.record(m_write, meter, driftText); }

private:
    Modes m_modes;
    WriteRecords m_records;
    MeterInfo m_meter;
    SettingsWrite m_write;
};

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

    // The read-back's comparison taken into the verdict.
    void takeReadBack(const ReadBackVerdict &readBack);

    // {"ok", "acknowledged": [names], "failed": name or null, "error": text or null,
    //  "verified": true, false or null, "mismatches": [{"what", "written", "read"}],
    //  "not_read_back": [names]}, the frames named by frameName().
    QJsonObject toJson() const;
    // What stays written after a failure, as the operator is told.
    QString acknowledgedText() const;
};

} // namespace zk
