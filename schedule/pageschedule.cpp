#include "schedule/pageschedule.h"

#include "meter/readout.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace zk {

namespace {

constexpr int ListCapacity = tariff::ListCapacity;
const QString Mark = QStringLiteral(" + ");

template<typename T, typename... Args>
T *named(const QString &name, Args &&...args)
{
    auto *w = new T(std::forward<Args>(args)...);
    w->setObjectName(name);
    return w;
}

// The tariff cell: a drop-down list of the three tariffs, no typing.
class TariffPickList : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &,
                          const QModelIndex &) const override
    {
        auto *combo = new QComboBox(parent);
        combo->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")});
        combo->setEditable(false);
        combo->setMaxVisibleItems(3);
        return combo;
    }
    void setEditorData(QWidget *editor, const QModelIndex &index) const override
    {
        auto *combo = static_cast<QComboBox *>(editor);
        combo->setCurrentIndex(combo->findText(index.data().toString()));
    }
    void setModelData(QWidget *editor, QAbstractItemModel *model,
                      const QModelIndex &index) const override
    {
        auto *combo = static_cast<QComboBox *>(editor);
        if (combo->currentIndex() >= 0)
            model->setData(index, combo->currentText());
    }
};

// A list that asks for little room and takes what the page leaves it.
class CalendarList : public QTreeWidget
{
public:
    QSize sizeHint() const override { return {160, 70}; }
    QSize minimumSizeHint() const override { return {120, 50}; }
};

QTreeWidget *calendarList(const char *name, const QStringList &columns)
{
    auto *list = named<CalendarList>(QLatin1String(name));
    list->setColumnCount(int(columns.size()));
    list->setHeaderLabels(columns);
    list->setRootIsDecorated(false);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setUniformRowHeights(true);
    list->header()->setSectionResizeMode(QHeaderView::Stretch);
    // The columns share the width: there is nothing to scroll to sideways.
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return list;
}

} // namespace

