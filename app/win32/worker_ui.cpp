// SPDX-License-Identifier: Apache-2.0
#include "app/win32/worker_ui.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"
#include "update/update.h"

namespace {

// The class of the dialogs MessageBoxW makes.
constexpr wchar_t DIALOG_CLASS[] = L"#32770";

// One outcome line per run; only the worker's thread touches it.
bool OutcomeNoted = false;

// The line errors ClearCommError reported, by name.
std::string LineErrors() {
    const uint32_t errors = Win32SerialLastCommErrors();
    if (errors == 0) return {};
    char text[96];
    std::snprintf(text, sizeof text, "; line errors 0x%lx%s%s%s%s",
                  static_cast<unsigned long>(errors), (errors & CE_FRAME) ? " framing" : "",
                  (errors & CE_OVERRUN) ? " overrun" : "", (errors & CE_RXPARITY) ? " parity" : "",
                  (errors & CE_BREAK) ? " break" : "");
    return text;
}

void ShowWorkerMessage(const char* text, const char* caption) {
    // The boxes keep their fixed short texts; why it failed goes to the log,
    // as the outcome once it is decided (board control shows its own box
    // before that).
    if (std::strcmp(caption, "Done") != 0) {
        if (UpdateOutcome() != UPDATE_OUTCOME_NONE) {
            NoteOutcome();
        } else {
            NoteRunEvent((std::string("\"") + text + "\" (" + caption + ")").c_str());
        }
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
    if (const uint32_t error = Win32SerialLastError(); error != 0) {
        line += "; last serial error " + std::to_string(error);
    }
    line += LineErrors();
    Win32LogLine(line.c_str());
}

std::string GuiOutcomeLine(const UpdateResult& result) {
    // The system's words for the error go with the cause they explain.
    UpdateResult shown = result;
    if (result.osError != 0) {
        const std::string text = Win32ErrorText(static_cast<unsigned long>(result.osError));
        std::snprintf(shown.cause, sizeof shown.cause, "%s%s(OS error %d%s%s)", result.cause,
                      result.cause[0] != '\0' ? " " : "", result.osError, text.empty() ? "" : ": ",
                      text.c_str());
    }
    char rendered[1600];
    UpdateResultLine(shown, rendered, sizeof rendered);
    return rendered + LineErrors();
}

void NoteOutcome() {
    const int outcome = UpdateOutcome();
    if (OutcomeNoted || outcome == UPDATE_OUTCOME_NONE || outcome == UPDATE_OUTCOME_FINISHED)
        return;
    OutcomeNoted = true;
    Win32LogLine(GuiOutcomeLine(UpdateLastResult()).c_str());
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
