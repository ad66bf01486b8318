#include "ui/dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QUrl>

namespace zk {

namespace {
SaveFileHook &saveHook()
{
    static SaveFileHook hook;
    return hook;
}
OpenHook &openHook()
{
    static OpenHook hook;
    return hook;
}
} // namespace

void setSaveFileHook(SaveFileHook hook)
{
    saveHook() = std::move(hook);
}

void setOpenHook(OpenHook hook)
{
    openHook() = std::move(hook);
}

QString askSaveFile(QWidget *parent, const QString &type)
{
    if (saveHook())
        return saveHook()(type);
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(type + QStringLiteral(" (*.") + type + QLatin1Char(')'));
    dialog.setDefaultSuffix(type);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().first();
}

void openWithDesktop(const QString &path)
{
    if (openHook()) {
        openHook()(path);
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

} // namespace zk
