// The receiver's serial port over the Win32 communications calls: the port's
// own time-outs and line settings are saved at open and put back at close, and
// only the fields the receiver protocol needs are changed in between.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"

namespace {

// The DCB's bit fields, as one word: flow control off (fOutxCtsFlow 0x4,
// fOutxDsrFlow 0x8, fOutX 0x100, fInX 0x200) and the DTR / RTS control fields
// (0x30, 0x3000) cleared, then DTR_CONTROL_ENABLE (0x10) and
// RTS_CONTROL_ENABLE (0x1000) set. Every other flag keeps the port's value.
constexpr DWORD DCB_FLAGS_CLEAR = 0x232C;
constexpr DWORD DCB_FLAGS_SET = 0x1010;
constexpr size_t DCB_FLAGS_OFFSET = 2 * sizeof(DWORD);  // after DCBlength, BaudRate
static_assert(sizeof(DCB) == 28, "DCB layout");

constexpr DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
static_assert(PURGE_ALL == 15, "purge flags");

struct PortState {
    HANDLE handle = INVALID_HANDLE_VALUE;
    COMMTIMEOUTS savedTimeouts{};
    COMMTIMEOUTS workingTimeouts{};
    DCB savedDcb{};
    DCB workingDcb{};
};

PortState Port;
DWORD LastError = 0;

int Fail() {
    LastError = GetLastError();
    return 0;
}

// "COM9" and "COM9:" become "\\.\COM9": the device namespace reaches every
// port, also those above COM9 that the plain DOS names do not. A name already
// in the device namespace is taken as it is.
bool DeviceName(const char* portName, std::wstring* name) {
    static const wchar_t kPrefix[] = L"\\\\.\\";
    std::wstring port = Utf8ToWide(portName);
    if (port.empty()) return false;
    if (port.compare(0, 4, kPrefix) != 0) {
        if (port.back() == L':') port.pop_back();
        if (port.empty()) return false;
        port.insert(0, kPrefix);
    }
    if (port.size() + 1 > SERIAL_NAME_LIMIT) return false;
    *name = port;
    return true;
}

DWORD DcbFlags(const DCB& dcb) {
    DWORD flags;
    std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + DCB_FLAGS_OFFSET,
                sizeof flags);
    return flags;
}

void SetDcbFlags(DCB* dcb, DWORD flags) {
    std::memcpy(reinterpret_cast<unsigned char*>(dcb) + DCB_FLAGS_OFFSET, &flags, sizeof flags);
}

int Open(const char* portName, uint32_t baud) {
    LastError = 0;
    std::wstring name;
    if (!DeviceName(portName, &name)) {
        LastError = ERROR_INVALID_NAME;
        return 0;
    }
    Port = PortState{};
    Port.handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (Port.handle == INVALID_HANDLE_VALUE) return Fail();

    GetCommTimeouts(Port.handle, &Port.savedTimeouts);
    Port.workingTimeouts = Port.savedTimeouts;
    Port.workingTimeouts.ReadIntervalTimeout = SERIAL_READ_INTERVAL_MS;
    Port.workingTimeouts.ReadTotalTimeoutMultiplier = SERIAL_READ_MULTIPLIER_MS;
    Port.workingTimeouts.ReadTotalTimeoutConstant = SERIAL_READ_CONSTANT_MS;
    SetCommTimeouts(Port.handle, &Port.workingTimeouts);

    Port.savedDcb.DCBlength = sizeof(DCB);
    GetCommState(Port.handle, &Port.savedDcb);
    Port.workingDcb = Port.savedDcb;
    Port.workingDcb.BaudRate = baud;
    Port.workingDcb.ByteSize = 8;
    Port.workingDcb.Parity = NOPARITY;
    Port.workingDcb.StopBits = ONESTOPBIT;
    SetDcbFlags(&Port.workingDcb, (DcbFlags(Port.workingDcb) & ~DCB_FLAGS_CLEAR) | DCB_FLAGS_SET);
    // A failure from here on leaves the device open, as on the handheld.
    if (!SetCommState(Port.handle, &Port.workingDcb)) return Fail();
    if (!PurgeComm(Port.handle, PURGE_ALL)) return Fail();
    return 1;
}

int SetBaud(uint32_t baud) {
    // Recorded even when the port refuses it.
    Port.workingDcb.BaudRate = baud;
    if (Port.handle == INVALID_HANDLE_VALUE) {
        LastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    return SetCommState(Port.handle, &Port.workingDcb) ? 1 : Fail();
}

int Read(uint8_t* buffer, uint32_t length, uint32_t* count) {
    DWORD got = 0;
    const BOOL ok = ReadFile(Port.handle, buffer, length, &got, nullptr);
    *count = got;
    return ok ? 1 : Fail();
}

int Write(const uint8_t* buffer, uint32_t length, uint32_t* count) {
    DWORD put = 0;
    const BOOL ok = WriteFile(Port.handle, buffer, length, &put, nullptr);
    *count = put;
    return ok ? 1 : Fail();
}

void Close() {
    if (Port.handle == INVALID_HANDLE_VALUE) return;
    SetCommTimeouts(Port.handle, &Port.savedTimeouts);
    SetCommState(Port.handle, &Port.savedDcb);
    CloseHandle(Port.handle);
    Port = PortState{};
}

const SerialOps Table{Open, SetBaud, Read, Write, Close};

uint64_t NowMs() {
    return GetTickCount64();
}
void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

const ClockOps ClockTable{NowMs, SleepMs};

}  // namespace

const SerialOps& Win32SerialOps() {
    return Table;
}
const ClockOps& Win32ClockOps() {
    return ClockTable;
}
uint32_t Win32SerialLastError() {
    return LastError;
}
