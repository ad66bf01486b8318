#include "records/pagedatabase.h"

#include "records/registermodel.h"

#include <QDateEdit>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>
#include <climits>

namespace zk {

PageDatabase::PageDatabase(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TabSheet5"));

    Panel6 = new QFrame;
    Panel6->setObjectName(QStringLiteral("Panel6"));
    Panel6->setFrameShape(QFrame::StyledPanel);
    SpinFilter = new QSpinBox;
    SpinFilter->setObjectName(QStringLiteral("SpinFilter"));
    SpinFilter->setRange(INT_MIN, INT_MAX);
    SpinFilter->setValue(0);
    SpinFilter->setMinimumWidth(SpinFilter->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 30);
    SpinFilter->setMaximumWidth(SpinFilter->minimumWidth());
    DTP1 = new QDateEdit(QDate::currentDate());
    DTP1->setObjectName(QStringLiteral("DTP1"));
    DTP2 = new QDateEdit(QDate::currentDate());
    DTP2->setObjectName(QStringLiteral("DTP2"));
    for (QDateEdit *picker : {DTP1, DTP2})
        picker->setCalendarPopup(true);
    {
        auto *row = new QHBoxLayout(Panel6);
        row->setContentsMargins(6, 3, 6, 3);
        row->addWidget(new QLabel(QStringLiteral("Номер:")));
        row->addWidget(SpinFilter);
        row->addSpacing(12);
        row->addWidget(new QLabel(QStringLiteral("c")));
        row->addWidget(DTP1);
        row->addSpacing(12);
        row->addWidget(new QLabel(QStringLiteral("по")));
        row->addWidget(DTP2);
        row->addStretch(1);
    }

    DBGrid1 = new QTableView;
    DBGrid1->setObjectName(QStringLiteral("DBGrid1"));
    DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    DBGrid1->verticalHeader()->setDefaultSectionSize(DBGrid1->fontMetrics().height() + 6);

    StatusBar2 = new QStatusBar;
    StatusBar2->setObjectName(QStringLiteral("StatusBar2"));
    StatusBar2->setSizeGripEnabled(false);
    auto *panel = new QLabel;
    panel->setObjectName(QStringLiteral("StatusBar2Panel"));
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    StatusBar2->addWidget(panel, 1);
    m_status = panel;

    m_model = new RegisterModel(this);
    DBGrid1->setModel(m_model);
    connect(m_model, &RegisterModel::refreshed, this, [this] {
        m_status->setText(QStringLiteral(" Записей: ") + QString::number(m_model->rowCount()));
    });
    connect(m_model, &RegisterModel::failed, this, [this](const QString &text) {
        m_status->clear();
        emit viewFailed(text);
    });
    connect(SpinFilter, &QSpinBox::valueChanged, this, &PageDatabase::filterChanged);
    connect(DTP1, &QDateEdit::dateChanged, this, &PageDatabase::filterChanged);
    connect(DTP2, &QDateEdit::dateChanged, this, &PageDatabase::filterChanged);

    auto *page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(0);
    page->addWidget(Panel6);
    page->addWidget(DBGrid1, 1);
    page->addWidget(StatusBar2);
}

void PageDatabase::openView(const QString &path)
{
    m_model->open(path, DTP1->date(), DTP2->date(), SpinFilter->value());
    m_status->setText(QStringLiteral(" Записей: ") + QString::number(m_model->rowCount()));
}

void PageDatabase::closeView()
{
    m_model->close();
    m_status->clear();
}

QString PageDatabase::statusText() const
{
    return m_status->text();
}

} // namespace zk
