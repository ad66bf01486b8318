#pragma once
// A survey of the line: every address 0..255 in turn gets its address byte; a meter
// that acknowledges is asked for its firmware version and its serial number. Addresses
// that stay silent cost one short wait each, so a whole pass takes seconds, not the
// reply timeout 256 times. The survey has a channel of its own and no exchange engine:
// a silent address is the normal answer here, not a fault to count or log.

#include "link/serialchannel.h"

#include <QList>
#include <QObject>
#include <QString>

class QJsonObject;

namespace zk {

struct ScannedMeter {
    int address = 0;
    int serial = -1;  // -1: acknowledged, but the serial number did not come
    QString version;  // empty: acknowledged, but the version did not come
    QJsonObject toJson() const;
    // "7: № 4242, версия 1.12"
    QString text() const;
};

// How long an address byte waits for its acknowledgement: a meter answers it within a
// few byte times, so the reply timeout is not waited out at every silent address.
int scanAckTimeoutMs(int replyTimeoutMs);

class LineScan : public QObject
{
    Q_OBJECT
public:
    explicit LineScan(QObject *parent = nullptr);

    // Configure the port here (device or number, speed) before open().
    SerialChannel &channel() { return m_channel; }
    void setReplyTimeout(int ms) { m_replyTimeoutMs = ms; }

    // Takes the port; throws SerialChannelError when it cannot be opened.
    void open();
    // Surveys every address of the open port, the event loop running meanwhile, then
    // closes it and emits finished(). cancel() ends it after the exchange under way.
    void run();
    void cancel() { m_cancelled = true; }
    bool cancelled() const { return m_cancelled; }
    const QList<ScannedMeter> &meters() const { return m_meters; }
    // The port's failure that ended the survey early; empty otherwise.
    QString failure() const { return m_failure; }

signals:
    void addressStarted(int address); // 0..255, for a progress display
    void meterFound(const zk::ScannedMeter &meter);
    void finished();

private:
    SerialChannel m_channel;
    int m_replyTimeoutMs = 1000;
    QList<ScannedMeter> m_meters;
    bool m_cancelled = false;
    QString m_failure;
};

} // namespace zk
