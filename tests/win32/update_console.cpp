// SPDX-License-Identifier: Apache-2.0
// zelvar-update-console.exe: one whole update with the Win32 back ends and
// the firmware resource, as zelvar.exe runs it, but with its messages printed
// instead of shown, so that a script can drive it without a display.
//
// The run is read from the port driver's key as zelvar.exe reads it (the
// BootLines value included). Output lines: "progress N" whenever the value
// changes, "message CAPTION|TEXT" for every message, "outcome LINE" with the
// line zelvar.exe writes to its log, and "exit N" with the worker's exit code,
// which is also the program's (2 when the registry's settings refuse the run
// before it starts).
#include <windows.h>

#include <cstdio>

#include "app/win32/run_request.h"
#include "app/win32/worker_ui.h"
#include "platform/platform.h"
#include "platform/win32/win32.h"
#include "update/board.h"
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

    static UpdateRequest request{};
    static BootLines lines{};
    char refusal[512] = {};
    if (!GuiReadRequest(PORT_DRIVER_KEY, &request, &lines, refusal, sizeof refusal)) {
        PrintMessage(refusal, "Fail");
        const UpdateResult result = UpdateRefusal(UPDATE_ACTION_UPDATE, "BootLines", refusal, "");
        std::printf("outcome %s\nexit 2\n", GuiOutcomeLine(result).c_str());
        return 2;
    }
    HANDLE worker = CreateThread(nullptr, 0, Worker, &request, 0, nullptr);
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
    std::printf("outcome %s\n", GuiOutcomeLine(UpdateLastResult()).c_str());
    std::printf("exit %lu\n", exitCode);
    return static_cast<int>(exitCode);
}
