#pragma once
// The preconditions of the operations: plain functions of the modes, the meter's state
// as last read and the values asked for. The window enables its controls by asking
// them; the command line refuses with their text before anything is sent.

#include "meter/settingswrite.h"
#include "ops/preferences.h"

#include <QString>
#include <optional>

namespace zk {

// The serial number may be typed (and "+" proposes one) in service mode only ...
bool serialEditableInMode(const Modes &modes);
// ... and only while the meter reports 0 (serialEditableFor()).
// Why a serial number may not be written to this meter; empty when it may.
QString serialWriteProblem(const Modes &modes, int reportedSerial);

// The new password may be written unless "NoUser" locked its box.
bool newPasswordEditable(const Modes &modes);
QString newPasswordProblem(const Modes &modes);

// The access password as the write action's enabled rule takes it: a whole number not
// above 65535. Empty when it is one, the refusal otherwise.
QString accessPasswordProblem(const QString &text);

// In SQL mode a serial number typed for a meter without one proposes the new address,
// the number mod 100; nothing otherwise.
std::optional<int> proposedAddress(const Modes &modes, int serial);

// In SQL mode a write carries the daily correction unless the operator leaves it out.
bool correctionByDefault(const Modes &modes);

// The number "+" proposes, or why there is none: beyond the largest serial number.
QString nextSerialProblem(qint64 next);

// Defect codes: the trimmed code, not empty and at most 64 characters (the column's width).
QString defectCodeProblem(const QString &code);

} // namespace zk
