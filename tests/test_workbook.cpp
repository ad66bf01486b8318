// The workbook writer and the journal export. Every file is read back by xlrd
// through tests/xlsdump.py; page setup, header, footer and window records, which
// xlrd does not keep, are read from the stream xlrd's container reader extracts.

#include "schedule/journalexport.h"
#include "workbook/workbook.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

using namespace zk;

namespace {

// A Python interpreter that has xlrd (the system's one, ahead of any other on PATH).
QString python()
{
    static const QString found = [] {
        for (const QString &candidate : {QStringLiteral("/usr/bin/python3"), QStringLiteral("python3")}) {
            QProcess p;
            p.start(candidate, {QStringLiteral("-c"), QStringLiteral("import xlrd")});
            if (p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
                return candidate;
        }
        return QString();
    }();
    return found;
}

QString dumpScript()
{
    const QByteArray source = qgetenv("ZK_SOURCE_DIR");
    if (!source.isEmpty())
        return QString::fromLocal8Bit(source) + QStringLiteral("/tests/xlsdump.py");
    return QFINDTESTDATA("xlsdump.py");
}

// What xlsdump.py reports about a file; fails the running test when the file
// cannot be read or either reader logged a complaint.
QJsonObject readBack(const QString &path, int digestOver = 1 << 30)
{
    if (python().isEmpty()) {
        QTest::qFail("no python3 with xlrd (Debian package python3-xlrd)", __FILE__, __LINE__);
        return {};
    }
    QProcess p;
    p.start(python(), {dumpScript(), path, QString::number(digestOver)});
    if (!p.waitForFinished(240000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        QTest::qFail(qPrintable(QStringLiteral("xlrd cannot read %1: %2")
                                        .arg(path, QString::fromUtf8(p.readAllStandardError()))),
                     __FILE__, __LINE__);
        return {};
    }
    const QJsonObject book = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    if (book.isEmpty() || !book.value(QStringLiteral("log")).toString().isEmpty()) {
        QTest::qFail(qPrintable(QStringLiteral("readers complained: %1").arg(book.value(QStringLiteral("log")).toString())),
                     __FILE__, __LINE__);
        return {};
    }
    return book;
}

#define READ_BACK(var, ...)                                                                                   \
    const QJsonObject var = readBack(__VA_ARGS__);                                                            \
    if (QTest::currentTestFailed())                                                                           \
        return

struct Cell
{
    QString kind;
    QJsonValue value;
};

// The cells of one sheet by 1-based row and column.
QHash<QPair<int, int>, Cell> cellsOf(const QJsonObject &book, int sheet = 0)
{
    QHash<QPair<int, int>, Cell> cells;
    const QJsonArray list = book[QStringLiteral("sheets")][sheet][QStringLiteral("cells")].toArray();
    for (const QJsonValue &c : list) {
        const QJsonArray a = c.toArray();
        cells.insert({a[0].toInt() + 1, a[1].toInt() + 1}, {a[2].toString(), a[3]});
    }
    return cells;
}

// The shared strings as walked through their records: each string's count, flags
// and first character in one record, and the EXTSST index at the string starts.
bool sharedStringsLaidOut(const QJsonObject &book)
{
    const QJsonObject layout = book[QStringLiteral("sst_layout")].toObject();
    return layout[QStringLiteral("index_ok")].toBool() && layout[QStringLiteral("first_char_kept")].toBool();
}

QString sha1Tag(const QString &text)
{
    return QStringLiteral("sha1:")
            + QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex());
}

QByteArray fileContents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Files larger than `bytes` cannot be written while it lives (writes fail with
// EFBIG instead of raising SIGXFSZ); works for root as well.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

QLocale russian()
{
    return QLocale(QLocale::Russian, QLocale::Russia);
}

} // namespace

class TestWorkbook : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void templateWorkbook();
    void templateSheet_data();
    void templateSheet();
    void cells_data();
    void cells();
    void replacedCells();
    void rejectedCells_data();
    void rejectedCells();
    void saveFailures_data();
    void saveFailures();
    void largeTable();
    void recordBoundaries_data();
    void recordBoundaries();
    void longTexts();

    void title_data();
    void title();
    void numberTest_data();
    void numberTest();
    void temporaryNames_data();
    void temporaryNames();
    void exportedSheet_data();
    void exportedSheet();
    void exportOfTitlesOnly();
    void exportBesideTemporaryFile();
    void exportFailures_data();
    void exportFailures();

private:
    QTemporaryDir m_dir;
    QJsonObject m_blank;
};

void TestWorkbook::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString path = m_dir.filePath(QStringLiteral("blank.xls"));
    Workbook().save(path);
    m_blank = readBack(path);
    QVERIFY(!m_blank.isEmpty());
}

