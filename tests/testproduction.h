#pragma once
// A production database for tests: the schema scripts of records/sql run statement by
// statement, with the demo bench of this computer and this user.

#include "records/production.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

inline QString productionSqlFile(const QString &name)
{
    QFile f(qEnvironmentVariable("ZK_SOURCE_DIR") + QStringLiteral("/records/sql/") + name);
    if (!f.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(f.fileName()));
    return QString::fromUtf8(f.readAll());
}

// Runs a script of statements ending with ";" at the end of a line.
inline void runProductionScript(zk::ProductionDatabase &db, const QString &script)
{
    QStringList kept;
    for (const QString &line : script.split(QLatin1Char('\n')))
        if (!line.trimmed().startsWith(QLatin1String("--")))
            kept << line;
    for (const QString &statement : kept.join(QLatin1Char('\n')).split(QRegularExpression(QStringLiteral(";\\s*\\n"))))
        if (!statement.trimmed().isEmpty())
            db.exec(statement.trimmed().remove(QRegularExpression(QStringLiteral(";$"))));
}

// The PostgreSQL ODBC driver by the name unixODBC has it registered under ("PostgreSQL Unicode",
// which Debian's odbc-postgresql registers in /etc/odbcinst.ini); empty without it or without
// Qt's QODBC driver.
inline QString odbcPostgresDriver()
{
    static const QString name = [] {
        const QString unicode = QStringLiteral("PostgreSQL Unicode");
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QODBC")))
            return QString();
        QProcess list;
        list.start(QStringLiteral("odbcinst"), {QStringLiteral("-q"), QStringLiteral("-d")});
        if (!list.waitForFinished(5000))
            return QString();
        return QString::fromUtf8(list.readAllStandardOutput()).contains(QLatin1Char('[') + unicode + QLatin1Char(']'))
            ? unicode : QString();
    }();
    return name;
}

// A DSN-less ODBC connect string to the PostgreSQL server of scripts/pgtest, or to a relay at
// `port` in front of it.
inline QString odbcPostgresConnectString(int port = 0)
{
    return QStringLiteral("Driver={%1};Server=%2;Port=%3;Database=%4;Uid=%5")
        .arg(odbcPostgresDriver(), qEnvironmentVariable("ZK_PG_HOST"))
        .arg(port > 0 ? port : qEnvironmentVariableIntValue("ZK_PG_PORT"))
        .arg(qEnvironmentVariable("ZK_PG_DB"), qEnvironmentVariable("ZK_PG_USER"));
}

inline QString sqlLiteral(QString text)
{
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\'');
}

inline void loadDemoBench(zk::ProductionDatabase &db)
{
    runProductionScript(db, productionSqlFile(QStringLiteral("demo-bench.sql"))
                                .replace(QLatin1String("{{COMPUTER}}"), sqlLiteral(zk::localComputerName()))
                                .replace(QLatin1String("{{LOGIN}}"), sqlLiteral(zk::localLogin())));
}

// A new SQLite production database at `path` with the schema and the demo bench, and
// the preferences group "Electrometer" of `store` pointing at it.
inline void makeDemoSqlite(const QString &path, QSettings &store)
{
    store.setValue(QStringLiteral("Electrometer/Driver"), QStringLiteral("QSQLITE"));
    store.setValue(QStringLiteral("Electrometer/DatabaseName"), path);
    store.sync();
    {
        zk::ProductionDatabase db(zk::readConnectionSettings(store), QStringLiteral("demo-setup"));
        db.open();
        runProductionScript(db, productionSqlFile(QStringLiteral("sqlite.sql")));
        loadDemoBench(db);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("demo-setup"));
}

// The demo production database the end-to-end tests use: the PostgreSQL server that
// scripts/pgtest started (ZK_PG_HOST and the rest), schema made anew, or else a new
// SQLite file at `sqlitePath`. The group "Electrometer" of `store` points at it, through
// `server`: QPSQL, or QODBC with a DSN-less connect string. Returns the driver.
inline QString makeDemoDatabase(const QString &sqlitePath, QSettings &store,
                                const QString &server = QStringLiteral("QPSQL"))
{
    if (qEnvironmentVariableIsEmpty("ZK_PG_HOST")) {
        makeDemoSqlite(sqlitePath, store);
        return QStringLiteral("QSQLITE");
    }
    store.setValue(QStringLiteral("Electrometer/Driver"), QStringLiteral("QPSQL"));
    store.setValue(QStringLiteral("Electrometer/HostName"), qEnvironmentVariable("ZK_PG_HOST"));
    store.setValue(QStringLiteral("Electrometer/Port"), qEnvironmentVariableIntValue("ZK_PG_PORT"));
    store.setValue(QStringLiteral("Electrometer/DatabaseName"), qEnvironmentVariable("ZK_PG_DB"));
    store.setValue(QStringLiteral("Electrometer/UserName"), qEnvironmentVariable("ZK_PG_USER"));
    store.sync();
    {
        zk::ProductionDatabase db(zk::readConnectionSettings(store), QStringLiteral("demo-setup"));
        db.open();
        db.exec(QStringLiteral("SET client_min_messages TO WARNING"));
        db.exec(QStringLiteral("DROP SCHEMA public CASCADE"));
        db.exec(QStringLiteral("CREATE SCHEMA public"));
        runProductionScript(db, productionSqlFile(QStringLiteral("postgresql.sql")));
        loadDemoBench(db);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("demo-setup"));
    if (server == QLatin1String("QODBC")) {
        store.beginGroup(QStringLiteral("Electrometer"));
        store.remove(QString());
        store.endGroup();
        store.setValue(QStringLiteral("Electrometer/Driver"), server);
        store.setValue(QStringLiteral("Electrometer/DatabaseName"), odbcPostgresConnectString());
        store.sync();
    }
    return server;
}
