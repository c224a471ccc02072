// SPDX-License-Identifier: Apache-2.0
// The termios back end over a real pseudo-terminal pair.
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

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
    bool SameAsBefore(const termios& t) const {
        return cfgetospeed(&t) == cfgetospeed(&before_) && t.c_cflag == before_.c_cflag &&
               t.c_iflag == before_.c_iflag && t.c_lflag == before_.c_lflag &&
               t.c_oflag == before_.c_oflag;
    }
    int Exclusive() const {
        int on = -1;
        EXPECT_EQ(ioctl(slave_, TIOCGEXCL, &on), 0);
        return on;
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

// Real time: a read of n bytes that gets nothing gives up after 2000 + 4n ms
// (never sooner: 200 ms past the gap time-out here) and reports success with
// no bytes. The upper bound only has to tell it from a doubled wait, with
// room for a busy machine.
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
    EXPECT_LT(elapsed, 4000);
}

// A run that ends without closing the link (a failure, a stop, a fatal
// signal) still gives the line back as it was found, out of exclusive mode,
// so that the next non-root opener is not refused.
TEST_F(PosixSerialTest, LineIsGivenBackHoweverTheProcessEnds) {
    struct Ending {
        const char* name;
        void (*end)();
    };
    const Ending endings[] = {
        {"exit after a failure", [] { std::exit(1); }},
        {"signal path",
         [] {
             PosixSerialRestoreNow();
             _exit(130);
         }},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (SerialOpen(path_.c_str(), 38400) != 1 || SerialSetBaud(115200) != 1) _exit(99);
            const uint8_t byte = 0x06;
            uint32_t count = 0;
            SerialWrite(&byte, 1, &count);
            ending.end();
        }
        int raw = 0;
        ASSERT_EQ(waitpid(pid, &raw, 0), pid);
        ASSERT_TRUE(WIFEXITED(raw));
        ASSERT_NE(WEXITSTATUS(raw), 99);
        EXPECT_TRUE(SameAsBefore(Now()));
        EXPECT_EQ(Exclusive(), 0);
        uint8_t drained[8];
        (void)!read(master_, drained, sizeof drained);
    }
}

// A port that another program holds exclusively is refused, also for root,
// whom the kernel would let in, and the other program keeps it.
TEST_F(PosixSerialTest, PortHeldExclusivelyByAnotherProgramIsRefused) {
    ASSERT_EQ(ioctl(slave_, TIOCEXCL), 0);
    EXPECT_EQ(SerialOpen(path_.c_str(), 38400), 0);
    EXPECT_EQ(PosixSerialLastError(), EBUSY);
    EXPECT_EQ(Exclusive(), 1);
    EXPECT_TRUE(SameAsBefore(Now()));
    ASSERT_EQ(ioctl(slave_, TIOCNXCL), 0);
    EXPECT_EQ(SerialOpen(path_.c_str(), 38400), 1);
}

// Someone's terminal is not a receiver's line: neither the controlling
// terminal (as /dev/tty or by its name) nor the terminal on standard input.
TEST_F(PosixSerialTest, TerminalsInUseAreRefused) {
    int otherMaster = -1, otherSlave = -1;
    char otherName[128] = {};
    ASSERT_EQ(openpty(&otherMaster, &otherSlave, otherName, nullptr, nullptr), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A new session: the test's own pty goes to standard input only, the
        // other becomes the controlling terminal.
        if (setsid() < 0) _exit(99);
        dup2(slave_, STDIN_FILENO);
        if (ioctl(otherSlave, TIOCSCTTY, 0) != 0) _exit(98);
        const SerialOps& ops = PosixSerialOps();
        int refused = 0;
        if (ops.open("/dev/tty", 38400) == 0) refused |= 1;
        if (ops.open(otherName, 38400) == 0) refused |= 2;
        if (ops.open(path_.c_str(), 38400) == 0) refused |= 4;
        _exit(refused);
    }
    int raw = 0;
    ASSERT_EQ(waitpid(pid, &raw, 0), pid);
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 7);  // all three refused
    termios t{};
    ASSERT_EQ(tcgetattr(otherSlave, &t), 0);
    EXPECT_NE(t.c_lflag & ECHO, 0u);  // its echo is left alone
    close(otherSlave);
    close(otherMaster);
}

// Bytes that arrived before the port was opened are not taken for answers.
TEST_F(PosixSerialTest, StaleBytesBeforeOpenArePurged) {
    ASSERT_EQ(write(master_, "stale\n", 6), 6);
    ASSERT_EQ(SerialOpen(path_.c_str(), 38400), 1);
    ASSERT_EQ(write(master_, "\x06\x15", 2), 2);
    uint8_t in[2] = {};
    uint32_t count = 0;
    ASSERT_EQ(SerialRead(in, 2, &count), 1);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(in[0], 0x06);
    EXPECT_EQ(in[1], 0x15);
}

// Real time: a gap of 2 s after a byte ends a read at the gap time-out, long
// before its total time-out (2000 + 4 x 1000 ms). The second byte is sent
// only if the read is still waiting 4 s on: a read that ignores the gap then
// takes it, however slow the machine, and one that keeps the gap never sees it.
TEST_F(PosixSerialTest, GapBetweenBytesEndsARead) {
    ASSERT_EQ(SerialOpen(path_.c_str(), 38400), 1);
    ASSERT_EQ(write(master_, "A", 1), 1);
    std::promise<void> readEnded;
    std::future<void> ended = readEnded.get_future();
    const int master = master_;
    std::thread peer([master, &ended] {
        if (ended.wait_for(std::chrono::seconds(4)) != std::future_status::ready) {
            (void)!write(master, "B", 1);
        }
    });
    uint8_t buffer[1000];
    uint32_t count = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialRead(buffer, sizeof buffer, &count), 1);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    readEnded.set_value();
    peer.join();
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 'A');
    // The gap is counted from the byte, which was there before the read began.
    EXPECT_GE(elapsed, 1995);
    EXPECT_LT(elapsed, 4000);
}

}  // namespace
