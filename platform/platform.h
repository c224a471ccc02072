// SPDX-License-Identifier: Apache-2.0
// The platform seam: the only way the core (link, boot, agent, image, update)
// reaches the operating system.
//
// Each back end (platform/posix, platform/win32, platform/fake and the board
// platform/linux_board; the simulated handheld in receiver/handheld, which
// plugs in from outside) fills one or more of the operation tables below. The
// program installs the tables it wants at start-up with PlatformInstall; a test
// installs the fake ones. Adding a back end means writing functions with these
// signatures, putting them in a table and installing it: the core does not
// change, and no file of the core includes an OS header.
#pragma once

#include <cstddef>
#include <cstdint>

// Handles of the board and resource calls are opaque pointers. A call that
// opens a device returns PLATFORM_INVALID_HANDLE on failure, as CreateFileW does.
using PlatformHandle = void*;
inline PlatformHandle const PLATFORM_INVALID_HANDLE =
    reinterpret_cast<PlatformHandle>(~uintptr_t{0});

// Read time-outs: a read of n bytes gives up after a gap of
// SERIAL_READ_INTERVAL_MS between bytes or after
// SERIAL_READ_CONSTANT_MS + SERIAL_READ_MULTIPLIER_MS * n in all.
constexpr uint32_t SERIAL_READ_INTERVAL_MS = 2000;
constexpr uint32_t SERIAL_READ_MULTIPLIER_MS = 4;
constexpr uint32_t SERIAL_READ_CONSTANT_MS = 2000;

// Longest device name, terminator included.
constexpr uint32_t SERIAL_NAME_LIMIT = 80;

// Modem-control outputs of a serial port, for SerialOps::setLines.
constexpr uint32_t SERIAL_LINE_DTR = 1;
constexpr uint32_t SERIAL_LINE_RTS = 2;

// Serial line. deviceName is UTF-8. Every call returns 1 for success, 0 for
// failure, like the Win32 calls it stands for.
struct SerialOps {
    // Open exclusively for reading and writing, save the line settings and
    // time-outs, then set 8-N-1, no flow control, DTR and RTS asserted, the
    // given rate, and the read time-outs (a read of n bytes waits at most
    // SERIAL_READ_CONSTANT_MS + SERIAL_READ_MULTIPLIER_MS * n in all and
    // SERIAL_READ_INTERVAL_MS between bytes). Purges both directions.
    // A failure after the device opened leaves it open, as on the handheld.
    int (*open)(const char* deviceName, uint32_t baud);
    int (*setBaud)(uint32_t baud);
    // One read call: success with the bytes that arrived before a time-out.
    int (*read)(uint8_t* buffer, uint32_t length, uint32_t* count);
    // One write call; the count is reported as the device gave it.
    int (*write)(const uint8_t* buffer, uint32_t length, uint32_t* count);
    // Restore the saved settings and close. Results are ignored.
    void (*close)();
    // Drives the modem-control outputs named in `which` (SERIAL_LINE_*): those
    // also in `asserted` are asserted, the others released. 1, or 0 when the
    // port cannot drive them (a pseudo-terminal); may be null (cannot).
    int (*setLines)(uint32_t which, uint32_t asserted);
};

// Time. The fake clock advances only when a read waits or a delay is asked for.
struct ClockOps {
    uint64_t (*nowMs)();
    void (*sleepMs)(uint32_t milliseconds);
};

