// SPDX-License-Identifier: Apache-2.0
// The receiver behind a real pseudo-terminal, and the program around it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/posix/posix.h"
#include "receiver/pty/pty_receiver.h"
#include "tests/receiver/wire.h"

namespace {

// A host on a real serial device, framing by hand.
Reply PtyExchange(const std::vector<uint8_t>& payload) {
    const SerialOps& port = PosixSerialOps();
    const std::vector<uint8_t> frame = Frame(payload);
    uint32_t count = 0;
    Reply reply;
    if (!port.write(frame.data(), static_cast<uint32_t>(frame.size()), &count)) return reply;
    uint8_t head[2] = {};
    if (!port.read(head, 1, &count) || count != 1) return reply;
    reply.ack = head[0];
    if (!port.read(head, 2, &count) || count != 2) return reply;
    const uint32_t length = uint32_t{head[0]} << 8 | head[1];
    std::vector<uint8_t> rest(length + 1);
    if (!port.read(rest.data(), length + 1, &count) || count != length + 1) return reply;
    unsigned sum = head[0] + head[1];
    for (uint8_t b : rest) sum += b;
    reply.answered = true;
    reply.checksumOk = (sum & 0xFF) == 0;
    rest.pop_back();
    reply.payload = rest;
    const uint8_t ack = 0x06;
    port.write(&ack, 1, &count);
    return reply;
}

TEST(ReceiverPty, ServesAHostThroughTheBaudSwitchAndAReopen) {
    PtyReceiver receiver;
    std::string error;
    ASSERT_TRUE(receiver.Start(ReceiverConfig{}, &error)) << error;
    const SerialOps& port = PosixSerialOps();
    ASSERT_EQ(port.open(receiver.SlavePath().c_str(), 38400), 1);
    EXPECT_EQ(PtyExchange(Wire::LoadFirstStage({1, 2, 3}).bytes).payload,
              (std::vector<uint8_t>{0x25, 0xFA}));
    EXPECT_EQ(PtyExchange({42}).payload, (std::vector<uint8_t>{43, 48}));
    const Reply baud = PtyExchange(Payload{}.U8(0).U32(115200).U16(432).bytes);
    EXPECT_EQ(baud.ack, 0x06);
    EXPECT_EQ(baud.payload, (std::vector<uint8_t>{1}));
    ASSERT_EQ(port.setBaud(115200), 1);
    EXPECT_EQ(PtyExchange({42}).payload, (std::vector<uint8_t>{43, 48}));
    // The rate the host set on its side is the rate its bytes crossed at.
    // The serving thread takes the last acknowledgement in its own time.
    bool allIn = false;
    for (int i = 0; i < 200 && !allIn; ++i) {
        receiver.WithReceiver([&allIn](Receiver& r) { allIn = r.Counters().hostAcks == 4; });
        if (!allIn) usleep(5000);
    }
    receiver.WithReceiver([](Receiver& r) {
        // The acknowledgement just before the host's switch may be read after it.
        const auto& in = r.Counters().bytesFromHost;
        EXPECT_EQ(in.at(38400) + in.at(115200), 17u + 1 + 4 + 1 + 10 + 1 + 4 + 1);
        EXPECT_GE(in.at(115200), 4u + 1);
        EXPECT_EQ(r.Counters().hostAcks, 4u);
        EXPECT_NEAR(r.UartRate(), 113673.6, 0.1);
    });
    port.close();

    // The line stays usable: a new host after a reset of the receiver.
    receiver.EnterBootRom();
    ASSERT_EQ(port.open(receiver.SlavePath().c_str(), 38400), 1);
    EXPECT_EQ(PtyExchange(Wire::LoadFirstStage({4}).bytes).payload,
              (std::vector<uint8_t>{0x25, 0xFC}));
    port.close();
    receiver.Stop();
}

// Behind a modelled USB adapter the answers wait for its latency timer: a
// host that asks again as soon as it has its answer meets every tick, so each
// exchange after the first takes one period.
TEST(ReceiverPty, AdapterLatencyHoldsAnswersUntilTheTimerFires) {
    constexpr uint32_t PERIOD_MS = 30;
    constexpr int EXCHANGES = 5;
    ReceiverConfig config;
    config.adapterLatencyMs = PERIOD_MS;
    PtyReceiver receiver;
    std::string error;
    ASSERT_TRUE(receiver.Start(config, &error)) << error;
    const SerialOps& port = PosixSerialOps();
    ASSERT_EQ(port.open(receiver.SlavePath().c_str(), 38400), 1);
    ASSERT_EQ(PtyExchange(Wire::LoadFirstStage({1, 2, 3}).bytes).payload,
              (std::vector<uint8_t>{0x25, 0xFA}));
    const auto start = std::chrono::steady_clock::now();
    std::vector<double> each;
    for (int i = 0; i < EXCHANGES; ++i) {
        const auto before = std::chrono::steady_clock::now();
        ASSERT_EQ(PtyExchange({42}).payload, (std::vector<uint8_t>{43, 48}));
        each.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
                .count());
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // Without the adapter these take about a millisecond each: the answers
    // span at least as many ticks as there are exchanges after the first.
    EXPECT_GE(ms, (EXCHANGES - 1) * PERIOD_MS - 2.0);
    // One period each, not two: the median, which a machine busy for a
    // moment does not move.
    std::sort(each.begin(), each.end());
    EXPECT_LT(each[EXCHANGES / 2], 1.5 * PERIOD_MS);
    port.close();
    receiver.Stop();
}

// A receiver running its firmware talks on its own, with no host input to
// drive it, and takes no notice of the boot ROM's frame.
TEST(ReceiverPty, RunningFirmwareTalksNmeaOnItsOwn) {
    ReceiverConfig config;
    config.runningFirmware = true;
    config.nmeaBaud = 38400;  // the host's rate, so that the text is legible
    config.nmeaPeriodMs = 20;
    PtyReceiver receiver;
    std::string error;
    ASSERT_TRUE(receiver.Start(config, &error)) << error;
    const SerialOps& port = PosixSerialOps();
    ASSERT_EQ(port.open(receiver.SlavePath().c_str(), 38400), 1);
    const std::vector<uint8_t> load = Frame(Wire::LoadFirstStage({1, 2, 3}).bytes);
    uint32_t count = 0;
    ASSERT_EQ(port.write(load.data(), static_cast<uint32_t>(load.size()), &count), 1);
    std::string text;
    int lines = 0;
    while (lines < 5) {
        uint8_t b = 0;
        ASSERT_EQ(port.read(&b, 1, &count), 1);
        ASSERT_EQ(count, 1u) << "no sentence within the read time-out";
        text.push_back(static_cast<char>(b));
        if (b == '\n') ++lines;
    }
    port.close();
    // The first line may be the tail of a sentence the open cut into.
    const size_t first = text.find('$');
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find('\x06'), std::string::npos);  // no ACK of the frame
    EXPECT_NE(text.find("$GPGGA,"), std::string::npos);
    EXPECT_NE(text.find("$GPRMC,"), std::string::npos);
    receiver.WithReceiver([](Receiver& r) {
        EXPECT_EQ(r.Stage(), ReceiverStage::Firmware);
        EXPECT_EQ(r.Counters().frames, 0u);
    });
    receiver.Stop();
}

