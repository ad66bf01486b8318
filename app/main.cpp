#include <QApplication>
#include <QMainWindow>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Установка ЗЕЛТА-КН"));
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Установка ЗЕЛТА-КН"));
    window.show();
    return app.exec();
}
