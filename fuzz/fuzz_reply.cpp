// libFuzzer target: arbitrary bytes as a meter's reply.
//
// Input: byte 0 picks the request in flight (one of the catalogue's function codes), byte 1
// holds switches, the rest is what the line delivers. Switches: bit 0, the reply timeout runs;
// bits 1-5, the size of the pieces the bytes arrive in, less one; bit 6, the engine in service
// mode (every byte logged) and the views in the C locale; bit 7, the line adds the CRC of the
// bytes, so that what the mutations make is mostly accepted and reaches the handlers. The bytes go through the reply checks as the exchange
// engine grows its receive buffer, through the engine itself over a fake line (handlers with
// the window's minimum sizes), and to every reply decoder and what the views make of their
// values, whatever the checks said.

#include "fuzz/check.h"
#include "fuzz/requests.h"
#include "link/exchangeengine.h"
#include "link/frame.h"
#include "meter/meterinfo.h"
#include "meter/readout.h"
#include "schedule/journal.h"
#include "schedule/tariffschedule.h"

#include <QCoreApplication>
#include <QLocale>
#include <cstdint>
#include <cstdlib>

using namespace zk;

namespace {

using fuzz::Requests;
using fuzz::RequestCount;

QLocale *Russian = nullptr;
QLocale *CLocale = nullptr;

class Line : public MeterChannel
{
public:
    bool isOpen() const override { return true; }
    Parity parity() const override { return m_parity; }
    void setParity(Parity p) override { m_parity = p; }
    void setRts(bool) override {}
    bool writeBytes(const QByteArray &) override { return true; }
    QByteArray readAvailable() override { return std::exchange(incoming, QByteArray()); }

    QByteArray incoming;

private:
    Parity m_parity = Parity::Mark;
};

class Host : public EngineHost
{
public:
    int address() const override { return m_address; }
    void setAddress(int a) override { m_address = a; }
    int newAddress() const override { return 7; }
    bool terminalOn() const override { return true; }
    void addLogLine(const QString &line) override { lines += line.size(); }
    void clearLog() override {}
    void beep() override {}
    void setStatusText(int, const QString &) override {}
    void showVerdict(WriteVerdict) override {}
    void hideIndicator() override {}
    void setWriteEnabled(bool) override {}
    void setFindAddressEnabled(bool) override {}
    void setGauges(bool, bool) override {}
    void firmwareChanged(const FirmwareVersion &v) override { FUZZ_CHECK(!v.text.isEmpty()); }
    void resetAction() override {}
    void displayReset() override {}
    void recordWrite() override {}
    void reportWriteFailure(const QString &) override {}
    void replyRejected(const ReplyCheck &check) override { FUZZ_CHECK(check.verdict == Verdict::Rejected); }
    void replyAccepted(const QByteArray &frame) override { accepted = frame; }

