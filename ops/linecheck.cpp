#include "ops/linecheck.h"

#include "link/frame.h"
#include "link/serialchannel.h"
#include "meter/readout.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace zk {

std::optional<int> medianMs(QList<int> samples)
{
    if (samples.isEmpty())
        return std::nullopt;
    std::sort(samples.begin(), samples.end());
    const qsizetype mid = samples.size() / 2;
    if (samples.size() % 2)
        return samples.at(mid);
    return (samples.at(mid - 1) + samples.at(mid) + 1) / 2;
}

std::optional<int> suggestedTimeoutMs(const QList<int> &samples)
{
    const std::optional<int> median = medianMs(samples);
    if (!median)
        return std::nullopt;
    const int slowest = *std::max_element(samples.begin(), samples.end());
    const int wanted = std::max(2 * *median, slowest) + 100;
    const int rounded = (wanted + 99) / 100 * 100;
    return std::clamp(rounded, 200, 5000);
}

// ---- one exchange outside the engine -------------------------------------------

void LineListener::drop()
{
    m_channel.readAvailable();
    received.clear();
    m_echo.clear();
}

void LineListener::send(const QByteArray &bytes)
{
    m_channel.setRts(true);
    m_channel.writeBytes(bytes);
    m_channel.setRts(false);
    if (m_echoes)
        m_echo += bytes;
}

void LineListener::collect(const QDeadlineTimer &deadline, const std::function<bool()> &enough)
{
    for (;;) {
        take(m_channel.readAvailable());
        if (enough() || deadline.hasExpired())
            return;
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        limit.setTimerType(Qt::PreciseTimer);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&m_channel, &SerialChannel::rxChar, &loop, &QEventLoop::quit);
        limit.start(int(std::max<qint64>(1, deadline.remainingTime())));
        loop.exec();
    }
}

void LineListener::pause(int ms)
{
    collect(QDeadlineTimer(ms), [] { return false; });
}

void LineListener::take(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if (!m_echo.isEmpty() && c == m_echo.at(0)) {
            m_echo.remove(0, 1);
            continue;
        }
        m_echo.clear(); // the line gave back something else: nothing more is taken for echo
        received.append(c);
    }
}

LineExchange lineExchange(SerialChannel &channel, LineListener &in, int address, const QByteArray &request,
                          int ackLimitMs, int replyLimitMs)
{
    LineExchange x;
    in.drop();
    channel.setParity(Parity::Mark);
    in.send(QByteArray(1, char(address)));
    // The engine's reply timeout starts once the address byte has left.
    QElapsedTimer clock;
    clock.start();
    in.collect(QDeadlineTimer(ackLimitMs), [&in] { return !in.received.isEmpty(); });
    if (in.received.isEmpty())
        return x;
    if (quint8(in.received.at(0)) != quint8(address)) {
        x.contact = MeterContact::WrongAck;
        x.detail = hexBytes(in.received).trimmed();
        return x;
    }
    // Like the engine, nothing else of the acknowledgement's read is kept.
    in.received.clear();
    channel.setParity(Parity::Space);
    in.send(request);
    const quint8 function = quint8(request.at(0));
    ReplyCheck check;
    in.collect(QDeadlineTimer(std::max<qint64>(0, replyLimitMs - clock.elapsed())), [&] {
        check = checkReply(in.received, function, true);
        return check.verdict != Verdict::Incomplete;
    });
    x.elapsedMs = int(clock.elapsed());
    x.reply = in.received;
    switch (check.verdict) {
    case Verdict::Accepted:
        x.contact = MeterContact::Answered;
        break;
    case Verdict::Incomplete:
        x.contact = MeterContact::NoReply;
        x.detail = hexBytes(in.received).trimmed();
        break;
    case Verdict::Rejected:
        x.contact = check.errorReply ? MeterContact::Refused : MeterContact::Rejected;
        x.detail = check.text;
        break;
    }
    return x;
}

