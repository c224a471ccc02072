// SPDX-License-Identifier: Apache-2.0
// The port lock. flock on the device node: every user who can use the port
// opens the same node, no one can plant a file to block it, and the kernel
// drops the lock when the process ends, however it ends.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/posix/posix.h"

namespace {

int PortFd = -1;
int FileFd = -1;

PosixLockResult Flock(int fd, const char* path, const char* holder) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return POSIX_LOCK_TAKEN;
    const int error = errno;
    close(fd);
    if (error == EWOULDBLOCK) {
        PlatformCauseSet(error, "%s is locked by %s", path, holder);
        return POSIX_LOCK_BUSY;
    }
    PlatformCauseSet(error, "%s cannot be locked", path);
    return POSIX_LOCK_FAILED;
}

// The process that holds a flock on the node at path, as the kernel lists it
// in /proc/locks (pid and device:inode of each lock): the way to tell when the
// port's own exclusive mode keeps us from opening it to try, and who it is.
bool FindFlockHolder(const char* path, int* pid) {
    struct stat node {};
    if (stat(path, &node) != 0) return false;
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return false;
    char line[256];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, locks) != nullptr) {
        // Waiters are listed as "N: -> FLOCK ...": "->" is no kind, and skipped.
        char kind[16] = "";
        int holder = 0;
        unsigned devMajor = 0;
        unsigned devMinor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", kind, &holder, &devMajor, &devMinor,
                        &inode) == 5 &&
            std::string_view(kind) == "FLOCK" && devMajor == major(node.st_dev) &&
            devMinor == minor(node.st_dev) && inode == node.st_ino) {
            found = true;
            *pid = holder;
        }
    }
    std::fclose(locks);
    return found;
}

bool FlockedByAnyone(const char* path) {
    int pid = 0;
    return FindFlockHolder(path, &pid);
}

}  // namespace

PosixLockResult PosixLockPort(const char* device) {
    // Non-blocking: no wait for a carrier; the line is not set up here.
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // Busy: held in exclusive mode. With a flock on it too, that is
        // another zelvar at work on the port.
        if (errno == EBUSY && FlockedByAnyone(device)) {
            PlatformCauseSet(EBUSY, "%s is locked by another zelvar updating through it", device);
            return POSIX_LOCK_BUSY;
        }
        return POSIX_LOCK_TAKEN;  // the port's own open says why
    }
    const PosixLockResult result = Flock(fd, device, "another zelvar updating through it");
    if (result == POSIX_LOCK_TAKEN) {
        if (PortFd >= 0) close(PortFd);
        PortFd = fd;  // held, deliberately, until the process ends
    }
    return result;
}

PosixLockResult PosixLockFile(const char* path) {
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        PlatformCauseSet(errno, "lock file %s cannot be opened", path);
        return POSIX_LOCK_FAILED;
    }
    const PosixLockResult result = Flock(fd, path, "another zelvar");
    if (result == POSIX_LOCK_TAKEN) {
        if (FileFd >= 0) close(FileFd);
        FileFd = fd;
    }
    return result;
}

bool PosixPortLockCovers(int fd) {
    if (PortFd < 0) return false;
    struct stat held {};
    struct stat other {};
    return fstat(PortFd, &held) == 0 && fstat(fd, &other) == 0 && held.st_dev == other.st_dev &&
           held.st_ino == other.st_ino;
}

bool PosixLockHolder(const char* port, int* pid, std::string* name) {
    int holder = 0;
    if (!FindFlockHolder(port, &holder)) return false;
    *pid = holder;
    name->clear();
    // Gone since, or out of our sight: the pid is all there is.
    if (holder <= 0) return true;
    const std::string comm = "/proc/" + std::to_string(holder) + "/comm";
    if (std::FILE* file = std::fopen(comm.c_str(), "re")) {
        char text[64] = "";
        if (std::fgets(text, sizeof text, file) != nullptr) {
            name->assign(text);
            if (!name->empty() && name->back() == '\n') name->pop_back();
        }
        std::fclose(file);
    }
    return true;
}
