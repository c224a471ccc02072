// SPDX-License-Identifier: Apache-2.0
#include "receiver/flash/nor_flash.h"

#include <algorithm>

void NorFlash::Erase(uint64_t start, uint64_t size, uint64_t erased) {
    const uint64_t end = start + std::min(erased, size);
    if (end <= cells_.size()) {
        std::fill(cells_.begin() + static_cast<long>(start),
                  cells_.begin() + static_cast<long>(end), uint8_t{0xFF});
        return;
    }
    for (uint64_t a = start; a < end; ++a) Cell(a) = 0xFF;
}

bool NorFlash::Blank(uint64_t start, uint64_t size) const {
    if (start + size <= cells_.size()) {
        return std::all_of(cells_.begin() + static_cast<long>(start),
                           cells_.begin() + static_cast<long>(start + size),
                           [](uint8_t b) { return b == 0xFF; });
    }
    for (uint64_t a = start; a < start + size; ++a) {
        if (Cell(a) != 0xFF) return false;
    }
    return true;
}

bool SectorMap::Info(uint32_t index, uint64_t* start, uint64_t* size) const {
    uint64_t before = 0;
    uint32_t sectorsBefore = 0;
    for (const FlashRun& run : part->runs) {
        if (index < sectorsBefore + run.count) {
            *start = (before + uint64_t{index - sectorsBefore} * run.size) * units;
            *size = uint64_t{run.size} * units;
            return true;
        }
        sectorsBefore += run.count;
        before += uint64_t{run.count} * run.size;
    }
    return false;
}

bool SectorMap::At(uint64_t address, uint32_t* index, uint64_t* start, uint64_t* size) const {
    uint64_t base = 0;
    uint32_t sectorsBefore = 0;
    for (const FlashRun& run : part->runs) {
        const uint64_t sectorBytes = uint64_t{run.size} * units;
        const uint64_t span = sectorBytes * run.count;
        if (address < base + span) {
            const uint64_t k = (address - base) / sectorBytes;
            *index = sectorsBefore + static_cast<uint32_t>(k);
            *start = base + k * sectorBytes;
            *size = sectorBytes;
            return true;
        }
        base += span;
        sectorsBefore += run.count;
    }
    return false;
}
