#pragma once

// Little-endian numbers read from, appended to or patched into bytes: the workbook's
// two file layers, the dBASE table header and the meter's replies store every number
// this way.

#include <QByteArray>
#include <QtEndian>

#include <cstring>

namespace zk::le {

inline void u8(QByteArray &out, quint8 v)
{
    out.append(char(v));
}

inline void u16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

inline void u32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

inline void f64(QByteArray &out, double v)
{
    quint64 bits;
    std::memcpy(&bits, &v, sizeof bits);
    char b[8];
    qToLittleEndian(bits, b);
    out.append(b, 8);
}

inline quint16 readU16(const char *p)
{
    return qFromLittleEndian<quint16>(p);
}

inline quint32 readU32(const char *p)
{
    return qFromLittleEndian<quint32>(p);
}

// The `bytes` (1..4) bytes from `at` as an unsigned number, for the widths the meter
// uses besides 16 and 32 bits; the caller has checked the size.
inline quint32 readU(const QByteArray &data, qsizetype at, int bytes)
{
    quint32 v = 0;
    for (int k = bytes - 1; k >= 0; --k)
        v = (v << 8) | quint8(data.at(at + k));
    return v;
}

inline void writeU16(char *p, quint16 v)
{
    qToLittleEndian(v, p);
}

inline void writeU32(char *p, quint32 v)
{
    qToLittleEndian(v, p);
}

inline void setU32(QByteArray &out, int pos, quint32 v)
{
    writeU32(out.data() + pos, v);
}

} // namespace zk::le