void TestWorkbook::templateWorkbook()
{
    const QJsonObject container = m_blank[QStringLiteral("container")].toObject();
    QCOMPARE(container[QStringLiteral("major_version")].toInt(), 3);
    QCOMPARE(container[QStringLiteral("sector_size")].toInt(), 512);
    QVERIFY(container[QStringLiteral("marks_ok")].toBool());
    QCOMPARE(container[QStringLiteral("mini_fat_sectors")].toInt(), 0);
    QVERIFY(m_blank[QStringLiteral("stream_size")].toInt() >= 4096); // kept out of the mini stream

    QCOMPARE(m_blank[QStringLiteral("codepage")].toInt(), 1200);
    QCOMPARE(m_blank[QStringLiteral("sst_unique")].toInt(), 0);
    QVERIFY(sharedStringsLaidOut(m_blank));
    const QJsonObject window = m_blank[QStringLiteral("window1")].toObject();
    QCOMPARE(window[QStringLiteral("active")].toInt(), 0);
    QCOMPARE(window[QStringLiteral("selected_tabs")].toInt(), 1);

    const QJsonObject font = m_blank[QStringLiteral("font")].toObject();
    QCOMPARE(font[QStringLiteral("name")].toString(), QStringLiteral("Arial"));
    QCOMPARE(font[QStringLiteral("height")].toInt(), 200);
    QCOMPARE(font[QStringLiteral("weight")].toInt(), 400);
    QVERIFY(!font[QStringLiteral("italic")].toBool());
    QCOMPARE(m_blank[QStringLiteral("style_xfs")].toInt(), 15);
    QCOMPARE(m_blank[QStringLiteral("xfs")].toInt(), 16);
    // The built-in style Normal on the first XF.
    QCOMPARE(m_blank[QStringLiteral("styles")][QStringLiteral("Normal")].toArray(), QJsonArray({1, 0}));

    const QStringList expected = {QStringLiteral("Лист1"), QStringLiteral("Лист2"), QStringLiteral("Лист3")};
    QCOMPARE(Workbook().sheetNames(), expected);
    QStringList names;
    for (const QJsonValue &sheet : m_blank[QStringLiteral("sheets")].toArray())
        names << sheet[QStringLiteral("name")].toString();
    QCOMPARE(names, expected);
}

void TestWorkbook::templateSheet_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("shown");
    QTest::newRow("Лист1") << 0 << true;
    QTest::newRow("Лист2") << 1 << false;
    QTest::newRow("Лист3") << 2 << false;
}

