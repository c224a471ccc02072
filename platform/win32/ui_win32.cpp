// SPDX-License-Identifier: Apache-2.0
// The worker's messages: modal boxes with no owner window and one OK button,
// so that each blocks only the thread that shows it.
#include <windows.h>

#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"

namespace {

void Message(const char* text, const char* caption) {
    const std::wstring wideText = Utf8ToWide(text);
    const std::wstring wideCaption = Utf8ToWide(caption);
    MessageBoxW(nullptr, wideText.c_str(), wideCaption.c_str(), MB_OK);
}

const UiOps Table{Message};

}  // namespace

const UiOps& Win32UiOps() {
    return Table;
}

PlatformOps Win32PlatformOps() {
    return PlatformOps{&Win32SerialOps(),   &Win32ClockOps(), &Win32BoardOps(),
                       &Win32ResourceOps(), &Win32FileOps(),  &Win32UiOps()};
}
