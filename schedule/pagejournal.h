#pragma once
// The page "Журнал" (TabSheet2): the annual and the consumption journal.

#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTreeWidget;

namespace zk {

class StringGrid;

class PageJournal : public QWidget
{
    Q_OBJECT
public:
    explicit PageJournal(QWidget *parent = nullptr);

    // Titles of GridJournal: "месяц", "1 тариф" .. "наработка"; the months "янв." .. "дек.".
    void setFixedCaptions();

    QTabWidget *PageControl2;

    QWidget *TabSheet7; // "Годовой журнал"
    QPushButton *BitBtn4;
    StringGrid *GridJournal;
    QLabel *Panel3;
    QPushButton *BtnJournal;
    QProgressBar *Gauge1;

    QWidget *TabSheet8; // "Журнал потребления"
    QPushButton *BitBtn3;
    QPushButton *BtnDiary;
    QTreeWidget *ListView1;
    QProgressBar *Gauge2;
};

} // namespace zk