void TestWorkbook::templateSheet()
{
    QFETCH(int, index);
    QFETCH(bool, shown);
    const QJsonObject sheet = m_blank[QStringLiteral("sheets")][index].toObject();
    QCOMPARE(sheet[QStringLiteral("selected")].toBool(), shown);
    QCOMPARE(sheet[QStringLiteral("visible")].toBool(), shown);
    QCOMPARE(sheet[QStringLiteral("column_widths")].toArray(), QJsonArray({2961}));
    QCOMPARE(sheet[QStringLiteral("hidden_columns")].toInt(), 0);
    const QJsonObject shows = sheet[QStringLiteral("shows")].toObject();
    QVERIFY(shows[QStringLiteral("grid")].toBool());
    QVERIFY(shows[QStringLiteral("headings")].toBool());
    QVERIFY(shows[QStringLiteral("zeros")].toBool());
    QVERIFY(!shows[QStringLiteral("formulas")].toBool());
    QCOMPARE(sheet[QStringLiteral("default_row_height")].toInt(), 257);
    QVERIFY(sheet[QStringLiteral("row_height_set")].toBool());
    QCOMPARE(sheet[QStringLiteral("header")].toString(), QStringLiteral("&C&\"Times New Roman,Обычный\"&12&A"));
    QCOMPARE(sheet[QStringLiteral("footer")].toString(),
             QStringLiteral("&C&\"Times New Roman,Обычный\"&12Страница &P"));
    const QJsonObject margins = sheet[QStringLiteral("margins")].toObject();
    QCOMPARE(margins[QStringLiteral("left")].toDouble(), 0.7875);
    QCOMPARE(margins[QStringLiteral("right")].toDouble(), 0.7875);
    QCOMPARE(margins[QStringLiteral("top")].toDouble(), 1.0528);
    QCOMPARE(margins[QStringLiteral("bottom")].toDouble(), 1.0528);
    const QJsonObject setup = sheet[QStringLiteral("setup")].toObject();
    QCOMPARE(setup[QStringLiteral("paper")].toInt(), 9);
    QCOMPARE(setup[QStringLiteral("scale")].toInt(), 100);
    QVERIFY(setup[QStringLiteral("portrait")].toBool());
    QVERIFY(setup[QStringLiteral("settings_valid")].toBool());
    QCOMPARE(setup[QStringLiteral("header_margin")].toDouble(), 0.7875);
    QCOMPARE(setup[QStringLiteral("footer_margin")].toDouble(), 0.7875);
    QCOMPARE(sheet[QStringLiteral("nrows")].toInt(), 0);
    QCOMPARE(sheet[QStringLiteral("dimensions")].toArray(), QJsonArray({0, 0, 0, 0}));
}

void TestWorkbook::cells_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QVariant>("value"); // QString: text cell, double: number cell

    QTest::newRow("Cyrillic text at A1") << 1 << 1 << QVariant(QStringLiteral("Годовой журнал Счетчик № 12345, "));
    QTest::newRow("empty text") << 2 << 2 << QVariant(QString());
    QTest::newRow("digits as text") << 3 << 1 << QVariant(QStringLiteral("12345"));
    QTest::newRow("text past the BMP") << 1 << 3 << QVariant(QStringLiteral("€ ≤ \U0001F600 ё"));
    QTest::newRow("zero") << 4 << 2 << QVariant(0.0);
    QTest::newRow("negative fraction") << 5 << 7 << QVariant(-1234.5678);
    QTest::newRow("third") << 6 << 1 << QVariant(1.0 / 3.0);
    QTest::newRow("huge") << 7 << 1 << QVariant(1e300);
    QTest::newRow("last row") << 65536 << 1 << QVariant(QStringLiteral("внизу"));
    QTest::newRow("last column") << 1 << 256 << QVariant(2.5);
    QTest::newRow("last cell") << 65536 << 256 << QVariant(QStringLiteral("угол"));
}

void TestWorkbook::cells()
{
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QVariant, value);
    Workbook book;
    const bool isText = value.typeId() == QMetaType::QString;
    if (isText)
        book.setText(row, column, value.toString());
    else
        book.setNumber(row, column, value.toDouble());
    // A neighbour of the other kind, so the cell is not alone in its row.
    const int other = column == 1 ? 2 : column - 1;
    if (isText)
        book.setNumber(row, other, 42);
    else
        book.setText(row, other, QStringLiteral("рядом"));
    const QString path = m_dir.filePath(QStringLiteral("cells.xls"));
    book.save(path);

    READ_BACK(read, path);
    const auto cells = cellsOf(read);
    QCOMPARE(cells.size(), 2);
    const Cell cell = cells.value({row, column});
    QCOMPARE(cell.kind, isText ? QStringLiteral("text") : QStringLiteral("number"));
    if (isText)
        QCOMPARE(cell.value.toString(), value.toString());
    else
        QCOMPARE(cell.value.toDouble(), value.toDouble());
    QCOMPARE(cells.value({row, other}).kind, isText ? QStringLiteral("number") : QStringLiteral("text"));
    const QJsonArray dims = read[QStringLiteral("sheets")][0][QStringLiteral("dimensions")].toArray();
    QCOMPARE(dims, QJsonArray({row - 1, row, std::min(column, other) - 1, std::max(column, other)}));
}

