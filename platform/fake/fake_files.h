// SPDX-License-Identifier: Apache-2.0
// Temporary-file back end for tests: a real file at whatever path the test
// names, used through a stdio stream from its creation to its removal.
#pragma once

#include "platform/platform.h"

const FileOps& FakeFileOps();
// The path the file is created at; nullptr: no private directory could be had.
void FakeFilesSetPath(const char* path);
// Called once the first write to the file has returned (nullptr: none), so a
// test can meddle with the name while the update holds the file.
void FakeFilesSetAfterWrite(void (*hook)());
