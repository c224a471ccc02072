// SPDX-License-Identifier: Apache-2.0
// The simulated receiver's state, shared by the files that each play one part
// of it: the line (line/line.cpp), the boot ROM and first stage (boot/), the
// flash agent (agent/agent.cpp), the flash file (flash/flash_file.cpp) and
// the object the host side holds (receiver_api.cpp). Not for use outside
// receiver/.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "receiver/flash/nor_flash.h"
#include "receiver/line/frame.h"
#include "receiver/line/noise.h"
#include "receiver/receiver.h"

constexpr double BOOT_ROM_BAUD = 38400.0;

struct ReceiverState {
    using Output = Receiver::Output;
    using OutputAt = Receiver::OutputAt;
    ReceiverConfig config;
    bool ok = true;
    std::string configError;
    const FlashPart* physical = nullptr;  // the part soldered to the bus
    Output out;
    OutputAt outAt;
    std::function<void(const std::string&)> log;

    ReceiverStage stage = ReceiverStage::BootRom;
    double uartRate = BOOT_ROM_BAUD;
    double clockScale = 1.0;  // real system clock / the clock the synthesizer was set for
    NorFlash flash;

    // Line.
    std::vector<uint8_t> rx;
    double lastRxMs = 0;
    double txFreeAt = 0;
    double cpuFreeAt = 0;
    double inputMs = 0;
    // Like the host, the receiver takes the acknowledgement of an answer
    // before it changes its rate (SetBaud) or resets (disconnect): the host
    // sends it at the old rate and changes its own right after.
    enum class AfterAck { None, LoadDivisor, BootRom };
    AfterAck afterAck = AfterAck::None;
    uint16_t afterAckDivisor = 0;
    double afterAckDeadline = 0;
    uint32_t hostBaud = 0;

    ReceiverCounters counters;
    ClockRecord clock;
    std::vector<uint8_t> firstStage;
    std::vector<uint8_t> agentMemory;

    // Agent.
    bool open = false;
    uint32_t units = 1;
    FlashPart part;
    uint64_t flashSize = 0;
    uint32_t programBuffer = 2;
    uint32_t erases = 0;  // EraseSectorSet requests that reached the flash

    // Inputs and the firmware.
    bool resetInput = false;
    bool bootSelectInput = false;
    double firmwareStartMs = 0;
    uint64_t nmeaBursts = 0;  // sentence pairs sent since the firmware started

    // Noise, one independent stream per direction.
    LineNoise noiseFromHost;
    LineNoise noiseToHost;

    void Log(const std::string& text) {
        if (log) log(text);
    }

    // line/line.cpp: bytes in, frames off the line, ACKs and answers out.
    void Input(const uint8_t* data, size_t count, double nowMs, uint32_t baud);
    bool HostMatches() const;
    double ByteMs(double rate) const;
    void Emit(const std::vector<uint8_t>& bytes, double readyAt);
    void SendAckByte(uint8_t byte, double at);
    // ACK the frame, then (when there is one) the answer, with the frame's
    // fault applied. workMs is the time the request takes to carry out.
    bool Respond(uint32_t frameNo, double done, uint32_t ackDelay,
                 std::optional<std::vector<uint8_t>> answer, double workMs = 0);
    // Runs action once the host has acknowledged the answer just sent (or
    // gave up on it); at once when no answer went out.
    void AfterAcknowledgement(bool answered, AfterAck action, uint16_t divisor = 0);
    void RunAfterAck();
    void TakeAcknowledgement(const uint8_t** data, size_t* count);
    void HandleFrame(const std::vector<uint8_t>& frame, double done);
    // Power-on or reset: the boot ROM (or the firmware) at the ROM's rate.
    void Reset(ReceiverStage to);
    // The power fails before frame n is answered: the ACK went out.
    void PowerLoss(uint32_t n, double done);

    // boot/boot_rom.cpp and boot/first_stage.cpp.
    void BootRomFrame(uint32_t n, const uint8_t* payload, size_t length, double done);
    void FirstStageFrame(uint32_t n, const uint8_t* payload, size_t length, double done);
    void SetDivisor(uint16_t divisor);

    // boot/firmware.cpp: the firmware's sentences due before untilMs.
    void FirmwareTalk(double untilMs);

    // agent/agent.cpp.
    void AgentFrame(uint32_t n, const uint8_t* payload, size_t length, double done);

    // flash/flash_file.cpp.
    bool LoadFlashFile();
    bool WriteFile(const std::string& path, std::string* error) const;
};
