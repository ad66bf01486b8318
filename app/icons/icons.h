#pragma once
// The tool bar's icon set, drawn at run time so it scales and needs no image files.
// Indices follow the actions: 0 connect, 1 disconnect, 2 write settings, 3 reset
// changes, 4 open table, 5 close table, 6 defect, 7 correction recalculation,
// 8 address search, 9 fix in the database.

#include <QIcon>

class QPainter;

namespace zk {

constexpr int ActionIconCount = 10;
QIcon actionIcon(int index);
// The program's icon, on its windows and in the About box.
QIcon programIcon();
// Paints the program's icon into the square (0, 0, size, size): a meter housing with its
// reading window and a bolt. The installed icon files are drawn by it too.
void paintProgramIcon(QPainter &p, qreal size);

} // namespace zk
