// Temporary-file location for tests: whatever path the test names.
#pragma once

#include "platform/platform.h"

const FileOps& FakeFileOps();
// The path tempImagePath gives; nullptr: no private directory could be had.
void FakeFilesSetPath(const char* path);
