// SPDX-License-Identifier: MIT
// Tests of the plug-in's lifecycle: Start and Stop in every order, Start's
// failures leaving nothing behind, a watch that ended by itself, and Stop
// landing while the thread reads, runs the callback or pauses.
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "plugin_fixture.h"

namespace {

using PluginLifecycle = PluginTest;

TEST_F(PluginLifecycle, ASecondStartFailsAndTheFirstWatchGoesOn) {
    StartWatching();
    PluginState* first = gPluginState.load();
    int32_t otherLocation = kOtherLocation;
    EXPECT_EQ(TWAINButtonPluginStart(&otherLocation, nullptr, nullptr, HostRecorder::Callback), -1);
    EXPECT_EQ(gPluginState.load(), first);

    VirtualClockAdvance(kSecond);
    Queue(Press());
    ASSERT_TRUE(recorder_.WaitForCalls(1));
    EXPECT_EQ(recorder_.calls[0].hostLocation, &location_);
    EXPECT_EQ(recorder_.calls[0].hostContext, &recorder_);
}

TEST_F(PluginLifecycle, AmbiguousDevicesMakeStartSucceedWithNothingWatched) {
    // A second ZN417 elsewhere, or another product of the maker.
    const FakeInterface others[] = {FakeInterface().At(kOtherLocation),
                                    FakeInterface().Set("idProduct", 0x0999)};
    for (const FakeInterface& other : others) {
        uint32_t device = 0;
        AttachInterface(other, &device);
        EXPECT_EQ(Start(), 0);
        ExpectNothingStarted();
        EXPECT_EQ(SimGetCounters().objectsCreated, 0u);
        EXPECT_EQ(TWAINButtonPluginStop(), 0);
        SimDetachDevice(device);
    }
}

// Each way Start fails leaves nothing started.
TEST_F(PluginLifecycle, AFailedStartLeavesNothing) {
    location_ = kOtherLocation;  // nothing there
    EXPECT_EQ(Start(), -1);
    ExpectNothingStarted();
    location_ = kHostLocation;
    SimSetHeldByOtherClient(scanner_, true);
    EXPECT_EQ(Start(), -1);
    ExpectNothingStarted();
    SimSetHeldByOtherClient(scanner_, false);
    EXPECT_EQ(TWAINButtonPluginStart(nullptr, nullptr, nullptr, HostRecorder::Callback), -1);
    EXPECT_EQ(TWAINButtonPluginStart(&location_, nullptr, nullptr, nullptr), -1);
    ExpectNothingStarted();

    const uint32_t created = SimGetCounters().objectsCreated;
    gCreateWatchThreadForTests.store(
        [](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; });
    EXPECT_EQ(Start(), -1);
    ExpectNothingStarted();
    EXPECT_EQ(SimGetCounters().objectsCreated, created + 1);  // it had been opened
}

// Stop without Start and a second Stop do nothing; a Stop while the thread
// is blocked in a read returns only once the state is freed; a Start after a
// Stop watches as a first Start does.
TEST_F(PluginLifecycle, StartAndStopInAnyOrder) {
    EXPECT_EQ(TWAINButtonPluginStop(), 0);
    EXPECT_EQ(TWAINButtonPluginStop(), 0);
    StartWatching();
    EXPECT_EQ(TWAINButtonPluginStop(), 0);
    EXPECT_EQ(ThreadProgress::Get().Cleanups(), 1u);
    EXPECT_EQ(LiveAllocations(), liveBefore_);
    ExpectNothingStarted();
    EXPECT_EQ(TWAINButtonPluginStop(), 0);
    ExpectNothingStarted();
    EXPECT_EQ(ThreadProgress::Get().Cleanups(), 1u);
    EXPECT_EQ(recorder_.Count(), 0u);

    StartWatching();
    VirtualClockAdvance(kSecond);
    Queue(Press());
    EXPECT_TRUE(recorder_.WaitForCalls(1));
    EXPECT_EQ(SimGetCounters().objectsCreated, 2u);
}

// A thread whose read failed (the device went away) tells the host nothing,
// frees its state and leaves its thread and lock to the next Stop or Start.
TEST_F(PluginLifecycle, AThreadThatEndedByItselfIsReclaimedByTheNextStopOrStart) {
    for (const bool reclaimByStart : {false, true}) {
        SCOPED_TRACE(reclaimByStart ? "by Start" : "by Stop");
        ThreadProgress::Get().Reset();
        StartWatching();
        VirtualClockAdvance(kSecond);
        SimDetachDevice(scannerDevice_);  // the pending read fails
        ASSERT_TRUE(WaitForCleanups(1));
        EXPECT_EQ(gPluginState.load(), nullptr);
        EXPECT_EQ(recorder_.Count(), 0u);
        EXPECT_EQ(SimGetCounters().openObjects, 0u);
        EXPECT_EQ(LiveAllocations(), liveBefore_);
        EXPECT_TRUE(gStateLockExists);  // the "ended by itself" state
        EXPECT_TRUE(gWatchThreadUnjoined);

        scanner_ = AttachInterface(FakeInterface(), &scannerDevice_);
        if (reclaimByStart) {
            StartWatching();
            VirtualClockAdvance(kSecond);
            Queue(Press());
            EXPECT_TRUE(recorder_.WaitForCalls(1));
        }
        EXPECT_EQ(TWAINButtonPluginStop(), 0);
        ExpectNothingStarted();
        EXPECT_EQ(ThreadProgress::Get().Cleanups(), reclaimByStart ? 2u : 1u);
    }
}

// Where Stop lets the held step go: at the interface's release, inside Stop,
// under the state's lock. The watch thread is then followed until it waits
// for that lock on its way out, and the steps it took by then are kept.
std::atomic<bool> gLetTheStepGoAtRelease{false};
std::atomic<uint64_t> gStepsBeforeTheThreadLeft{0};

void LetTheStepGoAtRelease(void* context, const char* line) {
    ThreadProgress::OnTrace(context, line);
    if (std::strstr(line, " Release:") == nullptr || !gLetTheStepGoAtRelease.exchange(false)) {
        return;
    }
    VirtualClockHoldSleeps(false);
    // glibc marks a held mutex with waiters as 2.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (gStateLock.__data.__lock < 2 && std::chrono::steady_clock::now() < deadline) {
        sched_yield();
    }
    gStepsBeforeTheThreadLeft.store(VirtualClockSleepCount());
}

