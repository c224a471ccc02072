// SPDX-License-Identifier: Apache-2.0
// The trace in process: each way an exchange can end gives its line, from the
// serial calls alone, over a scripted line.
#include "app/cli/trace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

// What the far end gives each read, in order; an empty chunk is a time-out.
std::deque<std::vector<uint8_t>> Reads;
bool LinesWork = false;

int InnerOpen(const char*, uint32_t) {
    return 1;
}
int InnerSetBaud(uint32_t) {
    return 1;
}
int InnerRead(uint8_t* buffer, uint32_t length, uint32_t* count) {
    *count = 0;
    if (Reads.empty()) return 1;
    const std::vector<uint8_t> chunk = Reads.front();
    Reads.pop_front();
    *count = static_cast<uint32_t>(std::min<size_t>(chunk.size(), length));
    if (*count != 0) std::memcpy(buffer, chunk.data(), *count);
    return 1;
}
int InnerWrite(const uint8_t*, uint32_t length, uint32_t* count) {
    *count = length;
    return 1;
}
void InnerClose() {}
int InnerSetLines(uint32_t, uint32_t) {
    return LinesWork ? 1 : 0;
}
const SerialOps Inner{InnerOpen, InnerSetBaud, InnerRead, InnerWrite, InnerClose, InnerSetLines};

// A CheckBlank request of address 0 and length 482008, framed.
std::vector<uint8_t> CheckBlankFrame() {
    return {0x00, 0x09, 24, 0, 0, 0, 0, 0x00, 0x07, 0x5A, 0xD8, 0x00};
}

std::string Trace(const std::vector<std::vector<uint8_t>>& reads, uint8_t ourAck) {
    Reads.assign(reads.begin(), reads.end());
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    const SerialOps& ops = TraceSerialOps(Inner, out);
    ops.open("tty", 115200);
    const std::vector<uint8_t> frame = CheckBlankFrame();
    uint32_t count = 0;
    ops.write(frame.data(), static_cast<uint32_t>(frame.size()), &count);
    uint8_t buffer[64];
    if (ops.read(buffer, 1, &count) != 0 && count == 1 && buffer[0] == 0x06) {
        if (ops.read(buffer, 2, &count) != 0 && count == 2) {
            const uint32_t length = uint32_t{buffer[0]} << 8 | buffer[1];
            if (ops.read(buffer, length + 1, &count) != 0 && count == length + 1) {
                ops.write(&ourAck, 1, &count);
            }
        }
    }
    ops.close();
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

TEST(TraceTest, EachEndOfAnExchangeHasItsLine) {
    struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> reads;
        uint8_t ourAck;
        const char* ends;
    };
    const Case cases[] = {
        {"answered",
         {{0x06}, {0x00, 0x05}, {25, 0, 0, 0, 0, 0xE7}},
         0x06,
         "-> ACK, answer 25 status 0\n"},
        {"our NAK",
         {{0x06}, {0x00, 0x05}, {25, 0, 0, 0, 0, 0x00}},
         0x15,
         "-> ACK, answer 25 status 0, bad checksum (NAK sent)\n"},
        {"NAK", {{0x15}}, 0x06, "-> NAK\n"},
        {"no ACK", {{}}, 0x06, "-> time-out waiting for ACK\n"},
        {"other byte", {{0x42}}, 0x06, "-> neither ACK nor NAK: 0x42\n"},
        {"no answer", {{0x06}, {}}, 0x06, "-> ACK, time-out: no answer\n"},
        {"short answer",
         {{0x06}, {0x00, 0x05}, {25, 0}},
         0x06,
         "-> ACK, short frame: 2 of 6 bytes (time-out)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string line = Trace(c.reads, c.ourAck);
        EXPECT_NE(line.find(" 24 CheckBlank address 0x00000000 length 482008 "), std::string::npos)
            << line;
        EXPECT_NE(line.find(c.ends), std::string::npos) << line;
        EXPECT_EQ(TraceLines(), 1u);
    }
}

TEST(TraceTest, LineChangesRetriesAndLostLinesAreTold) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    const SerialOps& ops = TraceSerialOps(Inner, out);
    ops.open("tty", 38400);
    LinesWork = true;
    ops.setLines(1 | 2, 1);
    LinesWork = false;
    ops.setLines(2, 0);
    TraceRetry(26, 1, "NAK");
    ops.close();
    std::fclose(out);
    const std::string trace(text, size);
    std::free(text);
    EXPECT_NE(trace.find("lines dtr -rts\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("lines -rts -> refused by the port\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("retry 1 of SetProgramBufferSize after NAK\n"), std::string::npos)
        << trace;

    // A trace to a full device keeps the first error for the run to tell.
    FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    const SerialOps& lost = TraceSerialOps(Inner, full);
    lost.open("tty", 38400);
    TraceRetry(6, 1, "no ACK");
    EXPECT_EQ(TraceWriteError(), ENOSPC);
    std::fclose(full);
}

}  // namespace
