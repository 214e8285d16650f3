// SPDX-License-Identifier: MIT
// Thread start and join, forgotten handles, mutex ownership seen from another
// thread, condition broadcast, and the creators' failure and release paths.
#include "runtime/threads.h"

#include <gtest/gtest.h>

#include "support/alloc_failure.h"

namespace {

void* StoreArgument(void* argument) {
    *static_cast<int*>(argument) = 7;
    return argument;
}

TEST(Threads, RunTheEntryAndForgettingClearsOnlyTheCallersHandle) {
    int seen = 0;
    ThreadHandle thread = StartThread(0, StoreArgument, &seen);
    ASSERT_NE(thread, nullptr);
    ThreadHandle copy = thread;
    EXPECT_EQ(ForgetThread(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(ForgetThread(&thread), RtErrArgument);
    EXPECT_EQ(ForgetThread(nullptr), RtErrArgument);
    EXPECT_EQ(JoinThread(copy), 0);  // neither joined nor detached by forgetting
    EXPECT_EQ(seen, 7);              // the entry ran with its argument
}

struct TryLockProbe {
    pthread_mutex_t* mutex;
    int32_t result;
    bool unlockAfter;
};

void* TryLockFromHere(void* argument) {
    auto* probe = static_cast<TryLockProbe*>(argument);
    probe->result = TryLockMutex(probe->mutex);
    if (probe->result == 0 && probe->unlockAfter) {
        UnlockMutex(probe->mutex);
    }
    return nullptr;
}

TEST(Mutexes, TryLockSeesAHolderInAnotherThread) {
    pthread_mutex_t* mutex = NewMutex(0);
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(LockMutex(mutex), 0);
    TryLockProbe probe{mutex, -1, true};
    ASSERT_EQ(JoinThread(StartThread(0, TryLockFromHere, &probe)), 0);
    EXPECT_EQ(probe.result, 1);
    ASSERT_EQ(UnlockMutex(mutex), 0);

    probe.result = -1;
    ASSERT_EQ(JoinThread(StartThread(0, TryLockFromHere, &probe)), 0);
    EXPECT_EQ(probe.result, 0);
    EXPECT_EQ(TryLockMutex(mutex), 0);  // released again by the other thread
    EXPECT_EQ(UnlockMutex(mutex), 0);
    EXPECT_EQ(FreeMutex(&mutex), 0);
    EXPECT_EQ(mutex, nullptr);
}

#ifndef __SANITIZE_THREAD__  // the thread checker rightly objects to this misuse
TEST(Mutexes, AHeldMutexIsNotReleased) {
    pthread_mutex_t* mutex = NewMutex(0);
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(LockMutex(mutex), 0);
    EXPECT_EQ(FreeMutex(&mutex), RtErrArgument);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(UnlockMutex(mutex), 0);
    EXPECT_EQ(FreeMutex(&mutex), 0);
}
#endif

struct Gate {
    pthread_mutex_t* mutex;
    pthread_cond_t* opened;
    bool open;
    int passed;
};

void* WaitAtGate(void* argument) {
    auto* gate = static_cast<Gate*>(argument);
    LockMutex(gate->mutex);
    while (!gate->open) {
        if (WaitCondition(gate->opened, gate->mutex) != 0) {
            break;
        }
    }
    if (gate->open) {
        ++gate->passed;
    }
    UnlockMutex(gate->mutex);
    return nullptr;
}

TEST(Conditions, BroadcastWakesEveryWaiter) {
    Gate gate{NewMutex(0), NewCondition(0), false, 0};
    ASSERT_NE(gate.mutex, nullptr);
    ASSERT_NE(gate.opened, nullptr);
    ThreadHandle waiters[3];
    for (ThreadHandle& waiter : waiters) {
        waiter = StartThread(0, WaitAtGate, &gate);
        ASSERT_NE(waiter, nullptr);
    }
    LockMutex(gate.mutex);
    gate.open = true;
    EXPECT_EQ(BroadcastCondition(gate.opened), 0);
    UnlockMutex(gate.mutex);
    for (ThreadHandle waiter : waiters) {
        EXPECT_EQ(JoinThread(waiter), 0);
    }
    EXPECT_EQ(gate.passed, 3);
    EXPECT_EQ(FreeCondition(&gate.opened), 0);
    EXPECT_EQ(gate.opened, nullptr);
    EXPECT_EQ(FreeMutex(&gate.mutex), 0);
}

TEST(Synchronisation, AbsentObjectsAndOtherKindsAreRefused) {
    int seen = 0;
    EXPECT_EQ(StartThread(1, StoreArgument, &seen), nullptr);
    EXPECT_EQ(StartThread(0, nullptr, &seen), nullptr);
    EXPECT_EQ(JoinThread(nullptr), RtErrArgument);
    EXPECT_EQ(seen, 0);
    pthread_mutex_t* mutex = NewMutex(0);
    pthread_cond_t* condition = NewCondition(0);
    EXPECT_EQ(LockMutex(nullptr), RtErrArgument);
    EXPECT_EQ(TryLockMutex(nullptr), RtErrArgument);
    EXPECT_EQ(WaitCondition(nullptr, mutex), RtErrArgument);
    EXPECT_EQ(WaitCondition(condition, nullptr), RtErrArgument);
    pthread_mutex_t* absentMutex = nullptr;
    pthread_cond_t* absentCondition = nullptr;
    EXPECT_EQ(FreeMutex(&absentMutex), RtErrArgument);
    EXPECT_EQ(FreeCondition(&absentCondition), RtErrArgument);
    EXPECT_EQ(NewMutex(1), nullptr);
    EXPECT_EQ(NewCondition(1), nullptr);
    FreeCondition(&condition);
    FreeMutex(&mutex);
}

// Every allocation failure of `create` gives nothing and leaks nothing; the
// unhindered run's object is released by `release` with status 0.
template <typename T>
void SweepCreator(T* (*create)(int32_t), int32_t (*release)(T**)) {
    SweepAllocationFailures([&] { return create(0); },
                            [&](uint64_t failing, T* object, int64_t liveBefore) {
                                if (failing != 0) {
                                    EXPECT_EQ(object, nullptr);
                                } else {
                                    ASSERT_NE(object, nullptr);
                                    EXPECT_EQ(release(&object), 0);
                                }
                                EXPECT_EQ(LiveAllocations(), liveBefore);
                            });
}

TEST(Creators, ReportMemoryShortageAsNothingAndLeakNothing) {
    SweepCreator(NewMutex, FreeMutex);
    SweepCreator(NewCondition, FreeCondition);
}

}  // namespace
