#pragma once
// The page "База данных" (TabSheet5): the local register, filtered by date and number.

#include <QWidget>

class QDateEdit;
class QLabel;
class QFrame;
class QSpinBox;
class QStatusBar;
class QTableView;

namespace zk {

class RegisterModel;

class PageDatabase : public QWidget
{
    Q_OBJECT
public:
    explicit PageDatabase(QWidget *parent = nullptr);

    // The register view: the grid over the model, " Записей: N" below it.
    RegisterModel *model() const { return m_model; }
    void openView(const QString &path);
    void closeView();
    QString statusText() const;

    QFrame *Panel6;
    QSpinBox *SpinFilter;
    QDateEdit *DTP1;
    QDateEdit *DTP2;
    QStatusBar *StatusBar2;
    QTableView *DBGrid1;

signals:
    // Any change of the filter controls.
    void filterChanged();
    // The register could not be read again under the open view, which closed.
    void viewFailed(const QString &text);

private:
    RegisterModel *m_model;
    QLabel *m_status;
};

} // namespace zk
