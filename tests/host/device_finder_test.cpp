// SPDX-License-Identifier: MIT
// Finding the scanner on the simulated bus: the listing, the device named by
// sysfs name or location or left unnamed, and each problem found before the
// plug-in is started, with the message that tells the user what to do.
#include "device_finder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "host_options.h"
#include "platform/sim_bus.h"
#include "zn417_model.h"

namespace {

class DeviceFinder : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
        SimBusReset();
    }
    void TearDown() override {
        for (Zn417Model* model : models_) {
            Zn417Detach(model);
        }
        models_.clear();
        SimBusReset();
    }
    Zn417Model* Attach(int32_t location) {
        Zn417Model* model = Zn417Attach(location);
        models_.push_back(model);
        return model;
    }
    DeviceProblem Find(const DeviceWanted& wanted, std::string* message,
                       UsbDeviceInfo* found = nullptr) {
        char text[512] = "";
        UsbDeviceInfo device{};
        const DeviceProblem problem = FindScanner(wanted, &device, text, sizeof text);
        *message = text;
        if (found != nullptr) {
            *found = device;
        }
        return problem;
    }
    std::vector<Zn417Model*> models_;
};

DeviceWanted Named(const char* name) {
    DeviceWanted wanted;
    wanted.name = name;
    return wanted;
}

DeviceWanted AtLocation(int32_t location) {
    DeviceWanted wanted;
    wanted.locationSet = true;
    wanted.location = location;
    return wanted;
}

TEST_F(DeviceFinder, TheListShowsEachScannerWithBothNamesItsAddressAndAccess) {
    Attach(0x14100000);
    Zn417Model* denied = Attach(0x14230000);
    ASSERT_EQ(SimSetDeviceAccessible(Zn417DeviceId(denied), false), PlatformOk);
    const SimProperty other[] = {
        {"idVendor", 0x1234}, {"idProduct", 0x0417}, {"locationID", 0x14300000}};
    const SimInterfaceDesc desc{other, 3, nullptr, 0, false, 0};
    SimAttachDevice(&desc, 1, nullptr);  // another maker's: not listed

    std::vector<UsbDeviceInfo> scanners;
    ASSERT_EQ(ListScanners(&scanners), PlatformOk);
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    PrintScannerList(out, scanners);
    std::fclose(out);
    const std::string listing(text);
    std::free(text);
    EXPECT_EQ(listing,
              "20-1         location 0x14100000 bus 020 device 001  may open: yes\n"
              "20-2.3       location 0x14230000 bus 020 device 002  may open: no (install the "
              "udev rule 70-zn417.rules)\n");
}

TEST_F(DeviceFinder, TheOnlyScannerIsFoundWhenNoneIsNamed) {
    Attach(0x14100000);
    std::string message;
    UsbDeviceInfo found;
    EXPECT_EQ(Find(DeviceWanted{}, &message, &found), DeviceReady) << message;
    EXPECT_STREQ(found.name, "20-1");
    EXPECT_EQ(found.locationId, 0x14100000);
    EXPECT_EQ(Find(Named("20-1"), &message), DeviceReady) << message;
    EXPECT_EQ(Find(AtLocation(0x14100000), &message), DeviceReady) << message;
    EXPECT_EQ(SimGetCounters().openObjects, 0u);  // the check gives the interface back
    EXPECT_EQ(SimGetCounters().unreleasedObjects, 0u);
}

TEST_F(DeviceFinder, NoSuchDeviceSaysWhatIsAttachedInstead) {
    std::string message;
    EXPECT_EQ(Find(DeviceWanted{}, &message), DeviceMissing);
    EXPECT_NE(message.find("no ZN417 attached"), std::string::npos) << message;
    Attach(0x14100000);
    EXPECT_EQ(Find(Named("1-4.2"), &message), DeviceMissing);
    EXPECT_EQ(message, "no ZN417 at 1-4.2; attached ZN417s: 20-1 (location 0x14100000)");
    EXPECT_EQ(Find(AtLocation(10), &message), DeviceMissing);
    EXPECT_NE(message.find("no ZN417 at location 0x0000000A"), std::string::npos) << message;
    EXPECT_EQ(ExitStatusOf(DeviceMissing), kHostExitNoDevice);
}

