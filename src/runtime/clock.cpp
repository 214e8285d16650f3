// SPDX-License-Identifier: MIT
// Processor clock and the fixed lookup of the runtime layer.
#include "runtime/clock.h"

#include <ctime>

// The stated rate is the platform's own, so no conversion is needed.
static_assert(CLOCKS_PER_SEC == 1000000, "processor clock ticks in microseconds");

int64_t ProcessorClock() {
    return static_cast<int64_t>(std::clock());
}

int32_t ClockTicksPerSecond() {
    return 1000000;
}

int32_t LookupValue(int32_t key, int32_t* value) {
    if (value == nullptr) {
        return RtErrArgument;
    }
    if (key == 1) {
        *value = 3;
        return RtOk;
    }
    *value = 0;
    return RtErrArgument;
}
