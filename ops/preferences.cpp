#include "ops/preferences.h"

#include "core/error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace zk {

const QString SqlMarkerFile = QStringLiteral("SettingSql.kvm");

namespace {

QString &storeOrganisation()
{
    static QString s = QStringLiteral("Kalvimet");
    return s;
}

QString &storeApplication()
{
    static QString s = QStringLiteral("Zelta-KN");
    return s;
}

QSettings openKey()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, storeOrganisation(),
                     storeApplication());
}

bool createKey()
{
    const QString path = preferencesFile();
    if (QFileInfo::exists(path))
        return true;
#ifdef Q_OS_WIN
    return true; // the registry key is created with its first value
#else
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    // Created readable by its owner alone: it may come to hold the database password.
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#endif
}

// After a rewrite: readable by its owner alone, whatever it was.
void keepPrivate(const QString &path)
{
#ifndef Q_OS_WIN
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#else
    Q_UNUSED(path);
#endif
}

// A path as a shell word: quoted when it holds anything but plain characters.
QString shellWord(const QString &path)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+,:@%=-]+$"));
    if (plain.match(path).hasMatch())
        return path;
    return QLatin1Char('\'') + QString(path).replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
}

int readDword(const QSettings &key, const QString &name)
{
    bool ok = false;
    const qlonglong v = key.value(name).toLongLong(&ok);
    if (!ok)
        throw Error(QStringLiteral("Неверный тип значения \"%1\" в настройках").arg(name));
    // A DWORD read into a signed 32-bit number, as the registry hands it over.
    return int(qint32(quint32(quint64(v))));
}

} // namespace

Modes deriveModes(bool master, bool noUser, bool sqlValue, bool markerFile)
{
    Modes m;
    m.operatingMode = 2;
    if (master)
        m.operatingMode += 1;
    if (noUser)
        m.operatingMode -= 2;
    m.sqlMode = sqlValue;
    if (markerFile) {
        if (!(m.operatingMode & 1))
            m.operatingMode += 1;
        m.sqlMode = true;
    }
    return m;
}

void setPreferencesStore(const QString &organisation, const QString &application)
{
    storeOrganisation() = organisation.isEmpty() ? QStringLiteral("Kalvimet") : organisation;
    storeApplication() = application.isEmpty() ? QStringLiteral("Zelta-KN") : application;
}

QString preferencesOrganisation()
{
    return storeOrganisation();
}

QString preferencesApplication()
{
    return storeApplication();
}

QString preferencesFile()
{
    return openKey().fileName();
}

bool createPreferencesFile()
{
    return createKey();
}

bool preferencesKeyExists()
{
#ifdef Q_OS_WIN
    QSettings parent(QSettings::NativeFormat, QSettings::UserScope, storeOrganisation());
    return parent.childGroups().contains(storeApplication());
#else
    return QFileInfo::exists(preferencesFile());
#endif
}

StartPreferences readStartPreferences()
{
    StartPreferences prefs;
    if (!createKey())
        return prefs;
    prefs.opened = true;
    QSettings key = openKey();
    if (key.contains(QStringLiteral("Port")))
        prefs.port = readDword(key, QStringLiteral("Port"));
    prefs.master = key.contains(QStringLiteral("Master"));
    prefs.noUser = key.contains(QStringLiteral("NoUser"));
    prefs.sql = key.contains(QStringLiteral("Sql"));
    prefs.password = key.contains(QStringLiteral("Password"));
    const QString names[3] = {QStringLiteral("DDMA"), QStringLiteral("DDMB"), QStringLiteral("DDMC")};
    for (int i = 0; i < 3; ++i)
        if (key.contains(names[i]))
            prefs.ddm[size_t(i)] = readDword(key, names[i]);
    return prefs;
}

