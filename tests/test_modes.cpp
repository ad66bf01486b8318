// Operating modes, preferences and the panel tint, without a window.

#include "core/error.h"
#include "ops/preferences.h"
#include "ui/widgets.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace zk;

class TestModes : public QObject
{
    Q_OBJECT

    int m_case = 0;

    QSettings store()
    {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, preferencesOrganisation(),
                         preferencesApplication());
    }

private slots:
    void initTestCase()
    {
        // Set before the first QSettings of the process: nothing touches the real store.
        const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        QVERIFY(!config.isEmpty());
        QVERIFY(preferencesFile().startsWith(config));
    }

    // A fresh, missing key for every test.
    void init() { setPreferencesStore(QStringLiteral("KalvimetTest"), QStringLiteral("modes-%1").arg(++m_case)); }
    void cleanupTestCase() { setPreferencesStore(QString(), QString()); }

    void derivation_data()
    {
        QTest::addColumn<bool>("master");
        QTest::addColumn<bool>("noUser");
        QTest::addColumn<bool>("marker");
        QTest::addColumn<int>("mode");
        struct Row { bool master, noUser, marker; int mode; };
        const Row rows[] = {
            {false, false, false, 2}, {true, false, false, 3}, {false, true, false, 0}, {true, true, false, 1},
            {false, false, true, 3},  {true, false, true, 3},  {false, true, true, 1},  {true, true, true, 1},
        };
        for (const Row &r : rows)
            QTest::addRow("master=%d noUser=%d marker=%d", r.master, r.noUser, r.marker)
                << r.master << r.noUser << r.marker << r.mode;
    }
    void derivation()
    {
        QFETCH(bool, master);
        QFETCH(bool, noUser);
        QFETCH(bool, marker);
        QFETCH(int, mode);
        for (bool sqlValue : {false, true}) {
            const Modes m = deriveModes(master, noUser, sqlValue, marker);
            QCOMPARE(m.operatingMode, mode);
            QCOMPARE(m.sqlMode, marker || sqlValue);
            QCOMPARE(m.masterMode(), bool(mode & 1));
            QCOMPARE(m.passwordEditing(), !noUser);
        }
    }

    void tint_data()
    {
        QTest::addColumn<QColor>("face");
        QTest::addColumn<QColor>("tint");
        QTest::newRow("classic face") << QColor(212, 208, 200) << QColor(216, 212, 200);
        QTest::newRow("white stays white") << QColor(255, 255, 255) << QColor(255, 255, 255);
        QTest::newRow("clamped at 255") << QColor(250, 251, 252) << QColor(255, 255, 252);
        QTest::newRow("truncated") << QColor(49, 50, 99) << QColor(49, 51, 99);
        QTest::newRow("black") << QColor(0, 0, 0) << QColor(0, 0, 0);
    }
    void tint()
    {
        QFETCH(QColor, face);
        QFETCH(QColor, tint);
        QCOMPARE(panelTint(face), tint);
    }

    void startCreatesMissingKey()
    {
        QVERIFY(!preferencesKeyExists());
        const StartPreferences p = readStartPreferences();
        QVERIFY(p.opened);
        QVERIFY(preferencesKeyExists());
        QCOMPARE(p.port, 1);
        QVERIFY(!p.master && !p.noUser && !p.sql && !p.password);
        for (const auto &d : p.ddm)
            QVERIFY(!d.has_value());
    }

    void startReadsValues()
    {
        {
            QSettings s = store();
            s.setValue(QStringLiteral("Port"), 7);
            s.setValue(QStringLiteral("Master"), QString());
            s.setValue(QStringLiteral("Sql"), 0);
            s.setValue(QStringLiteral("DDMA"), 123456);
            s.setValue(QStringLiteral("DDMC"), 4294967295u); // a DWORD above the signed range
        }
        const StartPreferences p = readStartPreferences();
        QCOMPARE(p.port, 7);
        QVERIFY(p.master);
        QVERIFY(!p.noUser);
        QVERIFY(p.sql); // presence alone counts, whatever the value
        QCOMPARE(p.ddm[0].value_or(0), 123456);
        QVERIFY(!p.ddm[1].has_value());
        QCOMPARE(p.ddm[2].value_or(0), -1);
    }

    void startRefusesWrongType()
    {
        store().setValue(QStringLiteral("Port"), QStringLiteral("drei"));
        QVERIFY_THROWS_EXCEPTION(zk::Error, readStartPreferences());
    }

    void closeWrites_data()
    {
        QTest::addColumn<bool>("keyExists");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("saveDdm");
        QTest::addColumn<int>("expectedPort");
        QTest::addColumn<int>("expectedDdmA");
        QTest::addColumn<QByteArray>("connection"); // the group [Electrometer] as typed into the file
        QTest::newRow("port and DDM") << true << 4 << true << 4 << 11 << QByteArray();
        QTest::newRow("port 0 keeps the old port") << true << 0 << true << 9 << 11 << QByteArray();
        QTest::newRow("DDM kept when not to be saved") << true << 5 << false << 5 << 77 << QByteArray();
        QTest::newRow("missing key: nothing") << false << 4 << true << -1 << -1 << QByteArray();
        QTest::newRow("quoted connect string") << true << 4 << true << 4 << 11
                                               << QByteArray("DatabaseName=\"Driver={X};Server=h,1433;Database=e\"");
        // Cut at its ';' by a rewrite: the file is left as typed, and the failed connection says how
        // to write it.
        QTest::newRow("unquoted connect string: nothing rewritten")
            << true << 4 << true << 9 << 77
            << QByteArray("Driver=QODBC\nDatabaseName=Driver={X};Server=h,1433;Database=e\nConnectOptions=A=1;B=2");
    }
    void closeWrites()
    {
        QFETCH(bool, keyExists);
        QFETCH(int, port);
        QFETCH(bool, saveDdm);
        QFETCH(int, expectedPort);
        QFETCH(int, expectedDdmA);
        QFETCH(QByteArray, connection);
        if (keyExists) {
            QSettings s = store();
            s.setValue(QStringLiteral("Port"), 9);
            s.setValue(QStringLiteral("DDMA"), 77);
        }
        QFile file(preferencesFile());
        if (!connection.isEmpty()) {
            QVERIFY(file.open(QIODevice::Append));
            file.write("\n[Electrometer]\n" + connection + '\n');
            file.close();
        }
        const bool cut = !connection.isEmpty() && !connection.contains('"'); // typed without quotes
        const QString hint = unquotedConnectionHint();
        QCOMPARE(hint.isEmpty(), !cut);
        QVERIFY2(!cut || (hint.contains(QStringLiteral("%1 значения DatabaseName, ConnectOptions").arg(preferencesFile()))
                          && hint.endsWith(QStringLiteral("\nDatabaseName=\"Driver={...};Server=...;Port=...;Database=...\""))),
                 qPrintable(hint));
        QCOMPARE(saveClosePreferences(port, saveDdm, {11, 22, 33}), keyExists && !cut);
        if (!connection.isEmpty()) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY(!cut || file.readAll().contains(connection)); // as typed
            QCOMPARE(store().value(QStringLiteral("Electrometer/DatabaseName")).toString(),
                     QString::fromLatin1(cut ? "Driver={X}" : "Driver={X};Server=h,1433;Database=e"));
        }
        QCOMPARE(preferencesKeyExists(), keyExists); // never created at close
        QSettings s = store();
        QCOMPARE(s.value(QStringLiteral("Port"), -1).toInt(), expectedPort);
        QCOMPARE(s.value(QStringLiteral("DDMA"), -1).toInt(), expectedDdmA);
        if (keyExists && saveDdm && !cut)
            QCOMPARE(s.value(QStringLiteral("DDMC")).toInt(), 33);
    }

    // The key holds the database login: created, and rewritten at close, readable by its owner
    // alone, whatever the umask.
    void keyIsPrivate()
    {
        const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        const QFileDevice::Permissions mask = owner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
            | QFileDevice::WriteGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
            | QFileDevice::ExeOther;
        readStartPreferences();
        QCOMPARE(QFile::permissions(preferencesFile()) & mask, owner);
        QVERIFY(saveClosePreferences(3, true, {1, 2, 3}));
        QCOMPARE(QFile::permissions(preferencesFile()) & mask, owner);
        // A file made readable by all before: private again once the program rewrites it.
        QVERIFY(QFile::setPermissions(preferencesFile(), owner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QVERIFY(saveClosePreferences(4, false, {1, 2, 3}));
        QCOMPARE(QFile::permissions(preferencesFile()) & mask, owner);
        QCOMPARE(store().value(QStringLiteral("Port")).toInt(), 4);
    }

    // As PostgreSQL's client warns of a password file: a key that holds the database password
    // and that others may read or write is named, with the command that mends it.
    void exposureWarning()
    {
        const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        QVERIFY(preferencesExposureWarning().isEmpty()); // no file
        readStartPreferences();
        const QString path = preferencesFile();
        QVERIFY(QFile::setPermissions(path, owner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QVERIFY(preferencesExposureWarning().isEmpty()); // no password in it
        store().setValue(QStringLiteral("Electrometer/Password"), QStringLiteral("x"));
        QVERIFY(QFile::setPermissions(path, owner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        const QString warning = preferencesExposureWarning();
        QVERIFY2(warning.startsWith(QStringLiteral("Файл настроек %1 хранит пароль базы данных").arg(path)), qPrintable(warning));
        QVERIFY2(warning.endsWith(QStringLiteral("chmod 600 %1").arg(path)), qPrintable(warning));
        QVERIFY(QFile::setPermissions(path, owner | QFileDevice::WriteGroup));
        QVERIFY(!preferencesExposureWarning().isEmpty()); // writable by the group: also
        QVERIFY(QFile::setPermissions(path, owner));
        QVERIFY(preferencesExposureWarning().isEmpty());
        store().setValue(QStringLiteral("Electrometer/Password"), QString());
        QVERIFY(QFile::setPermissions(path, owner | QFileDevice::ReadOther));
        QVERIFY(preferencesExposureWarning().isEmpty()); // an empty password
    }

    void closeIntoEmptyKey()
    {
        // A key created by start-up holds no values yet; close still writes into it.
        readStartPreferences();
        QVERIFY(saveClosePreferences(6, false, {1, 2, 3}));
        QCOMPARE(store().value(QStringLiteral("Port")).toInt(), 6);
        QVERIFY(!store().contains(QStringLiteral("DDMA")));
    }

    void markerFile()
    {
        QTemporaryDir dir;
        QVERIFY(!sqlMarkerExists(dir.path()));
        QVERIFY(QDir(dir.path()).mkdir(SqlMarkerFile)); // a folder of that name is no marker
        QVERIFY(!sqlMarkerExists(dir.path()));
        QVERIFY(QDir(dir.path()).rmdir(SqlMarkerFile));
        QFile f(QDir(dir.path()).filePath(QStringLiteral("SettingSql.kvm")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        QVERIFY(sqlMarkerExists(dir.path()));
    }
};

int main(int argc, char **argv)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    TestModes test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_modes.moc"
