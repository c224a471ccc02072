// SPDX-License-Identifier: Apache-2.0
#include "platform/win32/win32_text.h"

#include <windows.h>

std::wstring Utf8ToWide(const char* text) {
    if (text == nullptr || text[0] == '\0') return {};
    const int count = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (count <= 0) return {};
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), count);
    wide.resize(static_cast<size_t>(count - 1));
    return wide;
}

std::string WideToUtf8(const wchar_t* text) {
    if (text == nullptr || text[0] == L'\0') return {};
    const int count = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (count <= 0) return {};
    std::string narrow(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), count, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(count - 1));
    return narrow;
}
