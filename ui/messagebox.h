#pragma once
// Message boxes shown to the operator. Every box of the program goes through
// showMessage(), so a test can observe the boxes instead of having them block.

#include <QMessageBox>
#include <QString>
#include <exception>
#include <functional>

namespace zk {

struct Message {
    QMessageBox::Icon icon;
    QString caption;
    QString text;
};

// While a hook is set, boxes are handed to it instead of being shown; it returns at
// once as if the operator had closed the box. An empty hook restores real boxes.
using MessageHook = std::function<void(const Message &)>;
void setMessageHook(MessageHook hook);

// A modal box with one OK button; returns when it is closed.
void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &caption,
                 const QString &text);
inline void showError(QWidget *parent, const QString &text,
                      const QString &caption = QStringLiteral("Ошибка"))
{
    showMessage(parent, QMessageBox::Critical, caption, text);
}

// The application's title, the caption of the default error report.
void setApplicationTitle(const QString &title);
QString applicationTitle();

// The application's default error report: the error's own text in an error box
// captioned with the application's title. what() is read as UTF-8, as a zk::Error
// keeps its text there.
QString errorText(const std::exception &error);
void reportError(const QString &text);
void reportError(const std::exception &error);

} // namespace zk
