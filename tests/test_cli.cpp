// zelta-kn-cli: its argument parser, and the real executable against the virtual
// meter over a pseudo-terminal: every value of the meter's memory shows, the address
// search finds a meter at address 3, a silent meter gives exit 3, both journals read
// and one broken off in the middle.

#include "cli/options.h"
#include "tests/testxls.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace zk::cli;

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

Run runCli(const QStringList &args, int timeoutMs = 60000)
{
    QProcess p;
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

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
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
        state[QStringLiteral("serial")] = 131071;
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
        QCOMPARE(o.value("serial").toInt(), 131071);
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
        QVERIFY(t.contains(QStringLiteral("Заводской № : 131071\n")));
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

    void noAnswer_data()
    {
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QString>("command");
        QTest::newRow("not acknowledged") << QStringList{"--fault", "noack"} << "info";
        QTest::newRow("acknowledged, never answered") << QStringList{"--fault", "silent"} << "info";
        QTest::newRow("another address") << QStringList{"--address", "7"} << "info";
    }
    void noAnswer()
    {
        QFETCH(QStringList, extra);
        QFETCH(QString, command);
        QTemporaryDir dir;
        Meter meter(dir.path(), extra);
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--timeout"), QStringLiteral("200"),
                              command});
        QCOMPARE(r.exit, 3);
        QVERIFY(r.out.isEmpty());
        QVERIFY(QString::fromUtf8(r.err).contains(QStringLiteral("не отвечает")));
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
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        QProcess cli;
        cli.start(binDir() + QStringLiteral("/zelta-kn-cli"),
                  {QStringLiteral("--port"), meter.link, QStringLiteral("--timeout"), QStringLiteral("200"),
                   QStringLiteral("--trace"), QStringLiteral("journal"), QStringLiteral("consumption")});
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

    void journalWorkbookCannotBeWritten()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("journal"), QStringLiteral("annual"),
                              QStringLiteral("--xls"), dir.path()}); // a folder
        QCOMPARE(r.exit, 5);
        QVERIFY(QString::fromUtf8(r.err).contains(QStringLiteral("Файл не может быть создан")));
        QVERIFY(QFileInfo(dir.path()).isDir());
    }

    // Every option of write lands in the meter's memory; frames after --address go
    // to the new address.
    void writeEverything()
    {
        QTemporaryDir dir;
        Meter meter(dir.path(), {});
        QVERIFY(meter.ready);
        const Run r = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("write"), QStringLiteral("--time"),
                              QStringLiteral("2024-02-29T13:05:09"), QStringLiteral("--summer"), QStringLiteral("--address"),
                              QStringLiteral("200"), QStringLiteral("--ddm"), QStringLiteral("1193046,2,3"),
                              QStringLiteral("--indication"), QStringLiteral("9"), QStringLiteral("--billing"),
                              QStringLiteral("25,0"), QStringLiteral("--serial"), QStringLiteral("100000"),
                              QStringLiteral("--correction"), QStringLiteral("-7"), QStringLiteral("--new-password"),
                              QStringLiteral("4321")});
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
        QVERIFY(o.value("clock").toString().startsWith(QStringLiteral("2024-02-29T13:0")));
        QCOMPARE(o.value("correction").toInt(), -7);
        const Run reset = runCli({QStringLiteral("--port"), meter.link, QStringLiteral("--address"), QStringLiteral("200"),
                                  QStringLiteral("--password"), QStringLiteral("4321"), QStringLiteral("reset-billing")});
        QVERIFY2(reset.exit == 0, reset.err.constData());
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

    void portMissing()
    {
        const Run r = runCli({QStringLiteral("--port"), QStringLiteral("/nonexistent/tty"), QStringLiteral("info")});
        QCOMPARE(r.exit, 3);
        QVERIFY(QString::fromUtf8(r.err).contains(QStringLiteral("/nonexistent/tty")));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