void TestWorkbook::replacedCells()
{
    Workbook book;
    book.setText(1, 1, QStringLiteral("первый"));
    book.setNumber(1, 1, 7);
    book.setText(2, 1, QStringLiteral("а"));
    book.setText(2, 1, QStringLiteral("б"));
    book.setText(3, 1, QStringLiteral("б"));
    book.setNumber(4, 1, 1);
    book.setText(4, 1, QStringLiteral("б"));
    const QString path = m_dir.filePath(QStringLiteral("replaced.xls"));
    book.save(path);

    READ_BACK(read, path);
    const auto cells = cellsOf(read);
    QCOMPARE(cells.size(), 4);
    QCOMPARE(cells.value({1, 1}).kind, QStringLiteral("number"));
    QCOMPARE(cells.value({1, 1}).value.toDouble(), 7.0);
    for (int row = 2; row <= 4; ++row)
        QCOMPARE(cells.value({row, 1}).value.toString(), QStringLiteral("б"));
    QCOMPARE(read[QStringLiteral("sst_total")].toInt(), 3);
    QCOMPARE(read[QStringLiteral("sst_unique")].toInt(), 1);
}

void TestWorkbook::rejectedCells_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QVariant>("value");
    const QVariant text = QStringLiteral("x");
    QTest::newRow("row 0") << 0 << 1 << text;
    QTest::newRow("column 0") << 1 << 0 << QVariant(1.0);
    QTest::newRow("negative row") << -1 << 1 << text;
    QTest::newRow("row past the sheet") << 65537 << 1 << QVariant(1.0);
    QTest::newRow("column past the sheet") << 1 << 257 << text;
    QTest::newRow("NaN") << 1 << 1 << QVariant(qQNaN());
    QTest::newRow("infinity") << 1 << 1 << QVariant(-qInf());
    QTest::newRow("text too long") << 1 << 1 << QVariant(QString(Workbook::MaxTextLength + 1, QLatin1Char('a')));
}

void TestWorkbook::rejectedCells()
{
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QVariant, value);
    Workbook book;
    book.setText(1, 1, QStringLiteral("прежнее"));
    const QByteArray before = book.toBytes();
    try {
        if (value.typeId() == QMetaType::QString)
            book.setText(row, column, value.toString());
        else
            book.setNumber(row, column, value.toDouble());
        QFAIL("no WorkbookError");
    } catch (const WorkbookError &e) {
        QVERIFY(qstrlen(e.what()) > 0);
    }
    QCOMPARE(book.toBytes(), before);
}

void TestWorkbook::saveFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("sizeLimited");
    QTest::newRow("missing folder") << m_dir.filePath(QStringLiteral("nowhere/a.xls")) << false;
    QTest::newRow("path is a folder") << m_dir.path() << false;
    QTest::newRow("no file name") << QString() << false;
    QTest::newRow("write cut short") << m_dir.filePath(QStringLiteral("cut.xls")) << true;
}

void TestWorkbook::saveFailures()
{
    QFETCH(QString, path);
    QFETCH(bool, sizeLimited);
    Workbook book;
    book.setText(1, 1, QStringLiteral("текст"));
    try {
        std::optional<FileSizeLimit> limit;
        if (sizeLimited)
            limit.emplace(1024);
        book.save(path);
        QFAIL("no WorkbookError");
    } catch (const WorkbookError &e) {
        QVERIFY(QString::fromUtf8(e.what()).contains(QDir::toNativeSeparators(path)));
    }
    if (sizeLimited)
        QVERIFY(!QFileInfo::exists(path)); // the partial file is removed
    QVERIFY(QFileInfo(m_dir.path()).isDir());
}

