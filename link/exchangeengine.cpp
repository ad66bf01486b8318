#include "link/exchangeengine.h"

#include <algorithm>
#include <QTime>

namespace zk {

// ").Возможно" without a space is the message as the operators know it; keep it.
const QString ExchangeEngine::WriteFailureText = QStringLiteral(
    "Во время записи установок произошла ошибка. Возможно, пароль для доступа некорректен "
    "(сообщение \"Неверный отклик\" на закладке \"Протокол\").Возможно время таймаута недостаточно "
    "(сообщение \"Timeout\" на закладке \"Протокол\").");

const Head ExchangeEngine::PollTable[PollEntries] = {
    req::ReadVersion,    // 0
    req::ReadSerial,     // 1
    req::ReadClock,      // 2
    req::ReadIndication, // 3
    req::ReadReadings,   // 4
    req::ReadDdm,        // 5
    req::ReadTurnOn,     // 6
    req::ReadStatus,     // 7
    req::ReadCorrection, // 8
    req::ReadBilling,    // 9
    req::ReadDdmStamps,  // 10: firmware 10 or more
};

ExchangeEngine::ExchangeEngine(MeterChannel *channel, EngineHost *host, QObject *parent)
    : QObject(parent), m_channel(channel), m_host(host)
{
    m_timer1.setInterval(50);
    // The send tick paces every exchange: a coarse timer may fire it up to 5 % late.
    m_timer1.setTimerType(Qt::PreciseTimer);
    m_timer2.setInterval(1000);
    m_timer2.setSingleShot(true);
    m_timerStart.setInterval(100);
    m_timerStart.setSingleShot(true);
    m_timerShape.setInterval(2000);
    m_timerShape.setSingleShot(true);
    connect(&m_timer1, &QTimer::timeout, this, &ExchangeEngine::sendTick);
    connect(&m_timer2, &QTimer::timeout, this, &ExchangeEngine::replyTimeout);
    connect(&m_timerStart, &QTimer::timeout, this, &ExchangeEngine::firstRequest);
    connect(&m_timerShape, &QTimer::timeout, this, &ExchangeEngine::indicatorExpired);

    setHandler(fn::ReadVersion, 2, [this](const QByteArray &frame) { handleVersion(frame); });
    for (quint8 f : WriteFunctions)
        setHandler(f, 0, [](const QByteArray &) {});
    setHandler(fn::WriteAddress, 0, [this](const QByteArray &) { m_host->setAddress(m_host->newAddress()); });
}

void ExchangeEngine::setHandler(quint8 function, int minData, Handler handler)
{
    m_handlers[function] = Entry{minData, std::move(handler)};
}

void ExchangeEngine::startIfIdle(QTimer &timer)
{
    if (!timer.isActive())
        timer.start();
}

QString ExchangeEngine::stamp()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

void ExchangeEngine::log(const QString &line)
{
    if (!m_host->terminalOn())
        return;
    m_host->addLogLine(line);
    if (!m_master)
        m_host->beep();
}

// ---- the command queue -------------------------------------------------------

void ExchangeEngine::enqueue(const QByteArray &frame)
{
    m_queue.append(frame);
    queueChanged();
}

void ExchangeEngine::enqueue(const QList<QByteArray> &frames)
{
    for (const QByteArray &frame : frames)
        enqueue(frame);
}

void ExchangeEngine::removeHead()
{
    if (m_queue.isEmpty())
        return;
    m_queue.removeFirst();
    queueChanged();
}

void ExchangeEngine::clearQueue()
{
    if (m_queue.isEmpty())
        return;
    m_queue.clear();
    queueChanged();
}

void ExchangeEngine::queueChanged()
{
    if (!m_queue.isEmpty()) {
        if (m_connected) {
            m_current = m_queue.first();
            startIfIdle(m_timer1);
        } else {
            clearQueue();
        }
        return;
    }
    if (!m_connected)
        return;

    if (m_settingsPending || m_schedulePending) {
        clearWritePending();
        m_host->showVerdict(WriteVerdict::Success);
        m_timerShape.start(); // each verdict shows for its full two seconds
        m_host->recordWrite();
        m_host->displayReset();
    }

    const Head head = PollTable[m_pollIndex];
    ++m_pollIndex;
    if (m_pollIndex > 9 && m_firmware < 10)
        m_pollIndex = 0;
    if (m_pollIndex > 10)
        m_pollIndex = 0;
    enqueue(makeFrame(head));
}

void ExchangeEngine::queueReset()
{
    m_timer2.stop();
    if (m_settingsPending || m_schedulePending) {
        clearWritePending();
        m_host->showVerdict(WriteVerdict::Failure);
        m_timerShape.start();
        clearQueue();
        m_timer1.stop();
        m_host->reportWriteFailure(WriteFailureText);
        startIfIdle(m_timer1);
    } else {
        clearQueue();
    }
}

// ---- connection --------------------------------------------------------------

void ExchangeEngine::startAfterConnect()
{
    m_timeouts = 0; // every session counts its own
    startIfIdle(m_timerStart);
}

void ExchangeEngine::startSession()
{
    m_deselect = false;
    clearWritePending();
    m_connected = true;
    startAfterConnect();
}

void ExchangeEngine::stopAfterDisconnect()
{
    m_connected = false;
    clearWritePending();
    clearQueue();
    m_search = false;
    m_timer1.stop();
    m_timer2.stop();
    m_timerStart.stop();
}

void ExchangeEngine::firstRequest()
{
    m_timerStart.stop();
    m_sent = 0;
    m_host->clearLog();
    m_pollIndex = 0;
    clearQueue();
    enqueue(makeFrame(req::ReadVersion));
}

void ExchangeEngine::indicatorExpired()
{
    m_timerShape.stop();
    m_host->hideIndicator();
    m_host->resetAction();
}

void ExchangeEngine::setReplyTimeout(int ms)
{
    // QTimer restarts a running timer when its interval changes.
    m_timer2.setInterval(ms);
}

void ExchangeEngine::startAddressSearch()
{
    m_search = true;
    m_host->setAddress(0);
}

// ---- one exchange ------------------------------------------------------------

void ExchangeEngine::sendTick()
{
    if (!m_channel->isOpen() || m_timer2.isActive())
        return;
    m_timer1.stop();
    m_buffer.clear();
    m_exchangeOver = false;
    try {
        m_channel->switchLine(Parity::Mark, 1); // the acknowledgement is one byte
        const quint8 address = quint8((m_host->address() + (m_deselect ? 1 : 0)) & 0xFF);
        m_channel->setRts(true);
        m_channel->writeByte(address);
        if (m_master)
            log(stamp() + QStringLiteral(" Send ")
                + QStringLiteral("%1").arg(address, 2, 16, QLatin1Char('0')).toUpper());
    } catch (const SerialChannelError &) {
        // The exchange then ends in a timeout.
    }
    m_host->setStatusText(0, QString::number(m_sent));
    m_timer2.start();
}

void ExchangeEngine::onRxChar()
{
    if (!m_channel->isOpen())
        return;
    m_search = false;
    m_host->setFindAddressEnabled(false);
    m_host->setStatusText(1, QString());

    const QByteArray bytes = m_channel->readAvailable();
    if (bytes.isEmpty())
        return;
    if (m_master)
        log(stamp() + QStringLiteral(" Received: ") + hexBytes(bytes));

    if (m_channel->parity() == Parity::Mark) {
        // An acknowledgement that comes after its timeout is not answered: the next
        // send tick may already be putting an address byte on the half-duplex line.
        if (m_timer2.isActive() && quint8(bytes.at(0)) == m_host->address()) {
            m_channel->switchLine(Parity::Space, replyWakeBytes());
            m_channel->setRts(true);
            m_channel->writeBytes(m_current);
            if (m_master)
                log(stamp() + QStringLiteral(" Send ") + hexBytes(m_current));
            ++m_sent;
        }
        return;
    }

    // Bytes after the exchange was decided (a glitch of the line driver turning
    // around, say) belong to no request: they must not turn a finished exchange
    // into a late reply. A reply after a timeout is still checked.
    if (m_exchangeOver) {
        if (m_master)
            log(stamp() + QStringLiteral(" Отброшены байты вне обмена: ") + hexBytes(bytes));
        return;
    }
    m_timeouts = 0;
    m_host->setWriteEnabled(true);
    m_buffer.append(bytes);
    const quint8 function = m_current.isEmpty() ? 0 : quint8(m_current.at(0));
    const ReplyCheck check = checkReply(m_buffer, function, m_timer2.isActive());
    // With the head in, the rest of the reply wakes the program once, not once a byte.
    wakeFor(check.verdict == Verdict::Incomplete && m_buffer.size() >= 2
                ? int(quint8(m_buffer.at(1))) + 2 - int(m_buffer.size())
                : 1);
    switch (check.verdict) {
    case Verdict::Accepted:
        m_exchangeOver = true;
        m_host->setGauges(function == fn::ReadAnnual, function == fn::ReadConsumption);
        m_timer2.stop();
        accept();
        break;
    case Verdict::Incomplete:
        break;
    case Verdict::Rejected:
        m_exchangeOver = true;
        if (!check.text.isEmpty())
            log(check.text);
        m_host->replyRejected(check);
        if (!m_queue.isEmpty()) {
            queueReset();
            removeHead();
        }
        break;
    }
}

void ExchangeEngine::accept()
{
    const QByteArray frame = m_buffer;
    m_host->replyAccepted(frame);
    const auto it = m_handlers.find(quint8(frame.at(0)));
    if (it != m_handlers.end()) {
        if (dataSize(frame) < it->second.minData) {
            log(QStringLiteral("Отклик короче требуемого"));
        } else {
            try {
                it->second.handler(frame);
            } catch (...) {
                // The error goes on to the application's report; the exchange still ends.
                removeHead();
                throw;
            }
        }
    }
    removeHead();
}

void ExchangeEngine::handleVersion(const QByteArray &frame)
{
    const auto version = decodeVersion(frame);
    if (!version)
        return;
    m_firmware = version->number;
    m_host->firmwareChanged(*version);
}

int ExchangeEngine::replyWakeBytes() const
{
    // A function code, a length, the data the request's decoder needs, and the CRC: the
    // whole of most replies, so they wake the program once. A shorter answer (an error
    // reply is five bytes) is reported once the line has had the time for this many.
    int data = 0;
    if (!m_current.isEmpty()) {
        const auto it = m_handlers.find(quint8(m_current.at(0)));
        if (it != m_handlers.end())
            data = it->second.minData;
    }
    return std::clamp(data + 4, 4, 255);
}

void ExchangeEngine::wakeFor(int bytes)
{
    try {
        m_channel->setWakeThreshold(std::max(bytes, 1));
    } catch (const SerialChannelError &) {
        // Only a hint: the bytes then come one by one.
    }
}

void ExchangeEngine::replyTimeout()
{
    m_timer2.stop();
    wakeFor(1); // what came of a reply cut short is read now
    if (m_deselect) {
        m_deselect = false;
        startIfIdle(m_timer1);
        return;
    }
    if (m_search) {
        const int address = m_host->address();
        m_host->setAddress(address >= 255 ? 0 : address + 1);
        if (!m_queue.isEmpty())
            queueReset();
        return;
    }
    if (m_master)
        log(QTime::currentTime().toString(QStringLiteral("hh:mm:ss:zzz")) + QStringLiteral(" Timeout."));
    else
        log(QStringLiteral("Timeout."));
    m_host->replyMissing();
    if (!m_queue.isEmpty())
        queueReset();
    m_host->setFindAddressEnabled(true);
    ++m_timeouts;
    if (m_timeouts > 5) {
        m_host->setWriteEnabled(false);
        if (m_sql)
            m_host->setAddress(0);
        m_host->displayReset();
    }
}

void ExchangeEngine::onTxEmpty()
{
    m_channel->setRts(false);
}

void ExchangeEngine::onBreak()
{
    m_host->setStatusText(1, QStringLiteral("Break received"));
}

} // namespace zk
