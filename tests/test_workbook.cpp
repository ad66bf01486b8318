// The workbook writer and the journal export. Every file is read back by xlrd
// through tests/xlsdump.py; page setup, header, footer and window records, which
// xlrd does not keep, are read from the stream xlrd's container reader extracts.

#include "schedule/journalexport.h"
#include "workbook/compoundfile.h"
#include "workbook/workbook.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
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

// What xlsdump.py reports about a file; fails the running test when the file
// cannot be read or either reader logged a complaint.
QJsonObject readBack(const QString &path, int digestOver = 1 << 30)
{
    if (python().isEmpty()) {
        QTest::qFail("no python3 with xlrd (Debian package python3-xlrd)", __FILE__, __LINE__);
        return {};
    }
    const QByteArray source = qgetenv("ZK_SOURCE_DIR");
    const QString script = source.isEmpty() ? QFINDTESTDATA("xlsdump.py")
                                            : QString::fromLocal8Bit(source) + QStringLiteral("/tests/xlsdump.py");
    QProcess p;
    p.start(python(), {script, path, QString::number(digestOver)});
    if (!p.waitForFinished(240000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        QTest::qFail(qPrintable(QStringLiteral("xlrd cannot read %1: %2").arg(path, QString::fromUtf8(p.readAllStandardError()))),
                     __FILE__, __LINE__);
        return {};
    }
    const QJsonObject book = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    const QString log = book.value(QStringLiteral("log")).toString();
    if (book.isEmpty() || !log.isEmpty()) {
        QTest::qFail(qPrintable(QStringLiteral("readers complained: %1").arg(log)), __FILE__, __LINE__);
        return {};
    }
    return book;
}

// What xlrd's container reader makes of a compound file: the named stream's size and
// SHA-1, and xlsdump.py's check of the allocation table and the DIFAT chain.
QJsonObject readContainer(const QString &path, const QString &streamName)
{
    static const char script[] = R"(
import hashlib, io, json, os, sys
sys.path.insert(0, os.path.dirname(sys.argv[1]))
import xlsdump
from xlrd import compdoc
data = open(sys.argv[2], 'rb').read()
log = io.StringIO()
stream = compdoc.CompDoc(data, logfile=log).get_named_stream(sys.argv[3])
print(json.dumps({'container': xlsdump.container(data), 'log': log.getvalue(),
                  'size': -1 if stream is None else len(stream),
                  'sha1': '' if stream is None else hashlib.sha1(stream).hexdigest()}))
)";
    if (python().isEmpty()) {
        QTest::qFail("no python3 with xlrd (Debian package python3-xlrd)", __FILE__, __LINE__);
        return {};
    }
    const QByteArray source = qgetenv("ZK_SOURCE_DIR");
    const QString dump = source.isEmpty() ? QFINDTESTDATA("xlsdump.py")
                                          : QString::fromLocal8Bit(source) + QStringLiteral("/tests/xlsdump.py");
    QProcess p;
    p.start(python(), {QStringLiteral("-c"), QString::fromUtf8(script), dump, path, streamName});
    if (!p.waitForFinished(240000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        QTest::qFail(qPrintable(QStringLiteral("xlrd cannot read %1: %2").arg(path, QString::fromUtf8(p.readAllStandardError()))),
                     __FILE__, __LINE__);
        return {};
    }
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

// Directory entry `index` of a compound file as "name|name length|type|colour|left|
// right|child|start|size", "-" for no entry and "end" for the end of a chain; with
// "|junk" when the name area holds anything after the name's terminator.
QString directoryEntry(const QByteArray &file, int index)
{
    const auto u32 = [&](int at) { return qFromLittleEndian<quint32>(file.constData() + at); };
    const auto id = [](quint32 v) {
        return v == 0xFFFFFFFFu ? QStringLiteral("-") : v == 0xFFFFFFFEu ? QStringLiteral("end") : QString::number(v);
    };
    const int at = 512 + int(u32(48)) * 512 + 128 * index;
    const int nameBytes = qFromLittleEndian<quint16>(file.constData() + at + 64);
    const int units = std::max(0, nameBytes / 2 - 1);
    const QString name = QString::fromUtf16(reinterpret_cast<const char16_t *>(file.constData() + at), units);
    const QByteArray rest = file.mid(at + 2 * units, 64 - 2 * units);
    QString entry = QStringList{name, QString::number(nameBytes), QString::number(quint8(file.at(at + 66))),
                                QString::number(quint8(file.at(at + 67))), id(u32(at + 68)), id(u32(at + 72)),
                                id(u32(at + 76)), id(u32(at + 116)), QString::number(u32(at + 120))}
                        .join(QLatin1Char('|'));
    if (rest.count('\0') != rest.size() || u32(at + 124) != 0)
        entry += QStringLiteral("|junk");
    return entry;
}

#define READ_BACK(var, ...)                                                                                   \
    const QJsonObject var = readBack(__VA_ARGS__);                                                            \
    if (QTest::currentTestFailed())                                                                           \
        return

// Where actual differs from expected, every member of an expected object being
// compared and nothing else; empty when they agree.
QString mismatch(const QJsonValue &actual, const QJsonValue &expected, const QString &where = QString())
{
    if (expected.isObject()) {
        const QJsonObject e = expected.toObject();
        for (auto it = e.begin(); it != e.end(); ++it) {
            const QString m = mismatch(actual.toObject().value(it.key()), it.value(), where + QLatin1Char('/') + it.key());
            if (!m.isEmpty())
                return m;
        }
        return QString();
    }
    if (expected.isArray() && actual.isArray() && actual.toArray().size() == expected.toArray().size()) {
        for (int i = 0; i < expected.toArray().size(); ++i) {
            const QString m = mismatch(actual.toArray().at(i), expected.toArray().at(i), where + QLatin1Char('/') + QString::number(i));
            if (!m.isEmpty())
                return m;
        }
        return QString();
    }
    if (actual == expected)
        return QString();
    auto text = [](const QJsonValue &v) { return QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact)); };
    return QStringLiteral("%1: %2, expected %3").arg(where, text(actual), text(expected));
}

