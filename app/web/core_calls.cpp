// SPDX-License-Identifier: Apache-2.0
#include "app/web/core_calls.h"

#include "agent/agent.h"
#include "boot/boot.h"
#include "boot/clock.h"
#include "image/image.h"
#include "link/packet.h"
#include "link/retry.h"
#include "link/serial_port.h"
#include "update/board.h"

namespace {

// A page runs many times in one process: each run starts from the state a
// fresh program has.
void Fresh() {
    SerialReset();
    PacketReset();
    LinkRetryReset();
    BootReset();
    ClockReset();
    AgentReset();
    ImageReset();
    UpdateReset();
    BoardReset();
}

}  // namespace

void CoreRun(const UpdateRequest& request, void (*progress)(int32_t percent)) {
    Fresh();
    UpdateSetProgressObserver(progress);
    UpdateWorker(const_cast<UpdateRequest*>(&request));
    UpdateSetProgressObserver(nullptr);
}

int32_t CoreProgress() {
    return ProgressPercent();
}
bool CoreFlashBusy() {
    return UpdateFlashBusy();
}
int CoreRequestStop() {
    return UpdateRequestStop();
}
