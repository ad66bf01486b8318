#pragma once
// The defect registration window: the meter's serial number, a defect code and
// the button that registers it. What registering does is handed in, so the window
// holds no database of its own.

#include <QDialog>
#include <functional>

class QPushButton;

namespace zk {

class LabeledEdit;

class FormSpoilage : public QDialog
{
    Q_OBJECT
public:
    // Registers the defect `code` (blanks at either end removed) of the meter
    // `electroId`; throws on a database error.
    using Register = std::function<void(int electroId, const QString &code)>;

    explicit FormSpoilage(QWidget *parent = nullptr);

    void setRegister(Register action) { m_register = std::move(action); }
    // The meter the next showing registers: its database id and serial number.
    void setMeter(int electroId, int serial);
    int electroId() const { return m_electroId; }

    QWidget *WebBrowser1; // an empty pane
    QWidget *Panel1;
    LabeledEdit *LabeledEdit1; // "Счетчик №"
    LabeledEdit *LabeledEdit2; // "Код брака"
    QPushButton *BitBtn1;      // "Запись в БД"

public slots:
    void LabeledEdit2Change();
    void BitBtn1Click();

protected:
    void showEvent(QShowEvent *event) override;

private:
    Register m_register;
    int m_electroId = 0;
};

} // namespace zk
