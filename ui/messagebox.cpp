#include "ui/messagebox.h"

#include <QApplication>
#include <QWidget>

namespace zk {

namespace {
MessageHook &hook()
{
    static MessageHook h;
    return h;
}

QString &title()
{
    static QString t;
    return t;
}
} // namespace

void setApplicationTitle(const QString &t)
{
    title() = t;
}

QString applicationTitle()
{
    return title().isEmpty() ? QApplication::applicationName() : title();
}

void setMessageHook(MessageHook h)
{
    hook() = std::move(h);
}

void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &caption,
                 const QString &text)
{
    if (hook()) {
        hook()(Message{icon, caption, text});
        return;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

QString errorText(const std::exception &error)
{
    return QString::fromUtf8(error.what());
}

void reportError(const QString &text)
{
    showMessage(QApplication::activeWindow(), QMessageBox::Critical, applicationTitle(), text);
}

void reportError(const std::exception &error)
{
    reportError(errorText(error));
}

} // namespace zk
