// The attached-device check: which attachments of the maker's devices pass,
// and that the check fails as a whole when a property set cannot be made.
#include "usb/device_check.h"

#include <gtest/gtest.h>

#include "scanner_bus.h"

namespace {

class DeviceCheck : public ScannerBusTest {};

FakeInterface Model(int32_t location) {
    return FakeInterface{}.At(location);
}

// Another product of the maker.
FakeInterface OtherProduct(int32_t location, int32_t protocol) {
    return FakeInterface{}
        .At(location)
        .Set("idProduct", static_cast<int32_t>(ModelProductId) + 1)
        .Set("bInterfaceProtocol", protocol);
}

// A device of another maker with a vendor-specific interface.
FakeInterface OtherMaker(int32_t location) {
    return FakeInterface{}.At(location).Set("idVendor", MakerVendorId + 1);
}

TEST_F(DeviceCheck, PassesWithNoDeviceOfTheMaker) {
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);
    AttachInterface(OtherMaker(kHostLocation));
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);
}

TEST_F(DeviceCheck, PassesWithOneDeviceOfTheModelAtAnyLocation) {
    uint32_t device = 0;
    AttachDevice({Model(kHostLocation), Model(kHostLocation).Set("bInterfaceNumber", 1)}, &device);
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);
    SimDetachDevice(device);
    AttachInterface(Model(kOtherLocation));
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);  // the host's location is not its concern
}

TEST_F(DeviceCheck, FailsWithTwoDevicesOfTheModel) {
    AttachInterface(Model(kHostLocation));
    AttachInterface(Model(kOtherLocation));
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
}

TEST_F(DeviceCheck, FailsWithAnotherVendorSpecificProductOfTheMakerInEitherOrder) {
    AttachInterface(OtherProduct(kOtherLocation, VendorSpecificProtocol));
    AttachInterface(Model(kHostLocation));
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
    SimBusReset();
    AttachInterface(Model(kHostLocation));
    AttachInterface(OtherProduct(kOtherLocation, VendorSpecificProtocol));
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
}

TEST_F(DeviceCheck, IgnoresOtherProductsWithoutAVendorSpecificInterface) {
    AttachDevice({OtherProduct(kOtherLocation, 1), OtherProduct(kOtherLocation, 2)});
    AttachInterface(Model(kHostLocation));
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);
}

TEST_F(DeviceCheck, IgnoresAnotherMakersVendorSpecificInterface) {
    AttachInterface(Model(kHostLocation));
    AttachInterface(OtherMaker(kOtherLocation));
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);
}

TEST_F(DeviceCheck, AQualifyingInterfaceAtLocationZeroFixesNoLocation) {
    AttachInterface(Model(0));
    AttachInterface(Model(kOtherLocation));
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);
    SimBusReset();
    AttachInterface(Model(kOtherLocation));
    AttachInterface(Model(0));
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
}

// An interface without "idVendor" is nobody's: it must not inherit the
// vendor of the interface looked at before it.
TEST_F(DeviceCheck, AnAbsentVendorCountsAsNoVendor) {
    AttachInterface(Model(kHostLocation));
    AttachInterface(Model(kOtherLocation).Drop("idVendor"));
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);
}

TEST_F(DeviceCheck, AnAbsentProductOrLocationCountsAsMinusOne) {
    AttachInterface(Model(kHostLocation));
    AttachInterface(Model(kHostLocation).Drop("idProduct"));
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
    SimBusReset();
    AttachInterface(Model(kHostLocation));
    AttachInterface(Model(kHostLocation).Drop("locationID"));
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
}

TEST_F(DeviceCheck, FailsWhenAnyPropertySetCannotBeMade) {
    AttachInterface(Model(kHostLocation));
    const uint32_t stranger = AttachInterface(OtherMaker(kOtherLocation));
    SimFailStep(SimStepProperties, PlatformErrNoMemory, stranger);
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
    SimFailStep(SimStepProperties, PlatformOk, stranger);  // success without a set
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);
}

TEST_F(DeviceCheck, FailsWhenTheWalkCannotStart) {
    SimFailStep(SimStepWalk, PlatformErrError);
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
    EXPECT_EQ(CheckAttachedDevices(nullptr), -1);
}

TEST_F(DeviceCheck, OpensNothing) {
    AttachInterface(Model(kHostLocation));
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);
    EXPECT_EQ(SimGetCounters().objectsCreated, 0u);
}

}  // namespace
