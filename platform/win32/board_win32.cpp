// SPDX-License-Identifier: Apache-2.0
// The handheld's board on desktop Windows. The registry calls are the real
// ones; the device manager (ActivateDevice, ActivateDeviceEx, DeactivateDevice)
// and the "GIO1:" GPIO driver exist only on the handheld, so small stand-ins
// take their place here. They accept the same calls, control codes and buffer
// shapes and report success or failure as the handheld's calls do (NULL,
// INVALID_HANDLE_VALUE or FALSE, with the reason in GetLastError), which is
// all the update looks at.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/board_codes.h"
#include "platform/byte_order.h"
#include "platform/win32/win32.h"
#include "platform/win32/win32_text.h"

namespace {

// The GPIO driver's control codes.
constexpr DWORD GPIO_SET_BIT =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x300, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD GPIO_CLEAR_BIT =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x301, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD GPIO_GET_BIT =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x303, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD GPIO_CONFIGURE =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x304, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(GPIO_SET_BIT == IOCTL_GIO_SET_BIT && GPIO_CLEAR_BIT == IOCTL_GIO_CLEAR_BIT &&
                  GPIO_GET_BIT == IOCTL_GIO_GET_BIT && GPIO_CONFIGURE == IOCTL_GIO_CONFIGURE,
              "GPIO control codes");

constexpr wchar_t GPIO_DEVICE[] = L"GIO1:";
constexpr uint32_t GPIO_PIN_COUNT = 256;

// One activated port driver; its address is the handle the device manager gives.
struct ActiveDevice {
    std::string port;
};

// One open handle of the GPIO driver.
struct GpioOpen {};

struct GpioPins {
    std::array<uint8_t, GPIO_PIN_COUNT> level{};
    std::array<uint8_t, GPIO_PIN_COUNT> configured{};
};

// Only the update worker calls the board, one call at a time.
std::vector<std::unique_ptr<ActiveDevice>> Devices;
std::vector<std::unique_ptr<GpioOpen>> GpioHandles;
GpioPins Pins;
std::string ExposedPort = WIN32_DEFAULT_PORT;

long RegOpenKey(const char* subKey, PlatformHandle* keyOut) {
    HKEY key = nullptr;
    const LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utf8ToWide(subKey).c_str(), 0, 0, &key);
    if (result == ERROR_SUCCESS) *keyOut = key;
    return result;
}

long RegCloseKeyOp(PlatformHandle key) {
    return RegCloseKey(static_cast<HKEY>(key));
}

// A string value of an open key, whatever its length; ERROR_DATATYPE_MISMATCH
// when the value is there but not a string.
LONG QueryString(HKEY key, const char* valueName, std::string* value) {
    const std::wstring name = Utf8ToWide(valueName);
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) return result;
    if (type != REG_SZ) return ERROR_DATATYPE_MISMATCH;
    // The stored string need not end in a NUL.
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    result = RegQueryValueExW(key, name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(text.data()), &size);
    if (result != ERROR_SUCCESS) return result;
    if (type != REG_SZ) return ERROR_DATATYPE_MISMATCH;
    text.resize(size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    *value = WideToUtf8(text.c_str());
    return ERROR_SUCCESS;
}

// The port the driver configured under the key will expose, or 0 with the
// registry's error when the key cannot be read.
LONG DriverPort(const char* registryPath, std::string* port) {
    HKEY key = nullptr;
    const LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utf8ToWide(registryPath).c_str(), 0,
                                      KEY_QUERY_VALUE, &key);
    if (result != ERROR_SUCCESS) return result;
    std::string value;
    if (QueryString(key, WIN32_PORT_VALUE, &value) == ERROR_SUCCESS && !value.empty()) {
        *port = value;
    } else {
        *port = WIN32_DEFAULT_PORT;
    }
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

ActiveDevice* Activate(const char* registryPath) {
    std::string port;
    const LONG result = DriverPort(registryPath, &port);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return nullptr;
    }
    Devices.push_back(std::make_unique<ActiveDevice>(ActiveDevice{port}));
    ExposedPort = port;
    return Devices.back().get();
}

// ActivateDevice: NULL on failure.
PlatformHandle ActivateDeviceOp(const char* registryPath, uint32_t) {
    return Activate(registryPath);
}

// ActivateDeviceEx: INVALID_HANDLE_VALUE on failure.
PlatformHandle ActivateDeviceExOp(const char* registryPath, const void*, uint32_t, void*) {
    ActiveDevice* device = Activate(registryPath);
    return device != nullptr ? device : PLATFORM_INVALID_HANDLE;
}

