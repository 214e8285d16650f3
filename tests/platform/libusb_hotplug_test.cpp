// SPDX-License-Identifier: MIT
// The libusb backend's device listing and arrival/departure reports against
// the mocked kernel of tests/support: a ZN417 below a root hub is listed and
// reported with its sysfs name, IDs, bus/address and location, every watch
// hears it until that watch ends, and the listing never writes past its room.
// Runs with umockdev's preload library (see tests/support/mock_usb_main.cpp),
// which points libusb at the mocked sysfs and /dev and delivers the testbed's
// uevents to libusb's device monitor.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/usb_platform.h"
#include "support/device_reports.h"
#include "support/mock_usb.h"

namespace {

class LibusbDevices : public ::testing::Test {
protected:
    void SetUp() override {
        bus_ = MockBusCreate();
        ASSERT_NE(bus_, nullptr)
            << "needs umockdev's preload library (see tests/support/mock_usb_main.cpp)";
        scanner_ = MockAddDevice(bus_, 1, {4}, Zn417Layout());
        ASSERT_NE(scanner_, nullptr);
        // libusb starts here, so it sees the testbed.
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendLibusb), PlatformOk);
    }
    void TearDown() override {
        UsbPlatformSelectBackend(UsbBackendSimulated);
        MockBusRelease(bus_);
    }
    MockBus* bus_ = nullptr;
    MockDevice* scanner_ = nullptr;
};

TEST_F(LibusbDevices, AnUnpluggedAndReturningScannerIsReportedWithItsNames) {
    DeviceReports reports;
    UsbDeviceWatch* watch = nullptr;
    ASSERT_EQ(UsbWatchDevices(DeviceReports::Hook, &reports, &watch), PlatformOk);
    MockUnplug(bus_, scanner_);
    ASSERT_TRUE(reports.WaitForCount(1));
    MockReplug(bus_, scanner_);
    ASSERT_TRUE(reports.WaitForCount(2));
    UsbUnwatchDevices(watch);
    std::lock_guard<std::mutex> guard(reports.lock);
    EXPECT_EQ(reports.seen[0].first, UsbDeviceLeft);
    EXPECT_STREQ(reports.seen[0].second.name, "1-4");
    EXPECT_EQ(reports.seen[1].first, UsbDeviceArrived);
    const UsbDeviceInfo& arrived = reports.seen[1].second;
    EXPECT_STREQ(arrived.name, "1-4");
    EXPECT_EQ(arrived.vendorId, Zn417Layout().vendorId);
    EXPECT_EQ(arrived.productId, Zn417Layout().productId);
    EXPECT_EQ(arrived.busNumber, 1);
    EXPECT_EQ(arrived.deviceAddress, 2);  // after the root hub's 1
    EXPECT_TRUE(arrived.hasLocation);
    EXPECT_EQ(arrived.locationId, 0x01400000);
}

// The backend's reports run while any watch is left; ending the last one
// wakes libusb's event wait (which lasts a day) rather than waiting it out.
TEST_F(LibusbDevices, EndingOneWatchLeavesTheOtherHearingAndEndingTheLastIsPrompt) {
    DeviceReports first;
    DeviceReports second;
    UsbDeviceWatch* a = nullptr;
    UsbDeviceWatch* b = nullptr;
    ASSERT_EQ(UsbWatchDevices(DeviceReports::Hook, &first, &a), PlatformOk);
    ASSERT_EQ(UsbWatchDevices(DeviceReports::Hook, &second, &b), PlatformOk);
    UsbUnwatchDevices(a);
    MockUnplug(bus_, scanner_);
    EXPECT_TRUE(second.WaitForCount(1));
    EXPECT_EQ(first.Count(), 0u);
    const auto start = std::chrono::steady_clock::now();
    UsbUnwatchDevices(b);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Two devices (the root hub and the scanner) listed into a room of two, of
// one and of none: each is filled exactly, and the count says how many there
// are, so the caller can ask again with room enough.
TEST_F(LibusbDevices, TheListingFillsExactlyItsRoomAndCountsAll) {
    for (uint32_t room : {3u, 2u, 1u, 0u}) {
        SCOPED_TRACE(room);
        UsbDeviceInfo devices[4];
        std::memset(devices, 0xA5, sizeof devices);
        uint32_t count = 0;
        ASSERT_EQ(UsbListDevices(room == 0 ? nullptr : devices, room, &count), PlatformOk);
        EXPECT_EQ(count, 2u);
        for (uint32_t i = 0; i < 4; ++i) {
            const bool filled = i < room && i < count;
            EXPECT_EQ(devices[i].busNumber, filled ? 1 : 0xA5) << i;
        }
        if (room >= 2) {
            const UsbDeviceInfo& scanner = devices[0].deviceAddress == 1 ? devices[1] : devices[0];
            EXPECT_STREQ(scanner.name, "1-4");
        }
    }
}

}  // namespace
