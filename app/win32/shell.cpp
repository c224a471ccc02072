// SPDX-License-Identifier: Apache-2.0
#include "app/win32/shell.h"

#include <commctrl.h>

#include <cwchar>
#include <string>
#include <utility>

#include "app/win32/resource.h"
#include "app/win32/run_request.h"
#include "app/win32/worker_ui.h"
#include "platform/platform.h"
#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"
#include "update/board.h"
#include "update/update.h"

HINSTANCE AppInstance = nullptr;

namespace {

constexpr UINT_PTR PROGRESS_TIMER = 1;
constexpr UINT PROGRESS_TIMER_MS = 1000;
// While a stop is under way the dialog looks for the worker's end this often.
constexpr UINT_PTR STOP_TIMER = 2;
constexpr UINT STOP_TIMER_MS = 100;
// After the outcome only the closing steps remain; a worker that takes longer
// than this is not waited for.
constexpr ULONGLONG OUTCOME_STOP_LIMIT_MS = 10000;
// When the session ends anyway (before the flash is touched) the worker gets
// this long to close the link and put the board back.
constexpr DWORD END_SESSION_WAIT_MS = 5000;
constexpr int TEXT_BUFFER = 100;

// Held for the life of the process: two copies started at the same instant
// could both miss each other's window, which exists only once the first has
// got as far as creating it.
constexpr wchar_t INSTANCE_MUTEX[] = L"Local\\Zelvar.GpsFirmwareUpdate";
// How long a second copy waits for the first one's window to appear.
constexpr int FIRST_WINDOW_TRIES = 50;
constexpr DWORD FIRST_WINDOW_WAIT_MS = 100;

constexpr wchar_t FLASH_BUSY_LINE[] =
    L"Writing the receiver's flash. Closing now would leave the receiver unusable; "
    L"please wait for the outcome.";
constexpr wchar_t STOPPING_LINE[] = L"Stopping: the receiver is left as it was.";
constexpr wchar_t SHUTDOWN_REASON[] =
    L"Zelvar is writing the GPS receiver's firmware. Interrupting it would leave the receiver "
    L"unusable.";

// The handheld shell's activation record; the desktop has no input panel to
// track, so it is kept only for the calls that take it.
struct ShellActivate {
    DWORD cbSize;
    HWND lastFocus;
    UINT flags;
};

ShellActivate ShellActivateInfo{};
HANDLE WorkerThreadHandle = nullptr;
DWORD WorkerThreadId = 0;
HANDLE InstanceMutex = nullptr;
// Set once a stop has been asked for and taken; the dialog then ends as soon
// as the worker has.
bool Stopping = false;
ULONGLONG StoppingSince = 0;
bool ShutdownBlocked = false;
// The run the worker is given; it reads both for as long as it runs.
UpdateRequest RunRequest{};
BootLines RunBootLines{};

// Desktop counterparts of the handheld shell's calls.

void InitExtraControls() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
}