int DeactivateDeviceOp(PlatformHandle device) {
    auto it = std::find_if(Devices.begin(), Devices.end(),
                           [device](const auto& d) { return d.get() == device; });
    if (it == Devices.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    Devices.erase(it);
    return 1;
}

const char* PortName() {
    return ExposedPort.c_str();
}

GpioOpen* FindGpio(PlatformHandle handle) {
    for (const auto& open : GpioHandles) {
        if (open.get() == handle) return open.get();
    }
    return nullptr;
}

PlatformHandle CreateFileOp(const char* deviceName, uint32_t access, uint32_t shareMode,
                            uint32_t creationDisposition, uint32_t flags) {
    const std::wstring name = Utf8ToWide(deviceName);
    if (_wcsicmp(name.c_str(), GPIO_DEVICE) == 0) {
        // The driver's stream interface takes any access and disposition.
        GpioHandles.push_back(std::make_unique<GpioOpen>());
        return GpioHandles.back().get();
    }
    HANDLE handle =
        CreateFileW(name.c_str(), access, shareMode, nullptr, creationDisposition, flags, nullptr);
    return handle == INVALID_HANDLE_VALUE ? PLATFORM_INVALID_HANDLE : handle;
}

int Refuse(DWORD error) {
    SetLastError(error);
    return 0;
}

// The GPIO driver: every code takes the pin as its first input word.
int GpioControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    const uint32_t inWords = code == GPIO_CONFIGURE ? 2 : 1;
    if (in == nullptr || inSize < 4 * inWords) return Refuse(ERROR_INVALID_PARAMETER);
    const uint32_t pin = LoadLe32(in);
    if (pin >= GPIO_PIN_COUNT) return Refuse(ERROR_INVALID_PARAMETER);
    switch (code) {
        case GPIO_SET_BIT:
            Pins.level[pin] = 1;
            return 1;
        case GPIO_CLEAR_BIT:
            Pins.level[pin] = 0;
            return 1;
        case GPIO_GET_BIT: {
            if (out == nullptr || outSize < 4) return Refuse(ERROR_INSUFFICIENT_BUFFER);
            const uint32_t level = Pins.level[pin];
            std::memcpy(out, &level, sizeof level);
            if (bytesReturned != nullptr) *bytesReturned = sizeof level;
            return 1;
        }
        case GPIO_CONFIGURE:
            Pins.configured[pin] = 1;
            return 1;
        default:
            return Refuse(ERROR_INVALID_FUNCTION);
    }
}

int DeviceIoControlOp(PlatformHandle device, uint32_t code, const void* in, uint32_t inSize,
                      void* out, uint32_t outSize, uint32_t* bytesReturned) {
    if (FindGpio(device) != nullptr) {
        return GpioControl(code, in, inSize, out, outSize, bytesReturned);
    }
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(static_cast<HANDLE>(device), code, const_cast<void*>(in),
                                    inSize, out, outSize, &returned, nullptr);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return ok ? 1 : 0;
}

int CloseHandleOp(PlatformHandle handle) {
    auto it = std::find_if(GpioHandles.begin(), GpioHandles.end(),
                           [handle](const auto& open) { return open.get() == handle; });
    if (it != GpioHandles.end()) {
        GpioHandles.erase(it);
        return 1;
    }
    return CloseHandle(static_cast<HANDLE>(handle)) ? 1 : 0;
}

int PowerStatus(int* acLineStatus) {
    const char* forced = std::getenv(WIN32_POWER_VARIABLE);
    if (forced != nullptr && forced[0] != '\0') {
        if (std::strcmp(forced, "fail") == 0) return Refuse(ERROR_NOT_SUPPORTED);
        if (std::strcmp(forced, "ac") == 0) {
            *acLineStatus = 1;
        } else if (std::strcmp(forced, "battery") == 0) {
            *acLineStatus = 0;
        } else {
            *acLineStatus = 255;
        }
        return 1;
    }
    SYSTEM_POWER_STATUS status{};
    if (!GetSystemPowerStatus(&status)) return 0;
    *acLineStatus = status.ACLineStatus;
    return 1;
}

const BoardOps Table{RegOpenKey,         RegCloseKeyOp, ActivateDeviceOp, ActivateDeviceExOp,
                     DeactivateDeviceOp, PortName,      CreateFileOp,     DeviceIoControlOp,
                     CloseHandleOp,      PowerStatus};

}  // namespace

long Win32MachineString(const char* keyPath, const char* valueName, std::string* value) {
    HKEY key = nullptr;
    LONG result =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utf8ToWide(keyPath).c_str(), 0, KEY_QUERY_VALUE, &key);
    if (result != ERROR_SUCCESS) return result;
    result = QueryString(key, valueName, value);
    RegCloseKey(key);
    return result;
}

const BoardOps& Win32BoardOps() {
    return Table;
}

int Win32GpioPinLevel(uint32_t pin) {
    return pin < GPIO_PIN_COUNT ? Pins.level[pin] : 0;
}
int Win32GpioPinConfigured(uint32_t pin) {
    return pin < GPIO_PIN_COUNT ? Pins.configured[pin] : 0;
}
int Win32ActiveDeviceCount() {
    return static_cast<int>(Devices.size());
}
