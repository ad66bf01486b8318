#pragma once
// The page "Тарифное расписание" (TabSchedule): tariff zones, day types,
// holidays and transfers.

#include "schedule/tariffschedule.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTimeEdit;
class QTreeWidget;
class QTreeWidgetItem;

namespace zk {

class StringGrid;

class PageSchedule : public QWidget
{
    Q_OBJECT
public:
    static constexpr int Zones = tariff::Zones;

    explicit PageSchedule(QWidget *parent = nullptr);

    // Header row of StringAttrib ("ПН" .. "ПР") and a mark in every body cell.
    void setFixedCaptions();
    // Each tariff cell of ValueListEditor1 becomes a pick list "1", "2", "3" that
    // takes no typed text.
    void setupTariffPickLists();
    // The controls inside GroupTariff, GroupCel and GroupTransfer are enabled
    // exactly when one-tariff mode is off.
    void applyEnablingRule();
    // One group: every control inside, containers recursively; grids go grey when
    // disabled; an "Добавить" button stays disabled while its list is full.
    void enableGroup(bool enabled, QWidget *group);

    // ---- the editor's contents ----
    // Tariff text of a zone (the value cell of row zone + 1), shown as it comes.
    QString tariffText(int zone) const;
    void setTariffText(int zone, const QString &text);
    // Start time of a zone. Setting it from outside moves no other zone.
    QTime startTime(int zone) const;
    void setStartTime(int zone, const QTime &time);
    // Day-type mask of a zone: bit b set when column b of row zone + 1 is marked.
    quint8 dayMask(int zone) const;
    void setDayMasks(const DayMasks &masks);
    void clearDayMasks();
    // One-tariff mode; setting it runs the enabling rule as a click does.
    bool oneTariff() const;
    void setOneTariff(bool on);
    // The calendars in list order, from the values kept beside the shown texts.
    QList<Holiday> holidays() const;
    QList<Transfer> transfers() const;
    void setHolidays(const QList<Holiday> &list);
    void setTransfers(const QList<Transfer> &list);

    // The whole schedule as the controls hold it. A tariff text that is not a whole
    // number gives tariff 0 here; ValidateSchedule() refuses it.
    TariffSchedule schedule() const;
    // Puts a schedule into the controls (no start-time push; the enabling rule runs).
    void setSchedule(const TariffSchedule &schedule);
    // The six zones' tariff texts as typed.
    QStringList tariffTexts() const;

    // The checks of a write for this firmware number (scheduleWriteProblem()); a failed
    // check shows its message and gives false.
    bool ValidateSchedule(int firmware);

    // ---- replies of a read ----
    // The zone reply: mode, enabling rule, tariffs and valid start times. Returns the
    // zones whose start time did not exist (left as they were).
    QList<int> showZones(const ZoneReply &reply);
    // The day-type reply: the masks, or every mark removed when there are none.
    void showDayTypes(const std::optional<DayMasks> &masks);
    // Entries appended in arrival order; a full list takes no more.
    void appendHoliday(const Holiday &holiday);
    void appendTransfer(const Transfer &transfer);
    // Both lists emptied for a read.
    void clearCalendars();

public slots:
    void CheckOneTarifClick();
    // The operator changed a start time: the sender's tag names the zone.
    void Picker_Zone0Change();
    // The start-time push after the operator set zone `zone` to `time`.
    void pushStartTimes(int zone, const QTime &time);
    void StringAttribClick(int row, int column);
    void ComboMChange(int index);
    void BtnInsCelClick();
    void BtnDelCelClick();
    void ListCelSelectItem();
    void DTPTransChange(const QDate &date);
    void BtnInsTransClick();
    void BtnDelTransClick();
    void ListTransferSelectItem();
    void BtnTempletClick();

public:
    QCheckBox *CheckOneTarif;
    QPushButton *BtnReadSchedule;
    QPushButton *BtnWriteSchedule;
    QPushButton *BtnTemplet;

    QGroupBox *GroupTariff;
    StringGrid *ValueListEditor1;
    QLabel *LabelTime;
    QTimeEdit *Picker_Zone[Zones];
    StringGrid *StringAttrib;

    QGroupBox *GroupCel;
    QComboBox *ComboM;
    QSpinBox *SpinD;
    QPushButton *BtnInsCel;
    QPushButton *BtnDelCel;
    QTreeWidget *ListCel;

    QGroupBox *GroupTransfer;
    QDateEdit *DTPTrans;
    QComboBox *ComboTrans;
    QPushButton *BtnInsTrans;
    QPushButton *BtnDelTrans;
    QTreeWidget *ListTransfer;

private:
    void insertHoliday(int position, const Holiday &holiday);
    void insertTransfer(int position, const Transfer &transfer);
    void updateAddButtons();

    bool m_programmatic = false; // start times set from outside: no push
};

} // namespace zk
