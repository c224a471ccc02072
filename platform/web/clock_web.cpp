// SPDX-License-Identifier: Apache-2.0
// The page's clock: performance.now(), and delays that let the page run
// (emscripten_sleep yields to the browser through Asyncify).
#include <emscripten.h>

#include "platform/web/web.h"

namespace {

uint64_t NowMs() {
    return static_cast<uint64_t>(emscripten_get_now());
}

void SleepMs(uint32_t milliseconds) {
    emscripten_sleep(milliseconds);
}

const ClockOps Table{NowMs, SleepMs};

}  // namespace

const ClockOps& WebClockOps() {
    return Table;
}
