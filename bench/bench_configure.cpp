// The whole configuration of a meter, measured: one `zelta-kn-cli write` of every setting
// (connect, one poll cycle, every frame of the settings write, the read-back, the record
// in Setting.DBF), at 4800 and 9600 bit/s, against the virtual meter taking the program's
// bytes in at line speed (--pace-input) and tracing every byte with a time stamp.
//
//   bench_configure [RUNS] [--program-trace]
//
// The limit is what the line itself takes from the first address byte to the last reply:
// every byte both ways at 11 bits a character, the meter's turnaround before each of its
// two answers, and the 50 ms send tick between one exchange's reply and the next address
// byte. Everything else of the process's life is shown beside it, split by where it goes:
// the start (process start to the port opened, then the start timer and the first tick to
// the first address byte), the program's and the meter's share of every exchange, the tick
// that follows the record in Setting.DBF, and the end (last reply to the port closed, then
// to the process's exit). The baseline of the start and the end: `zelta-kn-cli --version`,
// which loads the same program and libraries and ends at once.
//
// With --program-trace the program logs its own traffic with time stamps too (its --trace,
// which costs it a little): the gaps the meter's trace shows between a reply and the next
// address byte, and between an acknowledgement and the request, are then split into the
// pseudo-terminal's delivery each way and the program's own time.

#include "link/frame.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTime>
#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

constexpr int TurnaroundMs = 10;
constexpr int TickMs = 50;
constexpr int StartTimerMs = 100;
constexpr int Address = 1;
constexpr int NewAddress = 7;
constexpr int BoundMs = 60000; // the longest a run may take

// The frames of the write: the write codes and the access password before them.
bool isWriteFrame(int f)
{
    return f == zk::fn::Password || (f >= 0 && zk::isWriteFunction(quint8(f)));
}

// Milliseconds of the day of a trace line's "HH:mm:ss.zzz", captured as its first four groups.
double stampMs(const QRegularExpressionMatch &m)
{
    return ((m.captured(1).toInt() * 60 + m.captured(2).toInt()) * 60 + m.captured(3).toInt()) * 1000.0
        + m.captured(4).toInt();
}

int msOfDay()
{
    return QTime::currentTime().msecsSinceStartOfDay();
}

// One exchange as the meter's trace shows it: times in ms of the day, bytes each way.
struct Exchange {
    double address = -1, ack = -1, request = -1, lastReply = -1;
    int ackBytes = 0, requestBytes = 0, replyBytes = 0;
    int function = -1;
    bool complete() const { return ack >= 0 && request >= 0 && lastReply >= 0; }
};

struct Trace {
    double opened = -1, closed = -1;
    QList<Exchange> exchanges;
};

// "HH:mm:ss.zzz rx 01M", "HH:mm:ss.zzz tx 00S 04S", "HH:mm:ss.zzz port opened"
Trace parseTrace(const QString &text)
{
    static const QRegularExpression line(
        QStringLiteral("^(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d\\d\\d) (rx|tx|port opened|port closed)(.*)$"));
    Trace t;
    for (const QString &l : text.split(QLatin1Char('\n'))) {
        const auto m = line.match(l.trimmed());
        if (!m.hasMatch())
            continue;
        const double ms = stampMs(m);
        const QString what = m.captured(5);
        if (what == QLatin1String("port opened")) {
            if (t.opened < 0)
                t.opened = ms;
            continue;
        }
        if (what == QLatin1String("port closed")) {
            t.closed = ms;
            continue;
        }
        QList<int> bytes;
        bool mark = false;
        for (const QString &b : m.captured(6).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            bytes << b.left(2).toInt(nullptr, 16);
            mark = mark || b.endsWith(QLatin1Char('M'));
        }
        if (what == QLatin1String("rx") && mark) {
            t.exchanges.append(Exchange{});
            t.exchanges.last().address = ms;
            continue;
        }
        if (t.exchanges.isEmpty())
            continue;
        Exchange &x = t.exchanges.last();
        if (what == QLatin1String("tx") && x.ack < 0) {
            x.ack = ms;
            x.ackBytes += int(bytes.size());
        } else if (what == QLatin1String("rx")) {
            if (x.request < 0) {
                x.request = ms;
                x.function = bytes.value(0, -1);
            }
            x.requestBytes += int(bytes.size());
        } else {
            x.lastReply = ms;
            x.replyBytes += int(bytes.size());
        }
    }
    return t;
}

