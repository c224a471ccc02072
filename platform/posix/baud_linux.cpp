// SPDX-License-Identifier: Apache-2.0
#include "platform/posix/baud_linux.h"

#include <cerrno>

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>

bool ArbitraryBaudAvailable() {
    return true;
}

int SetArbitraryBaud(int fd, uint32_t baud) {
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0) return 0;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ospeed = baud;
    settings.c_ispeed = baud;
    if (ioctl(fd, TCSETS2, &settings) != 0) return 0;
    // Like tcsetattr, the call succeeds when any part was taken: read back
    // what the driver made of the rate.
    termios2 now{};
    if (ioctl(fd, TCGETS2, &now) != 0) return 0;
    const auto off = [baud](speed_t rate) { return rate > baud ? rate - baud : baud - rate; };
    if (uint64_t{off(now.c_ospeed)} * 1000 > baud || uint64_t{off(now.c_ispeed)} * 1000 > baud) {
        errno = EINVAL;
        return 0;
    }
    return 1;
}

uint32_t LineBaud(int fd) {
    termios2 settings{};
    return ioctl(fd, TCGETS2, &settings) == 0 ? settings.c_ospeed : 0;
}

#else

uint32_t LineBaud(int /*fd*/) {
    return 0;
}

bool ArbitraryBaudAvailable() {
    return false;
}

int SetArbitraryBaud(int /*fd*/, uint32_t /*baud*/) {
    errno = EINVAL;
    return 0;
}

#endif
