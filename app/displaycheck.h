#pragma once
// Whether the window has a display, asked before Qt is: Qt without one prints its
// plug-in error and aborts with a core dump, where the operator should read one line
// that names what is missing.

#include <QString>

namespace zk {

// The line to end with when no window can be shown on the display the environment
// names (DISPLAY, WAYLAND_DISPLAY), saying why: no display named, an X server or a
// Wayland compositor that does not answer at its socket or port, no Wayland plug-in
// for Qt. Empty when a display answers. When only the Wayland display answers,
// QT_QPA_PLATFORM is set to "wayland" so that Qt does not try X first and fail. The
// caller skips this check when QT_QPA_PLATFORM or -platform names the platform.
QString noDisplayMessage();

// From here until the application object exists, Qt's messages are held back, and
// its fatal one (no platform plug-in could be started) becomes one line on stderr
// with what Qt said, and exit status 1.
void holdQtStartMessages();
// Ends the holding: the messages held go out as Qt would have written them.
void releaseQtStartMessages();

} // namespace zk
