// SPDX-License-Identifier: Apache-2.0
// The NOR flash on the receiver's bus: cells that programming only takes
// from 1 to 0 and that erasing sets back to 1, laid out in the sectors of a
// part description (one part, or two side by side on a 32-bit bus).
#pragma once

#include <cstdint>
#include <vector>

#include "receiver/flash/flash_parts.h"

class NorFlash {
  public:
    // The cells, whole: the receiver's public view of its flash.
    std::vector<uint8_t>& Cells() { return cells_; }
    const std::vector<uint8_t>& Cells() const { return cells_; }

    // An address past the end wraps around, as the address lines do.
    uint8_t& Cell(uint64_t address) { return cells_[address % cells_.size()]; }
    uint8_t Cell(uint64_t address) const { return cells_[address % cells_.size()]; }

    // Programs one byte: bits already 0 stay 0.
    void Program(uint64_t address, uint8_t value) { Cell(address) &= value; }
    // Sets [start, start + size) back to 0xFF, or only its first erased
    // bytes when the power fails part way.
    void Erase(uint64_t start, uint64_t size, uint64_t erased);
    bool Blank(uint64_t start, uint64_t size) const;

  private:
    std::vector<uint8_t> cells_;
};

// Sector geometry of a part description on a bus of units parts side by
// side (bus-scaled addresses and sizes).
struct SectorMap {
    const FlashPart* part = nullptr;
    uint32_t units = 1;

    uint64_t Size() const { return uint64_t{part->size} * units; }
    uint32_t Count() const { return FlashPartSectorCount(*part); }
    // Start and size of sector index; false past the last.
    bool Info(uint32_t index, uint64_t* start, uint64_t* size) const;
    // The sector holding address: its index, start and size.
    bool At(uint64_t address, uint32_t* index, uint64_t* start, uint64_t* size) const;
};