// The handheld's drivers: registry, device manager, GPIO device and power.
// Results follow the Windows CE calls they stand for (0 = ERROR_SUCCESS for
// regOpenKey; non-zero = TRUE for the others).
struct BoardOps {
    long (*regOpenKey)(const char* subKey, PlatformHandle* keyOut);
    long (*regCloseKey)(PlatformHandle key);
    PlatformHandle (*activateDevice)(const char* registryPath, uint32_t clientInfo);
    PlatformHandle (*activateDeviceEx)(const char* registryPath, const void* regEntries,
                                       uint32_t entryCount, void* parameter);
    int (*deactivateDevice)(PlatformHandle device);
    // The serial port that the loaded port driver exposes.
    const char* (*portName)();
    PlatformHandle (*createFile)(const char* deviceName, uint32_t access, uint32_t shareMode,
                                 uint32_t creationDisposition, uint32_t flags);
    int (*deviceIoControl)(PlatformHandle device, uint32_t code, const void* in, uint32_t inSize,
                           void* out, uint32_t outSize, uint32_t* bytesReturned);
    int (*closeHandle)(PlatformHandle handle);
    // 1 when the status could be read; *acLineStatus 1 means external power.
    int (*powerStatus)(int* acLineStatus);
};

// The program's own resources (type name and integer id), as FindResourceW,
// SizeofResource, LoadResource and LockResource give them.
struct ResourceOps {
    PlatformHandle (*find)(PlatformHandle instance, int id, const char* typeName);
    uint32_t (*size)(PlatformHandle module, PlatformHandle resource);
    PlatformHandle (*load)(PlatformHandle module, PlatformHandle resource);
    const void* (*lock)(PlatformHandle loaded);
};

// The temporary image file, reached through one handle from its creation to
// its removal: once made, it is never looked up by name again, so no one can
// swap another file in under the same name between the steps.
struct FileOps {
    // Creates the file afresh, empty, for reading and writing, in a directory
    // that only this user can enter. PLATFORM_INVALID_HANDLE when no such
    // directory or file can be had (the back end records why).
    PlatformHandle (*create)();
    // Writes all of length bytes at the current position: 1, or 0 on failure.
    int (*write)(PlatformHandle file, const void* data, uint32_t length);
    // Goes back to the start and gives the file's size: 1, or 0 on failure.
    int (*rewind)(PlatformHandle file, uint32_t* sizeOut);
    // Reads up to length bytes: 1 with *count set, or 0 on failure.
    int (*read)(PlatformHandle file, void* data, uint32_t length, uint32_t* count);
    // Deletes the file (and what the back end made around it) through the
    // handle: 1, or 0 on failure. The handle must still be closed.
    int (*remove)(PlatformHandle file);
    void (*close)(PlatformHandle file);
    // The file's full path, for the user and the reader's name: that of the
    // file last created, or where it will be when the place is fixed; nullptr
    // when there is none.
    const char* (*tempImagePath)();
};

// User-facing messages: one blocking, modal message with one OK button.
struct UiOps {
    void (*message)(const char* text, const char* caption);
};

struct PlatformOps {
    const SerialOps* serial;
    const ClockOps* clock;
    const BoardOps* board;
    const ResourceOps* resource;
    const FileOps* files;
    const UiOps* ui;
};

// Installs the tables; a null member keeps the table installed before.
void PlatformInstall(const PlatformOps& ops);
// The installed tables. Using a table that was never installed is a
// programming error and aborts with a diagnostic.
const SerialOps& PlatformSerial();
const ClockOps& PlatformClock();
const BoardOps& PlatformBoard();
const ResourceOps& PlatformResource();
const FileOps& PlatformFiles();
const UiOps& PlatformUi();
// Forgets every table (tests).
void PlatformReset();

// Why the last operating-system call failed, recorded by the back end where
// it happened so that the shell can show it under the message the update
// gives: a short text naming what was used (a device, a folder, a GPIO chip)
// and the OS's error number (errno on POSIX, GetLastError on Windows; 0 when
// the text says it all). A later record replaces an earlier one.
void PlatformCauseSet(int osError, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// The recorded text ("" when none) and error number; cleared by
// PlatformCauseClear (and PlatformReset).
const char* PlatformCauseText();
int PlatformCauseError();
void PlatformCauseClear();

// The program's own module, saved by the application shell at start.
PlatformHandle PlatformAppInstance();
void PlatformSetAppInstance(PlatformHandle instance);
