// SPDX-License-Identifier: MIT
// What a device watch of the platform layer has reported, kept for a test to
// wait on and check: its hook records each report under a lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/usb_platform.h"

struct DeviceReports {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<UsbDeviceEvent, UsbDeviceInfo>> seen;

    static void Hook(void* context, UsbDeviceEvent event, const UsbDeviceInfo* device) {
        auto* self = static_cast<DeviceReports*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->seen.emplace_back(event, *device);
        self->changed.notify_all();
    }
    // Waits (10 s at most) until `count` reports have come.
    bool WaitForCount(size_t count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, kWait, [&] { return seen.size() >= count; });
    }
    // Waits (10 s at most) for the `event` of the device named `name`; true
    // with its report in *info.
    bool WaitFor(UsbDeviceEvent event, const std::string& name, UsbDeviceInfo* info) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, kWait, [&] {
            for (const auto& entry : seen) {
                if (entry.first == event && name == entry.second.name) {
                    *info = entry.second;
                    return true;
                }
            }
            return false;
        });
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(lock);
        return seen.size();
    }

    static constexpr std::chrono::seconds kWait{10};
};
