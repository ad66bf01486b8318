#include "ops/journaloperation.h"

#include "link/frame.h"
#include "schedule/journalexport.h"

#include <QFileInfo>

namespace zk {

quint8 JournalRead::function() const
{
    return m_annual ? req::ReadAnnual.function : req::ReadConsumption.function;
}

QString JournalRead::name() const
{
    return m_annual ? QStringLiteral("Годовой журнал") : QStringLiteral("Журнал потребления");
}

QList<QByteArray> JournalRead::requests() const
{
    return m_annual ? annualRequests() : consumptionRequests();
}

int JournalRead::total() const
{
    return m_annual ? journal::Months : journal::Pages;
}

QString JournalRead::take(const QByteArray &frame)
{
    if (frame.isEmpty() || quint8(frame.at(0)) != function())
        return QString();
    ++m_answered;
    if (!m_annual) {
        if (const auto reply = decodeConsumption(frame))
            m_consumptionReplies.append(*reply);
        return QString();
    }
    const auto reply = decodeAnnual(frame);
    if (!reply)
        return QString();
    m_annualReplies.append(*reply);
    return isBadMonthEntry(*reply) ? BadJournalMonthText : QString();
}

TextTable JournalRead::table(const QDate &today) const
{
    return m_annual ? annualTable(m_annualReplies) : consumptionTable(m_consumptionReplies, today.year());
}

QString JournalRead::incompleteText() const
{
    return QStringLiteral("%1 прочитан не полностью: %2 из %3").arg(name()).arg(m_answered).arg(total());
}

QString exportTargetProblem(const QString &path)
{
    const QFileInfo target(path);
    if (target.isDir())
        return QStringLiteral("%1 — папка, а не файл").arg(path);
    const QFileInfo folder(target.absolutePath());
    if (!folder.isDir())
        return QStringLiteral("Папки %1 нет").arg(folder.filePath());
    if (target.exists() ? !target.isWritable() : !folder.isWritable())
        return QStringLiteral("Нет прав на запись в %1").arg(target.exists() ? path : folder.filePath());
    return fileOpenElsewhere(path);
}

} // namespace zk
