// SPDX-License-Identifier: MIT
// A simulated ZN417 on a fresh bus, its interface opened the way the plug-in's
// Start opens it, the clock at 09:05 on 1 March 2024 in UTC, and checks at the
// end that nothing was left open, misused or allocated.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/sim_bus.h"
#include "plugin/plugin_state.h"
#include "protocol/clock_exchange.h"
#include "support/alloc_failure.h"
#include "usb/usb_access.h"
#include "usb/usb_ids.h"
#include "zn417_model.h"

class DeviceExchange : public ::testing::Test {
protected:
    static constexpr int32_t kLocation = 0x14100000;
    static constexpr time_t kFirstMarch2024At0905 = 1709283900;  // UTC

    void SetUp() override {
        liveBefore_ = LiveAllocations();
        setenv("TZ", "UTC0", 1);
        tzset();
        const struct timeval start = {kFirstMarch2024At0905, 0};
        VirtualClockEnable(&start);
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
        SimBusReset();
        model_ = Zn417Attach(kLocation);
        ASSERT_NE(model_, nullptr);
        interface_ = Zn417InterfaceId(model_);
        std::memset(&state_, 0, sizeof state_);
        state_.hostLocation = &location_;
        state_.productId = ModelProductId;
        ASSERT_EQ(OpenScannerInterface(&state_), 0);
    }

    void TearDown() override {
        CloseScannerInterface(&state_);
        Zn417Detach(model_);
        const SimCounters counters = SimGetCounters();
        EXPECT_EQ(counters.openObjects, 0u);
        EXPECT_EQ(counters.unreleasedObjects, 0u);
        EXPECT_EQ(counters.misuses, 0u);
        SimClearFailures();
        SimBusReset();
        VirtualClockDisable();
        EXPECT_EQ(LiveAllocations(), liveBefore_);
    }

    // What the watch thread does with a status packet.
    CommandStatus AnswerStatusPacket() {
        const CommandStatus status = SendModeShift(&state_);
        if (status == CmdOk) {
            SendClock(&state_);
        }
        return status;
    }

    struct Write {
        int32_t status;
        std::string bytes;
    };

    std::vector<Write> Writes() const {
        std::vector<Write> writes;
        for (uint32_t i = 0; i < SimWriteCount(interface_); ++i) {
            uint8_t pipe = 0;
            int32_t status = 0;
            uint32_t length = 0;
            std::string bytes(4096, '\0');
            SimGetWrite(interface_, i, &pipe, &status, &bytes[0],
                        static_cast<uint32_t>(bytes.size()), &length);
            EXPECT_EQ(pipe, Zn417BulkOutPipe);
            bytes.resize(length);
            writes.push_back({status, bytes});
        }
        return writes;
    }

    // The next transfer waiting on the bulk-in pipe, or "" when only the
    // marker this queues was there: proves that every answer was taken off.
    std::string LeftOnBulkIn() {
        static const char kMarker[] = "marker";
        SimQueueInPacket(interface_, Zn417BulkInPipe, kMarker, sizeof kMarker);
        std::string bytes(4096, '\0');
        auto size = static_cast<uint32_t>(bytes.size());
        EXPECT_EQ(ReadBulkPipe(&state_, &bytes[0], &size), PlatformOk);
        bytes.resize(size);
        if (bytes == std::string(kMarker, sizeof kMarker)) {
            return "";
        }
        std::string rest(4096, '\0');
        size = static_cast<uint32_t>(rest.size());
        ReadBulkPipe(&state_, &rest[0], &size);  // take the marker off too
        return bytes;
    }

    int32_t location_ = kLocation;
    PluginState state_;
    Zn417Model* model_ = nullptr;
    uint32_t interface_ = 0;
    int64_t liveBefore_ = 0;
};
