// SPDX-License-Identifier: Apache-2.0
#include "receiver/line/uart.h"

#include <algorithm>
#include <cmath>

namespace {

// Line level at bit cell m of the transmitted stream: start bit low, data
// LSB first, stop bit high, idle high outside the stream.
int SentLevel(const uint8_t* data, size_t count, int64_t cell) {
    if (cell < 0 || cell >= static_cast<int64_t>(count) * 10) return 1;
    const int64_t byte = cell / 10;
    const int64_t bit = cell % 10;
    if (bit == 0) return 0;
    if (bit == 9) return 1;
    return (data[byte] >> (bit - 1)) & 1;
}

int LevelAtCell(const uint8_t* data, size_t count, int64_t cell,
                const std::vector<uint64_t>* flipped) {
    const int level = SentLevel(data, count, cell);
    if (flipped == nullptr || cell < 0) return level;
    return std::binary_search(flipped->begin(), flipped->end(), static_cast<uint64_t>(cell))
               ? 1 - level
               : level;
}

}  // namespace

bool UartRatesMatch(double a, double b, double tolerance) {
    if (a <= 0 || b <= 0) return false;
    return std::fabs(a / b - 1.0) <= tolerance;
}

std::vector<uint8_t> UartResample(const uint8_t* data, size_t count, double txRate, double rxRate,
                                  const std::vector<uint64_t>* flipped) {
    std::vector<uint8_t> out;
    if (count == 0 || txRate <= 0 || rxRate <= 0) return out;
    const int64_t cells = static_cast<int64_t>(count) * 10;
    auto level = [&](double seconds) {
        return LevelAtCell(data, count, static_cast<int64_t>(std::floor(seconds * txRate)),
                           flipped);
    };
    double searchFrom = 0;
    for (;;) {
        // Next falling edge at or after searchFrom: a cell boundary where the
        // line goes from high to low.
        int64_t cell = static_cast<int64_t>(std::ceil(searchFrom * txRate - 1e-9));
        while (cell < cells && !(LevelAtCell(data, count, cell - 1, flipped) == 1 &&
                                 LevelAtCell(data, count, cell, flipped) == 0)) {
            ++cell;
        }
        if (cell >= cells) break;
        const double start = static_cast<double>(cell) / txRate;
        const double bitTime = 1.0 / rxRate;
        if (level(start + 0.5 * bitTime) != 0) {
            // A glitch, not a start bit.
            searchFrom = start + 0.5 * bitTime;
            continue;
        }
        uint8_t value = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if (level(start + (1.5 + bit) * bitTime) != 0) value |= static_cast<uint8_t>(1u << bit);
        }
        // A low stop bit is a framing error; a raw line without input
        // checking still delivers the bits sampled.
        out.push_back(value);
        searchFrom = start + 9.5 * bitTime;
    }
    return out;
}
