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
    if (verdict == WriteVerdict::Success && NVerify->isChecked() && m_scheduleWriteRecorded) {
        m_scheduleBack.emplace(m_scheduleWrittenFirmware);
        m_engine->enqueue(m_scheduleBack->requests());
        return;
    }
    if (verdict == WriteVerdict::Success && NVerify->isChecked() && m_lastWriteQueued.isValid()) {
        m_readBack = ReadBack{true, m_lastWrite, m_lastWriteQueued, MeterInfo{}, QDateTime()};
        m_lastWriteQueued = QDateTime();
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
    const bool newer = version.number >= 10;
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
    m_lastSettingTime = QDateTime();
    if (PageControl1->currentIndex() == 0 && TabSheet1->SpinEdit_Number->isVisible())
        TabSheet1->SpinEdit_Number->setFocus();
}

void FormMain::reportWriteFailure(const QString &text)
{
    showError(this, text);
}

void FormMain::replyAccepted(const QByteArray &frame)
{
    if (!m_readBack.active || !m_readBack.read.take(frame))
        return;
    if (quint8(frame.at(0)) == fn::ReadClock)
        m_readBack.clockArrival = QDateTime::currentDateTime();
    if (m_readBack.read.complete())
        finishReadBack(QString());
}

void FormMain::replyMissing()
{
    const QString failure = QStringLiteral("Запись не прочитана обратно: счетчик не ответил.");
    if (m_readBack.active)
        finishReadBack(failure);
    if (m_scheduleBack)
        finishScheduleReadBack(failure);
}

// A rejected reply drops the requests queued after it: the schedule's read-back is over.
void FormMain::replyRejected(const ReplyCheck &)
{
    if (m_scheduleBack)
        finishScheduleReadBack(QStringLiteral("Запись не прочитана обратно: ответ счетчика не принят."));
}

bool FormMain::takeScheduleBack(const QByteArray &frame)
{
    if (!m_scheduleBack)
        return false;
    for (const QString &line : m_scheduleBack->take(frame))
        m_engine->log(line);
    if (m_scheduleBack->complete())
        finishScheduleReadBack(QString());
    return true;
}

void FormMain::finishScheduleReadBack(const QString &failure)
{
    const TariffSchedule read = m_scheduleBack->schedule();
    m_scheduleBack.reset();
    showReadBack(failure, failure.isEmpty()
                              ? scheduleMismatches(m_scheduleWritten, read, m_scheduleWrittenFirmware)
                              : QList<Mismatch>{});
}

void FormMain::finishReadBack(const QString &failure)
{
    m_readBack.active = false;
    showReadBack(failure, failure.isEmpty() ? settingsMismatches(m_readBack.written, m_readBack.read,
                                                                 m_readBack.queued.msecsTo(m_readBack.clockArrival))
                                            : QList<Mismatch>{});
}

void FormMain::showReadBack(const QString &failure, const QList<Mismatch> &mismatches)
{
    const bool kept = failure.isEmpty() && mismatches.isEmpty();
    Shape1->setColour(kept ? QColor(0, 255, 0) : QColor(255, 0, 0));
    m_indicatorHolder->setVisible(true);
    m_engine->timerShape().start(); // the verdict shows for its full two seconds
    if (!kept)
        showError(this, failure.isEmpty() ? QStringLiteral("Счетчик подтвердил запись, но хранит другое:\n")
                                                + mismatchesText(mismatches)
                                          : failure);
}

} // namespace zk
