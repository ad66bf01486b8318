#include "ui/widgets.h"

#include <QAbstractSpinBox>
#include <QEvent>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionTabWidgetFrame>

namespace zk {

StringGrid::StringGrid(int columns, int rows, int fixedColumns, int fixedRows, QWidget *parent)
    : QTableWidget(rows, columns, parent), m_fixedRows(fixedRows), m_fixedCols(fixedColumns)
{
    horizontalHeader()->hide();
    verticalHeader()->hide();
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setWordWrap(false);
    const QBrush fixedBrush = palette().brush(QPalette::Button);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            auto *item = new QTableWidgetItem;
            if (r < fixedRows || c < fixedColumns) {
                item->setFlags(Qt::ItemIsEnabled);
                item->setBackground(fixedBrush);
            } else {
                item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            }
            setItem(r, c, item);
        }
    }
    setColumnWidths(64);
    setRowHeights(fontMetrics().height() + 6);
}

QString StringGrid::cellText(int row, int column) const
{
    const QTableWidgetItem *it = item(row, column);
    return it ? it->text() : QString();
}

void StringGrid::setCellText(int row, int column, const QString &text)
{
    QTableWidgetItem *it = item(row, column);
    if (!it) {
        it = new QTableWidgetItem;
        setItem(row, column, it);
    }
    it->setText(text);
}

void StringGrid::setColumnWidths(int width)
{
    for (int c = 0; c < columnCount(); ++c)
        setColumnWidth(c, width);
    updateGeometry();
}

void StringGrid::setRowHeights(int height)
{
    verticalHeader()->setMinimumSectionSize(height);
    verticalHeader()->setDefaultSectionSize(height);
    for (int r = 0; r < rowCount(); ++r)
        setRowHeight(r, height);
    updateGeometry();
}

QSize StringGrid::sizeHint() const
{
    int w = 2 * frameWidth();
    for (int c = 0; c < columnCount(); ++c)
        w += columnWidth(c);
    int h = 2 * frameWidth();
    for (int r = 0; r < rowCount(); ++r)
        h += rowHeight(r);
    if (verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn)
        w += verticalScrollBar()->sizeHint().width();
    return {w, h};
}

QSize StringGrid::minimumSizeHint() const
{
    return {sizeHint().width(), qMin(sizeHint().height(), 4 * rowHeight(0))};
}

LabeledEdit::LabeledEdit(const QString &caption, QWidget *parent)
    : QLineEdit(parent), m_label(new QLabel(caption, parent))
{
    m_label->setBuddy(this);
}

void LabeledEdit::setVisible(bool visible)
{
    QLineEdit::setVisible(visible);
    m_label->setVisible(visible);
}

void LabeledEdit::setDisplayOnly(bool on)
{
    setReadOnly(on);
    setFocusPolicy(on ? Qt::NoFocus : Qt::StrongFocus);
    if (on) {
        // The box takes the colour of the group around it.
        QPalette p = palette();
        p.setColor(QPalette::Base, p.color(QPalette::Window));
        setPalette(p);
    }
}

void PageTabs::tabInserted(int index)
{
    QTabWidget::tabInserted(index);
    if (QWidget *page = widget(index); page && !page->autoFillBackground()) {
        page->setAttribute(Qt::WA_OpaquePaintEvent);
        page->installEventFilter(this);
    }
}

bool PageTabs::eventFilter(QObject *watched, QEvent *event)
{
    // Before the page's own painting: what the window and the tab widget would have
    // painted under it.
    if (event->type() == QEvent::Paint) {
        if (auto *page = qobject_cast<QWidget *>(watched); page && indexOf(page) >= 0)
            paintPaneUnder(page);
    }
    return QTabWidget::eventFilter(watched, event);
}

void PageTabs::paintPaneUnder(QWidget *page)
{
    QPainter painter(page); // clipped to the region being painted
    painter.translate(-page->mapTo(this, QPoint(0, 0)));
    painter.fillRect(rect(), palette().brush(QPalette::Window));
    QStyleOptionTabWidgetFrame option;
    initStyleOption(&option);
    option.rect = style()->subElementRect(QStyle::SE_TabWidgetTabPane, &option, this);
    style()->drawPrimitive(QStyle::PE_FrameTabWidget, &option, &painter, this);
}

void fillOwnBackground(QAbstractSpinBox *box)
{
    // The text field inside fills its own rectangle with the field colour, as the box
    // does around it; known to be opaque, it is repainted alone when the value changes.
    if (auto *edit = box->findChild<QLineEdit *>())
        edit->setAutoFillBackground(true);
}

int tintChannel(int value, int percent)
{
    const int v = value + (value * percent) / 100;
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

QColor panelTint(const QColor &buttonFace)
{
    return QColor(tintChannel(buttonFace.red(), 2), tintChannel(buttonFace.green(), 2),
                  tintChannel(buttonFace.blue(), 0));
}

} // namespace zk
