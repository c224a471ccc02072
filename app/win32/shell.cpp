#include "app/win32/shell.h"

#include <commctrl.h>

#include <utility>

#include "app/win32/resource.h"
#include "platform/platform.h"
#include "update/update.h"

HINSTANCE AppInstance = nullptr;

namespace {

constexpr UINT_PTR PROGRESS_TIMER = 1;
constexpr UINT PROGRESS_TIMER_MS = 1000;
constexpr int TEXT_BUFFER = 100;

// The handheld shell's activation record; the desktop has no input panel to
// track, so it is kept only for the calls that take it.
struct ShellActivate {
    DWORD cbSize;
    HWND lastFocus;
    UINT flags;
};

ShellActivate ShellActivateInfo{};
HANDLE WorkerThreadHandle = nullptr;

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

DWORD WINAPI WorkerThread(LPVOID parameter) {
    return UpdateWorker(parameter);
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

void OnCreate(HWND window) {
    ShellActivateInfo = ShellActivate{};
    ShellActivateInfo.cbSize = sizeof ShellActivateInfo;
    int acLineStatus = 0;
    if (PlatformBoard().powerStatus(&acLineStatus) != 0) {
        if (acLineStatus == 1) {
            RunDialog(IDD_PROGRESS, nullptr, ProgressDialogProc);
        } else {
            MessageBoxW(nullptr, L"Please install AC charger!", L"Fail", MB_OK);
        }
    }
    SendMessageW(window, WM_CLOSE, 0, 0);
}

// Ending the dialog ends the program; while the receiver's flash is being
// erased or written that would leave the receiver unusable, so it is refused.
bool MayDismiss() {
    if (!UpdateFlashBusy()) return true;
    MessageBeep(MB_ICONWARNING);
    return false;
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

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    // Every message re-arms the one-second timer, so a tick comes a second
    // after the last message; the ticks themselves keep it going.
    SetTimer(dialog, PROGRESS_TIMER, PROGRESS_TIMER_MS, nullptr);
    switch (message) {
        case WM_INITDIALOG: {
            InitDialog(dialog);
            HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
            SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
            SendMessageW(bar, PBM_SETPOS, 0, 0);
            WorkerThreadHandle = CreateThread(nullptr, 0, WorkerThread, nullptr, 0, nullptr);
            return TRUE;
        }
        case WM_TIMER:
            SendMessageW(GetDlgItem(dialog, IDC_PROGRESS), PBM_SETPOS,
                         static_cast<WPARAM>(ProgressPercent()), 0);
            return FALSE;
        case WM_CLOSE:
            if (!MayDismiss()) return TRUE;
            // The worker runs on to its end; only our handle goes.
            if (WorkerThreadHandle != nullptr) CloseHandle(WorkerThreadHandle);
            WorkerThreadHandle = nullptr;
            EndDialog(dialog, IDOK);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                if (MayDismiss()) EndDialog(dialog, IDOK);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}
