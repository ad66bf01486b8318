#include "meter/pagesettings.h"

#include "meter/formstatus.h"
#include "ui/editmark.h"
#include "ui/widgets.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTimeEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <climits>

namespace zk {

namespace {

QGroupBox *group(const char *name, const QString &caption)
{
    return named<QGroupBox>(name, caption);
}

QCheckBox *check(const char *name, const QString &caption, bool checked = false)
{
    auto *box = named<QCheckBox>(name, caption);
    box->setChecked(checked);
    return box;
}

QSpinBox *spin(const char *name, int min, int max, int value)
{
    auto *box = named<QSpinBox>(name);
    box->setRange(min, max);
    box->setValue(value);
    box->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return box;
}

LabeledEdit *labeled(const char *name, const QString &caption, bool displayOnly = true)
{
    auto *edit = named<LabeledEdit>(name, caption);
    if (displayOnly) {
        edit->setDisplayOnly(true);
        edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("00000:00")) + 10);
    }
    return edit;
}

void addRow(QGridLayout *grid, QWidget *label, QWidget *field)
{
    const int row = grid->rowCount();
    grid->addWidget(label, row, 0);
    grid->addWidget(field, row, 1, Qt::AlignLeft);
}

void addRow(QGridLayout *grid, LabeledEdit *edit)
{
    addRow(grid, edit->label(), edit);
}

} // namespace

