// SPDX-License-Identifier: Apache-2.0
// Little-endian words as the handheld's driver buffers carry them.
#pragma once

#include <cstdint>

// The 32-bit little-endian word at byte offset `at` of buffer.
inline uint32_t LoadLe32(const void* buffer, uint32_t at = 0) {
    const auto* bytes = static_cast<const uint8_t*>(buffer) + at;
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

inline void StoreLe32(void* buffer, uint32_t value) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}
