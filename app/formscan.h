#pragma once
// "Обзор линии": a small window that surveys the line (every address 0..255) and lists
// the meters that answered. It scans on a channel of its own while the main window is
// disconnected; "Выбрать" hands the selected meter's address back.

#include "ops/linescan.h"

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace zk {

class FormScan : public QDialog
{
    Q_OBJECT
public:
    explicit FormScan(QWidget *parent = nullptr);

    // Configure the port (device, number, speed) and the reply timeout here, then start().
    LineScan &scan() { return m_scan; }
    // Starts the survey; false, with nothing shown, when the port cannot be opened.
    bool start(QString *error);
    // The address of the row chosen with "Выбрать"; -1 when none was.
    int chosenAddress() const { return m_chosen; }

    QTableWidget *Table;
    QProgressBar *Progress;
    QLabel *LabelState;
    QPushButton *BtnStop;
    QPushButton *BtnChoose;
    QPushButton *BtnClose;

protected:
    void reject() override;

private:
    void addMeter(const ScannedMeter &meter);
    void scanFinished();

    LineScan m_scan;
    int m_chosen = -1;
};

} // namespace zk
