// SPDX-License-Identifier: Apache-2.0
// Bit errors on one direction of the line. Each byte is 10 bits on the wire
// (start, 8 data, stop); each of them flips with a fixed probability, drawn
// from a seeded generator of our own so that a run can be repeated. The gap
// to the next flip is drawn once (geometric), so a low rate costs nothing per
// byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class LineNoise {
  public:
    // stream tells the two directions of one seed apart.
    void Configure(double rate, uint64_t seed, uint64_t stream);
    bool On() const { return rate_ > 0; }
    // What a UART at the sender's rate reads after the noise: a flipped data
    // bit changes its byte; a flipped start or stop bit shifts the framing
    // (a raw line delivers framing errors as sampled). The position in the
    // bit stream carries on from call to call.
    std::vector<uint8_t> Apply(const uint8_t* data, size_t count, uint64_t* flips);

  private:
    uint64_t Next();
    uint64_t DrawGap();
    double rate_ = 0;
    uint64_t state_ = 0;
    uint64_t gap_ = 0;  // bits left untouched before the next flip
};
