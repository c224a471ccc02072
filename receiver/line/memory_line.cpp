// SPDX-License-Identifier: Apache-2.0
#include "receiver/line/memory_line.h"

#include <algorithm>

MemoryLine::MemoryLine(Receiver& receiver, MemoryLineTimeouts timeouts)
    : receiver_(receiver), timeouts_(timeouts) {
    receiver_.SetOutput([this](const uint8_t* data, size_t count, uint64_t delayMs) {
        // Bytes never overtake the ones queued before them.
        uint64_t at = now_ + delayMs;
        if (!toHost_.empty()) at = std::max(at, toHost_.back().atMs);
        for (size_t i = 0; i < count; ++i) toHost_.push_back(Arrival{data[i], at});
    });
}

void MemoryLine::Open(uint32_t baud) {
    // Whatever came while the port was closed is purged with the rest.
    CatchUp();
    baud_ = baud;
    toHost_.clear();
}

void MemoryLine::SetBaud(uint32_t baud) {
    baud_ = baud;
}

void MemoryLine::Close() {
    baud_ = 0;
}

uint32_t MemoryLine::Read(uint8_t* buffer, uint32_t length) {
    const uint64_t total = now_ + timeouts_.constantMs + uint64_t{timeouts_.multiplierMs} * length;
    // A talking firmware's sentences are made as the read waits for them.
    receiver_.Advance(static_cast<double>(now_), static_cast<double>(total));
    uint32_t got = 0;
    while (got < length) {
        const uint64_t deadline =
            got == 0 ? total : std::min(total, now_ + uint64_t{timeouts_.intervalMs});
        if (toHost_.empty() || toHost_.front().atMs > deadline) {
            now_ = std::max(now_, deadline);
            break;
        }
        now_ = std::max(now_, toHost_.front().atMs);
        buffer[got++] = toHost_.front().byte;
        toHost_.pop_front();
    }
    return got;
}

void MemoryLine::Write(const uint8_t* data, uint32_t length) {
    receiver_.Input(data, length, now_, baud_);
}

void MemoryLine::CatchUp() {
    receiver_.Advance(static_cast<double>(now_), static_cast<double>(now_));
}

void MemoryLine::DropUnsent() {
    while (!toHost_.empty() && toHost_.back().atMs > now_) toHost_.pop_back();
}
