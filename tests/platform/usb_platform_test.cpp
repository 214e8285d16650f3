// Backend choice of the platform layer, and the libusb backend as far as it
// can be driven without a device.
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

// Without hardware the libusb backend can show that its walk works (on a
// machine without USB it yields nothing) and gives everything back, and that
// a walk stays with the backend that began it; builds without it refuse it.
TEST(UsbBackends, TheLibusbBackendWalksRealInterfacesWhenBuiltIn) {
    SimBusReset();
    const PlatformReturn selected = UsbPlatformSelectBackend(UsbBackendLibusb);
    if (selected != PlatformOk) {
        EXPECT_EQ(selected, PlatformErrUnsupported);
        GTEST_SKIP() << "no libusb backend here";
    }
    EXPECT_EQ(UsbPlatformCurrentBackend(), UsbBackendLibusb);
    UsbIterator* walk = nullptr;
    const PlatformReturn started = UsbCreateInterfaceIterator(&walk);
    ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
    if (started != PlatformOk) {
        EXPECT_EQ(walk, nullptr);
        GTEST_SKIP() << "no USB here: " << UsbPlatformStatusName(started);
    }
    const SimInterfaceDesc simulated{nullptr, 0, nullptr, 0, false, 0};
    SimAttachDevice(&simulated, 1, nullptr);  // not seen by the libusb walk
    int interfaces = 0;
    while (UsbService* service = UsbIteratorNext(walk)) {
        UsbPropertySet* set = nullptr;
        ASSERT_EQ(UsbCreateProperties(service, &set), PlatformOk);
        for (const char* name : {"bInterfaceProtocol", "bInterfaceNumber", "idVendor", "idProduct",
                                 "bNumEndpoints", "locationID"}) {
            int32_t value = -1;
            EXPECT_TRUE(UsbGetPropertyInt32(set, name, &value)) << name;
        }
        UsbReleaseProperties(set);
        UsbReleaseService(service);
        ++interfaces;
    }
    EXPECT_EQ(UsbIteratorNext(walk), nullptr);
    UsbReleaseIterator(walk);
    const SimCounters counters = SimGetCounters();
    EXPECT_EQ(counters.liveIterators + counters.liveServices + counters.livePropertySets, 0u);
    std::printf("libusb walk: %d interfaces\n", interfaces);
    SimBusReset();
}

}  // namespace
