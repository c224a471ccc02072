// SPDX-License-Identifier: Apache-2.0
// The temporary image file on POSIX. In a folder of our own (the usual
// runtime directory) it lives in "zelvar" there; in a folder others may write
// to, which must then be sticky so that they cannot rename or remove our
// entries, it lives in "zelvar-UID", the user's own directory there, reused by
// every run so that failed runs leave one file behind, not one folder each.
// Should someone else have taken that name first, the run falls back to a
// directory of its own under a name no one can guess. Either way the
// directory is checked through an O_NOFOLLOW handle (ours, 0700, not a link),
// and the file is created, written, read back and removed through that handle
// and one descriptor: no name is resolved again, and no one can swap another
// file in between the steps.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <string>

#include "platform/posix/posix.h"

namespace {

constexpr char FILE_NAME[] = "Tervalon.s";

struct TempFile {
    int parent = -1;
    int dir = -1;
    int file = -1;
    std::string dirName;
    bool ownRun = false;  // the directory was made for this run alone
};

TempFile Open;  // one temporary file per run
std::string Path;

int Refuse(const std::string& folder, int error, const char* why) {
    PlatformCauseSet(error, "temporary folder %s %s", folder.c_str(), why);
    return -1;
}

void CloseFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// Whether a folder can take our directory at all: there, a directory, ours
// or root's, and one we may write to. A runtime directory left over from
// another user (after su) or removed since the login fails this and is passed
// over; whether it is also safe is for PosixOpenParentFolder to say.
bool Usable(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (st.st_uid != geteuid() && st.st_uid != 0) return false;
    return access(path, W_OK | X_OK) == 0;
}

// The folder the run directories go in: the user's runtime directory, else
// TMPDIR, else /tmp, each taken only when usable (/tmp in any case, so that a
// refusal names it).
std::string BaseFolder() {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] == '/' && Usable(value)) return value;
    }
    return "/tmp";
}

std::string RandomSuffix() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::string suffix;
    for (int i = 0; i < 10; ++i) suffix += letters[random() % (sizeof letters - 1)];
    return suffix;
}

}  // namespace

int PosixOpenParentFolder(const char* path, bool* shared) {
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Refuse(path, errno, "cannot be opened");
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        return Refuse(path, error, "cannot be examined");
    }
    const char* why = nullptr;
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        why = "belongs to another user";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        // Others could rename our directory away and put theirs in its place.
        why = "is writable by others and not sticky";
    }
    if (why != nullptr) {
        close(fd);
        return Refuse(path, 0, why);
    }
    if (shared != nullptr) {
        *shared = st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    }
    return fd;
}

int PosixOpenPrivateFolder(int parent, const char* parentPath, const char* name) {
    const std::string shown = std::string(parentPath) + "/" + name;
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return Refuse(
            shown, error,
            error == ELOOP || error == ENOTDIR ? "is not a directory" : "cannot be opened");
    }
    struct stat st {};
    const char* why = nullptr;
    int error = 0;
    if (fstat(fd, &st) != 0) {
        error = errno;
        why = "cannot be examined";
    } else if (!S_ISDIR(st.st_mode)) {
        why = "is not a directory";
    } else if (st.st_uid != geteuid()) {
        why = "belongs to another user";
    } else if ((st.st_mode & 07777) != 0700) {
        why = "is not private (mode other than 0700)";
    }
    if (why != nullptr) {
        close(fd);
        return Refuse(shown, error, why);
    }
    return fd;
}

