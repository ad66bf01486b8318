// zelta-kn-cli: every operation of the program from the command line, on the same
// engine, frames and decoders as the window.

#include "cli/application.h"
#include "cli/commands.h"
#include "cli/options.h"

#include <QLocale>
#include <cstdio>

int main(int argc, char **argv)
{
    zk::cli::Application app(argc, argv);
    // Russian formats where the system has no locale set up, as in the window.
    if (QLocale::system().language() == QLocale::C)
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));

    QStringList arguments = app.arguments();
    arguments.removeFirst();
    const zk::cli::Parsed parsed = zk::cli::parseArguments(arguments);
    if (!parsed.options) {
        std::fprintf(stderr, "%s\n\n%s", qPrintable(parsed.error), qPrintable(zk::cli::usageText()));
        return zk::cli::ExitUsage;
    }
    try {
        return zk::cli::runCommand(*parsed.options);
    } catch (...) {
        zk::cli::endWithFailure(std::current_exception());
    }
}
