// zelta-kn-sim: a ЗЕЛТА-КН meter on a pseudo-terminal.
//
// Prints "ready PATH" on stdout once it listens at PATH; everything else (trace,
// answers to commands, warnings) goes to stderr. Commands on stdin, one a line:
//   fault KIND[=VALUE] [COUNT] [on=FUNCTION]   inject a fault (see --help)
//   fault off                    stop injecting
//   fault                        show the fault in force
//   state                        print the meter's memory as JSON
//   line                         "line idle", or "line busy N" while N reply bytes wait
//   quit                         leave as on SIGTERM
// SIGTERM and SIGINT save the state (with --state), remove the link and exit 0.

#include "sim/metermodel.h"
#include "sim/meterprotocol.h"
#include "sim/ptytransport.h"
#include "core/commandline.h"
#include "core/version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTime>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace zk::sim;

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    const ssize_t n = ::write(g_signalPipe[1], &c, 1);
    (void)n;
}

void say(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

bool loadState(const QString &path, MeterState *state, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isObject()) {
        *error = QStringLiteral("%1 is not a JSON object: %2").arg(path, parseError.errorString());
        return false;
    }
    return state->loadJson(doc.object(), error);
}

bool saveState(const QString &path, const MeterState &state)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(state.toJson()).toJson());
    return file.commit();
}

