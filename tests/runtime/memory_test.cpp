// SPDX-License-Identifier: MIT
// Zero-filling allocation, release, and the allocation-failure seam that the
// other subsystems' out-of-memory tests stand on.
#include "runtime/memory.h"

#include <gtest/gtest.h>

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

TEST(FailureSeam, FailsTheNthAllocationOnce) {
    FailAllocationAfter(3, false);
    void* first = AllocZeroed(4);
    void* second = AllocZeroed(4);
    void* third = AllocZeroed(4);
    void* fourth = AllocZeroed(4);
    ClearAllocationFailure();
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(InjectedAllocationFailures(), 1u);
    FreeMemory(first);
    FreeMemory(second);
    FreeMemory(fourth);
}

TEST(FailureSeam, FailsFromTheNthAllocationOn) {
    FailAllocationAfter(2, true);
    void* first = AllocZeroed(4);
    void* second = AllocBytes32(4);
    void* third = AllocBytes(4);
    ClearAllocationFailure();
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_EQ(InjectedAllocationFailures(), 2u);
    void* after = AllocZeroed(4);
    EXPECT_NE(after, nullptr);
    FreeMemory(first);
    FreeMemory(after);
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
    const uint64_t runs = SweepAllocationFailures(operation, [&](uint64_t n, int result,
                                                                int64_t liveBefore) {
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
