#pragma once
// The command line of zelta-kn-cli: global options, the command, its own options and words.

#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>

namespace zk::cli {

// Exit status of the program.
enum Exit {
    ExitDone = 0,
    ExitFailure = 1,  // anything else that went wrong
    ExitUsage = 2,    // bad arguments (a usage message on stderr), or refused before anything was sent
    ExitNoAnswer = 3, // the meter stopped answering, or the port could not be used
    ExitRefused = 4,  // the meter answered with an error reply
    ExitStorage = 5,  // a database or file error
    ExitMismatch = 6, // the meter acknowledged a write and reads back something else
};

struct Options {
    QString port;         // "COM9" or a device path; empty: the port saved in the preferences
    int address = 0;      // the meter's address on the line
    int baud = 4800;      // 1200, 2400, 4800 or 9600
    int timeout = 1000;   // reply timeout in ms, 200..10000
    QString password;     // access password as typed; the factory password when not given
    bool json = false;
    bool trace = false;
    bool menu = false;    // work in the folder of the window started from the menu
    bool help = false;
    bool version = false;
    QString command;      // empty with --help or --version alone
    QStringList args;     // the command's words after it (its options are in `own`)
    // The command's own options by name without dashes: the values given (a flag has one
    // empty value).
    QMap<QString, QStringList> own;

    bool has(const QString &name) const { return own.contains(name); }
    // The last value given for `name`; empty when not given.
    QString value(const QString &name) const { return own.value(name).value(own.value(name).size() - 1); }
};

// Parses the whole argument list (without the program name). Global options stand
// before or after the command, its own options after it. On failure the text says
// what is wrong: an unknown option, a value missing or out of range.
struct Parsed {
    std::optional<Options> options;
    QString error;
    // The error is of a command that ends with the verdict object, and --json was asked.
    bool verdictJson = false;
};
Parsed parseArguments(const QStringList &arguments);

// The usage text printed for --help and after a usage error.
QString usageText();

// Prints `text` and the usage on stderr; returns ExitUsage.
int usageError(const QString &text);

// A whole decimal number within [min, max]; nothing for any other text.
std::optional<int> intArgument(const QString &text, int min, int max);

} // namespace zk::cli
