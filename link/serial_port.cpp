// SPDX-License-Identifier: Apache-2.0
#include "link/serial_port.h"

#include <cstring>

#include "platform/platform.h"

namespace {

// The rate in force, as the working line settings record it.
uint32_t WorkingBaud = 0;

}  // namespace

int SerialOpen(const char* portName, uint32_t baud) {
    if (portName == nullptr) return 0;
    // The device name with its terminator must fit the limit; refuse before
    // any device is touched.
    if (std::strlen(portName) + 1 > SERIAL_NAME_LIMIT) return 0;
    if (PlatformSerial().open(portName, baud) == 0) return 0;
    WorkingBaud = baud;
    return 1;
}

int SerialSetBaud(uint32_t baud) {
    if (baud == WorkingBaud) return 1;
    // Recorded even when the port refuses it.
    WorkingBaud = baud;
    return PlatformSerial().setBaud(baud) != 0 ? 1 : 0;
}

int SerialRead(uint8_t* buffer, uint32_t length, uint32_t* countOut) {
    return PlatformSerial().read(buffer, length, countOut);
}

int SerialWrite(const uint8_t* buffer, uint32_t length, uint32_t* countOut) {
    return PlatformSerial().write(buffer, length, countOut);
}

void SerialClose() {
    PlatformSerial().close();
}

void DelayMs(uint32_t milliseconds) {
    PlatformClock().sleepMs(milliseconds);
}

uint32_t SerialBaud() {
    return WorkingBaud;
}

void SerialReset() {
    WorkingBaud = 0;
}