#define COMPARE_SUBSET(actual, expectedJson)                                                                  \
    do {                                                                                                      \
        const QString m_ = mismatch(actual, QJsonDocument::fromJson(expectedJson).object());                  \
        QVERIFY2(m_.isEmpty(), qPrintable(m_));                                                               \
    } while (false)

// The cells of a sheet by 1-based row and column: "t:" and the text, or "n:"
// and the number.
QHash<QPair<int, int>, QString> cellsOf(const QJsonObject &book, int sheet = 0)
{
    QHash<QPair<int, int>, QString> cells;
    for (const QJsonValue &c : book[QStringLiteral("sheets")][sheet][QStringLiteral("cells")].toArray()) {
        const QJsonArray a = c.toArray();
        const QString value = a[2].toString() == QLatin1String("number") ? QString::number(a[3].toDouble(), 'g', 17)
                                                               : a[3].toString();
        cells.insert({a[0].toInt() + 1, a[1].toInt() + 1}, a[2].toString().left(1) + QLatin1Char(':') + value);
    }
    return cells;
}

QString number(double v)
{
    return QStringLiteral("n:") + QString::number(v, 'g', 17);
}

QString text(const QString &t)
{
    return QStringLiteral("t:") + t;
}

QString sha1Tag(const QString &t)
{
    return QStringLiteral("sha1:") + QString::fromLatin1(QCryptographicHash::hash(t.toUtf8(), QCryptographicHash::Sha1).toHex());
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

// Both the index and the layout rule of the shared strings hold.
const char *const SharedStringsLaidOut = R"({"sst_layout": {"index_ok": true, "first_char_kept": true}})";

} // namespace

class TestWorkbook : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void blankWorkbook();
    void blankSheet_data();
    void blankSheet();
    void cells_data();
    void cells();
    void replacedCells();
    void rejectedCells_data();
    void rejectedCells();
    void saveFailures_data();
    void saveFailures();
    void recordBoundaries_data();
    void recordBoundaries();
    void largeTable();
    void longTexts();
    void compoundContainer_data();
    void compoundContainer();
    void streamNameLimits_data();
    void streamNameLimits();

    void numberTest_data();
    void numberTest();
    void temporaryNames_data();
    void temporaryNames();
    void exportedSheet_data();
    void exportedSheet();
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

