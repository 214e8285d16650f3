// SPDX-License-Identifier: MIT
// The platform's clock: time of day, calendar time and sleeps, read by the
// plug-in through this layer so that tests can run it on a virtual clock.
// The real clock is the default; a test switches to the virtual one, sets or
// steps its time, and decides whether sleeps pass at once or wait until the
// test lets them go.
#pragma once

#include <sys/time.h>
#include <time.h>

#include <cstdint>

#include "platform/usb_platform.h"

// Wall-clock time of day (gettimeofday on the real clock).
ZN_PLATFORM_API void PlatformTimeOfDay(struct timeval* now);

// Calendar time in whole seconds (time() on the real clock).
ZN_PLATFORM_API time_t PlatformTime();

// Sleeps for `duration`. Returns 0, or -1 for a duration nanosleep refuses
// or a sleep cut short (a signal on the real clock). On the virtual clock the
// time advances by `duration` and the call returns at once, unless sleeps are
// held, in which case it waits until they are released. A cancellation point
// on the real clock and in a held sleep, not in a virtual sleep that passes
// at once.
ZN_PLATFORM_API int PlatformSleep(const struct timespec* duration);

// Switches to the virtual clock, starting at `start`, with sleeps not held
// and the sleep count at 0.
ZN_PLATFORM_API void VirtualClockEnable(const struct timeval* start);

// Back to the real clock; releases every held sleeper.
ZN_PLATFORM_API void VirtualClockDisable();

// Sets the virtual time; it may step backwards.
ZN_PLATFORM_API void VirtualClockSet(const struct timeval* now);

// Moves the virtual time on.
ZN_PLATFORM_API void VirtualClockAdvance(uint64_t microseconds);

// While held, a PlatformSleep on the virtual clock blocks (cancellably) until
// VirtualClockHoldSleeps(false) or VirtualClockDisable.
ZN_PLATFORM_API void VirtualClockHoldSleeps(bool hold);

// Sleeps begun on the virtual clock since it was enabled.
ZN_PLATFORM_API uint64_t VirtualClockSleepCount();

// Waits until a thread is blocked in a held sleep, or `timeoutMs` pass.
// True when one is. Lets a test act during a pause without guessing.
ZN_PLATFORM_API bool VirtualClockWaitForSleeper(uint32_t timeoutMs);
