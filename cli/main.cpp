// zelta-kn-cli: every operation of the program from the command line, on the same
// engine, frames and decoders as the window.

#include "cli/commands.h"
#include "cli/options.h"

#include <QCoreApplication>
#include <QLocale>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
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
    return zk::cli::runCommand(*parsed.options);
}
