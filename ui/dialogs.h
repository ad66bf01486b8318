#pragma once
// The file-save dialog and the desktop's "open" of a file. Both go through hooks
// while one is set, so tests choose the file and see what would be opened.

#include <QString>
#include <functional>

class QWidget;

namespace zk {

// A modal save dialog with one file type (e.g. "xls", pattern "*.xls") and that
// type as the default suffix; it does not ask before replacing a file. The chosen
// path, or empty when cancelled.
QString askSaveFile(QWidget *parent, const QString &type);
using SaveFileHook = std::function<QString(const QString &type)>;
void setSaveFileHook(SaveFileHook hook);

// Hands a file to the desktop's program for its type; failures are not reported.
void openWithDesktop(const QString &path);
using OpenHook = std::function<void(const QString &path)>;
void setOpenHook(OpenHook hook);

} // namespace zk
