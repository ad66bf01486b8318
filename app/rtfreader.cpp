#include "app/rtfreader.h"

#include "records/dbftable.h"

#include <QColor>
#include <QHash>
#include <QMap>
#include <QStringDecoder>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <limits>
#include <vector>

namespace zk {

namespace {

constexpr int kDefaultFontSize = 24; // half-points, 12 pt
constexpr int kMaxFontSize = 2000;   // 1000 pt
constexpr size_t kMaxDepth = 4096;   // deeper groups share the state of this level
constexpr double kTwipsPerPixel = 15.0;

enum class Dest { Text, FontTable, ColorTable, Skip };

struct State
{
    Dest dest = Dest::Text;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    int vertical = 0; // 1 superscript, -1 subscript
    int fontSize = kDefaultFontSize;
    int font = -1; // -1: the document's default font
    int color = 0; // 0: automatic
    int highlight = 0;
    int ucSkip = 1;
    Qt::Alignment align = Qt::AlignLeft;
    int leftIndent = 0; // twips
    int rightIndent = 0;
    int firstIndent = 0;
    int spaceBefore = 0;
    int spaceAfter = 0;

    void resetCharacter()
    {
        bold = italic = underline = strike = false;
        vertical = 0;
        fontSize = kDefaultFontSize;
        font = -1;
        color = 0;
        highlight = 0;
    }
    void resetParagraph()
    {
        align = Qt::AlignLeft;
        leftIndent = rightIndent = firstIndent = 0;
        spaceBefore = spaceAfter = 0;
    }
};

enum class Word {
    Par, Line, Tab, Cell, Row, Page,
    Bold, Italic, Underline, UnderlineNone, Strike, Super, Sub, NoSuperSub,
    FontSize, Font, DefaultFont, DefaultTab, Color, Highlight, Plain, Pard,
    AlignLeft, AlignCenter, AlignRight, AlignJustify,
    LeftIndent, RightIndent, FirstIndent, SpaceBefore, SpaceAfter,
    Unicode, UnicodeSkip,
    FontTable, ColorTable, Red, Green, Blue,
    SkipDest, Bin,
    EmDash, EnDash, Bullet, LQuote, RQuote, LDblQuote, RDblQuote, EmSpace, EnSpace,
};

const QHash<QByteArray, Word> &words()
{
    static const QHash<QByteArray, Word> table = [] {
        QHash<QByteArray, Word> t;
        t.insert("par", Word::Par);
        t.insert("sect", Word::Par);
        t.insert("line", Word::Line);
        t.insert("tab", Word::Tab);
        t.insert("cell", Word::Cell);
        t.insert("row", Word::Row);
        t.insert("page", Word::Page);
        t.insert("b", Word::Bold);
        t.insert("i", Word::Italic);
        t.insert("ul", Word::Underline);
        t.insert("uld", Word::Underline);
        t.insert("uldb", Word::Underline);
        t.insert("ulw", Word::Underline);
        t.insert("ulnone", Word::UnderlineNone);
        t.insert("strike", Word::Strike);
        t.insert("super", Word::Super);
        t.insert("sub", Word::Sub);
        t.insert("nosupersub", Word::NoSuperSub);
        t.insert("fs", Word::FontSize);
        t.insert("f", Word::Font);
        t.insert("deff", Word::DefaultFont);
        t.insert("deftab", Word::DefaultTab);
        t.insert("cf", Word::Color);
        t.insert("highlight", Word::Highlight);
        t.insert("cb", Word::Highlight);
        t.insert("plain", Word::Plain);
        t.insert("pard", Word::Pard);
        t.insert("ql", Word::AlignLeft);
        t.insert("qc", Word::AlignCenter);
        t.insert("qr", Word::AlignRight);
        t.insert("qj", Word::AlignJustify);
        t.insert("li", Word::LeftIndent);
        t.insert("ri", Word::RightIndent);
        t.insert("fi", Word::FirstIndent);
        t.insert("sb", Word::SpaceBefore);
        t.insert("sa", Word::SpaceAfter);
        t.insert("u", Word::Unicode);
        t.insert("uc", Word::UnicodeSkip);
        t.insert("fonttbl", Word::FontTable);
        t.insert("colortbl", Word::ColorTable);
        t.insert("red", Word::Red);
        t.insert("green", Word::Green);
        t.insert("blue", Word::Blue);
        t.insert("bin", Word::Bin);
        t.insert("emdash", Word::EmDash);
        t.insert("endash", Word::EnDash);
        t.insert("bullet", Word::Bullet);
        t.insert("lquote", Word::LQuote);
        t.insert("rquote", Word::RQuote);
        t.insert("ldblquote", Word::LDblQuote);
        t.insert("rdblquote", Word::RDblQuote);
        t.insert("emspace", Word::EmSpace);
        t.insert("enspace", Word::EnSpace);
        // Destinations whose contents are not part of the text.
        for (const char *name : {"info", "stylesheet", "pict", "shppict", "nonshppict", "object",
                                 "header", "headerl", "headerr", "headerf", "footer", "footerl",
                                 "footerr", "footerf", "footnote", "annotation", "listtable",
                                 "listoverridetable", "revtbl", "rsidtbl", "generator",
                                 "xmlnstbl", "themedata", "colorschememapping", "latentstyles",
                                 "datastore", "fldinst", "filetbl", "pgdsctbl", "template",
                                 "fchars", "lchars", "mmathPr", "bkmkstart", "bkmkend", "pn",
                                 "pntext", "listtext", "txe", "xe", "tc", "operator", "author",
                                 "title", "comment", "doccomm", "keywords", "subject"})
            t.insert(QByteArray(name), Word::SkipDest);
        return t;
    }();
    return table;
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

class Parser
{
public:
    Parser(const QByteArray &in, QTextDocument *doc) : in_(in), doc_(doc), cursor_(doc) {}

    void run()
    {
        setTabWidth(720); // half an inch unless the document says otherwise
        pos_ = 0;
        const int size = in_.size();
        bool started = false;
        while (pos_ < size) {
            const char c = in_.at(pos_);
            if (c == '{') {
                ++pos_;
                openGroup();
                started = true;
            } else if (c == '}') {
                ++pos_;
                if (closeGroup() && started)
                    break; // the outermost group is closed: the document ends here
            } else if (c == '\\') {
                controlWord();
            } else {
                ++pos_;
                textByte(uchar(c));
            }
        }
        flush();
        if (!closed_)
            applyBlockFormat();
    }

private:
    // ---- groups -----------------------------------------------------------

    void openGroup()
    {
        flush();
        skipChars_ = 0;
        if (stack_.size() >= kMaxDepth) {
            ++overflow_;
            return;
        }
        stack_.push_back(st_);
    }

    // Returns true when the outermost group has just been closed.
    bool closeGroup()
    {
        flush();
        skipChars_ = 0;
        if (overflow_ > 0) {
            --overflow_;
            return false;
        }
        if (stack_.empty())
            return true; // a stray closing brace: nothing is open
        if (st_.dest == Dest::FontTable)
            finishFont();
        if (st_.dest == Dest::ColorTable && colorStarted_)
            finishColor();
        if (stack_.size() == 1) {
            // The last paragraph takes the properties in force at the end.
            applyBlockFormat();
            closed_ = true;
        }
        st_ = stack_.back();
        stack_.pop_back();
        return stack_.empty();
    }

    // ---- control words and symbols ----------------------------------------

    void controlWord()
    {
        const int size = in_.size();
        ++pos_; // the backslash
        if (pos_ >= size)
            return; // a truncated control word at the very end
        const char c = in_.at(pos_);
        if (!isLetter(c)) {
            ++pos_;
            controlSymbol(c);
            return;
        }
        const int start = pos_;
        while (pos_ < size && isLetter(in_.at(pos_)))
            ++pos_;
        const QByteArray name = in_.mid(start, pos_ - start);
        bool hasParam = false;
        qint64 param = 0;
        bool negative = false;
        if (pos_ < size && in_.at(pos_) == '-' && pos_ + 1 < size && in_.at(pos_ + 1) >= '0'
            && in_.at(pos_ + 1) <= '9') {
            negative = true;
            ++pos_;
        }
        while (pos_ < size && in_.at(pos_) >= '0' && in_.at(pos_) <= '9') {
            hasParam = true;
            if (param < std::numeric_limits<int>::max())
                param = param * 10 + (in_.at(pos_) - '0');
            ++pos_;
        }
        if (pos_ < size && in_.at(pos_) == ' ')
            ++pos_; // the delimiting space belongs to the control word
        if (negative)
            param = -param;
        param = qBound(qint64(std::numeric_limits<int>::min()), param,
                       qint64(std::numeric_limits<int>::max()));
        applyWord(name, hasParam, int(param));
    }

    void controlSymbol(char c)
    {
        switch (c) {
        case '\\':
        case '{':
        case '}':
            textChar(QChar::fromLatin1(c));
            return;
        case '\'': {
            if (pos_ + 1 < in_.size() && isHex(in_.at(pos_)) && isHex(in_.at(pos_ + 1))) {
                const int byte = hexValue(in_.at(pos_)) * 16 + hexValue(in_.at(pos_ + 1));
                pos_ += 2;
                textChar(cp1251ToUnicode(uchar(byte)));
            }
            // A malformed escape is dropped; what follows is read as usual.
            return;
        }
        case '~':
            textChar(QChar(0x00A0));
            return;
        case '_':
            textChar(QChar(0x2011));
            return;
        case '-':
            consumeSkip(); // an optional hyphen is not shown
            return;
        case '*':
            st_.dest = Dest::Skip;
            return;
        case '\n':
        case '\r':
            if (consumeSkip())
                return;
            paragraph();
            return;
        default:
            consumeSkip();
            return; // other symbols (\:, \|) carry nothing visible
        }
    }

    void applyWord(const QByteArray &name, bool hasParam, int param)
    {
        const auto it = words().constFind(name);
        if (it == words().constEnd()) {
            consumeSkip();
            return;
        }
        const Word w = it.value();
        if (w == Word::Bin) {
            // Binary data follows; it is never text.
            const int n = hasParam ? qMax(0, param) : 0;
            pos_ = int(qMin<qint64>(in_.size(), qint64(pos_) + n));
            return;
        }
        if (w == Word::Unicode) {
            if (st_.dest == Dest::Skip)
                return;
            if (consumeSkip() || !hasParam)
                return;
            int code = param;
            if (code < 0)
                code += 65536;
            if (code > 0 && code <= 0xFFFF)
                textChar(QChar(char16_t(code)), false);
            skipChars_ = st_.ucSkip;
            return;
        }
        if (consumeSkip())
            return;

        // Text-producing words keep the pending run open.
        switch (w) {
        case Word::Tab:
        case Word::Cell:
            textChar(QLatin1Char('\t'));
            return;
        case Word::Line:
            textChar(QChar::LineSeparator);
            return;
        case Word::EmDash:
            textChar(QChar(0x2014));
            return;
        case Word::EnDash:
            textChar(QChar(0x2013));
            return;
        case Word::Bullet:
            textChar(QChar(0x2022));
            return;
        case Word::LQuote:
            textChar(QChar(0x2018));
            return;
        case Word::RQuote:
            textChar(QChar(0x2019));
            return;
        case Word::LDblQuote:
            textChar(QChar(0x201C));
            return;
        case Word::RDblQuote:
            textChar(QChar(0x201D));
            return;
        case Word::EmSpace:
            textChar(QChar(0x2003));
            return;
        case Word::EnSpace:
            textChar(QChar(0x2002));
            return;
        default:
            break;
        }

        flush();
        const bool on = !hasParam || param != 0;
        switch (w) {
        case Word::Par:
        case Word::Row:
        case Word::Page:
            if (st_.dest == Dest::Text)
                paragraph();
            break;
        case Word::Bold:
            st_.bold = on;
            break;
        case Word::Italic:
            st_.italic = on;
            break;
        case Word::Underline:
            st_.underline = on;
            break;
        case Word::UnderlineNone:
            st_.underline = false;
            break;
        case Word::Strike:
            st_.strike = on;
            break;
        case Word::Super:
            st_.vertical = 1;
            break;
        case Word::Sub:
            st_.vertical = -1;
            break;
        case Word::NoSuperSub:
            st_.vertical = 0;
            break;
        case Word::FontSize:
            st_.fontSize = (hasParam && param > 0) ? qMin(param, kMaxFontSize) : kDefaultFontSize;
            break;
        case Word::Font:
            if (st_.dest == Dest::FontTable) {
                finishFont();
                fontId_ = param;
            } else {
                st_.font = param;
            }
            break;
        case Word::DefaultFont:
            defaultFont_ = param;
            break;
        case Word::DefaultTab:
            if (param > 0)
                setTabWidth(param);
            break;
        case Word::Color:
            st_.color = param;
            break;
        case Word::Highlight:
            st_.highlight = param;
            break;
        case Word::Plain:
            st_.resetCharacter();
            break;
        case Word::Pard:
            st_.resetParagraph();
            break;
        case Word::AlignLeft:
            st_.align = Qt::AlignLeft;
            break;
        case Word::AlignCenter:
            st_.align = Qt::AlignHCenter;
            break;
        case Word::AlignRight:
            st_.align = Qt::AlignRight;
            break;
        case Word::AlignJustify:
            st_.align = Qt::AlignJustify;
            break;
        case Word::LeftIndent:
            st_.leftIndent = param;
            break;
        case Word::RightIndent:
            st_.rightIndent = param;
            break;
        case Word::FirstIndent:
            st_.firstIndent = param;
            break;
        case Word::SpaceBefore:
            st_.spaceBefore = param;
            break;
        case Word::SpaceAfter:
            st_.spaceAfter = param;
            break;
        case Word::UnicodeSkip:
            st_.ucSkip = qBound(0, param, 16);
            break;
        case Word::FontTable:
            if (st_.dest != Dest::Skip) {
                st_.dest = Dest::FontTable;
                fontId_ = -1;
                fontName_.clear();
            }
            break;
        case Word::ColorTable:
            if (st_.dest != Dest::Skip) {
                st_.dest = Dest::ColorTable;
                colors_.clear();
                colorStarted_ = false;
            }
            break;
        case Word::Red:
            colorPart(red_, param);
            break;
        case Word::Green:
            colorPart(green_, param);
            break;
        case Word::Blue:
            colorPart(blue_, param);
            break;
        case Word::SkipDest:
            st_.dest = Dest::Skip;
            break;
        default:
            break;
        }
    }

    // After \uN the next ucSkip characters are the fallback for readers that
    // do not know Unicode; they are dropped. Returns true when this element
    // was one of them.
    bool consumeSkip()
    {
        if (skipChars_ <= 0)
            return false;
        --skipChars_;
        return true;
    }

    // ---- text ---------------------------------------------------------------

    void textByte(uchar b)
    {
        if (b == '\r' || b == '\n' || b == 0)
            return;
        if (consumeSkip())
            return;
        if (b < 0x20 && b != '\t')
            return;
        textChar(cp1251ToUnicode(b), false);
    }

    void textChar(QChar ch, bool countsForSkip = true)
    {
        if (countsForSkip && consumeSkip())
            return;
        switch (st_.dest) {
        case Dest::Skip:
            return;
        case Dest::FontTable:
            if (ch == QLatin1Char(';'))
                finishFont();
            else
                fontName_.append(ch);
            return;
        case Dest::ColorTable:
            if (ch == QLatin1Char(';'))
                finishColor();
            return;
        case Dest::Text:
            pending_.append(ch);
            return;
        }
    }

    void flush()
    {
        if (pending_.isEmpty())
            return;
        cursor_.insertText(pending_, charFormat());
        pending_.clear();
    }

    void paragraph()
    {
        flush();
        applyBlockFormat();
        cursor_.insertBlock();
    }

    void setTabWidth(int twips)
    {
        QTextOption option = doc_->defaultTextOption();
        option.setTabStopDistance(qMin(twips, 14400) / kTwipsPerPixel);
        doc_->setDefaultTextOption(option);
    }

    void applyBlockFormat()
    {
        QTextBlockFormat f;
        f.setAlignment(st_.align);
        f.setLeftMargin(qMax(0, st_.leftIndent) / kTwipsPerPixel);
        f.setRightMargin(qMax(0, st_.rightIndent) / kTwipsPerPixel);
        f.setTextIndent(st_.firstIndent / kTwipsPerPixel);
        if (st_.firstIndent < 0 && st_.leftIndent > 0) {
            // A hanging indent: the first tab of the first line goes to the
            // left indent, as word processors lay out bulleted lists.
            // Tab positions count from where the first line starts. Negated as a double:
            // the indent may be the smallest int, whose negation an int cannot hold.
            f.setTabPositions(
                {QTextOption::Tab(-double(st_.firstIndent) / kTwipsPerPixel, QTextOption::LeftTab)});
        }
        f.setTopMargin(qMax(0, st_.spaceBefore) / kTwipsPerPixel);
        f.setBottomMargin(qMax(0, st_.spaceAfter) / kTwipsPerPixel);
        cursor_.setBlockFormat(f);
    }

    QTextCharFormat charFormat() const
    {
        QTextCharFormat f;
        f.setFontWeight(st_.bold ? QFont::Bold : QFont::Normal);
        f.setFontItalic(st_.italic);
        f.setFontUnderline(st_.underline);
        f.setFontStrikeOut(st_.strike);
        f.setFontPointSize(st_.fontSize / 2.0);
        if (st_.vertical > 0)
            f.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
        else if (st_.vertical < 0)
            f.setVerticalAlignment(QTextCharFormat::AlignSubScript);
        const int font = st_.font >= 0 ? st_.font : defaultFont_;
        const QString family = fonts_.value(font);
        if (!family.isEmpty())
            f.setFontFamilies(QStringList{family});
        if (st_.color > 0 && st_.color < colors_.size() && colors_.at(st_.color).isValid())
            f.setForeground(colors_.at(st_.color));
        if (st_.highlight > 0 && st_.highlight < colors_.size()
            && colors_.at(st_.highlight).isValid())
            f.setBackground(colors_.at(st_.highlight));
        return f;
    }

    // ---- tables -------------------------------------------------------------

    void finishFont()
    {
        const QString name = fontName_.trimmed();
        if (fontId_ >= 0 && !name.isEmpty())
            fonts_.insert(fontId_, name);
        fontName_.clear();
    }

    void colorPart(int &part, int value)
    {
        if (st_.dest != Dest::ColorTable)
            return;
        part = qBound(0, value, 255);
        colorStarted_ = true;
    }

    void finishColor()
    {
        // An entry without components is the automatic colour.
        colors_.append(colorStarted_ ? QColor(red_, green_, blue_) : QColor());
        red_ = green_ = blue_ = 0;
        colorStarted_ = false;
    }

    const QByteArray &in_;
    QTextDocument *doc_;
    QTextCursor cursor_;
    int pos_ = 0;
    State st_;
    std::vector<State> stack_;
    int overflow_ = 0;
    bool closed_ = false;
    int skipChars_ = 0;
    QString pending_;

    QMap<int, QString> fonts_;
    int defaultFont_ = -1;
    int fontId_ = -1;
    QString fontName_;

    QVector<QColor> colors_;
    int red_ = 0;
    int green_ = 0;
    int blue_ = 0;
    bool colorStarted_ = false;
};

} // namespace

// The code page is the register's: one table for the whole program.
QChar cp1251ToUnicode(uchar byte)
{
    const char c = char(byte);
    return fromCp1251(QByteArrayView(&c, 1)).at(0);
}

QString decodeCp1251(const QByteArray &bytes)
{
    return fromCp1251(bytes);
}

bool RtfReader::isRtf(const QByteArray &bytes)
{
    int i = 0;
    while (i < bytes.size() && (bytes.at(i) == ' ' || bytes.at(i) == '\t' || bytes.at(i) == '\r'
                                || bytes.at(i) == '\n'))
        ++i;
    return bytes.mid(i, 5) == "{\\rtf";
}

bool RtfReader::read(const QByteArray &rtf, QTextDocument *doc)
{
    if (!doc)
        return false;
    doc->clear();
    if (!isRtf(rtf)) {
        QStringDecoder utf8(QStringDecoder::Utf8);
        QString text = utf8.decode(rtf);
        if (utf8.hasError())
            text = decodeCp1251(rtf);
        doc->setPlainText(text);
        return false;
    }
    Parser parser(rtf, doc);
    parser.run();
    return true;
}

} // namespace zk