bool saveClosePreferences(int port, bool saveDdm, const std::array<int, 3> &ddm)
{
    if (!preferencesKeyExists() || !preferencesRewritable())
        return false;
    QSettings key = openKey();
    if (port != 0)
        key.setValue(QStringLiteral("Port"), port);
    if (saveDdm) {
        key.setValue(QStringLiteral("DDMA"), ddm[0]);
        key.setValue(QStringLiteral("DDMB"), ddm[1]);
        key.setValue(QStringLiteral("DDMC"), ddm[2]);
    }
    key.sync();
    keepPrivate(key.fileName());
    return true;
}

QString preferencesExposureWarning()
{
#ifdef Q_OS_WIN
    return QString();
#else
    const QString path = preferencesFile();
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QString();
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) == 0)
        return QString();
    const QSettings key = openKey();
    if (key.value(QStringLiteral("Electrometer/Password")).toString().isEmpty())
        return QString();
    return QStringLiteral("Файл настроек %1 хранит пароль базы данных, а доступ к нему есть не только у его "
                          "владельца. Закройте его для других: chmod 600 %2")
        .arg(path, shellWord(path));
#endif
}

QStringList unquotedConnectionValues(const QByteArray &text)
{
    QStringList keys;
    bool inGroup = false;
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inGroup = line == "[Electrometer]";
            continue;
        }
        const int eq = line.indexOf('=');
        if (!inGroup || eq <= 0 || line.startsWith(';') || line.startsWith('#'))
            continue;
        // As QSettings reads a value: a '\' escapes the next character, '"' opens and closes
        // a quoted part, and outside one ';' ends the value and ',' separates list items.
        const QByteArray value = line.mid(eq + 1);
        bool quoted = false;
        for (int i = 0; i < value.size(); ++i) {
            const char c = value.at(i);
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                quoted = !quoted;
            } else if (!quoted && (c == ';' || c == ',')) {
                keys << QString::fromUtf8(line.left(eq).trimmed());
                break;
            }
        }
    }
    return keys;
}

namespace {
QStringList unquotedConnectionValuesHere()
{
#ifdef Q_OS_WIN
    return QStringList();
#else
    QFile file(preferencesFile());
    return file.open(QIODevice::ReadOnly) ? unquotedConnectionValues(file.readAll()) : QStringList();
#endif
}
} // namespace

QString unquotedConnectionHint()
{
    const QStringList keys = unquotedConnectionValuesHere();
    if (keys.isEmpty())
        return QString();
    const QString example = keys.first() == QLatin1String("DatabaseName")
        ? QStringLiteral("DatabaseName=\"Driver={...};Server=...;Port=...;Database=...\"")
        : keys.first() + QStringLiteral("=\"...;...\"");
    const QString text = keys.size() == 1
        ? QStringLiteral("В файле настроек %1 значение %2 группы [Electrometer] записано без кавычек, а в нем есть "
                         "«;» или «,»: программа читает такое значение только до первой «;». Запишите его в "
                         "кавычках, например:\n%3")
        : QStringLiteral("В файле настроек %1 значения %2 группы [Electrometer] записаны без кавычек, а в них есть "
                         "«;» или «,»: программа читает такие значения только до первой «;». Запишите их в "
                         "кавычках, например:\n%3");
    return text.arg(preferencesFile(), keys.join(QStringLiteral(", ")), example);
}

bool preferencesRewritable()
{
    return unquotedConnectionValuesHere().isEmpty();
}

bool sqlMarkerExists(const QString &folder)
{
    const QDir dir(folder.isEmpty() ? QDir::currentPath() : folder);
    return QFileInfo(dir.filePath(SqlMarkerFile)).isFile();
}

Modes modesHere()
{
    const QSettings key = openKey();
    return deriveModes(key.contains(QStringLiteral("Master")), key.contains(QStringLiteral("NoUser")),
                       key.contains(QStringLiteral("Sql")), sqlMarkerExists());
}

bool verifyPreference()
{
    const QSettings key = openKey();
    return key.value(QStringLiteral("Verify"), 0).toInt() != 0;
}

void setVerifyPreference(bool on)
{
    if (!preferencesKeyExists() || !preferencesRewritable())
        return;
    QSettings key = openKey();
    key.setValue(QStringLiteral("Verify"), on ? 1 : 0);
    key.sync();
}

} // namespace zk