// The handheld shows a dialog full-screen with a done button in its caption.
// On the desktop the dialog keeps its own size, is centred on the work area,
// and gets a close box in its caption, which sends WM_CLOSE as the done button
// ends the dialog there.
void InitDialog(HWND dialog) {
    const LONG_PTR style = GetWindowLongPtrW(dialog, GWL_STYLE);
    SetWindowLongPtrW(dialog, GWL_STYLE, style | WS_SYSMENU);
    // The caption shows the program's icon, as desktop windows do.
    for (const auto& [which, metric] :
         {std::pair{ICON_SMALL, SM_CXSMICON}, {ICON_BIG, SM_CXICON}}) {
        const int size = GetSystemMetrics(metric);
        HANDLE icon = LoadImageW(AppInstance, MAKEINTRESOURCEW(IDI_ZELVAR), IMAGE_ICON, size, size,
                                 LR_DEFAULTCOLOR | LR_SHARED);
        if (icon != nullptr) {
            SendMessageW(dialog, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
        }
    }
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT box{};
    GetWindowRect(dialog, &box);
    const int width = box.right - box.left;
    const int height = box.bottom - box.top;
    SetWindowPos(dialog, nullptr, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
}

// The input panel and settings the handheld shell tracks have no desktop
// counterpart.
void HandleActivate(HWND, WPARAM, LPARAM, ShellActivate*, DWORD) {}
void HandleSettingChange(HWND, WPARAM, LPARAM, ShellActivate*) {}

// The first copy's main window stays hidden while its dialog or a message
// runs, and those have no owner: what the user should see is the topmost
// visible window of that process.
HWND FrontWindowOf(HWND mainWindow) {
    struct Search {
        DWORD process;
        HWND found;
    } search{0, mainWindow};
    GetWindowThreadProcessId(mainWindow, &search.process);
    // Top-level windows come in z-order, topmost first.
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* s = reinterpret_cast<Search*>(parameter);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process != s->process || !IsWindowVisible(window)) return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The machine must not sleep under the update: the link would break and a
// half-written receiver does not start. The request ends with the thread.
DWORD WINAPI WorkerThread(LPVOID parameter) {
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    const DWORD exitCode = UpdateWorker(parameter);
    // An outcome that came without a box of its own (a stop) is noted too.
    NoteOutcome();
    SetThreadExecutionState(ES_CONTINUOUS);
    return exitCode;
}

// Runs a dialog of the program's resources modally; -1 when it cannot.
INT_PTR RunDialog(int id, HWND owner, DLGPROC procedure) {
    HRSRC resource = FindResourceW(AppInstance, MAKEINTRESOURCEW(id), RT_DIALOG);
    if (resource == nullptr) return -1;
    HGLOBAL loaded = LoadResource(AppInstance, resource);
    if (loaded == nullptr) return -1;
    const auto* dialogTemplate = static_cast<LPCDLGTEMPLATEW>(LockResource(loaded));
    if (dialogTemplate == nullptr) return -1;
    return DialogBoxIndirectParamW(AppInstance, dialogTemplate, owner, procedure, 0);
}

// A run refused before the worker started: its line in the log, and its box
// when it has one.
void Refuse(const char* step, const char* message, const char* cause, int osError, bool box) {
    UpdateResult refusal = UpdateRefusal(UPDATE_ACTION_UPDATE, step, message, cause);
    refusal.osError = osError;
    Win32LogLine(GuiOutcomeLine(refusal).c_str());
    if (box) {
        MessageBoxW(nullptr, Utf8ToWide(message).c_str(), L"Fail", MB_OK);
    }
}

// The power rule and the registry's settings, then the progress dialog.
void OnCreate(HWND window) {
    ShellActivateInfo = ShellActivate{};
    ShellActivateInfo.cbSize = sizeof ShellActivateInfo;
    int acLineStatus = 0;
    const int powerRead = PlatformBoard().powerStatus(&acLineStatus);
    const DWORD powerError = powerRead == 0 ? GetLastError() : 0;
    char settingsError[512] = {};
    if (const char* refusal =
            UpdatePowerRefusal(powerRead, acLineStatus, UPDATE_ACTION_UPDATE, false)) {
        // An unreadable power status ends the program without a box, as on
        // the handheld.
        Refuse("PowerStatus", refusal,
               powerRead == 0 ? "the power status cannot be read (GetSystemPowerStatus)" : "",
               static_cast<int>(powerError), powerRead != 0);
    } else if (!GuiReadRequest(PORT_DRIVER_KEY, &RunRequest, &RunBootLines, settingsError,
                               sizeof settingsError)) {
        Refuse("BootLines", settingsError, "", 0, true);
    } else {
        RunDialog(IDD_PROGRESS, nullptr, ProgressDialogProc);
    }
    SendMessageW(window, WM_CLOSE, 0, 0);
}

void SetStatusLine(HWND dialog, const wchar_t* text) {
    wchar_t shown[256] = {};
    GetDlgItemTextW(dialog, IDC_STATUS_LINE, shown, 256);
    if (std::wcscmp(shown, text) != 0) SetDlgItemTextW(dialog, IDC_STATUS_LINE, text);
}

void EnableCloseBox(HWND dialog, bool enable) {
    EnableMenuItem(GetSystemMenu(dialog, FALSE), SC_CLOSE,
                   MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
}

// The dialog's close box, status line and shutdown block follow the phase of
// the run.
void ShowPhase(HWND dialog) {
    const bool busy = UpdateFlashBusy();
    EnableCloseBox(dialog, !busy && !Stopping);
    SetStatusLine(dialog, Stopping ? STOPPING_LINE : busy ? FLASH_BUSY_LINE : L"");
    if (ShutdownBlocked && !busy) {
        ShutdownBlockReasonDestroy(dialog);
        ShutdownBlocked = false;
    }
}

void EndProgressDialog(HWND dialog) {
    KillTimer(dialog, STOP_TIMER);
    if (ShutdownBlocked) ShutdownBlockReasonDestroy(dialog);
    ShutdownBlocked = false;
    // The worker has ended or is not waited for; only our handle goes.
    if (WorkerThreadHandle != nullptr) CloseHandle(WorkerThreadHandle);
    WorkerThreadHandle = nullptr;
    EndDialog(dialog, IDOK);
}

// Closing the dialog ends the program. Before the first erase or write the
// worker is stopped first, so that the link is closed, the board put back and
// the temporary image removed; from then until the outcome is decided closing
// is refused, as a half-written receiver does not start; after the outcome
// the worker's box is answered for the user and its last steps run.
void RequestClose(HWND dialog, const char* how) {
    if (Stopping) return;
    if (WorkerThreadHandle == nullptr || UpdateFinished()) {
        EndProgressDialog(dialog);
        return;
    }
    const int answer = UpdateRequestStop();
    if (answer == UPDATE_STOP_REFUSED) {
        NoteRunEvent(
            (std::string(how) + " refused: the receiver's flash is being written").c_str());
        ShowPhase(dialog);
        SetStatusLine(dialog, FLASH_BUSY_LINE);
        MessageBeep(MB_ICONWARNING);
        return;
    }
    NoteRunEvent(
        (std::string(how) + (answer == UPDATE_STOP_TAKEN ? ": stopping before the flash is touched"
                                                         : ": ending after the outcome"))
            .c_str());
    Stopping = true;
    StoppingSince = answer == UPDATE_STOP_ENDS_OUTCOME ? GetTickCount64() : 0;
    ShowPhase(dialog);
    DismissThreadMessages(WorkerThreadId);
    SetTimer(dialog, STOP_TIMER, STOP_TIMER_MS, nullptr);
}

// A stop under way: ends the dialog once the worker has ended.
void FollowStop(HWND dialog) {
    if (!Stopping) return;
    if (UpdateFinished() || WaitForSingleObject(WorkerThreadHandle, 0) == WAIT_OBJECT_0) {
        const int outcome = UpdateOutcome();
        if (outcome == UPDATE_OUTCOME_STOPPED_BEFORE_LINK ||
            outcome == UPDATE_OUTCOME_STOPPED_WITH_LINK) {
            NoteRunEvent(outcome == UPDATE_OUTCOME_STOPPED_BEFORE_LINK
                             ? "stopped; nothing was sent to the receiver"
                             : "stopped; the link was closed, the receiver's flash untouched");
        }
        EndProgressDialog(dialog);
        return;
    }
    // A box that came up after the first look.
    DismissThreadMessages(WorkerThreadId);
    if (StoppingSince != 0 && GetTickCount64() - StoppingSince > OUTCOME_STOP_LIMIT_MS) {
        EndProgressDialog(dialog);
    }
}

// The session ends: a run not yet at the flash is stopped as the close box
// would, as far as the time Windows gives allows.
void EndSession() {
    if (WorkerThreadHandle == nullptr || UpdateFinished()) return;
    if (UpdateRequestStop() == UPDATE_STOP_REFUSED) return;
    NoteRunEvent("end of session: stopping");
    const ULONGLONG start = GetTickCount64();
    while (WaitForSingleObject(WorkerThreadHandle, STOP_TIMER_MS) == WAIT_TIMEOUT &&
           GetTickCount64() - start < END_SESSION_WAIT_MS) {
        DismissThreadMessages(WorkerThreadId);
    }
}

// Log-off, restart and shutdown wait while the flash is written, with the
// reason shown to the user; at other times the session may end.
INT_PTR QueryEndSession(HWND dialog) {
    if (!UpdateFlashBusy()) return FALSE;
    ShutdownBlockReasonCreate(dialog, SHUTDOWN_REASON);
    ShutdownBlocked = true;
    NoteRunEvent("end of session refused: the receiver's flash is being written");
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, FALSE);
    return TRUE;
}

}  // namespace

ATOM RegisterMainWindowClass(HINSTANCE instance, LPCWSTR className) {
    WNDCLASSW windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_ZELVAR));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = className;
    return RegisterClassW(&windowClass);
}

