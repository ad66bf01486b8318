// Program entry: the application, its title, the main window (which runs the
// start-up sequence), the secondary windows, the message loop.

#include "app/application.h"
#include "app/displaycheck.h"
#include "app/formabout.h"
#include "app/formhelp.h"
#include "app/formmain.h"
#include "app/icons/icons.h"
#include "core/commandline.h"
#include "core/version.h"
#include "meter/formstatus.h"
#include "ops/workfolder.h"
#include "records/formspoilage.h"
#include "schedule/pagejournal.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QAction>
#include <QCommandLineParser>
#include <QDir>
#include <QEvent>
#include <QLibraryInfo>
#include <QLocale>
#include <QTabWidget>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <ctime>

namespace {

// With ZK_STARTUP_PROBE set, the program prints "painted SECONDS" (CLOCK_MONOTONIC) on
// stdout once the main window has been painted for the first time, and ends: the start-up
// benchmark takes the time from its own clock before starting the program.
class FirstPaintProbe : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // Right after this paint has been handled and put on the screen.
            QTimer::singleShot(0, this, [] {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                std::printf("painted %lld.%09ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

// With ZK_SCREENSHOT_DIR set, the window saves a picture of every page it shows
// (named ZK_SCREENSHOT_PREFIX + page) into that folder and closes. Message boxes
// go to the standard error stream instead, so nothing waits for an operator. With
// ZK_SCREENSHOT_CONNECT set as well, it first connects and polls the meter for that
// many milliseconds.
void takeScreenshots(zk::FormMain &window, const QString &folder)
{
    const QString prefix = qEnvironmentVariable("ZK_SCREENSHOT_PREFIX");
    QDir().mkpath(folder);
    auto save = [&](const QString &name) {
        QCoreApplication::processEvents();
        window.grab().save(QDir(folder).filePath(prefix + name + QStringLiteral(".png")));
    };
    QTabWidget *pages = window.PageControl1;
    for (int i = 0; i < pages->count(); ++i) {
        if (!pages->isTabVisible(i))
            continue;
        pages->setCurrentIndex(i);
        const QString name = pages->widget(i)->objectName();
        if (pages->widget(i) == window.TabSheet2) {
            window.TabSheet2->PageControl2->setCurrentIndex(0);
            save(name + QStringLiteral("-annual"));
            window.TabSheet2->PageControl2->setCurrentIndex(1);
        }
        save(name);
    }
    pages->setCurrentIndex(0);
}

// The command line before any window: true with `exit` set when the program ends here.
// Options with two dashes (and -h) are the program's own; Qt takes those with one.
bool handleArguments(int argc, char **argv, bool *menu, int *exit)
{
    QStringList own;
    bool explicitPlatform = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        if (a.startsWith(QLatin1String("--")) || a == QLatin1String("-h"))
            own << a;
        else if (a == QLatin1String("-platform") || a.startsWith(QLatin1String("-platform=")))
            explicitPlatform = true;
    }
    const QCommandLineOption menuOption(QStringLiteral("menu"),
                                        QStringLiteral("рабочая папка ~/.local/share/zelta-kn (создается, если ее нет);\n"
                                                       "так программу запускает меню рабочего стола"));
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("версия программы"));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("эта справка"));
    const QList<QCommandLineOption> options{menuOption, versionOption, helpOption};
    QCommandLineParser parser;
    parser.addOptions(options);
    if (!parser.parse(QStringList{QStringLiteral("zelta-kn")} + own)) {
        std::fprintf(stderr, "zelta-kn: %s (zelta-kn --help)\n", qPrintable(zk::commandLineError(parser, own)));
        *exit = 2;
        return true;
    }
    if (parser.isSet(helpOption)) {
        const QString help = QStringLiteral("Использование: zelta-kn [--menu] [ПАРАМЕТРЫ Qt]\n"
                                            "Окно установки счетчиков ЗЕЛТА-КН. Рабочая папка (реестр Setting.DBF, файл\n"
                                            "SettingSql.kvm, справка Help_zelta_kn.rtf) - текущая папка.\n\n")
            + zk::optionsHelp(options) + QStringLiteral("\nПараметры Qt (-platform, -style и другие) передаются Qt.\n");
        std::fputs(qPrintable(help), stdout);
        *exit = 0;
        return true;
    }
    if (parser.isSet(versionOption)) {
        std::printf("zelta-kn %s\n", ZK_VERSION);
        *exit = 0;
        return true;
    }
    *menu = parser.isSet(menuOption);
    // Qt would end with its plug-in message and a core dump; say what is missing instead.
    if (!explicitPlatform) {
        if (const QString message = zk::noDisplayMessage(); !message.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(message));
            *exit = 1;
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    bool menu = false;
    int exit = 0;
    if (handleArguments(argc, argv, &menu, &exit))
        return exit;
    zk::holdQtStartMessages();
    zk::Application app(argc, argv);
    zk::releaseQtStartMessages();
    // The window is Russian, and so are Qt's own texts: file dialogs, the buttons of
    // message boxes, context menus.
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts);
    zk::setApplicationTitle(zk::FormMain::Title);
    // The window speaks Russian: where the system has no locale set up (the "C"
    // locale), dates and numbers follow Russian formats rather than English ones.
    if (QLocale::system().language() == QLocale::C)
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));

    const QString screenshots = qEnvironmentVariable("ZK_SCREENSHOT_DIR");
    if (!screenshots.isEmpty()) {
        zk::setMessageHook([](const zk::Message &m) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(m.caption), qPrintable(m.text));
        });
    }

    QApplication::setWindowIcon(zk::programIcon());
    if (menu) {
        QString error;
        if (!zk::enterMenuWorkFolder(&error)) {
            zk::reportError(error);
            return 1;
        }
    }
    zk::FormMain window;
    zk::FormAbout about(&window);
    window.setAboutWindow(&about);
    zk::FormStatus status(&window);
    window.setStatusWindow(&status);
    zk::FormSpoilage spoilage(&window);
    window.setSpoilageWindow(&spoilage);
    zk::FormHelp help(&window);
    window.setHelpWindow(&help);
    QString error;
    if (!help.load(&error))
        zk::reportError(error);

    FirstPaintProbe probe;
    if (qEnvironmentVariableIsSet("ZK_STARTUP_PROBE"))
        window.installEventFilter(&probe);
    window.show();
    if (!screenshots.isEmpty()) {
        const int pollMs = qEnvironmentVariableIntValue("ZK_SCREENSHOT_CONNECT");
        QTimer::singleShot(300, &window, [&window, screenshots, pollMs] {
            if (pollMs > 0)
                window.ActionConnect->trigger();
            QTimer::singleShot(pollMs, &window, [&window, screenshots] {
                takeScreenshots(window, screenshots);
                window.close();
            });
        });
    }
    return app.exec();
}
