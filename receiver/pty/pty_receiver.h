// SPDX-License-Identifier: Apache-2.0
// The simulated receiver behind a pseudo-terminal, served on its own thread.
// A host opens SlavePath() like any serial port; the rate it sets there is the
// rate its bytes cross the line at. The control methods may be called from
// any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "receiver/receiver.h"

class PtyReceiver {
  public:
    PtyReceiver();
    ~PtyReceiver();
    PtyReceiver(const PtyReceiver&) = delete;
    PtyReceiver& operator=(const PtyReceiver&) = delete;

    // Opens the pseudo-terminal and starts serving. False with a message when
    // the configuration is bad or no pseudo-terminal can be had.
    bool Start(const ReceiverConfig& config, std::string* error);
    const std::string& SlavePath() const;
    void EnterBootRom();
    void RunFirmware();
    // The receiver's reset and boot-select inputs (see Receiver); bytes it
    // had not sent yet are lost when it resets.
    void SetInputs(bool reset, bool bootSelect);
    ReceiverStage Stage();
    std::vector<uint8_t> Flash();
    uint32_t Disconnects();
    // Waits until at least count disconnects happened; false on time-out.
    bool WaitForDisconnects(uint32_t count, uint32_t timeoutMs);
    // How closely the real line kept the receiver's times: writes made after
    // their due time, by how much in all and at most, and the host's turn:
    // from the receiver's last bytes leaving to the host's next arriving.
    struct LineTiming {
        uint64_t writes = 0;
        double lateMs = 0;
        double maxLateMs = 0;
        uint64_t turns = 0;
        double turnMs = 0;
        uint64_t droppedBytes = 0;  // lost because the host did not read
    };
    LineTiming Timing();
    // Bytes waiting for the host to read them.
    size_t QueuedBytes();
    // Runs fn on the receiver with the serving thread held off.
    void WithReceiver(const std::function<void(Receiver&)>& fn);
    void Stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
