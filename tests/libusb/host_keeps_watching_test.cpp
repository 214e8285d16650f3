// SPDX-License-Identifier: MIT
// The host's watch kept alive on libusb against the mocked USB kernel, as
// on real hardware: a stall on the interrupt pipe ends the plug-in's watch,
// the host starts it again and the next press runs its action; a claim
// refused as busy is tried again until the interface is free.
#include <gtest/gtest.h>

#include "host/service_harness.h"
#include "mock_usb.h"

namespace {

class HostOnMockedKernel : public ServiceHarness {
protected:
    void PrepareBus() override {
        bus_ = MockBusCreate();
        ASSERT_NE(bus_, nullptr);
        scanner_ = MockAddDevice(bus_, 1, {4, 1}, Zn417Layout());
        ASSERT_NE(scanner_, nullptr);
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendLibusb), PlatformOk);
    }

    void TearDown() override {
        ServiceHarness::TearDown();
        if (bus_ != nullptr) {
            MockBusRelease(bus_);
        }
    }

    // A press past the plug-in's window, once it reads its interrupt pipe.
    void PressOnMock(uint8_t code) {
        ASSERT_TRUE(MockWaitPending(scanner_, kMockInterruptIn, 1, 5000));
        VirtualClockAdvance(2 * 1000 * 1000);
        MockQueuePress(scanner_, code);
    }

    MockBus* bus_ = nullptr;
    MockDevice* scanner_ = nullptr;
};

TEST_F(HostOnMockedKernel, AStallEndsTheWatchWhichIsStartedAgainAndThePressAfterRunsItsAction) {
    const std::string out = dir_ + "/button";
    StartService({"--wait", "--exec", "echo $ZN417_BUTTON > '" + out + "'"});
    ASSERT_TRUE(WaitWatching(1));
    ASSERT_TRUE(MockWaitPending(scanner_, kMockInterruptIn, 1, 5000));
    MockFaults faults;
    faults.stallEndpoint = kMockInterruptIn;  // the next read stalls
    MockSetFaults(scanner_, faults);
    MockQueueStatusPacket(scanner_);  // completes the read waiting now
    ASSERT_TRUE(WaitWatching(3)) << "not watching again after the stall";
    PressOnMock(6);
    ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
    EXPECT_EQ(HarnessReadFile(out), "6\n");
}

TEST_F(HostOnMockedKernel, ABusyInterfaceIsTriedAgainUntilFreeThenThePressRunsItsAction) {
    MockFaults faults;
    faults.claimBusy = true;
    MockSetFaults(scanner_, faults);
    StartService({"--wait", "--exec", "true"});
    ASSERT_TRUE(WaitFor([&] { return CountWaits(DeviceBusy) >= 3; }));
    MockSetFaults(scanner_, MockFaults{});
    ASSERT_TRUE(WaitWatching(1));
    PressOnMock(1);
    ASSERT_TRUE(WaitFor([&] { return ended_.size() == 1; }));
}

}  // namespace
