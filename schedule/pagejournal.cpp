#include "schedule/pagejournal.h"

#include "ui/widgets.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace zk {

namespace {
// A list that asks for little room and takes what the page leaves it.
class JournalList : public QTreeWidget
{
public:
    QSize sizeHint() const override { return {300, 120}; }
};

QProgressBar *gauge(const char *name)
{
    auto *bar = named<QProgressBar>(name);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->hide();
    return bar;
}
} // namespace

PageJournal::PageJournal(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TabSheet2"));
    PageControl2 = named<QTabWidget>("PageControl2");
    PageControl2->setDocumentMode(true);

    // "Годовой журнал"
    TabSheet7 = named<QWidget>("TabSheet7");
    BitBtn4 = named<QPushButton>("BitBtn4", QStringLiteral("Прочитать"));
    BtnJournal = named<QPushButton>("BtnJournal", QStringLiteral("Экспорт"));
    Gauge1 = gauge("Gauge1");
    Panel3 = named<QLabel>("Panel3", QStringLiteral("Годовой журнал"));
    Panel3->setAlignment(Qt::AlignCenter);
    Panel3->setFrameShape(QFrame::Panel);
    Panel3->setFrameShadow(QFrame::Raised);
    Panel3->setMinimumHeight(Panel3->sizeHint().height() + 6);
    GridJournal = new StringGrid(5, 13, 1, 1);
    GridJournal->setObjectName(QStringLiteral("GridJournal"));
    GridJournal->setSelectionMode(QAbstractItemView::ContiguousSelection);
    GridJournal->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    GridJournal->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    GridJournal->setColumnWidths(100);
    GridJournal->setColumnWidth(0, 70);
    {
        auto *buttons = new QHBoxLayout;
        buttons->addWidget(BitBtn4);
        buttons->addWidget(BtnJournal);
        buttons->addWidget(Gauge1, 1);
        buttons->addStretch(0);
        auto *box = new QVBoxLayout(TabSheet7);
        box->setContentsMargins(6, 6, 6, 6);
        box->addLayout(buttons);
        box->addWidget(Panel3);
        box->addWidget(GridJournal, 0, Qt::AlignLeft);
        box->addStretch(1);
    }

    // "Журнал потребления"
    TabSheet8 = named<QWidget>("TabSheet8");
    BitBtn3 = named<QPushButton>("BitBtn3", QStringLiteral("Прочитать"));
    BtnDiary = named<QPushButton>("BtnDiary", QStringLiteral("Экспорт"));
    Gauge2 = gauge("Gauge2");
    ListView1 = named<JournalList>("ListView1");
    ListView1->setHeaderLabels(consumptionTitles());
    ListView1->setRootIsDecorated(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setStyleSheet(QStringLiteral("QTreeView::item { border-right: 1px solid #d0d0d0; border-bottom: 1px solid #d0d0d0; }"));
    ListView1->header()->setStretchLastSection(true);
    ListView1->setColumnWidth(0, 70);
    ListView1->setColumnWidth(1, 60);
    ListView1->setColumnWidth(2, 120);
    for (int c = 3; c < 6; ++c)
        ListView1->setColumnWidth(c, 90);
    {
        auto *buttons = new QHBoxLayout;
        buttons->addWidget(BitBtn3);
        buttons->addWidget(BtnDiary);
        buttons->addWidget(Gauge2, 1);
        buttons->addStretch(0);
        auto *box = new QVBoxLayout(TabSheet8);
        box->setContentsMargins(6, 6, 6, 6);
        box->addLayout(buttons);
        box->addWidget(ListView1, 1);
    }

    connect(BitBtn4, &QPushButton::clicked, this, &PageJournal::BitBtn4Click);
    connect(BitBtn3, &QPushButton::clicked, this, &PageJournal::BitBtn3Click);

    PageControl2->addTab(TabSheet7, QStringLiteral("Годовой журнал"));
    PageControl2->addTab(TabSheet8, QStringLiteral("Журнал потребления"));
    PageControl2->setCurrentWidget(TabSheet8);

    auto *page = new QVBoxLayout(this);
    page->setContentsMargins(4, 4, 4, 4);
    page->addWidget(PageControl2);
}

void PageJournal::setFixedCaptions()
{
    const QStringList titles = annualTitles();
    for (int c = 0; c < titles.size(); ++c)
        GridJournal->setCellText(0, c, titles.at(c));
    for (int m = 0; m < journal::Months; ++m)
        GridJournal->setCellText(m + 1, 0, monthAbbreviation(m));
}

namespace {
// A gauge never goes beyond its range (a bar given a value outside it would keep
// its old one).
void setGaugePosition(QProgressBar *bar, int position)
{
    bar->setValue(qBound(bar->minimum(), position, bar->maximum()));
}

void startGauge(QProgressBar *bar, int maximum)
{
    bar->setRange(0, maximum);
    bar->setValue(0);
    bar->show();
}
} // namespace

void PageJournal::BitBtn4Click()
{
    emit queueRequests(annualRequests());
    for (int r = 1; r <= journal::Months; ++r)
        for (int c = 1; c < journal::AnnualColumns; ++c)
            GridJournal->setCellText(r, c, QString());
    startGauge(Gauge1, journal::Months);
}

void PageJournal::BitBtn3Click()
{
    emit queueRequests(consumptionRequests());
    ListView1->clear();
    startGauge(Gauge2, journal::Pages);
}

void PageJournal::showAnnual(const AnnualReply &reply)
{
    const int row = reply.month + 1;
    const QStringList cells = annualCells(reply);
    for (int c = 0; c < cells.size(); ++c)
        GridJournal->setCellText(row, c, cells.at(c));
    setGaugePosition(Gauge1, row);
}

void PageJournal::showConsumption(const ConsumptionReply &reply, int year)
{
    if (reply.record) {
        auto *item = new QTreeWidgetItem(consumptionCells(*reply.record, year));
        ListView1->addTopLevelItem(item);
    }
    setGaugePosition(Gauge2, reply.page);
}

TextTable PageJournal::annualTexts() const
{
    TextTable table;
    for (int r = 0; r < GridJournal->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < GridJournal->columnCount(); ++c)
            row.append(GridJournal->cellText(r, c));
        table.append(row);
    }
    return table;
}

TextTable PageJournal::consumptionTexts() const
{
    TextTable table;
    const int columns = ListView1->columnCount();
    QStringList titles;
    for (int c = 0; c < columns; ++c)
        titles.append(ListView1->headerItem()->text(c));
    table.append(titles);
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = ListView1->topLevelItem(i);
        QStringList row;
        for (int c = 0; c < columns; ++c)
            row.append(item->text(c));
        table.append(row);
    }
    return table;
}

} // namespace zk