void TestWorkbook::blankWorkbook()
{
    // Version 3 container without a mini stream; Unicode code page; the first
    // sheet active and alone selected; Arial 10 and the 15 style XFs plus one
    // cell XF; the Normal style on XF 0.
    COMPARE_SUBSET(m_blank, R"({
        "container": {"major_version": 3, "sector_size": 512, "marks_ok": true, "mini_fat_sectors": 0},
        "codepage": 1200, "window1": {"active": 0, "selected_tabs": 1},
        "font": {"name": "Arial", "height": 200, "weight": 400, "italic": false},
        "xfs": 16, "style_xfs": 15, "styles": {"Normal": [1, 0]}, "sst_unique": 0})");
    // No XF draws a border or fills its cells.
    COMPARE_SUBSET(m_blank, R"({"xf_borders": [[0, 0, 0, 0, 0, 0]]})");
    COMPARE_SUBSET(m_blank, SharedStringsLaidOut);
    QCOMPARE(Workbook().sheetNames(), QStringList({"Лист1", "Лист2", "Лист3"}));
}

void TestWorkbook::blankSheet_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("shown");
    QTest::newRow("Лист1") << 0 << "Лист1" << true;
    QTest::newRow("Лист2") << 1 << "Лист2" << false;
    QTest::newRow("Лист3") << 2 << "Лист3" << false;
}

void TestWorkbook::blankSheet()
{
    QFETCH(int, index);
    QFETCH(QString, name);
    QFETCH(bool, shown);
    const QJsonObject sheet = m_blank[QStringLiteral("sheets")][index].toObject();
    QCOMPARE(sheet[QStringLiteral("name")].toString(), name);
    QCOMPARE(sheet[QStringLiteral("selected")].toBool(), shown);
    QCOMPARE(sheet[QStringLiteral("visible")].toBool(), shown);
    COMPARE_SUBSET(sheet, R"({
        "column_widths": [2961], "hidden_columns": 0, "default_row_height": 257, "row_height_set": true,
        "shows": {"grid": true, "headings": true, "zeros": true, "formulas": false},
        "header": "&C&\"Times New Roman,Обычный\"&12&A",
        "footer": "&C&\"Times New Roman,Обычный\"&12Страница &P",
        "margins": {"left": 0.7875, "right": 0.7875, "top": 1.0528, "bottom": 1.0528},
        "setup": {"paper": 9, "scale": 100, "portrait": true, "settings_valid": true,
                  "header_margin": 0.7875, "footer_margin": 0.7875},
        "centred": {"horizontal": false, "vertical": false},
        "zoom": {"page_break_preview": 0, "normal": 0},
        "nrows": 0, "dimensions": [0, 0, 0, 0]})");
}

void TestWorkbook::cells_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QVariant>("value"); // QString: text cell, double: number cell
    QTest::addColumn<QString>("shown");  // the text read back when not the value itself

    QTest::newRow("Cyrillic text at A1") << 1 << 1 << QVariant(QStringLiteral("Годовой журнал Счетчик № 12345, ")) << QString();
    QTest::newRow("empty text") << 2 << 2 << QVariant(QString()) << QString();
    QTest::newRow("digits as text") << 3 << 1 << QVariant(QStringLiteral("12345")) << QString();
    QTest::newRow("text past the BMP") << 1 << 3 << QVariant(QStringLiteral("€ ≤ \U0001F600 ё")) << QString();
    QTest::newRow("zero") << 4 << 2 << QVariant(0.0) << QString();
    QTest::newRow("negative fraction") << 5 << 7 << QVariant(-1234.5678) << QString();
    QTest::newRow("third") << 6 << 1 << QVariant(1.0 / 3.0) << QString();
    QTest::newRow("huge") << 7 << 1 << QVariant(1e300) << QString();
    QTest::newRow("last row") << 65536 << 1 << QVariant(QStringLiteral("внизу")) << QString();
    QTest::newRow("last column") << 1 << 256 << QVariant(2.5) << QString();
    QTest::newRow("last cell") << 65536 << 256 << QVariant(QStringLiteral("угол")) << QString();
    QTest::newRow("lone high surrogate") << 2 << 1 << QVariant(QStringLiteral("а") + QChar(0xD83D) + QStringLiteral("б"))
                                         << QStringLiteral("а\uFFFDб");
    QTest::newRow("lone low surrogate last") << 2 << 1 << QVariant(QStringLiteral("а") + QChar(0xDE00))
                                             << QStringLiteral("а\uFFFD");
    QTest::newRow("pair reversed") << 2 << 1 << QVariant(QString(QChar(0xDE00)) + QChar(0xD83D))
                                   << QStringLiteral("\uFFFD\uFFFD");
}

