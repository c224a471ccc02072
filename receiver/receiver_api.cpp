// SPDX-License-Identifier: Apache-2.0
// The receiver object the host side holds: built from its configuration,
// fed the host's bytes, and open to inspection by the tests.
#include "receiver/state.h"

#include <cmath>

const char* FrameFaultName(FrameFault fault) {
    switch (fault) {
        case FrameFault::Nak:
            return "nak";
        case FrameFault::CorruptAnswer:
            return "corrupt-answer";
        case FrameFault::DropAnswer:
            return "drop-answer";
        case FrameFault::WrongCode:
            return "wrong-code";
        case FrameFault::TrailingByte:
            return "trailing-byte";
        case FrameFault::Stall:
            return "stall";
        case FrameFault::OversizeAnswer:
            return "oversize-answer";
    }
    return "?";
}

Receiver::Receiver(ReceiverConfig config) : s_(std::make_unique<ReceiverState>()) {
    ReceiverState& s = *s_;
    s.config = std::move(config);
    s.physical = FindFlashPart(s.config.part);
    if (s.physical == nullptr) {
        s.ok = false;
        s.configError = "unknown flash part \"" + s.config.part + "\"";
        return;
    }
    const uint64_t size = uint64_t{s.physical->size} * (s.config.busWidth == 32 ? 2 : 1);
    const uint8_t fill = s.config.flashInit == FlashInit::Fill ? s.config.flashFill : 0xFF;
    s.flash.Cells().assign(static_cast<size_t>(size), fill);
    if (s.config.flashInit == FlashInit::File) s.ok = s.LoadFlashFile();
    s.noiseFromHost.Configure(s.config.bitErrorRate, s.config.noiseSeed, 1);
    s.noiseToHost.Configure(s.config.bitErrorRate, s.config.noiseSeed, 2);
    if (s.config.runningFirmware) s.Reset(ReceiverStage::Firmware);
}

Receiver::~Receiver() = default;

bool Receiver::Ok() const {
    return s_->ok;
}
const std::string& Receiver::Error() const {
    return s_->configError;
}

void Receiver::Input(const uint8_t* data, size_t count, uint64_t nowMs, uint32_t hostBaud) {
    s_->Input(data, count, static_cast<double>(nowMs), hostBaud);
}

void Receiver::InputAt(const uint8_t* data, size_t count, double nowMs, uint32_t hostBaud) {
    s_->Input(data, count, nowMs, hostBaud);
}

void Receiver::SetOutput(Output out) {
    s_->out = std::move(out);
}

void Receiver::SetOutputAt(OutputAt out) {
    s_->outAt = std::move(out);
}
void Receiver::SetLog(std::function<void(const std::string&)> log) {
    s_->log = std::move(log);
}
void Receiver::EnterBootRom() {
    s_->Reset(ReceiverStage::BootRom);
}
void Receiver::RunFirmware() {
    s_->Reset(ReceiverStage::Firmware);
}
void Receiver::Advance(double nowMs, double untilMs) {
    s_->inputMs = nowMs;
    s_->FirmwareTalk(untilMs);
}
void Receiver::SetResetInput(bool active) {
    ReceiverState& s = *s_;
    if (active == s.resetInput) return;
    s.resetInput = active;
    if (active) {
        s.Reset(ReceiverStage::Held);
    } else {
        s.Reset(s.bootSelectInput ? ReceiverStage::BootRom : ReceiverStage::Firmware);
    }
}
void Receiver::SetBootSelectInput(bool active) {
    s_->bootSelectInput = active;
}
bool Receiver::ResetInput() const {
    return s_->resetInput;
}
bool Receiver::BootSelectInput() const {
    return s_->bootSelectInput;
}
ReceiverStage Receiver::Stage() const {
    return s_->stage;
}
uint32_t Receiver::UartBaud() const {
    return static_cast<uint32_t>(std::lround(s_->uartRate));
}
double Receiver::UartRate() const {
    return s_->uartRate;
}
const std::vector<uint8_t>& Receiver::Flash() const {
    return s_->flash.Cells();
}
std::vector<uint8_t>& Receiver::MutableFlash() {
    return s_->flash.Cells();
}

bool Receiver::WriteFlashFile(const std::string& path, std::string* error) const {
    return s_->WriteFile(path, error);
}

const ReceiverConfig& Receiver::Config() const {
    return s_->config;
}
ReceiverFaults& Receiver::Faults() {
    return s_->config.faults;
}
const ReceiverCounters& Receiver::Counters() const {
    return s_->counters;
}
const ClockRecord& Receiver::Clock() const {
    return s_->clock;
}
const std::vector<uint8_t>& Receiver::FirstStageImage() const {
    return s_->firstStage;
}
const std::vector<uint8_t>& Receiver::AgentMemory() const {
    return s_->agentMemory;
}
bool Receiver::AgentOpen() const {
    return s_->open;
}
uint32_t Receiver::ProgramBufferSize() const {
    return s_->programBuffer;
}
