// SPDX-License-Identifier: MIT
// Test support for the plug-in on the libusb backend: a mocked kernel with a
// ZN417 on bus 1, port path 4.1 (location 0x01410000), the libusb backend
// selected, the watch thread on the virtual clock writing into a private
// directory, and waits built on what the mock and the trace report.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/mock_usb.h"
#include "plugin/plugin_fixture.h"

constexpr int32_t kMockLocation = 0x01410000;  // bus 1, port 4, hub port 1

// Collects the USB trace lines, for the tests that check what they say.
struct TraceLines {
    std::mutex lock;
    std::vector<std::string> lines;

    static TraceLines& Get() {
        static TraceLines trace;
        return trace;
    }
    static void OnTrace(void* context, const char* line) {
        ThreadProgress::OnTrace(context, line);
        TraceLines& self = Get();
        std::lock_guard<std::mutex> guard(self.lock);
        self.lines.emplace_back(line);
    }
    // The lines that contain `text`.
    std::vector<std::string> With(const char* text) {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            if (line.find(text) != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }
};

// The data URBs a device received on one endpoint, in order.
inline std::vector<MockUrbRecord> UrbsOn(const MockReport& report, uint8_t endpoint) {
    std::vector<MockUrbRecord> found;
    for (const MockUrbRecord& urb : report.urbs) {
        if (urb.type != 2 /* control */ && urb.endpoint == endpoint) {
            found.push_back(urb);
        }
    }
    return found;
}

class MockedKernelTest : public ::testing::Test {
protected:
    // Adds the devices of the test; the default is one ZN417 at 1-4.1.
    virtual void AddDevices() { scanner_ = MockAddDevice(bus_, 1, {4, 1}, Zn417Layout()); }

    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        bus_ = MockBusCreate();
        ASSERT_NE(bus_, nullptr);
        AddDevices();
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendLibusb), PlatformOk);
        ThreadProgress::Get().Reset();
        UsbPlatformSetTraceHook(TraceLines::OnTrace, nullptr);
    }

    void TearDown() override {
        UsbPlatformSetTraceHook(nullptr, nullptr);
        MockBusRelease(bus_);
    }

    // True for an interface of the maker's devices; its location ID (-1 for
    // none) goes to *location when asked for.
    static bool IsMakers(UsbService* service, int32_t* location = nullptr) {
        UsbPropertySet* properties = nullptr;
        if (UsbCreateProperties(service, &properties) != PlatformOk) {
            return false;
        }
        int32_t vendor = 0;
        UsbGetPropertyInt32(properties, "idVendor", &vendor);
        if (location != nullptr) {
            *location = -1;
            UsbGetPropertyInt32(properties, "locationID", location);
        }
        UsbReleaseProperties(properties);
        return vendor == MakerVendorId;
    }

    // The location IDs the walk gives the interfaces of the maker's devices
    // (-1 for one without), in walk order.
    static std::vector<int32_t> MakerLocations() {
        std::vector<int32_t> locations;
        UsbIterator* walk = nullptr;
        if (UsbCreateInterfaceIterator(&walk) != PlatformOk) {
            return locations;
        }
        while (UsbService* service = UsbIteratorNext(walk)) {
            int32_t location = -1;
            if (IsMakers(service, &location)) {
                locations.push_back(location);
            }
            UsbReleaseService(service);
        }
        UsbReleaseIterator(walk);
        return locations;
    }

    // Opens the first interface of the maker's devices through the platform
    // layer; null when there is none or it does not open.
    static UsbInterfaceObject* OpenMakerInterface() {
        UsbIterator* walk = nullptr;
        if (UsbCreateInterfaceIterator(&walk) != PlatformOk) {
            return nullptr;
        }
        UsbInterfaceObject* object = nullptr;
        UsbService* service = nullptr;
        while (object == nullptr && (service = UsbIteratorNext(walk)) != nullptr) {
            if (IsMakers(service) && UsbCreateInterfaceObject(service, &object) == PlatformOk &&
                object->ops->USBInterfaceOpen(object) != PlatformOk) {
                object->ops->Release(object);
                object = nullptr;
            }
            UsbReleaseService(service);
        }
        UsbReleaseIterator(walk);
        return object;
    }

    static void CloseAndRelease(UsbInterfaceObject* object) {
        EXPECT_EQ(object->ops->USBInterfaceClose(object), PlatformOk);
        EXPECT_EQ(object->ops->Release(object), PlatformOk);
    }

    MockBus* bus_ = nullptr;
    MockDevice* scanner_ = nullptr;
};

// The plug-in behind its entry points, on the libusb backend.
class PluginOnLibusb : public MockedKernelTest {
protected:
    void SetUp() override {
        MockedKernelTest::SetUp();
        const struct timeval start { kStartSeconds, 0 };
        VirtualClockEnable(&start);
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zn_libusb_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        gEventDirectoryForTests.store(directory_.c_str());
        gStateCleanupDoneForTests.store(ThreadProgress::OnCleanupDone);
    }

    void TearDown() override {
        recorder_.Hold(false);
        EXPECT_EQ(TWAINButtonPluginStop(), 0);
        EXPECT_EQ(gPluginState.load(), nullptr);
        EXPECT_FALSE(gWatchThreadUnjoined);
        if (scanner_ != nullptr) {
            EXPECT_FALSE(MockGetReport(scanner_).claimed);
        }
        gStateCleanupDoneForTests.store(nullptr);
        gEventDirectoryForTests.store(nullptr);
        VirtualClockDisable();
        std::filesystem::remove_all(directory_);
        MockedKernelTest::TearDown();
    }

    int32_t Start() {
        return TWAINButtonPluginStart(&location_, &recorder_, nullptr, HostRecorder::Callback);
    }

    // Starts the plug-in and waits until its thread waits on the interrupt pipe.
    void StartWatching() {
        ASSERT_EQ(Start(), 0);
        ASSERT_NE(gPluginState.load(), nullptr);
        ASSERT_TRUE(MockWaitPending(scanner_, kMockInterruptIn, 1, kWaitMs));
    }

    // Lets the device send a packet on the interrupt pipe and waits until the
    // thread has read it, dealt with it and waits on the pipe again.
    void Deliver(void (*send)(MockDevice*, uint8_t), uint8_t code) {
        ThreadProgress& progress = ThreadProgress::Get();
        const uint64_t readsBefore = progress.Reads();
        send(scanner_, code);
        ASSERT_TRUE(progress.WaitUntil([&] { return progress.interruptReads > readsBefore; }));
        ASSERT_TRUE(MockWaitPending(scanner_, kMockInterruptIn, 1, kWaitMs));
    }
    static void SendStatus(MockDevice* device, uint8_t) { MockQueueStatusPacket(device); }

    // Stops the plug-in and returns how long Stop took.
    std::chrono::milliseconds TimedStop() {
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(TWAINButtonPluginStop(), 0);
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - begin);
    }

    std::vector<std::string> EventFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    int32_t location_ = kMockLocation;
    HostRecorder recorder_;
    std::string directory_;
};
