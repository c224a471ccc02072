// SPDX-License-Identifier: Apache-2.0
// The board in a browser: the port driver stands for the serial port the user
// chose, and no wire plays the update pin (the receiver is put in its boot ROM
// by hand), so the pin steps succeed and do nothing. The power status is the
// Battery Status API's where the browser has it; a machine without a battery
// is on external power.
#include <emscripten.h>

#include <string>

#include "platform/board_codes.h"
#include "platform/byte_order.h"
#include "platform/web/web.h"

namespace {

std::string Port;
uint32_t PinState = 0;

// Handles handed out; the values only need to be distinct and non-null.
char PortDriverToken;
char GpioToken;
char KeyToken;

// clang-format off
EM_ASYNC_JS(int, JsExternalPower, (), {
    if (typeof navigator === "undefined" || !navigator.getBattery) return 1;
    try {
        const battery = await navigator.getBattery();
        return battery.charging ? 1 : 0;
    } catch (error) {
        return 1;
    }
});
// clang-format on

long RegOpenKey(const char* /*subKey*/, PlatformHandle* keyOut) {
    if (Port.empty()) return 2;  // ERROR_FILE_NOT_FOUND
    *keyOut = &KeyToken;
    return 0;
}

long RegCloseKey(PlatformHandle /*key*/) {
    return 0;
}

PlatformHandle ActivateDevice(const char* /*path*/, uint32_t /*clientInfo*/) {
    return &PortDriverToken;
}

PlatformHandle ActivateDeviceEx(const char* /*path*/, const void* /*entries*/, uint32_t /*count*/,
                                void* /*parameter*/) {
    return &PortDriverToken;
}

int DeactivateDevice(PlatformHandle /*device*/) {
    return 1;
}

const char* PortName() {
    return Port.c_str();
}

PlatformHandle CreateFile(const char* /*name*/, uint32_t, uint32_t, uint32_t, uint32_t) {
    return &GpioToken;
}

int DeviceIoControl(PlatformHandle device, uint32_t code, const void* in, uint32_t inSize,
                    void* out, uint32_t outSize, uint32_t* returned) {
    if (device != &GpioToken || in == nullptr || inSize < 4 || LoadLe32(in) != UPDATE_PIN) return 0;
    switch (code) {
        case IOCTL_GIO_SET_BIT:
        case IOCTL_GIO_CLEAR_BIT:
            PinState = code == IOCTL_GIO_SET_BIT ? 1 : 0;
            return 1;
        case IOCTL_GIO_CONFIGURE:
            return inSize == 8 ? 1 : 0;
        case IOCTL_GIO_GET_BIT:
            if (out == nullptr || outSize < 4) return 0;
            StoreLe32(out, PinState);
            if (returned != nullptr) *returned = 4;
            return 1;
        default:
            return 0;
    }
}

int CloseHandle(PlatformHandle handle) {
    return handle == &GpioToken ? 1 : 0;
}

int PowerStatus(int* acLineStatus) {
    *acLineStatus = JsExternalPower();
    return 1;
}

const BoardOps Table{RegOpenKey, RegCloseKey, ActivateDevice,  ActivateDeviceEx, DeactivateDevice,
                     PortName,   CreateFile,  DeviceIoControl, CloseHandle,      PowerStatus};

}  // namespace

const BoardOps& WebBoardOps() {
    return Table;
}

void WebBoardSetPort(const char* label) {
    Port = label != nullptr ? label : "";
}
