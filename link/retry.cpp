// SPDX-License-Identifier: Apache-2.0
#include "link/retry.h"

#include "link/serial_port.h"
#include "platform/platform.h"

namespace {

uint32_t Retries = 0;
uint32_t Count = 0;
LinkRetryObserver Observer = nullptr;

// What a drain reads at a time; its bytes are dropped.
uint8_t DrainBuffer[64];

}  // namespace

const char* LinkFaultText(int fault) {
    switch (fault) {
        case LINK_FAULT_NONE:
            return "no fault";
        case LINK_FAULT_REFUSED:
            return "a request too long to frame";
        case LINK_FAULT_WRITE:
            return "a write the port refused";
        case LINK_FAULT_NAK:
            return "NAK";
        case LINK_FAULT_NO_ACK:
            return "no ACK";
        case LINK_FAULT_BAD_ACK:
            return "neither ACK nor NAK";
        case LINK_FAULT_NO_ANSWER:
            return "no answer";
        case LINK_FAULT_SHORT_ANSWER:
            return "a short answer";
        case LINK_FAULT_BAD_CHECKSUM:
            return "a corrupt answer";
        case LINK_FAULT_OVERSIZE:
            return "an oversized answer";
        case LINK_FAULT_ACK_WRITE:
            return "an acknowledgement the port refused";
        case LINK_FAULT_WRONG_CODE:
            return "a wrong answer code";
        case LINK_FAULT_BAD_FIELDS:
            return "a malformed answer";
        default:
            return "an unknown fault";
    }
}

bool LinkFaultRepeatable(int fault) {
    return fault >= LINK_FAULT_NAK && fault <= LINK_FAULT_BAD_FIELDS &&
           fault != LINK_FAULT_ACK_WRITE;
}

void LinkSetRetries(uint32_t n) {
    Retries = n;
    Count = 0;
}
uint32_t LinkRetries() {
    return Retries;
}
uint32_t LinkRetryCount() {
    return Count;
}
void LinkSetRetryObserver(LinkRetryObserver observer) {
    Observer = observer;
}

int LinkPrepareRepeat(uint8_t code, uint32_t attempt, int fault) {
    // After a NAK, or no ACK at all (the line was silent for the whole wait
    // for it), the far end has given the frame up once its own frame
    // time-out passed: nothing of it can still come, so a short quiet is
    // enough. Anything else may be followed by an answer: drain it.
    if (fault == LINK_FAULT_NAK || fault == LINK_FAULT_NO_ACK) {
        DelayMs(LINK_RETRY_QUIET_MS);
    } else {
        const uint64_t start = PlatformClock().nowMs();
        for (;;) {
            uint32_t got = 0;
            if (SerialRead(DrainBuffer, sizeof DrainBuffer, &got) != 1) return 0;
            if (got == 0) break;
            if (PlatformClock().nowMs() - start > LINK_RETRY_DRAIN_LIMIT_MS) return 0;
        }
    }
    ++Count;
    if (Observer != nullptr) Observer(code, attempt, LinkFaultText(fault));
    return 1;
}

void LinkRetryReset() {
    Retries = 0;
    Count = 0;
    Observer = nullptr;
}
