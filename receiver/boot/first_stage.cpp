// SPDX-License-Identifier: Apache-2.0
// The first stage: identifies the chip and its oscillator, sets up the clock
// and the line rate, takes the flash agent into RAM and starts it.
#include <algorithm>
#include <cstdio>

#include "receiver/boot/clock_board.h"
#include "receiver/line/uart.h"
#include "receiver/state.h"

namespace {

// RAM the agent is loaded into, from address 0.
constexpr uint32_t AGENT_RAM_BYTES = 0x10000;

}  // namespace

void ReceiverState::FirstStageFrame(uint32_t n, const uint8_t* payload, size_t length,
                                    double done) {
    SimReader r(payload, length);
    uint8_t code = 0;
    r.U8(&code);
    const uint32_t ack = config.ackDelayMs;
    switch (code) {
        case 42:  // QueryChipId
            if (!r.AtEnd()) break;
            Respond(n, done, ack, std::vector<uint8_t>{43, config.chipId});
            return;
        case 44:  // QueryVariant
            if (!r.AtEnd()) break;
            Respond(n, done, ack,
                    std::vector<uint8_t>{45, BoardVariant(config.chipId, config.wordA)});
            return;
        case 46:
        case 48: {  // QueryConfigWordA / B
            if (!r.AtEnd()) break;
            const uint16_t word = code == 46 ? config.wordA : config.wordB;
            Respond(
                n, done, ack,
                std::vector<uint8_t>{static_cast<uint8_t>(code + 1),
                                     static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)});
            return;
        }
        case 38: {  // ConfigureAlternate
            uint8_t value = 0;
            if (!r.U8(&value) || !r.AtEnd()) break;
            clock.alternateValue = value;
            Respond(n, done, ack, std::vector<uint8_t>{39});
            return;
        }
        case 40: {  // ConfigureClock
            uint16_t divisor = 0;
            uint8_t count = 0;
            const uint8_t* data = nullptr;
            if (!r.U16(&divisor) || !r.U8(&count) || !r.Bytes(8, &data) || !r.AtEnd()) break;
            ++clock.configureClockCalls;
            clock.byteCount = count;
            std::copy(data, data + 8, clock.data.begin());
            clock.divisor = divisor;
            clock.hz = count <= 8 ? SynthesizerFrequency(count, data) : 0;
            // The system clock follows the synthesizer: set up for another
            // oscillator than the board's, every rate is off by their ratio.
            const uint32_t board = BoardReferenceHz(config.chipId, config.wordA, config.wordB);
            clockScale = (clock.hz != 0 && board != 0) ? double(board) / clock.hz : 1.0;
            char line[64];
            std::snprintf(line, sizeof line, "  synthesizer set for %u Hz (%u bytes)", clock.hz,
                          count);
            Log(line);
            SetDivisor(divisor);
            Respond(n, done, ack, std::vector<uint8_t>{41}, 2);
            return;
        }
        case 0: {  // SetBaud: answered at the old rate, then the divisor is loaded
            uint32_t baud = 0;
            uint16_t divisor = 0;
            if (!r.U32(&baud) || !r.U16(&divisor) || !r.AtEnd()) break;
            const bool answered = Respond(n, done, ack, std::vector<uint8_t>{1});
            AfterAcknowledgement(answered, AfterAck::LoadDivisor, divisor);
            return;
        }
        case 2: {  // WriteAgentBlock
            uint32_t offset = 0;
            if (!r.U32(&offset) || r.AtEnd()) break;
            const size_t count = length - 5;
            if (count > 1280) break;
            // Only the agent's RAM is there to write: a block outside it is
            // neither stored nor answered.
            if (uint64_t{offset} + count > AGENT_RAM_BYTES) {
                Log("  block outside the agent's RAM ignored");
                break;
            }
            if (agentMemory.size() < offset + count) agentMemory.resize(offset + count, 0);
            std::copy(payload + 5, payload + length, agentMemory.begin() + offset);
            Respond(n, done, ack, std::vector<uint8_t>{3});
            return;
        }
        case 4: {  // StartAgent
            uint32_t address = 0;
            if (!r.U32(&address) || !r.AtEnd()) break;
            if (address != 0 || agentMemory.empty()) {
                // Jumped to no program: the first stage acknowledged, then nothing.
                Respond(n, done, ack, std::nullopt);
                stage = ReceiverStage::Hung;
                return;
            }
            stage = ReceiverStage::Agent;
            open = false;
            Respond(n, done, ack, std::vector<uint8_t>{5}, 1);
            return;
        }
        default:
            break;
    }
    Respond(n, done, ack, std::nullopt);
}

void ReceiverState::SetDivisor(uint16_t divisor) {
    uartRate = divisor == 0 ? 0 : UART_CLOCK_HZ * clockScale / divisor;
    char line[64];
    std::snprintf(line, sizeof line, "  UART now %.1f baud", uartRate);
    Log(line);
}
