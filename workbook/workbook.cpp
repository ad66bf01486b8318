#include "workbook/workbook.h"

#include "core/lebytes.h"
#include "workbook/compoundfile.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <cmath>
#include <iterator>
#include <vector>

namespace zk {

namespace {

// BIFF8 record identifiers.
enum RecordId : quint16 {
    BofRecord = 0x0809,
    EofRecord = 0x000A,
    // workbook globals
    CodepageRecord = 0x0042,
    DsfRecord = 0x0161,
    TabIdRecord = 0x013D,
    WindowProtectRecord = 0x0019,
    ProtectRecord = 0x0012,
    PasswordRecord = 0x0013,
    BackupRecord = 0x0040,
    HideObjRecord = 0x008D,
    Window1Record = 0x003D,
    DateModeRecord = 0x0022,
    PrecisionRecord = 0x000E,
    RefreshAllRecord = 0x01B7,
    BookBoolRecord = 0x00DA,
    FontRecord = 0x0031,
    XfRecord = 0x00E0,
    StyleRecord = 0x0293,
    BoundSheetRecord = 0x0085,
    CountryRecord = 0x008C,
    SstRecord = 0x00FC,
    ContinueRecord = 0x003C,
    ExtSstRecord = 0x00FF,
    // worksheet
    CalcModeRecord = 0x000D,
    CalcCountRecord = 0x000C,
    RefModeRecord = 0x000F,
    IterationRecord = 0x0011,
    DeltaRecord = 0x0010,
    SaveRecalcRecord = 0x005F,
    PrintHeadersRecord = 0x002A,
    PrintGridlinesRecord = 0x002B,
    GridSetRecord = 0x0082,
    GutsRecord = 0x0080,
    DefaultRowHeightRecord = 0x0225,
    WsBoolRecord = 0x0081,
    HeaderRecord = 0x0014,
    FooterRecord = 0x0015,
    HCenterRecord = 0x0083,
    VCenterRecord = 0x0084,
    LeftMarginRecord = 0x0026,
    RightMarginRecord = 0x0027,
    TopMarginRecord = 0x0028,
    BottomMarginRecord = 0x0029,
    SetupRecord = 0x00A1,
    DefColWidthRecord = 0x0055,
    ColInfoRecord = 0x007D,
    DimensionsRecord = 0x0200,
    LabelSstRecord = 0x00FD,
    NumberRecord = 0x0203,
    Window2Record = 0x023E,
};

constexpr int MaxRecordData = 8224; // data bytes of one record; longer data goes on in CONTINUE records

constexpr quint16 BofWorkbookGlobals = 0x0005;
constexpr quint16 BofWorksheet = 0x0010;
constexpr quint16 Utf16Codepage = 1200;
constexpr quint16 CountryRussia = 7;

// The blank template.
const char *const TemplateSheets[] = {"Лист1", "Лист2", "Лист3"};
constexpr int FirstSheet = 0;
constexpr quint16 FontHeight = 200;        // twips: 10 points
constexpr quint8 FontFamilySwiss = 2;
constexpr quint8 FontCharsetCyrillic = 204;
constexpr quint16 FontWeightNormal = 400;
constexpr quint16 FontColourAutomatic = 0x7FFF;
constexpr int FontRecords = 4;             // index 4 is never written; more fonts would start at 5
constexpr int StyleXfs = 15;
constexpr quint16 CellXf = 15;             // the one cell format: general, font 0
constexpr quint16 ColumnWidth = 2961;      // 1/256 of a character: 11.57 characters
constexpr quint16 DefaultColumnChars = 11; // DEFCOLWIDTH holds whole characters; COLINFO carries the exact width
constexpr quint16 RowHeight = 257;         // twips: 12.85 points
constexpr double SideMargin = 0.7875;      // inches
constexpr double TopBottomMargin = 1.0528;
constexpr double HeaderFooterMargin = 0.7875;
constexpr quint16 PaperA4 = 9;
constexpr quint16 ScalePercent = 100;
constexpr quint16 PrintResolution = 600;
const char *const HeaderText = "&C&\"Times New Roman,Обычный\"&12&A";
const char *const FooterText = "&C&\"Times New Roman,Обычный\"&12Страница &P";

// Record data under construction.
class Body
{
public:
    Body &u8(quint8 v)
    {
        le::u8(bytes, v);
        return *this;
    }
    Body &u16(quint16 v)
    {
        le::u16(bytes, v);
        return *this;
    }
    Body &u32(quint32 v)
    {
        le::u32(bytes, v);
        return *this;
    }
    Body &f64(double v)
    {
        le::f64(bytes, v);
        return *this;
    }
    // Characters of an uncompressed (16-bit) Unicode string.
    Body &chars(const QString &s, int from = 0, int count = -1)
    {
        if (count < 0)
            count = s.size() - from;
        const ushort *u = s.utf16() + from;
        for (int i = 0; i < count; ++i)
            le::u16(bytes, u[i]);
        return *this;
    }
    // ShortXLUnicodeString: 8-bit count, flags, 16-bit characters.
    Body &shortString(const QString &s)
    {
        Q_ASSERT(s.size() <= 255);
        return u8(quint8(s.size())).u8(0x01).chars(s);
    }
    // XLUnicodeString: 16-bit count, flags, 16-bit characters.
    Body &string(const QString &s)
    {
        return u16(quint16(s.size())).u8(0x01).chars(s);
    }
    int size() const { return bytes.size(); }

