// SPDX-License-Identifier: Apache-2.0
// The port layer's own rules, on the in-memory line and the virtual clock.
#include <gtest/gtest.h>

#include <string>

#include "link/serial_port.h"
#include "platform/fake/fake_line.h"
#include "tests/support/core_reset.h"

namespace {

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetCoreModules(); }
};

TEST_F(SerialPortTest, NameLongerThanTheLimitIsRefusedUntouched) {
    const std::string fits(SERIAL_NAME_LIMIT - 1, 'p');
    const std::string tooLong(SERIAL_NAME_LIMIT, 'p');
    EXPECT_EQ(SerialOpen(tooLong.c_str(), 38400), 0);
    EXPECT_EQ(FakeLineOpenCalls(), 0);
    EXPECT_EQ(SerialOpen(nullptr, 38400), 0);
    EXPECT_EQ(SerialOpen(fits.c_str(), 38400), 1);
    EXPECT_EQ(FakeLineDeviceName(), fits);
}

TEST_F(SerialPortTest, FailedOpenReportsZero) {
    FakeLineFailOpen(true);
    EXPECT_EQ(SerialOpen("/dev/none", 38400), 0);
    EXPECT_FALSE(FakeLineIsOpen());
}

TEST_F(SerialPortTest, SetBaudSkipsThePortWhenTheRateIsInForce) {
    ASSERT_EQ(SerialOpen("/dev/fake", 38400), 1);
    EXPECT_EQ(SerialSetBaud(38400), 1);
    EXPECT_EQ(FakeLineSetBaudCalls(), 0);
    EXPECT_EQ(SerialSetBaud(115200), 1);
    EXPECT_EQ(FakeLineSetBaudCalls(), 1);
    EXPECT_EQ(FakeLineHostBaud(), 115200u);
}

TEST_F(SerialPortTest, RefusedRateFailsAndStaysRecorded) {
    ASSERT_EQ(SerialOpen("/dev/fake", 38400), 1);
    FakeLineRefuseBaud(230400);
    EXPECT_EQ(SerialSetBaud(230400), 0);
    EXPECT_EQ(SerialBaud(), 230400u);
    EXPECT_EQ(FakeLineHostBaud(), 38400u);
    // Asking again for the recorded rate does not touch the port.
    EXPECT_EQ(SerialSetBaud(230400), 1);
    EXPECT_EQ(FakeLineSetBaudCalls(), 1);
}

TEST_F(SerialPortTest, ReadTimeOutsOnTheVirtualClock) {
    ASSERT_EQ(SerialOpen("/dev/fake", 38400), 1);
    struct Case {
        const char* name;
        uint32_t length;
        std::vector<std::pair<uint8_t, uint64_t>> arrivals;  // byte, delay after the previous
        uint32_t expectCount;
        uint64_t expectElapsed;
    };
    const Case cases[] = {
        {"nothing arrives", 10, {}, 0, 2040},
        {"all arrive", 3, {{1, 5}, {2, 5}, {3, 5}}, 3, 15},
        {"gap ends the read", 200, {{1, 100}, {2, 2001}}, 1, 2100},
        {"total ends the read", 2, {{1, 1900}, {2, 1900}}, 1, 2008},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLineDiscardPending();
        uint64_t delay = 0;
        for (const auto& [byte, after] : c.arrivals) {
            delay += after;
            const uint8_t b = byte;
            FakeLineSend(&b, 1, delay);
        }
        uint8_t buffer[256];
        uint32_t count = 99;
        const uint64_t before = FakeClockNow();
        EXPECT_EQ(SerialRead(buffer, c.length, &count), 1);
        EXPECT_EQ(count, c.expectCount);
        EXPECT_EQ(FakeClockNow() - before, c.expectElapsed);
    }
}

TEST_F(SerialPortTest, DelayAdvancesOnlyTheVirtualClock) {
    const uint64_t before = FakeClockNow();
    DelayMs(2000);
    EXPECT_EQ(FakeClockNow() - before, 2000u);
}

}  // namespace
