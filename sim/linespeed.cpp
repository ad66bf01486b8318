// Kept apart: the kernel's termios2 (any rate, BOTHER) cannot share a translation unit
// with glibc's <termios.h>.
#include "sim/linespeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace zk::sim {

int lineSpeed(int fd)
{
    struct termios2 t {};
    if (fd < 0 || ::ioctl(fd, TCGETS2, &t) != 0)
        return 0;
    return int(t.c_ospeed);
}

} // namespace zk::sim
