#pragma once
// The records of a .dbf file as dbfread reads them: one JSON object a record, field
// name to value (dates as ISO texts, NULL as null). Empty on any failure.

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QString>

inline QJsonArray dbfRecords(const QString &path)
{
    static const char script[] =
        "import sys, json, datetime, dbfread\n"
        "t = dbfread.DBF(sys.argv[1], encoding='cp1251', char_decode_errors='strict')\n"
        "conv = lambda v: v.isoformat() if isinstance(v, datetime.date) else v\n"
        "print(json.dumps([{k: conv(v) for k, v in r.items()} for r in t]))\n";
    const QString exe = QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                          : QStringLiteral("python3");
    QProcess p;
    p.start(exe, {QStringLiteral("-c"), QString::fromLatin1(script), path});
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {};
    return QJsonDocument::fromJson(p.readAllStandardOutput()).array();
}