// One exchange as the program's own log shows it (--trace): when it wrote the address byte,
// read the acknowledgement, wrote the request and read the last of the reply.
struct Seen {
    double address = -1, ack = -1, request = -1, reply = -1;
};

// "hh:mm:ss.zzz Send 01", "hh:mm:ss.zzz Received: 00 04 12 01 8C 85"
QList<Seen> parseProgramLog(const QString &text)
{
    static const QRegularExpression line(
        QStringLiteral("^(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d\\d\\d) (Send|Received:) (.*)$"));
    QList<Seen> out;
    for (const QString &l : text.split(QLatin1Char('\n'))) {
        const auto m = line.match(l.trimmed());
        if (!m.hasMatch())
            continue;
        const double ms = stampMs(m);
        const bool send = m.captured(5) == QLatin1String("Send");
        if (send && m.captured(6).split(QLatin1Char(' '), Qt::SkipEmptyParts).size() == 1) {
            out.append(Seen{});
            out.last().address = ms;
        } else if (out.isEmpty()) {
            continue;
        } else if (send) {
            out.last().request = ms;
        } else if (out.last().ack < 0) {
            out.last().ack = ms;
        } else {
            out.last().reply = ms;
        }
    }
    return out;
}

// The gaps of the meter's trace split by the program's own log, summed over the exchanges.
struct Split {
    int gaps = 0, answers = 0;
    double replyToProgram = 0, programTick = 0, addressToMeter = 0; // reply .. next address byte
    double ackToProgram = 0, programAnswer = 0, requestToMeter = 0;  // acknowledgement .. request
};

// Where one part of the exchanges' time goes beyond the limit.
struct Share {
    int exchanges = 0, bytes = 0;
    double measured = 0, limit = 0;
    double tick = 0;     // the gaps between a reply and the next address byte, beyond the tick
    double answer = 0;   // the program's answer to the acknowledgement
    double meter = 0;    // the meter's two answers beyond the turnaround
    Share &operator+=(const Share &o)
    {
        exchanges += o.exchanges;
        bytes += o.bytes;
        measured += o.measured;
        limit += o.limit;
        tick += o.tick;
        answer += o.answer;
        meter += o.meter;
        return *this;
    }
};

struct Run {
    double total = 0;       // process start to exit
    double limit = 0;       // the line's limit, first address byte to last reply
    double start = 0;       // process start to the port opened
    double toFirst = 0;     // port opened to the first address byte
    double recordTick = 0;  // the gap after the write's last reply, beyond the tick
    double toClosed = 0;    // last reply to the port closed
    double toExit = 0;      // port closed to the process's exit
    Share poll, write, readBack;
    std::optional<Split> split; // with --program-trace
    Share all() const
    {
        Share s = poll;
        s += write;
        s += readBack;
        return s;
    }
};