BOOL CreateMainWindow(HINSTANCE instance, int showCommand) {
    AppInstance = instance;
    PlatformSetAppInstance(instance);
    InitExtraControls();

    wchar_t title[TEXT_BUFFER] = {};
    wchar_t className[TEXT_BUFFER] = {};
    LoadStringW(instance, IDS_APP_TITLE, title, TEXT_BUFFER);
    LoadStringW(instance, IDS_APP_CLASS, className, TEXT_BUFFER);

    // One copy at a time: a second one brings the first forward and ends.
    InstanceMutex = CreateMutexW(nullptr, FALSE, INSTANCE_MUTEX);
    if (InstanceMutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        HWND running = FindWindowW(className, title);
        for (int tries = 0; running == nullptr && tries < FIRST_WINDOW_TRIES; ++tries) {
            Sleep(FIRST_WINDOW_WAIT_MS);
            running = FindWindowW(className, title);
        }
        if (running != nullptr) SetForegroundWindow(FrontWindowOf(running));
        return FALSE;
    }
    if (HWND running = FindWindowW(className, title); running != nullptr) {
        SetForegroundWindow(FrontWindowOf(running));
        return FALSE;
    }
    if (RegisterMainWindowClass(instance, className) == 0) return FALSE;

    HWND window =
        CreateWindowExW(0, className, title, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return FALSE;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return TRUE;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate(window);
            return 0;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDM_EXIT:
                    SendMessageW(window, WM_CLOSE, 0, 0);
                    return 0;
                case IDM_HELP_ABOUT:
                    RunDialog(IDD_ABOUTBOX, window, AboutDialogProc);
                    return 0;
                default:
                    return DefWindowProcW(window, message, wParam, lParam);
            }
        case WM_PAINT: {
            PAINTSTRUCT paint;
            BeginPaint(window, &paint);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_ACTIVATE:
            HandleActivate(window, wParam, lParam, &ShellActivateInfo, 0);
            return 0;
        case WM_SETTINGCHANGE:
            HandleSettingChange(window, wParam, lParam, &ShellActivateInfo);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            InitDialog(dialog);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            EndDialog(dialog, IDOK);
            return TRUE;
        default:
            return FALSE;
    }
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    // Every message re-arms the one-second timer, so a tick comes a second
    // after the last message; the ticks themselves keep it going.
    SetTimer(dialog, PROGRESS_TIMER, PROGRESS_TIMER_MS, nullptr);
    switch (message) {
        case WM_INITDIALOG: {
            InitDialog(dialog);
            HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
            SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
            SendMessageW(bar, PBM_SETPOS, 0, 0);
            Stopping = false;
            WorkerThreadHandle =
                CreateThread(nullptr, 0, WorkerThread, &RunRequest, 0, &WorkerThreadId);
            return TRUE;
        }
        case WM_TIMER:
            SendMessageW(GetDlgItem(dialog, IDC_PROGRESS), PBM_SETPOS,
                         static_cast<WPARAM>(ProgressPercent()), 0);
            ShowPhase(dialog);
            if (wParam == STOP_TIMER) FollowStop(dialog);
            return FALSE;
        case WM_CLOSE:
            RequestClose(dialog, "WM_CLOSE");
            return TRUE;
        case WM_SYSCOMMAND:
            // The close box and Alt+F4; a close box greyed out during the
            // flash is still answered, so the user learns why.
            if ((wParam & 0xFFF0) == SC_CLOSE) {
                RequestClose(dialog, lParam == 0 ? "Alt+F4" : "close box");
                return TRUE;
            }
            return FALSE;
        case WM_NCLBUTTONDOWN:
            // A click on the greyed close box: say why nothing happens.
            if (wParam == HTCLOSE && UpdateFlashBusy()) RequestClose(dialog, "close box");
            return FALSE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                RequestClose(dialog, "OK");
                return TRUE;
            }
            return FALSE;
        case WM_QUERYENDSESSION:
            return QueryEndSession(dialog);
        case WM_ENDSESSION:
            if (wParam != FALSE) EndSession();
            return FALSE;
        default:
            return FALSE;
    }
}
