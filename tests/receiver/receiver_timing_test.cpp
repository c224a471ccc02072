// SPDX-License-Identifier: Apache-2.0
// The receiver on a real-time line: times finer than a millisecond in and out.
#include <gtest/gtest.h>

#include <vector>

#include "link/packet.h"
#include "tests/receiver/wire.h"

namespace {

struct Sent {
    std::vector<uint8_t> bytes;
    double atMs;  // input time plus the delay the receiver gave
};

// Feeds the first stage's load frame to a wire-timed receiver in pieces that
// reach it at the given times and returns what it sent, with when.
std::vector<Sent> LoadInPieces(const std::vector<std::pair<size_t, double>>& pieces) {
    ReceiverConfig config;
    config.wireTiming = true;
    config.startDelayMs = 5;
    config.answerDelayMs = 1;
    Receiver receiver(config);
    std::vector<Sent> sent;
    double inputMs = 0;
    receiver.SetOutputAt([&](const uint8_t* data, size_t count, double delayMs) {
        sent.push_back(Sent{std::vector<uint8_t>(data, data + count), inputMs + delayMs});
    });
    const std::vector<uint8_t> frame =
        Frame(Wire::LoadFirstStage(std::vector<uint8_t>(1200, 0x5A)).bytes);
    size_t at = 0;
    for (const auto& [count, timeMs] : pieces) {
        inputMs = timeMs;
        receiver.InputAt(frame.data() + at, count, timeMs, 38400);
        at += count;
    }
    EXPECT_EQ(at, frame.size());
    return sent;
}

TEST(ReceiverRealTime, AnswersLeaveAtTheUnroundedTimeWhateverPiecesTheFrameCameIn) {
    const double byteMs = 10000.0 / 38400;
    const double start = 0.25;  // not on a whole millisecond
    // 1214 frame bytes, 5 ms to start the first stage, its ACK byte; 1 ms
    // after the ACK began, the 5-byte answer (its ACK ahead of it on the line).
    const double ackEnd = start + 1214 * byteMs + 5 + byteMs;
    const double answerEnd = start + 1214 * byteMs + 5 + 1 + 5 * byteMs;
    const std::vector<std::vector<std::pair<size_t, double>>> deliveries = {
        {{1214, start}},
        // The first byte alone, the rest a moment later: the line carried
        // them back to back all the same.
        {{1, start}, {1213, start + 0.05}},
        {{600, start}, {614, start + 0.3}},
    };
    for (const auto& pieces : deliveries) {
        const std::vector<Sent> sent = LoadInPieces(pieces);
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].bytes, std::vector<uint8_t>{ACK});
        EXPECT_NEAR(sent[0].atMs, ackEnd, 1e-6);
        EXPECT_EQ(sent[1].bytes.size(), 5u);
        EXPECT_NEAR(sent[1].atMs, answerEnd, 1e-6);
    }
}

}  // namespace
