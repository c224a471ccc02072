// SPDX-License-Identifier: Apache-2.0
// The temporary image in Emscripten's in-memory file system: it lives only
// in this page's memory, which no other program can reach, and is gone when
// the page is.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/web/web.h"

namespace {

constexpr char FOLDER[] = "/tmp/zelvar";
constexpr char PATH[] = "/tmp/zelvar/Tervalon.s";

PlatformHandle Create() {
    if (mkdir(FOLDER, 0700) != 0 && errno != EEXIST) {
        PlatformCauseSet(errno, "in-memory folder %s cannot be made", FOLDER);
        return PLATFORM_INVALID_HANDLE;
    }
    FILE* file = std::fopen(PATH, "w+b");
    if (file == nullptr) {
        PlatformCauseSet(errno, "in-memory file %s", PATH);
        return PLATFORM_INVALID_HANDLE;
    }
    return file;
}

int Write(PlatformHandle file, const void* data, uint32_t length) {
    return std::fwrite(data, 1, length, static_cast<FILE*>(file)) == length ? 1 : 0;
}

int Rewind(PlatformHandle handle, uint32_t* sizeOut) {
    FILE* file = static_cast<FILE*>(handle);
    if (std::fflush(file) != 0 || std::fseek(file, 0, SEEK_END) != 0) return 0;
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) return 0;
    *sizeOut = static_cast<uint32_t>(size);
    return 1;
}

int Read(PlatformHandle file, void* data, uint32_t length, uint32_t* count) {
    FILE* stream = static_cast<FILE*>(file);
    const size_t n = std::fread(data, 1, length, stream);
    if (n < length && std::ferror(stream) != 0) return 0;
    *count = static_cast<uint32_t>(n);
    return 1;
}

int Remove(PlatformHandle /*file*/) {
    return std::remove(PATH) == 0 ? 1 : 0;
}

void Close(PlatformHandle file) {
    std::fclose(static_cast<FILE*>(file));
}

const char* TempImagePath() {
    return PATH;
}

const FileOps Table{Create, Write, Rewind, Read, Remove, Close, TempImagePath};

}  // namespace

const FileOps& WebFileOps() {
    return Table;
}
