// SPDX-License-Identifier: Apache-2.0
// The GUI shell: entry point, main window, the power check, the modal
// progress dialog that starts the update worker, and the About dialog.
#pragma once

#include <windows.h>

ATOM RegisterMainWindowClass(HINSTANCE instance, LPCWSTR className);
BOOL CreateMainWindow(HINSTANCE instance, int showCommand);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The module's instance handle, saved by CreateMainWindow.
extern HINSTANCE AppInstance;
