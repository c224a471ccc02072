// SPDX-License-Identifier: Apache-2.0
// Reading the firmware file the user names, and checking where a back-up may
// be written. The type is looked at before the open (so a terminal's lines
// are not touched) and again on the open descriptor (so a name swapped in
// between cannot slip through); the open itself does not block, as it would
// on a FIFO with no writer.
#include "platform/posix/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Why a file of this mode is not a regular file, or nullptr when it is one.
const char* NotRegular(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISFIFO(mode)) return "is a FIFO, not a regular file";
    if (S_ISDIR(mode)) return "is a directory, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a regular file";
    if (S_ISSOCK(mode)) return "is a socket, not a regular file";
    if (S_ISLNK(mode)) return "is a symbolic link";
    return "is not a regular file";
}

bool Fail(std::string* out, const std::string& reason) {
    if (out != nullptr) *out = reason;
    return false;
}

bool FailErrno(std::string* out, const char* what, int error) {
    return Fail(out, std::string(what) + ": " + std::strerror(error));
}

std::string TooLarge(uint64_t size, uint32_t maxBytes) {
    return "is " + std::to_string(size) + " bytes, more than the " + std::to_string(maxBytes) +
           " a firmware file can have";
}

}  // namespace

bool PosixReadInputFile(const char* path, uint32_t maxBytes, std::vector<uint8_t>* bytes,
                        std::string* error) {
    if (bytes != nullptr) bytes->clear();
    if (path == nullptr || bytes == nullptr) return Fail(error, "no file named");
    struct stat info {};
    if (stat(path, &info) == 0 && NotRegular(info.st_mode) != nullptr) {
        return Fail(error, NotRegular(info.st_mode));
    }
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return FailErrno(error, "cannot be opened", errno);
    std::string why;
    if (fstat(fd, &info) != 0) {
        why = std::string("cannot be examined: ") + std::strerror(errno);
    } else if (NotRegular(info.st_mode) != nullptr) {
        why = NotRegular(info.st_mode);
    } else if (static_cast<uint64_t>(info.st_size) > maxBytes) {
        why = TooLarge(static_cast<uint64_t>(info.st_size), maxBytes);
    } else {
        // Read to the end, not to st_size: the file may change under us, and
        // some files report no size. One byte past the limit proves it too big.
        bytes->resize(static_cast<size_t>(info.st_size) + 1);
        size_t have = 0;
        for (;;) {
            if (have == bytes->size()) {
                if (have > maxBytes) break;
                bytes->resize(have + 65536 < size_t{maxBytes} + 1 ? have + 65536
                                                                  : size_t{maxBytes} + 1);
            }
            const ssize_t n = read(fd, bytes->data() + have, bytes->size() - have);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                why = std::string("cannot be read: ") + std::strerror(errno);
                break;
            }
            if (n == 0) break;
            have += static_cast<size_t>(n);
        }
        if (why.empty() && have > maxBytes) {
            why = "grew past " + std::to_string(maxBytes) + " bytes while it was read";
        }
        bytes->resize(why.empty() ? have : 0);
    }
    close(fd);
    if (!why.empty()) return Fail(error, why);
    return true;
}

bool PosixCheckOutputTarget(const std::string& path, std::string* reason, bool* exists) {
    if (exists != nullptr) *exists = false;
    if (path.empty()) return Fail(reason, "no file named");
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (NotRegular(info.st_mode) != nullptr) return Fail(reason, NotRegular(info.st_mode));
        if (exists != nullptr) *exists = true;
    } else if (errno != ENOENT && errno != ENOTDIR) {  // the folder's check says which
        return FailErrno(reason, "cannot be examined", errno);
    }
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    if (stat(folder.c_str(), &info) != 0) {
        return FailErrno(reason, ("its folder " + folder).c_str(), errno);
    }
    if (!S_ISDIR(info.st_mode)) return Fail(reason, "its folder " + folder + " is not a directory");
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        return FailErrno(reason, ("its folder " + folder + " is not writable").c_str(), errno);
    }
    return true;
}
