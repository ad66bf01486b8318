#include "meter/formstatus.h"

#include "meter/readout.h"
#include "ui/widgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace zk {

void showStatusLines(QPlainTextEdit *memo, quint8 status)
{
    memo->clear();
    for (const QString &line : statusLines(status))
        memo->appendPlainText(line);
}

FormStatus::FormStatus(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("FormStatus"));
    setWindowTitle(QStringLiteral("Расшифровка стасуса"));
    Label1 = named<QLabel>("Label1", QStringLiteral("Статус : "));
    SpinEdit1 = named<QSpinBox>("SpinEdit1");
    SpinEdit1->setRange(1, 255);
    SpinEdit1->setValue(1);
    Memo1 = named<QPlainTextEdit>("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    {
        QPalette p = Memo1->palette();
        p.setColor(QPalette::Text, QColor(128, 0, 0));
        Memo1->setPalette(p);
    }
    Memo1->setMinimumSize(300, 120);
    Button1 = named<QPushButton>("Button1", QStringLiteral("Закрыть"));
    connect(Button1, &QPushButton::clicked, this, &QDialog::reject);
    connect(SpinEdit1, &QSpinBox::valueChanged, this, &FormStatus::SpinEdit1Change);

    auto *top = new QHBoxLayout;
    top->addWidget(Label1);
    top->addWidget(SpinEdit1);
    top->addStretch(1);
    auto *bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(Button1);
    auto *column = new QVBoxLayout(this);
    column->addLayout(top);
    column->addWidget(Memo1, 1);
    column->addLayout(bottom);

    // FormCreate
    SpinEdit1Change();
}

void FormStatus::SpinEdit1Change()
{
    showStatusLines(Memo1, quint8(SpinEdit1->value()));
}

} // namespace zk
