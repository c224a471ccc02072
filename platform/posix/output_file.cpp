// SPDX-License-Identifier: Apache-2.0
// The one rule for the files a run writes. A file is known by its device and
// inode; one not there yet by its folder's device and inode and its name, so
// that "x" and "./x", or a hard link and its other name, are found the same.
#include "platform/posix/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/input_file.h"

namespace {

bool Fail(std::string* why, const std::string& text) {
    if (why != nullptr) *why = text;
    return false;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Which file a name stands for, as far as can be told without following a link.
struct Identity {
    bool known = false;
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;  // for a file not there yet: its name in the folder dev/ino

    bool operator==(const Identity& other) const {
        return known && other.known && exists == other.exists && dev == other.dev &&
               ino == other.ino && name == other.name;
    }
};

Identity IdentityOf(const std::string& path) {
    Identity id;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        id.known = id.exists = true;
    } else if (stat(FolderOf(path).c_str(), &st) == 0) {
        id.known = true;
        id.name = NameOf(path);
    }
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return id;
}

bool IsDevice(const std::string& path) {
    struct stat st {};
    return path == "-" || (lstat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode));
}

void SyncFolder(const std::string& path) {
    const int fd = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// A new file beside path, open for writing: *temp receives its name.
int CreateBeside(const std::string& path, std::string* temp, std::string* why) {
    *temp = FolderOf(path) + "/." + NameOf(path) + ".partial-XXXXXX";
    const int fd = mkostemp(temp->data(), O_CLOEXEC);
    if (fd < 0) {
        Fail(why, path + ": cannot create a file in its folder: " + std::strerror(errno));
        temp->clear();
    }
    return fd;
}

// Puts the synced temporary file at path: rename replaces, link does not.
// keep leaves the temporary file when a file has taken the name meanwhile.
bool Place(const std::string& temp, const std::string& path, bool replace, bool keep,
           std::string* why) {
    const bool placed =
        replace ? rename(temp.c_str(), path.c_str()) == 0 : link(temp.c_str(), path.c_str()) == 0;
    const int error = errno;
    if (!placed && !replace && error == EEXIST && keep) {
        // Someone made the file meanwhile: ours stays under its own name.
        return Fail(why, path + " appeared while the run wrote it; what was written is in " + temp);
    }
    if (!placed) {
        unlink(temp.c_str());
        if (error == EEXIST) return Fail(why, path + " exists; --force replaces it");
        return Fail(why, path + ": " + std::strerror(error));
    }
    if (!replace) unlink(temp.c_str());
    SyncFolder(path);
    return true;
}

}  // namespace

bool PosixCheckRunFiles(const std::vector<PosixRunFile>& inputs,
                        const std::vector<PosixRunFile>& outputs, bool force, std::string* why) {
    std::vector<Identity> seen;
    for (const PosixRunFile& out : outputs) {
        const Identity id = IdentityOf(out.path);
        if (out.deviceAllowed && IsDevice(out.path)) {
            seen.push_back(Identity{});
            continue;
        }
        std::string reason;
        bool exists = false;
        if (!PosixCheckOutputTarget(out.path, &reason, &exists)) {
            if (reason == "is a symbolic link") {
                return Fail(why, out.path + " is a symbolic link; " + out.option +
                                     " does not follow links");
            }
            // "is a FIFO, ..." follows the name; the folder's reason is its own.
            if (reason.rfind("is ", 0) == 0) {
                return Fail(why, out.path + " " + reason + "; " + out.option +
                                     " writes a regular file of its own");
            }
            return Fail(why, out.path + ": " + reason);
        }
        for (const PosixRunFile& in : inputs) {
            struct stat st {};
            if (exists && stat(in.path.c_str(), &st) == 0 && st.st_dev == id.dev &&
                st.st_ino == id.ino) {
                return Fail(why, out.path + " is the same file as " + in.option + " " + in.path +
                                     "; " + out.option + " would write over it");
            }
        }
        for (size_t i = 0; i < seen.size(); ++i) {
            if (seen[i] == id) {
                return Fail(why, out.path + " is the same file as " + outputs[i].option + " " +
                                     outputs[i].path + "; give each output a file of its own");
            }
        }
        if (exists && !force) return Fail(why, out.path + " exists; --force replaces it");
        seen.push_back(id);
    }
    return true;
}

bool PosixWriteFileSafely(const std::string& path, const uint8_t* data, size_t size, bool replace,
                          std::string* why) {
    std::string temp;
    const int fd = CreateBeside(path, &temp, why);
    if (fd < 0) return false;
    size_t written = 0;
    int error = 0;
    while (written < size) {
        const ssize_t n = write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        written += static_cast<size_t>(n);
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error != 0) {
        unlink(temp.c_str());
        return Fail(why, path + ": " + std::strerror(error));
    }
    return Place(temp, path, replace, false, why);
}

bool PosixOutputOpen(const std::string& path, bool replace, PosixOutputStream* stream,
                     std::string* why) {
    *stream = PosixOutputStream{};
    stream->path = path;
    stream->replace = replace;
    if (path == "-") {
        stream->file = stderr;
        return true;
    }
    int fd = -1;
    if (IsDevice(path)) {
        // Never a FIFO (refused by the check), so the open cannot wait.
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return Fail(why, path + ": cannot be opened: " + std::strerror(errno));
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    } else {
        fd = CreateBeside(path, &stream->temp, why);
        if (fd < 0) return false;
    }
    stream->file = fdopen(fd, "w");
    if (stream->file == nullptr) {
        const int error = errno;
        close(fd);
        if (!stream->temp.empty()) unlink(stream->temp.c_str());
        stream->temp.clear();
        return Fail(why, path + ": " + std::strerror(error));
    }
    // A device takes each line as it comes, so that a write it refuses
    // (/dev/full) fails at that line, with its own errno.
    if (stream->temp.empty()) setvbuf(stream->file, nullptr, _IOLBF, 0);
    return true;
}

bool PosixOutputCommit(PosixOutputStream* stream, int firstError, std::string* why) {
    if (stream->file == nullptr) return true;
    if (stream->file == stderr) {
        std::fflush(stderr);
        stream->file = nullptr;
        return true;
    }
    int error = firstError;
    if (std::fflush(stream->file) != 0 && error == 0) error = errno;
    if (std::ferror(stream->file) != 0 && error == 0) error = EIO;
    if (!stream->temp.empty() && fsync(fileno(stream->file)) != 0 && error == 0) error = errno;
    if (std::fclose(stream->file) != 0 && error == 0) error = errno;
    stream->file = nullptr;
    // What was written is placed even so: part of a trace still tells much.
    bool placed = true;
    if (!stream->temp.empty())
        placed = Place(stream->temp, stream->path, stream->replace, true, why);
    stream->temp.clear();
    if (error != 0) {
        return Fail(why, stream->path + " could not be written: " + std::strerror(error));
    }
    return placed;
}

void PosixOutputDiscard(PosixOutputStream* stream) {
    if (stream->file != nullptr && stream->file != stderr) std::fclose(stream->file);
    if (!stream->temp.empty()) unlink(stream->temp.c_str());
    *stream = PosixOutputStream{};
}
