// SPDX-License-Identifier: Apache-2.0
// The receiver's side of the line: bytes in at the host's rate (garbled when
// the rates differ), frames taken off the line, and the ACK, NAK and answer
// bytes sent back at the times the line and the receiver's work allow.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "receiver/line/uart.h"
#include "receiver/state.h"

namespace {

// The receiver's own frame buffer holds the largest request of the system.
constexpr size_t MAX_REQUEST_PAYLOAD = 1285;
// One more than the host's buffer takes.
constexpr size_t OVERSIZE_PAYLOAD = 1288;
// How long the receiver waits for the acknowledgement of its answer.
constexpr double ACK_WAIT_MS = 2000;

}  // namespace

bool ReceiverState::HostMatches() const {
    return hostBaud == 0 || UartRatesMatch(uartRate, hostBaud, config.uartTolerance);
}

double ReceiverState::ByteMs(double rate) const {
    return rate > 0 ? 10000.0 / rate : 0;
}

// Sends bytes that are ready at readyAt (absolute ms); they leave when the
// transmitter is free and, with wire timing, take their time on the line.
void ReceiverState::Emit(const std::vector<uint8_t>& sent, double readyAt) {
    if (uartRate <= 0 || sent.empty()) return;
    const double start = std::max(readyAt, txFreeAt);
    const double end =
        start + (config.wireTiming ? static_cast<double>(sent.size()) * ByteMs(uartRate) : 0);
    txFreeAt = end;
    counters.bytesToHost[hostBaud] += sent.size();
    const std::vector<uint8_t> bytes =
        noiseToHost.On() ? noiseToHost.Apply(sent.data(), sent.size(), &counters.noiseFlipsToHost)
                         : sent;
    if (!out && !outAt) return;
    const double rel = std::max(end - inputMs, 0.0);
    const uint64_t delay = static_cast<uint64_t>(std::ceil(rel - 1e-9));
    const auto send = [&](const uint8_t* data, size_t count) {
        if (outAt) {
            outAt(data, count, rel);
        } else {
            out(data, count, delay);
        }
    };
    if (HostMatches()) {
        if (!bytes.empty()) send(bytes.data(), bytes.size());
    } else {
        const std::vector<uint8_t> seen =
            UartResample(bytes.data(), bytes.size(), uartRate, hostBaud);
        if (!seen.empty()) send(seen.data(), seen.size());
    }
}

void ReceiverState::SendAckByte(uint8_t byte, double at) {
    Emit({byte}, at);
    if (byte == SIM_ACK) {
        ++counters.acksSent;
    } else {
        ++counters.naksSent;
    }
}

// ACK the frame, then (when there is one) the answer, with the frame's
// fault applied. workMs is the time the request takes to carry out.
bool ReceiverState::Respond(uint32_t frameNo, double done, uint32_t ackDelay,
                            std::optional<std::vector<uint8_t>> answer, double workMs) {
    const double t = std::max(done, cpuFreeAt);
    const double ackAt = t + ackDelay;
    SendAckByte(SIM_ACK, ackAt);
    cpuFreeAt = ackAt;
    if (!answer) {
        ++counters.ignored;
        return false;
    }
    double ready = ackAt + config.answerDelayMs + workMs;
    cpuFreeAt = ready;
    std::vector<uint8_t>& payload = *answer;
    const auto fault = config.faults.frames.find(frameNo);
    bool corrupt = false;
    if (fault != config.faults.frames.end()) {
        switch (fault->second) {
            case FrameFault::DropAnswer:
                Log("  answer dropped (fault)");
                return false;
            case FrameFault::Stall:
                ready += config.faults.stallMs;
                break;
            case FrameFault::WrongCode:
                payload[0] = static_cast<uint8_t>(payload[0] + 2);
                break;
            case FrameFault::TrailingByte:
                payload.push_back(0);
                break;
            case FrameFault::OversizeAnswer:
                payload.resize(OVERSIZE_PAYLOAD, 0);
                break;
            case FrameFault::CorruptAnswer:
                corrupt = true;
                break;
            case FrameFault::Nak:
                break;
        }
        Log(std::string("  answer fault: ") + FrameFaultName(fault->second));
    }
    std::vector<uint8_t> frame = SimFrame(payload);
    if (corrupt) frame[frame.size() - 2] ^= 0x5A;
    Emit(frame, ready);
    ++counters.answersSent;
    char line[64];
    std::snprintf(line, sizeof line, "  -> answer %u, %zu bytes", payload[0], payload.size());
    Log(line);
    return true;
}

// Runs action once the host has acknowledged the answer just sent (or
// gave up on it); at once when no answer went out.
void ReceiverState::AfterAcknowledgement(bool answered, AfterAck action, uint16_t divisor) {
    afterAck = action;
    afterAckDivisor = divisor;
    afterAckDeadline = txFreeAt + ACK_WAIT_MS;
    if (!answered) RunAfterAck();
}

void ReceiverState::RunAfterAck() {
    const AfterAck action = afterAck;
    afterAck = AfterAck::None;
    if (action == AfterAck::LoadDivisor) SetDivisor(afterAckDivisor);
    if (action == AfterAck::BootRom) Reset(ReceiverStage::BootRom);
}

