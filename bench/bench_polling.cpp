// What the program itself costs.
//
//   bench_polling startup [RUNS]          time from starting zelta-kn to its first painted
//                                         window, beside a bare Qt window started the same way
//   bench_polling poll [EXCHANGES] [BAUD] the main window shown, polling the virtual meter:
//                                         CPU share of one core and resident memory after
//                                         100, 1,000 and EXCHANGES (10,000) exchanges, beside
//                                         the same window shown and not connected, and beside
//                                         a bare Qt event loop woken as often as the program was,
//                                         and beside the line polled without the window
//   bench_polling poll-headless [EXCHANGES] [BAUD]
//                                         the line without the window: the command line's
//                                         session polling the virtual meter, same figures
//   bench_polling wake-floor RATE [SECONDS] that bare loop: a precise timer RATE times a second
//
// Run under a display (xvfb-run) to count real painting; the offscreen platform otherwise.
// ZK_BENCH_QUICK=1 leaves out the baselines of `poll` (for two builds compared in turn);
// ZK_BENCH_PAINTS=1 lists the widgets painted while polling, ZK_BENCH_PASSES=1 the CPU
// time of the event loop's passes by what they handled.

#include "app/application.h"
#include "app/formmain.h"
#include "ops/preferences.h"
#include "cli/options.h"
#include "cli/session.h"
#include "link/exchangeengine.h"
#include "link/linkbar.h"
#include "link/portmap.h"
#include "link/serialchannel.h"
#include "ui/messagebox.h"

#include <QAction>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <map>
#include <cstdio>
#include <ctime>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

using namespace zk;

namespace {

double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long wakeUps()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw; // each time the process slept and was woken again
}

double rssMiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

// Runs the event loop until `done` or `seconds` have passed, looking once a second: the
// look wakes this process too, and its cost is counted with the program's.
void spin(const std::function<bool()> &done, double seconds)
{
    const double end = monotonicSeconds() + seconds;
    if (done())
        return;
    QEventLoop loop;
    QTimer check;
    check.setInterval(std::min(1000, int(seconds * 1000)));
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || monotonicSeconds() >= end)
            loop.quit();
    });
    check.start();
    loop.exec();
}

// Milliseconds from starting `program` to its "painted" line; -1 on failure.
double startupMs(const QString &program, const QStringList &args, const QString &dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZK_STARTUP_PROBE"), QStringLiteral("1"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const double t0 = monotonicSeconds();
    p.start(program, args);
    if (!p.waitForFinished(30000))
        return -1;
    const QByteArray out = p.readAllStandardOutput();
    const int at = out.indexOf("painted ");
    if (at < 0)
        return -1;
    return (out.mid(at + 8).trimmed().toDouble() - t0) * 1000.0;
}

int baseWindow()
{
    // A bare window with one label, painted once: what any Qt program of this kind pays.
    QLabel label(QStringLiteral("Счетчик"));
    label.resize(640, 480);
    struct Probe : QObject {
        bool seen = false;
        bool eventFilter(QObject *o, QEvent *e) override
        {
            if (e->type() == QEvent::Paint && !seen) {
                seen = true;
                QTimer::singleShot(0, [] {
                    std::printf("painted %.9f\n", monotonicSeconds());
                    std::fflush(stdout);
                    QCoreApplication::exit(0);
                });
            }
            return QObject::eventFilter(o, e);
        }
    } probe;
    label.installEventFilter(&probe);
    label.show();
    return QApplication::exec();
}

int startup(int runs)
{
    QTemporaryDir dir;
    const QString bin = QCoreApplication::applicationDirPath();
    QList<double> program, bare;
    for (int i = 0; i < runs; ++i) {
        program << startupMs(bin + QStringLiteral("/zelta-kn"), {}, dir.path());
        bare << startupMs(QCoreApplication::applicationFilePath(), {QStringLiteral("base-window")}, dir.path());
    }
    if (std::count(program.begin(), program.end(), -1.0) || std::count(bare.begin(), bare.end(), -1.0)) {
        std::fprintf(stderr, "bench_polling: a start-up failed\n");
        return 1;
    }
    std::sort(program.begin(), program.end());
    std::sort(bare.begin(), bare.end());
    std::printf("start-up to the first painted window, %d runs each (platform %s):\n", runs,
                qPrintable(QGuiApplication::platformName()));
    std::printf("  zelta-kn          median %6.1f ms  min %6.1f  max %6.1f\n", program[runs / 2], program.first(),
                program.last());
    std::printf("  bare Qt window    median %6.1f ms  min %6.1f  max %6.1f\n", bare[runs / 2], bare.first(),
                bare.last());
    return 0;
}

