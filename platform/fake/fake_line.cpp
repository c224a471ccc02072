// SPDX-License-Identifier: Apache-2.0
#include "platform/fake/fake_line.h"

#include <algorithm>
#include <deque>

namespace {

struct Arrival {
    uint8_t byte;
    uint64_t atMs;
};

struct LineState {
    uint64_t now = 0;
    std::deque<Arrival> toHost;
    std::vector<uint8_t> hostBytes;
    size_t hostTaken = 0;
    FakeLinePeer peer;
    bool open = false;
    std::string device;
    uint32_t baud = 0;
    int openCalls = 0, setBaudCalls = 0, readCalls = 0, writeCalls = 0, closeCalls = 0;
    bool failOpen = false;
    uint32_t refusedBaud = 0;
    int shortWriteAt = 0, failWriteAt = 0, shortReadAt = 0;
    bool linesRefused = false;
    uint32_t lines = SERIAL_LINE_DTR | SERIAL_LINE_RTS;  // asserted at open
    std::vector<FakeLineChange> lineChanges;
};

LineState Line;

int FakeOpen(const char* deviceName, uint32_t baud) {
    ++Line.openCalls;
    if (Line.failOpen) return 0;
    Line.open = true;
    Line.device = deviceName;
    Line.baud = baud;
    // Opening purges both directions.
    Line.toHost.clear();
    return 1;
}

int FakeSetBaud(uint32_t baud) {
    ++Line.setBaudCalls;
    if (!Line.open || (Line.refusedBaud != 0 && baud == Line.refusedBaud)) return 0;
    Line.baud = baud;
    return 1;
}

int FakeRead(uint8_t* buffer, uint32_t length, uint32_t* count) {
    ++Line.readCalls;
    *count = 0;
    if (!Line.open) return 0;
    const uint64_t start = Line.now;
    const uint64_t totalDeadline =
        start + SERIAL_READ_CONSTANT_MS + uint64_t{SERIAL_READ_MULTIPLIER_MS} * length;
    uint32_t limit = length;
    if (Line.readCalls == Line.shortReadAt && limit > 0) --limit;
    uint32_t got = 0;
    uint64_t lastByte = start;
    while (got < limit) {
        uint64_t deadline = totalDeadline;
        if (got > 0) deadline = std::min(deadline, lastByte + SERIAL_READ_INTERVAL_MS);
        if (Line.toHost.empty() || Line.toHost.front().atMs > deadline) {
            // Nothing more within the time-outs: the read returns what it has.
            if (got < length) Line.now = std::max(Line.now, deadline);
            break;
        }
        const Arrival next = Line.toHost.front();
        Line.toHost.pop_front();
        Line.now = std::max(Line.now, next.atMs);
        lastByte = Line.now;
        buffer[got++] = next.byte;
    }
    *count = got;
    return 1;
}

int FakeWrite(const uint8_t* buffer, uint32_t length, uint32_t* count) {
    ++Line.writeCalls;
    *count = 0;
    if (!Line.open || Line.writeCalls == Line.failWriteAt) return 0;
    uint32_t written = length;
    if (Line.writeCalls == Line.shortWriteAt && written > 0) --written;
    Line.hostBytes.insert(Line.hostBytes.end(), buffer, buffer + written);
    *count = written;
    if (Line.peer && written > 0) {
        // Copy first: the peer may reset the line's records.
        const std::vector<uint8_t> sent(buffer, buffer + written);
        Line.peer(sent.data(), sent.size());
    }
    return 1;
}

void FakeClose() {
    ++Line.closeCalls;
    Line.open = false;
    Line.baud = 0;
}

int FakeSetLines(uint32_t which, uint32_t asserted) {
    if (!Line.open || Line.linesRefused) return 0;
    Line.lines = (Line.lines & ~which) | (asserted & which);
    Line.lineChanges.push_back(FakeLineChange{which, asserted & which, Line.now});
    return 1;
}

uint64_t FakeNow() {
    return Line.now;
}
void FakeSleep(uint32_t milliseconds) {
    Line.now += milliseconds;
}

const SerialOps FakeSerialTable{FakeOpen,  FakeSetBaud, FakeRead,
                                FakeWrite, FakeClose,   FakeSetLines};
const ClockOps FakeClockTable{FakeNow, FakeSleep};

}  // namespace

const SerialOps& FakeSerialOps() {
    return FakeSerialTable;
}
const ClockOps& FakeClockOps() {
    return FakeClockTable;
}

void FakeLineReset() {
    Line = LineState{};
    PlatformInstall(
        PlatformOps{&FakeSerialTable, &FakeClockTable, nullptr, nullptr, nullptr, nullptr});
}

uint64_t FakeClockNow() {
    return Line.now;
}
void FakeClockAdvance(uint64_t milliseconds) {
    Line.now += milliseconds;
}

void FakeLineSend(const uint8_t* data, size_t count, uint64_t delayMs) {
    uint64_t at = Line.now + delayMs;
    if (!Line.toHost.empty()) at = std::max(at, Line.toHost.back().atMs);
    for (size_t i = 0; i < count; ++i) Line.toHost.push_back(Arrival{data[i], at});
}

void FakeLineSend(const std::vector<uint8_t>& data, uint64_t delayMs) {
    FakeLineSend(data.data(), data.size(), delayMs);
}

void FakeLineSetPeer(FakeLinePeer peer) {
    Line.peer = std::move(peer);
}
size_t FakeLinePending() {
    return Line.toHost.size();
}
void FakeLineDiscardPending() {
    Line.toHost.clear();
}

const std::vector<uint8_t>& FakeLineHostBytes() {
    return Line.hostBytes;
}

std::vector<uint8_t> FakeLineTakeHostBytes() {
    std::vector<uint8_t> taken(Line.hostBytes.begin() + static_cast<std::ptrdiff_t>(Line.hostTaken),
                               Line.hostBytes.end());
    Line.hostTaken = Line.hostBytes.size();
    return taken;
}

bool FakeLineIsOpen() {
    return Line.open;
}
const std::string& FakeLineDeviceName() {
    return Line.device;
}
uint32_t FakeLineHostBaud() {
    return Line.baud;
}
int FakeLineOpenCalls() {
    return Line.openCalls;
}
int FakeLineSetBaudCalls() {
    return Line.setBaudCalls;
}
int FakeLineReadCalls() {
    return Line.readCalls;
}
int FakeLineWriteCalls() {
    return Line.writeCalls;
}
int FakeLineCloseCalls() {
    return Line.closeCalls;
}

void FakeLineRefuseLines(bool refuse) {
    Line.linesRefused = refuse;
}
uint32_t FakeLineLines() {
    return Line.lines;
}
const std::vector<FakeLineChange>& FakeLineLineChanges() {
    return Line.lineChanges;
}

void FakeLineFailOpen(bool fail) {
    Line.failOpen = fail;
}
void FakeLineRefuseBaud(uint32_t baud) {
    Line.refusedBaud = baud;
}
void FakeLineShortWriteAt(int writeCall) {
    Line.shortWriteAt = writeCall;
}
void FakeLineFailWriteAt(int writeCall) {
    Line.failWriteAt = writeCall;
}
void FakeLineShortReadAt(int readCall) {
    Line.shortReadAt = readCall;
}
