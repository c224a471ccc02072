// SPDX-License-Identifier: Apache-2.0
// Board control: the port driver that exposes the receiver's serial line and
// the GPIO pin that sends the receiver to its boot ROM, over PlatformBoard().
#pragma once

#include <cstdint>

#include "platform/board_codes.h"

// Registry path of the port driver, relative to HKEY_LOCAL_MACHINE, and the
// GPIO device.
constexpr const char* PORT_DRIVER_KEY = "Drivers\\PhysicalCOM";
constexpr const char* GPIO_DEVICE_NAME = "GIO1:";

// 1 when the port driver's key exists, 0 otherwise (nothing is loaded then).
int CheckPortDriver();
// Loads the port driver; a failed load is not detected here.
void ActivatePortDriver();
// Opens the GPIO device and sets the pin. 0 only when the device cannot be
// opened ("GPIOOpen Fail!" shown); each failed control call shows
// "SET BIT Fail!" and the step goes on.
int SetUpdatePin();
void ClearUpdatePin();
void DeactivatePortDriver();

// The serial port the loaded port driver exposes ("" before activation).
const char* ReceiverPortName();

void BoardReset();
