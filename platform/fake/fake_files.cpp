// SPDX-License-Identifier: Apache-2.0
#include "platform/fake/fake_files.h"

#include <cstdio>
#include <string>

namespace {

std::string Path;
bool HavePath = false;
void (*AfterWrite)() = nullptr;

std::FILE* Stream(PlatformHandle file) {
    return static_cast<std::FILE*>(file);
}

PlatformHandle Create() {
    if (!HavePath) {
        PlatformCauseSet(0, "no private folder for the temporary file");
        return PLATFORM_INVALID_HANDLE;
    }
    std::FILE* file = std::fopen(Path.c_str(), "w+b");
    return file != nullptr ? file : PLATFORM_INVALID_HANDLE;
}

int Write(PlatformHandle file, const void* data, uint32_t length) {
    const bool ok =
        std::fwrite(data, 1, length, Stream(file)) == length && std::fflush(Stream(file)) == 0;
    if (AfterWrite != nullptr) {
        void (*hook)() = AfterWrite;
        AfterWrite = nullptr;
        hook();
    }
    return ok ? 1 : 0;
}

int Rewind(PlatformHandle file, uint32_t* sizeOut) {
    std::FILE* stream = Stream(file);
    if (std::fseek(stream, 0, SEEK_END) != 0) return 0;
    const long size = std::ftell(stream);
    if (size < 0 || std::fseek(stream, 0, SEEK_SET) != 0) return 0;
    *sizeOut = static_cast<uint32_t>(size);
    return 1;
}

int Read(PlatformHandle file, void* data, uint32_t length, uint32_t* count) {
    *count = static_cast<uint32_t>(std::fread(data, 1, length, Stream(file)));
    return std::ferror(Stream(file)) == 0 ? 1 : 0;
}

// The fake removes by name: the tests that swap names check reading, not this.
int Remove(PlatformHandle /*file*/) {
    return std::remove(Path.c_str()) == 0 ? 1 : 0;
}

void Close(PlatformHandle file) {
    std::fclose(Stream(file));
}

const char* TempImagePath() {
    return HavePath ? Path.c_str() : nullptr;
}

const FileOps Table{Create, Write, Rewind, Read, Remove, Close, TempImagePath};

}  // namespace

const FileOps& FakeFileOps() {
    return Table;
}

void FakeFilesSetPath(const char* path) {
    HavePath = path != nullptr;
    Path = HavePath ? path : "";
}

void FakeFilesSetAfterWrite(void (*hook)()) {
    AfterWrite = hook;
}