    QByteArray bytes;
};

class Stream
{
public:
    int pos() const { return data.size(); }
    void record(quint16 id, const Body &body = Body())
    {
        Q_ASSERT(body.size() <= MaxRecordData);
        le::u16(data, id);
        le::u16(data, quint16(body.size()));
        data.append(body.bytes);
    }

    QByteArray data;
};

void writeBof(Stream &s, quint16 type)
{
    s.record(BofRecord, Body()
                                .u16(0x0600)  // BIFF8
                                .u16(type)
                                .u16(0x0DBB)  // build and year of the writing application's
                                .u16(0x07CC)  // format revision: Excel 97
                                .u32(0)       // file history flags
                                .u32(0x0006)); // lowest version that can read every record: BIFF8
}

void writeFont(Stream &s)
{
    s.record(FontRecord, Body()
                                 .u16(FontHeight)
                                 .u16(0) // not italic, not struck out
                                 .u16(FontColourAutomatic)
                                 .u16(FontWeightNormal)
                                 .u16(0) // no super- or subscript
                                 .u8(0)  // no underline
                                 .u8(FontFamilySwiss)
                                 .u8(FontCharsetCyrillic)
                                 .u8(0)
                                 .shortString(QStringLiteral("Arial")));
}

// Style XFs have no parent (0xFFF); for them a set bit among the used
// attribute flags means the group is not part of the style. A cell XF's cleared
// bit means the group comes from its parent style.
void writeXf(Stream &s, quint16 font, bool style, quint8 usedAttributes)
{
    const quint16 locked = 0x0001;
    const quint16 typeAndParent = style ? quint16(0xFFF0 | 0x0004 | locked) : quint16((0 << 4) | locked);
    s.record(XfRecord, Body()
                               .u16(font)
                               .u16(0) // number format 0: General
                               .u16(typeAndParent)
                               .u8(0x20) // horizontal general, vertical bottom, no wrap
                               .u8(0)    // no rotation
                               .u8(0)    // no indent, no shrink, text direction by context
                               .u8(usedAttributes)
                               .u32(0)   // no borders
                               .u32(0)   // no border colours, no fill pattern
                               .u16(0x40 | (0x41 << 7))); // pattern colours: system foreground and background
}

// The shared string table in SST and CONTINUE records, and its EXTSST index.
// A string's count and flags stay in one record together with its first
// character; a string cut at a record boundary goes on in the next CONTINUE
// record after a repeated flags byte. A surrogate pair is never cut.
void writeSharedStrings(Stream &s, const std::vector<const QString *> &strings, quint32 references)
{
    const int unique = int(strings.size());
    const int perBucket = std::max(8, (unique + 127) / 128);
    std::vector<std::pair<quint32, quint16>> buckets; // stream position, offset within its record

    quint16 id = SstRecord;
    Body rec;
    rec.u32(references).u32(quint32(unique));
    auto room = [&rec] { return MaxRecordData - rec.size(); };
    auto flush = [&] {
        s.record(id, rec);
        rec = Body();
        id = ContinueRecord;
    };

    for (int k = 0; k < unique; ++k) {
        const QString &text = *strings[size_t(k)];
        const int n = text.size();
        const ushort *u = text.utf16();
        int first = n == 0 ? 0 : (n > 1 && QChar::isHighSurrogate(u[0]) ? 4 : 2);
        if (room() < 3 + first)
            flush();
        if (k % perBucket == 0)
            buckets.emplace_back(quint32(s.pos() + 4 + rec.size()), quint16(4 + rec.size()));
        rec.u16(quint16(n)).u8(0x01);
        int done = 0;
        for (;;) {
            int take = std::min(n - done, room() / 2);
            if (take < n - done && take > 0 && QChar::isHighSurrogate(u[done + take - 1]))
                --take;
            rec.chars(text, done, take);
            done += take;
            if (done == n)
                break;
            flush();
            rec.u8(0x01);
        }
    }
    flush();

    Body ext;
    ext.u16(quint16(perBucket));
    for (const auto &[position, offset] : buckets)
        ext.u32(position).u16(offset).u16(0);
    s.record(ExtSstRecord, ext);
}

void writeSheet(Stream &s, bool first, const std::map<quint32, std::variant<QString, double>> &cells,
                const QHash<QString, quint32> &stringIndex)
{
    writeBof(s, BofWorksheet);
    s.record(CalcModeRecord, Body().u16(1)); // automatic
    s.record(CalcCountRecord, Body().u16(100));
    s.record(RefModeRecord, Body().u16(1)); // A1 references
    s.record(IterationRecord, Body().u16(0));
    s.record(DeltaRecord, Body().f64(0.001));
    s.record(SaveRecalcRecord, Body().u16(1));
    s.record(PrintHeadersRecord, Body().u16(0));
    s.record(PrintGridlinesRecord, Body().u16(0));
    s.record(GridSetRecord, Body().u16(1));
    s.record(GutsRecord, Body().u16(0).u16(0).u16(0).u16(0));
    // Bit 0: the height is set, not derived from the default font.
    s.record(DefaultRowHeightRecord, Body().u16(0x0001).u16(RowHeight));
    s.record(WsBoolRecord, Body().u16(0x04C1)); // automatic page breaks, outline symbols, summaries below and right

    s.record(HeaderRecord, Body().string(QString::fromUtf8(HeaderText)));
    s.record(FooterRecord, Body().string(QString::fromUtf8(FooterText)));
    s.record(HCenterRecord, Body().u16(0));
    s.record(VCenterRecord, Body().u16(0));
    s.record(LeftMarginRecord, Body().f64(SideMargin));
    s.record(RightMarginRecord, Body().f64(SideMargin));
    s.record(TopMarginRecord, Body().f64(TopBottomMargin));
    s.record(BottomMarginRecord, Body().f64(TopBottomMargin));
    s.record(SetupRecord, Body()
                                  .u16(PaperA4)
                                  .u16(ScalePercent)
                                  .u16(1) // first page number (unused: automatic)
                                  .u16(1) // fit to 1 page wide
                                  .u16(1) // and 1 page tall (unused: scaling by percent)
                                  .u16(0x0002) // portrait; paper, scale and orientation are valid
                                  .u16(PrintResolution)
                                  .u16(PrintResolution)
                                  .f64(HeaderFooterMargin)
                                  .f64(HeaderFooterMargin)
                                  .u16(1)); // copies

    s.record(DefColWidthRecord, Body().u16(DefaultColumnChars));
    s.record(ColInfoRecord, Body()
                                    .u16(0)
                                    .u16(Workbook::MaxColumns - 1)
                                    .u16(ColumnWidth)
                                    .u16(CellXf)
                                    .u16(0)  // visible, no outline
                                    .u16(0));

    quint32 rowFirst = 0, rowEnd = 0;
    quint16 colFirst = 0, colEnd = 0;
    if (first && !cells.empty()) {
        rowFirst = cells.begin()->first / Workbook::MaxColumns;
        rowEnd = cells.rbegin()->first / Workbook::MaxColumns + 1;
        colFirst = Workbook::MaxColumns;
        for (const auto &cell : cells) {
            const quint16 c = quint16(cell.first % Workbook::MaxColumns);
            colFirst = std::min(colFirst, c);
            colEnd = std::max(colEnd, quint16(c + 1));
        }
    }
    s.record(DimensionsRecord, Body().u32(rowFirst).u32(rowEnd).u16(colFirst).u16(colEnd).u16(0));

    if (first) {
        for (const auto &[key, value] : cells) {
            Body cell;
            cell.u16(quint16(key / Workbook::MaxColumns)).u16(quint16(key % Workbook::MaxColumns)).u16(CellXf);
            if (const QString *text = std::get_if<QString>(&value)) {
                s.record(LabelSstRecord, cell.u32(stringIndex.value(*text)));
            } else {
                s.record(NumberRecord, cell.f64(std::get<double>(value)));
            }
        }
    }

    // Grid, headings, zeros, outline symbols and the default grid colour shown;
    // the first sheet is selected and the one on screen.
    const quint16 windowFlags = first ? 0x06B6 : 0x00B6;
    s.record(Window2Record, Body()
                                    .u16(windowFlags)
                                    .u16(0) // top row
                                    .u16(0) // left column
                                    .u16(64) // grid colour: system window text
                                    .u16(0)
                                    .u16(0) // page break preview zoom: default
                                    .u16(0) // normal view zoom: default
                                    .u32(0));
    s.record(EofRecord);
}

} // namespace

Workbook::Workbook() = default;

QStringList Workbook::sheetNames() const
{
    QStringList names;
    for (const char *name : TemplateSheets)
        names << QString::fromUtf8(name);
    return names;
}

quint32 Workbook::cellKey(int row, int column)
{
    if (row < 1 || row > MaxRows || column < 1 || column > MaxColumns)
        throw WorkbookError(QStringLiteral("Cell at row %1, column %2 is outside the sheet (rows 1 to %3, columns 1 to %4)")
                                    .arg(row)
                                    .arg(column)
                                    .arg(MaxRows)
                                    .arg(MaxColumns));
    return quint32(row - 1) * MaxColumns + quint32(column - 1);
}

void Workbook::setText(int row, int column, const QString &text)
{
    const quint32 key = cellKey(row, column);
    if (text.size() > MaxTextLength)
        throw WorkbookError(QStringLiteral("Text of %1 characters for row %2, column %3 is longer than a cell holds (%4)")
                                    .arg(text.size())
                                    .arg(row)
                                    .arg(column)
                                    .arg(MaxTextLength));
    // A surrogate without its partner is no character: readers refuse the file, so it is
    // stored as U+FFFD.
    QString stored = text;
    for (qsizetype i = 0; i < stored.size(); ++i) {
        const QChar c = stored.at(i);
        if (c.isHighSurrogate() && i + 1 < stored.size() && stored.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            stored[i] = QChar(QChar::ReplacementCharacter);
    }
    m_cells[key] = stored;
}

void Workbook::setNumber(int row, int column, double value)
{
    const quint32 key = cellKey(row, column);
    if (!std::isfinite(value))
        throw WorkbookError(QStringLiteral("Number for row %1, column %2 is not finite").arg(row).arg(column));
    m_cells[key] = value;
}

QByteArray Workbook::toBytes() const
{
    // Shared strings in the order of their first cell.
    QHash<QString, quint32> stringIndex;
    std::vector<const QString *> strings;
    quint32 references = 0;
    for (const auto &cell : m_cells) {
        if (const QString *text = std::get_if<QString>(&cell.second)) {
            ++references;
            if (!stringIndex.contains(*text)) {
                stringIndex.insert(*text, quint32(strings.size()));
                strings.push_back(text);
            }
        }
    }

    Stream s;
    writeBof(s, BofWorkbookGlobals);
    s.record(CodepageRecord, Body().u16(Utf16Codepage));
    s.record(DsfRecord, Body().u16(0));
    Body tabs;
    for (int i = 0; i < int(std::size(TemplateSheets)); ++i)
        tabs.u16(quint16(i + 1));
    s.record(TabIdRecord, tabs);
    s.record(WindowProtectRecord, Body().u16(0));
    s.record(ProtectRecord, Body().u16(0));
    s.record(PasswordRecord, Body().u16(0));
    s.record(BackupRecord, Body().u16(0));
    s.record(HideObjRecord, Body().u16(0));
    s.record(Window1Record, Body()
                                    .u16(0)     // window position and size, twips
                                    .u16(0)
                                    .u16(15000)
                                    .u16(9000)
                                    .u16(0x0038) // scroll bars and sheet tabs shown
                                    .u16(FirstSheet) // active sheet
                                    .u16(0)     // first tab shown
                                    .u16(1)     // one sheet selected
                                    .u16(600)); // tab bar width, per mille
    s.record(DateModeRecord, Body().u16(0)); // dates counted from 1900
    s.record(PrecisionRecord, Body().u16(1)); // full precision
    s.record(RefreshAllRecord, Body().u16(0));
    s.record(BookBoolRecord, Body().u16(0));
    for (int i = 0; i < FontRecords; ++i)
        writeFont(s);
    writeXf(s, 0, true, 0x00); // Normal: every attribute group
    for (int i = 1; i < StyleXfs; ++i)
        writeXf(s, quint16(i <= 2 ? 1 : i <= 4 ? 2 : 0), true, 0xF4); // outline styles: font only
    writeXf(s, 0, false, 0x00);
    s.record(StyleRecord, Body().u16(0x8000 | 0).u8(0).u8(0xFF)); // built-in style Normal on XF 0

    std::vector<int> sheetPositionAt;
    for (const char *name : TemplateSheets) {
        sheetPositionAt.push_back(s.pos() + 4);
        s.record(BoundSheetRecord, Body()
                                           .u32(0) // position of the sheet's BOF, filled in below
                                           .u8(0)  // visible
                                           .u8(0)  // worksheet
                                           .shortString(QString::fromUtf8(name)));
    }
    s.record(CountryRecord, Body().u16(CountryRussia).u16(CountryRussia));
    writeSharedStrings(s, strings, references);
    s.record(EofRecord);

    for (int i = 0; i < int(sheetPositionAt.size()); ++i) {
        le::setU32(s.data, sheetPositionAt[size_t(i)], quint32(s.pos()));
        writeSheet(s, i == FirstSheet, m_cells, stringIndex);
    }

    return compoundFile(QStringLiteral("Workbook"), s.data);
}

void Workbook::save(const QString &path, SaveMode mode) const
{
    const QByteArray bytes = toBytes();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | (mode == NewFileOnly ? QIODevice::NewOnly : QIODevice::Truncate)))
        throw WorkbookError(QStringLiteral("Не удалось создать файл %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    // Written straight to the descriptor, so that a refusal (no room on the disk, say)
    // is reported with the system's own reason.
    bool ok = true;
    QString error;
    const auto failWith = [&](int err) {
        ok = false;
        error = QString::fromLocal8Bit(std::strerror(err));
    };
    for (qint64 done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(file.handle(), bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0)
            failWith(EIO);
        else if (errno != EINTR)
            failWith(errno);
    }
    // On the disk before the caller renames it over an older file: a write the file
    // system could only refuse later (a network share gone) is reported here, and a
    // crash after the rename cannot leave an empty file in place of the old one.
    if (ok && ::fsync(file.handle()) != 0)
        failWith(errno);
    file.close();
    if (ok && file.error() != QFileDevice::NoError) {
        ok = false;
        error = file.errorString();
    }
    if (!ok) {
        file.remove();
        throw WorkbookError(QStringLiteral("Не удалось записать файл %1: %2").arg(QDir::toNativeSeparators(path), error));
    }
}

} // namespace zk