// The split of one run from its trace and the process's start and exit.
std::optional<Run> analyse(const Trace &t, const QList<Seen> &seen, double started, double exited, int baud,
                           QString *why)
{
    QList<Exchange> xs = t.exchanges;
    // An address byte sent as the process ends, with no reply, is part of its end.
    while (!xs.isEmpty() && !xs.last().complete())
        xs.removeLast();
    for (const Exchange &x : xs)
        if (!x.complete()) {
            *why = QStringLiteral("an exchange without its reply");
            return std::nullopt;
        }
    int firstWrite = -1, lastWrite = -1;
    for (int i = 0; i < xs.size(); ++i)
        if (isWriteFrame(xs[i].function)) {
            if (firstWrite < 0)
                firstWrite = i;
            lastWrite = i;
        }
    if (t.opened < 0 || t.closed < 0 || firstWrite < 0 || lastWrite + 1 >= xs.size()) {
        *why = QStringLiteral("the trace lacks the port's opening, its closing, the write or the read-back");
        return std::nullopt;
    }
    const double perByte = 11000.0 / baud;
    Run r;
    for (int i = 0; i < xs.size(); ++i) {
        const Exchange &x = xs[i];
        Share &s = i < firstWrite ? r.poll : i <= lastWrite ? r.write : r.readBack;
        const int bytes = 1 + x.ackBytes + x.requestBytes + x.replyBytes;
        ++s.exchanges;
        s.bytes += bytes;
        s.measured += x.lastReply - x.address;
        s.limit += bytes * perByte + 2 * TurnaroundMs;
        s.answer += x.request - x.ack;
        s.meter += (x.ack - x.address - (1 + x.ackBytes) * perByte - TurnaroundMs)
            + (x.lastReply - x.request - (x.requestBytes + x.replyBytes) * perByte - TurnaroundMs);
        if (i == 0)
            continue;
        const double gap = xs[i].address - xs[i - 1].lastReply;
        if (i == lastWrite + 1) {
            // The register record happens while this tick runs.
            r.recordTick = gap - TickMs;
            r.readBack.measured += gap;
            r.readBack.limit += TickMs;
            continue;
        }
        s.measured += gap;
        s.limit += TickMs;
        s.tick += gap - TickMs;
    }
    if (!seen.isEmpty()) {
        // The program's log and the meter's trace see the same exchanges in the same order.
        Split sp;
        for (int i = 0; i < xs.size() && i < seen.size(); ++i) {
            const Seen &p = seen[i];
            if (p.address < 0 || p.ack < 0 || p.request < 0 || p.reply < 0)
                continue;
            ++sp.answers;
            sp.ackToProgram += p.ack - xs[i].ack;
            sp.programAnswer += p.request - p.ack;
            sp.requestToMeter += xs[i].request - p.request;
            if (i == 0 || i == lastWrite + 1 || seen[i - 1].reply < 0)
                continue;
            ++sp.gaps;
            sp.replyToProgram += seen[i - 1].reply - xs[i - 1].lastReply;
            sp.programTick += p.address - seen[i - 1].reply - TickMs;
            sp.addressToMeter += xs[i].address - p.address;
        }
        r.split = sp;
    }
    r.total = exited - started;
    r.start = t.opened - started;
    r.toFirst = xs.first().address - t.opened;
    r.toClosed = t.closed - xs.last().lastReply;
    r.toExit = exited - t.closed;
    r.limit = r.all().limit;
    if (r.start < 0 || r.toClosed < 0 || r.toExit < -1) {
        *why = QStringLiteral("time stamps out of order");
        return std::nullopt;
    }
    return r;
}

QString readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
}

