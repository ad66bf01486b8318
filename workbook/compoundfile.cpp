#include "workbook/compoundfile.h"

#include "core/lebytes.h"
#include "workbook/workbook.h"

#include <limits>
#include <vector>

namespace zk {

namespace {

constexpr int SectorSize = 512;
constexpr int HeaderSize = 512;
constexpr int DirEntrySize = 128;
constexpr int IdsPerSector = SectorSize / 4;      // sector numbers in one FAT sector
constexpr int HeaderDifatSlots = 109;              // FAT sector numbers kept in the header
constexpr int IdsPerDifatSector = IdsPerSector - 1; // the last slot links to the next DIFAT sector
// Streams below this size would belong in the mini stream; padding them up to it
// keeps them in ordinary sectors. Trailing zeros after the last record are
// ignored by workbook readers.
constexpr int MiniStreamCutoff = 4096;

constexpr quint32 FreeSect = 0xFFFFFFFFu;
constexpr quint32 EndOfChain = 0xFFFFFFFEu;
constexpr quint32 FatSect = 0xFFFFFFFDu;
constexpr quint32 DifSect = 0xFFFFFFFCu;
constexpr quint32 NoStream = 0xFFFFFFFFu;

enum EntryType : quint8 { EmptyEntry = 0, StreamEntry = 2, RootEntry = 5 };
constexpr quint8 Black = 1;

void appendDirEntry(QByteArray &out, const QString &name, EntryType type, quint32 child,
                    quint32 start, quint32 size)
{
    const int begin = out.size();
    const int units = name.size();
    for (int i = 0; i < 32; ++i)
        le::u16(out, i < units ? name.at(i).unicode() : 0);
    le::u16(out, quint16(units > 0 ? (units + 1) * 2 : 0)); // name length with its terminator
    le::u8(out, type);
    le::u8(out, type == EmptyEntry ? 0 : Black);
    le::u32(out, NoStream); // left sibling
    le::u32(out, NoStream); // right sibling
    le::u32(out, child);
    out.append(16, '\0');   // class id
    le::u32(out, 0);        // state bits
    out.append(16, '\0');   // creation and modification times
    le::u32(out, start);
    le::u32(out, size);
    le::u32(out, 0);        // high half of the size: always 0 in version 3
    Q_ASSERT(out.size() - begin == DirEntrySize);
    (void)begin;
}

} // namespace

QByteArray compoundFile(const QString &streamName, const QByteArray &streamIn)
{
    if (streamName.isEmpty() || streamName.size() > 31)
        throw WorkbookError(QStringLiteral("Stream name \"%1\" does not fit a directory entry").arg(streamName));

    QByteArray stream = streamIn;
    if (stream.size() < MiniStreamCutoff)
        stream.append(MiniStreamCutoff - stream.size(), '\0');

    const qint64 streamSectors = (qint64(stream.size()) + SectorSize - 1) / SectorSize;
    // Layout: the stream's sectors, one directory sector, the FAT sectors, then
    // the DIFAT sectors when the header cannot list every FAT sector.
    qint64 fatSectors = 1;
    qint64 difatSectors = 0;
    for (;;) {
        difatSectors = fatSectors > HeaderDifatSlots
                ? (fatSectors - HeaderDifatSlots + IdsPerDifatSector - 1) / IdsPerDifatSector
                : 0;
        const qint64 total = streamSectors + 1 + fatSectors + difatSectors;
        if (fatSectors * IdsPerSector >= total)
            break;
        ++fatSectors;
    }
    const qint64 totalSectors = streamSectors + 1 + fatSectors + difatSectors;
    if (qint64(HeaderSize) + totalSectors * SectorSize > std::numeric_limits<int>::max())
        throw WorkbookError(QStringLiteral("Workbook of %1 bytes is too large for one file")
                                    .arg(stream.size()));

    const quint32 dirSector = quint32(streamSectors);
    const quint32 firstFat = dirSector + 1;
    const quint32 firstDifat = firstFat + quint32(fatSectors);

    // The allocation table: one chain for the stream, one for the directory,
    // the table's own sectors and the DIFAT sectors marked as such.
    std::vector<quint32> fat(size_t(fatSectors * IdsPerSector), FreeSect);
    for (qint64 s = 0; s < streamSectors; ++s)
        fat[size_t(s)] = s + 1 < streamSectors ? quint32(s + 1) : EndOfChain;
    fat[dirSector] = EndOfChain;
    for (qint64 i = 0; i < fatSectors; ++i)
        fat[size_t(firstFat + i)] = FatSect;
    for (qint64 i = 0; i < difatSectors; ++i)
        fat[size_t(firstDifat + i)] = DifSect;

    QByteArray out;
    out.reserve(int(HeaderSize + totalSectors * SectorSize));

    // Header.
    out.append("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    out.append(16, '\0');      // class id
    le::u16(out, 0x003E);      // minor version
    le::u16(out, 0x0003);      // major version 3
    le::u16(out, 0xFFFE);      // little-endian byte order mark
    le::u16(out, 9);           // sector size 2^9
    le::u16(out, 6);           // mini sector size 2^6
    out.append(6, '\0');
    le::u32(out, 0);           // directory sector count: unused in version 3
    le::u32(out, quint32(fatSectors));
    le::u32(out, dirSector);
    le::u32(out, 0);           // transaction signature
    le::u32(out, MiniStreamCutoff);
    le::u32(out, EndOfChain);  // no mini FAT
    le::u32(out, 0);
    le::u32(out, difatSectors > 0 ? firstDifat : EndOfChain);
    le::u32(out, quint32(difatSectors));
    for (int i = 0; i < HeaderDifatSlots; ++i)
        le::u32(out, i < fatSectors ? firstFat + quint32(i) : FreeSect);
    Q_ASSERT(out.size() == HeaderSize);

    out.append(stream);
    out.append(int(streamSectors * SectorSize - stream.size()), '\0');

    // Directory: the root storage with the stream as its only child, then the
    // unused entries that fill the sector.
    appendDirEntry(out, QStringLiteral("Root Entry"), RootEntry, 1, EndOfChain, 0);
    appendDirEntry(out, streamName, StreamEntry, NoStream, 0, quint32(stream.size()));
    for (int i = 2; i < SectorSize / DirEntrySize; ++i)
        appendDirEntry(out, QString(), EmptyEntry, NoStream, 0, 0);

    for (quint32 id : fat)
        le::u32(out, id);

    // DIFAT sectors: FAT sector numbers past the header's 109, each sector
    // ending with the number of the next one.
    qint64 next = HeaderDifatSlots;
    for (qint64 d = 0; d < difatSectors; ++d) {
        for (int i = 0; i < IdsPerDifatSector; ++i, ++next)
            le::u32(out, next < fatSectors ? firstFat + quint32(next) : FreeSect);
        le::u32(out, d + 1 < difatSectors ? firstDifat + quint32(d + 1) : EndOfChain);
    }

    Q_ASSERT(out.size() == HeaderSize + totalSectors * SectorSize);
    return out;
}

} // namespace zk
