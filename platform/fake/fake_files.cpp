#include "platform/fake/fake_files.h"

#include <string>

namespace {

std::string Path;
bool HavePath = false;

const char* TempImagePath() {
    return HavePath ? Path.c_str() : nullptr;
}

const FileOps Table{TempImagePath};

}  // namespace

const FileOps& FakeFileOps() {
    return Table;
}

void FakeFilesSetPath(const char* path) {
    HavePath = path != nullptr;
    Path = HavePath ? path : "";
}
