#pragma once

namespace zk::sim {

// Output speed in bit/s set on the terminal behind `fd` (for a pty master: the slave's
// setting), any rate included, as the kernel's termios2 holds it; 0 when unknown.
int lineSpeed(int fd);

} // namespace zk::sim
