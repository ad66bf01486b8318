#include "ops/workfolder.h"

#include <QDir>
#include <QStandardPaths>

namespace zk {

bool enterMenuWorkFolder(QString *error)
{
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/zelta-kn");
    if (!QDir().mkpath(folder) || !QDir::setCurrent(folder)) {
        *error = QStringLiteral("Не удалось открыть рабочую папку %1").arg(folder);
        return false;
    }
    return true;
}

} // namespace zk
