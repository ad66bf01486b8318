// Recording writes in the production database: ProductionDatabase::recordWrite against the
// PostgreSQL server named by ZK_PG_HOST, ZK_PG_PORT, ZK_PG_DB and ZK_PG_USER (scripts/pgtest
// starts one), as the window and the command line record a successful settings write.
//
// Each configuration starts on a new schema with eight bench computers (computer, operator,
// setting bench), 8000 registered meters, and runs its benches as child processes of this
// program, each with its own connection, all released at once:
//   one bench          one process recording 1000 writes one after another
//   eight benches      eight processes, one per bench computer, 125 writes each
//   shared computers   eight processes, two per bench computer (four computers), 125 each
// Before the writes every process times as many plain round trips (SELECT 1) on the same
// connection, all released at once too. Every write is timed on the wall clock around
// recordWrite.
//
// Then the records are checked: exactly one operation and one settings record per write, and
// each settings record on an operation of the plant, operator and meter of the process that
// wrote it. A write is known by its settings record: turn_on holds station * 10000 + sequence
// number and the meter's number is station * 1000 + sequence number. The program exits
// non-zero when a record is lost or attributed to another bench.
//
//   bench_production                                the whole benchmark
//   bench_production --child STATION COMPUTER COUNT  one bench process (started by the above)

#include "records/production.h"
#include "tests/testproduction.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSqlQuery>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace zk;

