#pragma once
// The application object. Errors thrown by a handler end at notify(): they are
// shown with their own text and only the operation in progress is abandoned.

#include <QApplication>

namespace zk {

class Application : public QApplication
{
    Q_OBJECT
public:
    Application(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

} // namespace zk
