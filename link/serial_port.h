// The one serial port to the receiver, over the installed SerialOps.
#pragma once

#include <cstdint>

// Read time-outs: a read of n bytes gives up after a gap of
// SERIAL_READ_INTERVAL_MS between bytes or after
// SERIAL_READ_CONSTANT_MS + SERIAL_READ_MULTIPLIER_MS * n in all.
constexpr uint32_t SERIAL_READ_INTERVAL_MS = 2000;
constexpr uint32_t SERIAL_READ_MULTIPLIER_MS = 4;
constexpr uint32_t SERIAL_READ_CONSTANT_MS = 2000;

// Longest device name, terminator included.
constexpr uint32_t SERIAL_NAME_LIMIT = 80;

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
