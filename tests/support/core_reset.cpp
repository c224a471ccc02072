// SPDX-License-Identifier: Apache-2.0
#include "tests/support/core_reset.h"

#include "agent/agent.h"
#include "boot/boot.h"
#include "boot/clock.h"
#include "image/image.h"
#include "link/packet.h"
#include "link/retry.h"
#include "link/serial_port.h"
#include "platform/fake/fake_files.h"
#include "platform/fake/fake_line.h"
#include "platform/fake/fake_resource.h"
#include "platform/platform.h"
#include "update/board.h"
#include "update/update.h"

void ResetCoreModules(ResetScope scope) {
    SerialReset();
    PacketReset();
    LinkRetryReset();
    BootReset();
    ClockReset();
    AgentReset();
    ImageReset();
    UpdateReset();
    BoardReset();
    // After the core: a module may give back what it holds through the tables.
    if (scope == ResetScope::CoreAndFakePlatform) {
        PlatformReset();
        FakeLineReset();
        FakeResourceReset();
        FakeFilesSetPath(nullptr);
    }
}
