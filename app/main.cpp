// Program entry: the application, its title, the main window (which runs the
// start-up sequence), the secondary windows, the message loop.

#include "app/application.h"
#include "app/formabout.h"
#include "app/formhelp.h"
#include "app/formmain.h"
#include "app/icons/icons.h"
#include "meter/formstatus.h"
#include "records/formspoilage.h"
#include "schedule/pagejournal.h"
#include "ui/messagebox.h"

#include <QAction>
#include <QDir>
#include <QLocale>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

namespace {

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

} // namespace

int main(int argc, char **argv)
{
    zk::Application app(argc, argv);
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
