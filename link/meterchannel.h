#pragma once
// The narrow view of a serial line that the exchange engine needs. SerialChannel is
// the real one; tests use fakes.

#include "core/error.h"

#include <QByteArray>
#include <QString>

namespace zk {

enum class Parity { None, Odd, Even, Mark, Space };

// Errors of the serial channel, carrying their own (English) text and, where a system
// call failed, its errno and the device it was about.
class SerialChannelError : public Error
{
public:
    explicit SerialChannelError(const QString &text, int systemError = 0, const QString &device = QString())
        : Error(text), m_systemError(systemError), m_device(device) {}
    int systemError() const { return m_systemError; }
    QString device() const { return m_device; }

private:
    int m_systemError;
    QString m_device;
};

class MeterChannel
{
public:
    virtual ~MeterChannel() = default;
    virtual bool isOpen() const = 0;
    virtual Parity parity() const = 0;
    // Applies to the open device before returning: the next byte carries the new ninth bit.
    virtual void setParity(Parity parity) = 0;
    virtual void setRts(bool raised) = 0;
    // Synchronous: returns once the bytes are written (false when not open).
    virtual bool writeBytes(const QByteArray &bytes) = 0;
    bool writeByte(quint8 byte) { return writeBytes(QByteArray(1, char(byte))); }
    // Every byte waiting now; empty at once when none.
    virtual QByteArray readAvailable() = 0;
    // Received bytes are reported once `bytes` (1..255) of them are waiting, not one by
    // one: the engine asks for the whole reply, or the rest of one whose head it has.
    // Nothing is lost. A hint: a channel may report earlier, and reports what came
    // when the line has had the time for the rest.
    virtual void setWakeThreshold(int bytes) { (void)bytes; }
    // Each stage of an exchange switches the ninth bit and the length of the answer it awaits.
    void switchLine(Parity parity, int wakeBytes)
    {
        setWakeThreshold(wakeBytes);
        setParity(parity);
    }
};

} // namespace zk
