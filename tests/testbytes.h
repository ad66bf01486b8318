#pragma once
// Byte strings written as lists of numbers: bytes({0x00, 0x02, 0x80, 0x71}), and
// reply frames with their CRC.

#include "link/frame.h"

#include <QByteArray>
#include <initializer_list>

inline QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

// A reply frame with its CRC; the length byte counts the data unless given.
inline QByteArray replyFrame(quint8 function, const QByteArray &data, int length = -1)
{
    QByteArray f;
    f.append(char(function));
    f.append(char(length < 0 ? data.size() + 2 : length));
    f.append(data);
    return zk::withCrc(f);
}
