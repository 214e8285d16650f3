// SPDX-License-Identifier: MIT
// Backend choice of the platform layer: what a process gets by the
// environment, and refusals; the libusb backend itself is tested on the
// mocked kernel (libusb_hotplug_test.cpp, tests/libusb).
#include "platform/usb_platform.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "platform/sim_bus.h"

namespace {

TEST(UsbBackends, AnUnknownBackendIsRefusedAndTheCurrentOneKept) {
    ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
    EXPECT_EQ(UsbPlatformSelectBackend(static_cast<UsbBackendKind>(9)), PlatformErrUnsupported);
    EXPECT_EQ(UsbPlatformCurrentBackend(), UsbBackendSimulated);
}

// Exits with the backend that a process choosing none gets under `choice`,
// plus 2 when libusb can start on this machine.
[[noreturn]] void ExitWithBackendChosenBy(const char* choice) {
    if (choice != nullptr) {
        setenv("ZN_USB_BACKEND", choice, 1);
    } else {
        unsetenv("ZN_USB_BACKEND");
    }
    const int chosen = UsbPlatformCurrentBackend();
    const bool libusbStarts = UsbPlatformSelectBackend(UsbBackendLibusb) == PlatformOk;
    std::_Exit(chosen + (libusbStarts ? 2 : 0));
}

bool ChoseTheBus(int status) {
    return WIFEXITED(status) && (WEXITSTATUS(status) & 1) == UsbBackendSimulated;
}

bool ChoseLibusbWhereItStarts(int status) {
    return WIFEXITED(status) && (WEXITSTATUS(status) == 2 + UsbBackendLibusb ||
                                 WEXITSTATUS(status) == UsbBackendSimulated);
}

// A host selects nothing: the environment picks the backend, and a libusb
// that cannot start leaves the simulated bus rather than no backend. Each
// case runs in a fresh process, where no selection has been made yet.
TEST(UsbBackends, TheEnvironmentChoosesForAProcessThatSelectsNone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitWithBackendChosenBy(nullptr), ChoseTheBus, "");
    EXPECT_EXIT(ExitWithBackendChosenBy("sim"), ChoseTheBus, "");
    EXPECT_EXIT(ExitWithBackendChosenBy("usb"), ChoseTheBus, "");
    EXPECT_EXIT(ExitWithBackendChosenBy("libusb"), ChoseLibusbWhereItStarts, "");
}

}  // namespace