void TestWorkbook::largeTable()
{
    // A consumption journal of 10,000 rows in 7 columns: unique and repeated texts
    // and numbers. The shared strings need many CONTINUE records, the file many
    // FAT sectors.
    Workbook book;
    QHash<QPair<int, int>, QVariant> expected;
    auto put = [&](int row, int column, const QVariant &v) {
        if (v.typeId() == QMetaType::QString)
            book.setText(row, column, v.toString());
        else
            book.setNumber(row, column, v.toDouble());
        expected.insert({row, column}, v);
    };
    for (int r = 1; r <= 10000; ++r) {
        put(r, 1, double(r / 164));
        put(r, 2, double(r % 164));
        put(r, 3, QStringLiteral("%1.%2 %3:%4 запись %5")
                          .arg(r % 28 + 1, 2, 10, QLatin1Char('0'))
                          .arg(r % 12 + 1, 2, 10, QLatin1Char('0'))
                          .arg(r % 24)
                          .arg(r % 60, 2, 10, QLatin1Char('0'))
                          .arg(r));
        put(r, 4, r * 0.125);
        put(r, 5, r * 1.00001);
        put(r, 6, QString());
        put(r, 7, r % 3 ? QStringLiteral("Норма") : QStringLiteral("Сбой питания"));
    }
    const QString path = m_dir.filePath(QStringLiteral("large.xls"));
    book.save(path);

    READ_BACK(read, path);
    QVERIFY(read[QStringLiteral("sst_continues")].toInt() > 20);
    QVERIFY(read[QStringLiteral("largest_record")].toInt() <= 8224);
    QCOMPARE(read[QStringLiteral("sst_unique")].toInt(), 10000 + 3);
    QCOMPARE(read[QStringLiteral("sst_total")].toInt(), 30000);
    QVERIFY(sharedStringsLaidOut(read));
    const QJsonObject container = read[QStringLiteral("container")].toObject();
    QVERIFY(container[QStringLiteral("fat_sectors")].toInt() > 10);
    QCOMPARE(container[QStringLiteral("fat_sectors_listed")].toInt(), container[QStringLiteral("fat_sectors")].toInt());
    QVERIFY(container[QStringLiteral("marks_ok")].toBool());

    const auto cells = cellsOf(read);
    QCOMPARE(cells.size(), expected.size());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const Cell cell = cells.value(it.key());
        const bool isText = it.value().typeId() == QMetaType::QString;
        if (cell.kind != (isText ? QStringLiteral("text") : QStringLiteral("number"))
            || (isText ? cell.value.toString() != it.value().toString() : cell.value.toDouble() != it.value().toDouble()))
            QFAIL(qPrintable(QStringLiteral("cell %1,%2 reads %3 %4")
                                     .arg(it.key().first)
                                     .arg(it.key().second)
                                     .arg(cell.kind, cell.value.toVariant().toString())));
    }
}

void TestWorkbook::recordBoundaries_data()
{
    // The first string fills the SST record up to `room` bytes before its end
    // (8 bytes of counts, 3 of string head, 2 a character).
    QTest::addColumn<int>("room");
    QTest::addColumn<QString>("second");
    QTest::newRow("head without its character") << 3 << QStringLiteral("б");
    QTest::newRow("head and a character") << 5 << QStringLiteral("бв");
    QTest::newRow("empty string into the last bytes") << 3 << QString();
    QTest::newRow("surrogate pair at the end") << 5 << QStringLiteral("\U0001F600x");
    QTest::newRow("surrogate pair fits") << 7 << QStringLiteral("\U0001F600x");
    QTest::newRow("cut inside a pair") << 9 << QStringLiteral("ab\U0001F600x");
}

void TestWorkbook::recordBoundaries()
{
    QFETCH(int, room);
    QFETCH(QString, second);
    const int firstLength = (8224 - 8 - 3 - room) / 2;
    QVERIFY(8 + 3 + 2 * firstLength + room == 8224);
    const QStringList texts = {QString(firstLength, QLatin1Char('a')), second, QStringLiteral("после")};
    Workbook book;
    for (int i = 0; i < texts.size(); ++i)
        book.setText(i + 1, 1, texts.at(i));
    const QString path = m_dir.filePath(QStringLiteral("boundary.xls"));
    book.save(path);

    READ_BACK(read, path);
    QCOMPARE(read[QStringLiteral("sst_continues")].toInt(), 1);
    QVERIFY(sharedStringsLaidOut(read));
    const auto cells = cellsOf(read);
    for (int i = 0; i < texts.size(); ++i)
        QCOMPARE(cells.value({i + 1, 1}).value.toString(), texts.at(i));
}

