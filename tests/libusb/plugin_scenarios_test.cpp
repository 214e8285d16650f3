// SPDX-License-Identifier: MIT
// The plug-in's main scenarios through the libusb backend on a mocked kernel:
// the status packet answered by the mode shift and the clock, a press turned
// into an event file and a callback, Stop while the thread is blocked in each
// pipe, an unplug, and the device plugged back in.
#include <fstream>

#include "support/libusb_fixture.h"

namespace {

using StatusExchange = PluginOnLibusb;
using Presses = PluginOnLibusb;
using StopWhileBlocked = PluginOnLibusb;
using Unplug = PluginOnLibusb;

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

TEST_F(StopWhileBlocked, StopEndsAReadOfTheInterruptPipe) {
    StartWatching();
    TimedStop();
    const MockReport report = MockGetReport(scanner_);
    EXPECT_EQ(report.pendingIn[kMockInterruptIn & 0x0F], 0u);
    EXPECT_GE(report.discards, 1u);
    EXPECT_EQ(report.releases, 1u);
}

TEST_F(StopWhileBlocked, StopEndsAReadOfTheBulkInPipeWhileTheDeviceKeepsItsAnswer) {
    Zn417SetAnswerMode(MockZn417(scanner_), Zn417AnswerNever);
    StartWatching();
    MockQueueStatusPacket(scanner_);
    ASSERT_TRUE(MockWaitPending(scanner_, kMockBulkIn, 1, kWaitMs));
    TimedStop();
    const MockReport report = MockGetReport(scanner_);
    EXPECT_EQ(report.pendingIn[kMockBulkIn & 0x0F], 0u);
    EXPECT_EQ(Zn417GetReport(MockZn417(scanner_)).clockPackets, 0u);
}

TEST_F(StopWhileBlocked, StopEndsAWriteTheDeviceNeverAccepts) {
    MockFaults faults;
    faults.writesNeverComplete = true;
    MockSetFaults(scanner_, faults);
    StartWatching();
    MockQueueStatusPacket(scanner_);
    ASSERT_TRUE(MockWaitPending(scanner_, kMockBulkOut, 1, kWaitMs));
    TimedStop();
    EXPECT_EQ(MockGetReport(scanner_).pendingOut[kMockBulkOut], 0u);
}

TEST_F(StopWhileBlocked, ASilentDeviceIsWatchedUntilStop) {
    StartWatching();
    EXPECT_EQ(recorder_.Count(), 0u);
    EXPECT_NE(gPluginState.load(), nullptr);
    TimedStop();
    EXPECT_EQ(UrbsOn(MockGetReport(scanner_), kMockInterruptIn).size(), 1u);  // its one read
    EXPECT_TRUE(UrbsOn(MockGetReport(scanner_), kMockBulkOut).empty());
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

}  // namespace

namespace {

// What a device watch has reported, for a test to wait on.
struct DeviceReports {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<UsbDeviceEvent, UsbDeviceInfo>> events;

    static void Hook(void* context, UsbDeviceEvent event, const UsbDeviceInfo* device) {
        auto* self = static_cast<DeviceReports*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->events.emplace_back(event, *device);
        self->changed.notify_all();
    }
    // Waits for the `event` of the device named `name`; true with its report.
    bool WaitFor(UsbDeviceEvent event, const std::string& name, UsbDeviceInfo* info) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs), [&] {
            for (const auto& entry : events) {
                if (entry.first == event && name == entry.second.name) {
                    *info = entry.second;
                    return true;
                }
            }
            return false;
        });
    }
};

using Replug = PluginOnLibusb;

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