namespace {

constexpr int Stations = 8;
constexpr int TotalWrites = 1000;
constexpr int MetersPerStation = 1000;
constexpr int TurnOnStation = 10000;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void die(const QString &text)
{
    std::fprintf(stderr, "bench_production: %s\n", qPrintable(text));
    std::exit(1);
}

ConnectionSettings pgSettings()
{
    ConnectionSettings s;
    s.driver = QStringLiteral("QPSQL");
    s.hostName = qEnvironmentVariable("ZK_PG_HOST");
    s.port = qEnvironmentVariableIntValue("ZK_PG_PORT");
    s.databaseName = qEnvironmentVariable("ZK_PG_DB");
    s.userName = qEnvironmentVariable("ZK_PG_USER");
    return s;
}

QString computerName(int n) { return QStringLiteral("bench-%1").arg(n); }
QString operatorLogin(int n) { return QStringLiteral("operator-%1").arg(n); }
int meterNumber(int station, int seq) { return station * MetersPerStation + seq; }

// A write as the window records it after the operator set the clock, the daily correction,
// the address and the indication of meter `serial`: the record built from the write and from
// the readout shown when it completed, in the Russian locale of the line.
ProductionRecord benchRecord(int station, int seq)
{
    const QLocale ru(QLocale::Russian, QLocale::Russia);
    SettingsWrite w;
    w.clock = ClockSetting{QDate(2026, 12, 9), QTime(9, 30, seq % 60), false};
    w.correction = (seq % 31) - 15;
    w.address = station;
    w.indication = quint8(seq % 16);
    ReadoutForRecord r;
    r.serial = meterNumber(station, seq);
    r.version = QStringLiteral("2.41");
    r.turnOnCount = QString::number(station * TurnOnStation + seq); // which write this is
    r.status = 0x80;
    r.readings = {QStringLiteral("1234,5"), QStringLiteral("234,25"), QStringLiteral("34,125"),
                  QStringLiteral("1200"), QStringLiteral("230"), QStringLiteral("30")};
    r.corrections = QString::number(seq % 7);
    return buildProductionRecord(w, r, QStringLiteral("0,8"), ru);
}

// ---- one bench process -------------------------------------------------------------------

QString readLine()
{
    std::string line;
    if (!std::getline(std::cin, line))
        die(QStringLiteral("the parent went away"));
    return QString::fromStdString(line).trimmed();
}

void say(const char *line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// Identifies itself as the program does, warms the connection, then on "go" times COUNT round
// trips and on the next "go" COUNT writes. Prints its times at the end:
//   B START END NS...        the round trips
//   W START END              the span of the writes
//   w SEQ NS OPERATION       one recorded write
//   f SEQ NS MESSAGE         one write not recorded
int runChild(int station, const QString &computer, int count)
{
    ProductionDatabase db(pgSettings(), QStringLiteral("bench-%1").arg(station));
    BenchIdentity bench;
    try {
        db.open();
        const Identification id = db.identify(computer, operatorLogin(station));
        if (!id.ok())
            die(id.problem);
        bench = id.identity;
        for (int i = 0; i < 20; ++i) {
            db.exec(QStringLiteral("SELECT 1")).next();
            db.meterId(meterNumber(station, i));
        }
    } catch (const DatabaseError &e) {
        die(e.text());
    }

    std::vector<qint64> baseline;
    baseline.reserve(size_t(count));
    say("ready");
    readLine();
    const qint64 baselineStart = nowNs();
    try {
        for (int i = 0; i < count; ++i) {
            const qint64 t0 = nowNs();
            QSqlQuery q = db.exec(QStringLiteral("SELECT 1"));
            if (!q.next() || q.value(0).toInt() != 1)
                die(QStringLiteral("SELECT 1 gave no 1"));
            baseline.push_back(nowNs() - t0);
        }
    } catch (const DatabaseError &e) {
        die(e.text());
    }
    const qint64 baselineEnd = nowNs();

    struct Write
    {
        qint64 ns;
        RecordResult result;
    };
    std::vector<Write> writes;
    writes.reserve(size_t(count));
    say("baseline done");
    readLine();
    const qint64 writesStart = nowNs();
    for (int seq = 0; seq < count; ++seq) {
        const ProductionRecord record = benchRecord(station, seq);
        const qint64 t0 = nowNs();
        RecordResult r;
        try {
            r = db.recordWrite(bench, record);
        } catch (const DatabaseError &e) {
            r.outcome = RecordOutcome::WriteFailed;
            r.message = e.text();
        }
        writes.push_back({nowNs() - t0, r});
    }
    const qint64 writesEnd = nowNs();

    std::printf("B %lld %lld", baselineStart, baselineEnd);
    for (qint64 ns : baseline)
        std::printf(" %lld", ns);
    std::printf("\nW %lld %lld\n", writesStart, writesEnd);
    for (int seq = 0; seq < count; ++seq) {
        const Write &w = writes[size_t(seq)];
        if (w.result.recorded())
            std::printf("w %d %lld %d\n", seq, w.ns, w.result.operationId);
        else
            std::printf("f %d %lld %s\n", seq, w.ns, qPrintable(w.result.message.simplified()));
    }
    std::fflush(stdout);
    return 0;
}

// ---- the parent --------------------------------------------------------------------------

struct Config
{
    const char *name;
    int processes;
    int writesEach;
    int computersUsed; // the processes share these computers in turn
};

struct Stats
{
    double median = 0, p99 = 0, max = 0; // ms
};

Stats stats(std::vector<qint64> ns)
{
    Stats s;
    if (ns.empty())
        return s;
    std::sort(ns.begin(), ns.end());
    const auto at = [&](double q) {
        const size_t rank = size_t(std::ceil(q * double(ns.size())));
        return double(ns[std::min(ns.size() - 1, rank == 0 ? 0 : rank - 1)]) / 1e6;
    };
    s.median = ns.size() % 2 ? double(ns[ns.size() / 2]) / 1e6
                             : double(ns[ns.size() / 2 - 1] + ns[ns.size() / 2]) / 2e6;
    s.p99 = at(0.99);
    s.max = double(ns.back()) / 1e6;
    return s;
}

// The schema made anew, the eight bench computers with their operators and setting benches,
// and the meters of every station.
void makeDatabase(ProductionDatabase &db)
{
    db.exec(QStringLiteral("SET client_min_messages TO WARNING"));
    db.exec(QStringLiteral("DROP SCHEMA public CASCADE"));
    db.exec(QStringLiteral("CREATE SCHEMA public"));
    runProductionScript(db, productionSqlFile(QStringLiteral("postgresql.sql")));
    for (int n = 1; n <= Stations; ++n) {
        db.exec(QStringLiteral("INSERT INTO computer(name) VALUES(:name)"), {{QStringLiteral("name"), computerName(n)}});
        db.exec(QStringLiteral("INSERT INTO operator(login, operating) VALUES(:login, 1)"),
                {{QStringLiteral("login"), operatorLogin(n)}});
        db.exec(QStringLiteral("INSERT INTO plant(type_id, computer_id) SELECT 3, computer_id FROM computer WHERE name = :name"),
                {{QStringLiteral("name"), computerName(n)}});
    }
    db.exec(QStringLiteral("INSERT INTO electrometer(number, type_id) "
                           "SELECT s * %1 + q, %2 FROM generate_series(1, %3) s, generate_series(0, %4) q")
                .arg(MetersPerStation)
                .arg(ProductionMeterTypeId)
                .arg(Stations)
                .arg(MetersPerStation - 1));
    db.exec(QStringLiteral("ANALYZE"));
}

int countOf(ProductionDatabase &db, const QString &sql)
{
    QSqlQuery q = db.exec(sql);
    return q.next() ? q.value(0).toInt() : -1;
}

// One configuration: children started, released together for the round trips and then for
// the writes, their times gathered, the records checked. Prints one result line and the
// check; false when a record is lost or misattributed.
bool runConfig(const Config &c, ProductionDatabase &db, QStringList &table)
{
    makeDatabase(db);
    const QString self = QCoreApplication::applicationFilePath();
    std::vector<std::unique_ptr<QProcess>> children;
    std::map<int, QString> computerOf;
    for (int station = 1; station <= c.processes; ++station) {
        const int computer = (station - 1) % c.computersUsed + 1;
        computerOf[station] = computerName(computer);
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(self, {QStringLiteral("--child"), QString::number(station), computerName(computer),
                        QString::number(c.writesEach)});
        if (!p->waitForStarted(10000))
            die(QStringLiteral("a bench process did not start"));
        children.push_back(std::move(p));
    }
    const auto waitFor = [&](const char *word) {
        for (auto &p : children) {
            while (!p->canReadLine()) {
                if (!p->waitForReadyRead(60000))
                    die(QStringLiteral("a bench process did not say \"%1\"").arg(QLatin1String(word)));
            }
            const QByteArray line = p->readLine().trimmed();
            if (line != word)
                die(QStringLiteral("a bench process said \"%1\"").arg(QString::fromUtf8(line)));
        }
    };
    const auto release = [&] {
        for (auto &p : children)
            p->write("go\n");
        for (auto &p : children)
            p->waitForBytesWritten(10000);
    };
    waitFor("ready");
    release();
    waitFor("baseline done");
    release();

    std::vector<qint64> baseline, latency;
    qint64 baseStart = LLONG_MAX, baseEnd = 0, writeStart = LLONG_MAX, writeEnd = 0;
    std::map<int, std::map<int, int>> reported; // station -> seq -> operation
    QStringList failures;
    for (size_t i = 0; i < children.size(); ++i) {
        QProcess &p = *children[i];
        const int station = int(i) + 1;
        if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            die(QStringLiteral("bench process %1 failed").arg(station));
        QTextStream out(p.readAllStandardOutput());
        for (QString line; out.readLineInto(&line);) {
            const QStringList f = line.split(QLatin1Char(' '));
            if (f.at(0) == QLatin1String("B")) {
                baseStart = std::min(baseStart, f.at(1).toLongLong());
                baseEnd = std::max(baseEnd, f.at(2).toLongLong());
                for (int k = 3; k < f.size(); ++k)
                    baseline.push_back(f.at(k).toLongLong());
            } else if (f.at(0) == QLatin1String("W")) {
                writeStart = std::min(writeStart, f.at(1).toLongLong());
                writeEnd = std::max(writeEnd, f.at(2).toLongLong());
            } else if (f.at(0) == QLatin1String("w")) {
                latency.push_back(f.at(2).toLongLong());
                reported[station][f.at(1).toInt()] = f.at(3).toInt();
            } else if (f.at(0) == QLatin1String("f")) {
                latency.push_back(f.at(2).toLongLong());
                failures << QStringLiteral("station %1 write %2: %3").arg(station).arg(f.at(1), f.mid(3).join(QLatin1Char(' ')));
            }
        }
    }

    const int expected = c.processes * c.writesEach;
    const double wallS = double(writeEnd - writeStart) / 1e9;
    const Stats w = stats(latency);
    const Stats b = stats(baseline);
    const double baseWallS = double(baseEnd - baseStart) / 1e9;
    std::printf("\n%s: %d process(es) x %d writes, %d bench computer(s)\n", c.name, c.processes, c.writesEach,
                c.computersUsed);
    std::printf("  writes      %6d in %6.2f s = %7.0f writes/s   median %6.2f ms  p99 %6.2f ms  max %6.2f ms\n",
                int(latency.size()), wallS, double(latency.size()) / wallS, w.median, w.p99, w.max);
    std::printf("  SELECT 1    %6d in %6.2f s = %7.0f trips/s    median %6.2f ms  p99 %6.2f ms  max %6.2f ms\n",
                int(baseline.size()), baseWallS, double(baseline.size()) / baseWallS, b.median, b.p99, b.max);
    table << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 |")
                 .arg(QString::fromLatin1(c.name))
                 .arg(double(latency.size()) / wallS, 0, 'f', 0)
                 .arg(w.median, 0, 'f', 2)
                 .arg(w.p99, 0, 'f', 2)
                 .arg(w.max, 0, 'f', 2)
                 .arg(b.median, 0, 'f', 3)
                 .arg(b.p99, 0, 'f', 3)
                 .arg(w.median / b.median, 0, 'f', 1);

    // The check.
    QStringList problems = failures;
    const int operations = countOf(db, QStringLiteral("SELECT COUNT(*) FROM operation"));
    const int records = countOf(db, QStringLiteral("SELECT COUNT(*) FROM set_zelta_kn"));
    const int bare = countOf(db, QStringLiteral("SELECT COUNT(*) FROM operation o WHERE NOT EXISTS "
                                                "(SELECT 1 FROM set_zelta_kn s WHERE s.operation_id = o.operation_id)"));
    if (operations != expected)
        problems << QStringLiteral("%1 operations, %2 expected").arg(operations).arg(expected);
    if (records != expected)
        problems << QStringLiteral("%1 settings records, %2 expected").arg(records).arg(expected);
    if (bare != 0)
        problems << QStringLiteral("%1 operations without a settings record").arg(bare);

    std::map<int, BenchIdentity> identity;
    for (int station = 1; station <= c.processes; ++station) {
        const Identification id = db.identify(computerOf[station], operatorLogin(station));
        if (!id.ok())
            die(id.problem);
        identity[station] = id.identity;
    }
    QSqlQuery q = db.exec(QStringLiteral("SELECT s.operation_id, s.turn_on, o.plant_id, o.person_id, e.number "
                                         "FROM set_zelta_kn s JOIN operation o ON o.operation_id = s.operation_id "
                                         "JOIN electrometer e ON e.electro_id = o.electro_id ORDER BY s.turn_on"));
    int misattributed = 0, seen = 0, duplicates = 0, wrongId = 0;
    std::map<int, int> turnOns;
    while (q.next()) {
        ++seen;
        const int operation = q.value(0).toInt();
        const int turnOn = q.value(1).toInt();
        const int station = turnOn / TurnOnStation;
        const int seq = turnOn % TurnOnStation;
        if (++turnOns[turnOn] > 1)
            ++duplicates;
        const auto it = identity.find(station);
        const bool right = it != identity.end() && seq < c.writesEach && q.value(2).toInt() == it->second.plantId
            && q.value(3).toInt() == it->second.personId && q.value(4).toInt() == meterNumber(station, seq);
        if (!right) {
            if (misattributed < 5)
                problems << QStringLiteral("write %1 of station %2 on operation %3: plant %4, operator %5, meter %6")
                                .arg(seq)
                                .arg(station)
                                .arg(operation)
                                .arg(q.value(2).toInt())
                                .arg(q.value(3).toInt())
                                .arg(q.value(4).toInt());
            ++misattributed;
        }
        const auto r = reported.find(station);
        if (r != reported.end()) {
            const auto s = r->second.find(seq);
            if (s != r->second.end() && s->second != operation)
                ++wrongId;
        }
    }
    if (misattributed)
        problems << QStringLiteral("%1 settings records on an operation of another bench or meter").arg(misattributed);
    if (duplicates)
        problems << QStringLiteral("%1 writes recorded twice").arg(duplicates);
    if (wrongId)
        problems << QStringLiteral("%1 writes reported with another operation than their record's").arg(wrongId);

    const int recorded = expected - int(failures.size());
    std::printf("  check: %d writes, %d recorded, %d operations, %d settings records, %d on the right "
                "plant, operator and meter: %s\n",
                expected, recorded, operations, records, seen - misattributed, problems.isEmpty() ? "OK" : "FAILED");
    for (const QString &p : problems.mid(0, 12))
        std::printf("    %s\n", qPrintable(p));
    if (problems.size() > 12)
        std::printf("    ... and %d more\n", int(problems.size()) - 12);
    return problems.isEmpty();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("ZK_PG_HOST") || qEnvironmentVariableIsEmpty("ZK_PG_PORT")
        || qEnvironmentVariableIsEmpty("ZK_PG_DB") || qEnvironmentVariableIsEmpty("ZK_PG_USER")) {
        std::fprintf(stderr, "bench_production: needs a PostgreSQL server named by ZK_PG_HOST, ZK_PG_PORT, "
                             "ZK_PG_DB and ZK_PG_USER;\nrun it as scripts/pgtest build/bin/bench_production\n");
        return 2;
    }
    const QStringList args = app.arguments();
    if (args.size() == 5 && args.at(1) == QLatin1String("--child"))
        return runChild(args.at(2).toInt(), args.at(3), args.at(4).toInt());
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: bench_production\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("ZK_SOURCE_DIR"))
        qputenv("ZK_SOURCE_DIR", ZK_SOURCE_DIR_DEFAULT);