void TestWorkbook::longTexts()
{
    // Texts up to the most a cell holds, cut across many CONTINUE records, with
    // surrogate pairs that must not be cut; together enough bytes that the FAT
    // sectors no longer fit the header's list.
    QStringList texts;
    texts << QString() << QStringLiteral("б") << QStringLiteral("\U0001F600");
    for (int i = 0; i < 150; ++i) {
        QString t = QStringLiteral("%1:").arg(i);
        const QString unit = i % 2 ? QStringLiteral("\U0001F600") : QStringLiteral("Журнал ");
        while (t.size() + unit.size() <= Workbook::MaxTextLength - (i % 2))
            t += unit;
        texts << t;
    }
    Workbook book;
    for (int i = 0; i < texts.size(); ++i)
        book.setText(i + 1, 1 + i % 3, texts.at(i));
    const QString path = m_dir.filePath(QStringLiteral("long.xls"));
    book.save(path);

    READ_BACK(read, path, 64);
    const QJsonObject container = read[QStringLiteral("container")].toObject();
    QVERIFY(container[QStringLiteral("fat_sectors")].toInt() > 109);
    QVERIFY(container[QStringLiteral("difat_sectors")].toInt() > 0);
    QCOMPARE(container[QStringLiteral("difat_sectors_chained")].toInt(), container[QStringLiteral("difat_sectors")].toInt());
    QCOMPARE(container[QStringLiteral("fat_sectors_listed")].toInt(), container[QStringLiteral("fat_sectors")].toInt());
    QVERIFY(container[QStringLiteral("marks_ok")].toBool());
    QVERIFY(read[QStringLiteral("largest_record")].toInt() <= 8224);
    QVERIFY(sharedStringsLaidOut(read));

    const auto cells = cellsOf(read);
    QCOMPARE(cells.size(), texts.size());
    for (int i = 0; i < texts.size(); ++i) {
        const QString &t = texts.at(i);
        const Cell cell = cells.value({i + 1, 1 + i % 3});
        QCOMPARE(cell.kind, QStringLiteral("text"));
        QCOMPARE(cell.value.toString(), t.size() > 64 ? sha1Tag(t) : t);
    }
}

void TestWorkbook::title_data()
{
    QTest::addColumn<bool>("annual");
    QTest::addColumn<int>("serial");
    QTest::addColumn<QString>("expected");
    QTest::newRow("annual, serial") << true << 12345 << QStringLiteral("Годовой журнал Счетчик № 12345, ");
    QTest::newRow("annual, no serial") << true << 0 << QStringLiteral("Годовой журнал ");
    QTest::newRow("consumption, serial 1") << false << 1 << QStringLiteral("Журнал потребления Счетчик № 1, ");
    QTest::newRow("consumption, negative") << false << -5 << QStringLiteral("Журнал потребления ");
}

void TestWorkbook::title()
{
    QFETCH(bool, annual);
    QFETCH(int, serial);
    QFETCH(QString, expected);
    QCOMPARE(journalTitle(annual, serial), expected);
}

void TestWorkbook::numberTest_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("isNumber");
    QTest::addColumn<double>("number");
    const QLocale ru = russian();
    const QLocale c = QLocale::c();
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    QTest::newRow("ru 1,5") << "1,5" << ru << true << 1.5;
    QTest::newRow("ru 1.5") << "1.5" << ru << false << 0.0;
    QTest::newRow("ru energy") << "1,00000" << ru << true << 1.0;
    QTest::newRow("ru large energy") << "1073741,82400" << ru << true << 1073741.824;
    QTest::newRow("ru negative") << "-3,25" << ru << true << -3.25;
    QTest::newRow("ru zero") << "0" << ru << true << 0.0;
    QTest::newRow("ru page") << "60" << ru << true << 60.0;
    QTest::newRow("ru empty") << "" << ru << false << 0.0;
    QTest::newRow("ru month") << "12 янв." << ru << false << 0.0;
    QTest::newRow("ru time stamp") << "05.03 14:30" << ru << false << 0.0;
    QTest::newRow("ru operating time") << "1234:5" << ru << false << 0.0;
    QTest::newRow("ru grouped") << QStringLiteral("1\u00A0000") << ru << false << 0.0;
    QTest::newRow("ru trailing text") << "1,5 кВт" << ru << false << 0.0;
    QTest::newRow("ru infinity") << "inf" << ru << false << 0.0;
    QTest::newRow("ru nan") << "nan" << ru << false << 0.0;
    QTest::newRow("C 1.5") << "1.5" << c << true << 1.5;
    QTest::newRow("C 1,00000") << "1,00000" << c << false << 0.0;
    QTest::newRow("en-US grouped") << "1,000" << us << false << 0.0;
    QTest::newRow("en-US 1.25") << "1.25" << us << true << 1.25;
}

