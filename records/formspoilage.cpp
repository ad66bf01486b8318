#include "records/formspoilage.h"

#include "records/production.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace zk {

FormSpoilage::FormSpoilage(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("FormSpoilage"));
    setWindowTitle(QStringLiteral("Классификатор брака"));
    resize(544, 372);
    WebBrowser1 = named<QWidget>("WebBrowser1");
    WebBrowser1->setAutoFillBackground(true);
    {
        QPalette p = WebBrowser1->palette();
        p.setColor(QPalette::Window, Qt::white);
        WebBrowser1->setPalette(p);
    }
    Panel1 = named<QWidget>("Panel1");
    Panel1->setFixedHeight(41);
    LabeledEdit1 = named<LabeledEdit>("LabeledEdit1", QStringLiteral("Счетчик №"));
    LabeledEdit1->setReadOnly(true);
    LabeledEdit1->setDisplayOnly(true);
    LabeledEdit2 = named<LabeledEdit>("LabeledEdit2", QStringLiteral("Код брака"));
    LabeledEdit2->setMaxLength(MaxDefectCodeLength); // spoilage.code is VARCHAR(64)
    BitBtn1 = named<QPushButton>("BitBtn1", QStringLiteral("Запись в БД"));
    BitBtn1->setEnabled(false);
    {
        auto *row = new QHBoxLayout(Panel1);
        row->setContentsMargins(8, 4, 8, 4);
        row->addWidget(LabeledEdit1->label());
        row->addWidget(LabeledEdit1);
        row->addSpacing(12);
        row->addWidget(LabeledEdit2->label());
        row->addWidget(LabeledEdit2);
        row->addStretch(1);
        row->addWidget(BitBtn1);
    }
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(WebBrowser1, 1);
    column->addWidget(Panel1);

    connect(LabeledEdit2, &QLineEdit::textChanged, this, &FormSpoilage::LabeledEdit2Change);
    connect(BitBtn1, &QPushButton::clicked, this, &FormSpoilage::BitBtn1Click);
}

void FormSpoilage::setMeter(int electroId, int serial)
{
    m_electroId = electroId;
    LabeledEdit1->setText(QString::number(serial));
}

void FormSpoilage::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    LabeledEdit2->clear();
    BitBtn1->setEnabled(false);
}

void FormSpoilage::LabeledEdit2Change()
{
    BitBtn1->setEnabled(!LabeledEdit2->text().trimmed().isEmpty());
}

void FormSpoilage::BitBtn1Click()
{
    if (!m_register)
        return;
    try {
        m_register(m_electroId, LabeledEdit2->text().trimmed());
    } catch (const std::exception &e) {
        // Nothing of the registration stays (one transaction); the button stays for another
        // try.
        reportError(e);
        return;
    }
    BitBtn1->setEnabled(false);
}

} // namespace zk
