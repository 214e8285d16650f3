// SPDX-License-Identifier: MIT
// Tests of the entry points called from inside the host's callback, on the
// watch thread: Stop ends the watch once the callback returns and leaves the
// thread to the next Start or Stop; Start is refused and changes nothing.
#include <thread>

#include "plugin_fixture.h"
#include "support/thread_count.h"

namespace {

constexpr int kCycles = 100;

class CallbackEntryTest : public PluginTest {
protected:
    // Starts a watch and sends it a press that reaches the callback.
    void StartAndPress() {
        StartWatching();
        VirtualClockAdvance(kSecond);
        Queue(Press());
    }

    // A press whose callback stops the watch and is then held: the device is
    // let go at once, but the callback has not returned.
    void PressAndHoldAfterAStopFromInside() {
        recorder_.SetInside(InsideCallback::Stop);
        recorder_.HoldAfterInside(true);
        StartAndPress();
        ASSERT_TRUE(recorder_.WaitForInsideResults(1));
        EXPECT_EQ(SimGetCounters().openObjects, 0u);
        EXPECT_NE(gPluginState.load(), nullptr);
        recorder_.SetInside(InsideCallback::Nothing);
    }

    // The end of a cycle: the host's Stop leaves nothing, and the process has
    // as many threads as before the first Start.
    static void StopAndExpectNothingLeft(size_t threadsBefore) {
        EXPECT_EQ(TWAINButtonPluginStop(), 0);
        ExpectNothingStarted();
        EXPECT_TRUE(WaitForThreadCount(threadsBefore, kWaitMs));
    }
};

using StopFromTheCallback = CallbackEntryTest;
using StartFromTheCallback = CallbackEntryTest;

TEST_F(StopFromTheCallback, EndsTheWatchWithoutPauseAndTheNextStopReclaimsTheThread) {
    const size_t threadsBefore = BaselineThreadCount();
    recorder_.SetInside(InsideCallback::Stop);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        const uint64_t sleepsBefore = VirtualClockSleepCount();
        StartAndPress();
        ASSERT_TRUE(WaitForCleanups(cycle + 1));

        EXPECT_EQ(recorder_.InsideResults().back(), 0);
        EXPECT_EQ(recorder_.Count(), static_cast<size_t>(cycle + 1));
        EXPECT_EQ(VirtualClockSleepCount(), sleepsBefore);  // no pause after the callback
        EXPECT_EQ(gPluginState.load(), nullptr);
        EXPECT_EQ(LiveAllocations(), liveBefore_);
        ExpectBusClean();
        EXPECT_TRUE(gWatchThreadUnjoined);  // left for the host's thread to join
        StopAndExpectNothingLeft(threadsBefore);
        if (HasFailure()) {
            return;
        }
    }
}

TEST_F(StopFromTheCallback, TheNextStartReclaimsTheThreadAndWatchesAnew) {
    recorder_.SetInside(InsideCallback::Stop);
    StartAndPress();
    ASSERT_TRUE(WaitForCleanups(1));

    recorder_.SetInside(InsideCallback::Nothing);
    StartWatching();
    EXPECT_EQ(ThreadProgress::Get().Cleanups(), 1u);
    VirtualClockAdvance(kSecond);
    Queue(Press());
    ASSERT_TRUE(recorder_.WaitForCalls(2));
    EXPECT_EQ(SimGetCounters().objectsCreated, 2u);
    // The end the first watch's callback asked for is forgotten: a Start while
    // this watch runs is refused at once (were the request remembered, it
    // would wait for the running watch to end, and hang here).
    EXPECT_EQ(Start(), -1);
    EXPECT_NE(gPluginState.load(), nullptr);
}

TEST_F(StopFromTheCallback, AStartFromTheHostBeforeTheCallbackReturnsWaitsForItAndSucceeds) {
    PressAndHoldAfterAStopFromInside();
    std::thread starter([&] { EXPECT_EQ(Start(), 0); });
    recorder_.HoldAfterInside(false);
    starter.join();
    ASSERT_TRUE(SimWaitForBlockedReads(1, kWaitMs));
    EXPECT_EQ(ThreadProgress::Get().Cleanups(), 1u);
    VirtualClockAdvance(kSecond);
    Queue(Press());
    EXPECT_TRUE(recorder_.WaitForCalls(2));
}

TEST_F(StopFromTheCallback, AStopFromTheHostMeanwhileWaitsForTheCallbackAndLeavesNothing) {
    PressAndHoldAfterAStopFromInside();
    std::thread stopper([] { EXPECT_EQ(TWAINButtonPluginStop(), 0); });
    recorder_.HoldAfterInside(false);
    stopper.join();
    ExpectNothingStarted();
    EXPECT_EQ(ThreadProgress::Get().Cleanups(), 1u);
    EXPECT_EQ(recorder_.Count(), 1u);
}

TEST_F(StartFromTheCallback, IsRefusedAndTheWatchGoesOn) {
    const size_t threadsBefore = BaselineThreadCount();
    recorder_.SetInside(InsideCallback::Start);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        StartWatching();
        PluginState* running = gPluginState.load();
        VirtualClockAdvance(kSecond);
        Deliver(Press());  // the callback, its Start, and the whole pause
        ASSERT_EQ(recorder_.InsideResults().size(), static_cast<size_t>(cycle + 1));
        EXPECT_EQ(recorder_.InsideResults().back(), -1);
        EXPECT_EQ(gPluginState.load(), running);
        EXPECT_EQ(SimGetCounters().objectsCreated, static_cast<uint32_t>(cycle + 1));
        StopAndExpectNothingLeft(threadsBefore);
        EXPECT_EQ(LiveAllocations(), liveBefore_);
        if (HasFailure()) {
            return;
        }
    }
}

TEST_F(StartFromTheCallback, AfterAStopFromTheCallbackIsRefusedToo) {
    recorder_.SetInside(InsideCallback::StopThenStart);
    StartAndPress();
    ASSERT_TRUE(WaitForCleanups(1));
    EXPECT_EQ(recorder_.InsideResults(), (std::vector<int32_t>{0, -1}));
    EXPECT_EQ(SimGetCounters().objectsCreated, 1u);
    EXPECT_EQ(gPluginState.load(), nullptr);
}

}  // namespace