PageSchedule::PageSchedule(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TabSchedule"));

    CheckOneTarif = named<QCheckBox>(QStringLiteral("CheckOneTarif"), QStringLiteral("Работа по одному тарифу"));
    CheckOneTarif->setChecked(true);
    BtnReadSchedule = named<QPushButton>(QStringLiteral("BtnReadSchedule"), QStringLiteral("Прочитать"));
    BtnWriteSchedule = named<QPushButton>(QStringLiteral("BtnWriteSchedule"), QStringLiteral("Записать"));
    BtnReadSchedule->setEnabled(false);
    BtnWriteSchedule->setEnabled(false);
    BtnTemplet = named<QPushButton>(QStringLiteral("BtnTemplet"), QStringLiteral("Восстановить праздники"));

    // " Многотарифный режим "
    GroupTariff = named<QGroupBox>(QStringLiteral("GroupTariff"), QStringLiteral(" Многотарифный режим "));
    LabelTime = named<QLabel>(QStringLiteral("LabelTime"), QStringLiteral("Время"));
    LabelTime->setAlignment(Qt::AlignCenter);
    static const char *const startTimes[Zones] = {"00:00", "06:30", "08:30", "11:30", "17:30", "20:30"};
    for (int z = 0; z < Zones; ++z) {
        Picker_Zone[z] = named<QTimeEdit>(QStringLiteral("Picker_Zone%1").arg(z));
        Picker_Zone[z]->setDisplayFormat(QStringLiteral("HH:mm"));
        Picker_Zone[z]->setTime(QTime::fromString(QLatin1String(startTimes[z]), QStringLiteral("HH:mm")));
        Picker_Zone[z]->setProperty("tag", z);
        // A typed time counts when it is complete (Enter or leaving the box), so the
        // start-time push never runs for a half-typed value.
        Picker_Zone[z]->setKeyboardTracking(false);
    }
    const int rowHeight = Picker_Zone[0]->sizeHint().height();

    ValueListEditor1 = new StringGrid(2, Zones + 1, 1, 1);
    ValueListEditor1->setObjectName(QStringLiteral("ValueListEditor1"));
    ValueListEditor1->setCellText(0, 0, QStringLiteral("Зона"));
    ValueListEditor1->setCellText(0, 1, QStringLiteral("Тариф"));
    static const char *const tariffs[Zones] = {"1", "2", "3", "2", "3", "2"};
    for (int z = 0; z < Zones; ++z) {
        ValueListEditor1->setCellText(z + 1, 0, QString::number(z));
        ValueListEditor1->setCellText(z + 1, 1, QLatin1String(tariffs[z]));
    }
    ValueListEditor1->setColumnWidths(ValueListEditor1->fontMetrics().horizontalAdvance(QStringLiteral("Тариф")) + 12);
    ValueListEditor1->setRowHeights(rowHeight);

    StringAttrib = new StringGrid(8, Zones + 1, 0, 1);
    StringAttrib->setObjectName(QStringLiteral("StringAttrib"));
    StringAttrib->setColumnWidths(StringAttrib->fontMetrics().horizontalAdvance(QStringLiteral("ПН")) + 10);
    StringAttrib->setRowHeights(rowHeight);

    for (StringGrid *grid : {ValueListEditor1, StringAttrib}) {
        grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        grid->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }
    {
        auto *pickers = new QVBoxLayout;
        pickers->setSpacing(0);
        LabelTime->setFixedHeight(rowHeight);
        pickers->addWidget(LabelTime);
        for (QTimeEdit *picker : Picker_Zone) {
            picker->setFixedHeight(rowHeight);
            pickers->addWidget(picker);
        }
        pickers->addStretch(1);
        auto *row = new QHBoxLayout(GroupTariff);
        row->addWidget(ValueListEditor1, 0, Qt::AlignTop);
        row->addLayout(pickers);
        row->addWidget(StringAttrib, 0, Qt::AlignTop);
        row->addStretch(1);
    }

    // " Праздники "
    GroupCel = named<QGroupBox>(QStringLiteral("GroupCel"), QStringLiteral(" Праздники "));
    ComboM = named<QComboBox>(QStringLiteral("ComboM"));
    ComboM->addItems(monthNames());
    ComboM->setCurrentIndex(0);
    SpinD = named<QSpinBox>(QStringLiteral("SpinD"));
    SpinD->setRange(1, 31);
    BtnInsCel = named<QPushButton>(QStringLiteral("BtnInsCel"), QStringLiteral("Добавить"));
    BtnDelCel = named<QPushButton>(QStringLiteral("BtnDelCel"), QStringLiteral("Удалить"));
    BtnDelCel->setEnabled(false);
    ListCel = calendarList("ListCel", {QStringLiteral("Месяц"), QStringLiteral("День")});
    {
        auto *grid = new QGridLayout(GroupCel);
        grid->setVerticalSpacing(3);
        grid->addWidget(new QLabel(QStringLiteral("месяц:")), 0, 0);
        grid->addWidget(ComboM, 0, 1);
        grid->addWidget(new QLabel(QStringLiteral("день:")), 1, 0);
        grid->addWidget(SpinD, 1, 1, Qt::AlignLeft);
        auto *buttons = new QHBoxLayout;
        buttons->addWidget(BtnInsCel);
        buttons->addWidget(BtnDelCel);
        grid->addLayout(buttons, 2, 0, 1, 2);
        grid->addWidget(ListCel, 3, 0, 1, 2);
        grid->setColumnStretch(1, 1);
    }

    // " Переносы "
    GroupTransfer = named<QGroupBox>(QStringLiteral("GroupTransfer"), QStringLiteral(" Переносы "));
    DTPTrans = named<QDateEdit>(QStringLiteral("DTPTrans"), QDate::currentDate());
    DTPTrans->setCalendarPopup(true);
    // A typed date counts when it is complete: a year half typed would otherwise be
    // taken for a past date and replaced by today.
    DTPTrans->setKeyboardTracking(false);
    ComboTrans = named<QComboBox>(QStringLiteral("ComboTrans"));
    ComboTrans->addItems(dayTypeNames());
    ComboTrans->setCurrentIndex(0);
    BtnInsTrans = named<QPushButton>(QStringLiteral("BtnInsTrans"), QStringLiteral("Добавить"));
    BtnDelTrans = named<QPushButton>(QStringLiteral("BtnDelTrans"), QStringLiteral("Удалить"));
    BtnDelTrans->setEnabled(false);
    ListTransfer = calendarList("ListTransfer", {QStringLiteral("День"), QStringLiteral("По графику")});
    {
        auto *grid = new QGridLayout(GroupTransfer);
        grid->setVerticalSpacing(3);
        grid->addWidget(DTPTrans, 0, 0, 1, 2);
        grid->addWidget(new QLabel(QStringLiteral("по графику:")), 1, 0);
        grid->addWidget(ComboTrans, 1, 1);
        auto *buttons = new QHBoxLayout;
        buttons->addWidget(BtnInsTrans);
        buttons->addWidget(BtnDelTrans);
        grid->addLayout(buttons, 2, 0, 1, 2);
        grid->addWidget(ListTransfer, 3, 0, 1, 2);
        grid->setColumnStretch(1, 1);
    }

    auto *top = new QHBoxLayout;
    top->addWidget(CheckOneTarif);
    top->addStretch(1);
    top->addWidget(BtnReadSchedule);
    top->addWidget(BtnWriteSchedule);

    auto *left = new QVBoxLayout;
    left->addLayout(top);
    left->addWidget(GroupTariff);
    auto *templet = new QHBoxLayout;
    templet->addStretch(1);
    templet->addWidget(BtnTemplet);
    left->addLayout(templet);
    left->addStretch(1);

    auto *right = new QVBoxLayout;
    right->addWidget(GroupCel, 1);
    right->addWidget(GroupTransfer, 1);

    for (QGroupBox *box : findChildren<QGroupBox *>()) {
        box->layout()->setContentsMargins(6, 4, 6, 4);
        box->layout()->setSpacing(3);
    }

    auto *page = new QHBoxLayout(this);
    page->setContentsMargins(6, 6, 6, 6);
    page->addLayout(left, 0);
    page->addLayout(right, 1);

    connect(CheckOneTarif, &QCheckBox::toggled, this, &PageSchedule::CheckOneTarifClick);
    for (QTimeEdit *picker : Picker_Zone)
        connect(picker, &QTimeEdit::timeChanged, this, &PageSchedule::Picker_Zone0Change);
    connect(StringAttrib, &QTableWidget::cellClicked, this, &PageSchedule::StringAttribClick);
    connect(ComboM, &QComboBox::currentIndexChanged, this, &PageSchedule::ComboMChange);
    connect(BtnInsCel, &QPushButton::clicked, this, &PageSchedule::BtnInsCelClick);
    connect(BtnDelCel, &QPushButton::clicked, this, &PageSchedule::BtnDelCelClick);
    connect(ListCel, &QTreeWidget::itemSelectionChanged, this, &PageSchedule::ListCelSelectItem);
    connect(DTPTrans, &QDateEdit::dateChanged, this, &PageSchedule::DTPTransChange);
    connect(BtnInsTrans, &QPushButton::clicked, this, &PageSchedule::BtnInsTransClick);
    connect(BtnDelTrans, &QPushButton::clicked, this, &PageSchedule::BtnDelTransClick);
    connect(ListTransfer, &QTreeWidget::itemSelectionChanged, this, &PageSchedule::ListTransferSelectItem);
    connect(BtnTemplet, &QPushButton::clicked, this, &PageSchedule::BtnTempletClick);
}

