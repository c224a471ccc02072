// SPDX-License-Identifier: Apache-2.0
// A host that means harm, or is simply broken, cannot crash, hang or swell
// the simulated receiver: every request's memory and work are bounded.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/posix/posix.h"
#include "receiver/pty/pty_receiver.h"
#include "tests/receiver/wire.h"

namespace {

Payload WriteAgentBlock(uint32_t offset, uint32_t count) {
    return Payload{}.U8(2).U32(offset).Bytes(std::vector<uint8_t>(count, 0x5A));
}

TEST(ReceiverHostile, AgentBlocksOutsideItsRamAreNotStored) {
    struct Case {
        uint32_t offset, count;
        bool stored;
    };
    const Case cases[] = {
        {0xFB00, 1280, true},       // ends at the last byte of the RAM
        {0xFB01, 1280, false},      // one byte past it
        {0xFFFFF000, 1280, false},  // would wrap a 32-bit end address
        {0xFFFFFFFF, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        Wire wire;
        wire.Exchange(Wire::LoadFirstStage({1, 2, 3}));
        const Reply reply = wire.Exchange(WriteAgentBlock(c.offset, c.count));
        EXPECT_EQ(reply.ack, 0x06);
        EXPECT_EQ(reply.answered, c.stored);
        EXPECT_EQ(wire.receiver.AgentMemory().size(), c.stored ? c.offset + c.count : 0u);
        // The first stage goes on serving.
        EXPECT_EQ(wire.Exchange(Payload{}.U8(42)).payload, (std::vector<uint8_t>{43, 48}));
    }
}

// An EPOpenWithInfo for the part on the bus, but of another size.
Payload OpenWithSize(uint32_t sectors, uint32_t sectorSize) {
    const FlashPart& p = *FindFlashPart("AM29LV400BB");
    return Payload{}
        .U8(32)
        .U32(0)
        .U32(0)
        .U32(0)
        .U32(0)
        .Str(p.name)
        .Str(p.maker)
        .U16(p.deviceId)
        .U16(p.makerId)
        .U32(sectors * sectorSize)
        .U8(1)
        .U32(sectors)
        .U32(sectorSize)
        .U8('A')
        .U16(0);
}

TEST(ReceiverHostile, PartsLargerThanTheFlashAreRefusedAndNoRequestRunsLong) {
    struct Case {
        uint32_t sectors, sectorSize, status;
    };
    // The flash on the bus has 0x80000 bytes.
    for (const Case c : {Case{0xFFFF, 0x10000, 18}, Case{16, 0x10000, 18}, Case{8, 0x10000, 0}}) {
        SCOPED_TRACE(c.sectors);
        Wire wire;
        wire.BootToAgent();
        EXPECT_EQ(wire.Exchange(OpenWithSize(c.sectors, c.sectorSize)).Status(), c.status);
        // A CRC over the whole range claimed: refused unless it is the
        // flash, which is then summed at once.
        const auto start = std::chrono::steady_clock::now();
        const Reply crc =
            wire.Exchange(Payload{}.U8(30).U32(0).U32(c.sectors * c.sectorSize).U16(0xFFFF));
        EXPECT_EQ(crc.Status(), c.status == 0 ? 0u : 6u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

// The receiver behind its pseudo-terminal, given requests by a host that
// never reads the answers.
TEST(ReceiverHostile, AnswersANonReadingHostCannotSwellItsMemory) {
    PtyReceiver receiver;
    std::string error;
    ASSERT_TRUE(receiver.Start(ReceiverConfig{}, &error)) << error;
    const SerialOps& port = PosixSerialOps();
    ASSERT_EQ(port.open(receiver.SlavePath().c_str(), 38400), 1);
    std::vector<uint8_t> requests = Frame(Wire::LoadFirstStage({1}).bytes);
    for (const Payload& p : {WriteAgentBlock(0, 16), Payload{}.U8(4).U32(0),
                             Payload{}.U8(6).U32(0).U32(0).U32(0).U32(0)}) {
        const std::vector<uint8_t> f = Frame(p.bytes);
        requests.insert(requests.end(), f.begin(), f.end());
    }
    // 600 reads of 1280 bytes: some 770 KB of answers.
    const std::vector<uint8_t> read = Frame(Payload{}.U8(10).U32(0).U32(1280).bytes);
    for (int i = 0; i < 600; ++i) requests.insert(requests.end(), read.begin(), read.end());
    uint32_t count = 0;
    ASSERT_EQ(port.write(requests.data(), static_cast<uint32_t>(requests.size()), &count), 1);
    ASSERT_EQ(count, requests.size());
    uint32_t frames = 0;
    for (int i = 0; i < 400 && frames < 604; ++i) {
        receiver.WithReceiver([&frames](Receiver& r) { frames = r.Counters().frames; });
        if (frames < 604) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(frames, 604u);
    EXPECT_LE(receiver.QueuedBytes(), 64u * 1024);
    EXPECT_GT(receiver.Timing().droppedBytes, 500u * 1024);
    port.close();
    receiver.Stop();
}

std::string Program() {
    return ZELVAR_RECEIVER_PROGRAM;
}

TEST(ReceiverHostile, TheProgramStopsOnSigtermWhateverTheHostAsked) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execl(Program().c_str(), "zelvar-receiver", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char line[256] = {};
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof line - 1) && (got == 0 || line[got - 1] != '\n')) {
        const ssize_t n = read(out[0], line + got, sizeof line - 1 - got);
        if (n <= 0) break;
        got += n;
    }
    close(out[0]);
    std::string slave(line, static_cast<size_t>(got));
    slave.erase(slave.find_last_not_of('\n') + 1);

    // A whole part of 4 GiB claimed, then a CRC over all of it: the request
    // that once held the receiver for ever.
    const SerialOps& port = PosixSerialOps();
    ASSERT_EQ(port.open(slave.c_str(), 38400), 1);
    std::vector<uint8_t> requests;
    for (const Payload& p :
         {Wire::LoadFirstStage({1}), WriteAgentBlock(0, 16), Payload{}.U8(4).U32(0),
          OpenWithSize(0xFFFF, 0x10000), Payload{}.U8(30).U32(0).U32(0xFFFF0000).U16(0xFFFF)}) {
        const std::vector<uint8_t> f = Frame(p.bytes);
        requests.insert(requests.end(), f.begin(), f.end());
    }
    uint32_t count = 0;
    ASSERT_EQ(port.write(requests.data(), static_cast<uint32_t>(requests.size()), &count), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    port.close();
    EXPECT_EQ(done, pid) << "still running a second after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
