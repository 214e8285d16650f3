// SPDX-License-Identifier: MIT
// Stress test of the plug-in's shutdown: many Start/Stop cycles in which Stop,
// an unplug, both at once, or a Stop from inside the host's callback land at
// random phases of the watch thread, each cycle proven to leave no state,
// thread, lock, open object, block or misuse.
#include <random>
#include <thread>

#include "plugin_fixture.h"

namespace {

using PluginStress = PluginTest;

enum Phase {
    kJustStarted,        // the thread may not have reached its first read
    kBlockedInRead,      // waiting on the interrupt pipe
    kInsideCallback,     // the host's callback runs (and does not return at once)
    kDuringPause,        // in one of the 100 ms sleeps after a press
    kAfterStatusPacket,  // answering a status packet, or just after it
    kPhaseCount,
};

enum Ending {
    kStop,              // the host stops
    kUnplugThenStop,    // the device goes away, then the host stops
    kUnplugDuringStop,  // both at once, from two threads
    kStopFromCallback,  // the callback stops, while the host's thread stops too
    kEndingCount,
};

constexpr int kCycles = 1000;

void Spin(uint32_t rounds) {
    for (volatile uint32_t i = 0; i < rounds; i = i + 1) {
    }
}

TEST_F(PluginStress, StopAndUnplugAtRandomPhasesLeaveNothingBehind) {
    std::mt19937 random(417);
    ThreadProgress& progress = ThreadProgress::Get();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        auto phase = static_cast<Phase>(random() % kPhaseCount);
        const auto ending = static_cast<Ending>(random() % kEndingCount);
        if (ending == kStopFromCallback && phase == kAfterStatusPacket) {
            phase = kBlockedInRead;  // the silent device's exchange would never reach a press
        }
        const uint32_t jitter = random() % 4000;
        SCOPED_TRACE("cycle " + std::to_string(cycle) + ", phase " + std::to_string(phase) +
                     ", ending " + std::to_string(ending));

        const size_t callsBefore = recorder_.Count();
        size_t callsAllowed = callsBefore + 1;
        const uint64_t cleanupsBefore = progress.Cleanups();
        ASSERT_EQ(Start(), 0);
        switch (phase) {
            case kJustStarted:
                break;
            case kBlockedInRead:
                ASSERT_TRUE(SimWaitForBlockedReads(1, kWaitMs));
                break;
            case kInsideCallback:
                recorder_.Hold(true);
                ASSERT_TRUE(SimWaitForBlockedReads(1, kWaitMs));
                VirtualClockAdvance(2 * kSecond);
                Queue(Press());
                ASSERT_TRUE(recorder_.WaitForCalls(callsBefore + 1));
                break;
            case kDuringPause:
                VirtualClockHoldSleeps(true);
                ASSERT_TRUE(SimWaitForBlockedReads(1, kWaitMs));
                VirtualClockAdvance(2 * kSecond);
                Queue(Press());
                ASSERT_TRUE(VirtualClockWaitForSleeper(kWaitMs));
                break;
            case kAfterStatusPacket:
                ASSERT_TRUE(SimWaitForBlockedReads(1, kWaitMs));
                Queue(Packet(256, 0));
                break;
            case kPhaseCount:
                break;
        }
        Spin(jitter);

        // A held callback or sleep is let go once the ending is under way, so
        // that the ending meets the thread inside it.
        auto letGo = [&] {
            recorder_.Hold(false);
            VirtualClockHoldSleeps(false);
        };
        if (ending == kStop) {
            const uint64_t releasesBefore = progress.Releases();
            std::thread stopper([] { EXPECT_EQ(TWAINButtonPluginStop(), 0); });
            // Stop has closed the interface and now waits for the thread.
            ASSERT_TRUE(progress.WaitUntil([&] { return progress.releases > releasesBefore; }));
            letGo();
            stopper.join();
        } else if (ending == kStopFromCallback) {
            // A press reaches the callback, which stops; the host's Stop comes
            // at once, meeting the callback's Stop or the thread's end.
            recorder_.SetInside(InsideCallback::Stop);
            letGo();
            if (phase != kInsideCallback) {
                ASSERT_TRUE(SimWaitForBlockedReads(1, kWaitMs));
                VirtualClockAdvance(2 * kSecond);
                Queue(Press());
                if (phase == kDuringPause) {
                    ++callsAllowed;  // the press of the phase called back already
                }
            }
            ASSERT_TRUE(recorder_.WaitForCalls(callsAllowed));
            EXPECT_EQ(TWAINButtonPluginStop(), 0);
            recorder_.SetInside(InsideCallback::Nothing);
        } else if (ending == kUnplugThenStop) {
            SimDetachDevice(scannerDevice_);
            letGo();
            EXPECT_EQ(TWAINButtonPluginStop(), 0);
        } else {
            std::thread unplug([&] { SimDetachDevice(scannerDevice_); });
            letGo();
            EXPECT_EQ(TWAINButtonPluginStop(), 0);
            unplug.join();
        }

        ASSERT_EQ(progress.Cleanups(), cleanupsBefore + 1);
        ExpectNothingStarted();
        EXPECT_EQ(LiveAllocations(), liveBefore_);
        EXPECT_LE(recorder_.Count(), callsAllowed);
        if (HasFailure()) {
            return;  // later cycles would only repeat the report
        }

        // A fresh device for the next cycle: a packet that this cycle's thread
        // never read (a status packet queued just before Stop) would otherwise
        // be the next thread's first, and its exchange would wait for an answer.
        if (ending == kStop || ending == kStopFromCallback) {
            SimDetachDevice(scannerDevice_);
        }
        scanner_ = AttachInterface(FakeInterface(), &scannerDevice_);
    }
}

}  // namespace