PageSettings::PageSettings(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TabSheet1"));

    // " О счетчике "
    GroupBox1 = group("GroupBox1", QStringLiteral(" О счетчике "));
    SpinNewAddr = spin("SpinNewAddr", 0, 255, 1);
    LabeledCurTime = labeled("LabeledCurTime", QStringLiteral("Время : "));
    CheckSummer = check("CheckSummer", QStringLiteral("Автопереход на летнее время"));
    CheckSummer->setEnabled(false);
    LabelNumber = named<QLabel>("LabelNumber", QStringLiteral("Заводской № :"));
    SpinEdit_Number = spin("SpinEdit_Number", 0, MaxSerialNumber, 0);
    BitBtn1 = named<QToolButton>("BitBtn1");
    BitBtn1->setText(QStringLiteral("+"));
    BitBtn1->setToolTip(QStringLiteral("Следующий свободный номер"));
    BitBtn1->setFixedSize(SpinEdit_Number->sizeHint().height(), SpinEdit_Number->sizeHint().height());
    LabeledVersion = labeled("LabeledVersion", QStringLiteral("Версия ПО : "));
    LabeledNCorrect = labeled("LabeledNCorrect", QStringLiteral("Счетчик коррекций : "));
    LabeledOff = labeled("LabeledOff", QStringLiteral("Время вкл. состояния : "));
    LabeledDelta = labeled("LabeledDelta", QStringLiteral("Уход за сутки (сек.) : "));
    EditOff = named<QLineEdit>("EditOff", GroupBox1);
    EditOff->hide();
    {
        auto *grid = new QGridLayout(GroupBox1);
        grid->setVerticalSpacing(2);
        // The rows with number boxes span the grid, so the long captions of the
        // display boxes below do not push the numbers outwards.
        auto *addressRow = new QHBoxLayout;
        addressRow->addWidget(new QLabel(QStringLiteral("Новый адрес:")));
        addressRow->addStretch(1);
        addressRow->addWidget(SpinNewAddr);
        grid->addLayout(addressRow, grid->rowCount(), 0, 1, 2);
        // The clock needs the room of date and time: its box takes the whole row.
        auto *timeRow = new QHBoxLayout;
        timeRow->addWidget(LabeledCurTime->label());
        timeRow->addWidget(LabeledCurTime, 1);
        LabeledCurTime->setMinimumWidth(0);
        LabeledCurTime->setMaximumWidth(QWIDGETSIZE_MAX);
        grid->addLayout(timeRow, grid->rowCount(), 0, 1, 2);
        grid->addWidget(CheckSummer, grid->rowCount(), 0, 1, 2);
        auto *numberRow = new QHBoxLayout;
        numberRow->setSpacing(2);
        numberRow->addWidget(LabelNumber);
        numberRow->addStretch(1);
        numberRow->addWidget(SpinEdit_Number);
        numberRow->addWidget(BitBtn1);
        grid->addLayout(numberRow, grid->rowCount(), 0, 1, 2);
        addRow(grid, LabeledVersion);
        addRow(grid, LabeledNCorrect);
        addRow(grid, LabeledOff);
        addRow(grid, LabeledDelta);
        grid->setColumnStretch(1, 1);
        grid->setRowStretch(grid->rowCount(), 1);
    }
    LabeledDelta->setVisible(false);
    // The serial number box holds at most six characters.
    SpinEdit_Number->setFixedWidth(SpinEdit_Number->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 28);
    SpinNewAddr->setFixedWidth(SpinEdit_Number->width());

    // " Номера ДДМ "
    GroupBox8 = group("GroupBox8", QStringLiteral(" Номера ДДМ "));
    SpinEditA = spin("SpinEditA", INT_MIN, INT_MAX, 0);
    SpinEditB = spin("SpinEditB", INT_MIN, INT_MAX, 0);
    SpinEditC = spin("SpinEditC", INT_MIN, INT_MAX, 0);
    LabelA = named<QLabel>("LabelA");
    LabelB = named<QLabel>("LabelB");
    LabelC = named<QLabel>("LabelC");
    CheckDdmRead = check("CheckDdmRead", QStringLiteral("Не считывать"), true);
    {
        auto *grid = new QGridLayout(GroupBox8);
        grid->setVerticalSpacing(2);
        const QString captions[3] = {QStringLiteral("ДДМ фазы \"A\":"), QStringLiteral("\"B\":"),
                                     QStringLiteral("\"C\":")};
        QSpinBox *spins[3] = {SpinEditA, SpinEditB, SpinEditC};
        QLabel *stamps[3] = {LabelA, LabelB, LabelC};
        // Each phase: caption and number, then its time stamp right-aligned below.
        for (int i = 0; i < 3; ++i) {
            auto *caption = new QLabel(captions[i]);
            caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            grid->addWidget(caption, 2 * i, 0);
            spins[i]->setFixedWidth(spins[i]->fontMetrics().horizontalAdvance(QStringLiteral("16777215")) + 24);
            grid->addWidget(spins[i], 2 * i, 1, Qt::AlignLeft);
            stamps[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            stamps[i]->setMinimumHeight(stamps[i]->fontMetrics().height());
            grid->addWidget(stamps[i], 2 * i + 1, 0, 1, 3);
        }
        grid->addWidget(CheckDdmRead, 6, 0, 1, 3);
        grid->setColumnStretch(2, 1);
    }

    // " Календарь : "
    GroupCalendar = group("GroupCalendar", QStringLiteral(" Календарь : "));
    TimePicker = named<QTimeEdit>("TimePicker", QTime::currentTime());
    TimePicker->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    DatePicker = named<QDateEdit>("DatePicker", QDate::currentDate());
    DatePicker->setDisplayFormat(QStringLiteral("ddd d MMMM yyyy"));
    DatePicker->setCalendarPopup(true);
    fillOwnBackground(TimePicker);
    fillOwnBackground(DatePicker);
    CheckBoxClock = check("CheckBoxClock", QStringLiteral("Автопереход на летнее время"));
    GroupTimerCorrect = group("GroupTimerCorrect", QStringLiteral(" Пересчет коррекции "));
    LabelClock = named<QLabel>("LabelClock", QStringLiteral("Суточная коррекция часов :"));
    SpinClock = spin("SpinClock", -31, 31, 1);
    SpinClock->setReadOnly(true);
    SpinClock->setFixedWidth(SpinClock->fontMetrics().horizontalAdvance(QStringLiteral("-000")) + 28);
    EditCorrect = named<QLineEdit>("EditCorrect");
    BitBtn2 = named<QToolButton>("BitBtn2");
    {
        auto *inner = new QGridLayout(GroupTimerCorrect);
        inner->setVerticalSpacing(3);
        inner->addWidget(LabelClock, 0, 0, 1, 3);
        inner->addWidget(SpinClock, 1, 0);
        inner->addWidget(EditCorrect, 1, 1);
        inner->addWidget(BitBtn2, 1, 2);
        auto *box = new QVBoxLayout(GroupCalendar);
        box->setSpacing(3);
        box->addWidget(TimePicker);
        box->addWidget(DatePicker);
        box->addWidget(CheckBoxClock);
        box->addWidget(GroupTimerCorrect);
    }
    GroupTimerCorrect->setVisible(false);

    // " Установки для записи "
    GroupBox2 = group("GroupBox2", QStringLiteral(" Установки для записи "));
    LabeledPass2 = labeled("LabeledPass2", QStringLiteral("Пароль для доступа : "), false);
    LabeledPass1 = labeled("LabeledPass1", QStringLiteral("Пароль для записи : "), false);
    for (LabeledEdit *pass : {LabeledPass2, LabeledPass1}) {
        pass->setMaxLength(5);
        pass->setText(FactoryPassword);
        pass->setFixedWidth(pass->fontMetrics().horizontalAdvance(QStringLiteral("000000")) + 12);
    }
    CheckAddr = check("CheckAddr", QStringLiteral("Записать адрес"));
    CheckShedule = check("CheckShedule", QStringLiteral("Записать РДЧ"));
    CheckIndi = check("CheckIndi", QStringLiteral("Установить индикацию"));
    CheckTime = check("CheckTime", QStringLiteral("Установить время"));
    CheckDDM = check("CheckDDM", QStringLiteral("Записать номера ДДМ"));
    CheckPassword = check("CheckPassword", QStringLiteral("Записать новый пароль"));
    CheckCorrect = check("CheckCorrect", QStringLiteral("Установить суточную коррекцию"));
    CheckResetTariff = check("CheckResetTariff", QStringLiteral("Сброс тарифного расписания"));
    {
        auto *grid = new QGridLayout(GroupBox2);
        grid->setVerticalSpacing(2);
        addRow(grid, LabeledPass2);
        addRow(grid, LabeledPass1);
        for (QCheckBox *box : {CheckAddr, CheckShedule, CheckIndi, CheckTime, CheckDDM,
                               CheckPassword, CheckCorrect, CheckResetTariff})
            grid->addWidget(box, grid->rowCount(), 0, 1, 2);
        grid->setRowStretch(grid->rowCount(), 1);
    }

    // " РДЧ : "
    GroupSchedule = group("GroupSchedule", QStringLiteral(" РДЧ : "));
    SpinDay = spin("SpinDay", 1, 31, 1);
    SpinHour = spin("SpinHour", 0, 23, 0);
    CheckReadTarif = check("CheckReadTarif", QStringLiteral("Не считывать"), true);
    {
        auto *grid = new QGridLayout(GroupSchedule);
        grid->setVerticalSpacing(2);
        addRow(grid, new QLabel(QStringLiteral("Расчетный день:")), SpinDay);
        addRow(grid, new QLabel(QStringLiteral("Расчетный час:")), SpinHour);
        grid->addWidget(CheckReadTarif, grid->rowCount(), 0, 1, 2);
    }

    // " Индикация "
    GroupBox4 = group("GroupBox4", QStringLiteral(" Индикация "));
    CheckBox1 = check("CheckBox1", QStringLiteral("Суммарная"));
    CheckBox2 = check("CheckBox2", QStringLiteral("На расч. день"));
    CheckBox3 = check("CheckBox3", QStringLiteral("Дата"));
    CheckBox4 = check("CheckBox4", QStringLiteral("Время"));
    CheckNoIndi = check("CheckNoIndi", QStringLiteral("Не считывать"), true);
    {
        auto *grid = new QGridLayout(GroupBox4);
        grid->setVerticalSpacing(2);
        grid->addWidget(CheckBox1, 0, 0);
        grid->addWidget(CheckBox2, 1, 0);
        grid->addWidget(CheckBox3, 2, 0);
        grid->addWidget(CheckBox4, 3, 0);
        grid->addWidget(CheckNoIndi, 4, 0);
    }

    // " Статус : "
    GroupStatus = group("GroupStatus", QStringLiteral(" Статус : "));
    Memo1 = named<QPlainTextEdit>("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    {
        QPalette p = Memo1->palette();
        p.setColor(QPalette::Base, QColor(255, 251, 240));
        p.setColor(QPalette::Text, QColor(128, 0, 0));
        Memo1->setPalette(p);
        auto *box = new QVBoxLayout(GroupStatus);
        box->addWidget(Memo1);
    }

    for (QGroupBox *box : findChildren<QGroupBox *>()) {
        box->layout()->setContentsMargins(6, 4, 6, 4);
        box->layout()->setSpacing(2);
    }

    auto *left = new QVBoxLayout;
    left->addWidget(GroupBox1, 1);
    left->addWidget(GroupBox8);
    auto *middle = new QVBoxLayout;
    middle->addWidget(GroupCalendar);
    middle->addWidget(GroupBox2, 1);
    auto *right = new QVBoxLayout;
    right->addWidget(GroupSchedule);
    right->addWidget(GroupBox4);
    right->addWidget(GroupStatus, 1);
    for (QVBoxLayout *col : {left, middle, right}) {
        col->setContentsMargins(0, 0, 0, 0);
        col->setSpacing(4);
    }
    auto *columns = new QHBoxLayout(this);
    columns->setContentsMargins(4, 4, 4, 4);
    columns->setSpacing(4);
    columns->addLayout(left, 0);
    columns->addLayout(middle, 0);
    columns->addLayout(right, 1);

    // Controls whose operator changes freeze them against the readout.
    for (QWidget *w : std::initializer_list<QWidget *>{
             SpinNewAddr, LabeledDelta, SpinDay, SpinHour, SpinEditA, SpinEditB, SpinEditC,
             DatePicker, TimePicker, SpinClock, SpinEdit_Number, CheckSummer, CheckBox1,
             CheckBox2, CheckBox3, CheckBox4, CheckBoxClock})
        markOnChange(w);
    connect(SpinEdit_Number, &QSpinBox::valueChanged, this, &PageSettings::SpinEdit_NumberChange);
}

SettingsWrite PageSettings::settingsToWrite() const
{
    SettingsWrite w;
    w.accessPassword = LabeledPass2->text();
    if (CheckTime->isChecked())
        w.clock = ClockSetting{DatePicker->date(), TimePicker->time(), CheckBoxClock->isChecked()};
    if (CheckPassword->isChecked())
        w.newPassword = LabeledPass1->text();
    if (CheckCorrect->isChecked())
        w.correction = SpinClock->value();
    if (isEdited(SpinEdit_Number))
        w.serial = SpinEdit_Number->value();
    if (CheckAddr->isChecked())
        w.address = SpinNewAddr->value();
    if (CheckShedule->isChecked())
        w.billing = BillingDay{SpinHour->value(), SpinDay->value()};
    if (CheckDDM->isChecked())
        w.ddm = Triple{SpinEditA->value(), SpinEditB->value(), SpinEditC->value()};
    if (CheckIndi->isChecked()) {
        const QCheckBox *boxes[4] = {CheckBox1, CheckBox2, CheckBox3, CheckBox4};
        quint8 flags = 0;
        for (int bit = 0; bit < 4; ++bit)
            if (boxes[bit]->isChecked())
                flags |= quint8(1 << bit);
        w.indication = flags;
    }
    w.resetTariff = CheckResetTariff->isChecked();
    return w;
}

void PageSettings::passwordReplied()
{
    if (LabeledPass2->text() != LabeledPass1->text() && CheckPassword->isChecked())
        LabeledPass2->setText(LabeledPass1->text());
}

void PageSettings::refreshPickers(const QDateTime &now)
{
    // Set only when they differ: setting a picker to what it shows repaints it all the same.
    fillUnmarked(DatePicker, [&] {
        if (DatePicker->date() != now.date())
            DatePicker->setDate(now.date());
    });
    fillUnmarked(TimePicker, [&] {
        const QTime t = now.time();
        const QTime whole(t.hour(), t.minute(), t.second()); // the picker shows seconds
        if (TimePicker->time() != whole)
            TimePicker->setTime(whole);
    });
}

void PageSettings::stepDdm(int delta)
{
    for (QSpinBox *box : {SpinEditA, SpinEditB, SpinEditC})
        box->setValue(box->value() + delta);
}

void PageSettings::SpinEdit_NumberChange()
{
    // The mark is set by markOnChange(); then the address rule.
    if (!SpinEdit_Number->isEnabled() || !CheckAddr->isChecked() || !m_proposeAddress)
        return;
    if (const auto address = m_proposeAddress(SpinEdit_Number->value()))
        SpinNewAddr->setValue(*address);
}

bool PageSettings::showSerial(int number)
{
    const int before = SpinEdit_Number->value();
    if (!fillUnmarked(SpinEdit_Number, [&] {
            if (number != before)
                SpinEdit_Number->setValue(number);
        }))
        return false;
    m_reportedSerial = number;
    SpinEdit_Number->setEnabled(serialEditableFor(number));
    BitBtn1->setEnabled(serialEditableFor(number));
    return number != before;
}

void PageSettings::showClock(const MeterClock &clock)
{
    LabeledDelta->clear();
    LabeledCurTime->setText(clockText(clock));
    CheckSummer->setChecked(clock.summer);
}

void PageSettings::showCorrection(int correction)
{
    fillUnmarked(SpinClock, [&] { SpinClock->setValue(correction); });
}

void PageSettings::showDdm(const Triple &numbers)
{
    if (CheckDdmRead->isChecked())
        return;
    QSpinBox *boxes[3] = {SpinEditA, SpinEditB, SpinEditC};
    for (int i = 0; i < 3; ++i)
        fillUnmarked(boxes[i], [&] { boxes[i]->setValue(int(numbers[size_t(i)])); });
}

void PageSettings::showIndication(quint8 flags)
{
    QCheckBox *boxes[4] = {CheckBox1, CheckBox2, CheckBox3, CheckBox4};
    if (CheckNoIndi->isChecked())
        return;
    for (QCheckBox *box : boxes)
        if (isEdited(box))
            return;
    for (int bit = 0; bit < 4; ++bit) {
        boxes[bit]->setChecked(flags & (1 << bit));
        setEdited(boxes[bit], false);
    }
}

void PageSettings::showTurnOn(const TurnOn &turnOn)
{
    EditOff->setText(QString::number(turnOn.halfMinutes));
    LabeledOff->setText(halfMinutesText(turnOn.halfMinutes));
    LabeledNCorrect->setText(QString::number(turnOn.corrections));
}

void PageSettings::showBilling(const BillingDay &billing)
{
    if (CheckReadTarif->isChecked())
        return;
    fillUnmarked(SpinDay, [&] { SpinDay->setValue(billing.day); });
    fillUnmarked(SpinHour, [&] { SpinHour->setValue(billing.hour); });
}

void PageSettings::showDdmStamps(const StampCounts &counts)
{
    if (CheckDdmRead->isChecked())
        return;
    const QSpinBox *boxes[3] = {SpinEditA, SpinEditB, SpinEditC};
    QLabel *labels[3] = {LabelA, LabelB, LabelC};
    for (int i = 0; i < 3; ++i) {
        const auto stamp = ddmStamp(boxes[i]->value(), counts[size_t(i)]);
        labels[i]->setText(stamp ? dateTimeText(*stamp) : QString());
    }
}

void PageSettings::showStatus(quint8 status)
{
    if (status == m_lastStatus)
        return;
    m_lastStatus = status;
    showStatusLines(Memo1, status);
}

void PageSettings::displayReset()
{
    SpinEdit_Number->setValue(0);
    for (QLineEdit *edit : {static_cast<QLineEdit *>(LabeledCurTime), static_cast<QLineEdit *>(LabeledNCorrect),
                            static_cast<QLineEdit *>(LabeledOff), static_cast<QLineEdit *>(LabeledVersion)})
        edit->clear();
    LabelA->clear();
    LabelB->clear();
    LabelC->clear();
    CheckSummer->setChecked(false);
    SpinEdit_Number->setEnabled(true);
    BitBtn1->setEnabled(true);
    clearEdited(this);
    m_lastStatus = 0;
    Memo1->clear();
}

void PageSettings::copyPasswordMasking()
{
    LabeledPass2->setEchoMode(LabeledPass1->echoMode());
}

} // namespace zk
