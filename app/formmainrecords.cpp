// The main window's records: the local register (restored settings, the browse view, "+"),
// or in SQL mode the production bench (identification, drift, fix, defects); every
// completed write recorded through the operations of ops/.
#include "app/formmain.h"

#include "meter/pagereadings.h"
#include "meter/pagesettings.h"
#include "ops/rules.h"
#include "ops/settingsoperation.h"
#include "records/formspoilage.h"
#include "records/pagedatabase.h"
#include "records/register.h"
#include "schedule/pageschedule.h"
#include "ui/editmark.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>

namespace zk {

void FormMain::loadLastSettings()
{
    if (sqlMode()) {
        // A server down at start-up costs the restored settings, not the rest of the start-up,
        // and the identification that follows opens no second box for the same failure.
        try {
            loadProductionSettings();
        } catch (const DatabaseError &e) {
            m_identifyFailureShown = true;
            reportError(e.text());
        }
        return;
    }
    // A register that cannot be read (busy, damaged) costs the restored settings, not the
    // rest of the start-up.
    std::optional<LastSettings> last;
    try {
        const DbfTable table = openOrCreateRegister(QDir::currentPath());
        last = latestSettings(table);
    } catch (const DbfError &e) {
        reportError(e.text());
        return;
    }
    if (!last)
        return;
    // The zones of the latest record; a NULL time reads as 00:00.
    if (last->zone0) {
        TabSchedule->setOneTariff(*last->zone0 == 0);
        if (*last->zone0 != 0) {
            TabSchedule->setTariffText(0, QString::number(*last->zone0));
            TabSchedule->setStartTime(0, last->times[0].value_or(QTime(0, 0)));
        }
    }
    for (int zone = 1; zone <= 5; ++zone) {
        if (const auto &tariff = last->zones[size_t(zone - 1)]) {
            TabSchedule->setTariffText(zone, *tariff);
            TabSchedule->setStartTime(zone, last->times[size_t(zone)].value_or(QTime(0, 0)));
        }
    }
    if (last->indicator) {
        QCheckBox *boxes[4] = {TabSheet1->CheckBox1, TabSheet1->CheckBox2, TabSheet1->CheckBox3, TabSheet1->CheckBox4};
        for (int bit = 0; bit < 4; ++bit)
            boxes[bit]->setChecked(*last->indicator & (1 << bit));
    }
}

ProductionSession &FormMain::production()
{
    if (!m_production)
        m_production = std::make_unique<ProductionSession>();
    return *m_production;
}

WriteRecords FormMain::records()
{
    return WriteRecords(sqlMode() ? &production() : nullptr);
}

void FormMain::showOutcome(const Outcome &outcome)
{
    if (outcome.caption.isEmpty())
        reportError(outcome.message);
    else
        showMessage(this, QMessageBox::Critical, outcome.caption, outcome.message);
}

void FormMain::identifyBench()
{
    try {
        const Identification id = production().identify();
        m_identifyFailureShown = false;
        if (!id.ok()) {
            showMessage(this, QMessageBox::Warning, QString::fromUtf8(CaptionStopped), id.problem);
            // The program ends without its shut-down sequence: nothing is saved.
            hide();
            QCoreApplication::exit(1);
            return;
        }
    } catch (const DatabaseError &e) {
        // One box per failure: every return to the window would otherwise open another
        // while the server is down.
        if (m_identifyFailureShown)
            return;
        m_identifyFailureShown = true;
        reportError(e.text());
    }
}

void FormMain::loadProductionSettings()
{
    const ProductionStartSettings last = production().database().lastSettings();
    TabSchedule->setOneTariff(last.oneTariff);
    if (!last.oneTariff) {
        for (int zone = 0; zone < 6; ++zone) {
            TabSchedule->setTariffText(zone, last.zones[size_t(zone)]);
            TabSchedule->setStartTime(zone, last.zoneTimes[size_t(zone)]);
        }
    }
    if (last.indicator) {
        QCheckBox *boxes[4] = {TabSheet1->CheckBox1, TabSheet1->CheckBox2, TabSheet1->CheckBox3, TabSheet1->CheckBox4};
        for (int bit = 0; bit < 4; ++bit)
            boxes[bit]->setChecked(*last.indicator & (1 << bit));
    }
    if (last.password)
        TabSheet1->LabeledPass1->setText(*last.password);
}

void FormMain::lookupLastSettingTime()
{
    try {
        production().lookUpLastSetting(TabSheet1->SpinEdit_Number->value());
    } catch (const DatabaseError &e) {
        reportError(e.text()); // the poll goes on; the last setting time stays
    }
}

void FormMain::showDrift(const MeterClock &clock)
{
    if (const QString drift = production().driftText(clock, QDateTime::currentDateTime()); !drift.isEmpty())
        TabSheet1->LabeledDelta->setText(drift);
}

void FormMain::BitBtn1Click()
{
    Outcome failure;
    const std::optional<qint64> next = records().nextFreeNumber(&failure);
    if (!next) {
        showOutcome(failure);
        return;
    }
    if (const QString problem = nextSerialProblem(*next); !problem.isEmpty()) {
        showError(this, problem);
        return;
    }
    QSpinBox *number = TabSheet1->SpinEdit_Number;
    number->setValue(int(*next));
    setEdited(number, true);
}

// Behaviour of later parts.
void FormMain::ActionOpenExecute()
{
    try {
        const DbfTable table = openOrCreateRegister(QDir::currentPath());
        TabSheet5->openView(table.path());
    } catch (const DbfError &e) {
        reportError(e.text());
        return;
    }
    ActionOpen->setEnabled(false);
    ActionClose->setEnabled(true);
    PageControl1->setCurrentWidget(TabSheet5);
}

void FormMain::ActionCloseExecute()
{
    TabSheet5->closeView();
    ActionOpen->setEnabled(!sqlMode());
    ActionClose->setEnabled(false);
}

void FormMain::ActionSpoilageExecute()
{
    auto *window = qobject_cast<FormSpoilage *>(m_spoilage.data());
    if (!window)
        return;
    const int serial = TabSheet1->SpinEdit_Number->value();
    Outcome refusal;
    const std::optional<int> electroId = production().defectMeter(serial, &refusal);
    if (!electroId) {
        showOutcome(refusal);
        return;
    }
    window->setMeter(*electroId, serial);
    window->setRegister([this](int meter, const QString &code) {
        if (const Outcome outcome = production().registerDefectOf(meter, code); !outcome.ok())
            throw Error(outcome.message);
    });
    window->exec();
}

void FormMain::ActionFixDbExecute()
{
    const ReadoutForRecord readout = readoutOf(m_meter, TabSheet1->settingsToWrite());
    if (const Outcome outcome = records().recordFix(readout, TabSheet1->LabeledDelta->text()); !outcome.ok()) {
        showOutcome(outcome);
        return; // nothing recorded: no green light
    }
    emit writeRecorded();
    // Green for two seconds, then the display reset, as after a write.
    showVerdict(WriteVerdict::Success);
    m_engine->timerShape().start();
}

void FormMain::recordWrite()
{
    // A schedule write is recorded as a settings write: the boxes as they stand.
    const Outcome outcome = records().record(TabSheet1->settingsToWrite(), m_meter, TabSheet1->LabeledDelta->text());
    if (!outcome.ok()) {
        showOutcome(outcome);
        return;
    }
    emit writeRecorded();
}

} // namespace zk
