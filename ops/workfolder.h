#pragma once
// The working folder of a program started from the desktop menu. A menu launch starts
// in the home folder; the window started so (zelta-kn --menu), and the command line
// asked to share its register (zelta-kn-cli --menu), work in a folder of their own:
// $XDG_DATA_HOME/zelta-kn, ~/.local/share/zelta-kn by default.

#include <QString>

namespace zk {

// Creates the folder when missing and makes it the current directory. False, with the
// message naming the folder in `error`, when it cannot be made or entered.
bool enterMenuWorkFolder(QString *error);

} // namespace zk
