#include "app/formabout.h"
#include "app/formhelp.h"
#include "app/rtfreader.h"

#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QtTest>

using namespace zk;

namespace {

// Character format of the first character of `needle` in the document.
QTextCharFormat formatOf(const QTextDocument &doc, const QString &needle)
{
    QTextCursor c = doc.find(needle, 0, QTextDocument::FindCaseSensitively);
    if (c.isNull())
        return {};
    QTextCursor at(const_cast<QTextDocument *>(&doc));
    at.setPosition(c.selectionStart() + 1);
    return at.charFormat();
}

QString plain(const QByteArray &rtf)
{
    QTextDocument doc;
    RtfReader::read(rtf, &doc);
    // Raw text keeps line separators and no-break spaces; paragraphs end in a newline.
    return doc.toRawText().replace(QChar(QChar::ParagraphSeparator), QLatin1Char('\n'));
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

QString shippedHelpPath()
{
    return QDir(qEnvironmentVariable("ZK_SOURCE_DIR")).filePath(QStringLiteral("app/Help_zelta_kn.rtf"));
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TestShell : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    }

    // ---- RTF reader: text --------------------------------------------------

    void text_data()
    {
        QTest::addColumn<QByteArray>("rtf");
        QTest::addColumn<QString>("expected");
        QTest::newRow("cp1251 escapes")
            << QByteArray("{\\rtf1\\ansi\\ansicpg1251 \\'d1\\'ef\\'f0\\'e0\\'e2\\'ea\\'e0}")
            << QStringLiteral("Справка");
        QTest::newRow("cp1251 upper half table")
            << QByteArray("{\\rtf1 \\'a8\\'b8 \\'b9 \\'ab\\'bb \\'97 \\'85 \\'88}")
            << QStringLiteral("Ёё № «» — … €");
        QTest::newRow("uppercase hex") << QByteArray("{\\rtf1 \\'C0\\'FF}") << QStringLiteral("Ая");
        QTest::newRow("unicode, default skip one")
            << QByteArray("{\\rtf1 \\u1047?\\u1045?\\u1051?}") << QStringLiteral("ЗЕЛ");
        QTest::newRow("unicode, skip two")
            << QByteArray("{\\rtf1\\uc2 \\u1058??\\u1040\\'c0\\'c0!}") << QStringLiteral("ТА!");
        QTest::newRow("unicode, skip zero") << QByteArray("{\\rtf1\\uc0 \\u1050 x}")
                                            << QStringLiteral("Кx");
        QTest::newRow("unicode, negative") << QByteArray("{\\rtf1 \\u-3913?}")
                                           << QString(QChar(char16_t(0xF0B7)));
        QTest::newRow("unicode surrogate pair")
            << QByteArray("{\\rtf1 \\u-10179?\\u-8704?}") << QString::fromUtf8("\xF0\x9F\x98\x80");
        QTest::newRow("uc is scoped to its group")
            << QByteArray("{\\rtf1 {\\uc2 \\u1040xx}\\u1041yz}") << QStringLiteral("АБz");
        QTest::newRow("skip ends at a group brace")
            << QByteArray("{\\rtf1\\uc3 \\u1040{\\b B}C}") << QStringLiteral("АBC");
        QTest::newRow("escaped braces and backslash")
            << QByteArray("{\\rtf1 a\\{b\\}c\\\\d}") << QStringLiteral("a{b}c\\d");
        QTest::newRow("paragraph, line, tab")
            << QByteArray("{\\rtf1 one\\par two\\line three\\tab four}")
            << QStringLiteral("one\ntwo") + QChar(QChar::LineSeparator) + QStringLiteral("three\tfour");
        QTest::newRow("control word delimiter space eaten")
            << QByteArray("{\\rtf1\\b  two spaces}") << QStringLiteral(" two spaces");
        QTest::newRow("line ends are not text")
            << QByteArray("{\\rtf1 ab\r\ncd\nef}") << QStringLiteral("abcdef");
        QTest::newRow("special characters")
            << QByteArray("{\\rtf1 a\\emdash b\\endash c\\~d\\bullet\\ldblquote e\\rdblquote}")
            << QStringLiteral("a—b–c") + QChar(0xA0) + QStringLiteral("d•“e”");
        QTest::newRow("text after the document is ignored")
            << QByteArray("{\\rtf1 in}out") << QStringLiteral("in");
        QTest::newRow("not rtf: plain text") << QByteArray("просто текст")
                                             << QStringLiteral("просто текст");
        QTest::newRow("not rtf: cp1251 plain text")
            << QByteArray("\xcf\xf0\xe8\xe2\xe5\xf2") << QStringLiteral("Привет");
    }
    void text()
    {
        QFETCH(QByteArray, rtf);
        QFETCH(QString, expected);
        QCOMPARE(plain(rtf), expected);
    }

    void skippedDestinations_data()
    {
        QTest::addColumn<QByteArray>("rtf");
        QTest::newRow("font and colour tables")
            << QByteArray("{\\rtf1{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red1\\green2\\blue3;}A}");
        QTest::newRow("info") << QByteArray("{\\rtf1{\\info{\\title Hidden}{\\author X}}A}");
        QTest::newRow("stylesheet") << QByteArray("{\\rtf1{\\stylesheet{\\s0 Normal;}}A}");
        QTest::newRow("picture with hex data")
            << QByteArray("{\\rtf1{\\pict\\wmetafile8 0a0b0c\\'ff}A}");
        QTest::newRow("picture with binary data")
            << QByteArray("{\\rtf1{\\pict\\bin5 }{\\x}}A}");
        QTest::newRow("ignorable destination")
            << QByteArray("{\\rtf1{\\*\\unknowndest Hidden {\\b nested}}A}");
        QTest::newRow("ignorable generator") << QByteArray("{\\rtf1{\\*\\generator Riched20;}A}");
        QTest::newRow("field instruction")
            << QByteArray("{\\rtf1{\\field{\\*\\fldinst HYPERLINK x}{\\fldrslt A}}}");
        QTest::newRow("header and footer")
            << QByteArray("{\\rtf1{\\header Top}{\\footer Bottom}A}");
    }
    void skippedDestinations()
    {
        QFETCH(QByteArray, rtf);
        QCOMPARE(plain(rtf), QStringLiteral("A"));
    }

    // ---- RTF reader: formatting ---------------------------------------------

    void characterRuns()
    {
        QTextDocument doc;
        QVERIFY(RtfReader::read(
            "{\\rtf1 N1 \\b B1\\b0  N2 \\i I1\\i0  N3 \\ul U1\\ulnone  N4 \\ul U2\\ul0  N5 "
            "\\b\\i BI\\plain  P1 \\strike S1\\strike0 \\super X1\\nosupersub  Z}",
            &doc));
        struct Run { const char *text; bool bold, italic, underline; };
        const Run runs[] = {
            {"N1", false, false, false}, {"B1", true, false, false}, {"N2", false, false, false},
            {"I1", false, true, false},  {"N3", false, false, false}, {"U1", false, false, true},
            {"N4", false, false, false}, {"U2", false, false, true},  {"N5", false, false, false},
            {"BI", true, true, false},   {"P1", false, false, false},
        };
        for (const Run &r : runs) {
            const QTextCharFormat f = formatOf(doc, QString::fromLatin1(r.text));
            QVERIFY2(f.isValid(), r.text);
            QCOMPARE_EQ(f.fontWeight() == QFont::Bold, r.bold);
            QCOMPARE_EQ(f.fontItalic(), r.italic);
            QCOMPARE_EQ(f.fontUnderline(), r.underline);
        }
        QVERIFY(formatOf(doc, "S1").fontStrikeOut());
        QVERIFY(!formatOf(doc, "X1").fontStrikeOut());
        QCOMPARE(formatOf(doc, "X1").verticalAlignment(), QTextCharFormat::AlignSuperScript);
        QCOMPARE(formatOf(doc, "Z").verticalAlignment(), QTextCharFormat::AlignNormal);
    }

    void fontSize_data()
    {
        QTest::addColumn<QByteArray>("rtf");
        QTest::addColumn<double>("points");
        QTest::newRow("default 12 pt") << QByteArray("{\\rtf1 X}") << 12.0;
        QTest::newRow("fs28") << QByteArray("{\\rtf1\\fs28 X}") << 14.0;
        QTest::newRow("odd half point") << QByteArray("{\\rtf1\\fs17 X}") << 8.5;
        QTest::newRow("plain restores default") << QByteArray("{\\rtf1\\fs40\\plain X}") << 12.0;
        QTest::newRow("zero is refused") << QByteArray("{\\rtf1\\fs0 X}") << 12.0;
        QTest::newRow("huge is bounded") << QByteArray("{\\rtf1\\fs99999999999 X}") << 1000.0;
    }
    void fontSize()
    {
        QFETCH(QByteArray, rtf);
        QFETCH(double, points);
        QTextDocument doc;
        RtfReader::read(rtf, &doc);
        QCOMPARE(formatOf(doc, "X").fontPointSize(), points);
    }

    void fontTable()
    {
        QTextDocument doc;
        RtfReader::read("{\\rtf1\\deff1{\\fonttbl{\\f0\\fswiss\\fcharset204 Arial;}"
                        "{\\f1\\froman{\\*\\panose 0203}Times New Roman;}\\f2 Courier New;}"
                        "D {\\f0 A} {\\f2 C} {\\f7 U}}",
                        &doc);
        QCOMPARE(formatOf(doc, "D").fontFamilies().toStringList(), QStringList{"Times New Roman"});
        QCOMPARE(formatOf(doc, "A").fontFamilies().toStringList(), QStringList{"Arial"});
        QCOMPARE(formatOf(doc, "C").fontFamilies().toStringList(), QStringList{"Courier New"});
        // An unknown font number leaves the family to the document.
        QVERIFY(!formatOf(doc, "U").hasProperty(QTextFormat::FontFamilies));
        QCOMPARE(doc.toPlainText(), QStringLiteral("D A C U"));
    }

    void colourTable()
    {
        QTextDocument doc;
        RtfReader::read("{\\rtf1{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green51\\blue153;"
                        "\\red300\\green-5\\blue7}"
                        "\\cf1 R\\cf2 B\\cf0 Z\\cf3 W\\cf9 N {\\highlight1 H}}",
                        &doc);
        QCOMPARE(formatOf(doc, "R").foreground().color(), QColor(255, 0, 0));
        QCOMPARE(formatOf(doc, "B").foreground().color(), QColor(0, 51, 153));
        // The last entry has no closing semicolon; its parts are bounded to 0..255.
        QCOMPARE(formatOf(doc, "W").foreground().color(), QColor(255, 0, 7));
        // Colour 0 is automatic, and so is a number beyond the table.
        QVERIFY(!formatOf(doc, "Z").hasProperty(QTextFormat::ForegroundBrush));
        QVERIFY(!formatOf(doc, "N").hasProperty(QTextFormat::ForegroundBrush));
        QCOMPARE(formatOf(doc, "H").background().color(), QColor(255, 0, 0));
    }

    void nestedGroupsRestoreFormatting()
    {
        QTextDocument doc;
        RtfReader::read("{\\rtf1{\\colortbl;\\red0\\green0\\blue255;}\\fs20 a{\\b\\fs40 b{\\i\\cf1 c"
                        "{\\plain d}e}f}g}",
                        &doc);
        QCOMPARE(doc.toPlainText(), QStringLiteral("abcdefg"));
        struct Expect { const char *text; bool bold, italic; double points; bool coloured; };
        const Expect expect[] = {
            {"a", false, false, 10, false}, {"b", true, false, 20, false},
            {"c", true, true, 20, true},    {"d", false, false, 12, false},
            {"e", true, true, 20, true},    {"f", true, false, 20, false},
            {"g", false, false, 10, false},
        };
        for (const Expect &e : expect) {
            const QTextCharFormat f = formatOf(doc, QString::fromLatin1(e.text));
            QCOMPARE_EQ(f.fontWeight() == QFont::Bold, e.bold);
            QCOMPARE_EQ(f.fontItalic(), e.italic);
            QCOMPARE(f.fontPointSize(), e.points);
            QCOMPARE_EQ(f.hasProperty(QTextFormat::ForegroundBrush), e.coloured);
        }
    }

    void paragraphs()
    {
        QTextDocument doc;
        RtfReader::read("{\\rtf1\\pard\\qc Title\\par\\pard Body\\par{\\qr Right\\par}\\li300 Ind}",
                        &doc);
        QCOMPARE(doc.blockCount(), 4);
        QCOMPARE(doc.findBlockByNumber(0).text(), QStringLiteral("Title"));
        QCOMPARE(doc.findBlockByNumber(0).blockFormat().alignment() & Qt::AlignHorizontal_Mask,
                 Qt::AlignHCenter);
        QCOMPARE(doc.findBlockByNumber(1).blockFormat().alignment() & Qt::AlignHorizontal_Mask,
                 Qt::AlignLeft);
        QCOMPARE(doc.findBlockByNumber(2).blockFormat().alignment() & Qt::AlignHorizontal_Mask,
                 Qt::AlignRight);
        QCOMPARE(doc.findBlockByNumber(3).text(), QStringLiteral("Ind"));
        QCOMPARE(doc.findBlockByNumber(3).blockFormat().leftMargin(), 20.0);
    }

    void hangingIndent_data()
    {
        QTest::addColumn<QByteArray>("rtf");
        QTest::addColumn<double>("indent"); // of the first line, pixels
        QTest::addColumn<double>("tab");    // the first tab position, pixels

        QTest::newRow("bulleted list") << QByteArray("{\\rtf1\\fi-360\\li720 \\bullet\\tab Item}") << -24.0 << 24.0;
        // A parameter beyond int is taken as the smallest int; its tab lies as far to the right.
        QTest::newRow("smallest int") << QByteArray("{\\rtf1\\li1\\fi-9999999999 x}")
                                      << -2147483648.0 / 15 << 2147483648.0 / 15;
        QTest::newRow("smallest int exactly") << QByteArray("{\\rtf1\\li1\\fi-2147483648 x}")
                                              << -2147483648.0 / 15 << 2147483648.0 / 15;
    }
    void hangingIndent()
    {
        QFETCH(QByteArray, rtf);
        QFETCH(double, indent);
        QFETCH(double, tab);
        QTextDocument doc;
        QVERIFY(RtfReader::read(rtf, &doc));
        const QTextBlockFormat f = doc.firstBlock().blockFormat();
        QCOMPARE(f.textIndent(), indent);
        QCOMPARE(f.tabPositions().size(), 1);
        QCOMPARE(f.tabPositions().first().position, tab);
    }

    void readReplacesContents()
    {
        QTextDocument doc;
        doc.setPlainText(QStringLiteral("old text"));
        RtfReader::read("{\\rtf1 new}", &doc);
        QCOMPARE(doc.toPlainText(), QStringLiteral("new"));
    }

    void malformedInput_data()
    {
        QTest::addColumn<QByteArray>("rtf");
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing closing braces") << QByteArray("{\\rtf1 {\\b abc") << "abc";
        QTest::newRow("stray closing brace") << QByteArray("{\\rtf1 a}}}b") << "a";
        QTest::newRow("closing brace first: not rtf") << QByteArray("}{\\rtf1 a}") << "}{\\rtf1 a}";
        QTest::newRow("truncated control word") << QByteArray("{\\rtf1 ab\\") << "ab";
        QTest::newRow("truncated hex escape") << QByteArray("{\\rtf1 ab\\'c") << "abc";
        QTest::newRow("hex escape without digits") << QByteArray("{\\rtf1 a\\'zz}") << "azz";
        QTest::newRow("truncated unicode") << QByteArray("{\\rtf1 a\\u") << "a";
        QTest::newRow("unicode out of range") << QByteArray("{\\rtf1 a\\u99999?b}") << "ab";
        QTest::newRow("huge parameter") << QByteArray("{\\rtf1\\uc99999999999999999999 \\u1040abc}")
                                        << QStringLiteral("А");
        QTest::newRow("huge bin") << QByteArray("{\\rtf1 a{\\pict\\bin2147483647 xyz}") << "a";
        QTest::newRow("negative bin") << QByteArray("{\\rtf1 a\\bin-5 b}") << "ab";
        QTest::newRow("very long control word")
            << (QByteArray("{\\rtf1 a\\") + QByteArray(100000, 'x') + " b}") << "ab";
        QTest::newRow("deep nesting")
            << (QByteArray("{\\rtf1 ") + QByteArray(20000, '{') + "deep" + QByteArray(20000, '}')
                + "tail}")
            << "deeptail";
        QTest::newRow("unterminated font table")
            << QByteArray("{\\rtf1{\\fonttbl{\\f0 Arial") << QString();
        QTest::newRow("control bytes") << QByteArray("{\\rtf1 a\x01\x02\x00 b}", 14) << "a b";
        QTest::newRow("header only") << QByteArray("{\\rtf") << QString();
    }
    void malformedInput()
    {
        QFETCH(QByteArray, rtf);
        QFETCH(QString, expected);
        QCOMPARE(plain(rtf), expected);
    }

    // ---- the shipped help document --------------------------------------------

    void shippedHelpDocument()
    {
        const QByteArray bytes = fileBytes(shippedHelpPath());
        QVERIFY2(!bytes.isEmpty(), qPrintable(shippedHelpPath()));
        QVERIFY(RtfReader::isRtf(bytes));
        // Plain 7-bit RTF: Cyrillic only as escapes.
        for (char c : bytes)
            QVERIFY(uchar(c) < 0x80);
        QTextDocument doc;
        QVERIFY(RtfReader::read(bytes, &doc));
        const QString text = doc.toPlainText();
        const QStringList sections = {
            QStringLiteral("Подключение к счетчику"), QStringLiteral("Поиск адреса (F3)"),
            QStringLiteral("Чтение и запись установок"), QStringLiteral("Тарифное расписание"),
            QStringLiteral("Журналы и экспорт"), QStringLiteral("Локальный реестр установок"),
            QStringLiteral("Производственный режим"), QStringLiteral("Виртуальный счетчик"),
        };
        for (const QString &s : sections) {
            QVERIFY2(text.contains(s), qPrintable(s));
            // Section titles are headings of their own: bold, larger than the body.
            QTextBlock block = doc.find(s, 0, QTextDocument::FindCaseSensitively).block();
            QCOMPARE(block.text(), s);
            QCOMPARE(formatOf(doc, s).fontWeight(), int(QFont::Bold));
            QVERIFY(formatOf(doc, s).fontPointSize() > 10.0);
        }
        // Captions as the program shows them, and no escape left undecoded.
        for (const QString &caption : {QStringLiteral("«Установить»"), QStringLiteral("«Разорвать»"),
                                       QStringLiteral("Setting.DBF"), QStringLiteral("SettingSql.kvm"),
                                       QStringLiteral("«Открыть таблицу»"),
                                       QStringLiteral("«Сброс изменений»"),
                                       QStringLiteral("build/bin/zelta-kn-sim"),
                                       QStringLiteral("«Ports»"), QStringLiteral("→")})
            QVERIFY2(text.contains(caption), qPrintable(caption));
        QVERIFY(!text.contains(QLatin1Char('\\')));
        QVERIFY(!text.contains(QLatin1Char('{')));
        QVERIFY(!text.contains(QStringLiteral("написано вручную"))); // the generator note
    }

    void helpDocumentInstalledBesideProgram()
    {
        const QString installed = QDir(qEnvironmentVariable("ZK_BIN_DIR")).filePath("Help_zelta_kn.rtf");
        QCOMPARE(fileBytes(installed), fileBytes(shippedHelpPath()));
    }

    // ---- help window -----------------------------------------------------------

    void helpWindowLayout()
    {
        FormHelp form;
        QCOMPARE(form.windowTitle(), QStringLiteral("Справка"));
        QCOMPARE(form.Button1->text(), QStringLiteral("Выход"));
        QVERIFY(form.RichEdit1->isReadOnly());
        QCOMPARE(form.Panel1->height(), 37);
        QVERIFY(!(form.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(form.findChild<QTextEdit *>("RichEdit1"), form.RichEdit1);
    }

    void helpLoadsFromWorkingDirectoryFirst()
    {
        QTemporaryDir work;
        QTemporaryDir app;
        QVERIFY(writeFile(QDir(work.path()).filePath(FormHelp::documentName()),
                          "{\\rtf1 from work}"));
        QVERIFY(writeFile(QDir(app.path()).filePath(FormHelp::documentName()),
                          "{\\rtf1 from app}"));
        FormHelp form;
        QString error;
        QVERIFY(form.loadFrom({work.path(), app.path()}, &error));
        QCOMPARE(form.RichEdit1->toPlainText(), QStringLiteral("from work"));
        QVERIFY(error.isEmpty());

        QTemporaryDir empty;
        QVERIFY(form.loadFrom({empty.path(), app.path()}, &error));
        QCOMPARE(form.RichEdit1->toPlainText(), QStringLiteral("from app"));
        QCOMPARE(form.documentPath(), QDir(app.path()).filePath(FormHelp::documentName()));
    }

    void helpSearchOrder()
    {
        const QStringList folders = FormHelp::searchFolders();
        QVERIFY(!folders.isEmpty());
        QCOMPARE(folders.first(), QDir::currentPath());
        QVERIFY(folders.contains(QCoreApplication::applicationDirPath())
                || QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath()
                       == QFileInfo(QDir::currentPath()).canonicalFilePath());
        QCOMPARE(folders.last(), QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../share/zelta-kn"));
        // The test runs outside the program folder; the installed copy is found there.
        FormHelp form;
        QString error;
        QVERIFY2(form.load(&error), qPrintable(error));
        QVERIFY(form.RichEdit1->toPlainText().contains(QStringLiteral("Виртуальный счетчик")));
    }

    void helpLoadErrors()
    {
        QTemporaryDir a;
        QTemporaryDir b;
        FormHelp form;
        QVERIFY(form.loadFrom({a.path()}, nullptr) == false);
        // A previous document is dropped when loading fails.
        QVERIFY(writeFile(QDir(b.path()).filePath(FormHelp::documentName()), "{\\rtf1 old}"));
        QVERIFY(form.loadFrom({b.path()}));
        QString error;
        QVERIFY(!form.loadFrom({a.path()}, &error));
        QVERIFY(form.RichEdit1->toPlainText().isEmpty());
        QVERIFY(form.documentPath().isEmpty());
        QCOMPARE(error, QStringLiteral("Файл справки \"Help_zelta_kn.rtf\" не найден.\n"
                                       "Папки поиска:\n%1").arg(a.path()));

        // A path that cannot be read as a file.
        error.clear();
        QVERIFY(!form.loadFile(b.path(), &error));
        QVERIFY(error.startsWith(QStringLiteral("Не удалось прочитать файл справки \"%1\": ")
                                     .arg(QDir::toNativeSeparators(b.path()))));
    }

    void helpEscapeAndButtonClose()
    {
        QWidget owner;
        owner.resize(800, 600);
        owner.show();
        FormHelp form(&owner);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTest::keyClick(&form, Qt::Key_Escape);
        QVERIFY(!form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Rejected));

        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTest::mouseClick(form.Button1, Qt::LeftButton);
        QVERIFY(!form.isVisible());
    }

    // ---- memory figures ----------------------------------------------------

    void memInfoParsing_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<quint64>("total");
        QTest::addColumn<quint64>("available");
        QTest::addColumn<bool>("ok");
        QTest::newRow("typical")
            << QByteArray("MemTotal:        8041748 kB\nMemFree:          123456 kB\n"
                          "MemAvailable:    5012345 kB\nBuffers:          100 kB\n")
            << quint64(8041748) * 1024 << quint64(5012345) * 1024 << true;
        QTest::newRow("above 4 GiB")
            << QByteArray("MemTotal:       67108864 kB\nMemAvailable:   33554433 kB\n")
            << quint64(64) * 1024 * 1024 * 1024 << quint64(33554433) * 1024 << true;
        QTest::newRow("old kernel without MemAvailable")
            << QByteArray("MemTotal: 2000 kB\nMemFree: 100 kB\nBuffers: 20 kB\nCached: 3 kB\n"
                          "SwapCached: 999 kB\n")
            << quint64(2000) * 1024 << quint64(123) * 1024 << true;
        QTest::newRow("similar keys are not confused")
            << QByteArray("MemTotalX: 5 kB\nMemTotal: 10 kB\nMemAvailableZ: 3 kB\nMemAvailable: 4 kB\n")
            << quint64(10240) << quint64(4096) << true;
        QTest::newRow("no total") << QByteArray("MemFree: 1 kB\n") << quint64(0) << quint64(1024)
                                  << false;
        QTest::newRow("garbage value") << QByteArray("MemTotal: lots kB\n") << quint64(0)
                                       << quint64(0) << false;
        QTest::newRow("empty") << QByteArray() << quint64(0) << quint64(0) << false;
    }
    void memInfoParsing()
    {
        QFETCH(QByteArray, text);
        QFETCH(quint64, total);
        QFETCH(quint64, available);
        QFETCH(bool, ok);
        const MemInfo info = parseMemInfo(text);
        QCOMPARE(info.totalBytes, total);
        QCOMPARE(info.availableBytes, available);
        QCOMPARE(info.ok, ok);
    }

    void memInfoFromFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("meminfo");
        QVERIFY(writeFile(path, "MemTotal:       16777216 kB\nMemAvailable:    9000000 kB\n"));
        const MemInfo info = readMemInfo(path);
        QVERIFY(info.ok);
        QCOMPARE(info.totalBytes, quint64(16) * 1024 * 1024 * 1024);
        QVERIFY(!readMemInfo(dir.filePath("missing")).ok);
        // The real file of this machine.
        QVERIFY(readMemInfo().totalBytes > 0);
    }

    void memoryFigureTexts_data()
    {
        QTest::addColumn<quint64>("total");
        QTest::addColumn<quint64>("available");
        QTest::addColumn<QString>("totalText");
        QTest::addColumn<QString>("availableText");
        const QString sep = QLocale(QLocale::Russian).groupSeparator();
        auto total = [sep](QString n) {
            return QStringLiteral("Всего физической памяти: ") + n.replace(QLatin1Char(' '), sep)
                + QStringLiteral(" KB");
        };
        auto avail = [sep](QString n) {
            return QStringLiteral("Доступно физической памяти: ")
                + n.replace(QLatin1Char(' '), sep) + QStringLiteral(" KB");
        };
        QTest::newRow("1 GiB") << quint64(1073741824) << quint64(524288000)
                               << total(QStringLiteral("1 048 576"))
                               << avail(QStringLiteral("512 000"));
        QTest::newRow("64 GiB, beyond 32 bits") << quint64(68719476736) << quint64(5000000000)
                                                << total(QStringLiteral("67 108 864"))
                                                << avail(QStringLiteral("4 882 813"));
        QTest::newRow("rounding to whole KB") << quint64(1535) << quint64(1536)
                                              << QStringLiteral("Всего физической памяти: 1 KB")
                                              << QStringLiteral("Доступно физической памяти: 2 KB");
        QTest::newRow("less than half a KB available")
            << quint64(2048) << quint64(511) << QStringLiteral("Всего физической памяти: 2 KB")
            << QStringLiteral("Доступно физической памяти: 0 KB");
        QTest::newRow("nothing known") << quint64(0) << quint64(0)
                                       << QStringLiteral("Всего физической памяти: 0 KB")
                                       << QStringLiteral("Доступно физической памяти: 0 KB");
        QTest::newRow("largest value")
            << std::numeric_limits<quint64>::max() << quint64(512)
            << total(QStringLiteral("18 014 398 509 481 984"))
            << QStringLiteral("Доступно физической памяти: 1 KB");
    }
    void memoryFigureTexts()
    {
        QFETCH(quint64, total);
        QFETCH(quint64, available);
        QFETCH(QString, totalText);
        QFETCH(QString, availableText);
        MemInfo info;
        info.totalBytes = total;
        info.availableBytes = available;
        info.ok = true;
        const MemoryFigures f = memoryFigures(info, QLocale(QLocale::Russian, QLocale::Russia));
        QCOMPARE(f.total, totalText);
        QCOMPARE(f.available, availableText);
    }

    void thousandsSeparatorFollowsLocale()
    {
        QCOMPARE(formatKilobytes(quint64(1073741824), QLocale::c()), QStringLiteral("1,048,576"));
        QCOMPARE(formatKilobytes(quint64(1073741824), QLocale(QLocale::German)),
                 QStringLiteral("1.048.576"));
        QVERIFY(formatKilobytes(511).isEmpty());
    }

    // ---- About window ------------------------------------------------------

    void aboutCaptions()
    {
        AboutBox about;
        QCOMPARE(about.windowTitle(), QStringLiteral("О программе"));
        QCOMPARE(about.ProductName->text(), QStringLiteral("3-х тарифный 3-х фазный эл. счетчик"));
        QVERIFY(about.ProductName->font().bold());
        QCOMPARE(about.Label11->text(), QStringLiteral("Программирование ЗЕЛТА-КН"));
        QVERIFY(about.Label11->font().bold());
        QCOMPARE(about.Version->text(), QStringLiteral("Версия 1.7"));
        QCOMPARE(about.GroupBox1->title(), QStringLiteral("Наши координаты"));
        QStringList captions;
        for (QLabel *l : about.GroupBox1->findChildren<QLabel *>())
            captions << l->text();
        for (const QString &c : {QStringLiteral("Web-страница:"), QStringLiteral("E-mail:"),
                                 QStringLiteral("Телефоны:")})
            QVERIFY2(captions.contains(c), qPrintable(c));
        QCOMPARE(about.Label1->text(), QStringLiteral("Всего физической памяти"));
        QCOMPARE(about.Label2->text(), QStringLiteral("Доступно физической памяти"));
        QCOMPARE(about.OKButton->text(), QStringLiteral("OK"));
        QVERIFY(about.OKButton->isDefault());
        QCOMPARE(about.Image1->size(), QSize(165, 93));
        QVERIFY(!about.Image1->pixmap().isNull());
        QVERIFY(!about.Image2->pixmap().isNull());
        QCOMPARE(about.Label3->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(about.Label3->palette().color(QPalette::WindowText), QColor(Qt::blue));
    }

    void aboutShowsMemoryOnEachShowing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("meminfo");
        QVERIFY(writeFile(path, "MemTotal: 1048576 kB\nMemAvailable: 0 kB\n"));
        AboutBox about;
        about.setMemInfoPath(path);
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        const QString sep = QLocale().groupSeparator();
        QCOMPARE(about.Label1->text(),
                 QStringLiteral("Всего физической памяти: 1") + sep + QStringLiteral("048") + sep
                     + QStringLiteral("576 KB"));
        QCOMPARE(about.Label2->text(), QStringLiteral("Доступно физической памяти: 0 KB"));
        QVERIFY(about.width() >= 394 && about.height() >= 281);
        // OK closes; the next showing reads the figures again.
        QTest::mouseClick(about.OKButton, Qt::LeftButton);
        QVERIFY(!about.isVisible());
        QCOMPARE(about.result(), int(QDialog::Accepted));
        QVERIFY(writeFile(path, "MemTotal: 8589934592 kB\nMemAvailable: 2 kB\n"));
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QCOMPARE(about.Label1->text(),
                 QStringLiteral("Всего физической памяти: 8") + sep + QStringLiteral("589") + sep
                     + QStringLiteral("934") + sep + QStringLiteral("592 KB"));
        QCOMPARE(about.Label2->text(), QStringLiteral("Доступно физической памяти: 2 KB"));
        about.close();
    }

    void aboutLinks()
    {
        AboutBox about;
        QList<QUrl> opened;
        about.setUrlOpener([&opened](const QUrl &u) {
            opened << u;
            return false; // a failure is not reported
        });
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QTest::mouseClick(about.Label3, Qt::LeftButton);
        QTest::mouseClick(about.Label6, Qt::LeftButton);
        QTest::mouseClick(about.Label8, Qt::LeftButton); // plain text: nothing opens
        QCOMPARE(opened.size(), 2);
        QCOMPARE(opened.at(0).scheme(), QStringLiteral("http"));
        QCOMPARE(opened.at(0).host(), about.Label3->text());
        QCOMPARE(opened.at(1).toString(), QStringLiteral("mailto:") + about.Label6->text());
        QVERIFY(about.isVisible());
        about.close();
    }
};

QTEST_MAIN(TestShell)
#include "test_shell.moc"
