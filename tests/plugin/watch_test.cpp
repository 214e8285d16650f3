// SPDX-License-Identifier: MIT
// Tests of the watch thread: the 1-second window, status packets, what a
// press leaves in the event file, presses that are dropped, and the end of the
// thread on a failed read.
#include <fstream>

#include "plugin_fixture.h"
#include "xmlpath/namespaces.h"

namespace {

using PressWindow = PluginTest;
using StatusPackets = PluginTest;
using AcceptedPresses = PluginTest;
using DroppedPresses = PluginTest;
using ReadFailures = PluginTest;

// Presses at set moments of the clock, in microseconds from the start of the
// watch (whole seconds before it), and how many the host has been told of after each. Every press
// it is told of has its event file and its 5-second pause (50 steps of 100 ms), which move the
// clock on.
struct TimedPress {
    int64_t at;
    size_t reported;
};
struct Timeline {
    const char* label;
    std::vector<TimedPress> presses;
};

TEST_F(PressWindow, APressIsTakenOnlyOneSecondAfterTheWaitBegan) {
    const Timeline timelines[] = {
        {"before 1 s ignored, at 1 s taken", {{999999, 0}, {1000000, 1}}},
        {"counted from the start of the wait, not the last packet", {{600000, 0}, {1100000, 1}}},
        {"a clock stepped back waits until it has caught up",
         {{-10000000, 0}, {999999, 0}, {1000000, 1}}},
        {"after a press and its pause, a new 1 s wait", {{1000000, 1}, {6999999, 1}, {7000000, 2}}},
    };
    for (const Timeline& timeline : timelines) {
        SCOPED_TRACE(timeline.label);
        const size_t callsBefore = recorder_.Count();
        const uint64_t sleepsBefore = VirtualClockSleepCount();
        const struct timeval start { kStartSeconds, 0 };
        VirtualClockSet(&start);
        StartWatching();
        for (const TimedPress& press : timeline.presses) {
            const struct timeval now { kStartSeconds + press.at / 1000000, press.at % 1000000 };
            VirtualClockSet(&now);
            Deliver(Press());
            EXPECT_EQ(recorder_.Count() - callsBefore, press.reported) << "at " << press.at;
            EXPECT_EQ(VirtualClockSleepCount() - sleepsBefore, 50 * press.reported);
            EXPECT_EQ(EventFiles().size(), press.reported);
        }
        EXPECT_EQ(TWAINButtonPluginStop(), 0);
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directory(directory_);
    }
}

// A device answer that accepts the mode shift.
std::string AcceptingAnswer() {
    return "<?xml version=\"1.0\" encoding=\"utf-8\" ?><cmd xmlns:ivec=\"" ZN_NS_COMMON_URI
           "\"><ivec:contents><ivec:operation>VendorCmdResponse</ivec:operation>"
           "<ivec:param_set servicetype=\"scan\"><ivec:response>OK</ivec:response>"
           "</ivec:param_set></ivec:contents></cmd>";
}

TEST_F(StatusPackets, AStatusPacketIsAnsweredWithinTheSameWindow) {
    const std::string answer = AcceptingAnswer();
    ASSERT_EQ(SimQueueBulkAnswer(scanner_, answer.data(), answer.size()), PlatformOk);
    ASSERT_EQ(SimQueueBulkAnswer(scanner_, "ok", 2), PlatformOk);  // the clock's acknowledgement
    StartWatching();
    VirtualClockAdvance(kSecond / 2);
    Deliver(Packet(256, 0));
    // The mode shift, then the 36-byte clock packet once the device accepted it.
    ASSERT_EQ(SimWriteCount(scanner_), 2u);
    uint32_t length = 0;
    ASSERT_TRUE(SimGetWrite(scanner_, 1, nullptr, nullptr, nullptr, 0, &length));
    EXPECT_EQ(length, 36u);
    EXPECT_EQ(recorder_.Count(), 0u);

    VirtualClockAdvance(kSecond / 2);  // 1.0 s after the start of the wait
    Deliver(Press(1, 0x40));
    ASSERT_EQ(recorder_.Count(), 1u);
    EXPECT_EQ(EventDataOf(NameAt(kStartSeconds + 1)), Press(1, 0x40));
}

TEST_F(StatusPackets, ARefusedModeShiftSendsNoClockPacket) {
    const std::string refusal =
        "<?xml version=\"1.0\" ?><cmd xmlns:ivec=\"" ZN_NS_COMMON_URI
        "\"><ivec:contents><ivec:param_set servicetype=\"scan\"><ivec:response>NG"
        "</ivec:response><ivec:response_detail>DeviceBusy</ivec:response_detail>"
        "</ivec:param_set></ivec:contents></cmd>";
    ASSERT_EQ(SimQueueBulkAnswer(scanner_, refusal.data(), refusal.size()), PlatformOk);
    StartWatching();
    Deliver(Packet(256, 0));
    EXPECT_EQ(SimWriteCount(scanner_), 1u);
}

TEST_F(StatusPackets, StopEndsAnExchangeWithADeviceThatNeverAnswers) {
    StartWatching();
    Queue(Packet(256, 0));
    // Blocked in the read of the answer: the write has gone out.
    ASSERT_TRUE(ThreadProgress::Get().WaitUntil([&] { return SimWriteCount(scanner_) == 1; }));
    ASSERT_TRUE(SimWaitForBlockedReads(1, kWaitMs));
    EXPECT_EQ(TWAINButtonPluginStop(), 0);
    EXPECT_EQ(gPluginState.load(), nullptr);
    EXPECT_EQ(SimWriteCount(scanner_), 1u);  // no clock packet after the aborted read
}

TEST_F(StatusPackets, OtherPacketsWithoutAButtonChangeNothing) {
    StartWatching();
    for (uint16_t word : {0, 1, 255, 257, 512, 0xFFFF}) {
        Deliver(Packet(word, 0));
    }
    EXPECT_EQ(SimWriteCount(scanner_), 0u);
    EXPECT_EQ(recorder_.Count(), 0u);
    EXPECT_TRUE(EventFiles().empty());
}

// Each press reaches the host the same way; its file holds its own packet and
// the location the host's pointer gives at that press.
TEST_F(AcceptedPresses, EachPressReachesTheHostAlikeWithItsOwnPacketAndTheLocationThen) {
    struct Taken {
        uint8_t buttonCode;
        int32_t location;
        time_t second;
    };
    const Taken presses[] = {{1, kHostLocation, kStartSeconds + 1},
                             {255, kOtherLocation, kStartSeconds + 7}};  // after the 5 s pause
    StartWatching();
    for (const Taken& press : presses) {
        location_ = press.location;  // the host changes the value behind its pointer
        VirtualClockAdvance(kSecond);
        Deliver(Press(press.buttonCode));
    }
    ASSERT_EQ(recorder_.Count(), std::size(presses));
    EXPECT_EQ(EventFiles().size(), std::size(presses));
    for (size_t i = 0; i < std::size(presses); ++i) {
        SCOPED_TRACE("button " + std::to_string(presses[i].buttonCode));
        EXPECT_EQ(recorder_.calls[i].eventCode, TWAIN_BUTTON_EVENT_SCAN);
        EXPECT_EQ(recorder_.calls[i].hostLocation, &location_);
        EXPECT_EQ(recorder_.calls[i].hostContext, &recorder_);
        EXPECT_EQ(EventDataOf(NameAt(presses[i].second)), Press(presses[i].buttonCode));
        PlistPtr root = Decode(ReadFile(PathOf(NameAt(presses[i].second))));
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(StringAt(root.get(), "PortName"), std::to_string(presses[i].location));
    }
}

TEST_F(AcceptedPresses, ShortAndEmptyTransfersNeitherLeaveStaleBytesNorShrinkLaterReads) {
    StartWatching();
    Deliver(Packet(0, 0, 32, 0x10));  // fills eventData with marks
    Deliver({});                      // an empty transfer
    VirtualClockAdvance(kSecond);
    Deliver(Packet(0, 7, 5, 0x30));  // five bytes: the rest must read as zero
    ASSERT_EQ(recorder_.Count(), 1u);
    std::vector<uint8_t> expected(32, 0);
    const std::vector<uint8_t> shortPress = Packet(0, 7, 5, 0x30);
    std::copy(shortPress.begin(), shortPress.end(), expected.begin());
    EXPECT_EQ(EventDataOf(NameAt(kStartSeconds + 1)), expected);

    // A whole packet is still read after them.
    VirtualClockAdvance(kSecond);
    Deliver(Press(2, 0x50));
    ASSERT_EQ(recorder_.Count(), 2u);
    EXPECT_EQ(EventDataOf(NameAt(kStartSeconds + 7)), Press(2, 0x50));
}

TEST_F(DroppedPresses, AFailedDeviceCheckDropsThePressWithoutPause) {
    StartWatching();
    uint32_t second = 0;
    AttachInterface(FakeInterface().At(kOtherLocation), &second);
    VirtualClockAdvance(kSecond * 3 / 2);
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 0u);
    EXPECT_TRUE(EventFiles().empty());
    EXPECT_EQ(VirtualClockSleepCount(), 0u);

