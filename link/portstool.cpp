// zelta-kn-ports: shows and edits the COM-port map of the preferences store.
//   zelta-kn-ports                 list the map
//   zelta-kn-ports COM9 /dev/pts/3 map COM9 to a device
//   zelta-kn-ports COM9 --remove   drop the entry
//   ... --select                   also preselect the port, replacing the one saved
//   zelta-kn-ports --help|--version

#include "core/version.h"
#include "ops/preferences.h"

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
    const QStringList args = app.arguments().mid(1);
    const QString usage = QStringLiteral("usage: zelta-kn-ports [COM<n> <device> [--select] | COM<n> --remove]\n");

    if (args.value(0) == QLatin1String("--version")) {
        out << "zelta-kn-ports " ZK_VERSION "\n";
        return 0;
    }
    if (args.value(0) == QLatin1String("--help") || args.value(0) == QLatin1String("-h")) {
        out << usage
            << "Таблица портов COM программы zelta-kn (" << settings.fileName() << ", группа [Ports]).\n"
               "  без параметров           показать таблицу\n"
               "  COM<n> <устройство>      сопоставить порту устройство, например /dev/ttyUSB0\n"
               "  ... --select             и выбрать этот порт при запуске программы\n"
               "  COM<n> --remove          удалить запись порта\n"
               "  --version                версия программы\n";
        return 0;
    }

    if (args.isEmpty()) {
        for (const QString &key : settings.childKeys())
            out << key << " = " << settings.value(key).toString() << '\n';
        return 0;
    }
    static const QRegularExpression portName(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const auto match = portName.match(args.value(0));
    const bool remove = args.value(1) == QLatin1String("--remove");
    const bool select = args.size() == 3 && args[2] == QLatin1String("--select") && !remove;
    if ((args.size() != 2 && !select) || !match.hasMatch()) {
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
        err << "cannot create " << settings.fileName() << '\n';
        return 1;
    }
    const QString key = QStringLiteral("COM") + match.captured(1);
    if (remove)
        settings.remove(key);
    else
        settings.setValue(key, args[1]);
    settings.endGroup();
    if (select)
        settings.setValue(QStringLiteral("Port"), match.captured(1).toUInt());
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        err << "cannot write " << settings.fileName() << '\n';
        return 1;
    }
    return 0;
}
