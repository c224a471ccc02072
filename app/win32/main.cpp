// SPDX-License-Identifier: Apache-2.0
// zelvar.exe: updates the GPS receiver's firmware, with a progress dialog.
#include <windows.h>

#include "app/win32/resource.h"
#include "app/win32/shell.h"
#include "app/win32/worker_ui.h"
#include "platform/platform.h"
#include "platform/win32/win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    PlatformInstall(Win32PlatformOps());
    PlatformInstall(PlatformOps{nullptr, nullptr, nullptr, nullptr, nullptr, &GuiWorkerUi()});
    if (!CreateMainWindow(instance, showCommand)) return 0;

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
