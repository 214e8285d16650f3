// SPDX-License-Identifier: MIT
// Allocation-failure seam and block counting for tests.
#include "support/alloc_failure.h"

#include <atomic>

#include "runtime/alloc_hooks.h"

namespace {

std::atomic<uint64_t> gCountdown{0};  // 0: disarmed
std::atomic<bool> gRepeat{false};
std::atomic<uint64_t> gInjected{0};
std::atomic<int64_t> gLive{0};

bool ShouldFail(uint64_t) {
    uint64_t remaining = gCountdown.load();
    while (remaining != 0) {
        if (remaining == 1 && gRepeat.load()) {
            gInjected.fetch_add(1);
            return true;
        }
        if (gCountdown.compare_exchange_weak(remaining, remaining - 1)) {
            if (remaining == 1) {
                gInjected.fetch_add(1);
                return true;
            }
            return false;
        }
    }
    return false;
}

void Allocated(void*) { gLive.fetch_add(1); }
void Released(void*) { gLive.fetch_sub(1); }

const AllocHooks kCountingHooks = {ShouldFail, Allocated, Released};

// Installed before main so that every block of a test binary is counted.
const bool kInstalled = [] {
    gAllocHooks.store(&kCountingHooks);
    return true;
}();

}  // namespace

void FailAllocationAfter(uint64_t n, bool repeat) {
    (void)kInstalled;
    gInjected.store(0);
    gRepeat.store(repeat);
    gCountdown.store(n);
}

void ClearAllocationFailure() { gCountdown.store(0); }

uint64_t InjectedAllocationFailures() { return gInjected.load(); }

int64_t LiveAllocations() { return gLive.load(); }
