// SPDX-License-Identifier: Apache-2.0
#include "update/board.h"

#include <cstring>

#include "platform/platform.h"

namespace {

PlatformHandle PortDriverHandle = nullptr;
PlatformHandle GpioHandle = PLATFORM_INVALID_HANDLE;
char PortName[128] = "";

// The control buffers, little-endian 32-bit words as the GPIO driver reads
// them, kept for the whole run.
uint8_t PinWord[4];
uint8_t PinAndValue[8];
uint8_t StateWord[4];
uint32_t StateBytesReturned = 0;

void StoreWord(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void FillControlBuffers() {
    StoreWord(PinWord, UPDATE_PIN);
    StoreWord(PinAndValue, UPDATE_PIN);
    StoreWord(PinAndValue + 4, 0);
}

// One control call; a failure is shown and the step goes on.
void Control(uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize,
             uint32_t* returned) {
    if (PlatformBoard().deviceIoControl(GpioHandle, code, in, inSize, out, outSize, returned) ==
        0) {
        PlatformUi().message("SET BIT Fail!", "Fail");
    }
}

}  // namespace

int CheckPortDriver() {
    PlatformHandle key = nullptr;
    if (PlatformBoard().regOpenKey(PORT_DRIVER_KEY, &key) != 0) return 0;
    PlatformBoard().regCloseKey(key);
    return 1;
}

void ActivatePortDriver() {
    const BoardOps& board = PlatformBoard();
    PortDriverHandle = board.activateDevice(PORT_DRIVER_KEY, 0);
    if (PortDriverHandle == nullptr) {
        PortDriverHandle = board.activateDeviceEx(PORT_DRIVER_KEY, nullptr, 0, nullptr);
    }
    const char* name = board.portName();
    std::strncpy(PortName, name != nullptr ? name : "", sizeof PortName - 1);
    PortName[sizeof PortName - 1] = '\0';
}

int SetUpdatePin() {
    FillControlBuffers();
    // Access 0 and disposition 0: the handle only carries control calls.
    GpioHandle = PlatformBoard().createFile(GPIO_DEVICE_NAME, 0, 0, 0, 0);
    if (GpioHandle == PLATFORM_INVALID_HANDLE) {
        PlatformUi().message("GPIOOpen Fail!", "Fail");
        return 0;
    }
    Control(IOCTL_GIO_SET_BIT, PinWord, 4, nullptr, 0, nullptr);
    Control(IOCTL_GIO_CONFIGURE, PinAndValue, 8, nullptr, 0, nullptr);
    Control(IOCTL_GIO_GET_BIT, PinWord, 4, StateWord, 4, &StateBytesReturned);
    return 1;
}

void ClearUpdatePin() {
    Control(IOCTL_GIO_CLEAR_BIT, PinWord, 4, nullptr, 0, nullptr);
    Control(IOCTL_GIO_CONFIGURE, PinAndValue, 8, nullptr, 0, nullptr);
    Control(IOCTL_GIO_GET_BIT, PinWord, 4, StateWord, 4, &StateBytesReturned);
    if (GpioHandle != nullptr) PlatformBoard().closeHandle(GpioHandle);
}

void DeactivatePortDriver() {
    if (PortDriverHandle != nullptr && PortDriverHandle != PLATFORM_INVALID_HANDLE) {
        PlatformBoard().deactivateDevice(PortDriverHandle);
    }
}

const char* ReceiverPortName() {
    return PortName;
}

void BoardReset() {
    PortDriverHandle = nullptr;
    GpioHandle = PLATFORM_INVALID_HANDLE;
    PortName[0] = '\0';
    std::memset(StateWord, 0, sizeof StateWord);
    StateBytesReturned = 0;
}
