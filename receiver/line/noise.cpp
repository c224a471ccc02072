// SPDX-License-Identifier: Apache-2.0
#include "receiver/line/noise.h"

#include <cmath>

#include "receiver/line/uart.h"

namespace {

constexpr int BITS_PER_BYTE = 10;

}  // namespace

void LineNoise::Configure(double rate, uint64_t seed, uint64_t stream) {
    rate_ = rate > 1 ? 1 : rate;
    state_ = seed ^ (stream * 0xD1B54A32D192ED03ULL);
    if (On()) gap_ = DrawGap();
}

// splitmix64.
uint64_t LineNoise::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

uint64_t LineNoise::DrawGap() {
    if (rate_ >= 1) return 0;
    // Uniform in (0, 1]; the number of clean bits before a flip is then
    // geometric with the line's rate.
    const double u = static_cast<double>((Next() >> 11) + 1) * 0x1.0p-53;
    const double gap = std::floor(std::log(u) / std::log1p(-rate_));
    return gap >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(gap);
}

std::vector<uint8_t> LineNoise::Apply(const uint8_t* data, size_t count, uint64_t* flips) {
    std::vector<uint8_t> out(data, data + count);
    if (!On() || count == 0) return out;
    const uint64_t total = uint64_t{count} * BITS_PER_BYTE;
    std::vector<uint64_t> cells;
    uint64_t pos = 0;
    while (gap_ < total - pos) {
        pos += gap_;
        cells.push_back(pos);
        ++pos;
        gap_ = DrawGap();
    }
    gap_ -= total - pos;
    if (cells.empty()) return out;
    *flips += cells.size();
    bool framing = false;
    for (uint64_t cell : cells) {
        const uint64_t bit = cell % BITS_PER_BYTE;
        if (bit == 0 || bit == BITS_PER_BYTE - 1) {
            framing = true;
        } else {
            out[static_cast<size_t>(cell / BITS_PER_BYTE)] ^= static_cast<uint8_t>(1u << (bit - 1));
        }
    }
    if (!framing) return out;
    return UartResample(data, count, 1.0, 1.0, &cells);
}
