#include "sim/meterprotocol.h"

#include "core/lebytes.h"
#include "link/frame.h"

#include <QStringList>

namespace zk::sim {

namespace {

constexpr qint64 kFrameGapMs = 1000; // a pause this long inside a frame discards it

enum ErrorCode : quint8 {
    UnknownFunction = 1,
    WrongLength = 2,
    WrongCrc = 3,
    WrongData = 4,
    AccessDenied = 6,
};

bool needsCalendars(quint8 function)
{
    switch (function) {
    case fn::ReadHoliday: case fn::WriteHoliday: case fn::ReadTransfer: case fn::WriteTransfer:
    case fn::ReadDdmStamps: case fn::ReadDayTypes: case fn::WriteDayTypes:
        return true;
    default:
        return false;
    }
}

// Length bytes a request of `function` may carry.
bool lengthFits(quint8 function, int length)
{
    switch (function) {
    case fn::ReadVersion: case fn::ReadSerial: case fn::ReadClock: case fn::ReadCorrection:
    case fn::ReadZones: case fn::ReadDdm: case fn::ReadStatus:
    case fn::ReadIndication: case fn::ReadReadings: case fn::ReadTurnOn: case fn::ReadBilling:
    case fn::ResetBilling: case fn::ReadDdmStamps: case fn::ReadDayTypes:
        return length == 2;
    case fn::WriteSerial: return length == 5;
    case fn::WriteAddress: case fn::WriteCorrection: case fn::WriteIndication: case fn::ReadAnnual:
    case fn::ReadConsumption: case fn::ReadHoliday: case fn::ReadTransfer:
        return length == 3;
    case fn::WriteClock: return length == 10;
    case fn::WriteZones: return length == 2 || length == 20;
    case fn::WriteDdm: return length == 11;
    case fn::Password: case fn::WriteBilling: return length == 4;
    case fn::WriteHoliday: return length == 2 || length == 5;
    case fn::WriteTransfer: return length == 2 || length == 7;
    case fn::WriteDayTypes: return length == 8;
    default: return false;
    }
}

// A packed BCD byte whose nibbles are both decimal digits, decoded; -1 otherwise.
int strictBcd(quint8 b)
{
    if ((b >> 4) > 9 || (b & 0x0F) > 9)
        return -1;
    return bcd(b);
}

QByteArray reply(quint8 function, const QByteArray &data = QByteArray())
{
    QByteArray frame;
    frame.append(char(function));
    frame.append(char(data.size() + 2));
    frame.append(data);
    return withCrc(frame);
}

void appendLe(QByteArray &out, quint64 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

void appendCount(QByteArray &out, quint64 count)
{
    appendLe(out, count & 0xFFFFFFFFull, 4);
    out.append(char((count >> 32) & 0xFF));
}

bool validHolidayDate(int day, int month)
{
    // Holidays recur every year, so 29 February is allowed.
    return month >= 1 && month <= 12 && day >= 1 && day <= QDate(2000, month, 1).daysInMonth();
}

const char *faultNames[] = {"off",   "noack",   "delay",  "badcrc", "extra", "error",
                            "split", "wrongfn", "silent", "noise",  "vanish", "forget", "echo"};

} // namespace

std::optional<Fault> parseFault(const QString &text, QString *error)
{
    QStringList words = text.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    int function = -1;
    for (int i = 1; i < words.size(); ++i) {
        if (!words.at(i).startsWith(QLatin1String("on="), Qt::CaseInsensitive))
            continue;
        bool ok = false;
        function = words.takeAt(i).mid(3).toInt(&ok, 0);
        if (!ok || function < 0 || function > 255) {
            *error = QStringLiteral("on= takes a function code 0..255");
            return std::nullopt;
        }
        break;
    }
    if (words.isEmpty() || words.size() > 2) {
        *error = QStringLiteral("expected KIND[=VALUE] [COUNT] [on=FUNCTION] or off");
        return std::nullopt;
    }
    const QString kindText = words.at(0).section(QLatin1Char('='), 0, 0).toLower();
    const bool hasValue = words.at(0).contains(QLatin1Char('='));
    const QString valueText = words.at(0).section(QLatin1Char('='), 1);

    Fault f;
    int kindIndex = -1;
    for (int i = 0; i < int(sizeof faultNames / sizeof *faultNames); ++i)
        if (kindText == QLatin1String(faultNames[i]))
            kindIndex = i;
    if (kindIndex < 0) {
        *error = QStringLiteral("unknown fault \"%1\" (noack, delay, badcrc, extra, error, split, wrongfn, silent, noise, vanish, forget, echo, off)")
                     .arg(kindText);
        return std::nullopt;
    }
    f.kind = FaultKind(kindIndex);
    if (f.kind == FaultKind::None) {
        if (hasValue || words.size() > 1 || function >= 0) {
            *error = QStringLiteral("\"off\" takes nothing more");
            return std::nullopt;
        }
        return f;
    }

    switch (f.kind) {
    case FaultKind::Delay: f.value = 2000; break;
    case FaultKind::ErrorReply: f.value = 4; break;
    case FaultKind::Split: f.value = 50; break;
    case FaultKind::ExtraByte: f.value = 0x00; break;
    case FaultKind::WrongFunction: f.value = -1; break; // the request's code with bit 0 flipped
    case FaultKind::Noise: f.value = 4; break;
    default: break;
    }
    if (function >= 0 && (f.kind == FaultKind::NoAck || f.kind == FaultKind::Vanish || f.kind == FaultKind::Echo)) {
        *error = QStringLiteral("%1 acts from the address byte on, before the request: it takes no on=").arg(kindText);
        return std::nullopt;
    }
    f.function = function;
    if (hasValue) {
        bool ok = false;
        const int v = valueText.toInt(&ok, 0);
        const bool takesValue = f.kind == FaultKind::Delay || f.kind == FaultKind::ErrorReply
            || f.kind == FaultKind::Split || f.kind == FaultKind::ExtraByte || f.kind == FaultKind::WrongFunction
            || f.kind == FaultKind::Noise;
        const int max = (f.kind == FaultKind::Delay || f.kind == FaultKind::Split) ? 600000 : 255;
        if (!takesValue || !ok || v < 0 || v > max) {
            *error = takesValue ? QStringLiteral("value of %1 must be 0..%2").arg(kindText).arg(max)
                                : QStringLiteral("%1 takes no value").arg(kindText);
            return std::nullopt;
        }
        f.value = v;
    }
    if (words.size() == 2) {
        bool ok = false;
        const int count = words.at(1).toInt(&ok);
        if (!ok || count < 1) {
            *error = QStringLiteral("count must be a whole number of 1 or more");
            return std::nullopt;
        }
        f.count = count;
    }
    return f;
}

QString describeFault(const Fault &fault)
{
    QString text = QLatin1String(faultNames[int(fault.kind)]);
    switch (fault.kind) {
    case FaultKind::Delay:
    case FaultKind::ErrorReply:
    case FaultKind::Split:
    case FaultKind::ExtraByte:
    case FaultKind::Noise:
        text += QLatin1Char('=') + QString::number(fault.value);
        break;
    case FaultKind::WrongFunction:
        if (fault.value >= 0)
            text += QLatin1Char('=') + QString::number(fault.value);
        break;
    default:
        break;
    }
    if (fault.function >= 0)
        text += QStringLiteral(" on 0x%1").arg(fault.function, 2, 16, QLatin1Char('0'));
    if (fault.kind != FaultKind::None)
        text += fault.count < 0 ? QStringLiteral(" (until off)") : QStringLiteral(" (%1 more)").arg(fault.count);
    return text;
}

MeterProtocol::MeterProtocol(MeterModel &model, const SimClock &clock)
    : m_model(model), m_clock(clock)
{
}

void MeterProtocol::event(const QString &text)
{
    if (m_eventHook)
        m_eventHook(text);
}

bool MeterProtocol::faultActive(FaultKind kind) const
{
    return m_fault.kind == kind && m_fault.count != 0 && (m_fault.function < 0 || m_fault.function == m_function);
}

void MeterProtocol::consumeFault()
{
    event(QStringLiteral("fault ") + describeFault(m_fault));
    if (m_fault.count > 0 && --m_fault.count == 0)
        m_fault = Fault();
}

void MeterProtocol::endSession(const QString &why)
{
    if (m_access)
        event(QStringLiteral("session ended: ") + why);
    m_access = false;
}

void MeterProtocol::lineClosed()
{
    m_frame.clear();
    m_addressed = false;
    endSession(QStringLiteral("port closed"));
}

QList<Transmission> MeterProtocol::takeOutput()
{
    QList<Transmission> out;
    out.swap(m_output);
    return out;
}

void MeterProtocol::receive(const QByteArray &bytes, Ninth ninth)
{
    const QDateTime now = m_clock.now();
    for (char c : bytes) {
        const quint8 b = quint8(c);
        // The adapter hands every byte straight back, whoever it is for.
        if (faultActive(FaultKind::Echo))
            m_output.append(Transmission{0, QByteArray(1, c)});
        if (ninth == Ninth::Mark) {
            m_frame.clear();
            if (b != m_model.state().address) {
                // Another meter is being addressed: this one lets go of the line and of
                // its session.
                m_addressed = false;
                endSession(QStringLiteral("address %1 selected").arg(b));
                continue;
            }
            if (m_access && m_lastActivity.isValid() && m_lastActivity.msecsTo(now) > m_sessionTimeoutMs)
                endSession(QStringLiteral("inactivity"));
            m_lastActivity = now;
            if (faultActive(FaultKind::NoAck)) {
                m_addressed = false;
                consumeFault();
                continue;
            }
            if (faultActive(FaultKind::Vanish)) {
                m_addressed = false;
                endSession(QStringLiteral("switched off"));
                consumeFault();
                continue;
            }
            m_addressed = true;
            m_output.append(Transmission{0, QByteArray(1, char(b))});
            continue;
        }

        if (!m_addressed)
            continue;
        if (!m_frame.isEmpty() && m_lastByte.msecsTo(now) > kFrameGapMs)
            m_frame.clear();
        m_frame.append(char(b));
        m_lastByte = now;
        if (m_frame.size() < 2)
            continue;
        const int need = qMax(2, int(quint8(m_frame.at(1)))) + 2;
        if (quint8(m_frame.at(1)) < 2 || m_frame.size() >= need) {
            // A length byte below 2 leaves no room for a CRC: the frame ends here.
            const QByteArray frame = quint8(m_frame.at(1)) < 2 ? m_frame : m_frame.left(need);
            m_frame.clear();
            m_addressed = false; // one request per address byte; anything after it is ignored
            m_lastActivity = now;
            frameComplete(frame);
        }
    }
}

void MeterProtocol::frameComplete(const QByteArray &frame)
{
    const quint8 function = quint8(frame.at(0));
    m_function = function;
    const struct Done {
        int &function;
        ~Done() { function = -1; }
    } done{m_function};
    if (faultActive(FaultKind::Echo))
        consumeFault(); // one more exchange on the echoing line
    if (faultActive(FaultKind::Silent)) {
        consumeFault();
        return;
    }
    QByteArray out;
    if (faultActive(FaultKind::ErrorReply)) {
        out = makeErrorReply(function, quint8(m_fault.value));
        consumeFault();
    } else if (faultActive(FaultKind::Forget)) {
        // Answered as the meter answers, then its memory as it was before the request.
        const MeterState before = m_model.state();
        out = answer(frame);
        m_model.state() = before;
        if (m_storedHook)
            m_storedHook(); // the state file says what the meter kept
        consumeFault();
    } else {
        out = answer(frame);
    }

    QList<Transmission> pieces;
    qint64 delay = 0;
    if (faultActive(FaultKind::WrongFunction)) {
        const quint8 other = m_fault.value >= 0 ? quint8(m_fault.value) : quint8(function ^ 0x01);
        out[0] = char((quint8(out.at(0)) & 0x80) | (other & 0x7F));
        out = withCrc(out.left(out.size() - 2)); // only the function code is wrong
        consumeFault();
    } else if (faultActive(FaultKind::BadCrc)) {
        out[out.size() - 1] = char(quint8(out.at(out.size() - 1)) ^ 0xFF);
        consumeFault();
    } else if (faultActive(FaultKind::ExtraByte)) {
        out.append(char(m_fault.value));
        consumeFault();
    } else if (faultActive(FaultKind::Delay)) {
        delay = m_fault.value;
        consumeFault();
    } else if (faultActive(FaultKind::Noise)) {
        QByteArray noise(m_fault.value, Qt::Uninitialized);
        for (char &c : noise)
            c = char(m_noise.bounded(256));
        out.prepend(noise);
        consumeFault();
    }
    if (faultActive(FaultKind::Split)) {
        for (int i = 0; i < out.size(); i += 3)
            pieces.append(Transmission{i == 0 ? 0 : qint64(m_fault.value), out.mid(i, 3)});
        consumeFault();
    } else {
        pieces.append(Transmission{delay, out});
    }
    m_output.append(pieces);
}

QByteArray MeterProtocol::answer(const QByteArray &frame)
{
    const quint8 function = frame.isEmpty() ? 0 : quint8(frame.at(0));
    if (frame.size() < 4) // no room for a CRC
        return makeErrorReply(function, isCatalogueFunction(function) ? WrongLength : UnknownFunction);
    if (!crcMatches(frame))
        return makeErrorReply(function, WrongCrc);
    if (!isCatalogueFunction(function) || (needsCalendars(function) && !m_model.hasCalendars()))
        return makeErrorReply(function, UnknownFunction);
    const int length = quint8(frame.at(1));
    if (!lengthFits(function, length) || frame.size() != length + 2)
        return makeErrorReply(function, WrongLength);

    if (isWriteFunction(function) && !m_access) {
        event(QStringLiteral("write %1 refused: no access").arg(function, 2, 16, QLatin1Char('0')));
        return makeErrorReply(function, AccessDenied);
    }
    m_model.advance();
    bool stored = false;
    const QByteArray out = handle(function, length, frame.mid(2, length - 2), &stored);
    if (stored && m_storedHook)
        m_storedHook();
    return out;
}

QByteArray MeterProtocol::handle(quint8 function, int length, const QByteArray &data, bool *stored)
{
    MeterState &s = m_model.state();
    const auto d = [&data](int i) { return quint8(data.at(i)); };
    const auto stores = [&](quint8 f) {
        *stored = true;
        return reply(f);
    };

    switch (function) {
    case fn::ReadVersion: {
        QByteArray out;
        out.append(char(toBcd(m_model.firmwareMinor())));
        out.append(char(toBcd(m_model.firmwareMajor())));
        return reply(function, out);
    }
    case fn::ReadSerial: {
        QByteArray out;
        appendLe(out, s.serial & kSerialMask, 3);
        return reply(function, out);
    }
    case fn::WriteSerial:
        s.serial = le::readU(data, 0, 3) & kSerialMask;
        return stores(function);
    case fn::WriteAddress: {
        // The reply still belongs to this exchange; the next address byte must carry
        // the new address.
        s.address = d(0);
        event(QStringLiteral("address changed to %1").arg(s.address));
        return stores(function);
    }
    case fn::ReadClock: {
        const QDateTime t = m_model.meterTime();
        QByteArray out;
        out.append(char(toBcd(t.time().second())));
        out.append(char(toBcd(t.time().minute())));
        out.append(char(toBcd(t.time().hour())));
        out.append(char(t.date().dayOfWeek()));
        out.append(char(toBcd(t.date().day())));
        out.append(char(toBcd(t.date().month())));
        out.append(char(toBcd(t.date().year() - 2000)));
        out.append(char(s.summerTime ? 0x80 : 0x00));
        return reply(function, out);
    }
    case fn::WriteClock: {
        const int sec = strictBcd(d(0)), min = strictBcd(d(1)), hour = strictBcd(d(2));
        const int day = strictBcd(d(4)), month = strictBcd(d(5)), year = strictBcd(d(6));
        const QTime time(hour, min, sec);
        const QDate date(2000 + year, month, day);
        if (sec < 0 || min < 0 || hour < 0 || day < 0 || month < 0 || year < 0 || !time.isValid() || !date.isValid())
            return makeErrorReply(function, WrongData);
        // The day of the week is the meter's own reckoning; the byte sent is not used.
        m_model.setMeterTime(naiveDateTime(date, time));
        s.summerTime = (d(7) & 0x80) != 0;
        return stores(function);
    }
    case fn::ReadCorrection:
        return reply(function, QByteArray(1, char(s.correction)));
    case fn::WriteCorrection:
        s.correction = d(0) & 0x3F;
        s.correctionCounter = quint8(s.correctionCounter + 1);
        return stores(function);
    case fn::ReadZones: {
        if (s.oneTariff)
            return reply(function);
        QByteArray out;
        for (const Zone &z : s.zones) {
            out.append(char(z.tariff));
            out.append(char(toBcd(z.hour)));
            out.append(char(toBcd(z.minute)));
        }
        return reply(function, out);
    }
    case fn::WriteZones: {
        if (length == 2) {
            s.oneTariff = true;
            return stores(function);
        }
        std::array<Zone, kZones> zones;
        for (int z = 0; z < kZones; ++z) {
            const int tariff = d(3 * z), hour = strictBcd(d(3 * z + 1)), minute = strictBcd(d(3 * z + 2));
            if (tariff < 1 || tariff > 3 || hour < 0 || hour > 23 || minute < 0 || minute > 59)
                return makeErrorReply(function, WrongData);
            zones[size_t(z)] = Zone{quint8(tariff), quint8(hour), quint8(minute)};
        }
        s.zones = zones;
        s.oneTariff = false;
        return stores(function);
    }
    case fn::ReadDdm: {
        QByteArray out;
        for (quint32 n : s.ddm)
            appendLe(out, n, 3);
        return reply(function, out);
    }
    case fn::WriteDdm:
        for (int p = 0; p < 3; ++p)
            s.ddm[size_t(p)] = le::readU(data, 3 * p, 3);
        return stores(function);
    case fn::ReadStatus:
        return reply(function, QByteArray(1, char(m_model.statusByte())));
    case fn::ReadIndication:
        return reply(function, QByteArray(1, char(s.indication)));
    case fn::WriteIndication:
        s.indication = d(0) & 0x0F;
        return stores(function);
    case fn::ReadReadings: {
        QByteArray out;
        for (quint64 c : s.readings)
            appendCount(out, c);
        for (quint64 c : s.billingReadings)
            appendCount(out, c);
        return reply(function, out);
    }
    case fn::ReadTurnOn: {
        QByteArray out;
        appendLe(out, s.turnOnHalfMinutes, 3);
        out.append(char(s.correctionCounter));
        return reply(function, out);
    }
    case fn::ReadAnnual: {
        if (d(0) >= kAnnualEntries)
            return makeErrorReply(function, WrongData);
        const AnnualEntry e = m_model.annualEntry(d(0));
        QByteArray out;
        out.append(char(e.monthIndex));
        out.append(char(e.yearBcd));
        for (quint64 c : e.counts)
            appendCount(out, c);
        appendLe(out, e.operatingHalfMinutes, 3);
        return reply(function, out);
    }
    case fn::ReadConsumption: {
        if (d(0) >= kConsumptionPages)
            return makeErrorReply(function, WrongData);
        const ConsumptionRecord r = m_model.consumptionRecord(d(0));
        QByteArray out;
        out.append(char(r.page));
        out.append(char(r.record));
        out.append(char(toBcd(r.stamp.time().minute())));
        out.append(char(toBcd(r.stamp.time().hour())));
        out.append(char(toBcd(r.stamp.date().day())));
        out.append(char(toBcd(r.stamp.date().month())));
        for (quint64 c : r.counts)
            appendCount(out, c);
        out.append(char(r.status));
        return reply(function, out);
    }
    case fn::Password: {
        const quint16 password = quint16(le::readU(data, 0, 2));
        if (m_access) {
            s.password = password;
            event(QStringLiteral("new password set"));
            return stores(function);
        }
        if (password != s.password) {
            event(QStringLiteral("password refused"));
            return makeErrorReply(function, AccessDenied);
        }
        m_access = true;
        event(QStringLiteral("access granted"));
        return reply(function);
    }
    case fn::ReadBilling: {
        QByteArray out;
        out.append(char(toBcd(s.billingHour)));
        out.append(char(toBcd(s.billingDay)));
        return reply(function, out);
    }
    case fn::WriteBilling: {
        const int hour = strictBcd(d(0)), day = strictBcd(d(1));
        if (hour < 0 || hour > 23 || day < 1 || day > 31)
            return makeErrorReply(function, WrongData);
        s.billingHour = quint8(hour);
        s.billingDay = quint8(day);
        return stores(function);
    }
    case fn::ResetBilling:
        m_model.resetBilling();
        return stores(function);
    case fn::ReadHoliday: {
        const int slot = d(0);
        if (slot >= kSlots)
            return makeErrorReply(function, WrongData);
        const Holiday &h = s.holidays[size_t(slot)];
        QByteArray out(1, char(slot));
        if (h.used) {
            out.append(char(toBcd(h.day)));
            out.append(char(toBcd(h.month)));
        }
        return reply(function, out);
    }
    case fn::WriteHoliday: {
        if (length == 2) {
            s.holidays.fill(Holiday());
            return stores(function);
        }
        const int slot = d(0), day = strictBcd(d(1)), month = strictBcd(d(2));
        if (slot >= kSlots || !validHolidayDate(day, month))
            return makeErrorReply(function, WrongData);
        s.holidays[size_t(slot)] = Holiday{true, quint8(day), quint8(month)};
        return stores(function);
    }
    case fn::ReadTransfer: {
        const int slot = d(0);
        if (slot >= kSlots)
            return makeErrorReply(function, WrongData);
        const Transfer &t = s.transfers[size_t(slot)];
        QByteArray out(1, char(slot));
        if (t.used) {
            out.append(char(toBcd(t.date.day())));
            out.append(char(toBcd(t.date.month())));
            out.append(char(toBcd(t.date.year() - 2000)));
            out.append(char(t.dayType));
        }
        return reply(function, out);
    }
    case fn::WriteTransfer: {
        if (length == 2) {
            s.transfers.fill(Transfer());
            return stores(function);
        }
        const int slot = d(0), day = strictBcd(d(1)), month = strictBcd(d(2)), year = strictBcd(d(3));
        const int type = d(4);
        const QDate date(2000 + year, month, day);
        if (slot >= kSlots || day < 0 || month < 0 || year < 0 || !date.isValid() || type < 1 || type > 8)
            return makeErrorReply(function, WrongData);
        s.transfers[size_t(slot)] = Transfer{true, date, quint8(type)};
        return stores(function);
    }
    case fn::ReadDdmStamps: {
        QByteArray out;
        for (int p = 0; p < 3; ++p)
            appendLe(out, m_model.ddmStamp(p), 4);
        return reply(function, out);
    }
    case fn::ReadDayTypes: {
        QByteArray out;
        for (quint8 m : s.dayTypes)
            out.append(char(m));
        return reply(function, out);
    }
    case fn::WriteDayTypes:
        for (int z = 0; z < kZones; ++z)
            s.dayTypes[size_t(z)] = d(z);
        return stores(function);
    default:
        return makeErrorReply(function, UnknownFunction);
    }
}

} // namespace zk::sim
