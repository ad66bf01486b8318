#pragma once
// The Status window: any status value and what it means, decoded as the page
// "Установка" decodes the meter's own.

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

namespace zk {

// Empties `memo` and adds the lines of `status`.
void showStatusLines(QPlainTextEdit *memo, quint8 status);

class FormStatus : public QDialog
{
    Q_OBJECT
public:
    explicit FormStatus(QWidget *parent = nullptr);

    QLabel *Label1;
    QSpinBox *SpinEdit1;
    QPlainTextEdit *Memo1;
    QPushButton *Button1;

public slots:
    void SpinEdit1Change();
};

} // namespace zk