void PageSchedule::setFixedCaptions()
{
    const QStringList days = dayColumnTitles();
    for (int c = 0; c < tariff::DayColumns; ++c) {
        StringAttrib->setCellText(0, c, days.at(c));
        StringAttrib->item(0, c)->setTextAlignment(Qt::AlignCenter);
        for (int r = 1; r <= Zones; ++r) {
            StringAttrib->setCellText(r, c, Mark);
            StringAttrib->item(r, c)->setTextAlignment(Qt::AlignCenter);
        }
    }
}

void PageSchedule::setupTariffPickLists()
{
    ValueListEditor1->setItemDelegateForColumn(1, new TariffPickList(ValueListEditor1));
    for (int r = 1; r <= Zones; ++r) {
        QTableWidgetItem *cell = ValueListEditor1->item(r, 1);
        cell->setFlags(cell->flags() | Qt::ItemIsEditable);
    }
    ValueListEditor1->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::DoubleClicked
                                      | QAbstractItemView::EditKeyPressed);
}

void PageSchedule::enableGroup(bool enabled, QWidget *group)
{
    const auto children = group->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget *child : children) {
        if (child->isWindow())
            continue;
        bool state = enabled;
        if (child == BtnInsCel)
            state = enabled && ListCel->topLevelItemCount() < ListCapacity;
        else if (child == BtnInsTrans)
            state = enabled && ListTransfer->topLevelItemCount() < ListCapacity;
        child->setEnabled(state);
        if (auto *grid = qobject_cast<StringGrid *>(child)) {
            QPalette p = grid->palette();
            p.setColor(QPalette::Text, enabled ? QColor(Qt::black) : QColor(128, 128, 128));
            grid->setPalette(p);
        } else if (qobject_cast<QGroupBox *>(child)) {
            enableGroup(enabled, child);
        }
    }
}

