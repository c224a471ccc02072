// SPDX-License-Identifier: Apache-2.0
// Sending a request again after its exchange failed on the line.
//
// With no repeats asked for (the power-on state) every exchange is tried once
// and a failure ends it, byte for byte as without this module. With N, a
// request whose exchange failed is sent again up to N times, after the line
// has been quiet long enough for both ends to have given up the broken frame.
// Which requests may be repeated is decided by their owners (agent/, boot/);
// this module keeps the setting, the count, the observer and the quiet wait.
#pragma once

#include <cstdint>

// Why the last exchange failed, as the packet layer and the exchange saw it.
enum LinkFault : int {
    LINK_FAULT_NONE = 0,
    LINK_FAULT_REFUSED = 1,       // the request could not be framed; nothing was sent
    LINK_FAULT_WRITE = 2,         // the port did not take the frame
    LINK_FAULT_NAK = 3,           // the far end answered the frame with NAK
    LINK_FAULT_NO_ACK = 4,        // nothing came back for the frame
    LINK_FAULT_BAD_ACK = 5,       // a byte other than ACK or NAK came back
    LINK_FAULT_NO_ANSWER = 6,     // ACK, then no answer in time
    LINK_FAULT_SHORT_ANSWER = 7,  // the answer's bytes stopped early
    LINK_FAULT_BAD_CHECKSUM = 8,  // the answer failed its checksum (NAK sent)
    LINK_FAULT_OVERSIZE = 9,      // the answer's length cannot fit the buffer
    LINK_FAULT_ACK_WRITE = 10,    // our acknowledgement did not go out
    LINK_FAULT_WRONG_CODE = 11,   // a whole answer with another code
    LINK_FAULT_BAD_FIELDS = 12,   // a whole answer whose fields do not fit the request
};
// A short text for the trace and the cause line ("NAK", "no answer", ...).
const char* LinkFaultText(int fault);
// Whether the fault lies on the line, where a repeat can cure it (a port that
// refused the write or a request that cannot be framed is not).
bool LinkFaultRepeatable(int fault);

// How often a failed exchange is repeated; 0 (the power-on state): never.
// Setting it starts a new count (one run).
void LinkSetRetries(uint32_t n);
uint32_t LinkRetries();
// Repeats sent since the last LinkSetRetries.
uint32_t LinkRetryCount();

// Told of every repeat before it goes out: the request code, which repeat
// (1 for the first) and the cause's text. Null: no one.
using LinkRetryObserver = void (*)(uint8_t code, uint32_t attempt, const char* cause);
void LinkSetRetryObserver(LinkRetryObserver observer);

// The receiver gives up a frame whose bytes pause this long (its frame
// time-out is 500 ms); waiting longer after a NAK lets the rest of a frame
// whose length byte was hit be dropped before the repeat begins.
constexpr uint32_t LINK_RETRY_QUIET_MS = 600;
// The longest the line may go on talking before a repeat is abandoned.
constexpr uint32_t LINK_RETRY_DRAIN_LIMIT_MS = 10000;

// Before a repeat of request `code` after `fault`, the `attempt`th: counts
// it, tells the observer and waits for a quiet line. After a NAK the far end
// took a whole frame and has nothing more to send: a pause of
// LINK_RETRY_QUIET_MS suffices. After any other fault an answer may still be
// on its way: bytes are read and dropped until a read gives none, that is for
// a whole read time-out (about 2 s, beyond both ends' frame time-outs).
// 1 when the line went quiet; 0 when it kept talking past the drain limit
// (no repeat then).
int LinkPrepareRepeat(uint8_t code, uint32_t attempt, int fault);

// Power-on state (tests): no repeats, count 0, no observer.
void LinkRetryReset();

#include "link/packet.h"

// Runs attempt() (it builds the request, exchanges it and judges the answer,
// recording a fault it finds in a whole answer with PacketSetFault; 1 for
// success) once, and when repeatable again after each failure on the line
// while repeats are left. *repeatsOut (may be null) gets how many repeats
// went out.
template <typename Attempt>
int LinkWithRepeats(uint8_t code, bool repeatable, Attempt attempt,
                    uint32_t* repeatsOut = nullptr) {
    for (uint32_t n = 0;; ++n) {
        if (repeatsOut != nullptr) *repeatsOut = n;
        if (attempt() == 1) return 1;
        const int fault = PacketLastFault();
        if (!repeatable || n >= LinkRetries() || !LinkFaultRepeatable(fault)) return 0;
        if (LinkPrepareRepeat(code, n + 1, fault) != 1) return 0;
    }
}
