#pragma once
// Byte strings written as lists of numbers: bytes({0x00, 0x02, 0x80, 0x71}).

#include <QByteArray>
#include <initializer_list>

inline QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}
