// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: the simulated receiver fed whatever a host may send.
//
// The first input byte sets the scene: bit 0 starts from a running agent with
// the part open (the boot frames are sent first), bit 1 a 32-bit bus, bit 2
// wire timing, bits 3-4 the host's rate. The rest is a list of steps, each an
// op byte and its operands:
//   op & 3 == 0: a frame; its payload length is the next byte (two bytes when
//                op & 4), the payload follows, and the checksum is made good
//                (made bad when op & 8), so requests reach every command;
//   op & 3 == 1: raw bytes: a count byte, then that many bytes;
//   op & 3 == 2: time passes (the next byte times 16 ms); op & 4 also changes
//                the host's rate to the one op >> 3 picks;
//   op & 3 == 3: the board: op & 4 resets into the boot ROM, op & 8 runs the
//                firmware, else the host sends ACK (NAK when op & 16).
//
// Besides the sanitizers, the receiver's memory must stay bounded whatever
// it is sent: the agent's RAM and the flash keep their sizes.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "receiver/receiver.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

constexpr uint32_t HOST_RATES[] = {38400, 115200, 0, 57600};
constexpr size_t AGENT_RAM_BYTES = 0x10000;

std::vector<uint8_t> Framed(const std::vector<uint8_t>& payload, bool good) {
    std::vector<uint8_t> frame = {static_cast<uint8_t>(payload.size() >> 8),
                                  static_cast<uint8_t>(payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    unsigned sum = 0;
    for (uint8_t b : frame) sum += b;
    frame.push_back(static_cast<uint8_t>((0x100 - (sum & 0xFF)) ^ (good ? 0 : 1)));
    return frame;
}

// Input cursor: reads past the end give zeros and stop the loop.
struct Cursor {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool More() const { return pos < size; }
    uint8_t Byte() { return pos < size ? data[pos++] : 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Cursor in{data, size};
    const uint8_t scene = in.Byte();
    ReceiverConfig config;
    config.busWidth = (scene & 2) != 0 ? 32 : 16;
    config.wireTiming = (scene & 4) != 0;
    Receiver receiver(config);
    Check(receiver.Ok());
    const size_t flashSize = receiver.Flash().size();
    uint64_t sent = 0;
    receiver.SetOutput([&sent](const uint8_t*, size_t count, uint64_t) { sent += count; });

    uint64_t now = 0;
    uint32_t baud = HOST_RATES[(scene >> 3) & 3];
    const auto send = [&](const std::vector<uint8_t>& bytes) {
        receiver.Input(bytes.data(), bytes.size(), now, baud);
        now += 1;
    };
    if ((scene & 1) != 0) {
        // Boot ROM, first stage, agent: at the boot ROM's rate throughout.
        baud = 38400;
        send(Framed({0x24, 0x53, 0, 0, 0, 0, 1, 0xAA, 0, 0, 0, 0}, true));
        send({0x06});
        send(Framed({2, 0, 0, 0, 0, 1, 2, 3, 4}, true));
        send({0x06});
        send(Framed({4, 0, 0, 0, 0}, true));
        send({0x06});
        send(Framed({6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true));
        send({0x06});
    }
    while (in.More()) {
        const uint8_t op = in.Byte();
        switch (op & 3) {
            case 0: {
                size_t length = in.Byte();
                if ((op & 4) != 0) length = length << 8 | in.Byte();
                std::vector<uint8_t> payload;
                for (size_t i = 0; i < length && in.More(); ++i) payload.push_back(in.Byte());
                send(Framed(payload, (op & 8) == 0));
                break;
            }
            case 1: {
                const size_t count = in.Byte();
                std::vector<uint8_t> raw;
                for (size_t i = 0; i < count && in.More(); ++i) raw.push_back(in.Byte());
                send(raw);
                break;
            }
            case 2:
                now += uint64_t{in.Byte()} * 16;
                if ((op & 4) != 0) baud = HOST_RATES[(op >> 3) & 3];
                break;
            default:
                if ((op & 4) != 0) {
                    receiver.EnterBootRom();
                } else if ((op & 8) != 0) {
                    receiver.RunFirmware();
                } else {
                    send({static_cast<uint8_t>((op & 16) != 0 ? 0x15 : 0x06)});
                }
                break;
        }
        Check(receiver.AgentMemory().size() <= AGENT_RAM_BYTES);
        Check(receiver.Flash().size() == flashSize);
    }
    return 0;
}
