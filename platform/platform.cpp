// SPDX-License-Identifier: Apache-2.0
#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

PlatformOps Installed{};
PlatformHandle AppInstance = nullptr;
char CauseText[512] = "";
int CauseError = 0;

template <typename T>
const T& Require(const T* table, const char* what) {
    if (table == nullptr) {
        std::fprintf(stderr, "zelvar: no %s back end installed\n", what);
        std::abort();
    }
    return *table;
}

}  // namespace

void PlatformInstall(const PlatformOps& ops) {
    if (ops.serial != nullptr) Installed.serial = ops.serial;
    if (ops.clock != nullptr) Installed.clock = ops.clock;
    if (ops.board != nullptr) Installed.board = ops.board;
    if (ops.resource != nullptr) Installed.resource = ops.resource;
    if (ops.files != nullptr) Installed.files = ops.files;
    if (ops.ui != nullptr) Installed.ui = ops.ui;
}

const SerialOps& PlatformSerial() {
    return Require(Installed.serial, "serial");
}
const ClockOps& PlatformClock() {
    return Require(Installed.clock, "clock");
}
const BoardOps& PlatformBoard() {
    return Require(Installed.board, "board");
}
const ResourceOps& PlatformResource() {
    return Require(Installed.resource, "resource");
}
const FileOps& PlatformFiles() {
    return Require(Installed.files, "file");
}
const UiOps& PlatformUi() {
    return Require(Installed.ui, "user-interface");
}

void PlatformReset() {
    Installed = PlatformOps{};
    AppInstance = nullptr;
    PlatformCauseClear();
}

void PlatformCauseSet(int osError, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(CauseText, sizeof CauseText, format, args);
    va_end(args);
    CauseError = osError;
}
const char* PlatformCauseText() {
    return CauseText;
}
int PlatformCauseError() {
    return CauseError;
}
void PlatformCauseClear() {
    CauseText[0] = '\0';
    CauseError = 0;
}

PlatformHandle PlatformAppInstance() {
    return AppInstance;
}
void PlatformSetAppInstance(PlatformHandle instance) {
    AppInstance = instance;
}
