// SPDX-License-Identifier: MIT
// The plug-in on the libusb backend against devices and kernels that
// misbehave: a cancel that fails or never takes effect, a device that no
// longer answers control requests, a claim refused as busy, a kernel driver
// bound to the interface, and a node this process may not open.
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/libusb_fixture.h"

namespace {

using SilentDevices = PluginOnLibusb;
using BusyInterfaces = PluginOnLibusb;

// A read whose cancel the kernel refuses, or that never ends once cancelled,
// is given up after a quarter of a second: Stop returns well before the
// seconds a user would notice.
struct CancelFault {
    bool discardFails;  // else the cancelled read never ends
    const char* traced;
};

class FailedCancels : public PluginOnLibusb, public ::testing::WithParamInterface<CancelFault> {};

INSTANTIATE_TEST_SUITE_P(, FailedCancels,
                         ::testing::Values(CancelFault{true, "given up"},
                                           CancelFault{false,
                                                       "did not end the transfer: given up"}),
                         [](const ::testing::TestParamInfo<CancelFault>& fault) {
                             return fault.param.discardFails ? "Refused" : "NeverEnding";
                         });

TEST_P(FailedCancels, StopReturnsPromptlyAndGivesTheReadUp) {
    MockFaults faults;
    faults.discardFails = GetParam().discardFails;
    faults.discardIgnored = !GetParam().discardFails;
    MockSetFaults(scanner_, faults);
    StartWatching();
    EXPECT_LT(TimedStop().count(), 1500);  // 5 s and more when the wait is not bounded
    EXPECT_EQ(gPluginState.load(), nullptr);
    EXPECT_FALSE(TraceLines::Get().With(GetParam().traced).empty());
}

TEST_F(SilentDevices, StopDoesNotWaitForTheSystemsClearHaltTimeouts) {
    // The kernel's own clear-halt waits 5 s per pipe for a device that does
    // not answer; the mock makes that request take as long.
    MockFaults faults;
    faults.controlNeverCompletes = true;
    faults.clearHaltDelayMs = 5000;
    MockSetFaults(scanner_, faults);
    StartWatching();
    EXPECT_LT(TimedStop().count(), 2500);  // 15 s when the requests are not bounded
    EXPECT_EQ(MockGetReport(scanner_).clearHalts, 0u);
}

TEST_F(BusyInterfaces, AClaimRefusedAsBusyMakesStartFailWithNothingHeld) {
    MockFaults faults;
    faults.claimBusy = true;
    MockSetFaults(scanner_, faults);
    EXPECT_EQ(Start(), -1);
    EXPECT_EQ(gPluginState.load(), nullptr);
    EXPECT_FALSE(MockGetReport(scanner_).claimed);
    EXPECT_FALSE(TraceLines::Get().With("USBInterfaceOpen: exclusive access").empty());
}

// A ZN417 whose interface a kernel driver holds when the plug-in starts, on
// a kernel with DISCONNECT_CLAIM (one step) or without (detach, then claim).
class KernelDriverBound : public PluginOnLibusb, public ::testing::WithParamInterface<bool> {
protected:
    void AddDevices() override {
        scanner_ = MockAddDevice(bus_, 1, {4, 1}, Zn417Layout(), "usblp");
    }
};

INSTANTIATE_TEST_SUITE_P(, KernelDriverBound, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "DisconnectClaim" : "DetachFirst";
                         });

TEST_P(KernelDriverBound, TheDriverIsSetAsideForTheClaimAndBoundAgainOnClose) {
    MockFaults faults;
    faults.disconnectClaim = GetParam();
    MockSetFaults(scanner_, faults);
    StartWatching();
    MockReport report = MockGetReport(scanner_);
    EXPECT_TRUE(report.claimed);
    EXPECT_FALSE(report.driverBound);
    EXPECT_EQ(report.driverDetaches, 1u);
    TimedStop();
    report = MockGetReport(scanner_);
    EXPECT_FALSE(report.claimed);
    EXPECT_TRUE(report.driverBound);
    EXPECT_EQ(report.driverAttaches, 1u);
}

// Takes away this thread's power to pass over file permissions (root's
// CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH) until destroyed.
struct WithoutFileOverride {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};
    bool changed = false;

    WithoutFileOverride() {
        if (syscall(SYS_capget, &header, saved) != 0) {
            return;
        }
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        changed = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutFileOverride() {
        if (changed) {
            syscall(SYS_capset, &header, saved);
        }
    }
};

TEST_F(PluginOnLibusb, ANodeOnlyAnotherUserMayOpenMakesStartFailAsNotPermitted) {
    // Owned by nobody where this process may give it away, else closed to all.
    const std::string node = MockNodeFile(bus_, scanner_);
    const bool givenAway = chown(node.c_str(), 65534, 65534) == 0;
    ASSERT_EQ(chmod(node.c_str(), givenAway ? 0600 : 0000), 0);
    {
        WithoutFileOverride restricted;
        EXPECT_EQ(Start(), -1);
    }
    EXPECT_EQ(gPluginState.load(), nullptr);
    EXPECT_EQ(MockGetReport(scanner_).claims, 0u);
    EXPECT_FALSE(TraceLines::Get().With("USBInterfaceOpen: not permitted").empty());
}

}  // namespace
