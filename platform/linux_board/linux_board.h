// SPDX-License-Identifier: Apache-2.0
// The board of a Linux machine wired to a receiver: the serial line the user
// names, and optionally a GPIO line (libgpiod) that plays the update pin.
// Power comes from the kernel's power-supply class.
#pragma once

#include <string>

#include "platform/platform.h"

struct LinuxBoardConfig {
    std::string port;      // serial device path
    std::string gpioChip;  // empty: no update pin, its steps pass and do nothing
    unsigned gpioLine = 0;
    std::string powerSupplyRoot = "/sys/class/power_supply";
};

// Parses "CHIP:LINE" (CHIP a name, number or /dev path). False when malformed.
bool ParseBootPin(const std::string& text, std::string* chip, unsigned* line);

// Installs the board table for this configuration.
const BoardOps& LinuxBoardOps(const LinuxBoardConfig& config);

// 1 on external power, 0 on battery, -1 when nothing can be told. A machine
// with no battery is on external power.
int LinuxAcLineStatus(const std::string& powerSupplyRoot);