void PageSchedule::applyEnablingRule()
{
    const bool multiTariff = !CheckOneTarif->isChecked();
    enableGroup(multiTariff, GroupTariff);
    enableGroup(multiTariff, GroupCel);
    enableGroup(multiTariff, GroupTransfer);
}

// ---- the editor's contents ------------------------------------------------------

QString PageSchedule::tariffText(int zone) const
{
    return ValueListEditor1->cellText(zone + 1, 1);
}

void PageSchedule::setTariffText(int zone, const QString &text)
{
    ValueListEditor1->setCellText(zone + 1, 1, text);
}

QTime PageSchedule::startTime(int zone) const
{
    const QTime t = Picker_Zone[zone]->time();
    return QTime(t.hour(), t.minute());
}

void PageSchedule::setStartTime(int zone, const QTime &time)
{
    const bool was = m_programmatic;
    m_programmatic = true;
    Picker_Zone[zone]->setTime(QTime(time.hour(), time.minute()));
    m_programmatic = was;
}

quint8 PageSchedule::dayMask(int zone) const
{
    quint8 mask = 0;
    for (int b = 0; b < tariff::DayColumns; ++b)
        if (!StringAttrib->cellText(zone + 1, b).isEmpty())
            mask |= quint8(1u << b);
    return mask;
}

void PageSchedule::setDayMasks(const DayMasks &masks)
{
    for (int z = 0; z < Zones; ++z)
        for (int b = 0; b < tariff::DayColumns; ++b)
            StringAttrib->setCellText(z + 1, b, (masks[size_t(z)] >> b) & 1 ? Mark : QString());
}

void PageSchedule::clearDayMasks()
{
    setDayMasks(DayMasks{});
}

bool PageSchedule::oneTariff() const
{
    return CheckOneTarif->isChecked();
}

void PageSchedule::setOneTariff(bool on)
{
    {
        const QSignalBlocker quiet(CheckOneTarif);
        CheckOneTarif->setChecked(on);
    }
    applyEnablingRule();
}

QList<Holiday> PageSchedule::holidays() const
{
    QList<Holiday> list;
    for (int i = 0; i < ListCel->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = ListCel->topLevelItem(i);
        list << Holiday{item->data(0, Qt::UserRole).toInt(), item->data(1, Qt::UserRole).toInt()};
    }
    return list;
}

QList<Transfer> PageSchedule::transfers() const
{
    QList<Transfer> list;
    for (int i = 0; i < ListTransfer->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = ListTransfer->topLevelItem(i);
        list << Transfer{item->data(0, Qt::UserRole).toDate(), item->data(1, Qt::UserRole).toInt()};
    }
    return list;
}

void PageSchedule::setHolidays(const QList<Holiday> &list)
{
    ListCel->clear();
    for (const Holiday &h : list)
        insertHoliday(ListCel->topLevelItemCount(), h);
    updateAddButtons();
}

