// SPDX-License-Identifier: Apache-2.0
// Whole updates over a noisy line, seed by seed: whatever the noise hits, a
// run ends with exactly one message, and "Download Finish" only over a flash
// that holds the image. The frame's checksum is a sum, which two flips can
// fool; what gets past it must be caught before the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/update_fixture.h"

namespace {

constexpr const char* FINISHED = "Download Finish";

class NoisyLine : public UpdateRun {};

TEST_F(NoisyLine, EveryRunEndsOnceAndFinishesOnlyOverTheImage) {
    struct Row {
        double rate;
        uint64_t seeds;
    };
    int finished = 0, failed = 0;
    for (const Row row : {Row{1e-7, 12}, Row{1e-6, 12}, Row{1e-5, 12}, Row{1e-4, 6}}) {
        for (uint64_t seed = 1; seed <= row.seeds; ++seed) {
            SCOPED_TRACE("rate " + std::to_string(row.rate) + " seed " + std::to_string(seed));
            ResetHostModules();
            messages.clear();
            HandheldSimConfig config;
            config.receiver.flashInit = FlashInit::Fill;
            config.receiver.flashFill = 0x00;
            config.receiver.bitErrorRate = row.rate;
            config.receiver.noiseSeed = seed;
            Start(config);
            const uint32_t exitCode = Run();
            ASSERT_EQ(messages.size(), 1u);
            if (messages[0].text == FINISHED) {
                ++finished;
                EXPECT_EQ(exitCode, 0u);
                const std::vector<uint8_t> flash = HandheldSimFlash();
                ASSERT_GE(flash.size(), Image().size());
                EXPECT_TRUE(std::equal(Image().begin(), Image().end(), flash.begin()));
            } else {
                ++failed;
                EXPECT_NE(exitCode, 0u);
            }
        }
    }
    // An update is several million bits: at 1e-7 most runs meet no flip, from
    // 1e-6 on nearly every run meets several. Both ends are reached.
    EXPECT_GT(finished, 0);
    EXPECT_GT(failed, 0);
}

}  // namespace
