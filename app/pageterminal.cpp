#include "app/pageterminal.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

namespace zk {

PageTerminal::PageTerminal(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TabSheet4"));
    Memo_Terminal = new QPlainTextEdit;
    Memo_Terminal->setObjectName(QStringLiteral("Memo_Terminal"));
    Memo_Terminal->setReadOnly(true);
    Memo_Terminal->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo_Terminal->setMaximumBlockCount(MaxLines);
    Memo_Terminal->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo_Terminal->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    CheckBox_Terminal = new QCheckBox(QStringLiteral("Включен"));
    CheckBox_Terminal->setObjectName(QStringLiteral("CheckBox_Terminal"));

    auto *page = new QVBoxLayout(this);
    page->setContentsMargins(4, 4, 4, 4);
    page->addWidget(Memo_Terminal, 1);
    page->addWidget(CheckBox_Terminal);
}

void PageTerminal::addLine(const QString &line)
{
    QScrollBar *bar = Memo_Terminal->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    Memo_Terminal->appendPlainText(line);
    if (atEnd)
        bar->setValue(bar->maximum());
}

} // namespace zk
