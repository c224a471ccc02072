// SPDX-License-Identifier: Apache-2.0
// The one serial port to the receiver, over the installed SerialOps.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// 1 when the port is open and configured at baud, 0 otherwise. A name that
// does not fit SERIAL_NAME_LIMIT is refused without touching any device.
int SerialOpen(const char* portName, uint32_t baud);
// 1 on success, 0 when the port refused the rate (which stays recorded).
// The port is not touched when the rate is already in force.
int SerialSetBaud(uint32_t baud);
// Single read / write calls; success flag returned, count stored.
int SerialRead(uint8_t* buffer, uint32_t length, uint32_t* countOut);
int SerialWrite(const uint8_t* buffer, uint32_t length, uint32_t* countOut);
void SerialClose();
void DelayMs(uint32_t milliseconds);

// The rate last requested (0 before the first open).
uint32_t SerialBaud();
// Power-on state (tests).
void SerialReset();