void TestWorkbook::cells()
{
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QVariant, value);
    QFETCH(QString, shown);
    // The cell and a neighbour of the other kind in its row.
    const bool isText = value.typeId() == QMetaType::QString;
    const int other = column == 1 ? 2 : column - 1;
    Workbook book;
    if (isText) {
        book.setText(row, column, value.toString());
        book.setNumber(row, other, 42);
    } else {
        book.setNumber(row, column, value.toDouble());
        book.setText(row, other, QStringLiteral("рядом"));
    }
    const QString path = m_dir.filePath(QStringLiteral("cells.xls"));
    book.save(path);

    READ_BACK(read, path);
    const auto cells = cellsOf(read);
    QCOMPARE(cells.size(), 2);
    QCOMPARE(cells.value({row, column}), isText ? text(shown.isNull() ? value.toString() : shown) : number(value.toDouble()));
    QCOMPARE(cells.value({row, other}), isText ? number(42) : text(QStringLiteral("рядом")));
    QCOMPARE(read[QStringLiteral("sheets")][0][QStringLiteral("dimensions")].toArray(),
             QJsonArray({row - 1, row, std::min(column, other) - 1, std::max(column, other)}));
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
    QCOMPARE(cells.value({1, 1}), number(7));
    for (int row = 2; row <= 4; ++row)
        QCOMPARE(cells.value({row, 1}), text(QStringLiteral("б")));
    COMPARE_SUBSET(read, R"({"sst_total": 3, "sst_unique": 1})");
}

void TestWorkbook::rejectedCells_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QVariant>("value");
    const QVariant x = QStringLiteral("x");
    QTest::newRow("row 0") << 0 << 1 << x;
    QTest::newRow("column 0") << 1 << 0 << QVariant(1.0);
    QTest::newRow("negative row") << -1 << 1 << x;
    QTest::newRow("row past the sheet") << 65537 << 1 << QVariant(1.0);
    QTest::newRow("column past the sheet") << 1 << 257 << x;
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
    if (value.typeId() == QMetaType::QString)
        QVERIFY_THROWS_EXCEPTION(WorkbookError, book.setText(row, column, value.toString()));
    else
        QVERIFY_THROWS_EXCEPTION(WorkbookError, book.setNumber(row, column, value.toDouble()));
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
    QTest::newRow("a lone pair at the end") << 5 << QStringLiteral("\U0001F600");
    QTest::newRow("a lone pair fits") << 7 << QStringLiteral("\U0001F600");
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
    COMPARE_SUBSET(read, R"({"sst_continues": 1})");
    COMPARE_SUBSET(read, SharedStringsLaidOut);
    const auto cells = cellsOf(read);
    for (int i = 0; i < texts.size(); ++i)
        QCOMPARE(cells.value({i + 1, 1}), text(texts.at(i)));
}

