// SPDX-License-Identifier: Apache-2.0
// Files named by the user: a firmware to read, a back-up to write. A name
// can stand for anything (a FIFO no one writes to, a terminal, a directory,
// a sparse file of gigabytes), so these look at what is there first and say
// in plain words why it is refused, before anything blocks or is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads the regular file at path whole into *bytes. Opens it without
// blocking (a FIFO or a device is refused, never waited on), refuses
// anything but a regular file and a file of more than maxBytes before
// reading a byte, and reads through EINTR. Returns true, or false with
// *error set to a reason that follows the path, e.g. "is a FIFO, not a
// regular file" or "cannot be opened: No such file or directory".
bool PosixReadInputFile(const char* path, uint32_t maxBytes, std::vector<uint8_t>* bytes,
                        std::string* error);

// Whether a file may be written at path: nothing is there or a regular file
// is (not a symbolic link, directory, FIFO or device), and its folder is a
// directory this process may write in. Returns true, or false with *reason
// set to why not, e.g. "is a symbolic link" or "its folder /x is not
// writable: Permission denied". (Whether an existing file may be replaced is
// the caller's call: *exists, when given, says whether there is one.)
bool PosixCheckOutputTarget(const std::string& path, std::string* reason, bool* exists = nullptr);
