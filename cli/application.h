#pragma once
// The command line's application object. An error thrown by a handler inside the event
// loop ends at notify(): its text goes to stderr and the program ends with the exit
// status of its kind, as an error thrown out of the command does in main().

#include <QCoreApplication>
#include <QString>
#include <exception>

namespace zk::cli {

// What the program says and returns for an error nothing else caught: a database or
// file error gives ExitStorage, a serial channel error ExitNoAnswer, anything else
// ExitFailure.
struct Failure {
    int exit;
    QString text;
};
Failure failureOf(std::exception_ptr error);

// Prints failureOf(error) on stderr and ends the program with its exit status.
[[noreturn]] void endWithFailure(std::exception_ptr error);

class Application : public QCoreApplication
{
    Q_OBJECT
public:
    Application(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

} // namespace zk::cli
