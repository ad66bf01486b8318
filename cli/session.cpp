#include "cli/session.h"

#include "cli/report.h"
#include "ops/preferences.h"
#include "link/portmap.h"
#include "link/frame.h"
#include "meter/settingswrite.h"

#include <QEventLoop>
#include <QSettings>
#include <cstdio>

namespace zk::cli {

namespace {

SerialChannel::Baudrate baudrateOf(int baud)
{
    switch (baud) {
    case 1200: return SerialChannel::br1200;
    case 2400: return SerialChannel::br2400;
    case 9600: return SerialChannel::br9600;
    default: return SerialChannel::br4800;
    }
}

// The port the window saved when it last closed ("Port", 1 when missing).
int savedPort()
{
    const QSettings prefs(preferencesOrganisation(), preferencesApplication());
    bool ok = false;
    const int n = prefs.value(QStringLiteral("Port"), 1).toInt(&ok);
    return ok && n > 0 ? n : 1;
}

} // namespace

Session::Session(const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_address(options.address), m_trace(options.trace)
{
    m_engine = new ExchangeEngine(&m_channel, this, this);
    // The service mode's log: byte dumps with time stamps.
    m_engine->setMasterMode(m_trace);
    m_engine->setReplyTimeout(options.timeout);
    connect(&m_channel, &SerialChannel::rxChar, m_engine, &ExchangeEngine::onRxChar);
    connect(&m_channel, &SerialChannel::txEmpty, m_engine, &ExchangeEngine::onTxEmpty);
    connect(&m_channel, &SerialChannel::breakReceived, m_engine, &ExchangeEngine::onBreak);

    // The poll replies go to the same decoders the window's pages use. Their layouts
    // tell the engine how much of a reply to wait for, so that it wakes once a reply.
    for (const Head &head : ExchangeEngine::PollTable) {
        if (head.function == fn::ReadVersion)
            continue; // the engine's own
        m_engine->setHandler(head.function, layout::ofReply(head.function), [this](const QByteArray &frame) {
            // The drift pairs the meter's clock with the PC's at its arrival.
            if (m_info.take(frame) && quint8(frame.at(0)) == req::ReadClock.function)
                m_clockArrival = QDateTime::currentDateTime();
            ++m_accepted;
            check();
        });
    }
}

Session::~Session()
{
    disconnectMeter();
}

std::optional<PortChoice> choosePort(const Options &options, QString *problem)
{
    PortChoice port;
    if (options.port.startsWith(QLatin1Char('/'))) {
        port.name = port.device = options.port;
        return port;
    }
    port.number = options.port.isEmpty() ? savedPort() : portNumberOfName(options.port);
    if (port.number <= 0) {
        const QString text = QStringLiteral("Неверное имя порта: %1").arg(options.port);
        printErr(text);
        if (problem)
            *problem = text;
        return std::nullopt;
    }
    port.name = QStringLiteral("COM%1").arg(port.number);
    port.device = devicePathForPort(port.number);
    return port;
}

int preparePort(SerialChannel &channel, const Options &options, QString *name, QString *problem)
{
    const std::optional<PortChoice> port = choosePort(options, problem);
    if (!port)
        return ExitUsage;
    *name = port->name;
    if (port->number > 0) {
        channel.setPortNum(port->number);
        *name = channel.formattedDeviceName();
    } else {
        channel.setDeviceName(port->device);
    }
    channel.setBaudrate(baudrateOf(options.baud));
    return ExitDone;
}

int Session::connectMeter()
{
    QString name;
    m_failureText.clear();
    if (const int e = preparePort(m_channel, m_options, &name, &m_failureText))
        return e;
    try {
        m_channel.open();
    } catch (const SerialChannelError &e) {
        m_failureText = withPortOpenAdvice(QStringLiteral("Ошибка открытия порта %1: %2").arg(name, e.text()), e);
        printErr(m_failureText);
        return ExitNoAnswer;
    }
    m_engine->startSession();
    return ExitDone;
}

void Session::disconnectMeter()
{
    if (!m_channel.isOpen())
        return;
    try {
        m_channel.close();
    } catch (const SerialChannelError &) {
    }
    m_engine->stopAfterDisconnect();
}

void Session::fail(int exit, const QString &text)
{
    if (m_failure != ExitDone)
        return;
    m_failure = exit;
    m_failureText = text;
    if (m_loop)
        m_loop->quit();
}

void Session::check()
{
    if (m_loop && m_done && m_done())
        m_loop->quit();
}

int Session::runUntil(const std::function<bool()> &done)
{
    m_failure = ExitDone;
    m_failureText.clear();
    if (done()) // already there
        return ExitDone;
    m_done = done;
    QEventLoop loop;
    m_loop = &loop;
    loop.exec();
    m_loop = nullptr;
    m_done = nullptr;
    if (m_failure != ExitDone)
        printErr(m_failureText);
    return m_failure;
}

int Session::waitForPoll(const std::function<bool()> &done)
{
    m_missedPolls.clear();
    m_pollWait = true;
    const int exit = runUntil(done);
    m_pollWait = false;
    return exit;
}

int Session::waitForMeter()
{
    return waitForPoll([this] { return m_info.version.has_value(); });
}

int Session::pollCycle()
{
    m_info = MeterInfo{};
    return waitForPoll([this] { return m_info.complete(); });
}

int Session::readBack(SettingsReadBack &back)
{
    m_readBack = &back;
    const int exit = runUntil([&back] { return back.complete(); });
    m_readBack = nullptr;
    return exit;
}

int Session::findAddress(int *found)
{
    m_searchSteps = 0;
    m_engine->startAddressSearch();
    // Any accepted reply ends the search.
    const int before = m_accepted;
    const int exit = runUntil([this, before] { return m_accepted > before; });
    m_searchSteps = -1;
    if (exit == ExitDone && found)
        *found = m_address;
    return exit;
}

int Session::runFrames(const QList<QByteArray> &frames, WriteFlag flag, FrameVerdict *verdict)
{
    m_frames = frames;
    m_acknowledged.clear();
    m_written = false;
    if (flag == WriteFlag::Settings)
        m_engine->setSettingsWritePending(true);
    else if (flag == WriteFlag::Schedule)
        m_engine->setScheduleWritePending(true);
    m_engine->enqueue(frames);
    const bool write = flag != WriteFlag::None;
    const int exit = runUntil([this, write] {
        return write ? m_written : m_acknowledged.size() == m_frames.size();
    });
    verdict->ok = exit == ExitDone;
    verdict->acknowledged = m_acknowledged;
    verdict->failed.reset();
    if (!verdict->ok && m_acknowledged.size() < m_frames.size())
        verdict->failed = quint8(m_frames.at(m_acknowledged.size()).at(0));
    verdict->error = verdict->ok ? QString() : m_failureText;
    m_frames.clear();
    return exit;
}

void Session::replyAccepted(const QByteArray &frame)
{
    if (m_readBack)
        m_readBack->take(frame); // checked after the reply's handler
    // The frames go out in order after the request that was in flight.
    const int next = int(m_acknowledged.size());
    if (next < m_frames.size() && frame.at(0) == m_frames.at(next).at(0)) {
        m_acknowledged << quint8(frame.at(0));
        if (quint8(frame.at(0)) == fn::WriteClock)
            m_clockWritten = QDateTime::currentDateTime();
        check();
    }
}

void Session::replyMissing()
{
    if (!m_frames.isEmpty()) {
        fail(ExitNoAnswer, QStringLiteral("Счетчик не ответил (адрес %1)").arg(m_address));
        return;
    }
    // The engine's count of timeouts in a row restarts with every answered request,
    // so a meter silent to one poll function alone never reaches it: the poll goes
    // on past the silent request and asks it again a cycle later. A few misses of
    // the same request, each a cycle apart, end the wait; one lost reply does not.
    const QByteArray request = m_engine->currentRequest();
    if (!m_pollWait || request.isEmpty())
        return;
    const quint8 function = quint8(request.at(0));
    if (++m_missedPolls[function] >= MissesPerPollRequest)
        fail(ExitNoAnswer, QStringLiteral("Счетчик не отвечает (адрес %1, функция 0x%2)")
                               .arg(m_address)
                               .arg(function, 2, 16, QLatin1Char('0')));
}

void Session::recordWrite()
{
    m_written = true;
    check();
}

void Session::setAddress(int address)
{
    m_address = address;
    if (m_searchSteps >= 0 && m_engine->addressSearch() && ++m_searchSteps > 256)
        fail(ExitNoAnswer, QStringLiteral("Ни один адрес от 0 до 255 не ответил"));
}

void Session::addLogLine(const QString &line)
{
    printErr(line);
}

void Session::setWriteEnabled(bool enabled)
{
    // The engine disables writing after six timeouts in a row.
    if (!enabled)
        fail(ExitNoAnswer, QStringLiteral("Счетчик не отвечает (адрес %1)").arg(m_address));
}

void Session::firmwareChanged(const FirmwareVersion &version)
{
    m_info.version = version;
    ++m_accepted;
    check();
}

void Session::reportWriteFailure(const QString &text)
{
    fail(ExitFailure, text);
}

void Session::replyRejected(const ReplyCheck &check)
{
    if (check.errorReply)
        fail(ExitRefused, QStringLiteral("Счетчик отказал: %1").arg(check.text));
    else if (!m_frames.isEmpty())
        fail(ExitNoAnswer, QStringLiteral("Неверный отклик счетчика%1").arg(check.text.isEmpty() ? QString() : QStringLiteral(": ") + check.text));
}

int startWrite(const Options &o, std::optional<WriteStart> *start)
{
    int exit = ExitDone;
    QString problem;
    std::optional<Bench> bench = openBench(&exit, &problem);
    if (!bench)
        return finishSaid(o, exit, problem);
    auto session = std::make_unique<Session>(o);
    if (const int e = session->connectMeter())
        return finishSaid(o, e, session->failureText());
    // One poll cycle first: the defaults and the record take what was read.
    if (const int e = session->pollCycle())
        return finishSaid(o, e, session->failureText());
    start->emplace(WriteStart{std::move(*bench), std::move(session)});
    return ExitDone;
}

} // namespace zk::cli