    // The next wait began at the dropped press.
    SimDetachDevice(second);
    VirtualClockAdvance(kSecond * 7 / 10);
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 0u);
    VirtualClockAdvance(kSecond * 3 / 10);
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 1u);
}

TEST_F(DroppedPresses, AnExistingEventFileDropsThePressWithoutPauseAndIsKept) {
    StartWatching();
    const std::string taken = NameAt(kStartSeconds + 1);
    std::ofstream(PathOf(taken)) << "keep";
    VirtualClockAdvance(kSecond);
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 0u);
    EXPECT_EQ(VirtualClockSleepCount(), 0u);
    EXPECT_EQ(ReadFile(PathOf(taken)), "keep");

    VirtualClockAdvance(kSecond);
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 1u);
    EXPECT_EQ(EventFiles().size(), 2u);
}

TEST_F(DroppedPresses, EveryAllocationFailureOnTheEventPathDropsThePressAndLeaksNothing) {
    StartWatching();
    size_t files = 0;
    const uint64_t failures = SweepAllocationFailures(
        [&] {
            VirtualClockAdvance(2 * kSecond);  // a new window and a new file name
            const uint64_t sleepsBefore = VirtualClockSleepCount();
            Deliver(Press());
            return VirtualClockSleepCount() != sleepsBefore;  // reported presses pause
        },
        [&](uint64_t failing, bool reported, int64_t liveBefore) {
            EXPECT_EQ(reported, failing == 0) << "allocation " << failing;
            EXPECT_EQ(recorder_.Count(), failing == 0 ? 1u : 0u);
            EXPECT_EQ(EventFiles().size(), failing == 0 ? 1u : 0u);
            EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
            files = EventFiles().size();
        });
    EXPECT_GE(failures, 1u);
    EXPECT_EQ(files, 1u);
}

// An unplugged device is in the lifecycle tests.
TEST_F(ReadFailures, AStalledPipeEndsTheThreadWithoutTellingTheHost) {
    SimFailStep(SimStepRead, PlatformErrStalled, scanner_, kInterruptPipeRef, 0);
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(WaitForCleanups(1));
    EXPECT_EQ(gPluginState.load(), nullptr);
    EXPECT_EQ(recorder_.Count(), 0u);
}

}  // namespace
