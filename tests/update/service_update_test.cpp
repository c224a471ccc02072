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
        request = UpdateRequest{};
        request.image = image.data();
        request.imageLength = c.length;
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
int ReadingHook(uint32_t flashBytes, const char** message) {
    HookFlashBytes = flashBytes;
    HookRead.assign(flashBytes, 0xEE);
    const int read = ServiceReadFlash(HookRead.data(), flashBytes, nullptr, nullptr, message);
    if (read != UPDATE_HOOK_OK) return read;
    *message = HookAnswer;
    return HookAnswer != nullptr ? UPDATE_HOOK_FAILED : UPDATE_HOOK_OK;
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
        request = UpdateRequest{};
        request.flashHook = ReadingHook;
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

// Stops the run from the read's own progress, as a Ctrl-C in mid-read does.
void StopHalfway(int percent) {
    if (percent >= 50) UpdateRequestStop();
}
int StoppingHook(uint32_t flashBytes, const char** message) {
    HookRead.assign(flashBytes, 0xEE);
    return ServiceReadFlash(HookRead.data(), flashBytes, StopHalfway, nullptr, message);
}

TEST_F(UpdateRun, InspectionIdentifiesVerifiesReadsAndLeavesTheBoardRestored) {
    struct Case {
        const char* name;
        int action;
        int outcome;
        bool changeOneByte;  // the file image differs from the flash in one byte
    };
    const Case cases[] = {
        {"identify", UPDATE_ACTION_IDENTIFY, UPDATE_OUTCOME_FINISHED, false},
        {"verify", UPDATE_ACTION_VERIFY, UPDATE_OUTCOME_DIFFERS, false},  // flash holds 0x00
        {"verify bytes, equal", UPDATE_ACTION_VERIFY_BYTES, UPDATE_OUTCOME_FINISHED, false},
        {"verify bytes, one differs", UPDATE_ACTION_VERIFY_BYTES, UPDATE_OUTCOME_DIFFERS, true},
        {"read", UPDATE_ACTION_READ, UPDATE_OUTCOME_FINISHED, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetHostModules();
        messages.clear();
        Start(Filled());
        std::vector<uint8_t> image(0x1000, 0x00);  // what the flash holds
        if (c.changeOneByte) image[0x123] = 0x5A;
        request = UpdateRequest{};
        request.action = c.action;
        request.operatingBaud = 230400;  // the servicing runs keep to --baud as well
        if (c.action == UPDATE_ACTION_VERIFY_BYTES) {
            request.image = image.data();
            request.imageLength = static_cast<uint32_t>(image.size());
        }
        if (c.action == UPDATE_ACTION_READ) request.flashHook = ReadingHook;
        HookAnswer = nullptr;
        HookRead.clear();
        Run();
        EXPECT_EQ(UpdateOutcome(), c.outcome);
        const UpdateFacts& facts = UpdateLastFacts();
        EXPECT_STREQ(facts.partName, "AM29LV400BB");
        EXPECT_EQ(facts.flashBytes, 0x80000u);
        EXPECT_EQ(facts.sectorSetCount, 4u);
        EXPECT_FALSE(HandheldSimPinSet());
        EXPECT_FALSE(HandheldSimDriverLoaded());
        EXPECT_FALSE(TempFileExists());
        EXPECT_EQ(HandheldSimFlash(), std::vector<uint8_t>(0x80000, 0x00));
        EXPECT_EQ(facts.bytesWritten, 0u);
        const ReceiverCounters& counters = HandheldSimReceiver()->Counters();
        EXPECT_GT(counters.bytesFromHost.count(230400), 0u);
        const bool askedVersion = std::count(counters.requestCodes.begin(),
                                             counters.requestCodes.end(), uint8_t{28}) != 0;
        EXPECT_EQ(askedVersion, c.action == UPDATE_ACTION_IDENTIFY);
        switch (c.action) {
            case UPDATE_ACTION_IDENTIFY:
                // The receiver's own answer (GetAgentVersion), not the host's built-in text.
                EXPECT_STREQ(facts.agentVersion, "2.0");
                EXPECT_NE(facts.chipId, 0u);
                break;
            case UPDATE_ACTION_VERIFY:
                EXPECT_EQ(facts.imageLength, 482008u);
                EXPECT_EQ(facts.imageCrc, 0xB73C);
                EXPECT_TRUE(facts.receiverCrcRead);
                EXPECT_NE(facts.receiverCrc, facts.imageCrc);
                break;
            case UPDATE_ACTION_VERIFY_BYTES:
                EXPECT_EQ(facts.bytesCompared, image.size());
                EXPECT_EQ(facts.differingBytes, c.changeOneByte ? 1u : 0u);
                if (c.changeOneByte) {
                    EXPECT_EQ(facts.firstDifference, 0x123u);
                }
                break;
            default:
                EXPECT_EQ(HookRead, std::vector<uint8_t>(0x80000, 0x00));
        }
        // The link was closed: the next run finds the boot ROM again.
        ResetHostModules();
        request = UpdateRequest{};
        request.action = UPDATE_ACTION_IDENTIFY;
        Run();
        EXPECT_EQ(UpdateOutcome(), UPDATE_OUTCOME_FINISHED) << UpdateFailedStep();
        HandheldSimStop();
    }
}

// Refusals once the agent runs, and a stop in the middle of a back-up, close
// the link: the receiver answers the next run without a power cycle.
TEST_F(UpdateRun, RefusalsAndStopsBeforeTheEraseLeaveTheReceiverReachable) {
    struct Case {
        const char* name;
        uint32_t imageLength;  // 0: the built-in image
        UpdateFlashHook hook;
        const char* hookAnswer;
        int outcome;
        const char* step;
    };
    const Case cases[] = {
        {"image too long", 0x80001, nullptr, nullptr, UPDATE_OUTCOME_FAILED, "ImageFits"},
        {"back-up fails", 0, ReadingHook, "Backup Fail! disk full", UPDATE_OUTCOME_FAILED,
         "Backup"},
        {"stop in the back-up", 0, StoppingHook, nullptr, UPDATE_OUTCOME_STOPPED_WITH_LINK, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetHostModules();
        messages.clear();
        Start(Filled());
        const std::vector<uint8_t> image = Pattern(c.imageLength);
        request = UpdateRequest{};
        if (c.imageLength != 0) {
            request.image = image.data();
            request.imageLength = c.imageLength;
        }
        request.flashHook = c.hook;
        HookAnswer = c.hookAnswer;
        EXPECT_EQ(Run(), 1u);
        EXPECT_EQ(UpdateOutcome(), c.outcome);
        EXPECT_STREQ(UpdateFailedStep(), c.step);
        EXPECT_EQ(HandheldSimFlash(), std::vector<uint8_t>(0x80000, 0x00));
        EXPECT_FALSE(HandheldSimPinSet());
        EXPECT_FALSE(HandheldSimDriverLoaded());
        EXPECT_FALSE(TempFileExists());

        ResetHostModules();
        messages.clear();
        request = UpdateRequest{};
        EXPECT_EQ(Run(), 0u) << (messages.empty() ? "" : messages.back().text);
        EXPECT_TRUE(std::equal(Image().begin(), Image().end(), HandheldSimFlash().begin()));
        HandheldSimStop();
    }
}

// A change a CRC-16 cannot see (the generator polynomial laid over the
// image): the CRC verify passes, the read-back finds every changed byte.
TEST_F(UpdateRun, ReadBackFindsWhatTheCrcCannotSee) {
    std::vector<uint8_t> flashed = Pattern(0x2000);
    uint16_t crc = 0;
    Crc16Update(flashed.data(), static_cast<uint32_t>(flashed.size()), 0xFFFF, &crc);
    // The CRC is linear: a change e over the last three bytes keeps it when
    // the CRC of e alone, from 0, is 0.
    const uint32_t at = static_cast<uint32_t>(flashed.size()) - 3;
    std::vector<uint8_t> altered;
    for (uint32_t bits = 0x10000; bits < 0x1000000 && altered.empty(); ++bits) {
        const uint8_t e[3] = {static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 8),
                              static_cast<uint8_t>(bits)};
        uint16_t zero = 0xFFFF;
        Crc16Update(e, 3, 0, &zero);
        if (zero != 0) continue;
        altered = flashed;
        for (int i = 0; i < 3; ++i) altered[at + i] ^= e[i];
    }
    ASSERT_FALSE(altered.empty()) << "no CRC-preserving change found";
    uint16_t alteredCrc = 0;
    Crc16Update(altered.data(), static_cast<uint32_t>(altered.size()), 0xFFFF, &alteredCrc);
    ASSERT_EQ(alteredCrc, crc);

    struct Case {
        int action;
        int outcome;
    };
    for (const Case& c : {Case{UPDATE_ACTION_VERIFY, UPDATE_OUTCOME_FINISHED},
                          Case{UPDATE_ACTION_VERIFY_BYTES, UPDATE_OUTCOME_DIFFERS}}) {
        SCOPED_TRACE(c.action);
        ResetHostModules();
        HandheldSimConfig config;
        config.receiver.flashInit = FlashInit::Fill;
        config.receiver.flashFill = 0xFF;
        Start(config);
        request = UpdateRequest{};
        request.image = flashed.data();
        request.imageLength = static_cast<uint32_t>(flashed.size());
        ASSERT_EQ(Run(), 0u);
        ResetHostModules();
        request.action = c.action;
        request.image = altered.data();
        Run();
        EXPECT_EQ(UpdateOutcome(), c.outcome);
        if (c.action == UPDATE_ACTION_VERIFY_BYTES) {
            EXPECT_EQ(UpdateLastFacts().firstDifference, at);
            EXPECT_GE(UpdateLastFacts().differingBytes, 2u);
        }
        HandheldSimStop();
    }
}

}  // namespace
