// SPDX-License-Identifier: Apache-2.0
// Which operating rates --baud may ask for: those a receiver's UART divisor
// comes near enough to and the serial back end can set.
#pragma once

#include <cstdint>
#include <string>

// True when some receiver chip runs within tolerance of baud and the line
// can be set to it. Whether the chip that answers can is known only once it
// has answered.
bool BaudUsable(uint32_t baud);
// The usual rates that pass BaudUsable, for the message that refuses one,
// e.g. "9600, ..., 576000 (chip 35: up to 115200)".
std::string UsableBaudList();