bool parseUInt(const QString &text, quint64 max, quint64 *out)
{
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, 0);
    if (!ok || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QCommandLineOption linkOpt(QStringLiteral("link"), QStringLiteral("символическая ссылка на терминал (/tmp/zelta-kn-meter)"),
                                     QStringLiteral("ПУТЬ"), QStringLiteral("/tmp/zelta-kn-meter"));
    const QCommandLineOption addressOpt(QStringLiteral("address"), QStringLiteral("адрес счетчика 0..255 (1)"),
                                        QStringLiteral("N"));
    const QCommandLineOption serialOpt(QStringLiteral("serial"), QStringLiteral("заводской номер 0..131071 (0)"),
                                       QStringLiteral("N"));
    const QCommandLineOption firmwareOpt(QStringLiteral("firmware"),
                                         QStringLiteral("версия ПО (1.12); до x.10 без календарей"),
                                         QStringLiteral("СТАРШАЯ.МЛАДШАЯ"), QStringLiteral("1.12"));
    const QCommandLineOption passwordOpt(QStringLiteral("password"),
                                         QStringLiteral("пароль для доступа 0..65535 (%1)").arg(kFactoryPassword),
                                         QStringLiteral("N"));
    const QCommandLineOption statusOpt(QStringLiteral("status"),
                                       QStringLiteral("биты статуса сверх тех, что дают незаданные номера DDM (0)"),
                                       QStringLiteral("N"));
    const QCommandLineOption stateOpt(QStringLiteral("state"),
                                      QStringLiteral("память счетчика в JSON: читается при запуске,\n"
                                                     "сохраняется после каждой принятой записи"),
                                      QStringLiteral("ФАЙЛ"));
    const QCommandLineOption turnaroundOpt(QStringLiteral("turnaround"), QStringLiteral("пауза перед каждым ответом, мс (10)"),
                                           QStringLiteral("МС"), QStringLiteral("10"));
    const QCommandLineOption sessionOpt(QStringLiteral("session-timeout"),
                                        QStringLiteral("секунды без обмена, после которых сеанс кончается (60)"),
                                        QStringLiteral("С"), QStringLiteral("60"));
    const QCommandLineOption faultOpt(QStringLiteral("fault"), QStringLiteral("неисправность с самого начала: ВИД[=ЗНАЧЕНИЕ]"),
                                      QStringLiteral("ВИД"));
    const QCommandLineOption faultCountOpt(QStringLiteral("fault-count"),
                                           QStringLiteral("сколько обменов затрагивает --fault (все)"), QStringLiteral("N"));
    const QCommandLineOption forceAddressOpt(
        QStringLiteral("force-address"),
        QStringLiteral("счетчик отвечает по --address, даже если в файле состояния другой"));
    const QCommandLineOption paceOpt(
        QStringLiteral("pace-input"),
        QStringLiteral("принимать каждый байт лишь через время его передачи на скорости линии"));
    const QCommandLineOption traceOpt(QStringLiteral("trace"),
                                      QStringLiteral("каждый байт в stderr с девятым битом (M/S) и временем"));
    const QCommandLineOption alsoOpt(
        QStringLiteral("also"),
        QStringLiteral("еще один счетчик на той же линии с адресом АДРЕС и заводским номером\n"
                       "НОМЕР (0); можно повторять. Та же версия ПО и пароль; его память\n"
                       "не сохраняется, неисправности его не касаются"),
        QStringLiteral("АДРЕС[:НОМЕР]"));
    const QCommandLineOption versionOpt(QStringLiteral("version"), QStringLiteral("версия программы"));
    const QCommandLineOption helpOpt(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                     QStringLiteral("эта справка"));
    const QList<QCommandLineOption> options{linkOpt,   addressOpt,    serialOpt,       firmwareOpt, passwordOpt,
                                            statusOpt, stateOpt,      turnaroundOpt,   sessionOpt,  faultOpt,
                                            faultCountOpt, forceAddressOpt, paceOpt,  traceOpt,    alsoOpt,
                                            versionOpt, helpOpt};
    QCommandLineParser parser;
    parser.addOptions(options);
    const QStringList arguments = app.arguments().mid(1);
    if (!parser.parse(QStringList{QStringLiteral("zelta-kn-sim")} + arguments)) {
        say(QStringLiteral("zelta-kn-sim: %1 (zelta-kn-sim --help)").arg(zk::commandLineError(parser, arguments)));
        return 2;
    }
    if (parser.isSet(versionOpt)) {
        std::printf("zelta-kn-sim %s\n", ZK_VERSION);
        return 0;
    }
    if (parser.isSet(helpOpt)) {
        const QString help = QStringLiteral(
            "Использование: zelta-kn-sim [ПАРАМЕТРЫ]\n"
            "Виртуальный счетчик ЗЕЛТА-КН на псевдотерминале. Выводит в stdout одну строку\n"
            "\"ready ПУТЬ\", когда готов; остальное - в stderr.\n"
            "\n"
            "Команды в stdin, по одной в строке:\n"
            "  fault ВИД[=ЗНАЧЕНИЕ] [ЧИСЛО] [on=ФУНКЦИЯ]   неисправность (ЧИСЛО обменов, только на\n"
            "                                             запросы с кодом ФУНКЦИЯ)\n"
            "  fault off | fault | state | line | quit    снять неисправность | какая действует |\n"
            "                                             память в JSON | занята ли линия | выход\n"
            "Виды неисправностей: noack, delay[=МС] (2000), badcrc, extra[=БАЙТ] (0), error[=КОД] (4),\n"
            "  split[=ПАУЗА_МС] (50), wrongfn[=КОД] (код запроса с инвертированным битом 0), silent,\n"
            "  noise[=БАЙТОВ] (4), vanish, forget, echo\n"
            "\n"
            "Параметры:\n")
            + zk::optionsHelp(options);
        std::fputs(qPrintable(help), stdout);
        return 0;
    }

    const auto fail = [](const QString &text) {
        say(QStringLiteral("zelta-kn-sim: ") + text);
        return 2;
    };

    // A fresh meter from the options; a state file, when present, is the meter's memory
    // and wins over them.
    MeterState state;
    quint64 v = 0;
    if (parser.isSet(addressOpt)) {
        if (!parseUInt(parser.value(addressOpt), 255, &v))
            return fail(QStringLiteral("--address must be 0..255"));
        state.address = quint8(v);
    }
    if (parser.isSet(serialOpt)) {
        if (!parseUInt(parser.value(serialOpt), kSerialMask, &v))
            return fail(QStringLiteral("--serial must be 0..131071"));
        state.serial = quint32(v);
    }
    if (parser.isSet(passwordOpt)) {
        if (!parseUInt(parser.value(passwordOpt), 65535, &v))
            return fail(QStringLiteral("--password must be 0..65535"));
        state.password = quint16(v);
    }
    if (parser.isSet(statusOpt)) {
        if (!parseUInt(parser.value(statusOpt), 255, &v))
            return fail(QStringLiteral("--status must be 0..255"));
        state.statusExtra = quint8(v);
    }
    const QString statePath = parser.value(stateOpt);
    if (!statePath.isEmpty() && QFile::exists(statePath)) {
        QString error;
        if (!loadState(statePath, &state, &error))
            return fail(error);
        if (parser.isSet(forceAddressOpt) && parser.isSet(addressOpt))
            state.address = quint8(parser.value(addressOpt).toUInt()); // checked above
    }
    if (parser.isSet(forceAddressOpt) && !parser.isSet(addressOpt))
        return fail(QStringLiteral("--force-address needs --address"));

    const QStringList fw = parser.value(firmwareOpt).split(QLatin1Char('.'));
    quint64 major = 0, minor = 0;
    if (fw.size() != 2 || !parseUInt(fw.at(0), 99, &major) || !parseUInt(fw.at(1), 99, &minor))
        return fail(QStringLiteral("--firmware must be MAJOR.MINOR, each 0..99"));
    quint64 turnaround = 0, sessionSeconds = 0;
    if (!parseUInt(parser.value(turnaroundOpt), 60000, &turnaround))
        return fail(QStringLiteral("--turnaround must be 0..60000"));
    if (!parseUInt(parser.value(sessionOpt), 86400, &sessionSeconds) || sessionSeconds == 0)
        return fail(QStringLiteral("--session-timeout must be 1..86400"));

    QList<MeterState> others;
    for (const QString &text : parser.values(alsoOpt)) {
        MeterState other = state;
        quint64 address = 0, serial = 0;
        if (!parseUInt(text.section(QLatin1Char(':'), 0, 0), 255, &address)
            || (text.contains(QLatin1Char(':')) && !parseUInt(text.section(QLatin1Char(':'), 1), kSerialMask, &serial)))
            return fail(QStringLiteral("--also must be ADDRESS[:SERIAL], 0..255 and 0..131071"));
        if (int(address) == state.address || std::any_of(others.cbegin(), others.cend(), [&](const MeterState &o) {
                return o.address == address;
            }))
            return fail(QStringLiteral("--also %1: that address is taken on the line").arg(address));
        other.address = quint8(address);
        other.serial = quint32(serial);
        others.append(other);
    }

    Fault startFault;
    if (parser.isSet(faultOpt)) {
        QString text = parser.value(faultOpt);
        if (parser.isSet(faultCountOpt))
            text += QLatin1Char(' ') + parser.value(faultCountOpt);
        QString error;
        const auto f = parseFault(text, &error);
        if (!f)
            return fail(QStringLiteral("--fault: ") + error);
        startFault = *f;
    }

    SystemClock clock;
    MeterModel model(clock, state);
    model.setFirmware(int(major), int(minor));
    MeterProtocol protocol(model, clock);
    protocol.setSessionTimeoutMs(qint64(sessionSeconds) * 1000);
    protocol.setFault(startFault);

    const bool tracing = parser.isSet(traceOpt);
    const auto traceLine = [](const QString &text) { say(text); };
    if (tracing)
        protocol.setEventHook([](const QString &text) {
            say(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz ")) + QStringLiteral("-- ") + text);
        });
    const auto save = [&]() {
        if (!statePath.isEmpty() && !saveState(statePath, model.state()))
            say(QStringLiteral("zelta-kn-sim: cannot write %1").arg(statePath));
    };
    protocol.setStoredHook(save);

    PtyTransport transport(protocol);
    std::deque<MeterModel> otherModels;
    std::deque<MeterProtocol> otherProtocols;
    for (const MeterState &other : others) {
        otherModels.emplace_back(clock, other);
        otherModels.back().setFirmware(int(major), int(minor));
        otherProtocols.emplace_back(otherModels.back(), clock);
        otherProtocols.back().setSessionTimeoutMs(qint64(sessionSeconds) * 1000);
        transport.addMeter(otherProtocols.back());
    }
    transport.setTurnaroundMs(int(turnaround));
    transport.setPaceInput(parser.isSet(paceOpt));
    if (tracing)
        transport.setTrace(traceLine);
    QString error;
    if (!transport.open(parser.value(linkOpt), &error))
        return fail(error);

    if (::pipe(g_signalPipe) != 0)
        return fail(QStringLiteral("cannot create a pipe"));
    fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Started in the background of an interactive shell, reading stdin must not stop
    // the meter: the read fails instead and commands are no longer read.
    std::signal(SIGTTIN, SIG_IGN);

    std::printf("ready %s\n", QFile::encodeName(transport.linkPath()).constData());
    std::fflush(stdout);

    bool stdinOpen = true;
    QByteArray stdinBuffer;
    bool running = true;
    while (running) {
        QList<int> watch{g_signalPipe[0]};
        if (stdinOpen)
            watch.append(STDIN_FILENO);
        const QList<int> readable = transport.step(1000, watch);
        if (readable.contains(g_signalPipe[0]))
            running = false;
        if (!readable.contains(STDIN_FILENO))
            continue;
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            stdinOpen = false; // no more commands; the meter runs on
            continue;
        }
        stdinBuffer.append(buffer, int(n));
        int newline;
        while ((newline = stdinBuffer.indexOf('\n')) >= 0) {
            const QString line = QString::fromLocal8Bit(stdinBuffer.left(newline)).simplified();
            stdinBuffer.remove(0, newline + 1);
            if (line.isEmpty())
                continue;
            const QString command = line.section(QLatin1Char(' '), 0, 0);
            const QString rest = line.section(QLatin1Char(' '), 1);
            if (command == QLatin1String("fault")) {
                if (rest.isEmpty()) {
                    say(QStringLiteral("fault ") + describeFault(protocol.fault()));
                    continue;
                }
                QString faultError;
                const auto f = parseFault(rest, &faultError);
                if (!f) {
                    say(QStringLiteral("error: ") + faultError);
                    continue;
                }
                protocol.setFault(*f);
                say(QStringLiteral("fault ") + describeFault(*f));
            } else if (command == QLatin1String("state")) {
                model.advance();
                say(QString::fromUtf8(QJsonDocument(model.state().toJson()).toJson(QJsonDocument::Compact)));
            } else if (command == QLatin1String("line")) {
                const int pending = transport.pendingBytes();
                say(pending == 0 ? QStringLiteral("line idle") : QStringLiteral("line busy %1").arg(pending));
            } else if (command == QLatin1String("quit")) {
                running = false;
            } else {
                say(QStringLiteral("error: unknown command \"%1\" (fault, state, line, quit)").arg(command));
            }
        }
    }

    model.advance();
    save();
    transport.close();
    return 0;
}