void TestWorkbook::largeTable()
{
    // A consumption journal of 10,000 rows in 7 columns: unique and repeated texts
    // and numbers. The shared strings need many CONTINUE records, the file many
    // FAT sectors.
    Workbook book;
    QHash<QPair<int, int>, QString> expected;
    for (int r = 1; r <= 10000; ++r) {
        const QString stamp = QStringLiteral("%1.%2 %3:%4 запись %5")
                                      .arg(r % 28 + 1, 2, 10, QLatin1Char('0'))
                                      .arg(r % 12 + 1, 2, 10, QLatin1Char('0'))
                                      .arg(r % 24)
                                      .arg(r % 60, 2, 10, QLatin1Char('0'))
                                      .arg(r);
        const QString status = r % 3 ? QStringLiteral("Норма") : QStringLiteral("Сбой питания");
        const double numbers[] = {double(r / 164), double(r % 164), r * 0.125, r * 1.00001};
        const int numberColumns[] = {1, 2, 4, 5};
        for (int i = 0; i < 4; ++i) {
            book.setNumber(r, numberColumns[i], numbers[i]);
            expected.insert({r, numberColumns[i]}, number(numbers[i]));
        }
        book.setText(r, 3, stamp);
        book.setText(r, 6, QString());
        book.setText(r, 7, status);
        expected.insert({r, 3}, text(stamp));
        expected.insert({r, 6}, text(QString()));
        expected.insert({r, 7}, text(status));
    }
    const QString path = m_dir.filePath(QStringLiteral("large.xls"));
    book.save(path);

    READ_BACK(read, path);
    COMPARE_SUBSET(read, R"({"sst_unique": 10003, "sst_total": 30000, "container": {"marks_ok": true}})");
    COMPARE_SUBSET(read, SharedStringsLaidOut);
    QVERIFY(read[QStringLiteral("sst_continues")].toInt() > 20);
    QVERIFY(read[QStringLiteral("largest_record")].toInt() <= 8224);
    const QJsonObject container = read[QStringLiteral("container")].toObject();
    QVERIFY(container[QStringLiteral("fat_sectors")].toInt() > 10);
    QCOMPARE(container[QStringLiteral("fat_sectors_listed")].toInt(), container[QStringLiteral("fat_sectors")].toInt());
    QVERIFY(cellsOf(read) == expected);
}

void TestWorkbook::longTexts()
{
    // Texts up to the most a cell holds, cut across many CONTINUE records, with
    // surrogate pairs that must not be cut; together enough bytes that the FAT
    // sectors no longer fit the header's list.
    QStringList texts = {QString(), QStringLiteral("б"), QStringLiteral("\U0001F600")};
    for (int i = 0; i < 150; ++i) {
        QString t = QStringLiteral("%1:").arg(i);
        const QString unit = i % 2 ? QStringLiteral("\U0001F600") : QStringLiteral("Журнал ");
        while (t.size() + unit.size() <= Workbook::MaxTextLength - (i % 2))
            t += unit;
        texts << t;
    }
    Workbook book;
    QHash<QPair<int, int>, QString> expected;
    for (int i = 0; i < texts.size(); ++i) {
        book.setText(i + 1, 1 + i % 3, texts.at(i));
        expected.insert({i + 1, 1 + i % 3}, text(texts.at(i).size() > 64 ? sha1Tag(texts.at(i)) : texts.at(i)));
    }
    const QString path = m_dir.filePath(QStringLiteral("long.xls"));
    book.save(path);

    READ_BACK(read, path, 64);
    COMPARE_SUBSET(read, SharedStringsLaidOut);
    const QJsonObject container = read[QStringLiteral("container")].toObject();
    QVERIFY(container[QStringLiteral("fat_sectors")].toInt() > 109);
    QVERIFY(container[QStringLiteral("difat_sectors")].toInt() > 0);
    QCOMPARE(container[QStringLiteral("difat_sectors_chained")].toInt(), container[QStringLiteral("difat_sectors")].toInt());
    QCOMPARE(container[QStringLiteral("fat_sectors_listed")].toInt(), container[QStringLiteral("fat_sectors")].toInt());
    QVERIFY(container[QStringLiteral("marks_ok")].toBool());
    QVERIFY(read[QStringLiteral("largest_record")].toInt() <= 8224);
    QVERIFY(cellsOf(read) == expected);
}

