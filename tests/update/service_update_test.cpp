// SPDX-License-Identifier: Apache-2.0
// The update's servicing hooks and the inspection runs, in process against
// the simulated handheld on the in-memory line and the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/image.h"
#include "tests/support/update_fixture.h"
#include "update/service.h"
#include "update/update.h"

namespace {

HandheldSimConfig Filled(unsigned busWidth = 16) {
    HandheldSimConfig config;
    config.receiver.flashInit = FlashInit::Fill;
    config.receiver.flashFill = 0x00;
    config.receiver.busWidth = busWidth;
    return config;
}

// Not 0x00 at 0x80000, where the second part of a 32-bit flash begins: a
// byte there written over the old firmware without an erase must show.
std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 11) + 1);
    return bytes;
}

TEST_F(UpdateRun, AnImageLongerThanTheFlashIsRefusedBeforeAnyErase) {
    struct Case {
        unsigned busWidth;
        uint32_t length;
        bool fits;
    };
    // Two parts side by side on a 32-bit bus hold twice as much.
    const Case cases[] = {{16, 0x80001, false}, {32, 0x80001, true}, {16, 0x80000, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.busWidth << "-bit bus, " << c.length << " bytes");
        ResetHostModules();
        messages.clear();
        Start(Filled(c.busWidth));
        const std::vector<uint8_t> image = Pattern(c.length);
        UpdateSetImage(image.data(), c.length);
        const uint32_t exitCode = Run();
        const std::vector<uint8_t> flash = HandheldSimFlash();
        ASSERT_FALSE(messages.empty());
        if (c.fits) {
            EXPECT_EQ(exitCode, 0u);
            EXPECT_EQ(messages.back().text, "Download Finish");
            EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
            EXPECT_EQ(UpdateLastFacts().bytesWritten, c.length);
        } else {
            EXPECT_EQ(exitCode, 1u);
            EXPECT_EQ(messages.back().text,
                      "The image (524289 bytes) is longer than the flash (524288 bytes)!");
            EXPECT_EQ(flash, std::vector<uint8_t>(flash.size(), 0x00));
            EXPECT_EQ(UpdateLastFacts().bytesWritten, 0u);
        }
        HandheldSimStop();
    }
}

// What the back-up hook saw, and what it answers.
uint32_t HookFlashBytes = 0;
std::vector<uint8_t> HookRead;
const char* HookAnswer = nullptr;
const char* ReadingHook(uint32_t flashBytes) {
    HookFlashBytes = flashBytes;
    HookRead.assign(flashBytes, 0xEE);
    if (const char* failure = ServiceReadFlash(HookRead.data(), flashBytes, nullptr)) {
        return failure;
    }
    return HookAnswer;
}

TEST_F(UpdateRun, TheHookBeforeTheEraseReadsTheFlashAndCanStopTheRun) {
    for (const char* answer : {static_cast<const char*>(nullptr), "Backup Fail! disk full"}) {
        SCOPED_TRACE(answer != nullptr ? answer : "goes on");
        ResetHostModules();
        messages.clear();
        HandheldSimConfig config = Filled();
        config.receiver.flashFill = 0x3C;
        Start(config);
        HookAnswer = answer;
        UpdateSetBeforeEraseHook(ReadingHook);
        const uint32_t exitCode = Run();
        EXPECT_EQ(HookFlashBytes, 0x80000u);
        EXPECT_EQ(HookRead, std::vector<uint8_t>(0x80000, 0x3C));  // the flash before the erase
        ASSERT_FALSE(messages.empty());
        if (answer == nullptr) {
            EXPECT_EQ(exitCode, 0u);
            EXPECT_TRUE(Finished());
        } else {
            EXPECT_EQ(exitCode, 1u);
            EXPECT_EQ(messages.back().text, answer);
            EXPECT_EQ(messages.back().caption, "Fail");
            EXPECT_EQ(HandheldSimFlash(), std::vector<uint8_t>(0x80000, 0x3C));
        }
        HandheldSimStop();
    }
}

TEST_F(UpdateRun, InspectionIdentifiesVerifiesAndLeavesTheBoardRestored) {
    struct Case {
        bool verify;
        int result;
    };
    const Case cases[] = {{false, SERVICE_OK},
                          {true, SERVICE_DIFFERS}};  // the flash holds 0x00, not the image
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verify ? "verify" : "info");
        ResetHostModules();
        messages.clear();
        Start(Filled());
        ServiceReport report{};
        EXPECT_EQ(ServiceInspect(c.verify, nullptr, 0, &report), c.result);
        EXPECT_STREQ(report.partName, "AM29LV400BB");
        EXPECT_EQ(report.flashBytes, 0x80000u);
        EXPECT_EQ(report.sectorSetCount, 4u);
        EXPECT_FALSE(HandheldSimPinSet());
        EXPECT_FALSE(HandheldSimDriverLoaded());
        EXPECT_FALSE(TempFileExists());
        EXPECT_EQ(HandheldSimFlash(), std::vector<uint8_t>(0x80000, 0x00));
        if (c.verify) {
            EXPECT_EQ(report.imageLength, 482008u);
            EXPECT_EQ(report.imageCrc, 0xB73C);
            EXPECT_TRUE(report.receiverCrcRead);
            EXPECT_NE(report.receiverCrc, report.imageCrc);
        }
        HandheldSimStop();
    }
}

}  // namespace
