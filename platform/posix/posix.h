// SPDX-License-Identifier: Apache-2.0
// POSIX back ends: termios serial ports (real devices and pseudo-terminals),
// the private directory of the temporary image file, and the lock that keeps
// one update per receiver port.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

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

// What the port's open records when the system refuses it for permission
// (EACCES), as the whole text with error number 0: "DEVICE: Permission
// denied", then the device's group and how to join it ("sudo usermod -aG
// dialout $USER, then log in again") when the group may read and write the
// device and the user is not in it; one who joined after logging in is told
// to log in again; otherwise the group and mode. mode is st_mode; group a
// name, or the number when it has none.
enum PosixGroupMembership {
    POSIX_NOT_IN_GROUP = 0,
    POSIX_JOINED_AFTER_LOGIN = 1,  // in the group database, not in this session's groups
    POSIX_IN_GROUP = 2,
};
std::string PosixPortAccessText(const char* device, const char* group, unsigned mode,
                                PosixGroupMembership membership);

// Puts the open port back as it was found, from anywhere, also from a signal
// handler (it only uses async-signal-safe calls): waits for the bytes already
// written to leave, restores the saved line settings and modem lines, and
// ends the exclusive mode. The descriptor stays open; the process is expected
// to end. Does nothing when no port is open or it was already restored. The
// same happens by itself at exit() and at SerialClose.
void PosixSerialRestoreNow();

// The folders of the temporary image file (exposed for tests). Each returns a
// directory descriptor, or -1 with the reason recorded (PlatformCauseSet).
// A parent is accepted when it belongs to us or to root and others cannot
// write to it unless it is sticky; *shared (may be null) tells whether others
// can write to it or it is not ours.
int PosixOpenParentFolder(const char* path, bool* shared);
// The run's own folder name inside parent (parentPath only names it in the
// reason): a directory, not a link, ours, mode 0700.
int PosixOpenPrivateFolder(int parent, const char* parentPath, const char* name);

// One update per receiver port, whoever runs it: an exclusive flock on the
// port device itself, held until the process ends.
enum PosixLockResult {
    POSIX_LOCK_TAKEN = 0,
    POSIX_LOCK_BUSY = 1,    // another process holds it (the reason is recorded)
    POSIX_LOCK_FAILED = 2,  // the lock could not be tried (the reason is recorded)
};
// A device that cannot be opened is not locked and gives POSIX_LOCK_TAKEN:
// the update's own open of the port then fails and says why.
PosixLockResult PosixLockPort(const char* device);
// An explicit lock file (created 0600 when missing; never through a link).
PosixLockResult PosixLockFile(const char* path);
// Who holds a flock on the node at port (a device or any file), from
// /proc/locks: true with the holder's pid and its command name from
// /proc/PID/comm ("zelvar" for another update; "" when the process can no
// longer be seen), false when no one does or the kernel's list cannot be
// read. This process's own lock counts like anyone's.
bool PosixLockHolder(const char* port, int* pid, std::string* name);
// Whether the port lock is held on the device open at fd (the serial back end
// then need not, and cannot, take a second flock on it).
bool PosixPortLockCovers(int fd);
