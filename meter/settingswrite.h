#pragma once
// The settings write: what to write, the frames that write it, and the password
// rules. No widgets: the window fills a SettingsWrite from its controls, the
// command line from its options.

#include "meter/readout.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>
#include <QTime>
#include <optional>

namespace zk {

// The meter's factory access password, the start text of both password boxes.
extern const QString FactoryPassword;

// A password text as the meter gets it: a whole number as its low 16 bits (so a
// negative number is sent as its 16-bit two's complement, and typing the same text
// again always gives the same password); anything else as 0.
quint16 passwordValue(const QString &text);
// The password frame 0x14 with the password's low byte first.
QByteArray passwordFrame(const QString &text);

// The enabled rule of the write action after a password edit: connected, the access
// password a whole number up to 65535, the new password not a whole number above
// 65535 and, with a new password to write, a whole number up to 65535.
bool writeAllowed(bool connected, const QString &accessPassword, const QString &newPassword,
                  bool writeNewPassword);

// A serial number may be written only to a meter that reports 0, one without a number yet.
constexpr bool serialEditableFor(int reportedSerial) { return reportedSerial == 0; }
// The address a serial number proposes in SQL mode: the number mod 100.
constexpr int addressOfSerial(int serial) { return serial % 100; }

// The correction byte: magnitude in bits 0-4, bit 5 set for zero and positive values.
quint8 correctionByte(int correction);

struct ClockSetting {
    QDate date;
    QTime time;
    bool summer = false;
};

// What one write carries; an empty optional is a box left unchecked.
struct SettingsWrite {
    QString accessPassword = FactoryPassword;
    std::optional<ClockSetting> clock;        // "Установить время"
    std::optional<QString> newPassword;       // "Записать новый пароль"
    std::optional<int> correction;            // "Установить суточную коррекцию", -31..31
    std::optional<int> serial;                // an edited serial number, 0..MaxSerialNumber
    std::optional<int> address;               // "Записать адрес", 0..255
    std::optional<BillingDay> billing;        // "Записать РДЧ"
    std::optional<Triple> ddm;                // "Записать номера ДДМ", each 0..16777215
    std::optional<quint8> indication;         // "Установить индикацию", bits 0-3
    bool resetTariff = false;                 // "Сброс тарифного расписания"
};

// A value the frames cannot carry, as the operator is told; empty when all fit.
QString settingsProblem(const SettingsWrite &write);

// The frames of a write in the order they are sent: access password, clock, new
// password (only when its text differs from the access password's), correction,
// serial number, address, billing day and hour, DDM numbers, indication, one-tariff.
QList<QByteArray> settingsFrames(const SettingsWrite &write);

// Individual frames.
QByteArray clockFrame(const ClockSetting &clock);
QByteArray serialFrame(int serial);
QByteArray ddmFrame(const Triple &numbers);

// What a write frame writes, in words ("пароль", "время", ...).
QString frameName(quint8 function);

// The reset of the billing-day readings: the access password, then 0x24.
QList<QByteArray> billingResetFrames(const QString &accessPassword);

} // namespace zk
