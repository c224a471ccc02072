// SPDX-License-Identifier: Apache-2.0
// Every file a run writes (--backup, --read, --trace, a report) by one rule:
// an existing file is replaced only with --force; a symbolic link is never
// followed; no output is the same file (device and inode, so hard links too)
// as an input of the run or as another of its outputs; each is written to a
// temporary name in its own folder, synced, and put in place by rename (or
// by link when nothing may be replaced), the folder synced after. All of it
// is checked before anything is sent to a receiver.
//
// Refusals are whole texts that start with the file's name and say why; they
// end without a full stop, so that the caller can add ". Nothing was done.".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// A file the run reads or writes, and the option that named it ("--firmware",
// "--trace"). A device is allowed for an output that may stream to one, such
// as /dev/null for a trace; "-" (standard error) likewise.
struct PosixRunFile {
    std::string path;
    const char* option;
    bool deviceAllowed = false;
};

// Checks a run's outputs against its inputs and each other before anything
// is sent: each output's folder takes a new file, its name is free or holds a
// regular file (replaced only with force), never a symbolic link, and it is
// not the same file as any input or another output. Returns true, or false
// with *why set.
bool PosixCheckRunFiles(const std::vector<PosixRunFile>& inputs,
                        const std::vector<PosixRunFile>& outputs, bool force, std::string* why);

// Writes size bytes to path by the rule: a temporary file beside it, synced,
// then renamed over it (replace) or linked to the name (which fails when a
// file has appeared there since); the folder synced. A crash leaves the old
// file or the new one, never half of one. Returns true, or false with *why.
bool PosixWriteFileSafely(const std::string& path, const uint8_t* data, size_t size, bool replace,
                          std::string* why);

// A file written as the run goes (the trace). Open creates the temporary
// file at once, so that a folder that cannot take it is refused before
// anything is sent; the run appends to file; Commit puts it in place, also
// after a failed run (its trace is what the technician needs). "-" is
// standard error and a character device (/dev/null, /dev/full) is written
// directly: neither is renamed.
struct PosixOutputStream {
    FILE* file = nullptr;
    std::string path;
    std::string temp;  // empty when written directly
    bool replace = false;
};
bool PosixOutputOpen(const std::string& path, bool replace, PosixOutputStream* stream,
                     std::string* why);
// Flushes, syncs and closes the file and puts it in place. Returns true, or
// false with *why naming the file and the error (a write that failed on the
// way, such as /dev/full's, included: firstError, when not 0, is the errno
// of the first failed write the caller saw). The stream is closed either way.
bool PosixOutputCommit(PosixOutputStream* stream, int firstError, std::string* why);
// Closes the stream and removes its temporary file (a run refused before it
// started).
void PosixOutputDiscard(PosixOutputStream* stream);
