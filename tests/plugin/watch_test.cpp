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

TEST_F(PressWindow, APressBeforeOneSecondIsIgnoredAndOneAtOneSecondIsTaken) {
    StartWatching();
    VirtualClockAdvance(kSecond - 1);
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 0u);
    EXPECT_TRUE(EventFiles().empty());

    VirtualClockAdvance(1);
    Queue(Press());
    ASSERT_TRUE(recorder_.WaitForCalls(1));
    EXPECT_EQ(recorder_.calls[0].eventCode, kScanEventCode);
    EXPECT_EQ(recorder_.calls[0].eventCode, TWAIN_BUTTON_EVENT_SCAN);
    EXPECT_EQ(recorder_.calls[0].hostLocation, &location_);
    EXPECT_EQ(recorder_.calls[0].hostContext, &recorder_);
}

TEST_F(PressWindow, TheWindowCountsFromTheStartOfTheWaitNotFromTheLastPacket) {
    StartWatching();
    VirtualClockAdvance(kSecond * 6 / 10);
    Deliver(Press());
    VirtualClockAdvance(kSecond * 5 / 10);  // 1.1 s after the start, 0.5 s after the last press
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 1u);
}

TEST_F(PressWindow, AClockSteppedBackMakesPressesWaitUntilItHasCaughtUp) {
    StartWatching();
    const struct timeval back { kStartSeconds - 10, 0 };
    VirtualClockSet(&back);
    Deliver(Press());
    const struct timeval almost { kStartSeconds, 999999 };
    VirtualClockSet(&almost);
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 0u);

    const struct timeval caughtUp { kStartSeconds + 1, 0 };
    VirtualClockSet(&caughtUp);
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 1u);
}

TEST_F(PressWindow, AfterAReportedPressTheNextComesNoSoonerThanSixSecondsLater) {
    StartWatching();
    VirtualClockAdvance(kSecond);
    Deliver(Press());
    ASSERT_EQ(recorder_.Count(), 1u);
    EXPECT_EQ(VirtualClockSleepCount(), 50u);  // 5 s in 100 ms steps

    VirtualClockAdvance(kSecond - 1);  // 5.999999 s after the press
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 1u);
    VirtualClockAdvance(1);
    Deliver(Press());
    EXPECT_EQ(recorder_.Count(), 2u);
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

TEST_F(AcceptedPresses, ButtonCodes1And255ReachTheHostAlikeAndDifferOnlyInEventData) {
    StartWatching();
    VirtualClockAdvance(kSecond);
    Deliver(Press(1));
    VirtualClockAdvance(kSecond);  // after the 5 s pause
    Deliver(Press(255));
    ASSERT_EQ(recorder_.Count(), 2u);
    for (const HostCall& call : recorder_.calls) {
        EXPECT_EQ(call.eventCode, kScanEventCode);
        EXPECT_EQ(call.hostLocation, &location_);
        EXPECT_EQ(call.hostContext, &recorder_);
    }
    const std::vector<uint8_t> first = EventDataOf(NameAt(kStartSeconds + 1));
    const std::vector<uint8_t> second = EventDataOf(NameAt(kStartSeconds + 7));
    EXPECT_EQ(first, Press(1));
    EXPECT_EQ(second, Press(255));
    EXPECT_EQ(EventFiles().size(), 2u);
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

TEST_F(AcceptedPresses, PortNameIsTheLocationTheHostPointsToAtThePress) {
    StartWatching();
    VirtualClockAdvance(kSecond);
    Deliver(Press());
    location_ = kOtherLocation;  // the host changes the value behind its pointer
    VirtualClockAdvance(kSecond);
    Deliver(Press());
    ASSERT_EQ(recorder_.Count(), 2u);
    PlistPtr first = Decode(ReadFile(PathOf(NameAt(kStartSeconds + 1))));
    PlistPtr second = Decode(ReadFile(PathOf(NameAt(kStartSeconds + 7))));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(StringAt(first.get(), "PortName"), std::to_string(kHostLocation));
    EXPECT_EQ(StringAt(second.get(), "PortName"), std::to_string(kOtherLocation));
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
