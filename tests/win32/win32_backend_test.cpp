// SPDX-License-Identifier: Apache-2.0
// The Win32 back ends, run under Windows or Wine: registry and board
// stand-ins, the GPIO driver's codes and buffer shapes, power, resources, the
// temporary file, and the board steps of the update over them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/win32/run_request.h"
#include "app/win32/worker_ui.h"
#include "image/image.h"
#include "link/serial_port.h"
#include "platform/platform.h"
#include "platform/win32/serial_win32.h"
#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"
#include "update/board.h"

namespace {

constexpr wchar_t TEST_KEY[] = L"Software\\ZelvarTest\\PhysicalCOM";
constexpr char TEST_KEY_UTF8[] = "Software\\ZelvarTest\\PhysicalCOM";
constexpr wchar_t DRIVER_KEY[] = L"Drivers\\PhysicalCOM";

// Creates a key under HKEY_LOCAL_MACHINE for one test and removes it after,
// unless it was there before.
class ScopedKey {
  public:
    explicit ScopedKey(const wchar_t* path) : path_(path) {
        HKEY key = nullptr;
        existed_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (existed_) RegCloseKey(key);
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key_, nullptr),
                  ERROR_SUCCESS);
    }
    ~ScopedKey() {
        if (key_ != nullptr) RegCloseKey(key_);
        if (!existed_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_);
    }
    void SetString(const wchar_t* name, const wchar_t* value) {
        const auto size = static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t));
        ASSERT_EQ(RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), size),
                  ERROR_SUCCESS);
    }
    void SetDword(const wchar_t* name, DWORD value) {
        ASSERT_EQ(RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                 sizeof value),
                  ERROR_SUCCESS);
    }
    void RemoveValue(const wchar_t* name) { RegDeleteValueW(key_, name); }

  private:
    const wchar_t* path_;
    bool existed_ = false;
    HKEY key_ = nullptr;
};

std::vector<std::string> Messages;

void RecordMessage(const char* text, const char* caption) {
    Messages.push_back(std::string(caption) + ": " + text);
}

const UiOps RecordingUi{RecordMessage};

class Win32Test : public testing::Test {
  protected:
    void SetUp() override {
        PlatformReset();
        PlatformInstall(Win32PlatformOps());
        PlatformInstall(PlatformOps{nullptr, nullptr, nullptr, nullptr, nullptr, &RecordingUi});
        PlatformSetAppInstance(GetModuleHandleW(nullptr));
        Messages.clear();
        _putenv_s(WIN32_POWER_VARIABLE, "");
    }
    void TearDown() override {
        _putenv_s(WIN32_POWER_VARIABLE, "");
        PlatformReset();
    }
};

uint32_t Get32(const uint8_t* p) {
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

TEST_F(Win32Test, TextRoundTripsThroughUtf16) {
    const char* samples[] = {"", "COM9", "C:\\Users\\J\xC3\xBCrgen\\Temp\\",
                             "\xE6\x97\xA5\xE6\x9C\xAC"};
    for (const char* sample : samples) {
        EXPECT_EQ(WideToUtf8(Utf8ToWide(sample).c_str()), sample);
    }
    EXPECT_EQ(Utf8ToWide("J\xC3\xBC"), std::wstring(L"J\u00FC"));
}

TEST_F(Win32Test, SerialOpenRefusesPortsThatCannotBeOpened) {
    const std::string tooLong = "\\\\.\\" + std::string(SERIAL_NAME_LIMIT, 'C');
    const char* names[] = {"", ":", "COM77", "COM77:", "\\\\.\\COM77", tooLong.c_str()};
    for (const char* name : names) {
        EXPECT_EQ(Win32SerialOps().open(name, 38400), 0) << name;
        EXPECT_NE(Win32SerialLastError(), 0u) << name;
        // The cause the log shows: the port as given, and the system's number.
        EXPECT_NE(std::string(PlatformCauseText()).find(name), std::string::npos) << name;
        EXPECT_EQ(static_cast<uint32_t>(PlatformCauseError()), Win32SerialLastError()) << name;
    }
}

// A port as its last user may have left it: every flag set, odd characters
// and limits, time-outs that fail a long write at once or never end one.
DCB CarelessDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    std::memset(reinterpret_cast<unsigned char*>(&dcb) + 2 * sizeof(DWORD), 0xFF, sizeof(DWORD));
    dcb.BaudRate = 9600;
    dcb.XonLim = 123;
    dcb.XoffLim = 45;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = 0x7E;
    return dcb;
}

