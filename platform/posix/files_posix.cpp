#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/posix/posix.h"

namespace {

std::string Path;

// A directory of our own that no other user can plant files in or read:
// created 0700, and accepted only when it is a real directory (not a link)
// owned by us with no access for others.
bool PrivateDirectory(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

const char* TempImagePath() {
    std::string dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        dir = std::string(runtime) + "/zelvar";
    } else {
        const char* tmp = std::getenv("TMPDIR");
        dir = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/zelvar-" +
              std::to_string(geteuid());
    }
    if (!PrivateDirectory(dir)) return nullptr;
    Path = dir + "/Tervalon.s";
    return Path.c_str();
}

const FileOps Table{TempImagePath};

}  // namespace

const FileOps& PosixFileOps() {
    return Table;
}
