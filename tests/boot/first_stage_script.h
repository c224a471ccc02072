// SPDX-License-Identifier: Apache-2.0
// The receiver's side of the boot sequence as a script for FramePeer: the
// first stage's and the agent's answers to every boot-stage request, each one
// replaceable per request code.
#pragma once

#include <map>

#include "link/packet.h"
#include "tests/support/frame_peer.h"

struct FirstStageScript {
    uint8_t chipId = 48;
    uint8_t variant = 0;
    uint16_t wordA = 0;
    uint16_t wordB = 0;
    std::map<uint8_t, Reply> overrides;  // by request code

    Reply operator()(const Bytes& request) const {
        const uint8_t code = request.at(0);
        if (auto it = overrides.find(code); it != overrides.end()) return it->second;
        const uint8_t answer = static_cast<uint8_t>(code + 1);
        switch (code) {
            case 0x24: {  // first-stage load: checksum of the image bytes alone
                const uint32_t length = (uint32_t{request.at(3)} << 24) |
                                        (uint32_t{request.at(4)} << 16) |
                                        (uint32_t{request.at(5)} << 8) | request.at(6);
                return Answer({0x25, PacketChecksum(request.data() + 7, length)});
            }
            case 42:
                return Answer({answer, chipId});
            case 44:
                return Answer({answer, variant});
            case 46:
                return Answer(Cat({{answer}, U16(wordA)}));
            case 48:
                return Answer(Cat({{answer}, U16(wordB)}));
            default:  // SetBaud, agent blocks, start, clock, disconnect: code only
                return Answer({answer});
        }
    }
};
