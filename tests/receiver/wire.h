// SPDX-License-Identifier: Apache-2.0
// A scripted host for the simulated receiver over the in-memory line: frames
// are built and read here byte by byte, independent of the host's own code.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fake/fake_line.h"
#include "receiver/receiver.h"
#include "tests/support/receiver_attach.h"

// Payload builder, big-endian.
struct Payload {
    std::vector<uint8_t> bytes;
    Payload& U8(uint32_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    Payload& U16(uint32_t v) { return U8(v >> 8).U8(v); }
    Payload& U32(uint32_t v) { return U16(v >> 16).U16(v); }
    Payload& Str(const std::string& s) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return U8(0);
    }
    Payload& Bytes(const std::vector<uint8_t>& b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
};

inline std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f(payload.size() + 2);
    f[0] = static_cast<uint8_t>(payload.size() >> 8);
    f[1] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), f.begin() + 2);
    unsigned sum = 0;
    for (uint8_t b : f) sum += b;
    f.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    return f;
}

inline uint32_t BigEndian(const std::vector<uint8_t>& b, size_t at, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | b.at(at + i);
    return v;
}

// What came back for one request.
struct Reply {
    int ack = -1;           // the byte after the request, -1 when none came
    bool answered = false;  // a whole answer frame arrived
    bool checksumOk = false;
    std::vector<uint8_t> payload;  // the answer's payload
    uint64_t ackAtMs = 0;          // virtual time at which the ACK was read
    uint64_t answerAtMs = 0;       // ... and the answer's last byte

    uint32_t Status() const { return BigEndian(payload, 1, 4); }
};

class Wire {
  public:
    explicit Wire(ReceiverConfig config = {}) : receiver(std::move(config)) {
        FakeLineReset();
        FakeSerialOps().open("COM9", 38400);
        AttachReceiverToFakeLine(receiver);
    }
    ~Wire() { FakeLineSetPeer(nullptr); }

    void SetBaud(uint32_t baud) { FakeSerialOps().setBaud(baud); }

    void SendRaw(const std::vector<uint8_t>& bytes) {
        uint32_t count = 0;
        FakeSerialOps().write(bytes.data(), static_cast<uint32_t>(bytes.size()), &count);
    }

    // Reads up to n bytes as they arrive (the fake port's time-outs apply).
    std::vector<uint8_t> Read(uint32_t n) {
        std::vector<uint8_t> got(n);
        uint32_t count = 0;
        FakeSerialOps().read(got.data(), n, &count);
        got.resize(count);
        return got;
    }

    // One request: frame, the acknowledgement, the answer (acknowledged).
    Reply Exchange(const std::vector<uint8_t>& payload, bool ackAnswer = true) {
        SendRaw(Frame(payload));
        Reply reply;
        const std::vector<uint8_t> ack = Read(1);
        if (ack.empty()) return reply;
        reply.ack = ack[0];
        reply.ackAtMs = FakeClockNow();
        if (reply.ack != 0x06) return reply;
        const std::vector<uint8_t> head = Read(2);
        if (head.size() != 2) return reply;
        const uint32_t length = BigEndian(head, 0, 2);
        if (length > 1287) {
            reply.payload = head;  // refused unread, as the host does
            return reply;
        }
        std::vector<uint8_t> rest = Read(length + 1);
        if (rest.size() != length + 1) return reply;
        reply.answered = true;
        reply.answerAtMs = FakeClockNow();
        unsigned sum = head[0] + head[1];
        for (uint8_t b : rest) sum += b;
        reply.checksumOk = (sum & 0xFF) == 0;
        rest.pop_back();
        reply.payload = rest;
        if (ackAnswer) SendRaw({static_cast<uint8_t>(reply.checksumOk ? 0x06 : 0x15)});
        return reply;
    }

    Reply Exchange(const Payload& p) { return Exchange(p.bytes); }

    // Boot ROM to running agent, as a host does it (clock for 16369000 Hz,
    // fractional form; 115200 baud with the divisor of a chip-48 receiver).
    void BootToAgent(uint16_t divisor = 428) {
        std::vector<uint8_t> image(1200);
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
        Exchange(LoadFirstStage(image));
        Exchange(Payload{}.U8(42));
        Exchange(Payload{}.U8(40).U16(0x0500).U8(7).Bytes(
            {0x00, 0x00, 0x00, 0x0B, 0xA3, 0x27, 0xDD, 0x00}));
        Exchange(Payload{}.U8(0).U32(115200).U16(divisor));
        SetBaud(115200);
        for (uint32_t offset = 0; offset < 3000; offset += 1280) {
            const uint32_t n = std::min<uint32_t>(1280, 3000 - offset);
            Exchange(Payload{}.U8(2).U32(offset).Bytes(std::vector<uint8_t>(n, 0xA5)));
        }
        Exchange(Payload{}.U8(4).U32(0));
    }

    static Payload LoadFirstStage(const std::vector<uint8_t>& image) {
        Payload p;
        p.U8(0x24).U8(0x53).U8(0).U32(static_cast<uint32_t>(image.size())).Bytes(image).U32(0);
        return p;
    }

    // EPOpen on chip select 0, base 0, masks 0.
    Reply Open(uint32_t cs = 0, uint32_t base = 0, uint32_t m1 = 0, uint32_t m2 = 0) {
        return Exchange(Payload{}.U8(6).U32(cs).U32(base).U32(m1).U32(m2));
    }

    Receiver receiver;
};
