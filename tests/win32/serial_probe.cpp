// SPDX-License-Identifier: Apache-2.0
// zelvar-serial-probe.exe PORT [--hostile]: opens the port through the Win32
// serial back end at 38400, moves it to 115200, and closes it, pausing after
// each step until a line arrives on standard input, so that a script can look
// at the device's settings from the other side in between. Prints "open",
// "baud" and "closed" (or "failed STEP ERROR") as it goes.
//
// With --hostile the port is first left as a careless last user could leave
// it (parity checking, DSR sensitivity, NUL stripping, an error character,
// abort on error, no binary mode, a 1 ms write time-out), and "hostile" is
// printed with a pause before the back end opens it. After "open" the probe
// also reads 8 bytes and prints them in hex ("read HEX"), and writes 4096
// bytes ("wrote N"), before the rate change.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/win32/win32.h"

namespace {

void Pause() {
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) return;
}

int Report(const char* step, int ok) {
    if (ok != 0) {
        std::printf("%s\n", step);
    } else {
        std::printf("failed %s %u\n", step, Win32SerialLastError());
    }
    std::fflush(stdout);
    return ok;
}

int LeaveHostile(const char* port) {
    wchar_t name[64];
    std::swprintf(name, 64, L"\\\\.\\%hs", port);
    HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle, &dcb);
    dcb.BaudRate = 9600;
    dcb.fBinary = FALSE;
    dcb.fParity = TRUE;
    dcb.fDsrSensitivity = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.ErrorChar = '?';
    dcb.fNull = TRUE;
    dcb.fAbortOnError = TRUE;
    dcb.Parity = EVENPARITY;
    dcb.ByteSize = 7;
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = 1;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    const BOOL ok = SetCommState(handle, &dcb) && SetCommTimeouts(handle, &timeouts);
    CloseHandle(handle);
    return ok ? 1 : 0;
}

void Transfer(const SerialOps& serial) {
    uint8_t in[8] = {};
    uint32_t count = 0;
    serial.read(in, sizeof in, &count);
    std::printf("read ");
    for (uint32_t i = 0; i < count; ++i) std::printf("%02x", in[i]);
    std::printf("\n");
    std::vector<uint8_t> out(4096, 0x55);
    uint32_t written = 0;
    serial.write(out.data(), static_cast<uint32_t>(out.size()), &written);
    std::printf("wrote %u\n", written);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const bool hostile = argc > 2 && std::strcmp(argv[2], "--hostile") == 0;
    if (hostile) {
        if (Report("hostile", LeaveHostile(argv[1])) == 0) return 1;
        Pause();
    }
    const SerialOps& serial = Win32SerialOps();
    if (Report("open", serial.open(argv[1], 38400)) == 0) return 1;
    Pause();
    if (hostile) {
        Transfer(serial);
        Pause();
    }
    if (Report("baud", serial.setBaud(115200)) == 0) return 1;
    Pause();
    serial.close();
    Report("closed", 1);
    return 0;
}