// The virtual meter, started detached: a QProcess child would add its pipe and its
// process descriptor to the event loop being measured, which the program run by an
// operator does not have. Stopped when this goes out of scope.
struct Meter {
    qint64 pid = 0;
    QString link;
    bool start(const QString &dir)
    {
        link = dir + QStringLiteral("/meter");
        QProcess sim;
        sim.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/zelta-kn-sim"));
        sim.setArguments({QStringLiteral("--link"), link, QStringLiteral("--address"), QStringLiteral("1"),
                          QStringLiteral("--serial"), QStringLiteral("1234"), QStringLiteral("--turnaround"),
                          QStringLiteral("2")});
        sim.setStandardOutputFile(QProcess::nullDevice());
        if (!sim.startDetached(&pid)) {
            std::fprintf(stderr, "bench_polling: the virtual meter did not start\n");
            return false;
        }
        for (int i = 0; i < 1000 && !QFileInfo::exists(link); ++i)
            ::usleep(10000);
        if (!QFileInfo::exists(link)) {
            std::fprintf(stderr, "bench_polling: the virtual meter made no link\n");
            return false;
        }
        return true;
    }
    void stop()
    {
        if (pid <= 0)
            return;
        ::kill(pid_t(pid), SIGTERM);
        for (int i = 0; i < 500 && ::kill(pid_t(pid), 0) == 0; ++i)
            ::usleep(10000);
        pid = 0;
    }
    ~Meter() { stop(); }
};

struct Mark {
    int exchanges;
    double cpu, wall, rss;
    long wakes;
};

// Polls until `exchanges` requests have been sent, printing the process's CPU share,
// wake-ups and resident memory after 100, 1,000 and `exchanges`.
QList<Mark> pollMarks(ExchangeEngine *engine, int exchanges)
{
    QList<Mark> marks;
    for (const int at : {100, 1000, exchanges}) {
        spin([&] { return engine->sentCount() >= at || engine->sentCount() < 0; }, 3600);
        marks << Mark{engine->sentCount(), cpuSeconds(), monotonicSeconds(), rssMiB(), wakeUps()};
        const Mark &m = marks.last();
        if (marks.size() > 1) {
            const Mark &first = marks.first();
            const double share = (m.cpu - first.cpu) / (m.wall - first.wall);
            const double perExchange = (m.cpu - first.cpu) / (m.exchanges - first.exchanges);
            const double wakesPerSecond = (m.wakes - first.wakes) / (m.wall - first.wall);
            std::printf("  after %6d exchanges (%.0f s polling): %.3f %% of a core since exchange %d, "
                        "%.3f ms CPU an exchange, %.1f wake-ups a second (%.2f an exchange), "
                        "%.1f MiB resident\n",
                        m.exchanges, m.wall - marks.first().wall + 0.0, 100 * share, first.exchanges,
                        1000 * perExchange, wakesPerSecond,
                        (m.wakes - first.wakes) / double(m.exchanges - first.exchanges), m.rss);
        } else {
            std::printf("  after %6d exchanges: %.1f MiB resident\n", m.exchanges, m.rss);
        }
        std::fflush(stdout);
    }
    if (engine->sentCount() < exchanges)
        std::fprintf(stderr, "bench_polling: only %d exchanges\n", engine->sentCount());
    return marks;
}

// The line without the window: the command line's session (the same channel, engine
// and decoders) polling the virtual meter in this process, no widget shown.
int pollHeadless(int exchanges, int baud)
{
    QTemporaryDir dir;
    Meter meter;
    if (!meter.start(dir.path()))
        return 1;
    cli::Options options;
    options.port = QFileInfo(meter.link).canonicalFilePath();
    options.address = 1;
    options.baud = baud;
    cli::Session session(options);
    std::printf("the line alone (the command line's session, no window) under %s, polling at %d bit/s\n",
                qPrintable(QGuiApplication::platformName()), baud);
    if (session.connectMeter() != cli::ExitDone)
        return 1;
    pollMarks(&session.engine(), exchanges);
    session.disconnectMeter();
    return 0;
}

