// SPDX-License-Identifier: Apache-2.0
#include "receiver/line/frame.h"

uint8_t SimFrameChecksum(const uint8_t* data, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) sum += data[i];
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

std::vector<uint8_t> SimFrame(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 3);
    frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(SimFrameChecksum(frame.data(), frame.size()));
    return frame;
}