// Each problem found before the plug-in starts: what the user is told and
// the exit status the manual gives for it.
TEST_F(DeviceFinder, EachProblemBeforeTheStartIsToldWithItsExitStatus) {
    struct Case {
        const char* label;
        std::function<void(DeviceFinder*)> arrange;
        DeviceProblem problem;
        int exitStatus;
        const char* told;
    };
    const Case cases[] = {
        {"not permitted by the listing",
         [](DeviceFinder* self) {
             SimSetDeviceAccessible(Zn417DeviceId(self->Attach(0x14100000)), false);
         },
         DeviceDenied, kHostExitDenied,
         "permission denied on 20-1 (/dev/bus/usb/020/001): install the udev rule 70-zn417.rules"},
        {"listed as open to all, but the open is not permitted",
         [](DeviceFinder* self) {
             self->Attach(0x14100000);
             SimFailStep(SimStepOpen, PlatformErrNotPermitted, 0, 0, 0);
         },
         DeviceDenied, kHostExitDenied, "70-zn417.rules"},
        {"held by another program",
         [](DeviceFinder* self) {
             SimSetHeldByOtherClient(Zn417InterfaceId(self->Attach(0x14100000)), true);
         },
         DeviceBusy, kHostExitBusy, "held by another program"},
        {"without a location ID the plug-in could address",
         [](DeviceFinder* self) { self->Attach(0); }, DeviceNoLocation, kHostExitFailure,
         "has no location ID"},
        {"a failing bus",
         [](DeviceFinder*) { SimFailStep(SimStepWalk, PlatformErrError, 0, 0, 1); },
         DeviceBackendError, kHostExitNoBackend, "cannot list USB devices"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        c.arrange(this);
        std::string message;
        EXPECT_EQ(Find(DeviceWanted{}, &message), c.problem);
        EXPECT_NE(message.find(c.told), std::string::npos) << message;
        EXPECT_EQ(ExitStatusOf(c.problem), c.exitStatus);
        TearDown();
        SetUp();
    }
}

TEST_F(DeviceFinder, TwoScannersAreRefusedNamedOrNotSinceThePluginWouldWatchNothing) {
    Attach(0x14100000);
    Attach(0x14200000);
    std::string message;
    EXPECT_EQ(Find(DeviceWanted{}, &message), DeviceAmbiguous);
    EXPECT_NE(message.find("2 ZN417s are attached (20-1 (location 0x14100000), 20-2"),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("--device"), std::string::npos) << message;
    EXPECT_EQ(Find(Named("20-2"), &message), DeviceAmbiguous);
    EXPECT_NE(message.find("another ZN417 is attached too (20-1"), std::string::npos) << message;
    EXPECT_EQ(ExitStatusOf(DeviceAmbiguous), kHostExitAmbiguous);
}

TEST(HostBackend, AnUnknownBackendNameIsAnErrorNotTheSimulatedBus) {
    char error[256] = "";
    setenv("ZN_USB_BACKEND", "libsub", 1);
    EXPECT_EQ(SelectHostBackend(false, error, sizeof error), -1);
    EXPECT_NE(std::string(error).find("ZN_USB_BACKEND=libsub names no USB backend"),
              std::string::npos)
        << error;
    EXPECT_EQ(SelectHostBackend(true, error, sizeof error), 0);  // --simulate needs none
    EXPECT_EQ(UsbPlatformCurrentBackend(), UsbBackendSimulated);
    setenv("ZN_USB_BACKEND", "sim", 1);
    EXPECT_EQ(SelectHostBackend(false, error, sizeof error), 0);
    EXPECT_EQ(UsbPlatformCurrentBackend(), UsbBackendSimulated);
    unsetenv("ZN_USB_BACKEND");
    // Without a choice the host wants libusb: it starts, or says why not.
    if (SelectHostBackend(false, error, sizeof error) == 0) {
        EXPECT_EQ(UsbPlatformCurrentBackend(), UsbBackendLibusb);
    } else {
        EXPECT_NE(std::string(error).find("libusb"), std::string::npos) << error;
    }
    ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
}

}  // namespace