TEST_F(Win32Test, LinkSettingsPassBinaryFramesWhateverThePortHad) {
    DCB clean{};
    clean.DCBlength = sizeof clean;
    for (const DCB& port : {CarelessDcb(), clean}) {
        for (uint32_t baud : {38400u, 115200u}) {
            const DCB link = Win32LinkDcb(port, baud);
            SCOPED_TRACE(testing::Message()
                         << "baud " << baud << ", port flags fNull " << port.fNull);
            EXPECT_EQ(link.BaudRate, baud);
            EXPECT_EQ(link.ByteSize, 8);
            EXPECT_EQ(link.Parity, NOPARITY);
            EXPECT_EQ(link.StopBits, ONESTOPBIT);
            // Received bytes are neither checked, dropped, replaced nor
            // stripped, and one line error does not stop every later transfer.
            EXPECT_EQ(link.fBinary, 1u);
            EXPECT_EQ(link.fParity, 0u);
            EXPECT_EQ(link.fDsrSensitivity, 0u);
            EXPECT_EQ(link.fErrorChar, 0u);
            EXPECT_EQ(link.fNull, 0u);
            EXPECT_EQ(link.fAbortOnError, 0u);
            EXPECT_EQ(link.fOutxCtsFlow, 0u);
            EXPECT_EQ(link.fOutxDsrFlow, 0u);
            EXPECT_EQ(link.fOutX, 0u);
            EXPECT_EQ(link.fInX, 0u);
            EXPECT_EQ(link.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
            EXPECT_EQ(link.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
            // What software flow control would use stays the port's.
            EXPECT_EQ(link.fTXContinueOnXoff, port.fTXContinueOnXoff);
            EXPECT_EQ(link.XonLim, port.XonLim);
            EXPECT_EQ(link.XoffLim, port.XoffLim);
            EXPECT_EQ(link.XonChar, port.XonChar);
            EXPECT_EQ(link.XoffChar, port.XoffChar);
            EXPECT_EQ(link.ErrorChar, port.ErrorChar);
            EXPECT_EQ(link.EofChar, port.EofChar);
            EXPECT_EQ(link.EvtChar, port.EvtChar);
        }
    }
}

TEST_F(Win32Test, WriteTimeOutFitsTheLargestFrameAndEnds) {
    constexpr uint32_t largestFrame = 1288;  // the packet buffer: payload, length, checksum
    const COMMTIMEOUTS ports[] = {{0, 0, 0, 0, 1}, {0, 0, 0, 0, 0}, {MAXDWORD, 0, 0, 50, 20}};
    for (const COMMTIMEOUTS& port : ports) {
        for (uint32_t baud : {38400u, 115200u}) {
            const COMMTIMEOUTS link = Win32LinkTimeouts(port, baud);
            SCOPED_TRACE(testing::Message() << "baud " << baud << ", port write constant "
                                            << port.WriteTotalTimeoutConstant);
            EXPECT_EQ(link.ReadIntervalTimeout, SERIAL_READ_INTERVAL_MS);
            EXPECT_EQ(link.ReadTotalTimeoutMultiplier, SERIAL_READ_MULTIPLIER_MS);
            EXPECT_EQ(link.ReadTotalTimeoutConstant, SERIAL_READ_CONSTANT_MS);
            const uint64_t frameMs = uint64_t{largestFrame} * 10 * 1000 / baud;
            const uint64_t allowedMs = uint64_t{link.WriteTotalTimeoutMultiplier} * largestFrame +
                                       link.WriteTotalTimeoutConstant;
            // Room for the frame twice over, and still an end to a stalled
            // write (0 in both would mean no time-out at all).
            EXPECT_GE(allowedMs, 2 * frameMs);
            EXPECT_GE(allowedMs, 500u);
            EXPECT_LE(allowedMs, 10000u);
            EXPECT_NE(link.WriteTotalTimeoutConstant, 0u);
        }
    }
}

TEST_F(Win32Test, RegistryOpenReportsWhatTheRegistrySays) {
    PlatformHandle key = nullptr;
    EXPECT_EQ(Win32BoardOps().regOpenKey("Software\\ZelvarTest\\Missing", &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    ScopedKey scoped(TEST_KEY);
    // Access 0, as the update asks: the key is only looked for.
    ASSERT_EQ(Win32BoardOps().regOpenKey(TEST_KEY_UTF8, &key), ERROR_SUCCESS);
    EXPECT_NE(key, nullptr);
    EXPECT_EQ(Win32BoardOps().regCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Win32Test, PortDriverStandInFollowsItsKey) {
    const BoardOps& board = Win32BoardOps();
    const int before = Win32ActiveDeviceCount();
    // No key: ActivateDevice yields null, ActivateDeviceEx INVALID_HANDLE_VALUE.
    EXPECT_EQ(board.activateDevice("Software\\ZelvarTest\\Missing", 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(board.activateDeviceEx("Software\\ZelvarTest\\Missing", nullptr, 0, nullptr),
              PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(Win32ActiveDeviceCount(), before);

    ScopedKey key(TEST_KEY);
    struct Case {
        const wchar_t* value;  // nullptr: no value
        const char* port;
    };
    const Case cases[] = {
        {nullptr, "COM9"}, {L"", "COM9"}, {L"COM12", "COM12"}, {L"\\\\.\\COM3", "\\\\.\\COM3"}};
    for (const Case& c : cases) {
        if (c.value == nullptr) {
            key.RemoveValue(L"Port");
        } else {
            key.SetString(L"Port", c.value);
        }
        PlatformHandle device = board.activateDevice(TEST_KEY_UTF8, 0);
        ASSERT_NE(device, nullptr);
        EXPECT_STREQ(board.portName(), c.port);
        EXPECT_EQ(Win32ActiveDeviceCount(), before + 1);
        EXPECT_EQ(board.deactivateDevice(device), 1);
        EXPECT_EQ(Win32ActiveDeviceCount(), before);
        // A handle is good for one deactivation only.
        EXPECT_EQ(board.deactivateDevice(device), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    PlatformHandle device = board.activateDeviceEx(TEST_KEY_UTF8, nullptr, 0, nullptr);
    ASSERT_NE(device, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(board.deactivateDevice(device), 1);
    EXPECT_EQ(board.deactivateDevice(nullptr), 0);
}

TEST_F(Win32Test, GpioDriverTakesTheCodesAndBufferShapes) {
    const BoardOps& board = Win32BoardOps();
    PlatformHandle gpio = board.createFile("GIO1:", 0, 0, 0, 0);
    ASSERT_NE(gpio, PLATFORM_INVALID_HANDLE);
    uint8_t pin[4] = {133, 0, 0, 0};
    uint8_t pair[8] = {133, 0, 0, 0, 0, 0, 0, 0};
    uint8_t state[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    uint32_t returned = 99;

    EXPECT_EQ(board.deviceIoControl(gpio, IOCTL_GIO_SET_BIT, pin, 4, nullptr, 0, nullptr), 1);
    EXPECT_EQ(Win32GpioPinLevel(133), 1);
    EXPECT_EQ(board.deviceIoControl(gpio, IOCTL_GIO_CONFIGURE, pair, 8, nullptr, 0, nullptr), 1);
    EXPECT_EQ(Win32GpioPinConfigured(133), 1);
    EXPECT_EQ(board.deviceIoControl(gpio, IOCTL_GIO_GET_BIT, pin, 4, state, 4, &returned), 1);
    EXPECT_EQ(Get32(state), 1u);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(board.deviceIoControl(gpio, IOCTL_GIO_CLEAR_BIT, pin, 4, nullptr, 0, nullptr), 1);
    EXPECT_EQ(Win32GpioPinLevel(133), 0);
    EXPECT_EQ(board.deviceIoControl(gpio, IOCTL_GIO_GET_BIT, pin, 4, state, 4, &returned), 1);
    EXPECT_EQ(Get32(state), 0u);
    EXPECT_EQ(Win32GpioPinLevel(134), 0);

    // Calls the driver refuses, as DeviceIoControl reports them.
    uint8_t farPin[4] = {0x2C, 0x01, 0, 0};  // 300
    struct Refused {
        uint32_t code;
        const uint8_t* in;
        uint32_t inSize;
        uint32_t outSize;
        DWORD error;
    };
    const Refused refused[] = {
        {IOCTL_GIO_SET_BIT, pin, 2, 0, ERROR_INVALID_PARAMETER},
        {IOCTL_GIO_SET_BIT, nullptr, 4, 0, ERROR_INVALID_PARAMETER},
        {IOCTL_GIO_CONFIGURE, pair, 4, 0, ERROR_INVALID_PARAMETER},
        {IOCTL_GIO_GET_BIT, pin, 4, 2, ERROR_INSUFFICIENT_BUFFER},
        {IOCTL_GIO_CLEAR_BIT, farPin, 4, 0, ERROR_INVALID_PARAMETER},
        {0x220C08, pin, 4, 0, ERROR_INVALID_FUNCTION},
    };
    for (const Refused& r : refused) {
        returned = 99;
        EXPECT_EQ(board.deviceIoControl(gpio, r.code, r.in, r.inSize, state, r.outSize, &returned),
                  0)
            << std::hex << r.code;
        EXPECT_EQ(GetLastError(), r.error) << std::hex << r.code;
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_EQ(board.closeHandle(gpio), 1);
    // Once closed the handle is no longer the driver's.
    EXPECT_EQ(board.deviceIoControl(gpio, IOCTL_GIO_SET_BIT, pin, 4, nullptr, 0, nullptr), 0);
}

TEST_F(Win32Test, OtherDevicesGoToTheSystem) {
    // Disposition 0 is not one the desktop accepts.
    EXPECT_EQ(Win32BoardOps().createFile("NUL", 0, 0, 0, 0), PLATFORM_INVALID_HANDLE);
    PlatformHandle nul = Win32BoardOps().createFile("NUL", GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    ASSERT_NE(nul, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(Win32BoardOps().closeHandle(nul), 1);
}

TEST_F(Win32Test, PowerStatusCanBeForced) {
    struct Case {
        const char* value;
        int result;
        int acLine;
    };
    const Case cases[] = {{"ac", 1, 1}, {"battery", 1, 0}, {"unknown", 1, 255}, {"fail", 0, -1}};
    for (const Case& c : cases) {
        _putenv_s(WIN32_POWER_VARIABLE, c.value);
        int acLine = -1;
        EXPECT_EQ(Win32BoardOps().powerStatus(&acLine), c.result) << c.value;
        EXPECT_EQ(acLine, c.acLine) << c.value;
    }
    // Not forced: what the system reports.
    _putenv_s(WIN32_POWER_VARIABLE, "");
    SYSTEM_POWER_STATUS status{};
    ASSERT_NE(GetSystemPowerStatus(&status), 0);
    int acLine = -1;
    EXPECT_EQ(Win32BoardOps().powerStatus(&acLine), 1);
    EXPECT_EQ(acLine, status.ACLineStatus);
}

TEST_F(Win32Test, ResourceStagesOverTheProgramsOwnResources) {
    const ResourceOps& resources = Win32ResourceOps();
    std::ifstream file(ZELVAR_SMALL_IMAGE, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    ASSERT_FALSE(text.empty());
    for (const char* type : {"s", "S"}) {
        PlatformHandle found = resources.find(PlatformAppInstance(), 137, type);
        ASSERT_NE(found, nullptr) << type;
        const uint32_t size = resources.size(nullptr, found);
        ASSERT_EQ(size, text.size());
        PlatformHandle loaded = resources.load(nullptr, found);
        ASSERT_NE(loaded, nullptr);
        const void* bytes = resources.lock(loaded);
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(std::string(static_cast<const char*>(bytes), size), text);
    }
    EXPECT_EQ(resources.find(PlatformAppInstance(), 138, "s"), nullptr);
    EXPECT_EQ(resources.find(PlatformAppInstance(), 137, "t"), nullptr);
    EXPECT_EQ(resources.size(nullptr, nullptr), 0u);
    EXPECT_EQ(resources.load(nullptr, nullptr), nullptr);
    EXPECT_EQ(resources.lock(nullptr), nullptr);
}

// Points the user's temporary folder (GetTempPathW reads TMP first) at a new
// folder of the given name for one test; removes it, and what is in it, after.
class ScopedTempFolder {
  public:
    explicit ScopedTempFolder(const std::wstring& name) {
        wchar_t base[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, base);
        folder_ = std::wstring(base) + name;
        CreateDirectoryW(folder_.c_str(), nullptr);
        wchar_t old[MAX_PATH + 1] = {};
        hadTmp_ = GetEnvironmentVariableW(L"TMP", old, MAX_PATH + 1) != 0;
        oldTmp_ = old;
        SetEnvironmentVariableW(L"TMP", (folder_ + L"\\").c_str());
    }
    ~ScopedTempFolder() {
        SetEnvironmentVariableW(L"TMP", hadTmp_ ? oldTmp_.c_str() : nullptr);
        for (const wchar_t* file : {L"\\Tervalon.s", L"\\Zelvar.log"}) {
            DeleteFileW((folder_ + file).c_str());
        }
        RemoveDirectoryW(folder_.c_str());
    }
    bool Holds(const wchar_t* file) const {
        return GetFileAttributesW((folder_ + L"\\" + file).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    std::string Read(const wchar_t* file) const {
        std::ifstream in((folder_ + L"\\" + file).c_str(), std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), {}};
    }

  private:
    std::wstring folder_;
    std::wstring oldTmp_;
    bool hadTmp_ = false;
};

// The image goes from the resource through the temporary file to the binary
// image, in the user's temporary folder whatever its name: a user profile
// with letters outside the ANSI code page, on a volume without short names,
// must work as well as a plain one.
TEST_F(Win32Test, ImageGoesThroughTheUsersTemporaryFolderWhateverItsName) {
    const wchar_t* names[] = {L"zelvar-plain", L"zelvar-J\u00FCrgen-\u65E5\u672C-\u0416"};
    for (const wchar_t* name : names) {
        SCOPED_TRACE(WideToUtf8(name));
        ScopedTempFolder folder(name);
        ASSERT_EQ(ExtractImageResource(), 0);
        EXPECT_TRUE(folder.Holds(L"Tervalon.s"));
        const char* path = Win32FileOps().tempImagePath();
        ASSERT_NE(path, nullptr);
        uint32_t count = 0;
        const uint8_t* image = LoadImageFile(path, &count);
        ASSERT_NE(image, nullptr);
        ASSERT_EQ(count, 40u);
        for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(image[i], 0x30 + i) << i;
        // Removed through the handle it was written by, as after "Download Finish".
        EXPECT_EQ(ImageRemoveTemporaryFile(), 1);
        EXPECT_FALSE(folder.Holds(L"Tervalon.s"));
    }
}

// Why a run failed goes to a log beside the temporary image, also in a
// folder whose name is not plain ASCII.
TEST_F(Win32Test, LogLinesGoBesideTheTemporaryImage) {
    const wchar_t* names[] = {L"zelvar-log", L"zelvar-log-\u00E9t\u00E9-\u65E5"};
    for (const wchar_t* name : names) {
        SCOPED_TRACE(WideToUtf8(name));
        ScopedTempFolder folder(name);
        Win32LogLine("\"EPWrite Fail\" (Fail); failed step EPWrite");
        Win32LogLine("second");
        const std::string text = folder.Read(L"Zelvar.log");
        const size_t first = text.find("zelvar: \"EPWrite Fail\" (Fail); failed step EPWrite\r\n");
        EXPECT_NE(first, std::string::npos) << text;
        EXPECT_GT(text.find("zelvar: second\r\n"), first) << text;
        EXPECT_EQ(std::string(Win32LogPath()).substr(std::string(Win32LogPath()).size() - 10),
                  "Zelvar.log");
    }
}

// A user folder with a name outside the ANSI code page: the file is made,
// read back and deleted through wide paths and its one handle.
TEST_F(Win32Test, TemporaryFileWorksInAFolderWithAnyName) {
    wchar_t oldTmp[MAX_PATH + 1] = {};
    const DWORD hadTmp = GetEnvironmentVariableW(L"TMP", oldTmp, MAX_PATH + 1);
    wchar_t base[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH + 1, base), 0u);
    const std::wstring folder = std::wstring(base) + L"\u017Delvar \u0416\u5B57";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", folder.c_str()));

    ASSERT_EQ(ExtractImageResource(), 0);
    const char* path = Win32FileOps().tempImagePath();
    ASSERT_NE(path, nullptr);
    const std::wstring file = Utf8ToWide(path);
    EXPECT_EQ(file.rfind(folder, 0), 0u);
    EXPECT_NE(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);
    uint32_t count = 0;
    const uint8_t* image = LoadImageFile(path, &count);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(count, 40u);
    EXPECT_EQ(ImageRemoveTemporaryFile(), 1);
    EXPECT_EQ(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);

    SetEnvironmentVariableW(L"TMP", hadTmp != 0 ? oldTmp : nullptr);
    RemoveDirectoryW(folder.c_str());
}

TEST_F(Win32Test, BoardStepsOverTheStandIns) {
    ScopedKey key(DRIVER_KEY);
    key.SetString(L"Port", L"COM42");
    BoardReset();
    const int before = Win32ActiveDeviceCount();
    ASSERT_EQ(CheckPortDriver(), 1);
    ActivatePortDriver();
    EXPECT_STREQ(ReceiverPortName(), "COM42");
    EXPECT_EQ(Win32ActiveDeviceCount(), before + 1);
    ASSERT_EQ(SetUpdatePin(), 1);
    EXPECT_EQ(Win32GpioPinLevel(UPDATE_PIN), 1);
    EXPECT_EQ(Win32GpioPinConfigured(UPDATE_PIN), 1);
    ClearUpdatePin();
    EXPECT_EQ(Win32GpioPinLevel(UPDATE_PIN), 0);
    DeactivatePortDriver();
    EXPECT_EQ(Win32ActiveDeviceCount(), before);
    // Every control call was taken: no "SET BIT Fail!".
    EXPECT_TRUE(Messages.empty()) << Messages.front();
}

}  // namespace

// The BootLines value beside Port decides the DTR/RTS sequence of the run;
// one that cannot be used refuses the run, naming the value and why.
TEST_F(Win32Test, BootLinesValueReachesTheRequest) {
    ScopedKey key(TEST_KEY);
    struct Case {
        const wchar_t* value;  // nullptr: no value
        bool dword;            // stored as REG_DWORD instead of a string
        bool lines;            // the request carries a sequence
        const char* why;       // in the refusal; nullptr: none
    };
    const Case cases[] = {
        {nullptr, false, false, nullptr},
        {L"", false, false, nullptr},
        {L"dtr&rts,-rts:-dtr&rts,-rts", false, true, nullptr},
        {L"dtr&cts", false, false, "\"cts\""},
        {nullptr, true, false, "REG_SZ"},
    };
    const uint32_t both = SERIAL_LINE_DTR | SERIAL_LINE_RTS;
    for (const Case& c : cases) {
        if (c.dword) {
            key.SetDword(L"BootLines", 1);
        } else if (c.value == nullptr) {
            key.RemoveValue(L"BootLines");
        } else {
            key.SetString(L"BootLines", c.value);
        }
        UpdateRequest request{};
        request.retries = 7;  // whatever was there goes
        BootLines lines{};
        char error[512] = "left over";
        const bool ok = GuiReadRequest(TEST_KEY_UTF8, &request, &lines, error, sizeof error);
        const std::string text = error;
        SCOPED_TRACE(c.value != nullptr ? WideToUtf8(c.value) : "(none)");
        ASSERT_EQ(ok, c.why == nullptr) << text;
        EXPECT_EQ(request.retries, 0u);
        if (c.why != nullptr) {
            for (const char* part : {"BootLines", TEST_KEY_UTF8, c.why}) {
                EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
            }
        } else {
            EXPECT_EQ(text, "");
        }
        if (!c.lines) {
            EXPECT_EQ(request.bootLines, nullptr);
            continue;
        }
        ASSERT_EQ(request.bootLines, &lines);
        ASSERT_EQ(lines.entryCount, 2u);
        ASSERT_EQ(lines.exitCount, 2u);
        const BootLineStep expected[] = {
            {both, both}, {SERIAL_LINE_RTS, 0}, {both, SERIAL_LINE_RTS}, {SERIAL_LINE_RTS, 0}};
        const BootLineStep played[] = {lines.entry[0], lines.entry[1], lines.exit[0],
                                       lines.exit[1]};
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(played[i].which, expected[i].which) << "step " << i;
            EXPECT_EQ(played[i].asserted, expected[i].asserted) << "step " << i;
        }
    }
}

// The log's line renders the one result: status, flash state, cause and
// remedy, and the system's words for its error number.
TEST_F(Win32Test, OutcomeLineCarriesStatusFlashCauseAndSystemText) {
    struct Case {
        const char* step;
        const char* message;
        bool flashChanged;
        const char* cause;
        int osError;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"EPWrite",
         "EPWrite Fail",
         true,
         "COM9: write",
         ERROR_GEN_FAILURE,
         {"outcome failed, status 1", "step EPWrite: EPWrite Fail", "flash changed",
          "cause: COM9: write", "remedy: Power-cycle",
          "cause: COM9: write (OS error 31: " + Win32ErrorText(ERROR_GEN_FAILURE) + ");"}},
        {"OpenReceiver",
         "Please close the GPS application !",
         false,
         "COM9 cannot drive its DTR/RTS lines",
         0,
         {"outcome failed, status 2", "flash unchanged", "The receiver's flash was not changed.",
          "cause: COM9 cannot drive its DTR/RTS lines"}},
    };
    ASSERT_FALSE(Win32ErrorText(ERROR_GEN_FAILURE).empty());
    for (const Case& c : cases) {
        UpdateResult result{};
        result.outcome = UPDATE_OUTCOME_FAILED;
        std::snprintf(result.step, sizeof result.step, "%s", c.step);
        std::snprintf(result.message, sizeof result.message, "%s", c.message);
        std::snprintf(result.cause, sizeof result.cause, "%s", c.cause);
        result.flashChanged = c.flashChanged;
        result.osError = c.osError;
        const std::string line = GuiOutcomeLine(result);
        for (const std::string& part : c.expected) {
            EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
        }
        EXPECT_EQ(line.find("OS error") != std::string::npos, c.osError != 0) << line;
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    }
}
