// SPDX-License-Identifier: MIT
// The runtime layer's processor clock and its rate, and a fixed key lookup.
#pragma once

#include <cstdint>

#include "runtime/rt_status.h"

// Processor time used by the process, in ticks of ClockTicksPerSecond.
int64_t ProcessorClock();

// The rate of ProcessorClock: 1000000 ticks a second.
int32_t ClockTicksPerSecond();

// Key 1 stores 3 in `value` and returns 0; any other key stores 0 and returns
// RtErrArgument. Nothing is stored when `value` is absent (RtErrArgument).
int32_t LookupValue(int32_t key, int32_t* value);
