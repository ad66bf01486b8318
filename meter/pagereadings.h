#pragma once
// The page "Показания" (TabSheet3): current and billing-day readings.

#include <QWidget>

class QGroupBox;
class QPushButton;

namespace zk {

class StringGrid;

class PageReadings : public QWidget
{
    Q_OBJECT
public:
    explicit PageReadings(QWidget *parent = nullptr);

    // Titles of both grids: "тариф", "показания"; "1 тариф" .. "сумма".
    void setFixedCaptions();

    QGroupBox *GroupBox7;
    QGroupBox *GroupBox5;
    StringGrid *GridValue;
    QGroupBox *GroupBox6;
    StringGrid *GridValue_1;
    QPushButton *BitBtn5;
};

} // namespace zk
