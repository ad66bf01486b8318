// The replies of the exchange engine onto the main window's pages: each function's
// handler decodes with the meter's rules and hands the value to the page that shows it.
#include "app/formmain.h"

#include "meter/pagereadings.h"
#include "meter/pagesettings.h"
#include "schedule/pagejournal.h"
#include "schedule/pageschedule.h"

#include <QPushButton>

namespace zk {

void FormMain::registerHandlers()
{
    // Every polled reply: decoded by the meter's rules, shown by its page.
    ExchangeEngine *e = m_engine;
    PageSettings *page = TabSheet1;
    e->setHandler(fn::ReadSerial, layout::Serial, [this, page](const QByteArray &f) {
        if (const auto n = decodeSerial(f); n && page->showSerial(*n) && sqlMode())
            lookupLastSettingTime();
    });
    e->setHandler(fn::ReadClock, layout::Clock, [this](const QByteArray &f) {
        if (const auto c = decodeClock(f))
            clockReply(*c);
    });
    e->setHandler(fn::ReadCorrection, layout::Correction, [page](const QByteArray &f) {
        if (const auto v = decodeCorrection(f))
            page->showCorrection(*v);
    });
    e->setHandler(fn::ReadDdm, layout::Ddm, [page](const QByteArray &f) {
        if (const auto v = decodeDdm(f))
            page->showDdm(*v);
    });
    e->setHandler(fn::ReadStatus, layout::Status, [page](const QByteArray &f) {
        if (const auto v = decodeStatus(f))
            page->showStatus(*v);
    });
    e->setHandler(fn::ReadIndication, layout::Indication, [page](const QByteArray &f) {
        if (const auto v = decodeIndication(f))
            page->showIndication(*v);
    });
    e->setHandler(fn::ReadReadings, layout::Readings, [this](const QByteArray &f) {
        if (const auto v = decodeReadings(f))
            TabSheet3->showReadings(*v);
    });
    e->setHandler(fn::ReadTurnOn, layout::TurnOn, [page](const QByteArray &f) {
        if (const auto v = decodeTurnOn(f))
            page->showTurnOn(*v);
    });
    e->setHandler(fn::ReadBilling, layout::Billing, [page](const QByteArray &f) {
        if (const auto v = decodeBilling(f))
            page->showBilling(*v);
    });
    e->setHandler(fn::ReadDdmStamps, layout::DdmStamps, [page](const QByteArray &f) {
        if (const auto v = decodeDdmStamps(f))
            page->showDdmStamps(*v);
    });
    // The password reply: a new password written becomes the access password.
    e->setHandler(fn::Password, 0, [this, page](const QByteArray &) {
        page->passwordReplied();
        m_engine->setDeselect(false);
    });
    // The journals: replies to the page "Журнал", its read buttons to the queue.
    e->setHandler(fn::ReadAnnual, 1, [this](const QByteArray &f) { annualReply(f); });
    e->setHandler(fn::ReadConsumption, 1, [this](const QByteArray &f) { consumptionReply(f); });
    connect(TabSheet2, &PageJournal::queueRequests, this, &FormMain::queueRequests);
    // The tariff schedule: zones, day types, holidays and transfers onto its page.
    // A write's read-back takes them instead, and the page keeps what was written.
    e->setHandler(fn::ReadZones, 0, [this](const QByteArray &f) {
        if (!takeScheduleBack(f))
            zoneReply(f);
    });
    e->setHandler(fn::ReadDayTypes, 0, [this](const QByteArray &f) {
        if (!takeScheduleBack(f))
            TabSchedule->showDayTypes(decodeDayTypes(f));
    });
    e->setHandler(fn::ReadHoliday, 0, [this](const QByteArray &f) {
        if (takeScheduleBack(f))
            return;
        if (const auto h = decodeHoliday(f))
            TabSchedule->appendHoliday(*h);
    });
    e->setHandler(fn::ReadTransfer, 0, [this](const QByteArray &f) {
        if (takeScheduleBack(f))
            return;
        if (const auto t = decodeTransfer(f))
            TabSchedule->appendTransfer(*t);
    });
    connect(TabSchedule->BtnReadSchedule, &QPushButton::clicked, this, &FormMain::BtnReadScheduleClick);
    connect(TabSchedule->BtnWriteSchedule, &QPushButton::clicked, this, &FormMain::BtnWriteScheduleClick);
}

void FormMain::clockReply(const MeterClock &clock)
{
    TabSheet1->showClock(clock);
    if (!clock.time().isValid())
        m_engine->log(QStringLiteral("Получено ошибочное время"));
    if (clock.date().isValid()) {
        if (sqlMode())
            showDrift(clock);
    } else {
        m_engine->log(QStringLiteral("Получена ошибочная дата"));
    }
    if (clock.weekdayMismatch())
        m_engine->log(QStringLiteral("Предупреждение: Получен ошибочный день недели"));
}

void FormMain::queueRequests(const QList<QByteArray> &frames)
{
    m_engine->enqueue(frames);
}

void FormMain::annualReply(const QByteArray &frame)
{
    const auto reply = decodeAnnual(frame);
    if (!reply)
        return;
    TabSheet2->showAnnual(*reply);
    if (isBadMonthEntry(*reply))
        m_engine->log(BadJournalMonthText);
}

void FormMain::consumptionReply(const QByteArray &frame)
{
    if (const auto reply = decodeConsumption(frame))
        TabSheet2->showConsumption(*reply, QDate::currentDate().year());
}

void FormMain::zoneReply(const QByteArray &frame)
{
    const auto reply = decodeZones(frame);
    if (!reply)
        return;
    for (int zone : TabSchedule->showZones(*reply))
        m_engine->log(badZoneTimeText(zone));
}

} // namespace zk
