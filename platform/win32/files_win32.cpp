// SPDX-License-Identifier: Apache-2.0
// The temporary image file lives in the user's own temporary folder, which
// other users cannot read or write, rather than in the root of the drive. It
// is named by a wide-character path from end to end, so a user folder with
// any characters in its name works, and it is written, read back and deleted
// through the one handle that created it.
#include <windows.h>

#include <string>

#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"

namespace {

constexpr wchar_t TEMP_FILE_NAME[] = L"Tervalon.s";

HANDLE File = INVALID_HANDLE_VALUE;
std::string Path;

bool TempFilePath(std::wstring* out) {
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) {
        PlatformCauseSet(static_cast<int>(GetLastError()), "no temporary folder");
        return false;
    }
    CreateDirectoryW(folder, nullptr);
    const DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        PlatformCauseSet(static_cast<int>(GetLastError()), "temporary folder %s is no folder",
                         WideToUtf8(folder).c_str());
        return false;
    }
    std::wstring dir = folder;
    if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
    *out = dir + TEMP_FILE_NAME;
    return true;
}

PlatformHandle Create() {
    if (File != INVALID_HANDLE_VALUE) CloseHandle(File);
    File = INVALID_HANDLE_VALUE;
    std::wstring path;
    if (!TempFilePath(&path)) return PLATFORM_INVALID_HANDLE;
    Path = WideToUtf8(path.c_str());
    // No one may write it while we hold it; reading and deleting are let
    // through, since what we read and delete goes through this handle.
    File = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                       FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (File == INVALID_HANDLE_VALUE) {
        PlatformCauseSet(static_cast<int>(GetLastError()), "%s cannot be created", Path.c_str());
        return PLATFORM_INVALID_HANDLE;
    }
    return File;
}

int Write(PlatformHandle handle, const void* data, uint32_t length) {
    if (handle != File || File == INVALID_HANDLE_VALUE) return 0;
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(File, bytes, length, &written, nullptr) || written == 0) {
            PlatformCauseSet(static_cast<int>(GetLastError()), "%s cannot be written",
                             Path.c_str());
            return 0;
        }
        bytes += written;
        length -= written;
    }
    return 1;
}

int Rewind(PlatformHandle handle, uint32_t* sizeOut) {
    if (handle != File || File == INVALID_HANDLE_VALUE) return 0;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(File, &size) || size.QuadPart > 0xFFFFFFFFll) return 0;
    if (SetFilePointer(File, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return 0;
    *sizeOut = static_cast<uint32_t>(size.QuadPart);
    return 1;
}

int Read(PlatformHandle handle, void* data, uint32_t length, uint32_t* count) {
    *count = 0;
    if (handle != File || File == INVALID_HANDLE_VALUE) return 0;
    DWORD got = 0;
    if (!ReadFile(File, data, length, &got, nullptr)) return 0;
    *count = got;
    return 1;
}

// Deleted through the handle: it goes when the handle closes, whatever name
// it may have been given meanwhile.
int Remove(PlatformHandle handle) {
    if (handle != File || File == INVALID_HANDLE_VALUE) return 0;
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(File, FileDispositionInfo, &disposition, sizeof disposition)
               ? 1
               : 0;
}

void Close(PlatformHandle handle) {
    if (handle != File || File == INVALID_HANDLE_VALUE) return;
    CloseHandle(File);
    File = INVALID_HANDLE_VALUE;
}

const char* TempImagePath() {
    if (File == INVALID_HANDLE_VALUE) {
        std::wstring path;
        if (!TempFilePath(&path)) return nullptr;
        Path = WideToUtf8(path.c_str());
    }
    return Path.c_str();
}

const FileOps Table{Create, Write, Rewind, Read, Remove, Close, TempImagePath};

}  // namespace

const FileOps& Win32FileOps() {
    return Table;
}
