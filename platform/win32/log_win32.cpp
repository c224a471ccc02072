// SPDX-License-Identifier: Apache-2.0
// The program's own notes on a desktop: why a run failed or stopped, for the
// user who sends it in and for a developer with a debugger attached. The
// message boxes keep their short fixed texts; the detail goes here.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"

namespace {

std::string Path;

// In the user's temporary folder, beside the temporary image.
std::wstring LogPathWide() {
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return {};
    std::wstring path = folder;
    if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
    path += Utf8ToWide(WIN32_LOG_FILE_NAME);
    return path;
}

}  // namespace

const char* Win32LogPath() {
    Path = WideToUtf8(LogPathWide().c_str());
    return Path.c_str();
}

void Win32LogLine(const char* text) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    const std::wstring line = Utf8ToWide((std::string(stamp) + "zelvar: " + text + "\r\n").c_str());
    OutputDebugStringW(line.c_str());

    const std::wstring path = LogPathWide();
    if (path.empty()) return;
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string utf8 = WideToUtf8(line.c_str());
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}