    const Config configs[] = {
        {"one bench", 1, TotalWrites, 1},
        {"eight benches", Stations, TotalWrites / Stations, Stations},
        {"shared computers", Stations, TotalWrites / Stations, Stations / 2},
    };
    QStringList table;
    bool ok = true;
    {
        ProductionDatabase db(pgSettings(), QStringLiteral("bench-setup"));
        try {
            db.open();
            QSqlQuery v = db.exec(QStringLiteral("SHOW server_version"));
            QSqlQuery f = db.exec(QStringLiteral("SHOW fsync"));
            QSqlQuery s = db.exec(QStringLiteral("SHOW synchronous_commit"));
            v.next();
            f.next();
            s.next();
            std::printf("PostgreSQL %s, fsync %s, synchronous_commit %s; %d writes per configuration\n",
                        qPrintable(v.value(0).toString()), qPrintable(f.value(0).toString()),
                        qPrintable(s.value(0).toString()), TotalWrites);
            for (const Config &c : configs)
                ok = runConfig(c, db, table) && ok;
        } catch (const DatabaseError &e) {
            die(e.text());
        }
    }
    std::printf("\n| configuration | writes/s | median ms | p99 ms | max ms | SELECT 1 median ms | SELECT 1 p99 ms "
                "| write / round trip |\n|---|---|---|---|---|---|---|---|\n%s\n",
                qPrintable(table.join(QLatin1Char('\n'))));
    std::printf("\n%s\n", ok ? "verification: every write recorded once, on its own bench: OK"
                             : "verification FAILED: records lost or attributed to another bench");
    return ok ? 0 : 1;
}
