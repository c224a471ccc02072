// SPDX-License-Identifier: Apache-2.0
// Whole updates over a noisy line, seed by seed: whatever the noise hits, a
// run ends with exactly one message, and "Download Finish" only over a flash
// that holds the image. The frame's checksum is a sum, which two flips can
// fool; what gets past it must be caught before the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/support/update_fixture.h"
#include "update/outcome.h"

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

// At one flipped bit in a million, the rate of a fair cable, repeats carry
// an update through nearly every time (198 of seeds 1-200; the two others
// lost the first stage, which is never repeated, with the flash unchanged);
// without them none of those finished.
// Whatever ends a run, it is said honestly: "Download Finish" only over the
// image, and a failure says whether the flash was changed.
TEST_F(NoisyLine, AtOneInAMillionFiveRepeatsFinishNearlyEveryRun) {
    constexpr uint64_t SEEDS = 12;
    int finished[2] = {0, 0};
    uint32_t repeats = 0;
    for (const uint32_t retries : {0u, 5u}) {
        for (uint64_t seed = 1; seed <= SEEDS; ++seed) {
            SCOPED_TRACE("retries " + std::to_string(retries) + " seed " + std::to_string(seed));
            ResetHostModules();
            messages.clear();
            HandheldSimConfig config;
            config.receiver.flashInit = FlashInit::Fill;
            config.receiver.flashFill = 0x00;
            config.receiver.bitErrorRate = 1e-6;
            config.receiver.noiseSeed = seed;
            Start(config);
            request.retries = retries;
            const uint32_t exitCode = Run();
            const UpdateResult& result = UpdateLastResult();
            const std::vector<uint8_t> flash = HandheldSimFlash();
            const bool holdsImage = flash.size() >= Image().size() &&
                                    std::equal(Image().begin(), Image().end(), flash.begin());
            const bool untouched =
                std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0x00; });
            ASSERT_EQ(messages.size(), 1u);
            const int status = UpdateExitStatus(result);
            if (messages[0].text == FINISHED) {
                ++finished[retries == 0 ? 0 : 1];
                EXPECT_EQ(exitCode, 0u);
                EXPECT_EQ(status, UPDATE_EXIT_DONE);
                EXPECT_TRUE(holdsImage);
            } else {
                EXPECT_NE(exitCode, 0u);
                EXPECT_EQ(status, result.flashChanged ? UPDATE_EXIT_FLASH_CHANGED
                                                      : UPDATE_EXIT_FLASH_UNCHANGED);
                // A flash said to be unchanged is the one the receiver had.
                if (!result.flashChanged) {
                    EXPECT_TRUE(untouched);
                }
            }
            if (retries == 0) {
                EXPECT_EQ(result.retries, 0u);
            }
            repeats += result.retries;
        }
    }
    std::printf(
        "[ noise    ] 1e-6: %d of %llu finished without repeats, %d of %llu with 5 "
        "(%u repeats)\n",
        finished[0], static_cast<unsigned long long>(SEEDS), finished[1],
        static_cast<unsigned long long>(SEEDS), repeats);
    EXPECT_LE(finished[0], 1);
    EXPECT_GE(finished[1], static_cast<int>(SEEDS) - 1);
}

}  // namespace
