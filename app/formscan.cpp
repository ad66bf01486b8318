#include "app/formscan.h"

#include "link/serialchannel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace zk {

FormScan::FormScan(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FormScan"));
    setWindowTitle(QStringLiteral("Обзор линии"));
    auto *layout = new QVBoxLayout(this);
    LabelState = new QLabel(this);
    LabelState->setObjectName(QStringLiteral("LabelState"));
    layout->addWidget(LabelState);
    Progress = new QProgressBar(this);
    Progress->setObjectName(QStringLiteral("Progress"));
    Progress->setRange(0, 255);
    layout->addWidget(Progress);
    Table = new QTableWidget(0, 3, this);
    Table->setObjectName(QStringLiteral("Table"));
    Table->setHorizontalHeaderLabels({QStringLiteral("Адрес"), QStringLiteral("Заводской №"), QStringLiteral("Версия")});
    Table->verticalHeader()->hide();
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::SingleSelection);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    layout->addWidget(Table);
    auto *buttons = new QHBoxLayout;
    BtnStop = new QPushButton(QStringLiteral("Остановить"), this);
    BtnChoose = new QPushButton(QStringLiteral("Выбрать адрес"), this);
    BtnClose = new QPushButton(QStringLiteral("Закрыть"), this);
    BtnStop->setObjectName(QStringLiteral("BtnStop"));
    BtnChoose->setObjectName(QStringLiteral("BtnChoose"));
    BtnClose->setObjectName(QStringLiteral("BtnClose"));
    BtnChoose->setEnabled(false);
    buttons->addStretch();
    buttons->addWidget(BtnStop);
    buttons->addWidget(BtnChoose);
    buttons->addWidget(BtnClose);
    layout->addLayout(buttons);
    resize(420, 300);

    connect(BtnStop, &QPushButton::clicked, &m_scan, &LineScan::cancel);
    connect(BtnClose, &QPushButton::clicked, this, &FormScan::reject);
    connect(BtnChoose, &QPushButton::clicked, this, [this] {
        const int row = Table->currentRow();
        if (row < 0)
            return;
        m_chosen = Table->item(row, 0)->text().toInt();
        m_scan.cancel();
        accept();
    });
    connect(Table, &QTableWidget::itemSelectionChanged, this,
            [this] { BtnChoose->setEnabled(Table->currentRow() >= 0 && !Table->selectedItems().isEmpty()); });
    connect(Table, &QTableWidget::cellDoubleClicked, BtnChoose, &QPushButton::click);
    connect(&m_scan, &LineScan::addressStarted, this, [this](int address) {
        Progress->setValue(address);
        LabelState->setText(QStringLiteral("Опрос адреса %1 из 255...").arg(address));
    });
    connect(&m_scan, &LineScan::meterFound, this, &FormScan::addMeter);
    connect(&m_scan, &LineScan::finished, this, &FormScan::scanFinished);
}

bool FormScan::start(QString *error)
{
    try {
        m_scan.open();
    } catch (const SerialChannelError &e) {
        *error = withPortOpenAdvice(QStringLiteral("Ошибка открытия порта ") + m_scan.channel().formattedDeviceName(), e);
        return false;
    }
    // Once the window's own event loop runs; the survey runs it on while it waits.
    QTimer::singleShot(0, &m_scan, &LineScan::run);
    return true;
}

void FormScan::addMeter(const ScannedMeter &meter)
{
    const int row = Table->rowCount();
    Table->insertRow(row);
    const QString unknown = QStringLiteral("нет ответа");
    Table->setItem(row, 0, new QTableWidgetItem(QString::number(meter.address)));
    Table->setItem(row, 1, new QTableWidgetItem(meter.serial >= 0 ? QString::number(meter.serial) : unknown));
    Table->setItem(row, 2, new QTableWidgetItem(meter.version.isEmpty() ? unknown : meter.version));
}

void FormScan::scanFinished()
{
    BtnStop->setEnabled(false);
    const int found = Table->rowCount();
    if (!m_scan.cancelled())
        Progress->setValue(255);
    if (!m_scan.failure().isEmpty()) {
        LabelState->setText(QStringLiteral("Обзор прерван: ") + m_scan.failure());
        return;
    }
    const QString counted = found == 0 ? QStringLiteral("не ответил ни один адрес")
                                       : QStringLiteral("ответивших адресов: %1").arg(found);
    LabelState->setText((m_scan.cancelled() ? QStringLiteral("Обзор остановлен: ") : QStringLiteral("Обзор закончен: "))
                        + counted);
}

void FormScan::reject()
{
    m_scan.cancel(); // the port is free again once the window is gone
    QDialog::reject();
}

} // namespace zk
