// SPDX-License-Identifier: Apache-2.0
// The receiver's serial port over the Win32 communications calls: the port's
// own time-outs and line settings are saved at open and put back at close.
// On a desktop the port's last user is unknown (a terminal program, a modem
// driver), so every setting that could drop, alter or abort binary traffic is
// made explicit in between.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "platform/win32/serial_win32.h"
#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"

namespace {

// The DCB's bit fields, as one word: flow control off (fOutxCtsFlow 0x4,
// fOutxDsrFlow 0x8, fOutX 0x100, fInX 0x200) and the DTR / RTS control fields
// (0x30, 0x3000) cleared, then DTR_CONTROL_ENABLE (0x10) and
// RTS_CONTROL_ENABLE (0x1000) set.
constexpr DWORD DCB_FLAGS_CLEAR = 0x232C;
constexpr DWORD DCB_FLAGS_SET = 0x1010;
// What a previous user may have left that breaks a binary link: parity
// checking (fParity 0x2), received bytes dropped while DSR is low, which a
// three-wire adapter never raises (fDsrSensitivity 0x40), bad bytes replaced
// (fErrorChar 0x400), 0x00 bytes stripped (fNull 0x800), and every transfer
// failed after one line error until the error is cleared (fAbortOnError
// 0x4000). Cleared, and binary mode (fBinary 0x1) set. fTXContinueOnXoff,
// the XON/XOFF limits and characters keep the port's values: with software
// flow control off nothing reads them.
constexpr DWORD DCB_DESKTOP_CLEAR = 0x2 | 0x40 | 0x400 | 0x800 | 0x4000;
constexpr DWORD DCB_DESKTOP_SET = 0x1;
constexpr size_t DCB_FLAGS_OFFSET = 2 * sizeof(DWORD);  // after DCBlength, BaudRate
static_assert(sizeof(DCB) == 28, "DCB layout");

constexpr DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
static_assert(PURGE_ALL == 15, "purge flags");

// Writes: the largest frame (payload, length and checksum) at the rate in
// force, twice over, plus a second for the driver and the adapter. A short
// time-out inherited from the port's last user would fail a long frame in the
// middle of the flash; none at all would let a stalled adapter hang the
// update for ever.
constexpr uint32_t LARGEST_FRAME_BYTES = 1288;
constexpr uint32_t BITS_PER_BYTE = 10;  // start, 8 data, stop
constexpr uint32_t WRITE_MARGIN_MS = 1000;

DWORD WriteTimeoutMs(uint32_t baud) {
    if (baud == 0) baud = 1;
    const uint64_t frameMs =
        (uint64_t{LARGEST_FRAME_BYTES} * BITS_PER_BYTE * 1000 + baud - 1) / baud;
    return static_cast<DWORD>(2 * frameMs + WRITE_MARGIN_MS);
}

struct PortState {
    HANDLE handle = INVALID_HANDLE_VALUE;
    COMMTIMEOUTS savedTimeouts{};
    COMMTIMEOUTS workingTimeouts{};
    DCB savedDcb{};
    DCB workingDcb{};
};

PortState Port;
DWORD LastError = 0;
DWORD LastCommErrors = 0;
// The port's name as the run gave it, for the cause of a failure.
std::string PortName;

// The cause goes to the shell's report with the system's error number; it
// names the port and what was asked of it.
int Fail(const char* what) {
    LastError = GetLastError();
    PlatformCauseSet(static_cast<int>(LastError), "%s%s%s", PortName.c_str(),
                     what[0] != '\0' ? ": " : "", what);
    return 0;
}

// A failed transfer: the reason, and the line errors the driver recorded
// (overrun, framing, parity, break), which are the cause more often than not.
// Clearing them also lets the next transfer through on a port that aborts on
// errors.
int FailTransfer(const char* what) {
    Fail(what);
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(Port.handle, &errors, &status)) LastCommErrors = errors;
    return 0;
}