namespace {

void Forget() {
    CloseFd(&Open.file);
    CloseFd(&Open.dir);
    CloseFd(&Open.parent);
    Open.dirName.clear();
    Open.ownRun = false;
}

PlatformHandle Create() {
    Forget();
    Path.clear();
    const std::string base = BaseFolder();
    bool shared = false;
    Open.parent = PosixOpenParentFolder(base.c_str(), &shared);
    if (Open.parent < 0) return PLATFORM_INVALID_HANDLE;
    int error = 0;
    Open.dirName = shared ? "zelvar-" + std::to_string(geteuid()) : "zelvar";
    if (mkdirat(Open.parent, Open.dirName.c_str(), 0700) != 0 && errno != EEXIST) error = errno;
    if (error == 0) {
        Open.dir = PosixOpenPrivateFolder(Open.parent, base.c_str(), Open.dirName.c_str());
    }
    if (Open.dir < 0 && shared) {
        // The user's name was taken (or is not fit): a name of this run's
        // own, as mkdtemp makes it, but beside the handle.
        error = EEXIST;
        for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
            Open.dirName = "zelvar-" + RandomSuffix();
            error = mkdirat(Open.parent, Open.dirName.c_str(), 0700) == 0 ? 0 : errno;
        }
        Open.ownRun = error == 0;
        if (error == 0) {
            Open.dir = PosixOpenPrivateFolder(Open.parent, base.c_str(), Open.dirName.c_str());
            if (Open.dir >= 0) PlatformCauseClear();  // the taken name is no failure
        }
    }
    if (error != 0) {
        Refuse(base, error, "cannot take a folder of ours");
        Forget();
        return PLATFORM_INVALID_HANDLE;
    }
    if (Open.dir < 0) {
        if (Open.ownRun) unlinkat(Open.parent, Open.dirName.c_str(), AT_REMOVEDIR);
        Forget();
        return PLATFORM_INVALID_HANDLE;
    }
    Path = base + "/" + Open.dirName + "/" + FILE_NAME;
    // An old file (a failed run's) is replaced, not reopened: a run still
    // reading it keeps its own, and one starting beside us may take the name
    // between the two calls.
    for (int attempt = 0; attempt < 3 && Open.file < 0; ++attempt) {
        unlinkat(Open.dir, FILE_NAME, 0);
        Open.file =
            openat(Open.dir, FILE_NAME, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (Open.file < 0 && errno != EEXIST) break;
    }
    if (Open.file < 0) {
        PlatformCauseSet(errno, "%s cannot be created", Path.c_str());
        Forget();
        Path.clear();
        return PLATFORM_INVALID_HANDLE;
    }
    return &Open;
}

TempFile* Held(PlatformHandle handle) {
    return handle == &Open && Open.file >= 0 ? &Open : nullptr;
}

int Write(PlatformHandle handle, const void* data, uint32_t length) {
    TempFile* temp = Held(handle);
    if (temp == nullptr) return 0;
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = write(temp->file, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            PlatformCauseSet(n < 0 ? errno : ENOSPC, "%s cannot be written", Path.c_str());
            return 0;
        }
        bytes += n;
        length -= static_cast<uint32_t>(n);
    }
    return 1;
}

int Rewind(PlatformHandle handle, uint32_t* sizeOut) {
    TempFile* temp = Held(handle);
    if (temp == nullptr) return 0;
    struct stat st {};
    if (fstat(temp->file, &st) != 0 || st.st_size > 0xFFFFFFFF ||
        lseek(temp->file, 0, SEEK_SET) != 0) {
        return 0;
    }
    *sizeOut = static_cast<uint32_t>(st.st_size);
    return 1;
}

int Read(PlatformHandle handle, void* data, uint32_t length, uint32_t* count) {
    *count = 0;
    TempFile* temp = Held(handle);
    if (temp == nullptr) return 0;
    ssize_t n;
    do {
        n = read(temp->file, data, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return 0;
    *count = static_cast<uint32_t>(n);
    return 1;
}

// Removes the entry only when it is still our file, then the run's own
// directory when it is still there; the names are looked up only inside handles we hold.
int Remove(PlatformHandle handle) {
    TempFile* temp = Held(handle);
    if (temp == nullptr) return 0;
    struct stat held {};
    struct stat named {};
    if (fstat(temp->file, &held) != 0 ||
        fstatat(temp->dir, FILE_NAME, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_ino != held.st_ino || named.st_dev != held.st_dev ||
        unlinkat(temp->dir, FILE_NAME, 0) != 0) {
        return 0;
    }
    if (temp->ownRun && fstat(temp->dir, &held) == 0 &&
        fstatat(temp->parent, temp->dirName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_ino == held.st_ino && named.st_dev == held.st_dev) {
        unlinkat(temp->parent, temp->dirName.c_str(), AT_REMOVEDIR);
    }
    return 1;
}

void Close(PlatformHandle handle) {
    if (handle == &Open) Forget();
}

const char* TempImagePath() {
    return Path.empty() ? nullptr : Path.c_str();
}

const FileOps Table{Create, Write, Rewind, Read, Remove, Close, TempImagePath};

}  // namespace

const FileOps& PosixFileOps() {
    return Table;
}
