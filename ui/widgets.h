#pragma once
// Small widgets shared by the pages of the main window.

#include <QLineEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <utility>

class QAbstractSpinBox;
class QLabel;

namespace zk {

// A new widget with its control name.
template<typename T, typename... Args>
T *named(const char *name, Args &&...args)
{
    auto *w = new T(std::forward<Args>(args)...);
    w->setObjectName(QLatin1String(name));
    return w;
}

// A grid of texts addressed by row and column, whose first `fixedRows` rows and
// `fixedCols` columns are fixed title cells (shaded, never selected or edited).
// Row 0 / column 0 are real cells, so a grid of 5 columns and 13 rows has
// rowCount() 13 and columnCount() 5.
class StringGrid : public QTableWidget
{
    Q_OBJECT
public:
    StringGrid(int columns, int rows, int fixedColumns, int fixedRows, QWidget *parent = nullptr);

    int fixedRows() const { return m_fixedRows; }
    int fixedColumns() const { return m_fixedCols; }
    QString cellText(int row, int column) const;
    void setCellText(int row, int column, const QString &text);
    // Column widths and row heights as one call; the grid then asks for exactly the
    // room its cells need.
    void setColumnWidths(int width);
    void setRowHeights(int height);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    int m_fixedRows;
    int m_fixedCols;
};

// A tab widget whose pages paint the pane beneath them themselves. A page is then
// opaque: a value that changes on it repaints the page under the value, not the tab
// widget and the window beneath as well. A page stays opaque once added: the pages of
// this program never leave their tab widget.
class PageTabs : public QTabWidget
{
    Q_OBJECT
public:
    using QTabWidget::QTabWidget;

protected:
    void tabInserted(int index) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void paintPaneUnder(QWidget *page);
};

// A spin box whose value changes often (a clock): its text is repainted without the
// box, the group and the page beneath it.
void fillOwnBackground(QAbstractSpinBox *box);

// A one-line edit box with its caption label beside it. The label follows the
// box when it is shown or hidden.
class LabeledEdit : public QLineEdit
{
    Q_OBJECT
public:
    LabeledEdit(const QString &caption, QWidget *parent = nullptr);
    QLabel *label() const { return m_label; }
    void setVisible(bool visible) override;
    // Read-only boxes that show values: no frame of their own colour.
    void setDisplayOnly(bool on);

private:
    QLabel *m_label;
};

// Panel tint: v + (v * p) div 100, clamped to 0..255, with p = 2 for red and green
// and 0 for blue, from the button-face colour.
int tintChannel(int value, int percent);
QColor panelTint(const QColor &buttonFace);

} // namespace zk
