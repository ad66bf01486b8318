#include "ops/rules.h"

#include "meter/settingswrite.h"
#include "records/production.h"

namespace zk {

bool serialEditableInMode(const Modes &modes)
{
    return modes.masterMode();
}

QString serialWriteProblem(const Modes &modes, int reportedSerial)
{
    if (!serialEditableInMode(modes))
        return QStringLiteral("Заводской номер записывается только в сервисном режиме.");
    if (!serialEditableFor(reportedSerial))
        return QStringLiteral("У счетчика уже есть заводской номер %1: другой записать нельзя.").arg(reportedSerial);
    return QString();
}

bool newPasswordEditable(const Modes &modes)
{
    return modes.passwordEditing();
}

QString newPasswordProblem(const Modes &modes)
{
    return newPasswordEditable(modes)
        ? QString()
        : QStringLiteral("Новый пароль записывать нельзя: поле пароля для записи закрыто настройкой NoUser.");
}

QString accessPasswordProblem(const QString &text)
{
    // The enabled rule of the write action with nothing else in the way.
    return writeAllowed(true, text, QString(), false)
        ? QString()
        : QStringLiteral("Пароль для доступа должен быть числом от 0 до 65535: %1").arg(text);
}

std::optional<int> proposedAddress(const Modes &modes, int serial)
{
    if (!modes.sqlMode || serial <= 0)
        return std::nullopt;
    return addressOfSerial(serial);
}

bool correctionByDefault(const Modes &modes)
{
    return modes.sqlMode;
}

QString nextSerialProblem(qint64 next)
{
    if (next <= MaxSerialNumber)
        return QString();
    return QStringLiteral("Следующий свободный номер %1 больше наибольшего заводского номера %2.")
        .arg(next)
        .arg(MaxSerialNumber);
}

QString defectCodeProblem(const QString &code)
{
    if (!defectCodeAccepted(code))
        return QStringLiteral("Код брака не может быть пустым");
    if (!defectCodeFits(code))
        return QStringLiteral("Код брака длиннее %1 знаков: %2").arg(MaxDefectCodeLength).arg(code.trimmed().size());
    return QString();
}

} // namespace zk
