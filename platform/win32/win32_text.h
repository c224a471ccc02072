// SPDX-License-Identifier: Apache-2.0
// UTF-8 <-> UTF-16 for the wide-character Win32 calls.
#pragma once

#include <string>

std::wstring Utf8ToWide(const char* text);
std::string WideToUtf8(const wchar_t* text);

// The system's text for a GetLastError() number, on one line without the
// closing full stop; "" when the system has none.
std::string Win32ErrorText(unsigned long error);
