#include "app/displaycheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace zk {

namespace {

const char *const Advice = "окну нужен графический сеанс или ssh -X; без окна работает zelta-kn-cli";

// How long a display's socket or port may take to accept a connection.
constexpr int ConnectMs = 3000;

bool accepts(int family, const sockaddr *address, socklen_t length)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    bool ok = ::connect(fd, address, length) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        ok = ::poll(&p, 1, ConnectMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0
            && error == 0;
    }
    ::close(fd);
    return ok;
}

// A local socket at `path`, or in the abstract namespace under that name.
bool acceptsLocal(const QByteArray &path, bool abstract)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::size_t skip = abstract ? 1 : 0;
    if (path.isEmpty() || skip + std::size_t(path.size()) >= sizeof a.sun_path)
        return false;
    std::memcpy(a.sun_path + skip, path.constData(), std::size_t(path.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + skip + std::size_t(path.size()) + (abstract ? 0 : 1));
    return accepts(AF_UNIX, reinterpret_cast<const sockaddr *>(&a), length);
}

QString socketProblem(const QString &shown, const QString &path)
{
    return QFileInfo::exists(path) ? QStringLiteral("%1 не отвечает: сокет %2 не принимает соединений").arg(shown, path)
                                   : QStringLiteral("%1 не отвечает: нет сокета %2").arg(shown, path);
}

// An X display "[PROTOCOL/][HOST]:NUMBER[.SCREEN]": a local socket without a host (or
// with "unix"), TCP port 6000 + NUMBER on the host otherwise (ssh -X forwards so).
QString x11Problem(const QString &name)
{
    const QString shown = QStringLiteral("DISPLAY=") + name;
    static const QRegularExpression form(QStringLiteral("^(?:([a-z0-9]+)/)?(.*):(\\d{1,4})(?:\\.\\d+)?$"));
    const QRegularExpressionMatch m = form.match(name);
    if (!m.hasMatch())
        return shown + QStringLiteral(": не адрес дисплея X ([ХОСТ]:НОМЕР)");
    const QString protocol = m.captured(1);
    QString host = m.captured(2);
    const int number = m.captured(3).toInt();
    if (host.isEmpty() || host == QLatin1String("unix") || protocol == QLatin1String("unix")
        || host.startsWith(QLatin1Char('/'))) {
        const QString path = host.startsWith(QLatin1Char('/'))
            ? host + QLatin1Char(':') + m.captured(3)
            : QStringLiteral("/tmp/.X11-unix/X") + m.captured(3);
        const QByteArray file = QFile::encodeName(path);
        if (acceptsLocal(file, true) || acceptsLocal(file, false))
            return QString();
        return socketProblem(shown, path);
    }
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const int port = 6000 + number;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *list = nullptr;
    if (::getaddrinfo(host.toLocal8Bit().constData(), QByteArray::number(port).constData(), &hints, &list) != 0)
        return QStringLiteral("%1 не отвечает: не найден хост %2").arg(shown, host);
    bool ok = false;
    for (const addrinfo *a = list; a && !ok; a = a->ai_next)
        ok = accepts(a->ai_family, a->ai_addr, a->ai_addrlen);
    ::freeaddrinfo(list);
    if (ok)
        return QString();
    return QStringLiteral("%1 не отвечает: нет соединения с %2, порт %3").arg(shown, host).arg(port);
}

bool hasWaylandPlugin()
{
    QStringList folders = qEnvironmentVariable("QT_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath);
    for (const QString &folder : folders) {
        const QDir platforms(folder + QStringLiteral("/platforms"));
        if (!platforms.entryList({QStringLiteral("libqwayland*.so")}, QDir::Files).isEmpty())
            return true;
    }
    return false;
}

// A Wayland display: the compositor's socket, in XDG_RUNTIME_DIR unless a path.
QString waylandProblem(const QString &name)
{
    const QString shown = QStringLiteral("WAYLAND_DISPLAY=") + name;
    QString path = name;
    if (!name.startsWith(QLatin1Char('/'))) {
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (runtime.isEmpty())
            return shown + QStringLiteral(": не задан XDG_RUNTIME_DIR, папка его сокета");
        path = runtime + QLatin1Char('/') + name;
    }
    if (!acceptsLocal(QFile::encodeName(path), false))
        return socketProblem(shown, path);
    if (!hasWaylandPlugin())
        return shown + QStringLiteral(": у Qt нет модуля платформы Wayland (пакет qt6-wayland)");
    return QString();
}

struct HeldMessage {
    QtMsgType type;
    QByteArray file, function, category;
    int line;
    QString text;
};

// Qt's threads may write while the application starts.
QMutex g_heldLock;
std::vector<HeldMessage> g_held;
QtMessageHandler g_qtHandler = nullptr;

const char *orNull(const QByteArray &text)
{
    return text.isNull() ? nullptr : text.constData();
}

void holdMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const QMutexLocker lock(&g_heldLock);
    if (type != QtFatalMsg) {
        g_held.push_back({type, QByteArray(context.file), QByteArray(context.function), QByteArray(context.category),
                          context.line, text});
        return;
    }
    // What Qt warned of says which display or plug-in failed; its fatal message only that
    // none could be started (and a list of plug-ins), so its first sentence is enough.
    QStringList said;
    for (const HeldMessage &m : g_held)
        said << m.text.simplified();
    if (said.isEmpty())
        said << text.section(QLatin1Char('.'), 0, 0).simplified();
    const QString line = QStringLiteral("zelta-kn: Qt не открыл дисплей (%1): %2\n")
                             .arg(said.join(QStringLiteral("; ")), QString::fromUtf8(Advice));
    std::fputs(line.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
    std::_Exit(1);
}

} // namespace

QString noDisplayMessage()
{
    const QString x = qEnvironmentVariable("DISPLAY");
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    QStringList problems;
    if (x.isEmpty() && wayland.isEmpty())
        problems << QStringLiteral("не заданы DISPLAY и WAYLAND_DISPLAY");
    if (!x.isEmpty()) {
        const QString problem = x11Problem(x);
        if (problem.isEmpty())
            return QString();
        problems << problem;
    }
    if (!wayland.isEmpty()) {
        const QString problem = waylandProblem(wayland);
        if (problem.isEmpty()) {
            qputenv("QT_QPA_PLATFORM", "wayland");
            return QString();
        }
        problems << problem;
    }
    return QStringLiteral("zelta-kn: нет дисплея (%1): %2")
        .arg(problems.join(QStringLiteral("; ")), QString::fromUtf8(Advice));
}

void holdQtStartMessages()
{
    g_qtHandler = qInstallMessageHandler(holdMessage);
}

void releaseQtStartMessages()
{
    qInstallMessageHandler(g_qtHandler);
    const QMutexLocker lock(&g_heldLock);
    for (const HeldMessage &m : g_held) {
        const QMessageLogContext context(orNull(m.file), m.line, orNull(m.function), orNull(m.category));
        if (g_qtHandler)
            g_qtHandler(m.type, context, m.text);
        else // Qt's own handler: it prints the text as it is
            std::fputs((m.text + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
    }
    g_held.clear();
}

} // namespace zk