void TestWorkbook::numberTest()
{
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(bool, isNumber);
    QFETCH(double, number);
    const std::optional<double> got = cellNumber(text, locale);
    QCOMPARE(got.has_value(), isNumber);
    if (isNumber)
        QCOMPARE(*got, number);
}

void TestWorkbook::temporaryNames_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty folder") << QStringList() << "out.xls" << "1new.xls";
    QTest::newRow("1new.xls exists") << QStringList{"1new.xls"} << "out.xls" << "2new.xls";
    QTest::newRow("gap") << QStringList{"1new.xls", "3new.xls"} << "out.xls" << "2new.xls";
    QTest::newRow("chosen is 1new.xls") << QStringList() << "1new.xls" << "2new.xls";
    QTest::newRow("chosen is 2new.xls, 1new.xls exists") << QStringList{"1new.xls"} << "2new.xls" << "3new.xls";
    QTest::newRow("folder named 1new.xls") << QStringList{"1new.xls/"} << "out.xls" << "2new.xls";
}

void TestWorkbook::temporaryNames()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, chosen);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString &name : existing) {
        if (name.endsWith(QLatin1Char('/')))
            QVERIFY(QDir(dir.path()).mkdir(name.chopped(1)));
        else
            QVERIFY(writeFile(dir.filePath(name), "x"));
    }
    QCOMPARE(temporaryName(dir.filePath(chosen)), dir.filePath(expected));
}

void TestWorkbook::exportedSheet_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("decimalComma");
    QTest::newRow("decimal comma") << russian() << true;
    QTest::newRow("decimal point") << QLocale::c() << false;
}

void TestWorkbook::exportedSheet()
{
    QFETCH(QLocale, locale);
    QFETCH(bool, decimalComma);
    // The annual journal's grid: titles, a month read, a month never read, and a
    // row shorter than the others.
    ExportTable table;
    table.rows << QStringList{"месяц", "1 тариф", "2 тариф", "3 тариф", "наработка"}
               << QStringList{"07 янв.", "1,00000", "2.50000", "0", "1234:5"}
               << QStringList{"фев.", "", "", "", ""}
               << QStringList{"март"};
    const QString title = journalTitle(true, 12345);
    const QString path = m_dir.filePath(QStringLiteral("annual.xls"));
    writeExport(table, title, path, locale);

    READ_BACK(read, path);
    const auto cells = cellsOf(read);
    auto text = [&](int r, int c) { return cells.value({r, c}).kind == QStringLiteral("text") ? cells.value({r, c}).value.toString() : QStringLiteral("<not text>"); };
    auto number = [&](int r, int c) { return cells.value({r, c}).kind == QStringLiteral("number") ? cells.value({r, c}).value.toDouble() : qQNaN(); };

    QCOMPARE(cells.size(), 5 * 5);
    QCOMPARE(text(1, 1), title);
    for (int c = 2; c <= 5; ++c) {
        QCOMPARE(text(1, c), QString());
        QCOMPARE(text(2, c), table.rows[0][c - 1]);
        QCOMPARE(text(4, c), QString());
        QCOMPARE(text(5, c), QString());
    }
    QCOMPARE(text(2, 1), QStringLiteral("месяц"));
    QCOMPARE(text(3, 1), QStringLiteral("07 янв."));
    if (decimalComma) {
        QCOMPARE(number(3, 2), 1.0);
        QCOMPARE(text(3, 3), QStringLiteral("2.50000"));
    } else {
        QCOMPARE(text(3, 2), QStringLiteral("1,00000"));
        QCOMPARE(number(3, 3), 2.5);
    }
    QCOMPARE(number(3, 4), 0.0);
    QCOMPARE(text(3, 5), QStringLiteral("1234:5"));
    QCOMPARE(text(4, 1), QStringLiteral("фев."));
    QCOMPARE(text(5, 1), QStringLiteral("март"));

    // The template around the data.
    const QJsonObject sheet = read[QStringLiteral("sheets")][0].toObject();
    QCOMPARE(sheet[QStringLiteral("name")].toString(), QStringLiteral("Лист1"));
    QVERIFY(sheet[QStringLiteral("selected")].toBool());
    QCOMPARE(sheet[QStringLiteral("column_widths")].toArray(), QJsonArray({2961}));
    QCOMPARE(read[QStringLiteral("sheets")].toArray().size(), 3);
    QCOMPARE(read[QStringLiteral("sheets")][1][QStringLiteral("nrows")].toInt(), 0);
}

