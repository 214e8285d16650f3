// SPDX-License-Identifier: MIT
// Device listing and arrival/departure reports of the platform layer, on the
// simulated bus: names as sysfs gives them, access, and watches that hear of
// every attach and detach until they end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim_bus.h"
#include "platform/usb_platform.h"

namespace {

uint32_t AttachAt(int32_t location, int32_t vendor = 0xF0E1, int32_t product = 0x0417) {
    const SimProperty properties[] = {
        {"idVendor", vendor}, {"idProduct", product}, {"locationID", location}};
    const SimInterfaceDesc desc{properties, 3, nullptr, 0, false, 0};
    return SimAttachDevice(&desc, 1, nullptr);
}

std::vector<UsbDeviceInfo> Listed() {
    std::vector<UsbDeviceInfo> devices(8);
    uint32_t count = 0;
    EXPECT_EQ(UsbListDevices(devices.data(), 8, &count), PlatformOk);
    devices.resize(count);
    return devices;
}

struct Heard {
    std::vector<std::string> lines;  // "+20-1" for an arrival, "-20-1" for a departure
};

void Record(void* context, UsbDeviceEvent event, const UsbDeviceInfo* device) {
    static_cast<Heard*>(context)->lines.push_back((event == UsbDeviceArrived ? "+" : "-") +
                                                  std::string(device->name));
}

class DeviceWatch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
        SimBusReset();
    }
    void TearDown() override { SimBusReset(); }
};

TEST_F(DeviceWatch, DevicesAreNamedByBusAndPortPathOfTheirLocation) {
    AttachAt(0x14100000);
    AttachAt(0x01423000);
    const uint32_t unplaced = AttachAt(0);
    const std::vector<UsbDeviceInfo> devices = Listed();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_STREQ(devices[0].name, "20-1");
    EXPECT_EQ(devices[0].busNumber, 20);
    EXPECT_TRUE(devices[0].hasLocation);
    EXPECT_EQ(devices[0].locationId, 0x14100000);
    EXPECT_EQ(devices[0].vendorId, 0xF0E1);
    EXPECT_EQ(devices[0].productId, 0x0417);
    EXPECT_STREQ(devices[1].name, "1-4.2.3");
    EXPECT_EQ(devices[2].name, "0-" + std::to_string(unplaced));
    EXPECT_FALSE(devices[2].hasLocation);
    EXPECT_NE(devices[0].deviceAddress, devices[1].deviceAddress);
}

TEST_F(DeviceWatch, TheCountTellsHowManyAreAttachedWhenTheRoomIsShort) {
    AttachAt(0x14100000);
    AttachAt(0x14200000);
    UsbDeviceInfo one[1];
    uint32_t count = 0;
    EXPECT_EQ(UsbListDevices(one, 1, &count), PlatformOk);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(UsbListDevices(nullptr, 0, &count), PlatformOk);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(UsbListDevices(nullptr, 1, &count), PlatformErrBadArgument);
    EXPECT_EQ(UsbListDevices(one, 1, nullptr), PlatformErrBadArgument);
}

TEST_F(DeviceWatch, ADeviceMarkedInaccessibleIsListedSoAndRefusesToOpen) {
    const SimProperty properties[] = {{"idVendor", 0xF0E1}, {"locationID", 0x14100000}};
    const SimInterfaceDesc desc{properties, 2, nullptr, 0, false, 0};
    const uint32_t device = SimAttachDevice(&desc, 1, nullptr);
    ASSERT_EQ(SimSetDeviceAccessible(device, false), PlatformOk);
    EXPECT_FALSE(Listed()[0].accessible);

    UsbIterator* walk = nullptr;
    ASSERT_EQ(UsbCreateInterfaceIterator(&walk), PlatformOk);
    UsbService* service = UsbIteratorNext(walk);
    UsbInterfaceObject* object = nullptr;
    ASSERT_EQ(UsbCreateInterfaceObject(service, &object), PlatformOk);
    EXPECT_EQ(object->ops->USBInterfaceOpen(object), PlatformErrNotPermitted);
    ASSERT_EQ(SimSetDeviceAccessible(device, true), PlatformOk);
    EXPECT_EQ(object->ops->USBInterfaceOpen(object), PlatformOk);
    object->ops->USBInterfaceClose(object);
    object->ops->Release(object);
    UsbReleaseService(service);
    UsbReleaseIterator(walk);
    EXPECT_EQ(SimSetDeviceAccessible(9999, false), PlatformErrNotFound);
}

TEST_F(DeviceWatch, AWatchHearsEveryArrivalAndDepartureUntilItEnds) {
    Heard heard;
    UsbDeviceWatch* watch = nullptr;
    const uint32_t before = AttachAt(0x14100000);  // attached before: not reported
    ASSERT_EQ(UsbWatchDevices(Record, &heard, &watch), PlatformOk);
    const uint32_t device = AttachAt(0x14200000);
    ASSERT_EQ(SimDetachDevice(device), PlatformOk);
    EXPECT_EQ(SimDetachDevice(device), PlatformErrNotFound);  // not reported twice
    UsbUnwatchDevices(watch);
    SimDetachDevice(before);
    AttachAt(0x14300000);
    EXPECT_EQ(heard.lines, (std::vector<std::string>{"+20-2", "-20-2"}));
    EXPECT_EQ(Listed().size(), 1u);
}

TEST_F(DeviceWatch, TwoWatchesBothHearAndEndIndependently) {
    Heard first;
    Heard second;
    UsbDeviceWatch* a = nullptr;
    UsbDeviceWatch* b = nullptr;
    ASSERT_EQ(UsbWatchDevices(Record, &first, &a), PlatformOk);
    ASSERT_EQ(UsbWatchDevices(Record, &second, &b), PlatformOk);
    AttachAt(0x14100000);
    UsbUnwatchDevices(a);
    AttachAt(0x14200000);
    UsbUnwatchDevices(b);
    UsbUnwatchDevices(nullptr);
    EXPECT_EQ(first.lines, (std::vector<std::string>{"+20-1"}));
    EXPECT_EQ(second.lines, (std::vector<std::string>{"+20-1", "+20-2"}));
}

TEST_F(DeviceWatch, AWatchNeedsAHookAndAPlaceForItself) {
    UsbDeviceWatch* watch = nullptr;
    EXPECT_EQ(UsbWatchDevices(nullptr, nullptr, &watch), PlatformErrBadArgument);
    EXPECT_EQ(watch, nullptr);
    Heard heard;
    EXPECT_EQ(UsbWatchDevices(Record, &heard, nullptr), PlatformErrBadArgument);
}

}  // namespace
