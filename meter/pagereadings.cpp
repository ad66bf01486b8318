#include "meter/pagereadings.h"

#include "ui/widgets.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace zk {

namespace {
StringGrid *readingGrid(const char *name)
{
    auto *grid = new StringGrid(2, 5, 1, 1);
    grid->setObjectName(QLatin1String(name));
    grid->setColumnWidths(130);
    grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return grid;
}
} // namespace

PageReadings::PageReadings(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TabSheet3"));
    GroupBox7 = new QGroupBox(QStringLiteral(" Показания "));
    GroupBox7->setObjectName(QStringLiteral("GroupBox7"));
    GroupBox5 = new QGroupBox(QStringLiteral(" Текущие "));
    GroupBox5->setObjectName(QStringLiteral("GroupBox5"));
    // The caption's spaces, two at the end, are the caption as given; keep them.
    GroupBox6 = new QGroupBox(QStringLiteral(" На расчетный день  "));
    GroupBox6->setObjectName(QStringLiteral("GroupBox6"));
    GridValue = readingGrid("GridValue");
    GridValue_1 = readingGrid("GridValue_1");
    (new QVBoxLayout(GroupBox5))->addWidget(GridValue);
    (new QVBoxLayout(GroupBox6))->addWidget(GridValue_1);
    auto *groups = new QHBoxLayout(GroupBox7);
    groups->addWidget(GroupBox5);
    groups->addWidget(GroupBox6);
    groups->addStretch(1);

    BitBtn5 = new QPushButton(QStringLiteral("Сброс показаний на расчетный день"));
    BitBtn5->setObjectName(QStringLiteral("BitBtn5"));

    auto *page = new QVBoxLayout(this);
    page->setContentsMargins(8, 8, 8, 8);
    page->addWidget(GroupBox7);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(BitBtn5);
    buttons->addStretch(1);
    page->addLayout(buttons);
    page->addStretch(1);
}

void PageReadings::setFixedCaptions()
{
    for (StringGrid *grid : {GridValue, GridValue_1}) {
        grid->setCellText(0, 0, QStringLiteral("тариф"));
        grid->setCellText(0, 1, QStringLiteral("показания"));
        grid->setCellText(1, 0, QStringLiteral("1 тариф"));
        grid->setCellText(2, 0, QStringLiteral("2 тариф"));
        grid->setCellText(3, 0, QStringLiteral("3 тариф"));
        grid->setCellText(4, 0, QStringLiteral("сумма"));
    }
}

namespace {
void showSum(StringGrid *grid)
{
    QStringList texts;
    for (int row = 1; row <= 3; ++row)
        texts << grid->cellText(row, 1);
    if (const auto sum = sumReadings(texts))
        grid->setCellText(4, 1, formatReading(*sum));
}
} // namespace

void PageReadings::showReadings(const Readings &readings)
{
    for (int t = 0; t < 3; ++t) {
        GridValue->setCellText(t + 1, 1, formatReading(readingValue(readings.current[size_t(t)])));
        GridValue_1->setCellText(t + 1, 1, readings.billing
                                               ? formatReading(readingValue((*readings.billing)[size_t(t)]))
                                               : QString());
    }
    showSum(GridValue);
    showSum(GridValue_1);
}

} // namespace zk
