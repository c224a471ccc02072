// SPDX-License-Identifier: Apache-2.0
// The receiver's UART as the line sees it: which rates understand each other,
// and what a UART makes of bytes sent at another rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The rate a UART runs at for a divisor of its 49.107 MHz clock.
constexpr double UART_CLOCK_HZ = 49107000.0;
// Two ends whose rates differ by at most this fraction read each other's
// bytes without error (the stop bit is then sampled well inside its cell).
constexpr double UART_TOLERANCE = 0.03;

bool UartRatesMatch(double a, double b, double tolerance = UART_TOLERANCE);

// What a UART at rxRate receives when bytes go out back to back at txRate
// (8-N-1, idle line before and after): each start edge is followed and the
// bits are sampled in the middle of the receiver's own bit cells. A frame
// whose stop bit samples low is delivered as sampled, as a raw tty without
// input checking does. flipped (sorted) lists bit cells of the stream, 10 a
// byte, that noise turned over.
std::vector<uint8_t> UartResample(const uint8_t* data, size_t count, double txRate, double rxRate,
                                  const std::vector<uint64_t>* flipped = nullptr);
