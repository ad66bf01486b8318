#pragma once
// A journal read as an operation: its requests, its replies into rows, when it is
// complete (its own replies are in), and the workbook it exports to.

#include "schedule/journal.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>

namespace zk {

class JournalRead
{
public:
    explicit JournalRead(bool annual) : m_annual(annual) {}

    bool annual() const { return m_annual; }
    quint8 function() const;
    QString name() const; // "Годовой журнал" or "Журнал потребления"
    QList<QByteArray> requests() const;
    int total() const;
    // An accepted reply of the journal's function; returns the log line it gives, if any.
    QString take(const QByteArray &frame);
    int answered() const { return m_answered; }
    bool complete() const { return m_answered >= total(); }
    // What was read so far, titles first, as the page shows it.
    TextTable table(const QDate &today = QDate::currentDate()) const;
    QString incompleteText() const;

private:
    bool m_annual;
    int m_answered = 0;
    QList<AnnualReply> m_annualReplies;
    QList<ConsumptionReply> m_consumptionReplies;
};

// Why a workbook cannot be written at `path` (a folder, a missing folder, a file or
// folder without write permission, a file open in an office program); empty when it
// can. Asked before the meter is read.
QString exportTargetProblem(const QString &path);

} // namespace zk
