// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: the receive side of the packet transport fed whatever the
// far end of the line may send.
//
// The input is the byte stream from the receiver, queued on the in-memory
// line; the host then takes frames off it until the bytes run out. The first
// input byte picks how: bare ReceivePacket calls, or whole exchanges
// (PacketTransact, which first waits for the acknowledgement of its own
// request). Time-outs cost nothing on the virtual clock.
//
// Besides the sanitizers, every call is checked against the frame rules: a
// frame is acknowledged only when all its bytes sum to 0, the reply is ACK or
// NAK and nothing else, nothing is written after a short frame, and a good
// frame's payload is what the line carried.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "link/packet.h"
#include "link/serial_port.h"
#include "platform/fake/fake_line.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// Reads every kind of field out of the answer the way the agent commands do,
// until the cursor leaves it; the codec must stay inside the buffer.
void WalkFields(uint8_t selector) {
    char text[64];
    uint8_t block[PACKET_BUFFER_SIZE];
    for (uint32_t step = 0; PacketCursorOffset() < ResponseLength() && step < PACKET_BUFFER_SIZE;
         ++step) {
        switch ((selector + step) % 5) {
            case 0:
                (void)GetU8();
                break;
            case 1:
                (void)GetU16();
                break;
            case 2:
                (void)GetU32();
                break;
            case 3:
                (void)GetString(text, sizeof text);
                break;
            default:
                GetBytes(block, (selector + step) % 97);
                break;
        }
        Check(PacketCursorOffset() <= PACKET_BUFFER_SIZE + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 64 * 1024) return 0;
    const uint8_t mode = data[0];
    const std::vector<uint8_t> stream(data + 1, data + size);

    FakeLineReset();
    PacketReset();
    SerialReset();
    Check(SerialOpen("FUZZ", 115200) == 1);
    FakeLineSend(stream.data(), stream.size());

    size_t consumed = 0;  // bytes of the stream the host has taken
    for (int call = 0; FakeLinePending() > 0 && call < 4096; ++call) {
        const size_t before = FakeLinePending();
        const size_t written = FakeLineHostBytes().size();
        uint32_t length = 0xDEADBEEF;
        int ok;
        size_t frameStart = consumed;
        if ((mode & 1) == 0) {
            ok = ReceivePacket(PacketBuffer(), &length);
        } else {
            PacketRewind();
            PutU8(static_cast<uint8_t>(mode >> 1));
            ok = PacketTransact();
            length = ResponseLength();
            // The request went out framed, then one byte came back for it.
            Check(FakeLineHostBytes().size() >= written + 4);
            frameStart = consumed + 1;
        }
        const size_t taken = before - FakeLinePending();
        Check(taken > 0);  // every call makes progress or the loop would spin
        const size_t newlyWritten = FakeLineHostBytes().size() - written;
        if (ok == 1) {
            Check(length <= PACKET_MAX_RESPONSE);
            Check(frameStart + length + 3 == consumed + taken);
            uint8_t sum = 0;
            for (size_t i = 0; i < length + 3; ++i)
                sum = static_cast<uint8_t>(sum + stream[frameStart + i]);
            Check(sum == 0);
            Check(std::memcmp(PacketBuffer(), &stream[frameStart + 2], length) == 0);
            Check(FakeLineHostBytes().back() == ACK);
            PacketRewind();
            WalkFields(static_cast<uint8_t>(length));
        } else if (newlyWritten > 0 && ((mode & 1) == 0 || newlyWritten > 4)) {
            // A whole frame arrived and was refused: NAK, and only for a bad sum.
            Check(FakeLineHostBytes().back() == NAK);
            Check(length <= PACKET_MAX_RESPONSE);
            uint8_t sum = 0;
            for (size_t i = 0; i < length + 3; ++i)
                sum = static_cast<uint8_t>(sum + stream[frameStart + i]);
            Check(sum != 0);
        }
        consumed += taken;
    }
    SerialClose();
    return 0;
}