namespace {

// The bytes the echo check sends at SPACE, while no meter is addressed: a meter ignores
// frame bytes that are not meant for it.
const QByteArray EchoProbe = QByteArray::fromHex("A55AC33C");
// How long the echo of those bytes may take once they have left.
constexpr int EchoWaitMs = 300;

QString portName(const LineReport &r)
{
    return r.port == r.device || r.device.isEmpty() ? r.port : QStringLiteral("%1 (%2)").arg(r.port, r.device);
}

QString parityWord(const SerialChannel::ParityBits &bits)
{
    if (bits.fixed)
        return bits.odd ? QStringLiteral("MARK") : QStringLiteral("SPACE");
    if (!bits.enabled)
        return QStringLiteral("без четности");
    return bits.odd ? QStringLiteral("нечетная") : QStringLiteral("четная");
}

void checkParity(SerialChannel &channel, LineReport &r)
{
    SerialChannel::ParityBits mark, space;
    try {
        channel.setParity(Parity::Mark);
        mark = channel.deviceParity();
        channel.setParity(Parity::Space);
        space = channel.deviceParity();
    } catch (const SerialChannelError &e) {
        r.parity = ParityCheck::Lost;
        r.parityDetail = e.text();
        return;
    }
    const bool markFixed = mark.fixed && mark.odd;
    const bool spaceFixed = space.fixed && !space.odd;
    if (markFixed && spaceFixed && mark.enabled && space.enabled)
        r.parity = ParityCheck::Kept;
    else if (markFixed && spaceFixed && channel.isPseudoTerminal())
        r.parity = ParityCheck::Emulated;
    else {
        r.parity = ParityCheck::Lost;
        r.parityDetail = QStringLiteral("MARK читается как %1, SPACE как %2").arg(parityWord(mark), parityWord(space));
    }
}

void checkEcho(SerialChannel &channel, LineListener &in, LineReport &r)
{
    in.drop();
    channel.setParity(Parity::Space);
    in.send(EchoProbe);
    in.collect(QDeadlineTimer(EchoWaitMs), [&in] { return in.received.size() >= EchoProbe.size(); });
    r.echo = in.received.startsWith(EchoProbe);
    if (!*r.echo)
        r.stray = in.received;
    in.setEchoes(*r.echo);
}

void checkMeter(SerialChannel &channel, LineListener &in, LineReport &r)
{
    const LineExchange first = lineExchange(channel, in, r.address, makeFrame(req::ReadVersion), AckLimitMs, ReplyLimitMs);
    r.contact = first.contact;
    r.contactDetail = first.detail;
    if (first.contact != MeterContact::Answered)
        return;
    if (const auto version = decodeVersion(first.reply))
        r.version = version->text;
    for (int i = 0; i < TimedExchanges; ++i) {
        in.pause(SendTickMs);
        const LineExchange x = lineExchange(channel, in, r.address, makeFrame(req::ReadSerial), AckLimitMs, ReplyLimitMs);
        ++r.timedExchanges;
        if (x.contact != MeterContact::Answered)
            continue;
        r.roundTrips << x.elapsedMs;
        if (!r.serial)
            r.serial = decodeSerial(x.reply);
    }
}

} // namespace

LineReport checkLine(const QString &port, const QString &device, int baud, int address, int timeoutMs)
{
    LineReport r;
    r.port = port;
    r.device = device;
    r.baud = baud;
    r.address = address;
    r.timeoutMs = timeoutMs;

    const QByteArray path = device.toLocal8Bit();
    struct stat st;
    if (path.isEmpty() || ::stat(path.constData(), &st) != 0)
        return r;
    r.exists = true;
    if (!S_ISCHR(st.st_mode)) {
        r.tty = false;
        return r;
    }
    // A look of our own first: may the user open it, and is it a terminal at all.
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == EACCES || err == EPERM) {
            r.access = false;
            r.accessAdvice = portOpenAdvice(device, err);
        } else {
            r.takeError = QString::fromLocal8Bit(std::strerror(err));
        }
        return r;
    }
    r.access = true;
    r.tty = ::isatty(fd) == 1;
    r.pseudoTerminal = *r.tty && isPseudoTerminalDevice(fd);
    ::close(fd);
    if (!*r.tty)
        return r;

    SerialChannel channel;
    channel.setDeviceName(device);
    channel.setUserBaudrate(baud);
    try {
        channel.open();
    } catch (const SerialChannelError &e) {
        r.takeError = e.text();
        r.busy = e.systemError() == EBUSY;
        return r;
    }
    LineListener in(channel);
    try {
        checkParity(channel, r);
        checkEcho(channel, in, r);
        checkMeter(channel, in, r);
    } catch (const SerialChannelError &e) {
        r.portError = e.text();
    }
    channel.close();
    return r;
}

