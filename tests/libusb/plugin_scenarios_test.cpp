// SPDX-License-Identifier: MIT
// The plug-in's main scenarios through the libusb backend on a mocked kernel:
// the status packet answered by the mode shift and the clock, a press turned
// into an event file and a callback, Stop while the thread is blocked in each
// pipe, an unplug, and the device plugged back in.
#include <fstream>

#include "support/device_reports.h"
#include "support/libusb_fixture.h"

namespace {

using StatusExchange = PluginOnLibusb;
using Presses = PluginOnLibusb;
using Unplug = PluginOnLibusb;
using Replug = PluginOnLibusb;

TEST_F(StatusExchange, AStatusPacketIsAnsweredByTheModeShiftAndTheClockPacket) {
    StartWatching();
    Deliver(SendStatus, 0);
    const Zn417Report report = Zn417GetReport(MockZn417(scanner_));
    EXPECT_EQ(report.commandsAccepted, 1u);  // byte for byte the expected command
    EXPECT_EQ(report.answersSent, 1u);
    EXPECT_EQ(report.clockPackets, 1u);
    EXPECT_EQ(report.badClockPackets, 0u);
    EXPECT_EQ(report.unexpectedWrites, 0u);
    ASSERT_TRUE(report.clockSet);
    // 2023-11-14 22:13 UTC: the virtual clock's time.
    EXPECT_EQ(report.lastClock.year, 2023);
    EXPECT_EQ(report.lastClock.month, 11);
    EXPECT_EQ(report.lastClock.day, 14);
    EXPECT_EQ(report.lastClock.hour, 22);
    EXPECT_EQ(report.lastClock.minute, 13);
}

TEST_F(StatusExchange, ADeviceThatAnswersBusyGetsNoClockPacket) {
    Zn417SetAnswerMode(MockZn417(scanner_), Zn417AnswerRefuse, "DeviceBusy");
    StartWatching();
    Deliver(SendStatus, 0);
    const Zn417Report report = Zn417GetReport(MockZn417(scanner_));
    EXPECT_EQ(report.commandsAccepted, 1u);
    EXPECT_EQ(report.clockPackets + report.badClockPackets + report.unexpectedWrites, 0u);

    // The next status packet is answered again, and accepted this time.
    Zn417SetAnswerMode(MockZn417(scanner_), Zn417AnswerAccept);
    Deliver(SendStatus, 0);
    EXPECT_EQ(Zn417GetReport(MockZn417(scanner_)).clockPackets, 1u);
}

TEST_F(Presses, APressAfterTheWindowWritesTheEventFileAndCallsTheHost) {
    StartWatching();
    VirtualClockAdvance(kSecond);
    MockQueuePress(scanner_, 7);
    ASSERT_TRUE(recorder_.WaitForCalls(1));
    EXPECT_EQ(recorder_.calls[0].eventCode, kScanEventCode);
    EXPECT_EQ(recorder_.calls[0].hostLocation, &location_);
    const std::vector<std::string> files = EventFiles();
    ASSERT_EQ(files.size(), 1u);
    PlistPtr root = Decode(ReadFile(directory_ + "/" + files[0]));
    ASSERT_NE(root, nullptr);
    uint8_t packet[Zn417InterruptPacketLength];
    Zn417FillInterruptPacket(0, 7, packet);
    EXPECT_EQ(DataAt(root.get(), "EventData"),
              std::vector<uint8_t>(packet, packet + sizeof packet));
}

TEST_F(Presses, APressWithinTheWindowIsIgnored) {
    StartWatching();
    Deliver(MockQueuePress, 1);
    EXPECT_EQ(recorder_.Count(), 0u);
    EXPECT_TRUE(EventFiles().empty());
}

// Stop while the thread waits on a transfer the device never ends (a silent
// device: the interrupt pipe): the device is watched until then, and Stop
// cancels the transfer, gives the interface back, and no clock goes out.
struct BlockedTransfer {
    const char* name;
    uint8_t endpoint;           // where the thread waits
    bool deviceNeverAnswers;    // the status packet's command gets no answer on bulk-in
    bool writesNeverComplete;   // the command itself is never accepted
};

class StopWhileBlockedIn : public PluginOnLibusb,
                           public ::testing::WithParamInterface<BlockedTransfer> {};

INSTANTIATE_TEST_SUITE_P(, StopWhileBlockedIn,
                         ::testing::Values(
                             BlockedTransfer{"InterruptRead", kMockInterruptIn, false, false},
                             BlockedTransfer{"BulkInRead", kMockBulkIn, true, false},
                             BlockedTransfer{"BulkOutWrite", kMockBulkOut, false, true}),
                         [](const ::testing::TestParamInfo<BlockedTransfer>& info) {
                             return std::string(info.param.name);
                         });

TEST_P(StopWhileBlockedIn, StopCancelsTheTransferAndReleasesTheInterface) {
    const BlockedTransfer& blocked = GetParam();
    if (blocked.deviceNeverAnswers) {
        Zn417SetAnswerMode(MockZn417(scanner_), Zn417AnswerNever);
    }
    MockFaults faults;
    faults.writesNeverComplete = blocked.writesNeverComplete;
    MockSetFaults(scanner_, faults);
    StartWatching();
    if (blocked.endpoint != kMockInterruptIn) {
        MockQueueStatusPacket(scanner_);
        ASSERT_TRUE(MockWaitPending(scanner_, blocked.endpoint, 1, kWaitMs));
    }
    EXPECT_NE(gPluginState.load(), nullptr);
    TimedStop();
    EXPECT_EQ(recorder_.Count(), 0u);
    const MockReport report = MockGetReport(scanner_);
    EXPECT_EQ(UrbsOn(report, kMockInterruptIn).size(), 1u);  // its one read
    // The status packet's command, when one came.
    EXPECT_EQ(UrbsOn(report, kMockBulkOut).size(), blocked.endpoint == kMockInterruptIn ? 0u : 1u);
    const uint32_t* pending = (blocked.endpoint & 0x80) != 0 ? report.pendingIn : report.pendingOut;
    EXPECT_EQ(pending[blocked.endpoint & 0x0F], 0u);
    EXPECT_GE(report.discards, 1u);
    EXPECT_EQ(report.releases, 1u);
    EXPECT_EQ(Zn417GetReport(MockZn417(scanner_)).clockPackets, 0u);
}

TEST_F(Unplug, AnUnplugEndsTheWatchSilentlyAndStopThenReturnsAtOnce) {
    StartWatching();
    MockUnplug(bus_, scanner_);
    ASSERT_TRUE(ThreadProgress::Get().WaitUntil([] { return ThreadProgress::Get().cleanups >= 1; }));
    EXPECT_EQ(gPluginState.load(), nullptr);
    EXPECT_EQ(recorder_.Count(), 0u);
    EXPECT_TRUE(EventFiles().empty());
    TimedStop();
}

TEST_F(Replug, APluggedBackDeviceIsReportedAndWatchedAgain) {
    DeviceReports reports;
    UsbDeviceWatch* watch = nullptr;
    ASSERT_EQ(UsbWatchDevices(DeviceReports::Hook, &reports, &watch), PlatformOk);
    StartWatching();
    MockUnplug(bus_, scanner_);
    UsbDeviceInfo info{};
    ASSERT_TRUE(reports.WaitFor(UsbDeviceLeft, "1-4.1", &info));
    ASSERT_TRUE(ThreadProgress::Get().WaitUntil([] { return ThreadProgress::Get().cleanups >= 1; }));
    EXPECT_EQ(TWAINButtonPluginStop(), 0);  // the host reclaims the watch that ended

    MockReplug(bus_, scanner_);
    ASSERT_TRUE(reports.WaitFor(UsbDeviceArrived, "1-4.1", &info));
    EXPECT_TRUE(info.hasLocation);
    EXPECT_EQ(info.locationId, kMockLocation);
    StartWatching();
    VirtualClockAdvance(kSecond);
    MockQueuePress(scanner_, 2);
    EXPECT_TRUE(recorder_.WaitForCalls(1));
    UsbUnwatchDevices(watch);
}

}  // namespace
