#pragma once
// Numbered serial ports ("COM3") on top of device paths.
//
// The preferences store holds an optional map, group "Ports", values "COM<n>" = device
// path. A port number without an entry falls back to the fixed numbering
//   /dev/ttyS<k>   = COM<k+1>   (k 0..31)
//   /dev/ttyUSB<k> = COM<k+33>  (k 0..7)
//   /dev/ttyACM<k> = COM<k+41>  (k 0..)
// The ranges keep the numbering one-to-one: /dev/ttyUSB8 would collide with
// /dev/ttyACM0, so it has no default number and needs a map entry.

#include <QString>
#include <QStringList>

namespace zk {

// The store the map lives in: QSettings(organisation, application), user scope.
// Defaults to "Kalvimet" / "Zelta-KN"; empty arguments restore the defaults.
void setPortMapStore(const QString &organisation, const QString &application);
QString portMapOrganisation();
QString portMapApplication();

// Device path of port `portNum` (map entry first); empty for numbers below 1.
QString devicePathForPort(int portNum);

// Port number of a device path (map first, then the fixed numbering); 0 when the
// path has no number.
int portNumberForDevice(const QString &path);

// Writes (or, with an empty path, removes) the map entry of one port.
void mapPort(int portNum, const QString &path);

// Port number of a port name: the digits after "COM" (any letter case); 0 otherwise.
int portNumberOfName(const QString &name);

// Names ("COM1", "COM33", ...) of the ports this machine has: the map entries whose
// device exists plus the serial devices the kernel lists in `ttyClassDir`, sorted by
// port number, each number once. Legacy /dev/ttyS nodes without a UART behind them
// (no device link, or UART type 0 "unknown") are left out.
QStringList systemPortNames(const QString &ttyClassDir = QStringLiteral("/sys/class/tty"));

} // namespace zk