std::string Program() {
    return ZELVAR_RECEIVER_PROGRAM;
}

int RunProgram(const std::string& arguments, std::string* output) {
    FILE* pipe = popen((Program() + " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ReceiverProgram, HelpListsTheOptionsAndBadOptionsFail) {
    std::string help;
    EXPECT_EQ(RunProgram("--help", &help), 0);
    for (const char* option : {"--link",
                               "--flash-dump",
                               "--once",
                               "--part",
                               "--bus-width",
                               "--chip-id",
                               "--word-a",
                               "--word-b",
                               "--reference-clock",
                               "--clock-failure",
                               "--flash-fill",
                               "--flash-file",
                               "--wire-timing",
                               "--nak-frame",
                               "--corrupt-answer",
                               "--drop-answer",
                               "--wrong-code",
                               "--trailing-byte",
                               "--stall",
                               "--oversize-answer",
                               "--erase-fail-sector",
                               "--write-fail-address",
                               "--crc-off-by-one",
                               "--power-loss-after-write",
                               "--device-id",
                               "--maker-id",
                               "--no-flash",
                               "--mismatched-parts",
                               "--claim-flash-size",
                               "--adapter-latency",
                               "--erase-delay-ms",
                               "--bit-error-rate",
                               "--seed",
                               "--running-firmware",
                               "--nmea-baud",
                               "--nmea-period-ms",
                               "counted from 1"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    std::string out;
    EXPECT_NE(RunProgram("--no-such-option", &out), 0);
    out.clear();
    EXPECT_NE(RunProgram("--part NOPE", &out), 0);
    EXPECT_NE(out.find("unknown flash part"), std::string::npos) << out;
    out.clear();
    EXPECT_NE(RunProgram("--chip-id 300", &out), 0);
    out.clear();
    EXPECT_NE(RunProgram("--reference-clock 33600000 --clock-form fractional", &out), 0);
}

// Runs the program with standard output thrown away: its status, and what it
// wrote on standard error.
int RunForStderr(const std::string& arguments, std::string* error) {
    const std::string file = ::testing::TempDir() + "zelvar_receiver_stderr.txt";
    const int status = std::system((Program() + " " + arguments + " >/dev/null 2>" + file).c_str());
    std::ifstream in(file);
    error->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(file.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ReceiverProgram, BadOptionsExitTwoWithAReason) {
    const struct {
        const char* arguments;
        const char* says;
    } cases[] = {
        {"--no-such-option", "--no-such-option"},
        {"stray-word", "stray-word"},
        {"--link", "--link"},
        {"--chip-id 300", "--chip-id"},
        {"--chip-id -1", "--chip-id"},
        {"--flash-fill 256", "--flash-fill"},
        {"--flash-file /nonexistent/zelvar", "/nonexistent/zelvar"},
        {"--clock-form sideways", "--clock-form"},
        {"--nak-frame x", "--nak-frame"},
        {"--claim-flash-size 0x100000000", "--claim-flash-size"},
        {"--part NOPE", "unknown flash part"},
        {"--reference-clock 33600000 --clock-form fractional", "33600000"},
        {"--clock-failure no-entry --reference-clock 13000000", "exclude each other"},
        {"--flash-fill 1 --flash-file /dev/null", "exclude each other"},
        {"--nak-frame 0", "counted from 1"},
        {"--nak-frame 4 --drop-answer 4", "two faults"},
        {"--bit-error-rate 1.5", "--bit-error-rate"},
        {"--seed -3", "--seed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        std::string error;
        EXPECT_EQ(RunForStderr(c.arguments, &error), 2);
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    std::string error;
    EXPECT_EQ(RunForStderr("--version", &error), 0);
    EXPECT_EQ(error, "");
}

TEST(ReceiverProgram, OneSessionThroughTheLinkThenExit) {
    const std::string dir = ::testing::TempDir();
    const std::string link = dir + "zelvar_receiver_link";
    const std::string dump = dir + "zelvar_receiver_dump.bin";
    unlink(link.c_str());
    unlink(dump.c_str());
    FILE* pipe = popen(
        (Program() + " --once --flash-fill 0x00 --link " + link + " --flash-dump " + dump).c_str(),
        "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
    std::string slave(line);
    slave.erase(slave.find_last_not_of('\n') + 1);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(slave, target);

    const SerialOps& port = PosixSerialOps();
    ASSERT_EQ(port.open(link.c_str(), 38400), 1);
    EXPECT_EQ(PtyExchange(Wire::LoadFirstStage({1}).bytes).ack, 0x06);
    EXPECT_EQ(PtyExchange(Payload{}.U8(2).U32(0).Bytes({1, 2, 3}).bytes).payload,
              (std::vector<uint8_t>{3}));
    EXPECT_EQ(PtyExchange(Payload{}.U8(4).U32(0).bytes).payload, (std::vector<uint8_t>{5}));
    EXPECT_EQ(PtyExchange(Payload{}.U8(6).U32(0).U32(0).U32(0).U32(0).bytes).payload.at(4), 0);
    EXPECT_EQ(PtyExchange(Payload{}.U8(12).U32(0).U32(0x4000).bytes).payload,
              Payload{}.U8(13).U32(0).bytes);
    EXPECT_EQ(PtyExchange({34}).payload, (std::vector<uint8_t>{35}));
    port.close();
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::ifstream file(dump, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 0x80000u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0x3FFF]), 0xFF);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0x4000]), 0x00);
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);  // the link goes with the program
}

TEST(ReceiverProgram, PowerLossDuringAnEraseLeavesTheSectorHalfErased) {
    const std::string dump = ::testing::TempDir() + "zelvar_receiver_erase_dump.bin";
    unlink(dump.c_str());
    FILE* pipe = popen(
        (Program() + " --once --flash-fill 0x00 --power-loss-during-erase 2 --flash-dump " + dump)
            .c_str(),
        "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
    std::string slave(line);
    slave.erase(slave.find_last_not_of('\n') + 1);

    const SerialOps& port = PosixSerialOps();
    ASSERT_EQ(port.open(slave.c_str(), 38400), 1);
    const auto toAgent = [] {
        EXPECT_EQ(PtyExchange(Wire::LoadFirstStage({1}).bytes).ack, 0x06);
        EXPECT_EQ(PtyExchange(Payload{}.U8(2).U32(0).Bytes({1, 2, 3}).bytes).ack, 0x06);
        EXPECT_EQ(PtyExchange(Payload{}.U8(4).U32(0).bytes).ack, 0x06);
        EXPECT_EQ(PtyExchange(Payload{}.U8(6).U32(0).U32(0).U32(0).U32(0).bytes).payload.at(4), 0);
    };
    toAgent();
    EXPECT_EQ(PtyExchange(Payload{}.U8(12).U32(0).U32(0x4000).bytes).payload,
              Payload{}.U8(13).U32(0).bytes);
    // The second erase: acknowledged, then silence (an answer would stand
    // before the next acknowledgement); the boot ROM takes the next first stage.
    const std::vector<uint8_t> erase = Frame(Payload{}.U8(12).U32(0x4000).U32(0x2000).bytes);
    uint32_t count = 0;
    ASSERT_EQ(port.write(erase.data(), static_cast<uint32_t>(erase.size()), &count), 1);
    uint8_t ack = 0;
    ASSERT_EQ(port.read(&ack, 1, &count), 1);
    EXPECT_EQ(ack, 0x06);
    toAgent();
    EXPECT_EQ(PtyExchange({34}).payload, (std::vector<uint8_t>{35}));
    port.close();
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::ifstream file(dump, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 0x80000u);
    const auto all = [&bytes](size_t from, size_t to, uint8_t value) {
        return std::all_of(bytes.begin() + static_cast<long>(from),
                           bytes.begin() + static_cast<long>(to),
                           [value](char b) { return static_cast<uint8_t>(b) == value; });
    };
    EXPECT_TRUE(all(0, 0x5000, 0xFF));
    EXPECT_TRUE(all(0x5000, bytes.size(), 0x00));
}

}  // namespace
