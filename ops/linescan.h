#pragma once
// A survey of the line: every address 0..255 in turn gets its address byte; a meter
// that acknowledges is asked for its firmware version and its serial number. Addresses
// that stay silent cost one short wait each, so a whole pass takes seconds, not the
// reply timeout 256 times. The survey has a channel of its own and no exchange engine:
// a silent address is the normal answer here, not a fault to count or log.

#include "link/serialchannel.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

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

    // Configure the port here (device or number, speed) before start().
    SerialChannel &channel() { return m_channel; }
    void setReplyTimeout(int ms) { m_replyTimeoutMs = ms; }

    // Opens the channel and starts at address 0. Throws SerialChannelError when the
    // port cannot be opened; otherwise finished() follows, after cancel() too.
    void start();
    void cancel();
    bool running() const { return m_running; }
    const QList<ScannedMeter> &meters() const { return m_meters; }
    bool cancelled() const { return m_cancelled; }

signals:
    void addressStarted(int address); // 0..255, for a progress display
    void meterFound(const zk::ScannedMeter &meter);
    void finished();

private:
    enum class Stage { Ack, Reply };
    void sendAddress();
    void onRx();
    void onTimeout();
    void request(quint8 function);
    void exchangeDone(const QByteArray &reply);
    void nextAddress();
    void finish();

    SerialChannel m_channel;
    QTimer m_timer;
    int m_replyTimeoutMs = 1000;
    int m_address = 0;
    Stage m_stage = Stage::Ack;
    quint8 m_function = 0;
    QByteArray m_buffer;
    ScannedMeter m_current;
    bool m_acknowledged = false;
    QList<ScannedMeter> m_meters;
    bool m_running = false;
    bool m_cancelled = false;
};

} // namespace zk
