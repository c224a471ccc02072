// SPDX-License-Identifier: Apache-2.0
// One reset for every test: the core's modules and the fake platform back to
// their power-on state, so that no test inherits what the one before it left
// in module-level state.
#pragma once

// What ResetCoreModules puts back besides the core's modules.
enum class ResetScope {
    // The platform's tables forgotten, then the in-memory line cleared and
    // installed with the virtual clock at 0; the fake resource emptied and the
    // fake temporary path unset. A test installs its other tables after this.
    CoreAndFakePlatform,
    // The core's modules only: the host starts again as a new process would,
    // while the line and whatever answers on it go on.
    CoreOnly,
};

// Serial, packet, boot, clock, agent, image, update (its progress observer
// removed) and board modules to their power-on state. A new module of the core
// with state of its own adds its reset here, and every test gets it.
void ResetCoreModules(ResetScope scope = ResetScope::CoreAndFakePlatform);
