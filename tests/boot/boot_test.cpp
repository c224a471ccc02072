// SPDX-License-Identifier: Apache-2.0
// The boot handshake and agent download, against a scripted first stage on
// the in-memory line.
#include "boot/boot.h"

#include <gtest/gtest.h>

#include <memory>

#include "boot/clock.h"
#include "link/packet.h"
#include "link/serial_port.h"
#include "link/status.h"
#include "payloads/payloads.h"
#include "platform/fake/fake_line.h"
#include "tests/boot/first_stage_script.h"
#include "tests/support/core_reset.h"
#include "tests/support/frame_peer.h"

namespace {

class BootTest : public ::testing::Test {
  protected:
    // Also called again by table cases that need a fresh receiver and line.
    void SetUp() override {
        peer.reset();
        ResetCoreModules();
        script = FirstStageScript{};
        peer =
            std::make_unique<FramePeer>([this](const Bytes& request) { return script(request); });
    }
    void TearDown() override { peer.reset(); }

    FirstStageScript script;
    std::unique_ptr<FramePeer> peer;
};

Bytes Image(const uint8_t* data, uint32_t length) {
    return Bytes(data, data + length);
}

TEST_F(BootTest, FirstStageFrameCarriesHeaderImageAndFourZeros) {
    ASSERT_EQ(FirstStageImageLength, 1200U);
    uint64_t sentAt = 0;
    peer->SetHandler([&](const Bytes& request) {
        if (sentAt == 0) sentAt = FakeClockNow();
        return script(request);
    });
    ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);

    const Bytes expected = Cat({{0x24, 0x53, 0x00, 0x00, 0x00, 0x04, 0xB0},
                                Image(FirstStageImage, FirstStageImageLength),
                                {0, 0, 0, 0}});
    ASSERT_EQ(expected.size(), 1211U);
    EXPECT_EQ(peer->Requests().at(0).payload, expected);
    EXPECT_EQ(peer->Requests().at(0).hostBaud, BOOT_BAUD);
    // The whole frame went out first, in one piece, after the settling wait.
    const Bytes& wire = FakeLineHostBytes();
    ASSERT_GE(wire.size(), 1214U);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 1214), Frame(expected));
    EXPECT_GE(sentAt, BOOT_SETTLE_MS);
    EXPECT_EQ(FakeLineDeviceName(), "COM9");
}

TEST_F(BootTest, FirstStageAnswerMustBeCodeAndImageChecksumOnly) {
    Bytes image(1200);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    const uint8_t sum = PacketChecksum(image.data(), 1200);
    struct Case {
        const char* name;
        Bytes answer;
        int result;
    };
    const Case cases[] = {
        {"good", {0x25, sum}, 1},
        {"other checksum", {0x25, static_cast<uint8_t>(sum + 1)}, 0},
        {"third byte", {0x25, sum, 0x00}, 0},
        {"code only", {0x25}, 0},
        {"wrong code", {0x26, sum}, 0},
        {"checksum over the whole payload", {0x25, PacketChecksum(image.data(), 1199)}, 0},
    };
    ASSERT_EQ(SerialOpen("COM9", BOOT_BAUD), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        script.overrides[0x24] = Answer(c.answer);
        EXPECT_EQ(LoadFirstStage(image.data(), 1200), c.result);
    }
    // An image that cannot fit one frame is refused before anything is sent.
    const size_t before = peer->Requests().size();
    Bytes large(1275);
    EXPECT_EQ(LoadFirstStage(large.data(), 1275), 0);
    EXPECT_EQ(peer->Requests().size(), before);
}

TEST_F(BootTest, BadFirstStageAnswerEndsOpenWithDownloadFailed) {
    for (const Bytes& answer : {Bytes{0x25, 0x00}, Bytes{0x25, 0x00, 0x00}}) {
        SetUp();
        peer->SetHandler([&](const Bytes& request) {
            if (request[0] == 0x24) {
                Bytes a = answer;
                a[1] = static_cast<uint8_t>(PacketChecksum(request.data() + 7, 1200) + 1);
                if (answer.size() == 3) a[1] = PacketChecksum(request.data() + 7, 1200);
                return Answer(a);
            }
            return script(request);
        });
        EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_DOWNLOAD_FAILED);
        EXPECT_EQ(peer->Requests().size(), 1U);
        EXPECT_EQ(ReceiverConnected(), 0);
        EXPECT_EQ(CloseReceiver(), LINK_NOT_OPEN);
    }
}

