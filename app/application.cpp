#include "app/application.h"

#include "ui/messagebox.h"

namespace zk {

Application::Application(int &argc, char **argv) : QApplication(argc, argv) {}

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        reportError(e);
    } catch (...) {
        reportError(QStringLiteral("Неизвестная ошибка"));
    }
    return false;
}

} // namespace zk