// One configuration: a new meter, a new working directory and preferences in service mode
// (the serial number of a meter that reports 0 is writable only there).
std::optional<Run> configure(int baud, int serial, bool programTrace, QString *why)
{
    QTemporaryDir dir;
    const QString bin = QCoreApplication::applicationDirPath();
    const QString link = dir.filePath(QStringLiteral("meter"));
    const QString config = dir.filePath(QStringLiteral("config"));
    const QString work = dir.filePath(QStringLiteral("work"));
    const QString tracePath = dir.filePath(QStringLiteral("trace.txt"));
    QDir().mkpath(work);
    {
        QSettings prefs(config + QStringLiteral("/Kalvimet/Zelta-KN.conf"), QSettings::IniFormat);
        prefs.setValue(QStringLiteral("Master"), 1);
        prefs.sync();
    }

    QProcess sim;
    sim.setStandardErrorFile(tracePath);
    sim.start(bin + QStringLiteral("/zelta-kn-sim"),
              {QStringLiteral("--link"), link, QStringLiteral("--address"), QString::number(Address),
               QStringLiteral("--turnaround"), QString::number(TurnaroundMs), QStringLiteral("--pace-input"),
               QStringLiteral("--trace")});
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(10000) || !sim.readLine().startsWith("ready ")) {
        *why = QStringLiteral("the virtual meter did not start");
        sim.kill();
        sim.waitForFinished(5000);
        return std::nullopt;
    }
    const auto stopSim = [&sim] {
        sim.write("quit\n");
        if (!sim.waitForFinished(5000)) {
            sim.kill();
            sim.waitForFinished(5000);
        }
    };

    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("ZK_KEEP_PC_CLOCK"), QStringLiteral("1"));
    cli.setProcessEnvironment(env);
    cli.setWorkingDirectory(work);
    QStringList args{QStringLiteral("--port"), link, QStringLiteral("--address"), QString::number(Address),
                     QStringLiteral("--baud"), QString::number(baud), QStringLiteral("write"),
                     QStringLiteral("--time"), QStringLiteral("now"), QStringLiteral("--summer"),
                     QStringLiteral("on"), QStringLiteral("--new-address"), QString::number(NewAddress),
                     QStringLiteral("--serial"), QString::number(serial), QStringLiteral("--ddm"),
                     QStringLiteral("1193046,2,3"), QStringLiteral("--indication"), QStringLiteral("9"),
                     QStringLiteral("--billing"), QStringLiteral("25,0"), QStringLiteral("--correction"),
                     QStringLiteral("-7"), QStringLiteral("--new-password"), QStringLiteral("4321")};
    if (programTrace)
        args.prepend(QStringLiteral("--trace"));
    const int started = msOfDay();
    cli.start(bin + QStringLiteral("/zelta-kn-cli"), args);
    const bool finished = cli.waitForFinished(BoundMs);
    int exited = msOfDay();
    if (!finished) {
        cli.kill();
        cli.waitForFinished(5000);
        stopSim();
        *why = QStringLiteral("zelta-kn-cli did not end within %1 s").arg(BoundMs / 1000);
        return std::nullopt;
    }
    stopSim();
    if (cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        *why = QStringLiteral("zelta-kn-cli ended with %1: %2")
                   .arg(cli.exitCode())
                   .arg(QString::fromLocal8Bit(cli.readAllStandardError()).trimmed());
        return std::nullopt;
    }
    // Read back and recorded: the verdict says so, the register holds the record.
    const QString log = QString::fromLocal8Bit(cli.readAllStandardError());
    const QString out = QString::fromLocal8Bit(cli.readAllStandardOutput()) + log;
    if (!out.contains(QStringLiteral("прочитаны обратно")) || QFile(work + QStringLiteral("/Setting.DBF")).size() <= 0) {
        *why = QStringLiteral("no read-back or no record: %1").arg(out.trimmed());
        return std::nullopt;
    }
    if (exited < started)
        exited += 24 * 3600 * 1000; // past midnight
    Trace trace = parseTrace(readFile(tracePath));
    if (trace.opened < started - 1000) // past midnight during the run
        for (double *t : {&trace.opened, &trace.closed})
            *t += 24 * 3600 * 1000;
    return analyse(trace, programTrace ? parseProgramLog(log) : QList<Seen>{}, started, exited, baud, why);
}

// `zelta-kn-cli --version`, process start to exit.
std::optional<double> bareStart()
{
    QProcess p;
    const int started = msOfDay();
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/zelta-kn-cli"), {QStringLiteral("--version")});
    const bool finished = p.waitForFinished(10000);
    const int exited = msOfDay();
    if (!finished) {
        p.kill();
        p.waitForFinished(5000);
        return std::nullopt;
    }
    return exited >= started ? exited - started : exited - started + 24 * 3600 * 1000;
}

double mean(const QList<double> &v)
{
    double s = 0;
    for (double x : v)
        s += x;
    return v.isEmpty() ? 0 : s / v.size();
}

QString spread(const QList<double> &v, const char *format = "%.1f")
{
    if (v.isEmpty())
        return QString();
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return QString::asprintf(format, mean(v)) + QStringLiteral(" (") + QString::asprintf(format, *lo)
        + QStringLiteral("..") + QString::asprintf(format, *hi) + QStringLiteral(")");
}

