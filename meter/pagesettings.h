#pragma once
// The page "Установка" (TabSheet1): what the meter reports and what is to be
// written to it. The controls keep their names as object names and member names.

#include "meter/readout.h"
#include "meter/settingswrite.h"

#include <QWidget>
#include <functional>
#include <optional>

class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;
class QTimeEdit;
class QToolButton;

namespace zk {

class LabeledEdit;

class PageSettings : public QWidget
{
    Q_OBJECT
public:
    explicit PageSettings(QWidget *parent = nullptr);

    // Empties the readout and clears every edited mark of the page (the display
    // reset). Keeps grids, DDM numbers, correction, billing day and indication.
    void displayReset();

    // Decoded replies into the controls, under the edited mark and the
    // "Не считывать" boxes. showSerial() answers whether the number shown changed.
    bool showSerial(int number);
    // The number the meter last reported while the box was not edited.
    int reportedSerial() const { return m_reportedSerial; }
    void showClock(const MeterClock &clock);
    void showCorrection(int correction);
    void showDdm(const Triple &numbers);
    void showIndication(quint8 flags);
    void showTurnOn(const TurnOn &turnOn);
    void showBilling(const BillingDay &billing);
    void showDdmStamps(const StampCounts &counts);
    // The status memo changes only when the byte does.
    void showStatus(quint8 status);
    quint8 lastStatus() const { return m_lastStatus; }

    // What the boxes of " Установки для записи " ask to write, with the values of
    // the readout's controls as they stand.
    SettingsWrite settingsToWrite() const;
    // The reply to a password frame: with a new password to write, it becomes the
    // access password.
    void passwordReplied();
    // The pickers follow `now` unless the operator edited them.
    void refreshPickers(const QDateTime &now);
    // Adds `delta` to each DDM number (marking them, so the readout keeps them).
    void stepDdm(int delta);

    // The new address a serial number typed or read proposes (SQL mode), asked by
    // SpinEdit_NumberChange() while the number may be edited and "Записать адрес" is checked.
    using AddressProposal = std::function<std::optional<int>(int serial)>;
    void setAddressProposal(AddressProposal proposal) { m_proposeAddress = std::move(proposal); }
    void SpinEdit_NumberChange();
    // LabeledPass2 masks as LabeledPass1 does.
    void copyPasswordMasking();

    // " О счетчике "
    QGroupBox *GroupBox1;
    QSpinBox *SpinNewAddr;
    LabeledEdit *LabeledCurTime;
    QCheckBox *CheckSummer;
    QLabel *LabelNumber;
    QSpinBox *SpinEdit_Number;
    QToolButton *BitBtn1;
    LabeledEdit *LabeledVersion;
    LabeledEdit *LabeledNCorrect;
    LabeledEdit *LabeledOff;
    LabeledEdit *LabeledDelta;
    QLineEdit *EditOff;

    // " Номера ДДМ "
    QGroupBox *GroupBox8;
    QSpinBox *SpinEditA;
    QSpinBox *SpinEditB;
    QSpinBox *SpinEditC;
    QLabel *LabelA;
    QLabel *LabelB;
    QLabel *LabelC;
    QCheckBox *CheckDdmRead;

    // " Календарь : "
    QGroupBox *GroupCalendar;
    QTimeEdit *TimePicker;
    QDateEdit *DatePicker;
    QCheckBox *CheckBoxClock;
    QGroupBox *GroupTimerCorrect;
    QLabel *LabelClock;
    QSpinBox *SpinClock;
    QLineEdit *EditCorrect;
    QToolButton *BitBtn2; // bound to ActionCountCorrect by the window

    // " Установки для записи "
    QGroupBox *GroupBox2;
    LabeledEdit *LabeledPass2;
    LabeledEdit *LabeledPass1;
    QCheckBox *CheckAddr;
    QCheckBox *CheckShedule;
    QCheckBox *CheckIndi;
    QCheckBox *CheckTime;
    QCheckBox *CheckDDM;
    QCheckBox *CheckPassword;
    QCheckBox *CheckCorrect;
    QCheckBox *CheckResetTariff;

    // " РДЧ : "
    QGroupBox *GroupSchedule;
    QSpinBox *SpinDay;
    QSpinBox *SpinHour;
    QCheckBox *CheckReadTarif;

    // " Индикация "
    QGroupBox *GroupBox4;
    QCheckBox *CheckBox1;
    QCheckBox *CheckBox2;
    QCheckBox *CheckBox3;
    QCheckBox *CheckBox4;
    QCheckBox *CheckNoIndi;

    // " Статус : "
    QGroupBox *GroupStatus;
    QPlainTextEdit *Memo1;

private:
    quint8 m_lastStatus = 0;
    int m_reportedSerial = 0;
    AddressProposal m_proposeAddress;
};

} // namespace zk
