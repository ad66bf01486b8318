#pragma once
// Frames on the meter line: CRC-16, request heads, reply acceptance, error codes
// and the version reply.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

namespace zk {

// CRC-16/MODBUS: reflected polynomial 0xA001, initial 0xFFFF, no final XOR.
quint16 crc16(const char *data, int size);
inline quint16 crc16(const QByteArray &bytes) { return crc16(bytes.constData(), int(bytes.size())); }

// Appends the CRC, low byte first.
QByteArray withCrc(QByteArray frame);

// True when the last two bytes of `frame` are the CRC of the bytes before them.
bool crcMatches(const QByteArray &frame);

// The fixed two-byte head of a request: function code and length byte.
// The length byte is the number of data bytes plus 2 and is never computed.
struct Head {
    quint8 function;
    quint8 length;
};

// The function codes by name. A code two requests share is named by its write: 0x09
// also switches on the one-tariff mode, 0x27 and 0x29 with no data clear the holidays
// and the transfers.
namespace fn {
constexpr quint8 ReadVersion = 0x00;
constexpr quint8 ReadSerial = 0x01;
constexpr quint8 WriteSerial = 0x02;
constexpr quint8 WriteAddress = 0x03;
constexpr quint8 ReadClock = 0x04;
constexpr quint8 WriteClock = 0x05;
constexpr quint8 ReadCorrection = 0x06;
constexpr quint8 WriteCorrection = 0x07;
constexpr quint8 ReadZones = 0x08;
constexpr quint8 WriteZones = 0x09;
constexpr quint8 ReadDdm = 0x0A;
constexpr quint8 WriteDdm = 0x0B;
constexpr quint8 ReadStatus = 0x0C;
constexpr quint8 ReadIndication = 0x0D;
constexpr quint8 WriteIndication = 0x0E;
constexpr quint8 ReadReadings = 0x0F;
constexpr quint8 ReadTurnOn = 0x11;
constexpr quint8 ReadAnnual = 0x12;
constexpr quint8 ReadConsumption = 0x13;
constexpr quint8 Password = 0x14;
constexpr quint8 ReadBilling = 0x22;
constexpr quint8 WriteBilling = 0x23;
constexpr quint8 ResetBilling = 0x24;
constexpr quint8 ReadHoliday = 0x26;
constexpr quint8 WriteHoliday = 0x27;
constexpr quint8 ReadTransfer = 0x28;
constexpr quint8 WriteTransfer = 0x29;
constexpr quint8 ReadDdmStamps = 0x2A;
constexpr quint8 ReadDayTypes = 0x2E;
constexpr quint8 WriteDayTypes = 0x2F;
} // namespace fn

// The codes that write: their replies carry nothing the program reads.
inline constexpr quint8 WriteFunctions[] = {
    fn::WriteSerial, fn::WriteAddress, fn::WriteClock, fn::WriteCorrection, fn::WriteZones,
    fn::WriteDdm, fn::WriteIndication, fn::WriteBilling, fn::ResetBilling, fn::WriteHoliday,
    fn::WriteTransfer, fn::WriteDayTypes,
};

// The request catalogue.
namespace req {
constexpr Head ReadVersion{fn::ReadVersion, 2};
constexpr Head ReadSerial{fn::ReadSerial, 2};
constexpr Head WriteSerial{fn::WriteSerial, 5};
constexpr Head WriteAddress{fn::WriteAddress, 3};
constexpr Head ReadClock{fn::ReadClock, 2};
constexpr Head WriteClock{fn::WriteClock, 10};
constexpr Head ReadCorrection{fn::ReadCorrection, 2};
constexpr Head WriteCorrection{fn::WriteCorrection, 3};
constexpr Head ReadZones{fn::ReadZones, 2};
constexpr Head OneTariff{fn::WriteZones, 2};
constexpr Head WriteZones{fn::WriteZones, 20};
constexpr Head ReadDdm{fn::ReadDdm, 2};
constexpr Head WriteDdm{fn::WriteDdm, 11};
constexpr Head ReadStatus{fn::ReadStatus, 2};
constexpr Head ReadIndication{fn::ReadIndication, 2};
constexpr Head WriteIndication{fn::WriteIndication, 3};
constexpr Head ReadReadings{fn::ReadReadings, 2};
constexpr Head ReadTurnOn{fn::ReadTurnOn, 2};
constexpr Head ReadAnnual{fn::ReadAnnual, 3};
constexpr Head ReadConsumption{fn::ReadConsumption, 3};
constexpr Head Password{fn::Password, 4};
constexpr Head ReadBilling{fn::ReadBilling, 2};
constexpr Head WriteBilling{fn::WriteBilling, 4};
constexpr Head ResetBilling{fn::ResetBilling, 2};
constexpr Head ReadHoliday{fn::ReadHoliday, 3};
constexpr Head ClearHolidays{fn::WriteHoliday, 2};
constexpr Head WriteHoliday{fn::WriteHoliday, 5};
constexpr Head ReadTransfer{fn::ReadTransfer, 3};
constexpr Head ClearTransfers{fn::WriteTransfer, 2};
constexpr Head WriteTransfer{fn::WriteTransfer, 7};
constexpr Head ReadDdmStamps{fn::ReadDdmStamps, 2};
constexpr Head ReadDayTypes{fn::ReadDayTypes, 2};
constexpr Head WriteDayTypes{fn::WriteDayTypes, 8};
} // namespace req

// One head per function code the program sends (and so every code a reply may carry),
// in the order of the codes; a shared code by its write.
inline constexpr Head Catalogue[] = {
    req::ReadVersion, req::ReadSerial, req::WriteSerial, req::WriteAddress, req::ReadClock,
    req::WriteClock, req::ReadCorrection, req::WriteCorrection, req::ReadZones, req::WriteZones,
    req::ReadDdm, req::WriteDdm, req::ReadStatus, req::ReadIndication, req::WriteIndication,
    req::ReadReadings, req::ReadTurnOn, req::ReadAnnual, req::ReadConsumption, req::Password,
    req::ReadBilling, req::WriteBilling, req::ResetBilling, req::ReadHoliday, req::WriteHoliday,
    req::ReadTransfer, req::WriteTransfer, req::ReadDdmStamps, req::ReadDayTypes, req::WriteDayTypes,
};

// Head + data + CRC. `data` must hold exactly head.length - 2 bytes; a mismatch is
// a programming error and is caught by an assertion in debug builds.
QByteArray makeFrame(Head head, const QByteArray &data = QByteArray());

// Every function code the program sends (and so every code a reply may carry).
bool isCatalogueFunction(quint8 function);

// The write codes whose replies carry nothing the program reads.
bool isWriteFunction(quint8 function);

// Text for an error reply's code ("Неизвестная ошибка" for codes outside 1..6).
QString errorCodeText(int code);

// Error reply as a meter sends it: function | 0x80, 3, code, CRC.
QByteArray makeErrorReply(quint8 function, quint8 code);

enum class Verdict { Accepted, Incomplete, Rejected };

struct ReplyCheck {
    Verdict verdict = Verdict::Incomplete;
    QString text;            // rejection text; empty for a late reply
    bool errorReply = false; // rejected as a meter's error reply
};

// Reply acceptance over the whole receive buffer, in this order: error reply,
// completeness, then (first failure decides) not awaited, wrong function, too long,
// CRC. `awaiting` is true while the reply timeout runs.
ReplyCheck checkReply(const QByteArray &buffer, quint8 requestFunction, bool awaiting);

// Packed BCD: high nibble tens, low nibble units; nibbles above 9 are not refused.
inline int bcd(quint8 b) { return (b >> 4) * 10 + (b & 0x0F); }
// The reverse for 0..99.
inline quint8 toBcd(int v) { return quint8(((v / 10) % 10) << 4 | (v % 10)); }

// Data byte i of a frame (frame offset 2 + i); nullopt when the frame is too short.
std::optional<quint8> dataByte(const QByteArray &frame, int i);
// Number of data bytes in an accepted frame (its length byte minus 2, bounded by the size).
int dataSize(const QByteArray &frame);
// Data bytes [i, i + bytes) as a little-endian number (bytes 1..4); the caller has checked
// the size.
quint32 dataNumber(const QByteArray &frame, int i, int bytes);

struct FirmwareVersion {
    QString text; // e.g. "1.12"
    int number;   // the number after the stop, e.g. 12
};
// The version reply (function 0x00); nullopt when it carries fewer than two data bytes.
std::optional<FirmwareVersion> decodeVersion(const QByteArray &frame);

// Upper-case hexadecimal bytes, each followed by a space ("00 02 80 71 ").
QString hexBytes(const QByteArray &bytes);

} // namespace zk
