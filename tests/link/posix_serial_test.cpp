// The termios back end over a real pseudo-terminal pair.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "link/serial_port.h"
#include "platform/posix/baud_linux.h"
#include "platform/posix/posix.h"
#include "platform/std_clock.h"
#include "tests/support/core_reset.h"

namespace {

class PosixSerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetCoreModules();
        PlatformInstall(
            PlatformOps{&PosixSerialOps(), &StdClockOps(), nullptr, nullptr, nullptr, nullptr});
        char name[128] = {};
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        path_ = name;
        // A cooked line at another rate, as a port might be found.
        termios t{};
        ASSERT_EQ(tcgetattr(slave_, &t), 0);
        cfsetspeed(&t, B9600);
        t.c_cflag |= PARENB | CSTOPB;
        t.c_lflag |= ICANON | ECHO;
        t.c_iflag |= IXON;
        ASSERT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
        ASSERT_EQ(tcgetattr(slave_, &before_), 0);
    }
    void TearDown() override {
        SerialClose();
        close(slave_);
        close(master_);
    }
    termios Now() {
        termios t{};
        EXPECT_EQ(tcgetattr(slave_, &t), 0);
        return t;
    }

    int master_ = -1, slave_ = -1;
    std::string path_;
    termios before_{};
};

TEST_F(PosixSerialTest, OpenSetsRaw8N1WithoutFlowControl) {
    ASSERT_EQ(SerialOpen(path_.c_str(), 38400), 1) << PosixSerialLastError();
    EXPECT_FALSE(PosixSerialHasModemLines());  // a pty has none, and the open still works
    const termios t = Now();
    EXPECT_EQ(cfgetospeed(&t), B38400);
    EXPECT_EQ(cfgetispeed(&t), B38400);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

TEST_F(PosixSerialTest, CloseRestoresTheSettingsFoundAtOpen) {
    ASSERT_EQ(SerialOpen(path_.c_str(), 38400), 1);
    ASSERT_EQ(SerialSetBaud(115200), 1);
    SerialClose();
    const termios t = Now();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag, before_.c_cflag);
    EXPECT_EQ(t.c_iflag, before_.c_iflag);
    EXPECT_EQ(t.c_lflag, before_.c_lflag);
    EXPECT_EQ(t.c_oflag, before_.c_oflag);
}

TEST_F(PosixSerialTest, BaudSwitchReachesTheLineAndBadRatesFail) {
    ASSERT_EQ(SerialOpen(path_.c_str(), 38400), 1);
    EXPECT_EQ(SerialSetBaud(115200), 1);
    termios t = Now();
    EXPECT_EQ(cfgetospeed(&t), B115200);
    // A rate without a B-constant is set by number where the system can, and
    // a B-constant rate takes over again after it.
    if (ArbitraryBaudAvailable()) {
        EXPECT_EQ(SerialSetBaud(250000), 1) << PosixSerialLastError();
        EXPECT_EQ(LineBaud(slave_), 250000u);
        EXPECT_EQ(SerialSetBaud(115200), 1);
        EXPECT_EQ(LineBaud(slave_), 115200u);
    }
    EXPECT_EQ(SerialSetBaud(0), 0);  // no rate at all
    t = Now();
    EXPECT_EQ(cfgetospeed(&t), B115200);
    // Closed after a rate set by number, the line is back at what it was.
    if (ArbitraryBaudAvailable()) {
        ASSERT_EQ(SerialSetBaud(250000), 1);
        SerialClose();
        t = Now();
        EXPECT_EQ(cfgetospeed(&t), B9600);
        EXPECT_EQ(LineBaud(slave_), 9600u);
    }
}

TEST_F(PosixSerialTest, SecondOpenerIsRefusedAndMissingDeviceFails) {
    ASSERT_EQ(SerialOpen(path_.c_str(), 38400), 1);
    const SerialOps& ops = PosixSerialOps();
    // A second opener through the back end is refused by the lock...
    EXPECT_EQ(ops.open(path_.c_str(), 38400), 0);
    // ...and any other opener by exclusive mode, which root may override.
    if (geteuid() != 0) {
        EXPECT_LT(open(path_.c_str(), O_RDWR | O_NOCTTY), 0);
    }
    uint32_t count = 0;
    const uint8_t byte = 0x55;
    EXPECT_EQ(SerialWrite(&byte, 1, &count), 1);  // the first opener keeps the line
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(ops.open("/dev/zelvar-no-such-port", 38400), 0);
    EXPECT_EQ(PosixSerialLastError(), ENOENT);
}

TEST_F(PosixSerialTest, BytesCrossInBothDirections) {
    ASSERT_EQ(SerialOpen(path_.c_str(), 38400), 1);
    const uint8_t out[] = {0x00, 0x01, 0x2A, 0xD5};
    uint32_t count = 0;
    ASSERT_EQ(SerialWrite(out, sizeof out, &count), 1);
    EXPECT_EQ(count, sizeof out);
    uint8_t seen[4] = {};
    ASSERT_EQ(read(master_, seen, sizeof seen), 4);
    EXPECT_EQ(0, std::memcmp(seen, out, 4));

    const uint8_t reply[] = {0x06, 0x0D, 0x0A};  // raw: no CR/LF translation
    ASSERT_EQ(write(master_, reply, sizeof reply), 3);
    uint8_t in[3] = {};
    ASSERT_EQ(SerialRead(in, 3, &count), 1);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(0, std::memcmp(in, reply, 3));
}

// The one real-time test: a read of n bytes that gets nothing gives up after
// about 2000 + 4n ms and reports success with no bytes.
TEST_F(PosixSerialTest, ReadTimesOutAfterTheTotalTimeOut) {
    ASSERT_EQ(SerialOpen(path_.c_str(), 38400), 1);
    uint8_t buffer[50];
    uint32_t count = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialRead(buffer, 50, &count), 1);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    EXPECT_EQ(count, 0u);
    EXPECT_GE(elapsed, 2195);
    EXPECT_LT(elapsed, 2600);
}

}  // namespace
