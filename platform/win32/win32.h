// SPDX-License-Identifier: Apache-2.0
// Win32 back ends: the serial port, the program's resources, the temporary
// image file, message boxes, the clock, and stand-ins for the handheld's port
// and GPIO drivers, which desktop Windows does not have.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

const SerialOps& Win32SerialOps();
const ClockOps& Win32ClockOps();
const BoardOps& Win32BoardOps();
const ResourceOps& Win32ResourceOps();
const FileOps& Win32FileOps();
const UiOps& Win32UiOps();

// All of the above, ready for PlatformInstall.
PlatformOps Win32PlatformOps();

// GetLastError() of the last failed serial call (0 when none), for diagnostics.
uint32_t Win32SerialLastError();
// The line errors (CE_FRAME, CE_OVERRUN, ...) ClearCommError reported after the
// last failed read or write since the port was opened; 0 when none.
uint32_t Win32SerialLastCommErrors();

// Notes why a run failed or stopped: one line (UTF-8, no line break) with a
// time stamp, to the debugger (OutputDebugStringW) and appended to the file
// WIN32_LOG_FILE_NAME in the user's temporary folder, beside the temporary
// image. Nothing is reported when the file cannot be written.
constexpr const char* WIN32_LOG_FILE_NAME = "Zelvar.log";
void Win32LogLine(const char* text);
// Full path of that file, UTF-8; "" when the temporary folder cannot be had.
const char* Win32LogPath();

// The simulated board. The port driver's key HKEY_LOCAL_MACHINE\Drivers\PhysicalCOM
// may hold a string value WIN32_PORT_VALUE naming the serial port that the
// driver exposes once activated ("COM9" when absent), so that a desktop user can
// point the update at a USB serial adapter. The environment variable
// WIN32_POWER_VARIABLE overrides the power status: "ac", "battery", "unknown",
// or "fail" (the status cannot be read).
constexpr const char* WIN32_PORT_VALUE = "Port";
// Beside it, the DTR/RTS sequence that takes the receiver into its boot ROM
// and back, for a desktop without the update pin (read by the program).
constexpr const char* WIN32_BOOT_LINES_VALUE = "BootLines";
constexpr const char* WIN32_DEFAULT_PORT = "COM9";
constexpr const char* WIN32_POWER_VARIABLE = "ZELVAR_POWER";

// A string value (REG_SZ) of a key under HKEY_LOCAL_MACHINE, whole and in
// UTF-8: ERROR_SUCCESS with *value set; ERROR_FILE_NOT_FOUND when the key or
// the value is missing, ERROR_DATATYPE_MISMATCH when the value is not a
// string, or the registry's own error.
long Win32MachineString(const char* keyPath, const char* valueName, std::string* value);

// Level of a pin of the stand-in GPIO driver (0 or 1), and whether it has been
// configured; both are 0 before the driver is first opened (tests).
int Win32GpioPinLevel(uint32_t pin);
int Win32GpioPinConfigured(uint32_t pin);
// Number of port drivers currently activated and not yet deactivated (tests).
int Win32ActiveDeviceCount();
