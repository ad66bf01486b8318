#pragma once
// What the programs' command lines say: the option list of --help and the text of a
// refused command line, in Russian. Qt's own --help would name the path the program
// was started by and speak English.
//
// Header-only and Qt Core only, as every program and the virtual meter include it.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

#include <algorithm>

namespace zk {

// One option a line: its names ("-h, --help") and value name, then its description in a
// column; the further lines of a description under its first.
inline QString optionsHelp(const QList<QCommandLineOption> &options)
{
    QStringList heads;
    qsizetype width = 0;
    for (const QCommandLineOption &o : options) {
        QStringList names;
        for (const QString &name : o.names())
            names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        QString head = names.join(QStringLiteral(", "));
        if (!o.valueName().isEmpty())
            head += QLatin1Char(' ') + o.valueName();
        width = std::max(width, head.size());
        heads << head;
    }
    QString text;
    const QString indent(width + 4, QLatin1Char(' '));
    for (qsizetype i = 0; i < options.size(); ++i) {
        const QStringList lines = options.at(i).description().split(QLatin1Char('\n'));
        text += QStringLiteral("  ") + heads.at(i).leftJustified(width + 2) + lines.first() + QLatin1Char('\n');
        for (qsizetype k = 1; k < lines.size(); ++k)
            text += indent + lines.at(k) + QLatin1Char('\n');
    }
    return text;
}

// Why `parser` refused `arguments` (without the program's name): an unknown option, or
// an option that takes a value standing last without one.
inline QString commandLineError(const QCommandLineParser &parser, const QStringList &arguments)
{
    if (!parser.unknownOptionNames().isEmpty()) {
        const QString name = parser.unknownOptionNames().first();
        return QStringLiteral("Неизвестный параметр: %1%2")
            .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name);
    }
    const QString last = arguments.value(arguments.size() - 1);
    if (last.startsWith(QLatin1Char('-')) && !last.contains(QLatin1Char('=')))
        return QStringLiteral("Параметру %1 не хватает значения").arg(last);
    return parser.errorText();
}

} // namespace zk