// Stop cancels before it closes: however the thread and Stop are scheduled,
// the cancel is pending when the thread's current step of the pause ends, and
// it ends there. A cancel made after the close would let it step on.
TEST_F(PluginLifecycle, StopDuringThePauseEndsTheThreadAfterTheCurrentStep) {
    StartWatching();
    VirtualClockHoldSleeps(true);
    VirtualClockAdvance(kSecond);
    Queue(Press());
    ASSERT_TRUE(VirtualClockWaitForSleeper(kWaitMs));
    ASSERT_EQ(VirtualClockSleepCount(), 1u);  // the first 100 ms step, held

    UsbPlatformSetTraceHook(LetTheStepGoAtRelease, nullptr);
    gLetTheStepGoAtRelease.store(true);
    EXPECT_EQ(TWAINButtonPluginStop(), 0);
    EXPECT_EQ(gStepsBeforeTheThreadLeft.load(), 1u);
    EXPECT_EQ(VirtualClockSleepCount(), 1u);
    EXPECT_EQ(recorder_.Count(), 1u);
    ExpectNothingStarted();
}

// The cancel is the only thing that ends a thread that never reads again; a
// thread that read on would find the pipe closed. Here the cancel is made
// alone, while the thread reads, and the press that follows is dropped: the
// thread must end at the top of its loop instead of waiting on the pipe.
TEST_F(PluginLifecycle, ACancelThatCameDuringAReadEndsTheThreadAtTheTopOfItsLoop) {
    StartWatching();
    uint32_t second = 0;
    AttachInterface(FakeInterface().At(kOtherLocation), &second);  // the press is dropped
    ASSERT_EQ(pthread_cancel(gWatchThread), 0);
    VirtualClockAdvance(kSecond);
    Queue(Press());
    ASSERT_TRUE(WaitForCleanups(1));
    EXPECT_EQ(recorder_.Count(), 0u);
    EXPECT_EQ(gPluginState.load(), nullptr);
    EXPECT_EQ(SimGetCounters().openObjects, 0u);
}

TEST_F(PluginLifecycle, StopDuringTheCallbackLetsItFinishWithTheStateAlive) {
    StartWatching();
    recorder_.Hold(true);
    VirtualClockAdvance(kSecond);
    Queue(Press());
    ASSERT_TRUE(recorder_.WaitInside());

    std::thread stopper([] { EXPECT_EQ(TWAINButtonPluginStop(), 0); });
    // Stop has closed the interface and now waits for the thread.
    ThreadProgress& progress = ThreadProgress::Get();
    ASSERT_TRUE(progress.WaitUntil([&] { return progress.releases >= 1; }));
    recorder_.Hold(false);
    stopper.join();

    EXPECT_TRUE(recorder_.stateAliveWhenReleased);
    EXPECT_EQ(recorder_.Count(), 1u);
    ExpectNothingStarted();
}

TEST_F(PluginLifecycle, EveryAllocationFailureInStartFailsAndLeavesNothing) {
    const uint64_t failures = SweepAllocationFailures(
        [&] { return Start(); },
        [&](uint64_t failing, int32_t result, int64_t liveBefore) {
            if (failing != 0) {
                EXPECT_EQ(result, -1) << "allocation " << failing;
                ExpectNothingStarted();
            } else {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(TWAINButtonPluginStop(), 0);
                ExpectNothingStarted();
            }
            EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
        });
    EXPECT_GE(failures, 1u);
}

}  // namespace
