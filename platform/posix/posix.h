// POSIX back ends: termios serial ports (real devices and pseudo-terminals)
// and the private directory of the temporary image file.
#pragma once

#include <cerrno>
#include <cstdint>

#include "platform/platform.h"

const SerialOps& PosixSerialOps();
const FileOps& PosixFileOps();

// errno of the last failed serial call, for diagnostics (0 when none).
int PosixSerialLastError();
// Whether the back end can put a line at this rate (the driver may still
// refuse it).
bool PosixSerialCanSetBaud(uint32_t baud);
// Whether the open port has modem lines (a pseudo-terminal has none).
bool PosixSerialHasModemLines();
