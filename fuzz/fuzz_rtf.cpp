// libFuzzer target: arbitrary bytes as the help document, through the RTF reader into a
// document that is then laid out at the help window's width, as the window shows it.

#include "app/rtfreader.h"

#include <QAbstractTextDocumentLayout>
#include <QGuiApplication>
#include <QTextDocument>
#include <cstdint>
#include <cstdlib>

using namespace zk;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Fonts need a GUI application; the offscreen platform needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray rtf(reinterpret_cast<const char *>(data), qsizetype(size));
    QTextDocument doc;
    const bool isRtf = RtfReader::read(rtf, &doc);
    if (isRtf != RtfReader::isRtf(rtf))
        abort();
    (void)doc.toPlainText();
    // The layout takes every format the reader set: sizes, indents, tab positions.
    doc.setTextWidth(600);
    (void)doc.documentLayout()->documentSize();
    if (size < 64)
        (void)decodeCp1251(rtf);
    return 0;
}