void TestWorkbook::compoundContainer_data()
{
    // Streams around the sector size (shorter ones are padded to 4096 bytes), and
    // large enough for one and for two DIFAT sectors.
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("difat"); // DIFAT sectors
    QTest::newRow("empty") << "Workbook" << 0 << 0;
    QTest::newRow("one byte") << "Workbook" << 1 << 0;
    QTest::newRow("4096: eight sectors") << "Workbook" << 4096 << 0;
    QTest::newRow("4097: a byte into the ninth") << "Workbook" << 4097 << 0;
    QTest::newRow("4607") << "Workbook" << 4607 << 0;
    QTest::newRow("4608") << "Workbook" << 4608 << 0;
    QTest::newRow("4609") << "Workbook" << 4609 << 0;
    QTest::newRow("31-character name") << QString(31, QLatin1Char('n')) << 5000 << 0;
    // 16384 stream sectors need 130 FAT sectors, 32768 need 259 (109 in the header).
    QTest::newRow("one DIFAT sector") << "Workbook" << (8 << 20) << 1;
    QTest::newRow("two DIFAT sectors") << "Workbook" << (16 << 20) << 2;
}

void TestWorkbook::compoundContainer()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(int, difat);
    QByteArray stream(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        stream[i] = char((i * 7 + i / 512) % 251);
    const QByteArray file = compoundFile(name, stream);
    const QString path = m_dir.filePath(QStringLiteral("container.bin"));
    QVERIFY(writeFile(path, file));

    const QByteArray padded = stream + QByteArray(std::max(0, 4096 - size), '\0');
    const QJsonObject read = readContainer(path, name);
    QVERIFY(!read.isEmpty());
    QCOMPARE(read[QStringLiteral("log")].toString(), QString());
    QCOMPARE(read[QStringLiteral("size")].toInt(), padded.size());
    QCOMPARE(read[QStringLiteral("sha1")].toString(),
             QString::fromLatin1(QCryptographicHash::hash(padded, QCryptographicHash::Sha1).toHex()));
    const QJsonObject container = read[QStringLiteral("container")].toObject();
    QVERIFY(container[QStringLiteral("marks_ok")].toBool());
    QCOMPARE(container[QStringLiteral("fat_sectors_listed")].toInt(), container[QStringLiteral("fat_sectors")].toInt());
    QCOMPARE(container[QStringLiteral("difat_sectors_chained")].toInt(), container[QStringLiteral("difat_sectors")].toInt());
    QCOMPARE(container[QStringLiteral("difat_sectors")].toInt(), difat);

    // The root storage, black, with the stream as its only child and no mini stream;
    // the stream black as well; the rest of the sector unused entries.
    QCOMPARE(directoryEntry(file, 0), QStringLiteral("Root Entry|22|5|1|-|-|1|end|0"));
    QCOMPARE(directoryEntry(file, 1),
             QStringLiteral("%1|%2|2|1|-|-|-|0|%3").arg(name).arg((name.size() + 1) * 2).arg(padded.size()));
    QCOMPARE(directoryEntry(file, 2), QStringLiteral("|0|0|0|-|-|-|0|0"));
    QCOMPARE(directoryEntry(file, 3), QStringLiteral("|0|0|0|-|-|-|0|0"));
}

void TestWorkbook::streamNameLimits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("fits");
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("31 characters") << QString(31, QLatin1Char('n')) << true;
    QTest::newRow("32 characters") << QString(32, QLatin1Char('n')) << false;
}

void TestWorkbook::streamNameLimits()
{
    QFETCH(QString, name);
    QFETCH(bool, fits);
    if (fits)
        QCOMPARE(directoryEntry(compoundFile(name, QByteArray(10, 'x')), 1).section(QLatin1Char('|'), 0, 1),
                 name + QStringLiteral("|64"));
    else
        QVERIFY_THROWS_EXCEPTION(WorkbookError, compoundFile(name, QByteArray(10, 'x')));
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
    QTest::addColumn<QString>("b3");
    QTest::addColumn<QString>("c3");
    QTest::newRow("decimal comma") << russian() << number(1) << text(QStringLiteral("2.50000"));
    QTest::newRow("decimal point") << QLocale::c() << text(QStringLiteral("1,00000")) << number(2.5);
}

