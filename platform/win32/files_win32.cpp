// The temporary image file lives in the user's own temporary folder, which
// other users cannot read or write, rather than in the root of the drive.
#include <windows.h>

#include <string>

#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"

namespace {

constexpr wchar_t TEMP_FILE_NAME[] = L"Tervalon.s";

std::string Path;

bool Ascii(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

const char* TempImagePath() {
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return nullptr;
    CreateDirectoryW(folder, nullptr);
    const DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return nullptr;
    }
    std::wstring dir = folder;
    // The path is handed on as UTF-8 and may reach the C library's narrow
    // file calls, which use the ANSI code page: prefer the folder's short
    // name, which is plain ASCII, when its long name is not.
    if (!Ascii(dir)) {
        wchar_t shortName[MAX_PATH + 1] = {};
        const DWORD shortLength = GetShortPathNameW(folder, shortName, MAX_PATH + 1);
        if (shortLength > 0 && shortLength <= MAX_PATH) dir = shortName;
    }
    if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
    dir += TEMP_FILE_NAME;
    Path = WideToUtf8(dir.c_str());
    return Path.c_str();
}

const FileOps Table{TempImagePath};

}  // namespace

const FileOps& Win32FileOps() {
    return Table;
}