int poll(int exchanges, int baud)
{
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    setMessageHook([](const Message &m) { std::fprintf(stderr, "message: %s\n", qPrintable(m.text)); });
    setApplicationTitle(FormMain::Title);
    Meter meter;
    if (!meter.start(dir.path()))
        return 1;
    const QString link = meter.link;
    setPreferencesStore(QStringLiteral("KalvimetBench"), QStringLiteral("bench-polling"));
    setPortMapStore(QStringLiteral("KalvimetBench"), QStringLiteral("bench-polling"));
    {
        QSettings prefs(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                        preferencesApplication());
        prefs.clear();
        prefs.setValue(QStringLiteral("Port"), 1);
    }
    mapPort(1, link);

    const double rssStart = rssMiB();
    FormMain w;
    w.show();
    const int baudIndex = baud == 1200 ? 0 : baud == 2400 ? 1 : baud == 4800 ? 2 : 3;
    emit w.Panel1->ComboBaud->activated(baudIndex);
    w.setAddress(1);
    spin([] { return false; }, 2.0); // settle after the first paint

    // Baseline: the window shown, not connected.
    // ZK_BENCH_QUICK=1 leaves out both baselines, for comparing two builds run in turn.
    const bool quick = qEnvironmentVariableIntValue("ZK_BENCH_QUICK");
    const double idleSeconds = quick ? 1 : 20;
    double c0 = cpuSeconds(), t0 = monotonicSeconds();
    spin([] { return false; }, idleSeconds);
    const double idleShare = (cpuSeconds() - c0) / (monotonicSeconds() - t0);
    const double rssIdle = rssMiB();

    std::printf("main window under %s, polling at %d bit/s, traffic log off\n",
                qPrintable(QGuiApplication::platformName()), baud);
    std::printf("  before the window: %.1f MiB resident\n", rssStart);
    std::printf("  window shown, not connected (%.0f s): %.3f %% of a core, %.1f MiB resident\n", idleSeconds,
                100 * idleShare, rssIdle);
    std::fflush(stdout);

    // ZK_BENCH_PAINTS=1: which widgets were painted while polling, and how often.
    struct PaintCounter : QObject {
        std::map<QString, int> paints;
        bool eventFilter(QObject *o, QEvent *e) override
        {
            if (e->type() == QEvent::Paint)
                ++paints[QString::fromLatin1(o->metaObject()->className()) + u' ' + o->objectName()];
            return false;
        }
    } paintCounter;
    if (qEnvironmentVariableIntValue("ZK_BENCH_PAINTS"))
        qApp->installEventFilter(&paintCounter);

    // ZK_BENCH_PASSES=1: the thread's CPU time of each pass of the event loop, from one
    // wait to the next (the sleep and wake-up included), by the events the pass handled.
    struct PassCounter : QObject {
        struct Sum {
            int passes = 0;
            double micros = 0;
        };
        std::map<QString, Sum> sums;
        QStringList seen;
        double last = -1;
        static double threadMicros()
        {
            timespec t{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
            return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
        }
        void passEnds()
        {
            const double now = threadMicros();
            if (last >= 0) {
                Sum &sum = sums[seen.isEmpty() ? QStringLiteral("(nothing)") : seen.join(u'+')];
                ++sum.passes;
                sum.micros += now - last;
            }
            seen.clear();
            last = threadMicros();
        }
        bool eventFilter(QObject *o, QEvent *e) override
        {
            QString what;
            switch (e->type()) {
            case QEvent::Timer:
                what = QStringLiteral("timer:") + QString::fromLatin1(
                    o->parent() ? o->parent()->metaObject()->className() : o->metaObject()->className());
                break;
            case QEvent::SockAct:
                what = QStringLiteral("socket:") + QString::fromLatin1(
                    o->parent() ? o->parent()->metaObject()->className() : o->metaObject()->className());
                break;
            case QEvent::MetaCall:
                what = QStringLiteral("queued:") + QString::fromLatin1(o->metaObject()->className());
                break;
            case QEvent::UpdateRequest: what = QStringLiteral("paint"); break;
            default: break;
            }
            if (!what.isEmpty() && !seen.contains(what))
                seen << what;
            return false;
        }
    } passCounter;
    if (qEnvironmentVariableIntValue("ZK_BENCH_PASSES")) {
        qApp->installEventFilter(&passCounter);
        QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                         &passCounter, [&passCounter] { passCounter.passEnds(); });
        // What the line did in the pass: a delivery of received bytes, a wait begun.
        QObject::connect(w.channel(), &SerialChannel::rxChar, &passCounter,
                         [&passCounter](int count) { passCounter.seen << QStringLiteral("rx%1").arg(count); });
    }

    w.ActionConnect->trigger();
    const QList<Mark> marks = pollMarks(w.engine(), exchanges);
    for (const auto &[widget, count] : paintCounter.paints)
        std::printf("  painted %6d times: %s\n", count, qPrintable(widget));
    for (const auto &[what, sum] : passCounter.sums)
        std::printf("  %7d passes, %7.1f µs each, %8.1f ms in all: %s\n", sum.passes, sum.micros / sum.passes,
                    sum.micros / 1000, qPrintable(what));
    w.ActionDisconnect->trigger();
    meter.stop();

    // The baseline for the wake-ups: a bare event loop in a process of its own, woken as
    // often as the program was while polling.
    if (quick)
        return 0;
    const Mark &first = marks.first(), &last = marks.last();
    const int rate = int((last.wakes - first.wakes) / (last.wall - first.wall) + 0.5);
    QProcess floor;
    floor.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    floor.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("wake-floor"), QString::number(rate), QStringLiteral("20")});
    if (floor.waitForFinished(60000))
        std::printf("%s", floor.readAllStandardOutput().constData());
    std::fflush(stdout);
    // The baseline for the window: the same line polled without it, 1,000 exchanges.
    QProcess line;
    line.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    line.start(QCoreApplication::applicationFilePath(),
               {QStringLiteral("poll-headless"), QStringLiteral("1001"), QString::number(baud)});
    if (line.waitForFinished(600000))
        std::printf("%s", line.readAllStandardOutput().constData());
    return 0;
}

