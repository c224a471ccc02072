// SPDX-License-Identifier: Apache-2.0
#include "app/cli/baud_choice.h"

#include "boot/boot.h"
#include "platform/posix/posix.h"

namespace {

// The first stage knows two divisor rules: chip 35's and everyone else's.
constexpr uint8_t CHIP_OTHER = 48;

constexpr uint32_t USUAL_RATES[] = {1200,   2400,    4800,    9600,    19200,  38400,
                                    57600,  115200,  230400,  460800,  500000, 576000,
                                    921600, 1000000, 1152000, 1500000, 2000000};

bool SettableBy(uint32_t baud, uint8_t chip) {
    return BaudSuitsChip(baud, chip) == 1 && PosixSerialCanSetBaud(baud);
}

}  // namespace

bool BaudUsable(uint32_t baud) {
    return SettableBy(baud, CHIP_OTHER) || SettableBy(baud, CHIP_ID_ALTERNATE);
}

std::string UsableBaudList() {
    std::string list;
    uint32_t alternateTop = 0;
    for (const uint32_t rate : USUAL_RATES) {
        if (BaudUsable(rate)) list += (list.empty() ? "" : ", ") + std::to_string(rate);
        if (SettableBy(rate, CHIP_ID_ALTERNATE)) alternateTop = rate;
    }
    if (alternateTop != 0) {
        list += " (chip " + std::to_string(CHIP_ID_ALTERNATE) + ": up to " +
                std::to_string(alternateTop) + ")";
    }
    return list;
}
