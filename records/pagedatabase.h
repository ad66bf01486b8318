#pragma once
// The page "База данных" (TabSheet5): the local register, filtered by date and number.

#include <QWidget>

class QDateEdit;
class QFrame;
class QSpinBox;
class QStatusBar;
class QTableView;

namespace zk {

class PageDatabase : public QWidget
{
    Q_OBJECT
public:
    explicit PageDatabase(QWidget *parent = nullptr);

    QFrame *Panel6;
    QSpinBox *SpinFilter;
    QDateEdit *DTP1;
    QDateEdit *DTP2;
    QStatusBar *StatusBar2;
    QTableView *DBGrid1;
};

} // namespace zk