// A Qt event loop that does nothing but wake `rate` times a second: what this machine
// charges for the sleeping and waking alone.
int wakeFloor(int rate, double seconds)
{
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(std::max(1, int(1000.0 / std::max(rate, 1) + 0.5)));
    tick.start();
    const double c0 = cpuSeconds(), t0 = monotonicSeconds();
    const long w0 = wakeUps();
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu = cpuSeconds() - c0, wall = monotonicSeconds() - t0;
    const long wakes = wakeUps() - w0;
    std::printf("  a bare Qt event loop woken %.1f times a second (%.0f s): %.3f %% of a core, %.1f µs a wake-up\n",
                wakes / wall, wall, 100 * cpu / wall, wakes ? 1e6 * cpu / wakes : 0.0);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == QLatin1String("base-window"))
        return baseWindow();
    if (mode == QLatin1String("startup"))
        return startup(std::max(3, args.value(2, QStringLiteral("11")).toInt()));
    if (mode == QLatin1String("poll"))
        return poll(std::max(1001, args.value(2, QStringLiteral("10000")).toInt()),
                    args.value(3, QStringLiteral("9600")).toInt());
    if (mode == QLatin1String("poll-headless"))
        return pollHeadless(std::max(1001, args.value(2, QStringLiteral("10000")).toInt()),
                            args.value(3, QStringLiteral("9600")).toInt());
    if (mode == QLatin1String("wake-floor"))
        return wakeFloor(args.value(2).toInt(), std::max(1.0, args.value(3, QStringLiteral("20")).toDouble()));
    std::fprintf(stderr, "usage: bench_polling startup [RUNS] | poll [EXCHANGES] [BAUD] | poll-headless [EXCHANGES] [BAUD] | "
                         "wake-floor RATE [SECONDS]\n");
    return 2;
}
