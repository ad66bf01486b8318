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

// The request catalogue.
namespace req {
constexpr Head ReadVersion{0x00, 2};
constexpr Head ReadSerial{0x01, 2};
constexpr Head WriteSerial{0x02, 5};
constexpr Head WriteAddress{0x03, 3};
constexpr Head ReadClock{0x04, 2};
constexpr Head WriteClock{0x05, 10};
constexpr Head ReadCorrection{0x06, 2};
constexpr Head WriteCorrection{0x07, 3};
constexpr Head ReadZones{0x08, 2};
constexpr Head OneTariff{0x09, 2};
constexpr Head WriteZones{0x09, 20};
constexpr Head ReadDdm{0x0A, 2};
constexpr Head WriteDdm{0x0B, 11};
constexpr Head ReadStatus{0x0C, 2};
constexpr Head ReadIndication{0x0D, 2};
constexpr Head WriteIndication{0x0E, 3};
constexpr Head ReadReadings{0x0F, 2};
constexpr Head ReadTurnOn{0x11, 2};
constexpr Head ReadAnnual{0x12, 3};
constexpr Head ReadConsumption{0x13, 3};
constexpr Head Password{0x14, 4};
constexpr Head ReadBilling{0x22, 2};
constexpr Head WriteBilling{0x23, 4};
constexpr Head ResetBilling{0x24, 2};
constexpr Head ReadHoliday{0x26, 3};
constexpr Head ClearHolidays{0x27, 2};
constexpr Head WriteHoliday{0x27, 5};
constexpr Head ReadTransfer{0x28, 3};
constexpr Head ClearTransfers{0x29, 2};
constexpr Head WriteTransfer{0x29, 7};
constexpr Head ReadDdmStamps{0x2A, 2};
constexpr Head ReadDayTypes{0x2E, 2};
constexpr Head WriteDayTypes{0x2F, 8};
} // namespace req

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

struct FirmwareVersion {
    QString text; // e.g. "1.12"
    int number;   // the number after the stop, e.g. 12
};
// The version reply (function 0x00); nullopt when it carries fewer than two data bytes.
std::optional<FirmwareVersion> decodeVersion(const QByteArray &frame);

// Upper-case hexadecimal bytes, each followed by a space ("00 02 80 71 ").
QString hexBytes(const QByteArray &bytes);

} // namespace zk
