// SPDX-License-Identifier: Apache-2.0
// Where there are no pseudo-terminals (the browser), the handheld's Pty line
// cannot start: it says so, and everything else about it is empty.
#include "receiver/pty/pty_receiver.h"

struct PtyReceiver::Impl {
    std::string path;
};

PtyReceiver::PtyReceiver() : impl_(std::make_unique<Impl>()) {}
PtyReceiver::~PtyReceiver() = default;

bool PtyReceiver::Start(const ReceiverConfig& /*config*/, std::string* error) {
    *error = "no pseudo-terminals here";
    return false;
}
const std::string& PtyReceiver::SlavePath() const {
    return impl_->path;
}
void PtyReceiver::EnterBootRom() {}
void PtyReceiver::RunFirmware() {}
void PtyReceiver::SetInputs(bool /*reset*/, bool /*bootSelect*/) {}
std::vector<uint8_t> PtyReceiver::Flash() {
    return {};
}
uint32_t PtyReceiver::Disconnects() {
    return 0;
}
bool PtyReceiver::WaitForDisconnects(uint32_t /*count*/, uint32_t /*timeoutMs*/) {
    return false;
}
PtyReceiver::LineTiming PtyReceiver::Timing() {
    return {};
}
size_t PtyReceiver::QueuedBytes() {
    return 0;
}
void PtyReceiver::WithReceiver(const std::function<void(Receiver&)>& /*fn*/) {}
void PtyReceiver::Stop() {}
