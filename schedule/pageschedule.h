#pragma once
// The page "Тарифное расписание" (TabSchedule): tariff zones, day types,
// holidays and transfers.

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

namespace zk {

class StringGrid;

class PageSchedule : public QWidget
{
    Q_OBJECT
public:
    static constexpr int Zones = 6;

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
};

} // namespace zk
