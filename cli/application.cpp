#include "cli/application.h"

#include "cli/options.h"
#include "core/error.h"
#include "link/meterchannel.h"

#include <cstdio>
#include <cstdlib>

namespace zk::cli {

Failure failureOf(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const StorageError &e) {
        return {ExitStorage, e.text()};
    } catch (const SerialChannelError &e) {
        return {ExitNoAnswer, e.text()};
    } catch (const Error &e) {
        return {ExitFailure, e.text()};
    } catch (const std::exception &e) {
        return {ExitFailure, QString::fromUtf8(e.what())};
    } catch (...) {
        return {ExitFailure, QStringLiteral("Неизвестная ошибка")};
    }
}

void endWithFailure(std::exception_ptr error)
{
    const Failure failure = failureOf(error);
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", failure.text.toLocal8Bit().constData());
    std::fflush(stderr);
    // The command's stack is not unwound: it may be inside a nested event loop, and a
    // step after it must not run as if the one that failed had succeeded.
    std::_Exit(failure.exit);
}

Application::Application(int &argc, char **argv) : QCoreApplication(argc, argv) {}

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QCoreApplication::notify(receiver, event);
    } catch (...) {
        endWithFailure(std::current_exception());
    }
}

} // namespace zk::cli