QStringList lineProblems(const LineReport &r)
{
    const QString name = portName(r);
    if (!r.exists)
        return {QStringLiteral("Порт %1 не найден: подключите адаптер или укажите другой порт (--port).").arg(name)};
    if (r.tty == false)
        return {QStringLiteral("%1 - не последовательный порт (не терминал): укажите устройство адаптера, "
                               "например /dev/ttyUSB0.")
                    .arg(name)};
    if (r.access == false)
        return {r.accessAdvice.isEmpty() ? QStringLiteral("Нет доступа к %1 на чтение и запись.").arg(name)
                                         : r.accessAdvice};
    if (r.busy)
        return {QStringLiteral("Порт %1 занят другой программой (окно программы, другой zelta-kn-cli): "
                               "закройте ее и повторите проверку.")
                    .arg(name)};
    if (!r.takeError.isEmpty())
        return {QStringLiteral("Порт %1 не открывается: %2").arg(name, r.takeError)};

    QStringList problems;
    if (!r.portError.isEmpty())
        problems << QStringLiteral("Порт %1 отказал во время проверки: %2").arg(name, r.portError);
    if (r.parity == ParityCheck::Lost)
        problems << QStringLiteral("Порт %1 не держит четность MARK/SPACE (%2): счетчик не отличит адрес от "
                                   "кадра. Нужен адаптер, драйвер которого поддерживает MARK и SPACE.")
                        .arg(name, r.parityDetail);
    if (r.echo == true)
        problems << QStringLiteral("Адаптер возвращает отправленные байты (эхо): программа примет их за ответ "
                                   "счетчика. Переключите адаптер в режим без эха.");
    if (!r.stray.isEmpty())
        problems << QStringLiteral("На линии байты, которых никто не запрашивал (%1): помехи, другой прибор "
                                   "на линии или неверная скорость.")
                        .arg(hexBytes(r.stray).trimmed());
    switch (r.contact) {
    case MeterContact::NotTried:
    case MeterContact::Answered:
        break;
    case MeterContact::NoAck:
        problems << QStringLiteral("Счетчик не отвечает на адрес %1 (нет подтверждения за %2 с): проверьте "
                                   "питание и подключение счетчика, скорость (--baud %3) и адрес "
                                   "(его найдет команда find-address).")
                        .arg(r.address)
                        .arg(AckLimitMs / 1000)
                        .arg(r.baud);
        break;
    case MeterContact::WrongAck:
        problems << QStringLiteral("На адрес %1 пришло %2 вместо подтверждения: помехи на линии или неверная "
                                   "скорость (--baud %3).")
                        .arg(r.address)
                        .arg(r.contactDetail)
                        .arg(r.baud);
        break;
    case MeterContact::NoReply:
        if (r.contactDetail.isEmpty())
            problems << QStringLiteral("Счетчик подтвердил адрес %1, но не прислал ответа за %2 с.")
                            .arg(r.address)
                            .arg(ReplyLimitMs / 1000);
        else
            problems << QStringLiteral("Счетчик подтвердил адрес %1, но за %2 с пришел не кадр, а %3: помехи на "
                                       "линии или неверная скорость (--baud %4).")
                            .arg(r.address)
                            .arg(ReplyLimitMs / 1000)
                            .arg(r.contactDetail)
                            .arg(r.baud);
        break;
    case MeterContact::Rejected:
        problems << QStringLiteral("Ответ счетчика отвергнут (%1): помехи на линии или неверная скорость "
                                   "(--baud %2).")
                        .arg(r.contactDetail)
                        .arg(r.baud);
        break;
    case MeterContact::Refused:
        problems << QStringLiteral("Счетчик отказал: %1").arg(r.contactDetail);
        break;
    }
    if (!r.meterAnswered())
        return problems;
    if (const int failed = r.timedExchanges - int(r.roundTrips.size()); failed > 0)
        problems << QStringLiteral("Из %1 обменов не удались %2: линия ненадежна (помехи, плохой контакт, "
                                   "неверная скорость).")
                        .arg(r.timedExchanges)
                        .arg(failed);
    if (const auto suggested = suggestedTimeoutMs(r.roundTrips); suggested && r.timeoutMs < *suggested)
        problems << QStringLiteral("Таймаут ответа %1 мс мал для этой линии: установите %2 мс (--timeout, "
                                   "в окне «Таймаут»).")
                        .arg(r.timeoutMs)
                        .arg(*suggested);
    return problems;
}

} // namespace zk
