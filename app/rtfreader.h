#pragma once

// A small reader for Rich Text Format: enough of it for the help document
// and for what word processors save in a plain letter. It understands groups
// with their formatting, paragraphs and line breaks, bold, italic, underline,
// strike-out, super- and subscript, font size, the font and colour tables,
// paragraph alignment, indents and spacing, 8-bit escapes in Windows-1251 and
// Unicode escapes with their fallback skip count. Everything else (pictures,
// style sheets, document information, ignorable destinations) is skipped.
//
// The reader never fails on malformed input: unbalanced braces, truncated
// control words and stray bytes are tolerated, and the whole input is read
// in one pass.

#include <QByteArray>
#include <QString>

class QObject;
class QTextDocument;

namespace zk {

// Windows-1251 byte to Unicode. Bytes below 0x80 are ASCII; the one byte
// without a character in the code page (0x98) gives U+FFFD.
QChar cp1251ToUnicode(uchar byte);
QString decodeCp1251(const QByteArray &bytes);

class RtfReader
{
public:
    // True when the bytes begin (after white space) with the "{\rtf" header.
    static bool isRtf(const QByteArray &bytes);

    // Replaces the contents of doc with the formatted text of rtf. Input
    // without the RTF header is shown as plain text (UTF-8 when it is valid
    // UTF-8, Windows-1251 otherwise) and the result is false; otherwise true.
    static bool read(const QByteArray &rtf, QTextDocument *doc);
};

} // namespace zk
