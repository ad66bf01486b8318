#pragma once

// Little-endian numbers appended to or patched into a byte array; both file
// layers of the workbook writer store every number this way.

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

inline void setU32(QByteArray &out, int pos, quint32 v)
{
    qToLittleEndian(v, out.data() + pos);
}

} // namespace zk::le