void print(const QString &text)
{
    std::printf("%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int runs = 5;
    bool programTrace = false;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--program-trace")
            programTrace = true;
        else
            runs = std::max(1, QByteArray(argv[i]).toInt());
    }
    print(QStringLiteral("zelta-kn-cli write of every setting, the meter paced at line speed, turnaround %1 ms, "
                         "send tick %2 ms, %3 runs a speed; times in ms")
              .arg(TurnaroundMs)
              .arg(TickMs)
              .arg(runs));
    bool failed = false;
    {
        QList<double> bare;
        for (int k = 0; k < runs; ++k)
            if (const auto ms = bareStart())
                bare << *ms;
        if (bare.isEmpty())
            failed = true;
        print(QStringLiteral("baseline, zelta-kn-cli --version from process start to exit: %1").arg(spread(bare)));
    }
    struct Summary {
        int baud;
        QList<Run> runs;
    };
    QList<Summary> summaries;
    int serial = 1000;
    for (const int baud : {4800, 9600}) {
        QList<Run> done;
        print(QString());
        print(QStringLiteral("%1 bit/s").arg(baud));
        print(QStringLiteral("  run  measured     limit   over  | start  to 1st | program  meter  record | "
                             "to close  to exit | read-back"));
        for (int k = 0; k < runs; ++k) {
            QString why;
            const std::optional<Run> r = configure(baud, ++serial, programTrace, &why);
            if (!r) {
                print(QStringLiteral("  run %1 failed: %2").arg(k + 1).arg(why));
                failed = true;
                continue;
            }
            const Share a = r->all();
            print(QString::asprintf("  %3d %8.0f %9.1f %5.1f%%  | %5.0f %6.0f  | %7.1f %6.1f %6.1f  | %8.0f %8.0f | "
                                    "%.0f of %.1f",
                                    k + 1, r->total, r->limit, 100 * (r->total / r->limit - 1), r->start, r->toFirst,
                                    a.tick + a.answer, a.meter, r->recordTick, r->toClosed, r->toExit,
                                    r->readBack.measured, r->readBack.limit));
            done << *r;
        }
        if (done.isEmpty())
            continue;
        summaries.append(Summary{baud, done});
        const auto col = [&done](auto f) {
            QList<double> v;
            for (const Run &r : done)
                v << f(r);
            return v;
        };
        const Share a0 = done.first().all();
        print(QStringLiteral("  mean of %1 (min..max):").arg(done.size()));
        print(QStringLiteral("    measured, process start to exit    %1").arg(spread(col([](const Run &r) { return r.total; }))));
        print(QStringLiteral("    limit, first address to last reply %1  (%2 exchanges, %3 bytes)")
                  .arg(spread(col([](const Run &r) { return r.limit; })))
                  .arg(a0.exchanges)
                  .arg(a0.bytes));
        print(QStringLiteral("    over                               %1 %")
                  .arg(spread(col([](const Run &r) { return 100 * (r.total / r.limit - 1); }))));
        print(QStringLiteral("    on the line, first address to last reply %1, over its limit %2")
                  .arg(spread(col([](const Run &r) { return r.all().measured; })))
                  .arg(spread(col([](const Run &r) { return r.all().measured - r.limit; }))));
        print(QStringLiteral("    start: process start to port opened     %1")
                  .arg(spread(col([](const Run &r) { return r.start; }))));
        print(QStringLiteral("    start: port opened to first address     %1  (start timer %2 + first tick %3 + %4)")
                  .arg(spread(col([](const Run &r) { return r.toFirst; })))
                  .arg(StartTimerMs)
                  .arg(TickMs)
                  .arg(spread(col([](const Run &r) { return r.toFirst - StartTimerMs - TickMs; }))));
        const struct {
            const char *name;
            Share Run::*part;
        } parts[] = {{"connect and poll cycle", &Run::poll}, {"settings write", &Run::write}, {"read-back", &Run::readBack}};
        for (const auto &p : parts) {
            const Share &s0 = done.first().*(p.part);
            print(QStringLiteral("    %1 (%2 exchanges, %3 bytes): measured %4, limit %5")
                      .arg(QString::fromLatin1(p.name))
                      .arg(s0.exchanges)
                      .arg(s0.bytes)
                      .arg(spread(col([&p](const Run &r) { return (r.*(p.part)).measured; })))
                      .arg(spread(col([&p](const Run &r) { return (r.*(p.part)).limit; }))));
            print(QStringLiteral("      beyond it: ticks %1, answers to the acknowledgement %2, meter %3")
                      .arg(spread(col([&p](const Run &r) { return (r.*(p.part)).tick; })))
                      .arg(spread(col([&p](const Run &r) { return (r.*(p.part)).answer; })))
                      .arg(spread(col([&p](const Run &r) { return (r.*(p.part)).meter; }))));
        }
        print(QStringLiteral("    the tick after the write's last reply (the record), beyond 50 ms  %1")
                  .arg(spread(col([](const Run &r) { return r.recordTick; }))));
        print(QStringLiteral("    per exchange: tick beyond 50 ms %1, answer to the acknowledgement %2, meter beyond "
                             "its turnarounds %3")
                  .arg(spread(col([](const Run &r) { return r.all().tick / (r.all().exchanges - 2); }), "%.2f"))
                  .arg(spread(col([](const Run &r) { return r.all().answer / r.all().exchanges; }), "%.2f"))
                  .arg(spread(col([](const Run &r) { return r.all().meter / r.all().exchanges; }), "%.2f")));
        print(QStringLiteral("    end: last reply to port closed          %1")
                  .arg(spread(col([](const Run &r) { return r.toClosed; }))));
        print(QStringLiteral("    end: port closed to process exit        %1")
                  .arg(spread(col([](const Run &r) { return r.toExit; }))));
        if (programTrace) {
            const auto per = [](double Split::*field, int Split::*count) {
                return [field, count](const Run &r) { return (*r.split).*field / std::max(1, (*r.split).*count); };
            };
            print(QStringLiteral("    from the program's own log, per exchange:"));
            print(QStringLiteral("      reply's last byte to the program reading it %1, the program's own to the next "
                                 "address byte beyond 50 ms %2, address byte to the meter reading it %3")
                      .arg(spread(col(per(&Split::replyToProgram, &Split::gaps)), "%.2f"))
                      .arg(spread(col(per(&Split::programTick, &Split::gaps)), "%.2f"))
                      .arg(spread(col(per(&Split::addressToMeter, &Split::gaps)), "%.2f")));
            print(QStringLiteral("      acknowledgement to the program reading it %1, the program's own to the request "
                                 "%2, request to the meter reading it %3")
                      .arg(spread(col(per(&Split::ackToProgram, &Split::answers)), "%.2f"))
                      .arg(spread(col(per(&Split::programAnswer, &Split::answers)), "%.2f"))
                      .arg(spread(col(per(&Split::requestToMeter, &Split::answers)), "%.2f")));
        }
    }
    // The means side by side; the split adds up to measured less limit.
    print(QString());
    print(QStringLiteral("| bit/s | measured | limit | over | start to port opened | start timer and first tick | "
                         "program, in the exchanges | meter, in the exchanges | record | end |"));
    print(QStringLiteral("|---|---|---|---|---|---|---|---|---|---|"));
    for (const Summary &s : summaries) {
        double total = 0, limit = 0, start = 0, toFirst = 0, program = 0, meter = 0, record = 0, end = 0;
        for (const Run &r : s.runs) {
            const Share a = r.all();
            total += r.total;
            limit += r.limit;
            start += r.start;
            toFirst += r.toFirst;
            program += a.tick + a.answer;
            meter += a.meter;
            record += r.recordTick;
            end += r.toClosed + r.toExit;
        }
        const double n = s.runs.size();
        print(QString::asprintf("| %d | %.0f ms | %.0f ms | %.1f %% | %.1f ms | %.1f ms | %.1f ms | %.1f ms | %.1f ms | "
                                "%.1f ms |",
                                s.baud, total / n, limit / n, 100 * (total / limit - 1), start / n, toFirst / n,
                                program / n, meter / n, record / n, end / n));
    }
    return failed ? 1 : 0;
}
