#include "ops/linescan.h"

#include "link/frame.h"
#include "meter/readout.h"
#include "ops/linecheck.h"

#include <QJsonObject>
#include <algorithm>

namespace zk {

QJsonObject ScannedMeter::toJson() const
{
    return QJsonObject{{QStringLiteral("address"), address},
                       {QStringLiteral("serial"), serial >= 0 ? QJsonValue(serial) : QJsonValue()},
                       {QStringLiteral("version"), version.isEmpty() ? QJsonValue() : QJsonValue(version)}};
}

QString ScannedMeter::text() const
{
    return QStringLiteral("%1: № %2, версия %3")
        .arg(address)
        .arg(serial >= 0 ? QString::number(serial) : QStringLiteral("?"),
             version.isEmpty() ? QStringLiteral("?") : version);
}

int scanAckTimeoutMs(int replyTimeoutMs)
{
    return std::clamp(replyTimeoutMs / 4, 20, 100);
}

LineScan::LineScan(QObject *parent) : QObject(parent), m_channel(this) {}

void LineScan::open()
{
    m_meters.clear();
    m_cancelled = false;
    m_failure.clear();
    m_channel.open();
}

void LineScan::run()
{
    LineListener in(m_channel);
    const int ackMs = scanAckTimeoutMs(m_replyTimeoutMs);
    const auto ask = [&](int address, Head head) {
        return lineExchange(m_channel, in, address, makeFrame(head), ackMs, m_replyTimeoutMs);
    };
    try {
        for (int address = 0; address <= 255 && !m_cancelled; ++address) {
            emit addressStarted(address);
            const LineExchange version = ask(address, req::ReadVersion);
            // Another byte than the address is noise, not a meter.
            if (version.contact == MeterContact::NoAck || version.contact == MeterContact::WrongAck)
                continue;
            ScannedMeter meter;
            meter.address = address;
            if (const auto v = decodeVersion(version.reply); v && version.contact == MeterContact::Answered)
                meter.version = v->text;
            in.pause(SendTickMs);
            const LineExchange serial = ask(address, req::ReadSerial);
            if (const auto s = decodeSerial(serial.reply); s && serial.contact == MeterContact::Answered)
                meter.serial = *s;
            m_meters.append(meter);
            emit meterFound(meter);
        }
    } catch (const SerialChannelError &e) {
        m_failure = e.text();
    }
    try {
        m_channel.close();
    } catch (const SerialChannelError &) {
    }
    emit finished();
}

} // namespace zk
