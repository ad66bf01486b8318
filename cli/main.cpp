// zelta-kn-cli: every operation of the program from the command line, on the same
// engine, frames and decoders as the window.

#include "cli/application.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/report.h"

#include <QLocale>

int main(int argc, char **argv)
{
    zk::cli::Application app(argc, argv);
    // Russian formats where the system has no locale set up, as in the window.
    if (QLocale::system().language() == QLocale::C)
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));

    QStringList arguments = app.arguments();
    arguments.removeFirst();
    const zk::cli::Parsed parsed = zk::cli::parseArguments(arguments);
    if (!parsed.options)
        return zk::cli::verdictUsageError(parsed.verdictJson, parsed.error);
    try {
        return zk::cli::runCommand(*parsed.options);
    } catch (...) {
        zk::cli::endWithFailure(std::current_exception());
    }
}
