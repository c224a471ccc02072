// SPDX-License-Identifier: Apache-2.0
// The simulator's own in-memory serial line, with its own virtual clock: a
// host in the same process talks to the receiver without a pseudo-terminal,
// and a read that would wait two seconds costs no real time. The host's side
// is a handful of port calls; the simulated handheld fills the platform's
// serial and clock tables with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "receiver/receiver.h"

struct MemoryLineTimeouts {
    uint32_t intervalMs;  // longest gap between two bytes of one read
    uint32_t constantMs;  // a read of n bytes waits at most constant + multiplier * n
    uint32_t multiplierMs;
};

class MemoryLine {
  public:
    // The receiver must outlive the line; the line takes its output.
    MemoryLine(Receiver& receiver, MemoryLineTimeouts timeouts);
    MemoryLine(const MemoryLine&) = delete;
    MemoryLine& operator=(const MemoryLine&) = delete;

    // Opening purges what waits for the host.
    void Open(uint32_t baud);
    void SetBaud(uint32_t baud);
    void Close();
    bool IsOpen() const { return baud_ != 0; }
    // Bytes that arrived within the time-outs; the clock moves to the last
    // byte taken, or to the time-out when fewer came than asked for.
    uint32_t Read(uint8_t* buffer, uint32_t length);
    // The receiver hears the bytes at once, at the host's rate.
    void Write(const uint8_t* data, uint32_t length);
    // The receiver's clock catches up with the line's (what it sent meanwhile
    // is queued); call before changing its inputs.
    void CatchUp();
    // Bytes not on the wire yet are lost: the receiver's UART was reset.
    void DropUnsent();

    uint64_t NowMs() const { return now_; }
    void Sleep(uint32_t ms) { now_ += ms; }

  private:
    struct Arrival {
        uint8_t byte;
        uint64_t atMs;
    };
    Receiver& receiver_;
    MemoryLineTimeouts timeouts_;
    std::deque<Arrival> toHost_;
    uint64_t now_ = 0;
    uint32_t baud_ = 0;
};