void ApplyLinkTimeouts(uint32_t baud) {
    Port.workingTimeouts = Win32LinkTimeouts(Port.workingTimeouts, baud);
    SetCommTimeouts(Port.handle, &Port.workingTimeouts);
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
    LastCommErrors = 0;
    PortName = portName != nullptr ? portName : "";
    std::wstring name;
    if (!DeviceName(portName, &name)) {
        LastError = ERROR_INVALID_NAME;
        PlatformCauseSet(static_cast<int>(LastError), "'%s' is not a serial port's name",
                         PortName.c_str());
        return 0;
    }
    Port = PortState{};
    Port.handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (Port.handle == INVALID_HANDLE_VALUE) return Fail("cannot be opened");

    GetCommTimeouts(Port.handle, &Port.savedTimeouts);
    Port.workingTimeouts = Port.savedTimeouts;
    ApplyLinkTimeouts(baud);

    Port.savedDcb.DCBlength = sizeof(DCB);
    GetCommState(Port.handle, &Port.savedDcb);
    Port.workingDcb = Win32LinkDcb(Port.savedDcb, baud);
    // A failure from here on leaves the device open, as on the handheld.
    if (!SetCommState(Port.handle, &Port.workingDcb)) return Fail("refuses the line settings");
    // Line errors left over from the last user would fail the first read.
    DWORD leftOver = 0;
    COMSTAT status{};
    ClearCommError(Port.handle, &leftOver, &status);
    if (!PurgeComm(Port.handle, PURGE_ALL)) return Fail("cannot be purged");
    return 1;
}

int SetBaud(uint32_t baud) {
    // Recorded even when the port refuses it.
    Port.workingDcb.BaudRate = baud;
    if (Port.handle == INVALID_HANDLE_VALUE) {
        LastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    if (!SetCommState(Port.handle, &Port.workingDcb)) return Fail("refuses the rate");
    ApplyLinkTimeouts(baud);
    return 1;
}

int Read(uint8_t* buffer, uint32_t length, uint32_t* count) {
    DWORD got = 0;
    const BOOL ok = ReadFile(Port.handle, buffer, length, &got, nullptr);
    *count = got;
    return ok ? 1 : FailTransfer("read");
}

int Write(const uint8_t* buffer, uint32_t length, uint32_t* count) {
    DWORD put = 0;
    const BOOL ok = WriteFile(Port.handle, buffer, length, &put, nullptr);
    *count = put;
    return ok ? 1 : FailTransfer("write");
}

void Close() {
    if (Port.handle == INVALID_HANDLE_VALUE) return;
    SetCommTimeouts(Port.handle, &Port.savedTimeouts);
    SetCommState(Port.handle, &Port.savedDcb);
    CloseHandle(Port.handle);
    Port = PortState{};
}

int SetLines(uint32_t which, uint32_t asserted) {
    if (Port.handle == INVALID_HANDLE_VALUE) return 0;
    const bool dtr = (asserted & SERIAL_LINE_DTR) != 0;
    const bool rts = (asserted & SERIAL_LINE_RTS) != 0;
    if ((which & SERIAL_LINE_DTR) != 0 && !EscapeCommFunction(Port.handle, dtr ? SETDTR : CLRDTR)) {
        return Fail("EscapeCommFunction cannot set DTR");
    }
    if ((which & SERIAL_LINE_RTS) != 0 && !EscapeCommFunction(Port.handle, rts ? SETRTS : CLRRTS)) {
        return Fail("EscapeCommFunction cannot set RTS");
    }
    return 1;
}

const SerialOps Table{Open, SetBaud, Read, Write, Close, SetLines};

}  // namespace

DCB Win32LinkDcb(const DCB& port, uint32_t baud) {
    DCB link = port;
    link.BaudRate = baud;
    link.ByteSize = 8;
    link.Parity = NOPARITY;
    link.StopBits = ONESTOPBIT;
    SetDcbFlags(&link, (DcbFlags(link) & ~(DCB_FLAGS_CLEAR | DCB_DESKTOP_CLEAR)) | DCB_FLAGS_SET |
                           DCB_DESKTOP_SET);
    return link;
}

COMMTIMEOUTS Win32LinkTimeouts(const COMMTIMEOUTS& port, uint32_t baud) {
    COMMTIMEOUTS link = port;
    link.ReadIntervalTimeout = SERIAL_READ_INTERVAL_MS;
    link.ReadTotalTimeoutMultiplier = SERIAL_READ_MULTIPLIER_MS;
    link.ReadTotalTimeoutConstant = SERIAL_READ_CONSTANT_MS;
    link.WriteTotalTimeoutMultiplier = 0;
    link.WriteTotalTimeoutConstant = WriteTimeoutMs(baud);
    return link;
}

namespace {

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
uint32_t Win32SerialLastCommErrors() {
    return LastCommErrors;
}
