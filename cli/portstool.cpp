// zelta-kn-ports: shows and edits the COM-port map of the preferences store.
//   zelta-kn-ports                 list the map
//   zelta-kn-ports COM9 /dev/pts/3 map COM9 to a device
//   zelta-kn-ports COM9 --remove   drop the entry
//   ... --select                   also preselect the port, replacing the one saved
//   zelta-kn-ports --help|--version

#include "core/commandline.h"
#include "core/version.h"
#include "ops/preferences.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QSettings>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout), err(stderr);
    QSettings settings(QStringLiteral("Kalvimet"), QStringLiteral("Zelta-KN"));
    settings.beginGroup(QStringLiteral("Ports"));
    const QString usage = QStringLiteral("Использование: zelta-kn-ports [COM<n> <устройство> [--select] | COM<n> --remove]\n");

    const QCommandLineOption selectOption(QStringLiteral("select"),
                                          QStringLiteral("и выбрать этот порт при запуске программы"));
    const QCommandLineOption removeOption(QStringLiteral("remove"), QStringLiteral("удалить запись порта COM<n>"));
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("версия программы"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("эта справка"));
    const QList<QCommandLineOption> options{selectOption, removeOption, versionOption, helpOption};
    QCommandLineParser parser;
    parser.addOptions(options);
    const QStringList arguments = app.arguments().mid(1);
    if (!parser.parse(QStringList{QStringLiteral("zelta-kn-ports")} + arguments)) {
        err << "zelta-kn-ports: " << zk::commandLineError(parser, arguments) << "\n" << usage;
        return 2;
    }
    if (parser.isSet(versionOption)) {
        out << "zelta-kn-ports " ZK_VERSION "\n";
        return 0;
    }
    if (parser.isSet(helpOption)) {
        out << usage
            << "Таблица портов COM программы zelta-kn (" << settings.fileName() << ", группа [Ports]).\n"
               "Без параметров - показать таблицу; COM<n> <устройство> - сопоставить порту устройство,\n"
               "например /dev/ttyUSB0.\n\n"
            << zk::optionsHelp(options);
        return 0;
    }

    const QStringList args = parser.positionalArguments();
    const bool remove = parser.isSet(removeOption);
    const bool select = parser.isSet(selectOption);
    if (args.isEmpty() && !remove && !select) {
        for (const QString &key : settings.childKeys())
            out << key << " = " << settings.value(key).toString() << '\n';
        return 0;
    }
    static const QRegularExpression portName(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const auto match = portName.match(args.value(0));
    if (args.size() != (remove ? 1 : 2) || (remove && select) || !match.hasMatch()) {
        err << usage;
        return 2;
    }
    // A rewrite would keep only what QSettings read of a value it cuts short.
    if (!zk::preferencesRewritable()) {
        err << zk::unquotedConnectionHint() << '\n';
        return 1;
    }
    // A file this tool creates may later hold the database password: its owner's alone.
    if (!zk::createPreferencesFile()) {
        err << "zelta-kn-ports: не удалось создать " << settings.fileName() << '\n';
        return 1;
    }
    const QString key = QStringLiteral("COM") + match.captured(1);
    if (remove)
        settings.remove(key);
    else
        settings.setValue(key, args.at(1));
    settings.endGroup();
    if (select)
        settings.setValue(QStringLiteral("Port"), match.captured(1).toUInt());
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        err << "zelta-kn-ports: не удалось записать " << settings.fileName() << '\n';
        return 1;
    }
    return 0;
}
