// SPDX-License-Identifier: Apache-2.0
#include "app/win32/run_request.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"

bool GuiReadRequest(const char* keyPath, UpdateRequest* request, BootLines* lines, char* error,
                    size_t errorSize) {
    *request = UpdateRequest{};
    request->action = UPDATE_ACTION_UPDATE;
    if (errorSize > 0) error[0] = '\0';
    std::string text;
    const long read = Win32MachineString(keyPath, WIN32_BOOT_LINES_VALUE, &text);
    // The key's absence is the core's to report ("Only for ..."), not ours.
    if (read == ERROR_FILE_NOT_FOUND || (read == ERROR_SUCCESS && text.empty())) return true;
    const std::string where = std::string("The registry value ") + WIN32_BOOT_LINES_VALUE +
                              " of HKEY_LOCAL_MACHINE\\" + keyPath;
    if (read == ERROR_DATATYPE_MISMATCH) {
        std::snprintf(error, errorSize,
                      "%s is not a string (REG_SZ); nothing was sent to the receiver.",
                      where.c_str());
        return false;
    }
    if (read != ERROR_SUCCESS) {
        std::snprintf(error, errorSize,
                      "%s cannot be read (error %ld: %s); nothing was sent to "
                      "the receiver.",
                      where.c_str(), read,
                      Win32ErrorText(static_cast<unsigned long>(read)).c_str());
        return false;
    }
    char why[160] = {};
    if (BootLinesParse(text.c_str(), lines, why, sizeof why) != 1) {
        std::snprintf(
            error, errorSize,
            "%s, \"%s\", is not a DTR/RTS sequence (%s); nothing was sent to the receiver.",
            where.c_str(), text.c_str(), why);
        return false;
    }
    request->bootLines = lines;
    return true;
}