void PageSchedule::setTransfers(const QList<Transfer> &list)
{
    ListTransfer->clear();
    for (const Transfer &t : list)
        insertTransfer(ListTransfer->topLevelItemCount(), t);
    updateAddButtons();
}

void PageSchedule::insertHoliday(int position, const Holiday &h)
{
    auto *item = new QTreeWidgetItem({monthName(h.month), QString::number(h.day)});
    item->setData(0, Qt::UserRole, h.month);
    item->setData(1, Qt::UserRole, h.day);
    ListCel->insertTopLevelItem(position, item);
}

void PageSchedule::insertTransfer(int position, const Transfer &t)
{
    // The date stays beside its text: the text is in the locale's format and is
    // never read back.
    auto *item = new QTreeWidgetItem({dateText(t.date), dayTypeName(t.dayType)});
    item->setData(0, Qt::UserRole, t.date);
    item->setData(1, Qt::UserRole, t.dayType);
    ListTransfer->insertTopLevelItem(position, item);
}

void PageSchedule::updateAddButtons()
{
    const bool multiTariff = !oneTariff();
    BtnInsCel->setEnabled(multiTariff && ListCel->topLevelItemCount() < ListCapacity);
    BtnInsTrans->setEnabled(multiTariff && ListTransfer->topLevelItemCount() < ListCapacity);
}

TariffSchedule PageSchedule::schedule() const
{
    TariffSchedule s;
    s.oneTariff = oneTariff();
    for (int z = 0; z < Zones; ++z) {
        TariffZone &zone = s.zones[size_t(z)];
        zone.tariff = tariffByte(tariffText(z)).value_or(0);
        zone.start = startTime(z);
        zone.days = dayMask(z);
    }
    s.holidays = holidays();
    s.transfers = transfers();
    return s;
}

void PageSchedule::setSchedule(const TariffSchedule &s)
{
    for (int z = 0; z < Zones; ++z) {
        const TariffZone &zone = s.zones[size_t(z)];
        setTariffText(z, QString::number(zone.tariff));
        setStartTime(z, zone.start);
    }
    DayMasks masks{};
    for (int z = 0; z < Zones; ++z)
        masks[size_t(z)] = s.zones[size_t(z)].days;
    setDayMasks(masks);
    setOneTariff(s.oneTariff);
    setHolidays(s.holidays);
    setTransfers(s.transfers);
}

QStringList PageSchedule::tariffTexts() const
{
    QStringList texts;
    for (int z = 0; z < Zones; ++z)
        texts << tariffText(z);
    return texts;
}

bool PageSchedule::ValidateSchedule(int firmware)
{
    const QString problem = scheduleWriteProblem(schedule(), firmware, tariffTexts());
    if (problem.isEmpty())
        return true;
    showError(this, problem);
    return false;
}

// ---- replies -----------------------------------------------------------------------

QList<int> PageSchedule::showZones(const ZoneReply &reply)
{
    setOneTariff(reply.oneTariff);
    QList<int> bad;
    if (!reply.zones)
        return bad;
    for (int z = 0; z < Zones; ++z) {
        const ZoneRecord &r = (*reply.zones)[size_t(z)];
        setTariffText(z, QString::number(r.tariff));
        if (r.start)
            setStartTime(z, *r.start);
        else
            bad << z;
    }
    return bad;
}

void PageSchedule::showDayTypes(const std::optional<DayMasks> &masks)
{
    if (masks)
        setDayMasks(*masks);
    else
        clearDayMasks();
}

void PageSchedule::appendHoliday(const Holiday &holiday)
{
    if (ListCel->topLevelItemCount() >= ListCapacity)
        return;
    insertHoliday(ListCel->topLevelItemCount(), holiday);
    updateAddButtons();
}

void PageSchedule::appendTransfer(const Transfer &transfer)
{
    if (ListTransfer->topLevelItemCount() >= ListCapacity)
        return;
    insertTransfer(ListTransfer->topLevelItemCount(), transfer);
    updateAddButtons();
}

