// SPDX-License-Identifier: Apache-2.0
#include "app/win32/worker_ui.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32/win32.h"
#include "update/update.h"

namespace {

// The class of the dialogs MessageBoxW makes.
constexpr wchar_t DIALOG_CLASS[] = L"#32770";

void ShowWorkerMessage(const char* text, const char* caption) {
    // The boxes keep their fixed short texts; why it failed goes to the log.
    if (std::strcmp(caption, "Done") != 0) {
        NoteRunEvent((std::string("\"") + text + "\" (" + caption + ")").c_str());
    }
    // After a stop nobody waits for an answer.
    if (UpdateStopRequested()) return;
    Win32UiOps().message(text, caption);
}

const UiOps Table{ShowWorkerMessage};

}  // namespace

const UiOps& GuiWorkerUi() {
    return Table;
}

void NoteRunEvent(const char* what) {
    std::string line = what;
    const char* step = UpdateFailedStep();
    if (step != nullptr && step[0] != '\0') line += std::string("; failed step ") + step;
    char detail[96];
    if (const uint32_t error = Win32SerialLastError(); error != 0) {
        std::snprintf(detail, sizeof detail, "; last serial error %lu",
                      static_cast<unsigned long>(error));
        line += detail;
    }
    if (const uint32_t errors = Win32SerialLastCommErrors(); errors != 0) {
        std::snprintf(detail, sizeof detail, "; line errors 0x%lx%s%s%s%s",
                      static_cast<unsigned long>(errors), (errors & CE_FRAME) ? " framing" : "",
                      (errors & CE_OVERRUN) ? " overrun" : "",
                      (errors & CE_RXPARITY) ? " parity" : "", (errors & CE_BREAK) ? " break" : "");
        line += detail;
    }
    Win32LogLine(line.c_str());
}

void DismissThreadMessages(DWORD threadId) {
    if (threadId == 0) return;
    EnumThreadWindows(
        threadId,
        [](HWND window, LPARAM) -> BOOL {
            wchar_t name[16] = {};
            GetClassNameW(window, name, 16);
            if (std::wcscmp(name, DIALOG_CLASS) == 0) PostMessageW(window, WM_COMMAND, IDOK, 0);
            return TRUE;
        },
        0);
}
