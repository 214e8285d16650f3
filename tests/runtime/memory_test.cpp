// SPDX-License-Identifier: MIT
// Zero-filling allocation, release, and the allocation-failure seam that the
// other subsystems' out-of-memory tests stand on.
#include "runtime/memory.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/alloc_failure.h"

namespace {

TEST(Allocation, BlocksAreZeroFilled) {
    auto* block = static_cast<unsigned char*>(AllocZeroed(100));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(block[i], 0);
    }
    FreeMemory(block);
    auto* small = static_cast<unsigned char*>(AllocBytes32(3));
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small[0] | small[1] | small[2], 0);
    FreeMemory(small);
}

TEST(Allocation, ZeroAndNegativeSizesGiveNothing) {
    EXPECT_EQ(AllocZeroed(0), nullptr);
    EXPECT_EQ(AllocBytes(0), nullptr);
    EXPECT_EQ(AllocBytes32(0), nullptr);
    EXPECT_EQ(AllocBytes32(-1), nullptr);
    EXPECT_EQ(AllocZeroed(UINT64_MAX), nullptr);  // exhausted, not a crash
}

TEST(Allocation, ReleaseAcceptsAbsentBlocks) {
    FreeMemory(nullptr);
    FreeAndClear<char>(nullptr);
    char* absent = nullptr;
    FreeAndClear(&absent);
    char* block = static_cast<char*>(AllocZeroed(8));
    const int64_t live = LiveAllocations();
    FreeAndClear(&block);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(LiveAllocations(), live - 1);
}

// The seam fails the n-th allocation once, or from then on, whichever
// allocator is asked, and counts what it failed.
TEST(FailureSeam, FailsTheNthAllocationOnceOrFromThenOn) {
    const struct {
        uint64_t n;
        bool repeat;
        std::vector<bool> given;  // of four allocations
        uint64_t injected;
    } kCases[] = {
        {3, false, {true, true, false, true}, 1},
        {2, true, {true, false, false, false}, 3},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.n);
        FailAllocationAfter(c.n, c.repeat);
        void* blocks[4] = {AllocZeroed(4), AllocBytes32(4), AllocBytes(4), AllocZeroed(4)};
        ClearAllocationFailure();
        EXPECT_EQ(InjectedAllocationFailures(), c.injected);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(blocks[i] != nullptr, c.given[i]) << "allocation " << i + 1;
            FreeMemory(blocks[i]);
        }
        void* after = AllocZeroed(4);
        EXPECT_NE(after, nullptr);
        FreeMemory(after);
    }
}

TEST(FailureSeam, SweepStopsAtTheFirstUnhinderedRunAndSeesLeaks) {
    // An operation that needs three blocks and frees what it got on failure.
    auto operation = [] {
        void* blocks[3] = {};
        for (auto& block : blocks) {
            block = AllocZeroed(16);
            if (block == nullptr) {
                for (auto& got : blocks) {
                    FreeAndClear(&got);
                }
                return -1;
            }
        }
        for (auto& got : blocks) {
            FreeAndClear(&got);
        }
        return 0;
    };
    std::vector<uint64_t> failed;
    const uint64_t runs =
        SweepAllocationFailures(operation, [&](uint64_t n, int result, int64_t liveBefore) {
            EXPECT_EQ(result, n == 0 ? 0 : -1);
            EXPECT_EQ(LiveAllocations(), liveBefore);
            failed.push_back(n);
        });
    EXPECT_EQ(runs, 3u);
    EXPECT_EQ(failed, (std::vector<uint64_t>{1, 2, 3, 0}));

    const int64_t before = LiveAllocations();
    void* leaked = AllocZeroed(1);
    EXPECT_EQ(LiveAllocations(), before + 1);
    FreeMemory(leaked);
}

}  // namespace
