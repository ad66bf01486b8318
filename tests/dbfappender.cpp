// Appends settings records to <dir>/Setting.DBF as fast as it can, each numbered one more
// than the records already there, until it is killed. The storage fault test kills it at
// random moments and checks what is left.

#include "records/register.h"

#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: dbfappender DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    try {
        zk::DbfTable table = zk::openOrCreateRegister(dir);
        for (;;) {
            const qint64 n = table.recordCount() + 1;
            zk::SettingsRecord r;
            r.number = double(n);
            r.version = QStringLiteral("1.12");
            r.address = int(n % 256);
            r.turnOn = double(n * 2);
            r.clockDate = QDate(2026, 12, 9);
            r.clockTime = QTime(12, 30);
            r.summer = n % 2 == 0;
            for (int i = 0; i < 6; ++i)
                r.readings[size_t(i)] = double(n) + i / 8.0;
            r.ddm = {double(n), 0, std::nullopt};
            r.nCorrect = int(n % 1000);
            r.indicator = int(n % 16);
            zk::recordWrite(table, r, QDateTime(QDate(2026, 12, 9), QTime(12, 30)));
        }
    } catch (const zk::DbfError &e) {
        std::fprintf(stderr, "dbfappender: %s\n", qPrintable(e.text()));
        return 1;
    }
}
