// The link against its limit: the main window (offscreen) polls the virtual meter at
// 1200, 4800 and 9600 bit/s and reads the 61-page consumption journal; the meter's trace
// says when every byte crossed the line. The limit of an exchange is its wire time (every
// byte both ways, 11 bits a character), the meter's turnaround before each of its two
// answers, and the 50 ms send tick that starts after every reply.
//
//   bench_cycle [cycles] [--no-pace]
//
// With --no-pace the meter takes the program's bytes in as soon as the pseudo-terminal
// hands them over (the limit then leaves out the request's wire time).

#include "app/application.h"
#include "app/formmain.h"
#include "ops/preferences.h"
#include "link/exchangeengine.h"
#include "link/linkbar.h"
#include "link/portmap.h"
#include "schedule/pagejournal.h"
#include "ui/messagebox.h"

#include <QAction>
#include <QComboBox>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTime>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <numeric>

using namespace zk;

namespace {

constexpr int TurnaroundMs = 10;
constexpr int TickMs = 50;
constexpr int Address = 1;

struct Event {
    double ms = 0; // since midnight
    bool rx = false;
    bool mark = false;
    QList<int> bytes;
};

// "HH:mm:ss.zzz rx 00S 02S ..." / "HH:mm:ss.zzz tx 01S"
QList<Event> parseTrace(const QString &text)
{
    static const QRegularExpression line(QStringLiteral("^(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d\\d\\d) (rx|tx) (.*)$"));
    QList<Event> out;
    for (const QString &l : text.split(QLatin1Char('\n'))) {
        const auto m = line.match(l.trimmed());
        if (!m.hasMatch())
            continue;
        Event e;
        e.ms = ((m.captured(1).toInt() * 60 + m.captured(2).toInt()) * 60 + m.captured(3).toInt()) * 1000.0
            + m.captured(4).toInt();
        e.rx = m.captured(5) == QLatin1String("rx");
        for (const QString &b : m.captured(6).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            e.bytes << b.left(2).toInt(nullptr, 16);
            e.mark = e.mark || b.endsWith(QLatin1Char('M'));
        }
        out << e;
    }
    return out;
}

struct Span {
    double ms = 0;
    int exchanges = 0;
    int bytes = 0;
    double limitMs(int baud, bool paced, int requestBytes) const
    {
        const double perByte = 11000.0 / baud;
        const int counted = paced ? bytes : bytes - requestBytes;
        return counted * perByte + exchanges * (2 * TurnaroundMs + TickMs);
    }
    int requestBytes = 0;
};

// The events from `from` (inclusive) to `to` (exclusive): exchanges, bytes each way.
Span spanOf(const QList<Event> &events, int from, int to)
{
    Span s;
    for (int i = from; i < to; ++i) {
        const Event &e = events[i];
        s.bytes += int(e.bytes.size());
        if (e.rx)
            s.requestBytes += int(e.bytes.size());
        if (e.rx && e.mark)
            ++s.exchanges;
    }
    s.ms = events[to].ms - events[from].ms;
    return s;
}

// Where the time of the exchanges in [from, to) goes beyond their wire time, averaged
// per exchange: the gap from the last byte of a reply to the next address byte (the
// send tick and anything that delays it), the program's answer to an acknowledgement
// (the gap from the acknowledgement to the request), and the meter's side (from the
// address byte to its acknowledgement, from the request to the reply's last byte, each
// less its wire time).
struct Breakdown {
    double tick = 0, react = 0, meterAck = 0, meterReply = 0;
    int n = 0;
};

Breakdown breakdown(const QList<Event> &events, int from, int to, int baud, bool paced)
{
    struct Exchange {
        double address = -1, ack = -1, request = -1, lastReply = -1;
        int requestBytes = 0, replyBytes = 0;
    };
    QList<Exchange> xs;
    for (int i = from; i < to; ++i) {
        const Event &e = events[i];
        if (e.rx && e.mark) {
            xs.append(Exchange{});
            xs.last().address = e.ms;
            continue;
        }
        if (xs.isEmpty())
            continue;
        Exchange &x = xs.last();
        if (!e.rx && x.ack < 0) {
            x.ack = e.ms;
        } else if (e.rx) {
            if (x.request < 0)
                x.request = e.ms;
            x.requestBytes += int(e.bytes.size());
        } else {
            x.lastReply = e.ms;
            x.replyBytes += int(e.bytes.size());
        }
    }
    const double perByte = 11000.0 / baud;
    Breakdown b;
    for (int i = 1; i < xs.size(); ++i) {
        const Exchange &x = xs[i];
        const Exchange &before = xs[i - 1];
        if (x.ack < 0 || x.request < 0 || x.lastReply < 0 || before.lastReply < 0)
            continue;
        ++b.n;
        b.tick += x.address - before.lastReply - TickMs;
        b.react += x.request - x.ack;
        b.meterAck += x.ack - x.address - (paced ? 2 : 1) * perByte;
        b.meterReply += x.lastReply - x.request - ((paced ? x.requestBytes : 0) + x.replyBytes) * perByte;
    }
    if (b.n > 0) {
        b.tick /= b.n;
        b.react /= b.n;
        b.meterAck /= b.n;
        b.meterReply /= b.n;
    }
    return b;
}

bool isRequest(const Event &e, int function)
{
    return e.rx && !e.mark && !e.bytes.isEmpty() && e.bytes.first() == function;
}

// Runs the event loop until `done` or `timeoutMs` have passed, looking every 20 ms.
void waitFor(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return;
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    QTimer check;
    check.setInterval(20);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || t.elapsed() >= timeoutMs)
            loop.quit();
    });
    check.start();
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int cycles = 5;
    bool paced = true;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--no-pace")
            paced = false;
        else
            cycles = std::max(2, QByteArray(argv[i]).toInt());
    }
    setMessageHook([](const Message &m) { std::fprintf(stderr, "message: %s\n", qPrintable(m.text)); });
    setApplicationTitle(FormMain::Title);

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    const QString link = dir.filePath(QStringLiteral("meter"));
    std::printf("%s, turnaround %d ms, send tick %d ms, %d cycles a speed\n",
                paced ? "meter takes bytes in at line speed" : "meter takes bytes in at once", TurnaroundMs, TickMs,
                cycles);
    std::printf("%-6s %-22s %10s %10s %8s %9s %6s\n", "bit/s", "what", "measured", "limit", "over", "exchanges",
                "bytes");

    const int speeds[] = {1200, 4800, 9600};
    const int baudIndex[] = {0, 2, 3};
    for (int k = 0; k < 3; ++k) {
        const int baud = speeds[k];
        QProcess sim;
        QStringList args{QStringLiteral("--link"), link, QStringLiteral("--address"), QString::number(Address),
                         QStringLiteral("--serial"), QStringLiteral("1234"), QStringLiteral("--turnaround"),
                         QString::number(TurnaroundMs), QStringLiteral("--trace")};
        if (paced)
            args << QStringLiteral("--pace-input");
        sim.start(QCoreApplication::applicationDirPath() + QStringLiteral("/zelta-kn-sim"), args);
        if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(10000)) {
            std::fprintf(stderr, "bench_cycle: the virtual meter did not start\n");
            return 1;
        }
        sim.readLine();
        QString trace;
        QObject::connect(&sim, &QProcess::readyReadStandardError,
                         [&] { trace += QString::fromUtf8(sim.readAllStandardError()); });

        const QString store = QStringLiteral("bench-cycle-%1").arg(baud);
        setPreferencesStore(QStringLiteral("KalvimetBench"), store);
        setPortMapStore(QStringLiteral("KalvimetBench"), store);
        {
            QSettings prefs(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                            preferencesApplication());
            prefs.clear();
            prefs.setValue(QStringLiteral("Port"), 1);
        }
        mapPort(1, link);
        FormMain w;
        emit w.Panel1->ComboBaud->activated(baudIndex[k]); // as the operator chooses it
        w.Panel1->SpinTimer->setValue(3000);
        w.setAddress(Address);
        w.ActionConnect->trigger();

        // Poll cycles: from one version request to the next.
        const auto starts = [&] {
            const QList<Event> events = parseTrace(trace);
            QList<int> at;
            for (int i = 0; i < events.size(); ++i)
                if (isRequest(events[i], 0x00))
                    at << i;
            return std::make_pair(events, at);
        };
        waitFor([&] { return starts().second.size() >= cycles + 2; }, 120000);
        auto [events, at] = starts();
        if (at.size() < cycles + 2) {
            std::fprintf(stderr, "bench_cycle: %d cycles seen at %d bit/s\n", int(at.size()), baud);
            return 1;
        }
        // The first cycle follows the connect; the ones after it are steady.
        QList<double> periods;
        Span total;
        for (int c = 1; c <= cycles; ++c) {
            const Span s = spanOf(events, at[c], at[c + 1]);
            periods << s.ms;
            total.ms += s.ms;
            total.bytes += s.bytes;
            total.requestBytes += s.requestBytes;
            total.exchanges += s.exchanges;
        }
        std::sort(periods.begin(), periods.end());
        const double meanMs = total.ms / cycles;
        const double limit = total.limitMs(baud, paced, total.requestBytes) / cycles;
        std::printf("%-6d %-22s %8.1f ms %8.1f ms %7.1f%% %9.1f %6.1f   (median %.0f, min %.0f, max %.0f ms)\n", baud,
                    "poll cycle", meanMs, limit, 100 * (meanMs / limit - 1), double(total.exchanges) / cycles,
                    double(total.bytes) / cycles, periods[periods.size() / 2], periods.first(), periods.last());
        const Breakdown pb = breakdown(events, at[1], at[cycles + 1], baud, paced);
        std::printf("%-6s   per exchange beyond the wire (%d): tick +%.2f ms, answer to the acknowledgement %.2f ms, "
                    "meter's acknowledgement %.2f ms, meter's reply %.2f ms\n",
                    "", pb.n, pb.tick, pb.react, pb.meterAck, pb.meterReply);

        // The consumption journal, 61 pages.
        PageJournal *page = w.TabSheet2;
        const int before = int(parseTrace(trace).size());
        page->BitBtn3->click();
        waitFor([&] { return page->ListView1->topLevelItemCount() == 61 && page->Gauge2->isHidden(); }, 300000);
        QCoreApplication::processEvents();
        const QList<Event> all = parseTrace(trace);
        int first = -1, lastRequest = -1;
        for (int i = before; i < all.size(); ++i)
            if (isRequest(all[i], 0x13)) {
                if (first < 0)
                    first = i;
                lastRequest = i;
            }
        if (first < 0 || page->ListView1->topLevelItemCount() != 61) {
            std::fprintf(stderr, "bench_cycle: the journal was not read at %d bit/s\n", baud);
            return 1;
        }
        // The journal's time runs from its first address byte to the last byte of its
        // last reply; the next address byte after it starts the next poll.
        int from = first;
        while (from > 0 && !(all[from].rx && all[from].mark))
            --from;
        int to = lastRequest;
        while (to + 1 < all.size() && !(all[to + 1].rx && all[to + 1].mark))
            ++to;
        Span j = spanOf(all, from, to);
        // spanOf leaves out the last event's bytes; count them and add the tick that
        // follows the last reply, which the limit includes.
        j.bytes += int(all[to].bytes.size());
        j.ms += TickMs;
        const double jLimit = j.limitMs(baud, paced, j.requestBytes);
        std::printf("%-6d %-22s %8.0f ms %8.0f ms %7.1f%% %9d %6d\n", baud, "consumption journal", j.ms, jLimit,
                    100 * (j.ms / jLimit - 1), j.exchanges, j.bytes);
        const Breakdown jb = breakdown(all, from, to + 1, baud, paced);
        std::printf("%-6s   per exchange beyond the wire (%d): tick +%.2f ms, answer to the acknowledgement %.2f ms, "
                    "meter's acknowledgement %.2f ms, meter's reply %.2f ms\n",
                    "", jb.n, jb.tick, jb.react, jb.meterAck, jb.meterReply);
        std::fflush(stdout);

        w.ActionDisconnect->trigger();
        sim.terminate();
        sim.waitForFinished(5000);
    }
    return 0;
}