// The byte after an answer that changes the line: the host's
// acknowledgement, sent at the rate the answer came at.
void ReceiverState::TakeAcknowledgement(const uint8_t** data, size_t* count) {
    double nextRate = uartRate;
    if (afterAck == AfterAck::LoadDivisor) {
        nextRate = afterAckDivisor == 0 ? 0 : UART_CLOCK_HZ * clockScale / afterAckDivisor;
    } else if (afterAck == AfterAck::BootRom) {
        nextRate = BOOT_ROM_BAUD;
    }
    // On a pseudo-terminal the rate read with the byte may already be the
    // host's next one.
    const bool heard = HostMatches() || (config.lineRateAmbiguous && hostBaud != 0 &&
                                         UartRatesMatch(nextRate, hostBaud, config.uartTolerance));
    const uint8_t b = (*data)[0];
    if (!heard || b == SIM_ACK || b == SIM_NAK) {
        if (heard && b == SIM_ACK) ++counters.hostAcks;
        if (heard && b == SIM_NAK) ++counters.hostNaks;
        ++*data;
        --*count;
    }
    RunAfterAck();
}

void ReceiverState::Input(const uint8_t* data, size_t count, double nowMs, uint32_t baud) {
    inputMs = nowMs;
    hostBaud = baud;
    counters.bytesFromHost[baud] += count;
    // What the firmware said before these bytes came goes out first.
    FirmwareTalk(nowMs);
    std::vector<uint8_t> noisy;
    if (noiseFromHost.On()) {
        noisy = noiseFromHost.Apply(data, count, &counters.noiseFlipsFromHost);
        data = noisy.data();
        count = noisy.size();
    }
    if (afterAck != AfterAck::None && nowMs >= afterAckDeadline) {
        RunAfterAck();
    }
    if (afterAck != AfterAck::None && count > 0) TakeAcknowledgement(&data, &count);
    if (stage == ReceiverStage::Firmware || stage == ReceiverStage::Held || uartRate <= 0) return;
    std::vector<uint8_t> garbled;
    if (!HostMatches()) {
        garbled = UartResample(data, count, baud, uartRate);
        data = garbled.data();
        count = garbled.size();
    }
    const double now = nowMs;
    const double byteMs = config.wireTiming ? ByteMs(baud != 0 ? baud : uartRate) : 0;
    // On a timed wire a byte cannot begin before the one ahead of it has
    // ended, also when the host's bytes reach us in several pieces.
    const double start = byteMs > 0 ? std::max(now, lastRxMs) : now;
    if (!rx.empty() && count > 0 && now - lastRxMs > config.frameGapMs) {
        ++counters.partialsDropped;
        Log("  partial frame given up after a gap");
        rx.clear();
    }
    for (size_t i = 0; i < count; ++i) {
        const double at = start + static_cast<double>(i + 1) * byteMs;
        lastRxMs = at;
        const uint8_t b = data[i];
        if (rx.empty()) {
            // Between frames the host only acknowledges our answers; no
            // frame starts with these bytes (its length would be > 1285).
            if (b == SIM_ACK) {
                ++counters.hostAcks;
                continue;
            }
            if (b == SIM_NAK) {
                ++counters.hostNaks;
                continue;
            }
        }
        rx.push_back(b);
        if (rx.size() >= 2 && rx.size() == (size_t{rx[0]} << 8 | rx[1]) + 3) {
            std::vector<uint8_t> frame;
            frame.swap(rx);
            HandleFrame(frame, at);
            if (stage == ReceiverStage::Firmware) return;
        }
    }
}

void ReceiverState::HandleFrame(const std::vector<uint8_t>& frame, double done) {
    const uint32_t n = ++counters.frames;
    const size_t length = frame.size() - 3;
    const uint8_t* payload = frame.data() + 2;
    const bool good = SimFrameChecksum(frame.data(), frame.size()) == 0;
    char line[96];
    std::snprintf(line, sizeof line, "#%u <- %zu-byte frame, code %d%s", n, length,
                  length > 0 ? payload[0] : -1, good ? "" : ", bad checksum");
    Log(line);
    if (stage == ReceiverStage::Hung) return;
    if (length > MAX_REQUEST_PAYLOAD) {
        // Does not fit the receiver's buffer: dropped unread.
        ++counters.ignored;
        return;
    }
    const auto fault = config.faults.frames.find(n);
    if (fault != config.faults.frames.end() && fault->second == FrameFault::Nak) {
        Log("  NAK (fault)");
        SendAckByte(SIM_NAK, std::max(done, cpuFreeAt) + config.ackDelayMs);
        return;
    }
    if (!good) {
        ++counters.badChecksums;
        // The boot ROM itself never sends anything.
        if (stage != ReceiverStage::BootRom) {
            SendAckByte(SIM_NAK, std::max(done, cpuFreeAt) + config.ackDelayMs);
        }
        return;
    }
    if (length > 0) counters.requestCodes.push_back(payload[0]);
    switch (stage) {
        case ReceiverStage::BootRom:
            BootRomFrame(n, payload, length, done);
            break;
        case ReceiverStage::FirstStage:
            FirstStageFrame(n, payload, length, done);
            break;
        case ReceiverStage::Agent:
            AgentFrame(n, payload, length, done);
            break;
        case ReceiverStage::Firmware:
        case ReceiverStage::Hung:
        case ReceiverStage::Held:
            break;
    }
}

void ReceiverState::Reset(ReceiverStage to) {
    stage = to;
    afterAck = AfterAck::None;
    uartRate = BOOT_ROM_BAUD;
    clockScale = 1.0;
    rx.clear();
    open = false;
    if (to == ReceiverStage::Held) {
        uartRate = 0;  // neither hears nor sends
    } else if (to == ReceiverStage::Firmware) {
        ++counters.firmwareStarts;
        firmwareStartMs = inputMs;
        nmeaBursts = 0;
        if (config.runningFirmware) uartRate = config.nmeaBaud;
    }
}

void ReceiverState::PowerLoss(uint32_t n, double done) {
    Log("  power lost");
    Respond(n, done, config.ackDelayMs, std::nullopt);
    ++counters.powerLosses;
    Reset(ReceiverStage::BootRom);
}
