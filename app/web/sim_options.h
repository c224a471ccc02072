// SPDX-License-Identifier: Apache-2.0
// The simulated receiver's set-up and faults from the page's address, as
// zelvar-receiver takes them from its options: "?sim&nak-frame=40",
// "?sim&write-fail-address=0x1000&crc-off-by-one", "?sim&part=AM29LV800BB".
#pragma once

#include <string>

#include "receiver/handheld/handheld_sim.h"

// Fills config from the query (with or without its leading '?'). Keys other
// than the simulator's own ("sim" itself, "baud") are refused: an empty
// string, or what was wrong.
std::string ParseSimQuery(const std::string& query, HandheldSimConfig* config);