TEST_F(BootTest, SetBaudPayloadFollowsTheChipsRounding) {
    struct Case {
        uint32_t baud;
        uint8_t chip;
        Bytes payload;
    };
    const Case cases[] = {
        {115200, 35, {0x00, 0x00, 0x01, 0xC2, 0x00, 0x01, 0xB0}},
        {115200, 48, {0x00, 0x00, 0x01, 0xC2, 0x00, 0x01, 0xAC}},
        {115200, 0, {0x00, 0x00, 0x01, 0xC2, 0x00, 0x01, 0xAC}},
        {57600, 35, {0x00, 0x00, 0x00, 0xE1, 0x00, 0x03, 0x50}},  // 852 + 8 -> 848
        {57600, 48, {0x00, 0x00, 0x00, 0xE1, 0x00, 0x03, 0x54}},  // 852 + 2 -> 852
        {38400, 35, {0x00, 0x00, 0x00, 0x96, 0x00, 0x05, 0x00}},
        {38400, 48, {0x00, 0x00, 0x00, 0x96, 0x00, 0x05, 0x00}},
        // The divisor goes out as its low 16 bits: 163690 + 2 rounds to 163692.
        {300, 48, {0x00, 0x00, 0x00, 0x01, 0x2C, 0x7F, 0x6C}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        SetUp();
        ASSERT_EQ(SerialOpen("COM9", BOOT_BAUD), 1);
        EXPECT_EQ(SwitchBaud(c.baud, c.chip), 1);
        ASSERT_EQ(peer->Requests().size(), 1U);
        EXPECT_EQ(peer->Requests()[0].payload, c.payload);
        EXPECT_EQ(peer->Requests()[0].hostBaud, BOOT_BAUD);
        EXPECT_EQ(FakeLineHostBaud(), c.baud);
    }
    EXPECT_EQ(BaudDivisor(115200, 35), 432);
    EXPECT_EQ(BaudDivisor(115200, 48), 428);
}

TEST_F(BootTest, ZeroBaudIsRefusedWithoutSending) {
    ASSERT_EQ(SerialOpen("COM9", BOOT_BAUD), 1);
    EXPECT_EQ(BaudDivisor(0, 48), 0);
    EXPECT_EQ(SwitchBaud(0, 48), 0);
    EXPECT_EQ(SwitchBaud(0, 35), 0);
    EXPECT_TRUE(FakeLineHostBytes().empty());
    EXPECT_EQ(FakeLineHostBaud(), BOOT_BAUD);
}

TEST_F(BootTest, SetBaudFailuresEndOpenWithPortFailed) {
    struct Case {
        const char* name;
        Reply reply;
        uint32_t refuse;
    };
    const Case cases[] = {
        {"trailing byte", Answer({0x01, 0x00}), 0},
        {"wrong code", Answer({0x03}), 0},
        {"no answer", AckOnly(), 0},
        {"port refuses the rate", Answer({0x01}), 115200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script.overrides[0] = c.reply;
        FakeLineRefuseBaud(c.refuse);
        EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_PORT_FAILED);
        EXPECT_EQ(peer->Codes().back(), 0);  // no agent block followed
        if (c.refuse == 0) {
            EXPECT_EQ(FakeLineHostBaud(), BOOT_BAUD);
        }
        EXPECT_EQ(ReceiverConnected(), 0);
        EXPECT_TRUE(FakeLineIsOpen());  // nothing is undone
    }
}

TEST_F(BootTest, AgentGoesOutInTwelveBlocksThenStart) {
    ASSERT_EQ(FlashAgentImageLength, 14748U);
    ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
    Bytes rebuilt;
    std::vector<uint32_t> offsets;
    std::vector<size_t> sizes;
    for (const Request& r : peer->Requests()) {
        if (r.payload[0] != BOOT_WRITE_AGENT_BLOCK) continue;
        EXPECT_EQ(r.hostBaud, 115200U);
        offsets.push_back((uint32_t{r.payload[1]} << 24) | (uint32_t{r.payload[2]} << 16) |
                          (uint32_t{r.payload[3]} << 8) | r.payload[4]);
        sizes.push_back(r.payload.size() - 5);
        rebuilt.insert(rebuilt.end(), r.payload.begin() + 5, r.payload.end());
    }
    ASSERT_EQ(offsets.size(), 12U);
    for (size_t i = 0; i < 11; ++i) {
        EXPECT_EQ(offsets[i], i * 1280);
        EXPECT_EQ(sizes[i], 1280U);
    }
    EXPECT_EQ(offsets[11], 14080U);
    EXPECT_EQ(sizes[11], 668U);
    EXPECT_EQ(rebuilt, Image(FlashAgentImage, FlashAgentImageLength));
    EXPECT_EQ(peer->Requests().back().payload, (Bytes{0x04, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(peer->Requests().back().hostBaud, 115200U);
    EXPECT_EQ(ReceiverConnected(), 1);
}

// The host acknowledges the SetBaud answer at the old rate, the one the first
// stage still listens at, and sends the first agent block at the new one.
TEST_F(BootTest, SetBaudAnswerIsAcknowledgedAtTheOldRateAndTheAgentGoesAtTheNew) {
    ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
    const std::vector<Request>& requests = peer->Requests();
    const std::vector<HostReply>& replies = peer->HostRepliesWithRates();
    // Every request here is answered and each answer acknowledged once.
    ASSERT_EQ(replies.size(), requests.size());
    size_t setBaud = requests.size();
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].payload[0] == BOOT_SET_BAUD) setBaud = i;
    }
    ASSERT_LT(setBaud + 1, requests.size());
    EXPECT_EQ(requests[setBaud].firstByteBaud, BOOT_BAUD);
    EXPECT_EQ(replies[setBaud].byte, ACK);
    EXPECT_EQ(replies[setBaud].hostBaud, BOOT_BAUD);
    const Request& firstBlock = requests[setBaud + 1];
    EXPECT_EQ(firstBlock.payload[0], BOOT_WRITE_AGENT_BLOCK);
    EXPECT_EQ(firstBlock.firstByteBaud, 115200U);
    EXPECT_EQ(replies[setBaud + 1].hostBaud, 115200U);
}

TEST_F(BootTest, AgentBlockAnswersAreCheckedByCodeOnly) {
    ASSERT_EQ(SerialOpen("COM9", BOOT_BAUD), 1);
    Bytes image(2600);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ (i >> 8));
    script.overrides[2] = Answer({0x03, 0xAA, 0xBB});
    script.overrides[4] = Answer({0x05, 0x01});
    EXPECT_EQ(DownloadAgent(image.data(), 2600), 1);
    EXPECT_EQ(peer->Codes(), (Bytes{2, 2, 2, 4}));

    struct Case {
        const char* name;
        uint8_t code;
        Reply reply;
        size_t requests;
    };
    const Case cases[] = {
        {"block answered with another code", 2, Answer({0x05}), 1},
        {"block with an empty answer", 2, Answer({}), 1},
        {"block not answered", 2, AckOnly(), 1},
        {"start answered with another code", 4, Answer({0x03}), 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script.overrides.clear();
        script.overrides[c.code] = c.reply;
        ASSERT_EQ(SerialOpen("COM9", BOOT_BAUD), 1);
        EXPECT_EQ(DownloadAgent(image.data(), 2600), 0);
        EXPECT_EQ(peer->Requests().size(), c.requests);
    }
}

TEST_F(BootTest, BringUpOrderPerChip) {
    struct Case {
        uint8_t chip;
        Bytes codes;
    };
    const Bytes blocks(12, BOOT_WRITE_AGENT_BLOCK);
    const Case cases[] = {
        {35, Cat({{0x24, 42, 38, 0}, blocks, {4}})},
        {48, Cat({{0x24, 42, 44, 46, 48, 40, 0}, blocks, {4}})},
        {0, Cat({{0x24, 42, 44, 46, 48, 40, 0}, blocks, {4}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.chip));
        SetUp();
        script.chipId = c.chip;
        EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
        EXPECT_EQ(peer->Codes(), c.codes);
        EXPECT_EQ(ChipId(), c.chip);
        EXPECT_EQ(FakeLineHostBaud(), 115200U);
    }
}

TEST_F(BootTest, SecondOpenAndEarlyCloseTouchNothing) {
    EXPECT_EQ(CloseReceiver(), LINK_NOT_OPEN);
    EXPECT_EQ(FakeLineOpenCalls() + FakeLineCloseCalls() + FakeLineWriteCalls(), 0);

    ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
    const int opens = FakeLineOpenCalls();
    const int writes = FakeLineWriteCalls();
    const int reads = FakeLineReadCalls();
    EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_ALREADY_OPEN);
    EXPECT_EQ(FakeLineOpenCalls(), opens);
    EXPECT_EQ(FakeLineWriteCalls(), writes);
    EXPECT_EQ(FakeLineReadCalls(), reads);
    EXPECT_EQ(ReceiverConnected(), 1);
}

TEST_F(BootTest, CloseSendsDisconnectAndAlwaysSucceeds) {
    struct Case {
        const char* name;
        Reply reply;
    };
    const Case cases[] = {
        {"answered", Answer({35})},
        {"acknowledged, never answered", AckOnly()},
        {"answered with a trailing byte", Answer({35, 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script.overrides[34] = c.reply;
        ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
        const uint64_t before = FakeClockNow();
        EXPECT_EQ(CloseReceiver(), LINK_OK);
        EXPECT_EQ(peer->Requests().back().payload, Bytes{34});
        EXPECT_FALSE(FakeLineIsOpen());
        EXPECT_EQ(FakeLineCloseCalls(), 1);
        EXPECT_EQ(ReceiverConnected(), 0);
        if (!c.reply.answer) {
            EXPECT_GE(FakeClockNow() - before, 2000U);  // waited out the read
        }
        EXPECT_EQ(CloseReceiver(), LINK_NOT_OPEN);
        EXPECT_EQ(FakeLineCloseCalls(), 1);
    }
    // A receiver that does not even acknowledge is closed just the same.
    SetUp();
    script.overrides[34] = Reply{false, false, {}, false};
    ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
    EXPECT_EQ(CloseReceiver(), LINK_OK);
    EXPECT_FALSE(FakeLineIsOpen());
}

TEST_F(BootTest, OpenStatusPerFailingStep) {
    struct Case {
        const char* name;
        uint8_t code;
        Reply reply;
        uint32_t status;
    };
    const Case cases[] = {
        {"chip id with a trailing byte", 42, Answer({43, 48, 0}), LINK_EXCHANGE_FAILED},
        {"chip id not answered", 42, AckOnly(), LINK_EXCHANGE_FAILED},
        {"variant not answered", 44, AckOnly(), LINK_EXCHANGE_FAILED},
        {"clock not answered", 40, AckOnly(), LINK_EXCHANGE_FAILED},
        {"agent block refused", 2, Reply{false, false, {}, false}, LINK_DOWNLOAD_FAILED},
        {"agent not started", 4, Answer({0x04}), LINK_DOWNLOAD_FAILED},
        {"first stage frame not acknowledged", 0x24, Reply{false, false, {}, false},
         LINK_DOWNLOAD_FAILED},
        {"first stage answer corrupt", 0x24, Reply{true, true, {0x25, 0x00}, true},
         LINK_DOWNLOAD_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script.overrides[c.code] = c.reply;
        EXPECT_EQ(OpenReceiver("COM9", 115200), c.status);
        EXPECT_EQ(peer->Codes().back(), c.code);  // ended at the failing step
        EXPECT_EQ(ReceiverConnected(), 0);
    }
    // The chip id is kept even when its answer then fails the length check.
    SetUp();
    script.overrides[42] = Answer({43, 35, 0});
    EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_EXCHANGE_FAILED);
    EXPECT_EQ(ChipId(), 35);
}

TEST_F(BootTest, UnknownClockEndsOpenWith105) {
    script.wordA = 0x3000;
    script.wordB = 30;
    EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_UNKNOWN_CLOCK);
    EXPECT_EQ(peer->Codes(), (Bytes{0x24, 42, 44, 46, 48}));
}

TEST_F(BootTest, PortThatWillNotOpenSendsNothing) {
    FakeLineFailOpen(true);
    EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_PORT_FAILED);
    EXPECT_EQ(FakeLineWriteCalls(), 0);
    EXPECT_EQ(FakeClockNow(), 0U);
}

TEST_F(BootTest, ReopenAfterCloseSkipsTheKnownClock) {
    ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
    ASSERT_EQ(CloseReceiver(), LINK_OK);
    const size_t first = peer->Requests().size();
    ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
    const Bytes codes = peer->Codes();
    EXPECT_EQ(Bytes(codes.begin() + static_cast<long>(first),
                    codes.begin() + static_cast<long>(first) + 5),
              (Bytes{0x24, 42, 44, 40, 0}));
    EXPECT_EQ(ReferenceClockHz(), 16369000U);
}

}  // namespace
