// SPDX-License-Identifier: Apache-2.0
// The NOR flash parts the simulated receiver can carry, with the identification
// codes and sector layouts its flash agent knows them by (word mode, one part).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FlashRun {
    uint32_t count;  // consecutive sectors of one size
    uint32_t size;   // bytes per sector
};

struct FlashPart {
    std::string name;
    std::string maker;
    uint16_t deviceId = 0;
    uint16_t makerId = 0;
    uint32_t size = 0;  // bytes of one part
    std::vector<FlashRun> runs;
    char commandSet = 'A';  // 'A' (AMD/JEDEC) or 'I' (Intel)
    uint16_t flags = 0;
};

// Every row of the agent's table whose codes and layout are known.
const std::vector<FlashPart>& FlashPartTable();
// nullptr when no row has that name / that identification pair.
const FlashPart* FindFlashPart(const std::string& name);
const FlashPart* FindFlashPartById(uint16_t deviceId, uint16_t makerId);
// Total number of sectors of a part.
uint32_t FlashPartSectorCount(const FlashPart& part);