void TestWorkbook::exportedSheet()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, b3);
    QFETCH(QString, c3);
    // The annual journal's grid: titles, a month read, a month never read, and a
    // row shorter than the others.
    ExportTable table;
    table.rows << QStringList{"месяц", "1 тариф", "2 тариф", "3 тариф", "наработка"}
               << QStringList{"07 янв.", "1,00000", "2.50000", "0", "1234:5"}
               << QStringList{"фев.", "", "", "", ""}
               << QStringList{"март"};
    const QString path = m_dir.filePath(QStringLiteral("annual.xls"));
    writeExport(table, journalTitle(true, 12345), path, locale);

    READ_BACK(read, path);
    const auto cells = cellsOf(read);
    QList<QStringList> grid;
    for (int r = 1; r <= 6; ++r) {
        QStringList row;
        for (int c = 1; c <= 6; ++c)
            row << cells.value({r, c}, QStringLiteral("-"));
        grid << row;
    }
    const QString e = text(QString());
    const QList<QStringList> expected = {
        {text("Годовой журнал Счетчик № 12345, "), e, e, e, e, "-"},
        {text("месяц"), text("1 тариф"), text("2 тариф"), text("3 тариф"), text("наработка"), "-"},
        {text("07 янв."), b3, c3, number(0), text("1234:5"), "-"},
        {text("фев."), e, e, e, e, "-"},
        {text("март"), e, e, e, e, "-"},
        {"-", "-", "-", "-", "-", "-"},
    };
    QCOMPARE(grid, expected);
    // The template around the data.
    COMPARE_SUBSET(read, R"({"sheets": [{"name": "Лист1", "selected": true, "column_widths": [2961]},
                                       {"name": "Лист2", "nrows": 0}, {"name": "Лист3", "nrows": 0}]})");
}

void TestWorkbook::exportBesideTemporaryFile()
{
    // 1new.xls belongs to someone else: the export uses another temporary name,
    // leaves 1new.xls alone, replaces the earlier file and leaves nothing else.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString chosen = dir.filePath(QStringLiteral("out.xls"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("1new.xls")), "not ours"));
    QVERIFY(writeFile(chosen, "earlier export"));
    // Permissions the temporary file would not get from the umask.
    const QFile::Permissions shared = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup;
    QVERIFY(QFile::setPermissions(chosen, shared));
    QCOMPARE(temporaryName(chosen), dir.filePath(QStringLiteral("2new.xls")));

    ExportTable table;
    table.rows << QStringList{"Страница", "1 тариф"} << QStringList{"05.03 14:30", "3,5"};
    writeExport(table, journalTitle(false, 0), chosen, russian());

    QCOMPARE(fileContents(dir.filePath(QStringLiteral("1new.xls"))), QByteArray("not ours"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList({"1new.xls", "out.xls"}));
    READ_BACK(read, chosen);
    QCOMPARE(cellsOf(read).value({1, 1}), text(QStringLiteral("Журнал потребления ")));
    QCOMPARE(cellsOf(read).value({3, 2}), number(3.5));
    QCOMPARE(QFile::permissions(chosen) & ~(QFile::ReadUser | QFile::WriteUser), shared);
}

void TestWorkbook::exportFailures_data()
{
    QTest::addColumn<QString>("failure");
    QTest::newRow("chosen path is a folder") << "folder";
    QTest::newRow("folder missing") << "missing";
    QTest::newRow("write cut short") << "size limit";
    QTest::newRow("folder read-only") << "read-only";
    QTest::newRow("open in an office program") << "office lock";
}

void TestWorkbook::exportFailures()
{
    // Whatever fails, the earlier file stays as it was and no temporary file is left.
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
    } else if (failure == QLatin1String("office lock")) {
        QVERIFY(writeFile(dir.filePath(QStringLiteral(".~lock.old.xls#")), ",user,host,10.12.2026 16:00,user;"));
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
    } catch (const ExportError &e) {
        thrown = true;
        if (failure == QLatin1String("office lock"))
            QVERIFY2(e.text().contains(chosen), qPrintable(e.text()));
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
