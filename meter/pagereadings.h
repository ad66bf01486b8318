#pragma once
// The page "Показания" (TabSheet3): current and billing-day readings.

#include "meter/readout.h"

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
    // The counts as readings in column 1, then the sums in row 4. Without
    // billing-day counts rows 1 to 3 of GridValue_1 are emptied and its sum row
    // keeps what it showed.
    void showReadings(const Readings &readings);

    QGroupBox *GroupBox7;
    QGroupBox *GroupBox5;
    StringGrid *GridValue;
    QGroupBox *GroupBox6;
    StringGrid *GridValue_1;
    QPushButton *BitBtn5;
};

} // namespace zk
