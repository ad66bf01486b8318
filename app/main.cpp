// Program entry: the application, its title, the main window (which runs the
// start-up sequence), the secondary windows, the message loop.

#include "app/application.h"
#include "app/formabout.h"
#include "app/formhelp.h"
#include "app/formmain.h"
#include "app/icons/icons.h"
#include "core/version.h"
#include "meter/formstatus.h"
#include "records/formspoilage.h"
#include "schedule/pagejournal.h"
#include "ui/messagebox.h"
#include "ui/widgets.h"

#include <QAction>
#include <QDir>
#include <QEvent>
#include <QLibraryInfo>
#include <QLocale>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

const char *const HelpText =
    "Использование: zelta-kn [--menu] [ПАРАМЕТРЫ Qt]\n"
    "Окно установки счетчиков ЗЕЛТА-КН. Рабочая папка (реестр Setting.DBF, файл\n"
    "SettingSql.kvm, справка Help_zelta_kn.rtf) - текущая папка.\n"
    "\n"
    "  --menu     рабочая папка ~/.local/share/zelta-kn (создается, если ее нет);\n"
    "             так программу запускает меню рабочего стола\n"
    "  --version  версия программы\n"
    "  --help     эта справка\n"
    "\n"
    "Параметры Qt (-platform, -style и другие) передаются Qt.\n";

bool isSet(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value;
}

// The command line before any window: true with `exit` set when the program ends here.
// Options with two dashes are the program's own; Qt takes those with one.
bool handleArguments(int argc, char **argv, bool *menu, int *exit)
{
    bool explicitPlatform = isSet("QT_QPA_PLATFORM");
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
            std::fputs(HelpText, stdout);
            *exit = 0;
            return true;
        }
        if (!std::strcmp(a, "--version")) {
            std::printf("zelta-kn %s\n", ZK_VERSION);
            *exit = 0;
            return true;
        }
        if (!std::strcmp(a, "--menu")) {
            *menu = true;
        } else if (!std::strcmp(a, "-platform") || !std::strncmp(a, "-platform=", 10)) {
            explicitPlatform = true;
        } else if (!std::strncmp(a, "--", 2)) {
            std::fprintf(stderr, "zelta-kn: неизвестный параметр %s (zelta-kn --help)\n", a);
            *exit = 2;
            return true;
        }
    }
    // Qt would end with its plug-in message and a core dump; say what is missing instead.
    if (!explicitPlatform && !isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY")) {
        std::fputs("zelta-kn: нет дисплея (не заданы DISPLAY и WAYLAND_DISPLAY): окну нужен "
                   "графический сеанс или ssh -X; без окна работает zelta-kn-cli\n",
                   stderr);
        *exit = 1;
        return true;
    }
    return false;
}

// A menu launch starts in the home folder: the program gets a working folder of its own.
bool enterMenuFolder(QString *error)
{
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/zelta-kn");
    if (!QDir().mkpath(folder) || !QDir::setCurrent(folder)) {
        *error = QStringLiteral("Не удалось открыть рабочую папку %1").arg(folder);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    bool menu = false;
    int exit = 0;
    if (handleArguments(argc, argv, &menu, &exit))
        return exit;
    zk::Application app(argc, argv);
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
        if (!enterMenuFolder(&error)) {
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
