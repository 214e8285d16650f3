// SPDX-License-Identifier: MIT
// Test support for the usb layer: interfaces shaped like the ZN417's
// vendor-specific one, with any property changed or dropped, attached to the
// simulated bus, and a fixture that resets the bus and checks that nothing
// was left open, unreleased or misused.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim_bus.h"
#include "platform/usb_platform.h"
#include "plugin/plugin_state.h"
#include "usb/usb_ids.h"

constexpr int32_t kHostLocation = 0x14100000;
constexpr int32_t kOtherLocation = 0x14200000;

constexpr SimPipe kBulkOutPipe{UsbDirectionOut, UsbTransferBulk, 1, 512, 0};
constexpr SimPipe kBulkInPipe{UsbDirectionIn, UsbTransferBulk, 2, 512, 0};
constexpr SimPipe kInterruptInPipe{UsbDirectionIn, UsbTransferInterrupt, 3, 64, 8};
constexpr SimPipe kInterruptOutPipe{UsbDirectionOut, UsbTransferInterrupt, 4, 64, 8};

// One interface; by default the scanner's at the host's location.
struct FakeInterface {
    std::vector<std::pair<std::string, int32_t>> properties = {
        {"bInterfaceProtocol", VendorSpecificProtocol},
        {"bInterfaceNumber", ScannerInterfaceNumber},
        {"idVendor", MakerVendorId},
        {"idProduct", static_cast<int32_t>(ModelProductId)},
        {"bNumEndpoints", ScannerEndpointCount},
        {"locationID", kHostLocation},
    };
    std::vector<SimPipe> pipes = {kBulkOutPipe, kBulkInPipe, kInterruptInPipe};
    bool held = false;
    uint32_t order = 0;

    FakeInterface& Set(const char* name, int32_t value) {
        for (auto& property : properties) {
            if (property.first == name) {
                property.second = value;
                return *this;
            }
        }
        properties.emplace_back(name, value);
        return *this;
    }
    FakeInterface& Drop(const char* name) {
        for (size_t i = 0; i < properties.size(); ++i) {
            if (properties[i].first == name) {
                properties.erase(properties.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        return *this;
    }
    FakeInterface& At(int32_t location) { return Set("locationID", location); }
    FakeInterface& Pipes(std::vector<SimPipe> layout) {
        pipes = std::move(layout);
        return *this;
    }
};

// Attaches one device with these interfaces; returns their interface IDs.
inline std::vector<uint32_t> AttachDevice(const std::vector<FakeInterface>& interfaces,
                                          uint32_t* deviceId = nullptr) {
    std::vector<std::vector<SimProperty>> properties(interfaces.size());
    std::vector<SimInterfaceDesc> descs;
    for (size_t i = 0; i < interfaces.size(); ++i) {
        for (const auto& property : interfaces[i].properties) {
            properties[i].push_back({property.first.c_str(), property.second});
        }
        descs.push_back({properties[i].data(), static_cast<uint32_t>(properties[i].size()),
                         interfaces[i].pipes.data(),
                         static_cast<uint32_t>(interfaces[i].pipes.size()), interfaces[i].held,
                         interfaces[i].order});
    }
    std::vector<uint32_t> ids(interfaces.size());
    const uint32_t device =
        SimAttachDevice(descs.data(), static_cast<uint32_t>(descs.size()), ids.data());
    EXPECT_NE(device, 0u);
    if (deviceId != nullptr) {
        *deviceId = device;
    }
    return ids;
}

inline uint32_t AttachInterface(const FakeInterface& fake, uint32_t* deviceId = nullptr) {
    return AttachDevice({fake}, deviceId)[0];
}

inline std::string FirstMisuse() {
    char text[200] = "";
    SimGetMisuse(0, text, sizeof text);
    return text;
}

// Every object, open, walk, service and property set given back, and no
// object misused.
inline void ExpectBusClean(const std::string& context = "") {
    const SimCounters counters = SimGetCounters();
    EXPECT_EQ(counters.openObjects, 0u) << context;
    EXPECT_EQ(counters.unreleasedObjects, 0u) << context;
    EXPECT_EQ(counters.liveIterators, 0u) << context;
    EXPECT_EQ(counters.liveServices, 0u) << context;
    EXPECT_EQ(counters.livePropertySets, 0u) << context;
    EXPECT_EQ(counters.misuses, 0u) << context << FirstMisuse();
}

// Resets the bus around each test and proves at its end that every handle,
// object and open was given back and that no object was misused.
class ScannerBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
        SimBusReset();
        std::memset(&state_, 0, sizeof state_);
        state_.hostLocation = &location_;
        state_.productId = ModelProductId;
    }
    void TearDown() override {
        ExpectBusClean();
        UsbPlatformSetTraceHook(nullptr, nullptr);
        SimBusReset();
    }

    // Collects the bus's trace lines into lines_ from now on.
    void Trace() {
        UsbPlatformSetTraceHook(
            [](void* context, const char* line) {
                static_cast<std::vector<std::string>*>(context)->push_back(line);
            },
            &lines_);
    }

    int32_t location_ = kHostLocation;
    PluginState state_;
    std::vector<std::string> lines_;
};
