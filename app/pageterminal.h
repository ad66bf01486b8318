#pragma once
// The page "Терминал" / "Протокол" (TabSheet4): the traffic log and its switch.

#include <QWidget>

class QCheckBox;
class QPlainTextEdit;

namespace zk {

class PageTerminal : public QWidget
{
    Q_OBJECT
public:
    static constexpr int MaxLines = 1500;

    explicit PageTerminal(QWidget *parent = nullptr);
    // One line at the end; beyond MaxLines the oldest line goes.
    void addLine(const QString &line);

    QPlainTextEdit *Memo_Terminal;
    QCheckBox *CheckBox_Terminal;
};

} // namespace zk
