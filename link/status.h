// SPDX-License-Identifier: Apache-2.0
// Results of the receiver-facing operations: 0 is success; the 10x codes are
// the link's own, every other non-zero value of a flash agent command is the
// agent's status word.
#pragma once

#include <cstdint>

constexpr uint32_t LINK_OK = 0;
constexpr uint32_t LINK_ALREADY_OPEN = 100;
constexpr uint32_t LINK_NOT_OPEN = 101;
constexpr uint32_t LINK_PORT_FAILED = 102;
constexpr uint32_t LINK_DOWNLOAD_FAILED = 103;
constexpr uint32_t LINK_EXCHANGE_FAILED = 104;
constexpr uint32_t LINK_UNKNOWN_CLOCK = 105;
// A stop was asked for before anything went to the receiver; the port is
// closed again.
constexpr uint32_t LINK_STOPPED = 106;
// The operating rate asked for does not suit the answering chip's UART: the
// link was brought up at BAUD_FALLBACK instead, for CloseReceiver to end it.
constexpr uint32_t LINK_BAUD_REFUSED = 107;
// An answer that came through whole but describes what cannot be (a flash
// larger than the agent can address): refused before anything is sized from
// it.
constexpr uint32_t LINK_ANSWER_OUT_OF_RANGE = 108;
// The port could not drive the DTR/RTS lines of the boot-entry sequence
// (a pseudo-terminal has none): nothing was sent, and the port is closed.
constexpr uint32_t LINK_LINES_FAILED = 109;