void TestWorkbook::exportOfTitlesOnly()
{
    ExportTable table;
    table.rows << QStringList{"Страница", "Запись", "Время", "1 тариф", "2 тариф", "3 тариф", "Статус"};
    const QString path = m_dir.filePath(QStringLiteral("consumption.xls"));
    writeExport(table, journalTitle(false, 0), path, russian());

    READ_BACK(read, path);
    const auto cells = cellsOf(read);
    QCOMPARE(read[QStringLiteral("sheets")][0][QStringLiteral("nrows")].toInt(), 2);
    QCOMPARE(cells.size(), 14);
    QCOMPARE(cells.value({1, 1}).value.toString(), QStringLiteral("Журнал потребления "));
    QCOMPARE(cells.value({1, 7}).kind, QStringLiteral("text"));
    QCOMPARE(cells.value({1, 7}).value.toString(), QString());
    for (int c = 1; c <= 7; ++c)
        QCOMPARE(cells.value({2, c}).value.toString(), table.rows[0][c - 1]);
}

void TestWorkbook::exportBesideTemporaryFile()
{
    // 1new.xls belongs to someone else: the export uses another temporary name,
    // leaves 1new.xls alone, replaces the earlier file and leaves nothing else.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("1new.xls")), "not ours"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("out.xls")), "earlier export"));
    QCOMPARE(temporaryName(dir.filePath(QStringLiteral("out.xls"))), dir.filePath(QStringLiteral("2new.xls")));

    ExportTable table;
    table.rows << QStringList{"месяц", "1 тариф"} << QStringList{"07 янв.", "3,5"};
    writeExport(table, journalTitle(true, 0), dir.filePath(QStringLiteral("out.xls")), russian());

    QCOMPARE(fileContents(dir.filePath(QStringLiteral("1new.xls"))), QByteArray("not ours"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList({"1new.xls", "out.xls"}));
    READ_BACK(read, dir.filePath(QStringLiteral("out.xls")));
    QCOMPARE(cellsOf(read).value({3, 2}).value.toDouble(), 3.5);
}

void TestWorkbook::exportFailures_data()
{
    QTest::addColumn<QString>("failure");
    QTest::newRow("chosen path is a folder") << "folder";
    QTest::newRow("folder missing") << "missing";
    QTest::newRow("write cut short") << "size limit";
    QTest::newRow("folder read-only") << "read-only";
}

void TestWorkbook::exportFailures()
{
    QFETCH(QString, failure);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString old = dir.filePath(QStringLiteral("old.xls"));
    QString chosen = old;
    QVERIFY(writeFile(old, "earlier export"));
    std::optional<FileSizeLimit> limit;
    if (failure == QLatin1String("folder")) {
        chosen = dir.filePath(QStringLiteral("folder.xls"));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder.xls")));
        QVERIFY(writeFile(chosen + QStringLiteral("/inside"), "kept"));
    } else if (failure == QLatin1String("missing")) {
        chosen = dir.filePath(QStringLiteral("gone/old.xls"));
    } else if (failure == QLatin1String("size limit")) {
        limit.emplace(1024);
    } else if (failure == QLatin1String("read-only")) {
        if (geteuid() == 0)
            QSKIP("root writes into read-only folders");
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    }

    ExportTable table;
    table.rows << QStringList{"месяц"} << QStringList{"07 янв."};
    bool thrown = false;
    try {
        writeExport(table, journalTitle(true, 1), chosen, russian());
    } catch (const ExportError &) {
        thrown = true;
    }
    limit.reset();
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QVERIFY(thrown);
    QCOMPARE(fileContents(old), QByteArray("earlier export"));
    if (failure == QLatin1String("folder"))
        QCOMPARE(fileContents(chosen + QStringLiteral("/inside")), QByteArray("kept"));
    const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(left.filter(QStringLiteral("new.xls")), QStringList());
}

QTEST_GUILESS_MAIN(TestWorkbook)
#include "test_workbook.moc"
