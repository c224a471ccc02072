// SPDX-License-Identifier: Apache-2.0
// The boot ROM: at 38400 baud it takes one frame, the first stage, and
// starts it. Anything else it drops without a word.
#include "receiver/state.h"

namespace {

constexpr uint8_t LOAD_CODE_0 = 0x24;
constexpr uint8_t LOAD_CODE_1 = 0x53;
constexpr uint8_t LOAD_ANSWER = 0x25;

}  // namespace

void ReceiverState::BootRomFrame(uint32_t n, const uint8_t* payload, size_t length, double done) {
    SimReader r(payload, length);
    uint8_t c0 = 0, c1 = 0, c2 = 0;
    uint32_t imageLength = 0, tail = 1;
    const uint8_t* image = nullptr;
    if (!r.U8(&c0) || !r.U8(&c1) || !r.U8(&c2) || !r.U32(&imageLength) || c0 != LOAD_CODE_0 ||
        c1 != LOAD_CODE_1 || c2 != 0 || !r.Bytes(imageLength, &image) || !r.U32(&tail) ||
        tail != 0 || !r.AtEnd()) {
        Log("  boot ROM ignores the frame");
        return;
    }
    firstStage.assign(image, image + imageLength);
    stage = ReceiverStage::FirstStage;
    // The started first stage acknowledges and reports the checksum of
    // itself as it lies in memory.
    Respond(n, done, config.startDelayMs,
            std::vector<uint8_t>{LOAD_ANSWER, SimFrameChecksum(image, imageLength)});
}
