// The main window as the exchange engine's host: the address boxes, the traffic log, the
// status bar, the link indicator and the enabled state the engine drives.
#include "app/formmain.h"

#include "app/pageterminal.h"
#include "link/linkbar.h"
#include "meter/pagesettings.h"
#include "schedule/pagejournal.h"
#include "schedule/pageschedule.h"
#include "ops/verify.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QAction>
#include <QToolBar>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <utility>

namespace zk {

bool FormMain::toolButtonShown(const QString &name) const
{
    for (QAction *a : ToolBar1->actions()) {
        QWidget *w = ToolBar1->widgetForAction(a);
        if ((w && w->objectName() == name) || a->objectName() == name)
            return a->isVisible();
    }
    return false;
}

QString FormMain::statusText(int panel) const
{
    if (panel == 2)
        return m_panels[2]->text();
    return (panel >= 0 && panel < 2) ? m_statusTexts[panel] : QString();
}

int FormMain::address() const
{
    return Panel1->SpinAddr->value();
}

void FormMain::setAddress(int address)
{
    Panel1->SpinAddr->setValue(address);
}

int FormMain::newAddress() const
{
    return TabSheet1->SpinNewAddr->value();
}

bool FormMain::terminalOn() const
{
    return TabSheet4->CheckBox_Terminal->isChecked();
}

void FormMain::addLogLine(const QString &line)
{
    TabSheet4->addLine(line);
}

void FormMain::clearLog()
{
    TabSheet4->Memo_Terminal->clear();
}

void FormMain::beep()
{
    QApplication::beep();
}

void FormMain::setStatusText(int panel, const QString &text)
{
    if (panel < 0 || panel > 1)
        return;
    m_statusTexts[panel] = text;
    // A count at every exchange is more than anyone reads and would repaint the panel as
    // often: the latest count shows with the PC clock's tick, in the same repaint.
    // Clearing is immediate.
    if (panel == 0 && !text.isEmpty())
        return;
    showStatusText(panel);
}

void FormMain::showStatusText(int panel)
{
    if (m_panels[panel]->text() != m_statusTexts[panel])
        m_panels[panel]->setText(m_statusTexts[panel]);
}

void FormMain::showVerdict(WriteVerdict verdict)
{
    // A write read back shows its verdict once the meter has been read: a settings write
    // by the poll cycle that follows, a schedule write by the schedule's read sequence,
    // whose replies then go to the comparison, not onto the page.
    const bool verify = verdict == WriteVerdict::Success && NVerify->isChecked();
    const std::optional<SettingsWrite> settings = std::exchange(m_settingsWritten, std::nullopt);
    std::optional<ScheduleReadBack> schedule = std::exchange(m_scheduleWritten, std::nullopt);
    if (verify && schedule) {
        m_scheduleBack = std::move(schedule);
        m_engine->enqueue(m_scheduleBack->read().requests());
        return;
    }
    if (verify && settings) {
        m_readBack.emplace(*settings, m_clockWritten);
        return;
    }
    Shape1->setColour(verdict == WriteVerdict::Success ? QColor(0, 255, 0) : QColor(255, 0, 0));
    m_indicatorHolder->setVisible(true);
}

bool FormMain::indicatorShown() const
{
    return m_indicatorHolder->isVisible();
}

void FormMain::hideIndicator()
{
    m_indicatorHolder->setVisible(false);
}

void FormMain::setWriteEnabled(bool enabled)
{
    ActionSetting->setEnabled(enabled);
    ActionFixDb->setEnabled(enabled);
}

void FormMain::setFindAddressEnabled(bool enabled)
{
    ActionFindAddress->setEnabled(enabled);
}

void FormMain::setGauges(bool annual, bool consumption)
{
    TabSheet2->Gauge1->setVisible(annual);
    TabSheet2->Gauge2->setVisible(consumption);
}

void FormMain::firmwareChanged(const FirmwareVersion &version)
{
    TabSheet1->LabeledVersion->setText(version.text);
    const bool newer = hasCalendars(version.number);
    TabSchedule->StringAttrib->setVisible(newer);
    TabSchedule->GroupCel->setVisible(newer);
    TabSchedule->GroupTransfer->setVisible(newer);
    TabSchedule->BtnTemplet->setVisible(newer);
    TabSheet1->LabelA->setVisible(newer);
    TabSheet1->LabelB->setVisible(newer);
    TabSheet1->LabelC->setVisible(newer);
}

void FormMain::resetAction()
{
    if (ActionReset->isEnabled())
        ActionReset->trigger();
}

void FormMain::displayReset()
{
    TabSheet1->displayReset();
    if (m_production)
        m_production->forgetLastSetting(); // a write may have set it anew
    if (PageControl1->currentIndex() == 0 && TabSheet1->SpinEdit_Number->isVisible())
        TabSheet1->SpinEdit_Number->setFocus();
}

void FormMain::reportWriteFailure(const QString &text)
{
    showError(this, text);
}

void FormMain::replyAccepted(const QByteArray &frame)
{
    m_meter.take(frame);
    if (!frame.isEmpty() && quint8(frame.at(0)) == fn::WriteClock)
        m_clockWritten = QDateTime::currentDateTime();
    if (m_readBack && m_readBack->take(frame) && m_readBack->complete())
        finishReadBack(m_readBack->verdict());
}

void FormMain::replyMissing()
{
    if (m_readBack || m_scheduleBack)
        finishReadBack(ReadBackVerdict{QStringLiteral("Запись не прочитана обратно: счетчик не ответил."), {}, {}});
}

// A rejected reply drops the requests queued after it: the schedule's read-back is over.
void FormMain::replyRejected(const ReplyCheck &)
{
    if (m_scheduleBack)
        finishReadBack(ReadBackVerdict{QStringLiteral("Запись не прочитана обратно: ответ счетчика не принят."), {}, {}});
}

bool FormMain::takeScheduleBack(const QByteArray &frame)
{
    if (!m_scheduleBack)
        return false;
    for (const QString &line : m_scheduleBack->read().take(frame))
        m_engine->log(line);
    if (m_scheduleBack->read().complete())
        finishReadBack(m_scheduleBack->verdict());
    return true;
}

void FormMain::finishReadBack(const ReadBackVerdict &verdict)
{
    m_readBack.reset();
    m_scheduleBack.reset();
    Shape1->setColour(verdict.kept() ? QColor(0, 255, 0) : QColor(255, 0, 0));
    m_indicatorHolder->setVisible(true);
    m_engine->timerShape().start(); // the verdict shows for its full two seconds
    if (!verdict.kept())
        showError(this, verdict.text());
}

} // namespace zk
