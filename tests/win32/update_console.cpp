// SPDX-License-Identifier: Apache-2.0
// zelvar-update-console.exe: one whole update with the Win32 back ends and
// the firmware resource, as zelvar.exe runs it, but with its messages printed
// instead of shown, so that a script can drive it without a display.
//
// Output lines: "progress N" whenever the value changes, "message CAPTION|TEXT"
// for every message, and "exit N" with the worker's exit code, which is also
// the program's.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/win32/win32.h"
#include "update/update.h"

namespace {

void PrintMessage(const char* text, const char* caption) {
    std::printf("message %s|%s\n", caption, text);
    std::fflush(stdout);
}

const UiOps PrintingUi{PrintMessage};

DWORD WINAPI Worker(LPVOID parameter) {
    return UpdateWorker(parameter);
}

}  // namespace

int main() {
    PlatformInstall(Win32PlatformOps());
    PlatformInstall(PlatformOps{nullptr, nullptr, nullptr, nullptr, nullptr, &PrintingUi});
    PlatformSetAppInstance(GetModuleHandleW(nullptr));

    HANDLE worker = CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr);
    if (worker == nullptr) return 2;
    int32_t shown = -1;
    for (;;) {
        const DWORD waited = WaitForSingleObject(worker, 100);
        const int32_t progress = ProgressPercent();
        if (progress != shown) {
            std::printf("progress %d\n", static_cast<int>(progress));
            std::fflush(stdout);
            shown = progress;
        }
        if (waited != WAIT_TIMEOUT) break;
    }
    DWORD exitCode = 2;
    GetExitCodeThread(worker, &exitCode);
    CloseHandle(worker);
    std::printf("exit %lu\n", exitCode);
    return static_cast<int>(exitCode);
}
