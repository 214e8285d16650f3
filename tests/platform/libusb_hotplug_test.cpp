// The libusb backend's device listing and arrival/departure reports against
// a mocked kernel (umockdev): a ZN417 plugged in below a root hub is reported
// with its sysfs name, IDs, bus/address and location, and so is its removal.
// Runs under umockdev-wrapper, which points libusb at the mocked sysfs and
// /dev and delivers the testbed's uevents to libusb's device monitor.
#include <gtest/gtest.h>
#include <umockdev.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/usb_platform.h"
#include "support/mocked_usb.h"

namespace {

struct Reports {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<UsbDeviceEvent, UsbDeviceInfo>> seen;
};

void Record(void* context, UsbDeviceEvent event, const UsbDeviceInfo* device) {
    auto* reports = static_cast<Reports*>(context);
    std::lock_guard<std::mutex> guard(reports->lock);
    reports->seen.emplace_back(event, *device);
    reports->changed.notify_all();
}

bool WaitForReports(Reports* reports, size_t count) {
    std::unique_lock<std::mutex> guard(reports->lock);
    return reports->changed.wait_for(guard, std::chrono::seconds(5),
                                     [&] { return reports->seen.size() >= count; });
}

TEST(LibusbDeviceReports, APluggedAndUnpluggedScannerIsReportedWithItsNames) {
    const char* preload = getenv("LD_PRELOAD");
    if (preload == nullptr || strstr(preload, "umockdev-preload") == nullptr) {
        GTEST_SKIP() << "needs umockdev-wrapper";
    }
    UMockdevTestbed* testbed = umockdev_testbed_new();
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, kRootHub, &error));
    // libusb starts here, so it sees the testbed.
    if (UsbPlatformSelectBackend(UsbBackendLibusb) != PlatformOk) {
        g_object_unref(testbed);
        GTEST_SKIP() << "no libusb backend here";
    }
    Reports reports;
    UsbDeviceWatch* watch = nullptr;
    ASSERT_EQ(UsbWatchDevices(Record, &reports, &watch), PlatformOk);

    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, kScanner, &error));
    umockdev_testbed_uevent(testbed, kScannerPath, "add");
    ASSERT_TRUE(WaitForReports(&reports, 1));
    {
        std::lock_guard<std::mutex> guard(reports.lock);
        const UsbDeviceInfo& arrived = reports.seen[0].second;
        EXPECT_EQ(reports.seen[0].first, UsbDeviceArrived);
        EXPECT_STREQ(arrived.name, "1-4");
        EXPECT_EQ(arrived.vendorId, 0xF0E1);
        EXPECT_EQ(arrived.productId, 0x0417);
        EXPECT_EQ(arrived.busNumber, 1);
        EXPECT_EQ(arrived.deviceAddress, 5);
        EXPECT_TRUE(arrived.hasLocation);
        EXPECT_EQ(arrived.locationId, 0x01400000);
    }
    UsbDeviceInfo listed[4];
    uint32_t count = 0;
    ASSERT_EQ(UsbListDevices(listed, 4, &count), PlatformOk);
    ASSERT_EQ(count, 2u);  // the root hub and the scanner
    const UsbDeviceInfo& scanner = listed[0].vendorId == 0xF0E1 ? listed[0] : listed[1];
    EXPECT_STREQ(scanner.name, "1-4");

    umockdev_testbed_uevent(testbed, kScannerPath, "remove");
    umockdev_testbed_remove_device(testbed, kScannerPath);
    ASSERT_TRUE(WaitForReports(&reports, 2));
    {
        std::lock_guard<std::mutex> guard(reports.lock);
        EXPECT_EQ(reports.seen[1].first, UsbDeviceLeft);
        EXPECT_STREQ(reports.seen[1].second.name, "1-4");
    }
    UsbUnwatchDevices(watch);
    ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
    g_object_unref(testbed);
}

}  // namespace