    QByteArray accepted;
    qsizetype lines = 0;

private:
    int m_address = 1;
};

// The request's frame: its head and as many data bytes as the head announces.
QByteArray requestFrame(Head head)
{
    return makeFrame(head, QByteArray(head.length - 2, '\0'));
}

// The reply checks as the engine runs them: once per arrival, on the buffer so far, until a
// verdict other than "incomplete".
void checkGrowing(const QByteArray &reply, quint8 function, bool awaiting)
{
    for (qsizetype n = 1; n <= reply.size(); ++n) {
        const QByteArray buffer = QByteArray::fromRawData(reply.constData(), n);
        const ReplyCheck check = checkReply(buffer, function, awaiting);
        if (check.verdict == Verdict::Incomplete) {
            FUZZ_CHECK(check.text.isEmpty() && !check.errorReply);
            continue;
        }
        if (check.verdict == Verdict::Accepted) {
            // What is handed on is one whole frame of the function asked for, CRC intact.
            FUZZ_CHECK(buffer.size() >= 4);
            FUZZ_CHECK(quint8(buffer.at(0)) == function);
            FUZZ_CHECK(buffer.size() == quint8(buffer.at(1)) + 2);
            FUZZ_CHECK(crcMatches(buffer));
            FUZZ_CHECK(dataSize(buffer) == buffer.size() - 4);
            FUZZ_CHECK(awaiting);
        }
        if (check.errorReply)
            FUZZ_CHECK(!check.text.isEmpty());
        break;
    }
}

// The exchange engine over the fake line: the request is sent, acknowledged, and the reply
// arrives in pieces whose sizes the switches give.
void runEngine(const QByteArray &reply, Head head, quint8 switches)
{
    Line line;
    Host host;
    ExchangeEngine engine(&line, &host);
    engine.setMasterMode(switches & 0x40);
    auto decodeInto = [](auto decoded) { (void)decoded; };
    engine.setHandler(fn::ReadSerial, layout::Serial, [&](const QByteArray &f) { FUZZ_CHECK(decodeSerial(f)); });
    engine.setHandler(fn::ReadClock, layout::Clock, [&](const QByteArray &f) { FUZZ_CHECK(decodeClock(f)); });
    engine.setHandler(fn::ReadCorrection, layout::Correction, [&](const QByteArray &f) { FUZZ_CHECK(decodeCorrection(f)); });
    engine.setHandler(fn::ReadDdm, layout::Ddm, [&](const QByteArray &f) { FUZZ_CHECK(decodeDdm(f)); });
    engine.setHandler(fn::ReadStatus, layout::Status, [&](const QByteArray &f) { FUZZ_CHECK(decodeStatus(f)); });
    engine.setHandler(fn::ReadIndication, layout::Indication, [&](const QByteArray &f) { FUZZ_CHECK(decodeIndication(f)); });
    engine.setHandler(fn::ReadReadings, layout::Readings, [&](const QByteArray &f) { FUZZ_CHECK(decodeReadings(f)); });
    engine.setHandler(fn::ReadTurnOn, layout::TurnOn, [&](const QByteArray &f) { FUZZ_CHECK(decodeTurnOn(f)); });
    engine.setHandler(fn::ReadBilling, layout::Billing, [&](const QByteArray &f) { FUZZ_CHECK(decodeBilling(f)); });
    engine.setHandler(fn::ReadDdmStamps, layout::DdmStamps, [&](const QByteArray &f) { FUZZ_CHECK(decodeDdmStamps(f)); });
    engine.setHandler(fn::ReadAnnual, 1, [&](const QByteArray &f) { FUZZ_CHECK(decodeAnnual(f)); });
    engine.setHandler(fn::ReadConsumption, 1, [&](const QByteArray &f) { FUZZ_CHECK(decodeConsumption(f)); });
    engine.setHandler(fn::ReadZones, 0, [&](const QByteArray &f) { FUZZ_CHECK(decodeZones(f)); });
    engine.setHandler(fn::ReadDayTypes, 0, [&](const QByteArray &f) { decodeInto(decodeDayTypes(f)); });
    engine.setHandler(fn::ReadHoliday, 0, [&](const QByteArray &f) { decodeInto(decodeHoliday(f)); });
    engine.setHandler(fn::ReadTransfer, 0, [&](const QByteArray &f) { decodeInto(decodeTransfer(f)); });

    engine.setConnected(true);
    engine.enqueue(requestFrame(head));
    engine.sendTick();
    line.incoming = QByteArray(1, char(host.address()));
    engine.onRxChar(); // the acknowledgement: the request goes out
    FUZZ_CHECK(line.parity() == Parity::Space);

    const int piece = 1 + ((switches >> 1) & 0x1F); // 1..32 bytes an arrival
    for (qsizetype at = 0; at < reply.size(); at += piece) {
        line.incoming = reply.mid(at, piece);
        engine.onRxChar();
    }
    if (!host.accepted.isEmpty()) {
        FUZZ_CHECK(quint8(host.accepted.at(0)) == head.function);
        FUZZ_CHECK(crcMatches(host.accepted));
    }
    engine.replyTimeout();
    engine.stopAfterDisconnect();
    QCoreApplication::sendPostedEvents();
}

void readoutViews(const QByteArray &frame, const QLocale &locale)
{
    if (const auto v = decodeVersion(frame))
        FUZZ_CHECK(v->text.contains(QLatin1Char('.')));
    if (const auto n = decodeSerial(frame))
        FUZZ_CHECK(*n >= 0 && *n <= MaxSerialNumber);
    if (const auto c = decodeClock(frame)) {
        (void)clockText(*c, locale);
        (void)c->weekdayMismatch();
        (void)timeText(c->time(), locale);
        (void)dateText(c->date(), locale);
    }
    if (const auto c = decodeCorrection(frame))
        FUZZ_CHECK(*c >= -31 && *c <= 31);
    if (const auto ddm = decodeDdm(frame)) {
        for (qint64 n : *ddm)
            FUZZ_CHECK(n >= 0 && n <= 0xFFFFFF);
        if (const auto stamps = decodeDdmStamps(frame)) {
            for (int i = 0; i < 3; ++i)
                if (const auto t = ddmStamp((*ddm)[size_t(i)], (*stamps)[size_t(i)]))
                    (void)dateTimeText(*t, locale);
        }
    }
    if (const auto s = decodeStatus(frame))
        (void)statusLines(*s);
    (void)decodeIndication(frame);
    if (const auto r = decodeReadings(frame)) {
        QStringList texts;
        for (quint64 count : r->current) {
            FUZZ_CHECK(count < (quint64(1) << 40));
            texts << formatReading(readingValue(count), locale);
        }
        if (r->billing)
            for (quint64 count : *r->billing)
                texts << formatReading(readingValue(count), locale);
        // What the page shows reads back as numbers: the sum rows depend on it.
        FUZZ_CHECK(sumReadings(texts, locale).has_value());
    }
    if (const auto t = decodeTurnOn(frame))
        (void)halfMinutesText(t->halfMinutes);
    if (const auto b = decodeBilling(frame))
        FUZZ_CHECK(b->hour >= 0 && b->day >= 0);

    MeterInfo info;
    if (info.take(frame))
        (void)info.complete();
}

void journalViews(const QByteArray &frame, int year, const QLocale &locale)
{
    if (const auto a = decodeAnnual(frame)) {
        (void)annualCells(*a, locale);
        (void)isBadMonthEntry(*a);
        const TextTable table = annualTable({*a, *a}, locale);
        FUZZ_CHECK(table.size() == journal::Months + 1);
    }
    if (const auto c = decodeConsumption(frame)) {
        if (c->record)
            FUZZ_CHECK(consumptionCells(*c->record, year, locale).size() == journal::ConsumptionColumns);
        (void)consumptionTable({*c}, year, locale);
    }
}

void scheduleViews(const QByteArray &frame, int firmware)
{
    TariffSchedule schedule;
    if (const auto z = decodeZones(frame)) {
        schedule.oneTariff = false;
        const QList<int> bad = applyZoneReply(schedule, *z);
        for (int zone : bad)
            FUZZ_CHECK(zone >= 0 && zone < tariff::Zones);
        (void)scheduleCheck(schedule, firmware);
    }
    if (const auto masks = decodeDayTypes(frame)) {
        for (int i = 0; i < tariff::Zones; ++i)
            schedule.zones[size_t(i)].days = (*masks)[size_t(i)];
        (void)scheduleCheck(schedule, firmware);
    }
    if (const auto h = decodeHoliday(frame)) {
        FUZZ_CHECK(h->month >= 1 && h->month <= 12);
        const Insertion at = holidayInsertion(schedule.holidays, *h);
        if (at.ok()) {
            FUZZ_CHECK(at.position >= 0 && at.position <= schedule.holidays.size());
            schedule.holidays.insert(at.position, *h);
        }
        (void)monthName(h->month);
    }
    if (const auto t = decodeTransfer(frame)) {
        FUZZ_CHECK(t->date.isValid() && t->dayType >= 1 && t->dayType <= 8);
        const Insertion at = transferInsertion(schedule.transfers, *t);
        FUZZ_CHECK(at.ok());
        schedule.transfers.insert(at.position, *t);
        (void)dayTypeName(t->dayType);
    }
    (void)calendarProblem(schedule);
    if (scheduleCheck(schedule, firmware).isEmpty() && calendarProblem(schedule).isEmpty())
        (void)scheduleWriteFrames(schedule, firmware, QStringLiteral("1"));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The engine's timers need an application object on this thread.
    static QCoreApplication app(*argc, *argv);
    Russian = new QLocale(QLocale::Russian, QLocale::Russia);
    CLocale = new QLocale(QLocale::C);
    QLocale::setDefault(*Russian);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const Head head = Requests[data[0] % RequestCount];
    const quint8 switches = data[1];
    QByteArray reply(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    if (switches & 0x80)
        reply = withCrc(reply);

    checkGrowing(reply, head.function, switches & 1);
    (void)checkReply(reply, head.function, true);
    (void)checkReply(reply, head.function, false);
    (void)hexBytes(reply.left(64));
    if (reply.size() >= 3)
        (void)errorCodeText(quint8(reply.at(2)));

    runEngine(reply, head, switches);

    const QLocale &locale = (switches & 0x40) ? *CLocale : *Russian;
    const int firmware = (switches >> 2) & 0x1F; // 0..31: both sides of the calendar firmware
    const int year = 2000 + (data[0] / RequestCount) % 100;
    readoutViews(reply, locale);
    journalViews(reply, year, locale);
    scheduleViews(reply, firmware);
    return 0;
}