void PageSchedule::clearCalendars()
{
    ListCel->clear();
    ListTransfer->clear();
    updateAddButtons();
}

// ---- handlers ----------------------------------------------------------------------

void PageSchedule::CheckOneTarifClick()
{
    applyEnablingRule();
}

void PageSchedule::Picker_Zone0Change()
{
    if (m_programmatic)
        return;
    const auto *picker = qobject_cast<QTimeEdit *>(sender());
    if (!picker)
        return;
    const int zone = picker->property("tag").toInt();
    pushStartTimes(zone, startTime(zone));
}

void PageSchedule::pushStartTimes(int zone, const QTime &time)
{
    const int t = time.hour() * 60 + time.minute();
    const QString tariff = tariffText(zone);
    for (int j = zone + 1; j < Zones; ++j) {
        const QTime start = startTime(j);
        if (start.hour() * 60 + start.minute() > t)
            continue;
        const int moved = t + (j - zone);
        if (moved >= 24 * 60)
            continue;
        setStartTime(j, QTime(moved / 60, moved % 60));
        setTariffText(j, tariff);
    }
}

void PageSchedule::StringAttribClick(int row, int column)
{
    if (row < 1 || row > Zones || column < 0 || column >= tariff::DayColumns)
        return;
    StringAttrib->setCellText(row, column, StringAttrib->cellText(row, column).isEmpty() ? Mark : QString());
}

void PageSchedule::ComboMChange(int index)
{
    // QSpinBox brings a day above the new limit down to it.
    SpinD->setMaximum(dayLimit(index + 1));
}

void PageSchedule::BtnInsCelClick()
{
    const Holiday entry{ComboM->currentIndex() + 1, SpinD->value()};
    const Insertion at = holidayInsertion(holidays(), entry);
    if (!at.ok()) {
        showError(this, at.error);
        return;
    }
    insertHoliday(at.position, entry);
    BtnInsCel->setEnabled(ListCel->topLevelItemCount() < ListCapacity);
}

void PageSchedule::BtnDelCelClick()
{
    for (int i = ListCel->topLevelItemCount() - 1; i >= 0; --i)
        if (ListCel->topLevelItem(i)->isSelected())
            delete ListCel->takeTopLevelItem(i);
    BtnInsCel->setEnabled(ListCel->topLevelItemCount() < ListCapacity);
    BtnDelCel->setEnabled(false);
}

void PageSchedule::ListCelSelectItem()
{
    BtnDelCel->setEnabled(!ListCel->selectedItems().isEmpty());
}

void PageSchedule::DTPTransChange(const QDate &date)
{
    const QDate allowed = transferDate(date, QDate::currentDate());
    if (allowed != date)
        DTPTrans->setDate(allowed);
}

void PageSchedule::BtnInsTransClick()
{
    // The picker may have been left on a date that has passed since it was chosen.
    DTPTransChange(DTPTrans->date());
    const Transfer entry{DTPTrans->date(), ComboTrans->currentIndex() + 1};
    const Insertion at = transferInsertion(transfers(), entry);
    if (!at.ok()) {
        showError(this, at.error);
        return;
    }
    insertTransfer(at.position, entry);
    BtnInsTrans->setEnabled(ListTransfer->topLevelItemCount() < ListCapacity);
}

void PageSchedule::BtnDelTransClick()
{
    for (int i = ListTransfer->topLevelItemCount() - 1; i >= 0; --i)
        if (ListTransfer->topLevelItem(i)->isSelected())
            delete ListTransfer->takeTopLevelItem(i);
    BtnInsTrans->setEnabled(ListTransfer->topLevelItemCount() < ListCapacity);
    BtnDelTrans->setEnabled(false);
}

void PageSchedule::ListTransferSelectItem()
{
    BtnDelTrans->setEnabled(!ListTransfer->selectedItems().isEmpty());
}

void PageSchedule::BtnTempletClick()
{
    // "Добавить" keeps its state: a list that was full stays so until a delete.
    ListCel->clear();
    for (const Holiday &h : TariffSchedule::defaultHolidays())
        insertHoliday(ListCel->topLevelItemCount(), h);
}

} // namespace zk
