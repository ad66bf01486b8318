#pragma once
// The page "Журнал" (TabSheet2): the annual and the consumption journal.

#include "schedule/journal.h"

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

    // An accepted annual reply: its cells into row month + 1 (none for a month of 12
    // or more), Gauge1 at that row.
    void showAnnual(const AnnualReply &reply);
    // An accepted consumption reply: a row appended when it carries a record, its time
    // stamp in `year`; Gauge2 at its page.
    void showConsumption(const ConsumptionReply &reply, int year);

    // What the views show, row 0 the titles: GridJournal as it stands (13 rows of 5),
    // and ListView1 row by row (a cell a row lacks is an empty text).
    TextTable annualTexts() const;
    TextTable consumptionTexts() const;

public slots:
    // "Прочитать": the requests go out through queueRequests(), then the view is
    // emptied and its gauge shown at 0.
    void BitBtn4Click();
    void BitBtn3Click();

signals:
    // Frames for the command queue, in order.
    void queueRequests(const QList<QByteArray> &frames);

public:
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
