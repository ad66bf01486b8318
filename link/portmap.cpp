#include "link/portmap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <map>

namespace zk {

namespace {

const QString DefaultOrganisation = QStringLiteral("Kalvimet");
const QString DefaultApplication = QStringLiteral("Zelta-KN");
const QString MapGroup = QStringLiteral("Ports");

QString g_organisation = DefaultOrganisation;
QString g_application = DefaultApplication;

struct Family {
    const char *prefix; // device path without the index
    int first;          // port number of index 0
    int count;          // indices that have a number; -1 for no limit
};

const Family Families[] = {
    {"/dev/ttyS", 1, 32},
    {"/dev/ttyUSB", 33, 8},
    {"/dev/ttyACM", 41, -1},
};

QString mapKey(int portNum)
{
    return QStringLiteral("COM%1").arg(portNum);
}

// The map entries, by port number. Keys that are not "COM<n>" are ignored.
std::map<int, QString> readMap()
{
    std::map<int, QString> map;
    QSettings settings(g_organisation, g_application);
    settings.beginGroup(MapGroup);
    const QStringList keys = settings.childKeys();
    for (const QString &key : keys) {
        const int n = portNumberOfName(key);
        const QString path = settings.value(key).toString();
        if (n > 0 && !path.isEmpty())
            map[n] = path;
    }
    return map;
}

int defaultNumber(const QString &path)
{
    for (const Family &f : Families) {
        const QString prefix = QLatin1String(f.prefix);
        if (!path.startsWith(prefix))
            continue;
        static const QRegularExpression index(QStringLiteral("^(0|[1-9][0-9]{0,5})$"));
        const QString rest = path.mid(prefix.size());
        if (!index.match(rest).hasMatch())
            return 0; // "ttyS01", "ttyS-1", "ttyS1a" have no number
        const int k = rest.toInt();
        if (f.count >= 0 && k >= f.count)
            return 0;
        return f.first + k;
    }
    return 0;
}

bool samePath(const QString &a, const QString &b)
{
    if (a == b)
        return true;
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

QString readSysFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(f.readAll()).trimmed();
}

// Whether a kernel tty entry is a serial port worth listing.
bool isRealSerialPort(const QDir &classDir, const QString &name)
{
    const QString entry = classDir.filePath(name);
    if (!QFileInfo::exists(entry + QStringLiteral("/device")))
        return false; // virtual terminals, ptys and friends
    if (name.startsWith(QLatin1String("ttyS"))) {
        // The 8250 driver registers placeholder ports with no UART behind them;
        // they report UART type 0 (unknown).
        const QString type = readSysFile(entry + QStringLiteral("/type"));
        if (!type.isEmpty()) {
            bool ok = false;
            const int t = type.toInt(&ok);
            return ok && t != 0;
        }
    }
    return true;
}

} // namespace

void setPortMapStore(const QString &organisation, const QString &application)
{
    g_organisation = organisation.isEmpty() ? DefaultOrganisation : organisation;
    g_application = application.isEmpty() ? DefaultApplication : application;
}

QString portMapOrganisation()
{
    return g_organisation;
}

QString portMapApplication()
{
    return g_application;
}

int portNumberOfName(const QString &name)
{
    static const QRegularExpression re(QStringLiteral("^COM([0-9]{1,9})$"),
                                       QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = re.match(name);
    if (!m.hasMatch())
        return 0;
    return m.captured(1).toInt();
}

QString devicePathForPort(int portNum)
{
    if (portNum < 1)
        return QString();
    const std::map<int, QString> map = readMap();
    if (const auto it = map.find(portNum); it != map.end())
        return it->second;
    // Families are in ascending order of their first number; take the last that starts
    // at or below the number.
    const Family *family = nullptr;
    for (const Family &f : Families) {
        if (portNum >= f.first)
            family = &f;
    }
    if (!family)
        return QString();
    return QLatin1String(family->prefix) + QString::number(portNum - family->first);
}

int portNumberForDevice(const QString &path)
{
    if (path.isEmpty())
        return 0;
    const std::map<int, QString> map = readMap();
    for (const auto &[n, mapped] : map) {
        if (samePath(mapped, path))
            return n;
    }
    return defaultNumber(path);
}

void mapPort(int portNum, const QString &path)
{
    if (portNum < 1)
        return;
    QSettings settings(g_organisation, g_application);
    settings.beginGroup(MapGroup);
    // Drop every spelling of the key ("COM6", "com6") before writing the new one.
    const QStringList keys = settings.childKeys();
    for (const QString &key : keys) {
        if (portNumberOfName(key) == portNum)
            settings.remove(key);
    }
    if (!path.isEmpty())
        settings.setValue(mapKey(portNum), path);
}

QStringList systemPortNames(const QString &ttyClassDir)
{
    const std::map<int, QString> map = readMap();
    std::map<int, bool> numbers;
    for (const auto &[n, path] : map) {
        if (QFileInfo::exists(path))
            numbers[n] = true;
    }

    static const QRegularExpression serialName(QStringLiteral("^tty(S|USB|ACM)[0-9]+$"));
    const QDir classDir(ttyClassDir);
    const QStringList entries = classDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString &name : entries) {
        if (!serialName.match(name).hasMatch() || !isRealSerialPort(classDir, name))
            continue;
        const QString path = QStringLiteral("/dev/") + name;
        int n = 0;
        for (const auto &[mapped, mappedPath] : map) {
            if (samePath(mappedPath, path)) {
                n = mapped;
                break;
            }
        }
        if (n == 0) {
            n = defaultNumber(path);
            // A number the map gives to another device belongs to that device.
            if (map.count(n))
                n = 0;
        }
        if (n > 0)
            numbers[n] = true;
    }

    QStringList names;
    for (const auto &entry : numbers)
        names << mapKey(entry.first);
    return names;
}

} // namespace zk
