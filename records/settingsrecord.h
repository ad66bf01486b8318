#pragma once
// The settings record of a completed write, built from the write itself and from
// what the readout showed when it completed. The window and the command line both
// record through this.

#include "meter/settingswrite.h"
#include "records/register.h"

#include <QLocale>
#include <QString>
#include <QStringList>

namespace zk {

// What the readout showed, as the window holds it.
struct ReadoutForRecord {
    int serial = 0;            // the serial number box
    QString version;           // firmware version text
    QString turnOnCount;       // raw half-minutes as decimal text
    quint8 status = 0;         // the last status byte
    QStringList readings;      // T_1_C, T_2_C, T_3_C, T_1_1, T_2_1, T_3_1 as shown
    QString corrections;       // the correction counter as shown
};

// The record: the conditional columns from the parts the write carried (NULL for
// the others), numbers that are not whole numbers as 0, readings up to the first
// text that does not convert.
SettingsRecord buildSettingsRecord(const SettingsWrite &write, const ReadoutForRecord &readout,
                                   const QLocale &locale = QLocale());

} // namespace zk
