// zelta-kn-cli: its argument parser, and the real executable against the virtual
// meter over a pseudo-terminal: every value of the meter's memory shows, the address
// search finds a meter at address 3, a silent meter gives exit 3, both journals read
// and one broken off in the middle; the schedule file's rules, the schedule read and
// written, refused by a check before anything is sent, and broken off by the meter.

#include "cli/application.h"
#include "cli/options.h"
#include "tests/testdbf.h"
#include "tests/testproduction.h"
#include "tests/testxls.h"
#include "cli/schedulecommand.h"
#include "link/frame.h"
#include "link/meterchannel.h"
#include "ops/linecheck.h"
#include "records/dbftable.h"
#include "records/register.h"
#include "records/production.h"
#include "workbook/workbook.h"

#include <QDir>
#include <functional>
#include <memory>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QSqlQuery>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

Q_DECLARE_METATYPE(std::exception_ptr)

using namespace zk::cli;
using zk::Holiday;
using zk::TariffSchedule;
using zk::Transfer;

namespace {

QString binDir()
{
    return qEnvironmentVariable("ZK_BIN_DIR", QCoreApplication::applicationDirPath());
}

struct Run {
    int exit = -1;
    QByteArray out;
    QByteArray err;
};

Run runCli(const QStringList &args, int timeoutMs = 60000, const QString &workDir = QString(),
           const QString &configHome = QString())
{
    QProcess p;
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    if (!configHome.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
        env.insert(QStringLiteral("ZK_KEEP_PC_CLOCK"), QStringLiteral("1"));
        p.setProcessEnvironment(env);
    }
    p.start(binDir() + QStringLiteral("/zelta-kn-cli"), args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// A working directory in SQL mode (its marker file) and an empty preferences folder.
bool makeProductionBench(const QString &work, const QString &config)
{
    QFile marker(work + QStringLiteral("/SettingSql.kvm"));
    return QDir().mkpath(work) && QDir().mkpath(config + QStringLiteral("/Kalvimet"))
        && marker.open(QIODevice::WriteOnly);
}

// A preferences folder in `dir` whose key holds `values` (service mode by default).
QString serviceConfig(const QString &dir, const QStringList &values = {QStringLiteral("Master")})
{
    const QString config = dir + QStringLiteral("/config");
    QSettings store(config + QStringLiteral("/Kalvimet/Zelta-KN.conf"), QSettings::IniFormat);
    for (const QString &v : values)
        store.setValue(v, 1);
    store.sync();
    return config;
}

// A virtual meter on its own pseudo-terminal, seeded from a state file.
class Meter
{
public:
    Meter(const QString &dir, const QStringList &extra, const QJsonObject &state = {})
    {
        link = dir + QStringLiteral("/meter");
        const QString stateFile = dir + QStringLiteral("/state.json");
        if (!state.isEmpty()) {
            QFile f(stateFile);
            if (f.open(QIODevice::WriteOnly))
                f.write(QJsonDocument(state).toJson());
        }
        process.setProgram(binDir() + QStringLiteral("/zelta-kn-sim"));
        process.setArguments(QStringList{QStringLiteral("--link"), link, QStringLiteral("--state"), stateFile,
                                         QStringLiteral("--turnaround"), QStringLiteral("2")}
                             + (extra.contains(QStringLiteral("--address"))
                                    ? extra
                                    : extra + QStringList{QStringLiteral("--address"), QStringLiteral("0")}));
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        if (process.waitForStarted(5000) && process.waitForReadyRead(5000))
            ready = process.readLine().startsWith("ready ");
    }
    ~Meter()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
    }
    QProcess process;
    QString link;
    bool ready = false;
};

QJsonObject stateOf(const QString &dir)
{
    QFile f(dir + QStringLiteral("/state.json"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

QString writeJson(const QString &dir, const QString &name, const QJsonObject &o)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(QJsonDocument(o).toJson());
    return path;
}

QJsonArray sixZones(const QStringList &starts, std::initializer_list<int> tariffs = {1, 2, 3, 2, 3, 2})
{
    QJsonArray zones;
    auto t = tariffs.begin();
    for (const QString &start : starts)
        zones.append(QJsonObject{{"tariff", *t++}, {"start", start}});
    return zones;
}

// The schedule of a meter's state file as `schedule read --json` prints it: holidays
// and transfers in slot order.
QJsonObject scheduleOfState(const QJsonObject &state, bool calendars)
{
    QJsonObject o;
    o["one_tariff"] = state.value("oneTariff").toBool();
    QJsonArray zones;
    const QJsonArray masks = state.value("dayTypes").toArray();
    for (int z = 0; z < 6; ++z) {
        const QJsonObject zone = state.value("zones").toArray().at(z).toObject();
        QJsonObject out{{"tariff", zone.value("tariff")},
                        {"start", QStringLiteral("%1:%2")
                                      .arg(zone.value("hour").toInt(), 2, 10, QLatin1Char('0'))
                                      .arg(zone.value("minute").toInt(), 2, 10, QLatin1Char('0'))}};
        if (calendars)
            out["days"] = masks.at(z);
        zones.append(out);
    }
    o["zones"] = zones;
    if (!calendars)
        return o;
    QMap<int, QJsonObject> holidays, transfers;
    for (const QJsonValue &v : state.value("holidays").toArray())
        holidays[v["slot"].toInt()] = QJsonObject{{"day", v["day"]}, {"month", v["month"]}};
    for (const QJsonValue &v : state.value("transfers").toArray())
        transfers[v["slot"].toInt()] = QJsonObject{{"date", v["date"]}, {"day_type", v["dayType"]}};
    QJsonArray h, t;
    for (const QJsonObject &e : holidays)
        h.append(e);
    for (const QJsonObject &e : transfers)
        t.append(e);
    o["holidays"] = h;
    o["transfers"] = t;
    return o;
}

// Function codes of the frames a --trace run sent, in order.
QList<int> sentFunctions(const QByteArray &trace)
{
    QList<int> out;
    static const QRegularExpression frame(QStringLiteral("Send ([0-9A-F]{2}) [0-9A-F]{2} "));
    for (const QString &line : QString::fromUtf8(trace).split(QLatin1Char('\n'))) {
        const auto m = frame.match(line);
        if (m.hasMatch())
            out << m.captured(1).toInt(nullptr, 16);
    }
    return out;
}

// A meter with an odd schedule: holidays in slots 0, 1, 3 and 15 out of date order,
// transfers in slots 2 and 5, a zone on the holiday column only.
QJsonObject oddSchedule()
{
    QJsonObject state;
    QJsonArray zones;
    const int zs[6][3] = {{3, 0, 0}, {1, 7, 15}, {2, 7, 15}, {3, 12, 0}, {1, 19, 45}, {2, 23, 59}};
    for (const auto &z : zs)
        zones.append(QJsonObject{{"tariff", z[0]}, {"hour", z[1]}, {"minute", z[2]}});
    state["zones"] = zones;
    state["dayTypes"] = QJsonArray{0x1F, 0x60, 0x80, 0x7F, 0xFF, 0x01};
    state["oneTariff"] = false;
    state["holidays"] = QJsonArray{QJsonObject{{"slot", 0}, {"day", 9}, {"month", 5}},
                                   QJsonObject{{"slot", 1}, {"day", 1}, {"month", 1}},
                                   QJsonObject{{"slot", 3}, {"day", 29}, {"month", 2}},
                                   QJsonObject{{"slot", 15}, {"day", 31}, {"month", 12}}};
    state["transfers"] = QJsonArray{QJsonObject{{"slot", 2}, {"date", "2091-05-04"}, {"dayType", 1}},
                                    QJsonObject{{"slot", 5}, {"date", "2090-03-08"}, {"dayType", 8}}};
    return state;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir m_work; // the command line's working directory, where it keeps Setting.DBF

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(m_work.path()));
        // The programs run in a zone with summer time: a meter's clock has no zone, and times
        // the zone skips are times like any other.
        qputenv("TZ", "Europe/Berlin");
    }

    void parse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("baud");
        QTest::addColumn<QStringList>("rest");
        QTest::newRow("defaults") << QStringList{"info"} << true << "info" << 0 << 4800 << QStringList{};
        QTest::newRow("globals before") << QStringList{"--address", "7", "--baud=9600", "info"} << true << "info" << 7
                                        << 9600 << QStringList{};
        QTest::newRow("globals after") << QStringList{"status", "5", "--json", "--address", "3"} << true << "status"
                                       << 3 << 4800 << QStringList{"5"};
        QTest::newRow("no command") << QStringList{"--json"} << false << "" << 0 << 0 << QStringList{};
        QTest::newRow("version alone") << QStringList{"--version"} << true << "" << 0 << 4800 << QStringList{};
        QTest::newRow("address too big") << QStringList{"--address", "256", "info"} << false << "" << 0 << 0
                                         << QStringList{};
        QTest::newRow("address not a number") << QStringList{"--address", "x", "info"} << false << "" << 0 << 0
                                              << QStringList{};
        QTest::newRow("baud not offered") << QStringList{"--baud", "300", "info"} << false << "" << 0 << 0
                                          << QStringList{};
        QTest::newRow("timeout below 200") << QStringList{"--timeout", "199", "info"} << false << "" << 0 << 0
                                           << QStringList{};
        QTest::newRow("value missing") << QStringList{"info", "--port"} << false << "" << 0 << 0 << QStringList{};
        QTest::newRow("unknown option first") << QStringList{"--frobnicate", "info"} << false << "" << 0 << 0
                                              << QStringList{};
    }
    void parse()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, ok);
        const Parsed p = parseArguments(args);
        QCOMPARE(p.options.has_value(), ok);
        QCOMPARE(p.error.isEmpty(), ok);
        if (!ok)
            return;
        QFETCH(QString, command);
        QFETCH(int, address);
        QFETCH(int, baud);
        QFETCH(QStringList, rest);
        QCOMPARE(p.options->command, command);
        QCOMPARE(p.options->address, address);
        QCOMPARE(p.options->baud, baud);
        QCOMPARE(p.options->args, rest);
    }

    void failure_data()
    {
        const QString text = QStringLiteral("Нет файла");
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("text");
        QTest::newRow("table") << std::make_exception_ptr(zk::DbfError(text)) << 5 << text;
        QTest::newRow("database") << std::make_exception_ptr(zk::DatabaseError(text)) << 5 << text;
        QTest::newRow("workbook") << std::make_exception_ptr(zk::WorkbookError(text)) << 5 << text;
        QTest::newRow("port") << std::make_exception_ptr(zk::SerialChannelError(text)) << 3 << text;
        QTest::newRow("other") << std::make_exception_ptr(std::runtime_error("bad")) << 1 << "bad";
        QTest::newRow("unknown") << std::make_exception_ptr(7) << 1 << "Неизвестная ошибка";
    }
    void failure()
    {
        QFETCH(std::exception_ptr, error);
        QFETCH(int, exit);
        QFETCH(QString, text);
        const Failure f = failureOf(error);
        QCOMPARE(f.exit, exit);
        QCOMPARE(f.text, text);
    }

    void status_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("out");
        QTest::newRow("0x90") << QStringList{"status", "0x90"} << 0 << "Фаза C: отсутствует фаза\n";
        QTest::newRow("json") << QStringList{"--json", "status", "255"} << 0
                              << "{\"lines\":[\"Выключение счетчика\"],\"status\":255}\n";
        QTest::newRow("out of range") << QStringList{"status", "256"} << 2 << "";
        QTest::newRow("missing") << QStringList{"status"} << 2 << "";
        QTest::newRow("unknown command") << QStringList{"fly"} << 2 << "";
    }
    void status()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        QFETCH(QString, out);
        const Run r = runCli(args);
        QCOMPARE(r.exit, exit);
        QCOMPARE(QString::fromUtf8(r.out), out);
        if (exit == 2)
            QVERIFY(r.err.contains("zelta-kn-cli"));
    }

    // Odd values in the meter's memory: a 17-bit serial, a 2^32 billing count, a
    // negative correction, DDM numbers with their stamps.
    void info_data()
    {
        QTest::addColumn<QString>("firmware");
        QTest::newRow("1.12") << "1.12";
        QTest::newRow("1.9") << "1.9";
    }
    void info()
    {
        QFETCH(QString, firmware);
        QTemporaryDir dir;
        QJsonObject state;
        state[QStringLiteral("serial")] = zk::MaxSerialNumber;
        state[QStringLiteral("address")] = 5;
        state[QStringLiteral("correction")] = 0x07; // -7
        state[QStringLiteral("correctionCounter")] = 9;
        state[QStringLiteral("ddm")] = QJsonArray{0x123456, 0, 77};
        state[QStringLiteral("indication")] = 0x09;
        state[QStringLiteral("billingDay")] = 25;
        state[QStringLiteral("billingHour")] = 13;
        state[QStringLiteral("billingReadings")] = QJsonArray{double(quint64(1) << 32), 4000, 1};
        state[QStringLiteral("turnOnHalfMinutes")] = 121;
        state[QStringLiteral("summerTime")] = true;
        Meter meter(dir.path(), {QStringLiteral("--firmware"), firmware}, state);
        QVERIFY(meter.ready);

        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--address"), QStringLiteral("5"),
                              QStringLiteral("--json"), QStringLiteral("info")});
        QVERIFY2(r.exit == 0, r.err.constData());
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(o.value("version").toString(), firmware);
        QCOMPARE(o.value("serial").toInt(), zk::MaxSerialNumber);
        QCOMPARE(o.value("correction").toInt(), -7);
        QCOMPARE(o.value("correction_counter").toInt(), 9);
        QCOMPARE(o.value("ddm").toArray(), (QJsonArray{0x123456, 0, 77}));
        QCOMPARE(o.value("indication").toInt(), 9);
        QCOMPARE(o.value("billing").toObject().value("day").toInt(), 25);
        QCOMPARE(o.value("billing").toObject().value("hour").toInt(), 13);
        QVERIFY(o.value("summer").toBool());
        // The turn-on count grows every 30 s: 121 or a little more.
        QVERIFY(o.value("turn_on").toString().startsWith(QLatin1String("1:")));
        const QJsonArray billing = o.value("readings").toObject().value("billing").toArray();
        QCOMPARE(billing.at(0).toDouble(), 1073741.824);
        QCOMPARE(billing.at(1).toDouble(), 1.0);
        QCOMPARE(billing.at(2).toDouble(), 0.00025);
        QCOMPARE(billing.at(3).toDouble(), 1073742.82425);
        QCOMPARE(o.value("readings").toObject().value("current").toArray().size(), 4);
        // Phase B has no DDM number: its status field says so.
        QCOMPARE(o.value("status").toInt() & 0x0C, 0x08);
        QVERIFY(o.value("status_lines").toArray().contains(QStringLiteral("Фаза B: номер ДДМ не установлен")));
        const QDateTime clock = QDateTime::fromString(o.value("clock").toString(), Qt::ISODate);
        QVERIFY(clock.isValid());
        if (firmware == QLatin1String("1.9")) {
            QVERIFY(!o.contains("ddm_stamps"));
        } else {
            const QJsonArray stamps = o.value("ddm_stamps").toArray();
            QCOMPARE(stamps.size(), 3);
            QVERIFY(stamps.at(1).isNull());
            // The meter heard phase A a few seconds before its clock's present time.
            const QDateTime a = QDateTime::fromString(stamps.at(0).toString(), Qt::ISODate);
            QVERIFY(qAbs(a.secsTo(clock)) < 60);
        }

        // The same values as readable text.
        const Run text = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--address"), QStringLiteral("5"),
                                 QStringLiteral("info")});
        QCOMPARE(text.exit, 0);
        const QString t = QString::fromUtf8(text.out);
        QVERIFY(t.contains(QStringLiteral("Заводской № : %1\n").arg(zk::MaxSerialNumber)));
        QVERIFY(t.contains(QStringLiteral("Суточная коррекция часов : -7\n")));
        QVERIFY(t.contains(QStringLiteral("1 тариф 1073741,82400")));
        QVERIFY(t.contains(QStringLiteral("Расчетный день: 25\n")));
    }

    void findAddress()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {QStringLiteral("--address"), QStringLiteral("3")});
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--timeout"), QStringLiteral("200"),
                              QStringLiteral("--address"), QStringLiteral("9"), QStringLiteral("find-address")});
        QVERIFY2(r.exit == 0, r.err.constData());
        QCOMPARE(r.out, QByteArray("3\n"));
    }

    // Three meters on one line, the first of them acknowledging and never answering: every
    // address in one pass, in order, the silent one without serial number or version.
    void scanLine()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {QStringLiteral("--address"), QStringLiteral("3"), QStringLiteral("--fault"),
                                 QStringLiteral("silent"), QStringLiteral("--also"), QStringLiteral("0:4242"),
                                 QStringLiteral("--also"), QStringLiteral("255:131071")});
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--timeout"), QStringLiteral("200"),
                              QStringLiteral("--json"), QStringLiteral("scan")});
        QVERIFY2(r.exit == 0, r.err.constData());
        QCOMPARE(r.out, QByteArray(R"({"meters":[{"address":0,"serial":4242,"version":"1.12"},)"
                                   R"({"address":3,"serial":null,"version":null},)"
                                   R"({"address":255,"serial":131071,"version":"1.12"}]})"
                                   "\n"));
    }

    // The round trip is the median; the timeout suggested covers twice it or the slowest
    // exchange with 100 ms to spare, in the window's steps of 100 within 200..5000.
    void lineTimeout_data()
    {
        QTest::addColumn<QList<int>>("samples");
        QTest::addColumn<int>("median");
        QTest::addColumn<int>("suggested");
        QTest::newRow("no exchange") << QList<int>{} << -1 << -1;
        QTest::newRow("fast line, at least 200") << QList<int>{30, 10, 20} << 20 << 200;
        QTest::newRow("even count, middle two") << QList<int>{40, 10, 25, 20} << 23 << 200;
        QTest::newRow("just over a step") << QList<int>{51, 51, 51} << 51 << 300;
        QTest::newRow("on a step") << QList<int>{150} << 150 << 400;
        QTest::newRow("one slow exchange") << QList<int>{20, 20, 900, 20, 20} << 20 << 1000;
        QTest::newRow("at most 5000") << QList<int>{2600, 2800, 2700} << 2700 << 5000;
    }
    void lineTimeout()
    {
        QFETCH(QList<int>, samples);
        QFETCH(int, median);
        QFETCH(int, suggested);
        QCOMPARE(zk::medianMs(samples).value_or(-1), median);
        QCOMPARE(zk::suggestedTimeoutMs(samples).value_or(-1), suggested);
    }

    // The line check against the virtual meter and against ports that are no line.
    void doctor_data()
    {
        QTest::addColumn<QStringList>("meter");  // the virtual meter's options; empty: none runs
        QTest::addColumn<QString>("port");       // "meter", "file" or a path
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QJsonObject>("expected"); // keys the object must hold as given
        QTest::addColumn<QString>("problem");    // in the only problem; empty: none
        const QStringList at5{"--address", "5", "--serial", "4242"};
        const QJsonObject fit{{"exists", true}, {"tty", true}, {"pseudo_terminal", true}, {"access", true},
                              {"parity_mark_space", "emulated"}, {"echo", false}};
        QTest::newRow("fit line") << at5 << "meter" << QStringList{"--address", "5"} << 0 << fit << "";
        QJsonObject echo = fit;
        echo["echo"] = true;
        QTest::newRow("echoing adapter, the meter still found")
            << at5 + QStringList{"--fault", "echo"} << "meter" << QStringList{"--address", "5"} << 3 << echo
            << "эхо";
        QTest::newRow("slow meter, short timeout")
            << at5 + QStringList{"--fault", "delay=400"} << "meter"
            << QStringList{"--address", "5", "--timeout", "200"} << 3 << fit << "Таймаут ответа 200 мс мал";
        QJsonObject none = fit;
        none["meter"] = QJsonValue::Null;
        none["rtt_ms"] = QJsonValue::Null;
        QTest::newRow("no meter at the address")
            << at5 << "meter" << QStringList{"--address", "7"} << 3 << none << "не отвечает на адрес 7";
        QTest::newRow("port missing")
            << QStringList{} << "/nonexistent/tty" << QStringList{} << 3
            << QJsonObject{{"exists", false}, {"tty", QJsonValue::Null}, {"parity_mark_space", QJsonValue::Null},
                           {"meter", QJsonValue::Null}}
            << "/nonexistent/tty не найден";
        QTest::newRow("not a terminal")
            << QStringList{} << "file" << QStringList{} << 3
            << QJsonObject{{"exists", true}, {"tty", false}, {"echo", QJsonValue::Null}}
            << "не последовательный порт";
    }
    void doctor()
    {
        QFETCH(QStringList, meter);
        QFETCH(QString, port);
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        QFETCH(QJsonObject, expected);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        std::unique_ptr<Meter> sim;
        if (!meter.isEmpty()) {
            sim = std::make_unique<Meter>(dir.path(), meter);
            QVERIFY(sim->ready);
            port = sim->link;
        } else if (port == QLatin1String("file")) {
            port = dir.filePath(QStringLiteral("ttyUSB0"));
            QFile f(port);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const QStringList common{QStringLiteral("--port"), port};
        const Run r = runCli(common + args + QStringList{QStringLiteral("--json"), QStringLiteral("doctor")}, 30000);
        QVERIFY2(r.exit == exit, r.out.constData());
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        for (auto it = expected.begin(); it != expected.end(); ++it)
            QVERIFY2(o.value(it.key()) == it.value(), qPrintable(it.key()));
        const QJsonArray problems = o.value("problems").toArray();
        QCOMPARE(problems.size(), problem.isEmpty() ? 0 : 1);
        if (!problem.isEmpty())
            QVERIFY2(problems.at(0).toString().contains(problem), qPrintable(problems.at(0).toString()));
        if (!o.value("meter").isNull() && !meter.isEmpty()) {
            QCOMPARE(o.value("meter").toObject(),
                     (QJsonObject{{"address", 5}, {"serial", 4242}, {"version", "1.12"}}));
            const int rtt = o.value("rtt_ms").toInt();
            QVERIFY(rtt > 0 && rtt < 5000);
            const int suggested = o.value("suggested_timeout_ms").toInt();
            QVERIFY2(suggested % 100 == 0 && suggested >= std::max(200, std::min(2 * rtt + 100, 5000))
                         && suggested <= 5000,
                     qPrintable(QStringLiteral("%1 for %2").arg(suggested).arg(rtt)));
        }
        // The same verdict as readable text.
        if (exit == 0) {
            const Run text = runCli(common + args + QStringList{QStringLiteral("doctor")}, 30000);
            QCOMPARE(text.exit, 0);
            QVERIFY2(text.out.contains("Линия исправна."), text.out.constData());
            QVERIFY(QString::fromUtf8(text.out).contains(QStringLiteral("Счетчик : адрес 5, заводской № 4242, версия ПО 1.12")));
        }
    }

    void noAnswer_data()
    {
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QStringList>("command");
        const QStringList info{"info"};
        QTest::newRow("not acknowledged") << QStringList{"--fault", "noack"} << info;
        QTest::newRow("acknowledged, never answered") << QStringList{"--fault", "silent"} << info;
        QTest::newRow("one poll request never answered")
            << QStringList{"--fault", QStringLiteral("silent on=%1").arg(zk::fn::ReadReadings)} << info;
        QTest::newRow("another address") << QStringList{"--address", "7"} << info;
        QTest::newRow("another address, verdict") << QStringList{"--address", "7"}
                                                  << QStringList{"--json", "write", "--indication", "3"};
    }
    void noAnswer()
    {
        QFETCH(QStringList, extra);
        QFETCH(QStringList, command);
        QTemporaryDir dir;
        Meter meter(dir.path(), extra);
        QVERIFY(meter.ready);
        const Run r = runCli(QStringList{QStringLiteral("--port"), meter.link, QStringLiteral("--timeout"),
                                         QStringLiteral("200")} + command, 60000, dir.path());
        QCOMPARE(r.exit, 3);
        QVERIFY(QString::fromUtf8(r.err).contains(QStringLiteral("не отвечает")));
        if (!command.contains(QStringLiteral("--json"))) {
            QVERIFY(r.out.isEmpty());
            return;
        }
        const QJsonObject verdict = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(verdict.value("ok"), QJsonValue(false));
        QVERIFY2(verdict.value("error").toString().contains(QStringLiteral("не отвечает")), r.out.constData());
    }

    void refused()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {QStringLiteral("--fault"), QStringLiteral("error=4")});
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("info")});
        QCOMPARE(r.exit, 4);
        QVERIFY(r.out.isEmpty());
        QVERIFY(QString::fromUtf8(r.err).contains(QStringLiteral("Счетчик отказал")));
    }

    void journalArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no kind") << QStringList{"journal"};
        QTest::newRow("unknown kind") << QStringList{"journal", "weekly"};
        QTest::newRow("two kinds") << QStringList{"journal", "annual", "consumption"};
    }
    void journalArguments()
    {
        QFETCH(QStringList, args);
        const Run r = runCli(QStringList{QStringLiteral("--port"), QStringLiteral("/nonexistent/tty")} + args);
        QCOMPARE(r.exit, 2);
        QVERIFY(r.out.isEmpty());
        QVERIFY(r.err.contains("journal annual|consumption"));
    }

    // Annual entry m closes month m + 1 of this year when that month is over, else of
    // last year; its two-digit year stands before the month's name.
    void journalAnnual()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("journal"), QStringLiteral("annual")});
        QVERIFY2(r.exit == 0, r.err.constData());
        const QStringList lines = QString::fromUtf8(r.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 13);
        QCOMPARE(lines[0], QStringLiteral("месяц\t1 тариф\t2 тариф\t3 тариф\tнаработка"));
        const QDate today = QDate::currentDate();
        const QStringList months{"янв.", "фев.", "март", "апр.", "май", "июнь",
                                 "июль", "авг.", "сент.", "окт.", "нояб.", "дек."};
        // In the order the months closed, the readings and the operating time only grow.
        QList<QStringList> closed;
        for (int m = 0; m < 12; ++m) {
            const QStringList cells = lines[m + 1].split(QLatin1Char('\t'));
            QCOMPARE(cells.size(), 5);
            const int year = m + 1 < today.month() ? today.year() : today.year() - 1;
            QCOMPARE(cells[0], QStringLiteral("%1 %2").arg(year % 100, 2, 10, QLatin1Char('0')).arg(months[m]));
            for (int c = 1; c < 4; ++c)
                QVERIFY2(QRegularExpression(QStringLiteral("^\\d+,\\d{5}$")).match(cells[c]).hasMatch(),
                         qPrintable(cells[c]));
            QVERIFY2(QRegularExpression(QStringLiteral("^\\d+:\\d+$")).match(cells[4]).hasMatch(), qPrintable(cells[4]));
            closed.append(cells);
        }
        std::sort(closed.begin(), closed.end(), [&](const QStringList &a, const QStringList &b) {
            const int ya = a[0].left(2).toInt(), yb = b[0].left(2).toInt();
            return ya != yb ? ya < yb : months.indexOf(a[0].mid(3)) < months.indexOf(b[0].mid(3));
        });
        for (int i = 1; i < closed.size(); ++i) {
            for (int c = 1; c < 4; ++c)
                QVERIFY(closed[i][c].replace(',', '.').toDouble() >= closed[i - 1][c].replace(',', '.').toDouble());
            QVERIFY(closed[i][4].section(':', 0, 0).toInt() >= closed[i - 1][4].section(':', 0, 0).toInt());
        }
    }

    // Page p is the midnight record p days back; record numbers count days.
    void journalConsumption()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--json"), QStringLiteral("journal"),
                              QStringLiteral("consumption")});
        QVERIFY2(r.exit == 0, r.err.constData());
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(o.value("titles").toArray(),
                 (QJsonArray{"Страница", "Запись", "Время", "1 тариф", "2 тариф", "3 тариф", "Статус"}));
        const QJsonArray rows = o.value("rows").toArray();
        QCOMPARE(rows.size(), 61);
        const QDate today = QDate::currentDate();
        double before = 1e12;
        for (int p = 0; p < rows.size(); ++p) {
            const QJsonArray row = rows[p].toArray();
            QCOMPARE(row.size(), 7);
            QCOMPARE(row[0].toString(), QString::number(p));
            const QDate day = today.addDays(-p);
            QCOMPARE(row[1].toString(), QString::number(QDate(2000, 1, 1).daysTo(day) & 0xFF));
            QCOMPARE(row[2].toString(), day.toString(QStringLiteral("dd.MM")) + QStringLiteral(" 00:00"));
            const double t1 = row[3].toString().replace(',', '.').toDouble();
            QVERIFY(t1 <= before);
            before = t1;
        }
    }

    // The meter goes silent in the middle of the read: the rows read so far are
    // printed and the exit says the meter stopped answering.
    void journalBrokenOff()
    {
        QTemporaryDir dir;
        const QString xls = dir.filePath(QStringLiteral("part.xls"));
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        QProcess cli;
        cli.start(binDir() + QStringLiteral("/zelta-kn-cli"),
                  {QStringLiteral("--port"), meter.link, QStringLiteral("--timeout"), QStringLiteral("200"),
                   QStringLiteral("--trace"), QStringLiteral("journal"), QStringLiteral("consumption"),
                   QStringLiteral("--xls"), xls});
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += cli.readAllStandardError()).contains("Send 13 03 0A "), 20000);
        meter.process.write("fault silent\n");
        QVERIFY(meter.process.waitForBytesWritten(5000));
        QVERIFY(cli.waitForFinished(30000));
        QCOMPARE(cli.exitCode(), 3);
        const QStringList lines = QString::fromUtf8(cli.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY2(lines.size() > 10 && lines.size() < 62, qPrintable(QString::number(lines.size())));
        QVERIFY(lines[0].startsWith(QStringLiteral("Страница\t")));
        QVERIFY(lines[10].startsWith(QStringLiteral("9\t")));
        // The workbook holds the rows read, as the window exports what it shows.
        QCOMPARE(xlsSheet(xls).size(), lines.size() + 1);
    }

    // --xls writes the workbook the window's export writes: the title names the
    // meter, readings are numbers, months and times stay texts.
    void journalWorkbook_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("rows");
        QTest::newRow("annual") << "annual" << 12;
        QTest::newRow("consumption") << "consumption" << 61;
    }
    void journalWorkbook()
    {
        QFETCH(QString, kind);
        QFETCH(int, rows);
        QTemporaryDir dir;
        Meter meter(dir.path(), {QStringLiteral("--serial"), QStringLiteral("12345")});
        QVERIFY(meter.ready);
        const QString xls = dir.filePath(QStringLiteral("out.xls"));
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("journal"), kind,
                              QStringLiteral("--xls"), xls});
        QVERIFY2(r.exit == 0, r.err.constData());
        const QJsonArray sheet = xlsSheet(xls);
        QCOMPARE(sheet.size(), rows + 2);
        const QString title = kind == QLatin1String("annual") ? QStringLiteral("Годовой журнал ")
                                                             : QStringLiteral("Журнал потребления ");
        QCOMPARE(sheet[0].toArray()[0].toString(), title + QStringLiteral("Счетчик № 12345, "));
        QVERIFY(sheet[1].toArray().contains(QStringLiteral("1 тариф")));
        const QJsonArray first = sheet[2].toArray();
        if (kind == QLatin1String("annual")) {
            QVERIFY(first[0].isString());           // "NN месяц"
            QVERIFY(first[1].isDouble());           // reading
            QVERIFY(first[4].isString());           // operating time h:m
        } else {
            QCOMPARE(first[0].toDouble(-1), 0.0);   // page number
            QVERIFY(first[2].isString());           // "dd.mm hh:nn"
            QVERIFY(first[3].isDouble());
        }
        // The file's cells are what the command printed.
        const QStringList printed = QString::fromUtf8(r.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(printed.size(), rows + 1);
        const QStringList firstPrinted = printed[1].split(QLatin1Char('\t'));
        QCOMPARE(firstPrinted.size(), first.size());
        if (first[1].isDouble())
            QCOMPARE(QString(firstPrinted[1]).replace(QLatin1Char(','), QLatin1Char('.')).toDouble(), first[1].toDouble());
    }

    void journalWorkbookCannotBeWritten_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a folder") << "" << "папка, а не файл";
        QTest::newRow("open in an office program") << "j.xls" << "открыт другой программой";
    }
    void journalWorkbookCannotBeWritten()
    {
        QFETCH(QString, target);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const QString path = target.isEmpty() ? dir.path() : dir.filePath(target);
        QFile officeLock(dir.filePath(QStringLiteral(".~lock.j.xls#")));
        QVERIFY(officeLock.open(QIODevice::WriteOnly));
        officeLock.close();
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("journal"), QStringLiteral("annual"),
                              QStringLiteral("--xls"), path});
        QCOMPARE(r.exit, 5);
        QVERIFY(r.out.isEmpty()); // found before the meter was read
        QVERIFY2(QString::fromUtf8(r.err).contains(QStringLiteral("Файл не может быть создан")) && r.err.contains(reason.toUtf8()),
                 r.err.constData());
        QVERIFY(!target.isEmpty() || QFileInfo(dir.path()).isDir());
        QVERIFY(target.isEmpty() || !QFile::exists(path));
    }

    // Every option of write lands in the meter's memory; frames after --address go
    // to the new address.
    void writeEverything()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("write"), QStringLiteral("--time"),
                              QStringLiteral("2026-03-29T02:30:09"), QStringLiteral("--summer"), QStringLiteral("on"),
                              QStringLiteral("--new-address"),
                              QStringLiteral("200"), QStringLiteral("--ddm"), QStringLiteral("1193046,2,3"),
                              QStringLiteral("--indication"), QStringLiteral("9"), QStringLiteral("--billing"),
                              QStringLiteral("25,0"), QStringLiteral("--serial"), QStringLiteral("100000"),
                              QStringLiteral("--correction"), QStringLiteral("-7"), QStringLiteral("--new-password"),
                              QStringLiteral("4321")},
                             60000, QString(), serviceConfig(dir.path()));
        QVERIFY2(r.exit == 0, r.err.constData());
        meter.process.write("state\n");
        // The state file is saved after every accepted write.
        QFile f(dir.filePath(QStringLiteral("state.json")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QJsonObject s = QJsonDocument::fromJson(f.readAll()).object();
        QCOMPARE(s.value("address").toInt(), 200);
        QCOMPARE(s.value("ddm").toArray(), (QJsonArray{1193046, 2, 3}));
        QCOMPARE(s.value("indication").toInt(), 9);
        QCOMPARE(s.value("billingDay").toInt(), 25);
        QCOMPARE(s.value("billingHour").toInt(), 0);
        QCOMPARE(s.value("serial").toInt(), 100000);
        QCOMPARE(s.value("correction").toInt(), 0x07);
        QCOMPARE(s.value("password").toInt(), 4321);
        QVERIFY(s.value("summerTime").toBool());
        // Read back through the command line at the new address, with the new password.
        const Run info = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--address"), QStringLiteral("200"),
                                 QStringLiteral("--json"), QStringLiteral("info")});
        QVERIFY2(info.exit == 0, info.err.constData());
        const QJsonObject o = QJsonDocument::fromJson(info.out).object();
        QVERIFY2(o.value("clock").toString().startsWith(QStringLiteral("2026-03-29T02:3")), info.out.constData());
        QCOMPARE(o.value("correction").toInt(), -7);
        const Run reset = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--address"), QStringLiteral("200"),
                                  QStringLiteral("--password"), QStringLiteral("4321"), QStringLiteral("reset-billing")});
        QVERIFY2(reset.exit == 0, reset.err.constData());

        // The write is recorded in the working directory's register as the window records it.
        const QJsonArray records = dbfRecords(m_work.filePath(QStringLiteral("Setting.DBF")));
        QVERIFY(!records.isEmpty());
        const QJsonObject rec = records.last().toObject();
        QCOMPARE(rec.value("C_NUMBER").toInt(), 100000);
        QCOMPARE(rec.value("ADDRESS").toInt(), 200);
        QCOMPARE(rec.value("C_DATE").toString(), QStringLiteral("2026-03-29"));
        QCOMPARE(rec.value("C_TIME").toString(), QStringLiteral("02:30"));
        QCOMPARE(rec.value("SUMMER").toBool(), true);
        QCOMPARE(rec.value("PASS").toInt(), 4321);
        QCOMPARE(rec.value("DDM_A").toInt(), 1193046);
        QCOMPARE(rec.value("COUNT_DAY").toInt(), 25);
        QCOMPARE(rec.value("COUNT_HOUR").toInt(), 0);
        QCOMPARE(rec.value("INDICATOR").toInt(), 9);
        QCOMPARE(rec.value("VERSION").toString(), QStringLiteral("1.12"));
        QVERIFY(rec.value("T_1_C").toDouble() > 0);
    }

    // --serial next writes the number after the highest in the register.
    void writeNextSerial()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const QString dbf = m_work.filePath(QStringLiteral("Setting.DBF"));
        int highest = 0;
        for (const QJsonValue &v : dbfRecords(dbf))
            highest = qMax(highest, v.toObject().value("C_NUMBER").toInt());
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("write"), QStringLiteral("--serial"),
                              QStringLiteral("next")},
                             60000, QString(), serviceConfig(dir.path()));
        QVERIFY2(r.exit == 0, r.err.constData());
        QFile f(dir.filePath(QStringLiteral("state.json")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(f.readAll()).object().value("serial").toInt(), highest + 1);
        QCOMPARE(dbfRecords(dbf).last().toObject().value("C_NUMBER").toInt(), highest + 1);
    }

    // A wrong access password: exit 4, and nothing after the password frame reaches
    // the meter's memory.
    void writeWithAWrongPassword()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--password"), QStringLiteral("77"),
                              QStringLiteral("write"), QStringLiteral("--indication"), QStringLiteral("3"),
                              QStringLiteral("--billing"), QStringLiteral("7,7")});
        QCOMPARE(r.exit, 4);
        QVERIFY(QString::fromUtf8(r.err).contains(QStringLiteral("Доступ запрещен")));
        QVERIFY(QString::fromUtf8(r.err).contains(QStringLiteral("ничего не записано")));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("state.json"))));
        const Run bad = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("write"), QStringLiteral("--billing"),
                                QStringLiteral("32,0")});
        QCOMPARE(bad.exit, 2);
    }

    // What the mode, the password or the arguments refuse: exit 2 with the reason, and
    // nothing sent, no register created.
    void refusedBeforeSending_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("prefs");
        QTest::addColumn<QString>("message");
        const QStringList none;
        const QStringList master{"Master"};
        QTest::newRow("serial outside service mode") << QStringList{"write", "--serial", "5"} << none << "сервисном режиме";
        QTest::newRow("next serial outside service mode") << QStringList{"write", "--serial", "next"} << none
                                                          << "сервисном режиме";
        QTest::newRow("serial to a numbered meter") << QStringList{"write", "--serial", "5"} << master
                                                    << "уже есть заводской номер 4242";
        QTest::newRow("new password locked") << QStringList{"write", "--new-password", "7"} << QStringList{"NoUser"}
                                             << "NoUser";
        QTest::newRow("password a word") << QStringList{"--password", "abc", "reset-billing"} << none
                                         << "Пароль для доступа";
        QTest::newRow("password above 65535") << QStringList{"--password", "65536", "write", "--indication", "1"}
                                              << master << "Пароль для доступа";
        QTest::newRow("password empty") << QStringList{"--password", "", "reset-billing"} << none << "Пароль для доступа";
        QTest::newRow("unknown option") << QStringList{"write", "--foo"} << none << "Неизвестный параметр: --foo";
        QTest::newRow("old address option") << QStringList{"write", "--address"} << none << "не хватает значения";
        QTest::newRow("meter address after write") << QStringList{"write", "--address", "5"} << none << "--new-address";
        QTest::newRow("spoilage outside SQL mode") << QStringList{"spoilage", "1", "7"} << none
                                                   << "только в производственном режиме";
        QTest::newRow("fix outside SQL mode") << QStringList{"fix"} << none << "только в производственном режиме";
        QTest::newRow("schedule write without a file") << QStringList{"schedule", "write"} << none << "файл расписания";
    }
    void refusedBeforeSending()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, prefs);
        QFETCH(QString, message);
        QTemporaryDir dir;
        Meter meter(dir.path(), {QStringLiteral("--serial"), QStringLiteral("4242")});
        QVERIFY(meter.ready);
        const Run r = runCli(QStringList{"--port", meter.link, "--trace", "--json"} + args, 60000, dir.path(),
                             serviceConfig(dir.path(), prefs));
        QCOMPARE(r.exit, 2);
        QVERIFY2(QString::fromUtf8(r.err).contains(message), r.err.constData());
        QVERIFY(!sentFunctions(r.err).contains(0x14));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Setting.DBF"))));
        const QJsonObject verdict = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(verdict.value("ok"), QJsonValue(false));
        QVERIFY2(verdict.value("error").toString().contains(message), r.out.constData());
    }

    // --menu: the register goes to the folder of the window started from the menu, made
    // when missing; a folder that cannot be made is named, exit 5, the meter not written.
    void menuFolder_data()
    {
        QTest::addColumn<bool>("dataHomeIsAFile");
        QTest::addColumn<int>("exit");
        QTest::newRow("made") << false << 0;
        QTest::newRow("cannot be made") << true << 5;
    }
    void menuFolder()
    {
        QFETCH(bool, dataHomeIsAFile);
        QFETCH(int, exit);
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const QString dataHome = dir.filePath(QStringLiteral("data"));
        if (dataHomeIsAFile)
            QVERIFY(QFile(dataHome).open(QIODevice::WriteOnly));
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));
        const Run r = runCli({"--menu", "--port", meter.link, "--trace", "write", "--indication", "3"}, 60000,
                             dir.path());
        if (saved.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", saved);
        QCOMPARE(r.exit, exit);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Setting.DBF"))));
        QCOMPARE(QFile::exists(dataHome + QStringLiteral("/zelta-kn/Setting.DBF")), exit == 0);
        if (exit != 0) {
            QVERIFY2(QString::fromUtf8(r.err).contains(dataHome + QStringLiteral("/zelta-kn")), r.err.constData());
            QVERIFY(!sentFunctions(r.err).contains(0x14));
        }
    }

    // A register another program holds: the wait is bounded, the file named, exit 5, and the
    // meter is not written.
    void busyRegister()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const QString path = zk::openOrCreateRegister(dir.path()).path();
        const int other = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        QCOMPARE(::flock(other, LOCK_EX), 0);
        const Run r = runCli({"--port", meter.link, "--trace", "write", "--indication", "3"}, 60000, dir.path());
        ::close(other);
        QCOMPARE(r.exit, 5);
        QVERIFY2(QString::fromUtf8(r.err).contains(path) && QString::fromUtf8(r.err).contains(QStringLiteral("занята")),
                 r.err.constData());
        QVERIFY(!sentFunctions(r.err).contains(0x14));
    }

    // A dry run reads the meter and prints the frames a write would send, sending none.
    void dryRun_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("write") << QStringList{"write", "--time", "2024-02-29T13:05:09", "--summer", "on", "--indication", "9"}
                               << QStringList{"14 04 01 00 45 85 пароль", "05 0A 09 05 13 04 29 02 24 80 CB 82 время",
                                              "0E 03 09 D0 F5 индикация"};
        QTest::newRow("reset") << QStringList{"reset-billing"}
                               << QStringList{"14 04 01 00 45 85 пароль", "24 02 9B 71 сброс показаний на расчетный день"};
        QTest::newRow("one tariff") << QStringList{"schedule", "write", "one.json"}
                                    << QStringList{"14 04 01 00 45 85 пароль", "09 02 86 21 тарифное расписание"};
    }
    void dryRun()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        writeJson(dir.path(), "one.json",
                  QJsonObject{{"one_tariff", true}, {"zones", sixZones({"00:00", "06:30", "08:30", "11:30", "17:30", "20:30"})}});
        const Run r = runCli(QStringList{"--port", meter.link, "--trace"} + args + QStringList{"--dry-run"}, 60000,
                             dir.path());
        QVERIFY2(r.exit == 0, r.err.constData());
        QCOMPARE(QString::fromUtf8(r.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts), lines);
        QVERIFY(!sentFunctions(r.err).contains(0x14));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Setting.DBF"))));
        const Run json = runCli(QStringList{"--port", meter.link, "--json"} + args + QStringList{"--dry-run"}, 60000,
                                dir.path());
        const QJsonArray frames = QJsonDocument::fromJson(json.out).object().value("frames").toArray();
        QCOMPARE(frames.size(), lines.size());
        QCOMPARE(frames.first().toObject(), (QJsonObject{{"name", "пароль"}, {"hex", "14 04 01 00 45 85"}}));
    }

    // A write is read back: a value the meter acknowledged and did not keep is a failure
    // (exit 6) that names it, the value written and the value read.
    void writeReadBack_data()
    {
        QTest::addColumn<QString>("fault");     // sent to the meter before the write
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("mismatch");  // "what: written / read", empty for none
        QTest::addColumn<QStringList>("notRead");
        QTest::newRow("kept") << "" << QStringList{"write", "--indication", "5", "--time", "now"} << 0 << ""
                              << QStringList{};
        QTest::newRow("indication not kept") << "forget 1 on=0x0E" << QStringList{"write", "--indication", "5"} << 6
                                             << "индикация: 5 / 15" << QStringList{};
        QTest::newRow("billing not kept") << "forget 1 on=0x23" << QStringList{"write", "--billing", "7,3"} << 6
                                          << "РДЧ: день 7, час 3 / день 1, час 0" << QStringList{};
        QTest::newRow("new password not read back") << "" << QStringList{"write", "--new-password", "7"} << 0 << ""
                                                     << QStringList{"новый пароль"};
        QTest::newRow("holidays not kept") << "forget 1 on=0x27" << QStringList{"schedule", "write", "s.json"} << 6
                                           << "праздники: 9.5, 1.1 / 9.5, 1.1, 3.1, 4.1, 5.1, 7.1, 23.2, 8.3, 1.5, 9.5, 12.6, 4.11"
                                           << QStringList{}; // the table's clearing not kept: the old entries stay
        QTest::newRow("not read back when told") << "forget 1 on=0x0E"
                                                 << QStringList{"write", "--indication", "5", "--no-verify"} << 0 << ""
                                                 << QStringList{};
    }
    void writeReadBack()
    {
        QFETCH(QString, fault);
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        QFETCH(QString, mismatch);
        QFETCH(QStringList, notRead);
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        writeJson(dir.path(), "s.json",
                  QJsonObject{{"one_tariff", false},
                              {"zones", sixZones({"00:00", "06:30", "08:30", "11:30", "17:30", "20:30"})},
                              {"holidays", QJsonArray{QJsonObject{{"day", 9}, {"month", 5}}, QJsonObject{{"day", 1}, {"month", 1}}}}});
        if (!fault.isEmpty()) {
            meter.process.write((QStringLiteral("fault ") + fault + QLatin1Char('\n')).toUtf8());
            QVERIFY(meter.process.waitForBytesWritten(5000));
            QTest::qWait(300); // taken in by the meter's event loop
        }
        const Run r = runCli(QStringList{"--port", meter.link, "--json"} + args, 60000, dir.path());
        QVERIFY2(r.exit == exit, r.err.constData());
        const QJsonObject verdict = QJsonDocument::fromJson(r.out).object();
        const bool verified = !args.contains(QStringLiteral("--no-verify"));
        QCOMPARE(verdict.value("verified"), verified ? QJsonValue(exit == 0) : QJsonValue(QJsonValue::Null));
        QStringList found;
        for (const QJsonValue &m : verdict.value("mismatches").toArray())
            found << m["what"].toString() + ": " + m["written"].toString() + " / " + m["read"].toString();
        QCOMPARE(found, mismatch.isEmpty() ? QStringList{} : QStringList{mismatch});
        QCOMPARE(verdict.value("not_read_back").toVariant().toStringList(), notRead);
    }

    // Setting the clock keeps the meter's summer-time flag unless --summer names one.
    void writeKeepsSummerTime()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const QStringList port{QStringLiteral("--port"), meter.link};
        const QList<std::pair<QString, bool>> steps{{"on", true}, {"", true}, {"off", false}, {"", false}};
        for (const auto &[summer, expected] : steps) {
            const QStringList extra = summer.isEmpty() ? QStringList{} : QStringList{"--summer", summer};
            const Run r = runCli(port + QStringList{"--json", "write", "--time", "now"} + extra);
            QVERIFY2(r.exit == 0, r.err.constData());
            QCOMPARE(QJsonDocument::fromJson(r.out).object().value("acknowledged").toArray(),
                     (QJsonArray{"пароль", "время"}));
            QCOMPARE(stateOf(dir.path()).value("summerTime").toBool(), expected);
        }
    }

    void writeToASilentMeter()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {QStringLiteral("--fault"), QStringLiteral("silent")});
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--timeout"), QStringLiteral("200"),
                              QStringLiteral("write"), QStringLiteral("--indication"), QStringLiteral("3")});
        QCOMPARE(r.exit, 3);
        QVERIFY(!QString::fromUtf8(r.err).contains(QStringLiteral("записаны")));
    }

    // ---- schedule ----

    void scheduleFile_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error"); // what the message names; empty: the file is taken
        const QJsonArray zones = sixZones({"00:00", "06:30", "08:30", "11:30", "17:30", "20:30"});
        const QJsonObject base{{"one_tariff", false}, {"zones", zones}};
        auto doc = [](const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); };
        auto with = [&](const QString &key, const QJsonValue &v) {
            QJsonObject o = base;
            o[key] = v;
            return doc(o);
        };
        auto zoneWith = [&](int z, const QString &key, const QJsonValue &v) {
            QJsonArray a = zones;
            QJsonObject zone = a[z].toObject();
            zone[key] = v;
            a[z] = zone;
            return with("zones", a);
        };
        QJsonArray seventeen;
        for (int i = 1; i <= 17; ++i)
            seventeen.append(QJsonObject{{"day", i}, {"month", 7}});
        QJsonArray seventeenTransfers;
        for (int i = 1; i <= 17; ++i)
            seventeenTransfers.append(QJsonObject{{"date", "2090-01-01"}, {"day_type", 1}});

        QTest::newRow("minimal") << doc(base) << "";
        QTest::newRow("not JSON") << QByteArray("{\"one_tariff\": tru") << "не JSON";
        QTest::newRow("not an object") << QByteArray("[1]") << "JSON-объект";
        QTest::newRow("one_tariff missing") << doc(QJsonObject{{"zones", zones}}) << "\"one_tariff\"";
        QTest::newRow("one_tariff a number") << with("one_tariff", 1) << "\"one_tariff\"";
        QTest::newRow("five zones") << with("zones", sixZones({"00:00", "06:30", "08:30", "11:30", "17:30"})) << "\"zones\"";
        QTest::newRow("tariff 4") << zoneWith(2, "tariff", 4) << "\"zones[2].tariff\"";
        QTest::newRow("tariff 0") << zoneWith(2, "tariff", 0) << "\"zones[2].tariff\"";
        QTest::newRow("tariff as text") << zoneWith(0, "tariff", "2") << "\"zones[0].tariff\"";
        QTest::newRow("tariff 1.5") << zoneWith(0, "tariff", 1.5) << "\"zones[0].tariff\"";
        QTest::newRow("start 24:00") << zoneWith(1, "start", "24:00") << "\"zones[1].start\"";
        QTest::newRow("start 7:00") << zoneWith(1, "start", "7:00") << "\"zones[1].start\"";
        QTest::newRow("start missing") << zoneWith(5, "start", QJsonValue()) << "\"zones[5].start\"";
        QTest::newRow("days 256") << zoneWith(3, "days", 256) << "\"zones[3].days\"";
        QTest::newRow("unknown zone field") << zoneWith(0, "tarif", 1) << "\"zones[0].tarif\"";
        QTest::newRow("unknown field") << with("holiday", QJsonArray()) << "\"holiday\"";
        QTest::newRow("holidays not a list") << with("holidays", 5) << "\"holidays\"";
        QTest::newRow("30 February")
            << with("holidays", QJsonArray{QJsonObject{{"day", 1}, {"month", 1}}, QJsonObject{{"day", 30}, {"month", 2}}})
            << "\"holidays[1].day\"";
        QTest::newRow("month 13") << with("holidays", QJsonArray{QJsonObject{{"day", 1}, {"month", 13}}})
                                  << "\"holidays[0].month\"";
        QTest::newRow("17 holidays") << with("holidays", seventeen) << "\"holidays[16]\"";
        QTest::newRow("date in the locale's format")
            << with("transfers", QJsonArray{QJsonObject{{"date", "08.03.2090"}, {"day_type", 6}}})
            << "\"transfers[0].date\"";
        QTest::newRow("2100") << with("transfers", QJsonArray{QJsonObject{{"date", "2100-01-01"}, {"day_type", 6}}})
                              << "\"transfers[0].date\"";
        QTest::newRow("day type 9") << with("transfers", QJsonArray{QJsonObject{{"date", "2090-01-01"}, {"day_type", 9}}})
                                    << "\"transfers[0].day_type\"";
        QTest::newRow("17 transfers") << with("transfers", seventeenTransfers) << "\"transfers[16]\"";
    }
    void scheduleFile()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        const ScheduleFile f = parseScheduleFile(json);
        QCOMPARE(f.schedule.has_value(), error.isEmpty());
        QVERIFY2(error.isEmpty() ? f.error.isEmpty() : f.error.contains(error), qPrintable(f.error));
    }

    // A file is data: its entries go to the meter as they stand and in its order, a
    // date already past included; what is missing is the window's start state.
    void scheduleFileRules()
    {
        QJsonObject o{{"one_tariff", true}, {"zones", sixZones({"00:00", "06:30", "08:30", "11:30", "17:30", "20:30"})}};
        ScheduleFile f = parseScheduleFile(QJsonDocument(o).toJson());
        QVERIFY(f.schedule);
        QCOMPARE(*f.schedule, TariffSchedule());

        o["holidays"] = QJsonArray{QJsonObject{{"day", 9}, {"month", 5}}, QJsonObject{{"day", 1}, {"month", 1}},
                                   QJsonObject{{"day", 9}, {"month", 5}}, QJsonObject{{"day", 29}, {"month", 2}}};
        o["transfers"] = QJsonArray{QJsonObject{{"date", "2040-03-08"}, {"day_type", 6}},
                                    QJsonObject{{"date", "2031-06-14"}, {"day_type", 2}},
                                    QJsonObject{{"date", "2040-03-08"}, {"day_type", 8}},
                                    QJsonObject{{"date", "2031-06-15"}, {"day_type", 3}}};
        QJsonArray zones = o["zones"].toArray();
        QJsonObject z0 = zones[0].toObject();
        z0["days"] = 0x80;
        zones[0] = z0;
        o["zones"] = zones;
        f = parseScheduleFile(QJsonDocument(o).toJson());
        QVERIFY2(f.schedule, qPrintable(f.error));
        QCOMPARE(f.schedule->holidays, (QList<Holiday>{{5, 9}, {1, 1}, {5, 9}, {2, 29}}));
        QCOMPARE(f.schedule->transfers, (QList<Transfer>{{QDate(2040, 3, 8), 6}, {QDate(2031, 6, 14), 2},
                                                         {QDate(2040, 3, 8), 8}, {QDate(2031, 6, 15), 3}}));
        QCOMPARE(int(f.schedule->zones[0].days), 0x80);
        QCOMPARE(int(f.schedule->zones[1].days), 0xFF);
        o["holidays"] = QJsonArray();
        f = parseScheduleFile(QJsonDocument(o).toJson());
        QVERIFY(f.schedule && f.schedule->holidays.isEmpty());
    }

    void scheduleJsonShape()
    {
        TariffSchedule s;
        s.transfers = {{QDate(2090, 3, 8), 6}};
        const QJsonObject newer = scheduleJson(s, 12);
        QCOMPARE(newer.value("zones").toArray().at(1).toObject(),
                 (QJsonObject{{"tariff", 2}, {"start", "06:30"}, {"days", 255}}));
        QCOMPARE(newer.value("holidays").toArray().size(), 12);
        QCOMPARE(newer.value("transfers").toArray().at(0).toObject(),
                 (QJsonObject{{"date", "2090-03-08"}, {"day_type", 6}}));
        const QJsonObject older = scheduleJson(s, 9);
        QCOMPARE(older.keys(), (QStringList{"one_tariff", "zones"}));
        QCOMPARE(older.value("zones").toArray().at(5).toObject(), (QJsonObject{{"tariff", 2}, {"start", "20:30"}}));
        // What a read prints can be written back as it is.
        const ScheduleFile back = parseScheduleFile(QJsonDocument(newer).toJson());
        QVERIFY2(back.schedule, qPrintable(back.error));
        QCOMPARE(*back.schedule, s);
    }

    void scheduleArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error");
        QTest::newRow("no verb") << QStringList{"schedule"} << "read или write";
        QTest::newRow("unknown verb") << QStringList{"schedule", "erase"} << "read или write";
        QTest::newRow("write without file") << QStringList{"schedule", "write"} << "файл";
        QTest::newRow("read with more") << QStringList{"schedule", "read", "x"} << "Лишние";
    }
    void scheduleArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        const Run r = runCli(QStringList{QStringLiteral("--port"), QStringLiteral("/nonexistent/tty")} + args);
        QCOMPARE(r.exit, 2);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(QString::fromUtf8(r.err).contains(error), r.err.constData());
    }

    // A file that does not parse is refused before the port is touched.
    void scheduleBadFileSendsNothing()
    {
        QTemporaryDir dir;
        const QString file = writeJson(dir.path(), "bad.json", QJsonObject{{"one_tariff", "yes"}});
        const Run r = runCli({QStringLiteral("--port"), QStringLiteral("/nonexistent/tty"), QStringLiteral("schedule"),
                              QStringLiteral("write"), file});
        QCOMPARE(r.exit, 2);
        QVERIFY2(QString::fromUtf8(r.err).contains(QStringLiteral("\"one_tariff\"")), r.err.constData());
        const Run missing = runCli({QStringLiteral("--port"), QStringLiteral("/nonexistent/tty"),
                                    QStringLiteral("schedule"), QStringLiteral("write"), dir.path() + "/none.json"});
        QCOMPARE(missing.exit, 5);
    }

    // Read the meter's schedule, write a changed one, read it back.
    void scheduleReadWrite_data()
    {
        QTest::addColumn<QString>("firmware");
        QTest::newRow("1.12") << "1.12";
        QTest::newRow("1.9") << "1.9";
    }
    void scheduleReadWrite()
    {
        QFETCH(QString, firmware);
        const bool calendars = firmware == QLatin1String("1.12");
        QTemporaryDir dir;
        const QJsonObject odd = oddSchedule();
        Meter meter(dir.path(), {QStringLiteral("--firmware"), firmware}, odd);
        QVERIFY(meter.ready);
        const QStringList port{QStringLiteral("--port"), meter.link};

        Run r = runCli(port + QStringList{"--json", "schedule", "read"});
        QVERIFY2(r.exit == 0, r.err.constData());
        QJsonObject read = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(read, scheduleOfState(stateOf(dir.path()), calendars));
        if (calendars) {
            QCOMPARE(read.value("holidays").toArray().size(), 4);
            QCOMPARE(read.value("holidays").toArray().at(0).toObject(), (QJsonObject{{"day", 9}, {"month", 5}}));
            QCOMPARE(read.value("transfers").toArray().at(1).toObject(),
                     (QJsonObject{{"date", "2090-03-08"}, {"day_type", 8}}));
        }

        // The readable text says the same.
        r = runCli(port + QStringList{"schedule", "read"});
        QCOMPARE(r.exit, 0);
        const QString text = QString::fromUtf8(r.out);
        QVERIFY(text.contains(QStringLiteral("Работа по одному тарифу: нет\n")));
        QVERIFY2(text.contains(calendars ? QStringLiteral("4\t1\t19:45\t+\t+\t+\t+\t+\t+\t+\t+\n")
                                         : QStringLiteral("4\t1\t19:45\n")),
                 qPrintable(text));
        QCOMPARE(text.contains(QStringLiteral("  29 февраль\n")), calendars);

        // Zones, masks and calendars changed; days left out of zone 5 mean all day types.
        // Two zones may start together only where masks exist.
        const QString second = calendars ? QStringLiteral("05:00") : QStringLiteral("05:01");
        QJsonObject changed{{"one_tariff", false},
                            {"zones", sixZones({"00:00", "05:00", second, "13:10", "21:00", "22:30"}, {2, 3, 1, 3, 2, 1})},
                            {"holidays", QJsonArray{QJsonObject{{"day", 8}, {"month", 3}}, QJsonObject{{"day", 2}, {"month", 1}},
                                                    QJsonObject{{"day", 8}, {"month", 3}}}},
                            {"transfers", QJsonArray{QJsonObject{{"date", "2095-11-04"}, {"day_type", 7}},
                                                     QJsonObject{{"date", "2001-05-04"}, {"day_type", 1}}}}};
        QJsonArray zones = changed["zones"].toArray();
        for (int z = 0; z < 5; ++z) {
            QJsonObject zone = zones[z].toObject();
            zone["days"] = z == 2 ? 0x80 : 0x3F;
            zones[z] = zone;
        }
        changed["zones"] = zones;
        const QString file = writeJson(dir.path(), "changed.json", changed);
        r = runCli(port + QStringList{"--trace", "schedule", "write", file});
        QVERIFY2(r.exit == 0, r.err.constData());
        QVERIFY(r.err.contains("Тарифное расписание записано и прочитано обратно."));
        const QList<int> sent = sentFunctions(r.err);
        const int from = int(sent.indexOf(0x14));
        QVERIFY(from >= 0);
        QCOMPARE(sent.mid(from, calendars ? 9 : 2),
                 calendars ? (QList<int>{0x14, 0x09, 0x2F, 0x27, 0x27, 0x27, 0x27, 0x29, 0x29})
                           : (QList<int>{0x14, 0x09}));
        if (!calendars)
            QVERIFY(!sent.contains(0x2F) && !sent.contains(0x27) && !sent.contains(0x29));

        // Read back: what the window would have sent is what the meter holds.
        r = runCli(port + QStringList{"--json", "schedule", "read"});
        QVERIFY2(r.exit == 0, r.err.constData());
        read = QJsonDocument::fromJson(r.out).object();
        const QJsonObject state = stateOf(dir.path());
        QCOMPARE(read, scheduleOfState(state, calendars));
        const QJsonArray readZones = read.value("zones").toArray();
        QCOMPARE(readZones.at(3).toObject().value("start").toString(), QStringLiteral("13:10"));
        QCOMPARE(readZones.at(5).toObject().value("tariff").toInt(), 1);
        if (calendars) {
            QCOMPARE(readZones.at(2).toObject().value("days").toInt(), 0x80);
            QCOMPARE(readZones.at(5).toObject().value("days").toInt(), 0xFF);
            // As the file gave them: its order, a date long past included.
            QCOMPARE(read.value("holidays"), changed.value("holidays"));
            QCOMPARE(read.value("transfers"), changed.value("transfers"));
        } else {
            // Only the zones travelled: the meter's other tables are as they were.
            QCOMPARE(state.value("dayTypes"), odd.value("dayTypes"));
            QCOMPARE(state.value("holidays").toArray().size(), 4);
            QCOMPARE(state.value("transfers").toArray().size(), 2);
        }

        // One tariff: the password and 09 02 only; the read then says so.
        QJsonObject one = changed;
        one["one_tariff"] = true;
        one["zones"] = sixZones({"00:00", "06:30", "08:30", "11:30", "17:30", "20:30"});
        r = runCli(port + QStringList{"--trace", "schedule", "write", writeJson(dir.path(), "one.json", one)});
        QVERIFY2(r.exit == 0, r.err.constData());
        const QList<int> oneSent = sentFunctions(r.err);
        QCOMPARE(oneSent.mid(oneSent.indexOf(0x14), 2), (QList<int>{0x14, 0x09}));
        QVERIFY(!oneSent.contains(0x2F) && !oneSent.contains(0x27) && !oneSent.contains(0x29));
        QVERIFY(r.err.contains("Send 09 02 86 21"));
        QVERIFY(stateOf(dir.path()).value("oneTariff").toBool());
        r = runCli(port + QStringList{"--json", "schedule", "read"});
        QVERIFY(QJsonDocument::fromJson(r.out).object().value("one_tariff").toBool());
    }

    // A schedule that fails a check: its exact message, exit 2, nothing written.
    void scheduleCheckRefused_data()
    {
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<bool>("oneTariff");
        QTest::addColumn<QString>("message");
        QTest::newRow("equal starts, 1.9") << "1.9" << false
                                           << "Ошибка в тарифном расписании. Время в расписании должно нарастать.";
        QTest::newRow("equal starts, one tariff") << "1.12" << true
                                                  << "Ошибка в тарифном расписании. Время в расписании должно нарастать.";
        QTest::newRow("zone 4 without days, 1.12") << "1.12" << false
                                                   << "Ошибка в тарифном расписании. Зона 4не определена.";
    }
    void scheduleCheckRefused()
    {
        QFETCH(QString, firmware);
        QFETCH(bool, oneTariff);
        QFETCH(QString, message);
        QTemporaryDir dir;
        Meter meter(dir.path(), {QStringLiteral("--firmware"), firmware});
        QVERIFY(meter.ready);
        QJsonArray zones = sixZones({"00:00", "06:30", "06:30", "11:30", "17:30", "20:30"});
        QJsonObject z4 = zones[4].toObject();
        z4["days"] = 0;
        zones[4] = z4;
        const QString file = writeJson(dir.path(), "s.json", QJsonObject{{"one_tariff", oneTariff}, {"zones", zones}});
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--trace"),
                              QStringLiteral("schedule"), QStringLiteral("write"), file});
        QCOMPARE(r.exit, 2);
        QVERIFY2(r.err.contains((message + QLatin1Char('\n')).toUtf8()), r.err.constData());
        const QList<int> sent = sentFunctions(r.err);
        QVERIFY(!sent.isEmpty());
        QVERIFY(!sent.contains(0x14) && !sent.contains(0x09));
    }

    // The meter refuses a frame in the middle: exit 4; a read then shows what the
    // meter holds (its holiday table cleared and written only in part).
    void scheduleWriteBrokenOff()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {}, oddSchedule());
        QVERIFY(meter.ready);
        QJsonArray holidays;
        for (int d = 1; d <= 10; ++d)
            holidays.append(QJsonObject{{"day", d}, {"month", 8}});
        const QString file = writeJson(dir.path(), "s.json",
                                       QJsonObject{{"one_tariff", false},
                                                   {"zones", sixZones({"00:00", "06:30", "08:30", "11:30", "17:30", "20:30"})},
                                                   {"holidays", holidays}});
        QProcess cli;
        cli.start(binDir() + QStringLiteral("/zelta-kn-cli"),
                  {QStringLiteral("--port"), meter.link, QStringLiteral("--trace"), QStringLiteral("schedule"),
                   QStringLiteral("write"), file});
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += cli.readAllStandardError()).contains("Send 27 05 02 "), 20000);
        meter.process.write("fault error=4 1\n");
        QVERIFY(meter.process.waitForBytesWritten(5000));
        QVERIFY(cli.waitForFinished(30000));
        err += cli.readAllStandardError();
        QCOMPARE(cli.exitCode(), 4);
        QVERIFY(QString::fromUtf8(err).contains(QStringLiteral("Счетчик отказал")));
        QVERIFY(!err.contains("Тарифное расписание записано"));

        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--json"), QStringLiteral("schedule"),
                              QStringLiteral("read")});
        QVERIFY2(r.exit == 0, r.err.constData());
        const QJsonObject read = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(read, scheduleOfState(stateOf(dir.path()), true));
        const int written = int(read.value("holidays").toArray().size());
        QVERIFY2(written >= 2 && written < 10, qPrintable(QString::number(written)));
        QCOMPARE(read.value("holidays").toArray().at(0).toObject(), (QJsonObject{{"day", 1}, {"month", 8}}));
        // The transfer table was never reached.
        QCOMPARE(read.value("transfers").toArray().size(), 2);
    }

    // SQL mode (the marker file): the bench identified first, a write recorded in the
    // production database, a defect registered, and the next write refused before
    // anything reaches the meter.
    void productionMode()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const QString work = dir.filePath(QStringLiteral("bench"));
        const QString config = dir.filePath(QStringLiteral("config"));
        QVERIFY(makeProductionBench(work, config));
        const QString dbPath = dir.filePath(QStringLiteral("production.sqlite"));
        {
            QSettings store(config + QStringLiteral("/Kalvimet/Zelta-KN.conf"), QSettings::IniFormat);
            makeDemoDatabase(dbPath, store);
        }
        QString address = QStringLiteral("0");
        auto cli = [&](const QStringList &args) {
            return runCli(QStringList{QStringLiteral("--port"), meter.link, QStringLiteral("--address"), address} + args,
                          60000, work, config);
        };
        const Run info = cli({QStringLiteral("--json"), QStringLiteral("info")});
        QVERIFY2(info.exit == 0, info.err.constData());
        QVERIFY(QJsonDocument::fromJson(info.out).object().contains(QStringLiteral("drift")));

        const Run write = cli({QStringLiteral("write"), QStringLiteral("--serial"), QStringLiteral("1001"),
                               QStringLiteral("--indication"), QStringLiteral("3")});
        QVERIFY2(write.exit == 0, write.err.constData());
        QVERIFY(!QFile::exists(work + QStringLiteral("/Setting.DBF"))); // not the local register
        // As the window's defaults do, the number gave the meter its address, 1001 mod 100.
        QCOMPARE(stateOf(dir.path()).value("address").toInt(), 1);
        address = QStringLiteral("1");

        QCOMPARE(cli({QStringLiteral("spoilage"), QStringLiteral("1001"), QStringLiteral("   ")}).exit, 2);
        const Run defect = cli({QStringLiteral("spoilage"), QStringLiteral("1001"), QStringLiteral(" 17 ")});
        QVERIFY2(defect.exit == 0, defect.err.constData());
        // The readings fixed as "Зафиксировать в БД" fixes them, under repair too.
        const Run fix = cli({QStringLiteral("--json"), QStringLiteral("fix")});
        QVERIFY2(fix.exit == 0, fix.err.constData());
        QCOMPARE(QJsonDocument::fromJson(fix.out).object().value("ok"), QJsonValue(true));
        const Run refused = cli({QStringLiteral("write"), QStringLiteral("--indication"), QStringLiteral("4")});
        QCOMPARE(refused.exit, 4);
        QVERIFY(QString::fromUtf8(refused.err).contains(QStringLiteral("Прибор в ремонте.")));
        meter.process.write("state\n");
        QFile state(dir.filePath(QStringLiteral("state.json")));
        QVERIFY(state.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(state.readAll()).object().value("indication").toInt(), 3);

        {
            QSettings st(config + QStringLiteral("/Kalvimet/Zelta-KN.conf"), QSettings::IniFormat);
            zk::ProductionDatabase db(zk::readConnectionSettings(st), QStringLiteral("cli-check"));
            db.open();
            QSqlQuery q = db.exec(QStringLiteral("SELECT COUNT(*) FROM set_zelta_kn WHERE indicator = 3"));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toInt(), 1);
            q = db.exec(QStringLiteral("SELECT COUNT(*) FROM set_zelta_kn WHERE indicator IS NULL AND t_1_c > 0"));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toInt(), 1);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("cli-check"));

        // A database without this bench: the computer's message, exit 5, nothing sent.
        {
            QSettings store(config + QStringLiteral("/Kalvimet/Zelta-KN.conf"), QSettings::IniFormat);
            store.remove(QStringLiteral("Electrometer"));
            store.setValue(QStringLiteral("Electrometer/Driver"), QStringLiteral("QSQLITE"));
            store.setValue(QStringLiteral("Electrometer/DatabaseName"), dir.filePath(QStringLiteral("empty.sqlite")));
            store.sync();
            zk::ProductionDatabase db(zk::readConnectionSettings(store), QStringLiteral("cli-empty"));
            db.open();
            runProductionScript(db, productionSqlFile(QStringLiteral("sqlite.sql")));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("cli-empty"));
        const Run unknown = cli({QStringLiteral("write"), QStringLiteral("--indication"), QStringLiteral("5")});
        QCOMPARE(unknown.exit, 5);
        QVERIFY(QString::fromUtf8(unknown.err).contains(QStringLiteral("Компьютер \"")));
        meter.process.write("state\n");
        QVERIFY(state.seek(0));
        QCOMPARE(QJsonDocument::fromJson(state.readAll()).object().value("indication").toInt(), 3);
    }

    // SQL mode and the serial numbers: a number that already has a setting operation is not
    // sent (exit 4, the number in the message, the meter untouched); `--serial next` takes
    // the next number that has none, and says so when there is none (exit 5); a defect
    // code longer than its column is refused before anything is done (exit 2).
    void productionNumbers()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const QString work = dir.filePath(QStringLiteral("bench"));
        const QString config = dir.filePath(QStringLiteral("config"));
        QVERIFY(makeProductionBench(work, config));
        const QString prefs = config + QStringLiteral("/Kalvimet/Zelta-KN.conf");
        {
            QSettings store(prefs, QSettings::IniFormat);
            makeDemoDatabase(dir.filePath(QStringLiteral("production.sqlite")), store);
        }
        auto database = [&](const std::function<void(zk::ProductionDatabase &, const zk::BenchIdentity &)> &use) {
            {
                QSettings st(prefs, QSettings::IniFormat);
                zk::ProductionDatabase db(zk::readConnectionSettings(st), QStringLiteral("cli-numbers"));
                const zk::Identification id = db.identify(zk::localComputerName(), zk::localLogin());
                use(db, id.identity);
            }
            QSqlDatabase::removeDatabase(QStringLiteral("cli-numbers"));
        };
        // Another bench wrote 1002 into another meter.
        const auto recordNumber = [&](int serial) {
            database([serial](zk::ProductionDatabase &db, const zk::BenchIdentity &bench) {
                zk::SettingsWrite w;
                w.serial = serial;
                zk::ReadoutForRecord r;
                r.serial = serial;
                const zk::RecordResult result = db.recordWrite(bench, zk::buildProductionRecord(w, r, QString()));
                if (!result.recorded())
                    qFatal("not recorded: %s", qPrintable(result.message));
            });
        };
        recordNumber(1002);
        QString address = QStringLiteral("0");
        auto cli = [&](const QStringList &args) {
            return runCli(QStringList{QStringLiteral("--port"), meter.link, QStringLiteral("--address"), address} + args,
                          60000, work, config);
        };
        // The meter's memory as its state file keeps it (no file: nothing written yet).
        const auto meterSerial = [&] { return stateOf(dir.path()).value("serial").toInt(0); };

        const Run taken = cli({QStringLiteral("write"), QStringLiteral("--serial"), QStringLiteral("1002")});
        QCOMPARE(taken.exit, 4);
        QVERIFY2(QString::fromUtf8(taken.err).contains(QStringLiteral("Номер 1002 уже записан в другой счетчик.")),
                 taken.err.constData());
        QCOMPARE(meterSerial(), 0);

        // 1001 is the smallest unconfigured: from 1002 on, 1002 is taken, 1003 is next.
        const Run next = cli({QStringLiteral("write"), QStringLiteral("--serial"), QStringLiteral("next")});
        QVERIFY2(next.exit == 0, next.err.constData());
        QTRY_COMPARE_WITH_TIMEOUT(meterSerial(), 1003, 5000);
        address = QStringLiteral("3");

        // Nothing free from 1002 on: said, nothing sent.
        recordNumber(1004);
        recordNumber(1005);
        const Run none = cli({QStringLiteral("--json"), QStringLiteral("write"), QStringLiteral("--serial"), QStringLiteral("next")});
        QCOMPARE(none.exit, 5);
        QCOMPARE(QJsonDocument::fromJson(none.out).object().value("error").toString(),
                 QStringLiteral("Свободного номера нет: у каждого номера счетчика в БД от 1002 и выше уже есть "
                                "операция установки."));

        const Run longCode = cli({QStringLiteral("spoilage"), QStringLiteral("1003"), QString(65, QLatin1Char('7'))});
        QCOMPARE(longCode.exit, 2);
        QVERIFY2(QString::fromUtf8(longCode.err).contains(QStringLiteral("Код брака длиннее 64 знаков: 65")),
                 longCode.err.constData());
        const Run fits = cli({QStringLiteral("spoilage"), QStringLiteral("1003"), QString(64, QLatin1Char('7'))});
        QVERIFY2(fits.exit == 0, fits.err.constData());
        database([](zk::ProductionDatabase &db, const zk::BenchIdentity &) {
            QSqlQuery q = db.exec(QStringLiteral("SELECT code FROM spoilage"));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toString(), QString(64, QLatin1Char('7')));
        });
    }

    // The preferences file holds the database password: a file others may read is named on
    // stderr with the command that mends it; one only its owner reads is not.
    void preferencesReadableByOthers()
    {
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("config"));
        const QString prefs = config + QStringLiteral("/Kalvimet/Zelta-KN.conf");
        {
            QSettings store(prefs, QSettings::IniFormat);
            store.setValue(QStringLiteral("Electrometer/UserName"), QStringLiteral("bench"));
            store.sync();
        }
        QVERIFY(QFile::setPermissions(prefs, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                                 | QFileDevice::ReadOther));
        const QString warning = QStringLiteral("chmod 600 %1").arg(prefs);
        // No password in it: nothing to say.
        Run r = runCli({QStringLiteral("status"), QStringLiteral("0x4F")}, 60000, dir.path(), config);
        QCOMPARE(r.exit, 0);
        QVERIFY2(!r.err.contains("chmod"), r.err.constData());
        {
            QSettings store(prefs, QSettings::IniFormat);
            store.setValue(QStringLiteral("Electrometer/Password"), QStringLiteral("secret"));
        }
        r = runCli({QStringLiteral("status"), QStringLiteral("0x4F")}, 60000, dir.path(), config);
        QCOMPARE(r.exit, 0);
        QVERIFY2(QString::fromUtf8(r.err).contains(warning), r.err.constData());
        QVERIFY2(QString::fromUtf8(r.err).contains(QStringLiteral("хранит пароль базы данных")), r.err.constData());
        QCOMPARE(QString::fromUtf8(r.err).count(QLatin1Char('\n')), 1); // one line
        QVERIFY(QFile::setPermissions(prefs, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        r = runCli({QStringLiteral("status"), QStringLiteral("0x4F")}, 60000, dir.path(), config);
        QCOMPARE(r.exit, 0);
        QVERIFY2(r.err.isEmpty(), r.err.constData());
    }

    // A database server that accepts the connection and then says nothing: the command line
    // gives up after ConnectTimeout with the server named, instead of hanging.
    void silentDatabaseServer()
    {
        if (qEnvironmentVariableIsEmpty("ZK_PG_HOST"))
            QSKIP("needs the PostgreSQL server of scripts/pgtest (ZK_PG_HOST)");
        QTemporaryDir dir;
        const QString work = dir.filePath(QStringLiteral("bench"));
        const QString config = dir.filePath(QStringLiteral("config"));
        QVERIFY(QDir().mkpath(work));
        QFile marker(work + QStringLiteral("/SettingSql.kvm"));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.close();
        QProcess relay;
        relay.start(QStringLiteral("python3"), {qEnvironmentVariable("ZK_SOURCE_DIR") + QStringLiteral("/tests/cutproxy.py"),
                                                qEnvironmentVariable("ZK_PG_HOST"), qEnvironmentVariable("ZK_PG_PORT"),
                                                QStringLiteral("no pattern")});
        QVERIFY(relay.waitForStarted(5000) && relay.waitForReadyRead(5000));
        const int port = QString::fromUtf8(relay.readLine()).trimmed().mid(5).toInt();
        QVERIFY(port > 0);
        relay.write("silent\n");
        QVERIFY(relay.waitForReadyRead(5000));
        {
            QSettings store(config + QStringLiteral("/Kalvimet/Zelta-KN.conf"), QSettings::IniFormat);
            store.setValue(QStringLiteral("Electrometer/Driver"), QStringLiteral("QPSQL"));
            store.setValue(QStringLiteral("Electrometer/HostName"), QStringLiteral("127.0.0.1"));
            store.setValue(QStringLiteral("Electrometer/Port"), port);
            store.setValue(QStringLiteral("Electrometer/DatabaseName"), qEnvironmentVariable("ZK_PG_DB"));
            store.setValue(QStringLiteral("Electrometer/ConnectTimeout"), 2);
        }
        QElapsedTimer waited;
        waited.start();
        const Run r = runCli({QStringLiteral("spoilage"), QStringLiteral("1001"), QStringLiteral("7")}, 30000, work, config);
        QVERIFY2(waited.elapsed() < 15000, qPrintable(QString::number(waited.elapsed())));
        QCOMPARE(r.exit, 5);
        QVERIFY2(QString::fromUtf8(r.err).contains(QStringLiteral("База данных не ответила за 2 с при соединении (сервер 127.0.0.1:%1)")
                                                      .arg(port)),
                 r.err.constData());
        relay.closeWriteChannel();
        if (!relay.waitForFinished(5000))
            relay.kill();
    }

    void portMissing()
    {
        const Run r = runCli({QStringLiteral("--port"), QStringLiteral("/nonexistent/tty"), QStringLiteral("info")});
        QCOMPARE(r.exit, 3);
        QVERIFY(QString::fromUtf8(r.err).contains(QStringLiteral("/nonexistent/tty")));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
