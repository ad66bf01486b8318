#include "ops/linescan.h"

#include "link/frame.h"
#include "meter/readout.h"

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

LineScan::LineScan(QObject *parent) : QObject(parent), m_channel(this)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &LineScan::onTimeout);
    connect(&m_channel, &SerialChannel::rxChar, this, &LineScan::onRx);
}

void LineScan::start()
{
    m_meters.clear();
    m_cancelled = false;
    m_channel.open(); // throws: nothing started
    m_running = true;
    m_address = 0;
    m_current = ScannedMeter{};
    m_acknowledged = false;
    m_function = fn::ReadVersion;
    emit addressStarted(0);
    sendAddress();
}

void LineScan::cancel()
{
    if (!m_running)
        return;
    m_cancelled = true;
    finish();
}

void LineScan::sendAddress()
{
    m_stage = Stage::Ack;
    m_buffer.clear();
    try {
        m_channel.readAvailable(); // what came after the last exchange belongs to none
        m_channel.switchLine(Parity::Mark, 1);
        m_channel.setRts(true);
        m_channel.writeByte(quint8(m_address));
    } catch (const SerialChannelError &) {
        // The exchange then ends in its timeout.
    }
    m_timer.start(scanAckTimeoutMs(m_replyTimeoutMs));
}

void LineScan::request(quint8 function)
{
    m_stage = Stage::Reply;
    m_buffer.clear();
    const Head head = function == fn::ReadVersion ? req::ReadVersion : req::ReadSerial;
    const int data = function == fn::ReadVersion ? 2 : layout::Serial;
    try {
        m_channel.switchLine(Parity::Space, data + 4);
        m_channel.writeBytes(makeFrame(head));
    } catch (const SerialChannelError &) {
    }
    m_timer.start(m_replyTimeoutMs);
}

void LineScan::onRx()
{
    if (!m_running)
        return;
    QByteArray bytes;
    try {
        bytes = m_channel.readAvailable();
    } catch (const SerialChannelError &) {
        return;
    }
    if (bytes.isEmpty() || !m_timer.isActive())
        return;
    if (m_stage == Stage::Ack) {
        // Only the meter's own address is an acknowledgement; an echo of a two-wire
        // adapter is the same byte and is taken as one too, which the request then shows.
        if (quint8(bytes.at(0)) != quint8(m_address))
            return;
        m_timer.stop();
        m_acknowledged = true;
        request(m_function);
        return;
    }
    m_buffer.append(bytes);
    const ReplyCheck check = checkReply(m_buffer, m_function, true);
    if (check.verdict == Verdict::Incomplete) {
        m_channel.setWakeThreshold(m_buffer.size() >= 2 ? std::max(1, int(quint8(m_buffer.at(1))) + 2 - int(m_buffer.size())) : 1);
        return;
    }
    m_timer.stop();
    exchangeDone(check.verdict == Verdict::Accepted ? m_buffer : QByteArray());
}

void LineScan::onTimeout()
{
    if (!m_running)
        return;
    if (m_stage == Stage::Ack && m_function == fn::ReadVersion && !m_acknowledged) {
        nextAddress(); // nobody at this address
        return;
    }
    exchangeDone(QByteArray());
}

void LineScan::exchangeDone(const QByteArray &reply)
{
    if (m_function == fn::ReadVersion) {
        if (const auto v = decodeVersion(reply))
            m_current.version = v->text;
        m_function = fn::ReadSerial;
        sendAddress();
        return;
    }
    if (const auto s = decodeSerial(reply))
        m_current.serial = *s;
    nextAddress();
}

void LineScan::nextAddress()
{
    if (m_acknowledged) {
        m_current.address = m_address;
        m_meters.append(m_current);
        emit meterFound(m_current);
    }
    if (m_address >= 255) {
        finish();
        return;
    }
    ++m_address;
    m_current = ScannedMeter{};
    m_acknowledged = false;
    m_function = fn::ReadVersion;
    emit addressStarted(m_address);
    if (m_running)
        sendAddress();
}

void LineScan::finish()
{
    m_timer.stop();
    m_running = false;
    try {
        m_channel.close();
    } catch (const SerialChannelError &) {
    }
    emit finished();
}

} // namespace zk
