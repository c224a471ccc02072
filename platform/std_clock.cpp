// SPDX-License-Identifier: Apache-2.0
#include "platform/std_clock.h"

#include <chrono>
#include <thread>

namespace {

uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

const ClockOps Table{NowMs, SleepMs};

}  // namespace

const ClockOps& StdClockOps() {
    return Table;
}
