// SPDX-License-Identifier: Apache-2.0
// Line rates that have no B-constant of their own. Kept apart from
// serial_posix.cpp because the kernel's termios2 header cannot share a
// translation unit with <termios.h>.
#pragma once

#include <cstdint>

// Whether this system can set a rate by number at all.
bool ArbitraryBaudAvailable();
// Sets both directions of the open terminal fd to baud by number, every other
// setting kept. 1 when the driver reports a rate within a tenth of a percent
// of baud, else 0 with errno set.
int SetArbitraryBaud(int fd, uint32_t baud);
// The output rate in force on the terminal fd, by number; 0 when the system
// cannot tell.
uint32_t LineBaud(int fd);
