// SPDX-License-Identifier: MIT
// Allocation-failure seam and block counting for tests. It installs hooks in
// the runtime allocator: the n-th zero-filling allocation from now fails, once
// or from then on, and every block handed out or released is counted, so that
// a test can prove that a failing path leaks nothing.
#pragma once

#include <cstdint>

// Makes the n-th allocation from now (n >= 1) fail; with `repeat`, every
// allocation after it fails too. Replaces any earlier arrangement.
void FailAllocationAfter(uint64_t n, bool repeat);

// Lets every allocation succeed again.
void ClearAllocationFailure();

// Number of allocations that the seam has made fail since it was last armed.
uint64_t InjectedAllocationFailures();

// Blocks handed out by the runtime allocator and not yet released.
int64_t LiveAllocations();

// Runs `operation` with the 1st, 2nd, ... allocation failing until a run
// injects no failure (the operation then completed with every allocation it
// wanted). `check` receives the failing allocation's number (0 for the final,
// unhindered run); the blocks live before the run are given as `liveBefore`.
// Returns the number of runs that had a failure injected.
template <typename Operation, typename Check>
uint64_t SweepAllocationFailures(Operation operation, Check check, uint64_t limit = 100000) {
    for (uint64_t n = 1; n <= limit; ++n) {
        const int64_t liveBefore = LiveAllocations();
        FailAllocationAfter(n, false);
        auto result = operation();
        const bool injected = InjectedAllocationFailures() > 0;
        ClearAllocationFailure();
        check(injected ? n : 0, result, liveBefore);
        if (!injected) {
            return n - 1;
        }
    }
    return limit;
}
