#include "schedule/pageschedule.h"

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
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace zk {

namespace {

constexpr int ListCapacity = 16;

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
    ComboM->addItems({QStringLiteral("январь"), QStringLiteral("февраль"), QStringLiteral("март"),
                      QStringLiteral("апрель"), QStringLiteral("май"), QStringLiteral("июнь"),
                      QStringLiteral("июль"), QStringLiteral("август"), QStringLiteral("сентябрь"),
                      QStringLiteral("октябрь"), QStringLiteral("ноябрь"), QStringLiteral("декабрь")});
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
    ComboTrans = named<QComboBox>(QStringLiteral("ComboTrans"));
    ComboTrans->addItems({QStringLiteral("понедельник"), QStringLiteral("вторник"), QStringLiteral("среда"),
                          QStringLiteral("четверг"), QStringLiteral("пятница"), QStringLiteral("суббота"),
                          QStringLiteral("воскресенье"), QStringLiteral("праздник")});
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
}

void PageSchedule::setFixedCaptions()
{
    static const char *const days[8] = {"ПН", "ВТ", "СР", "ЧТ", "ПТ", "СБ", "ВС", "ПР"};
    for (int c = 0; c < 8; ++c) {
        StringAttrib->setCellText(0, c, QString::fromUtf8(days[c]));
        StringAttrib->item(0, c)->setTextAlignment(Qt::AlignCenter);
        for (int r = 1; r <= Zones; ++r) {
            StringAttrib->setCellText(r, c, QStringLiteral(" + "));
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

} // namespace zk
