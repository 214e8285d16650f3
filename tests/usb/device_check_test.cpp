// SPDX-License-Identifier: MIT
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

// The devices attached, one list of interfaces per device in registry order,
// and the check's verdict.
struct Attachment {
    const char* label;
    std::vector<std::vector<FakeInterface>> devices;
    int32_t expected;
};

TEST_F(DeviceCheck, JudgesEachAttachment) {
    const Attachment cases[] = {
        {"nothing attached", {}, 0},
        {"only another maker's device", {{OtherMaker(kHostLocation)}}, 0},
        {"one model with two interfaces",
         {{Model(kHostLocation), Model(kHostLocation).Set("bInterfaceNumber", 1)}},
         0},
        {"one model away from the host's location", {{Model(kOtherLocation)}}, 0},
        {"two devices of the model", {{Model(kHostLocation)}, {Model(kOtherLocation)}}, -1},
        {"another vendor-specific product first",
         {{OtherProduct(kOtherLocation, VendorSpecificProtocol)}, {Model(kHostLocation)}},
         -1},
        {"another vendor-specific product last",
         {{Model(kHostLocation)}, {OtherProduct(kOtherLocation, VendorSpecificProtocol)}},
         -1},
        {"another product without a vendor-specific interface",
         {{OtherProduct(kOtherLocation, 1), OtherProduct(kOtherLocation, 2)},
          {Model(kHostLocation)}},
         0},
        {"another maker's vendor-specific interface",
         {{Model(kHostLocation)}, {OtherMaker(kOtherLocation)}},
         0},
        {"location 0 first fixes no location", {{Model(0)}, {Model(kOtherLocation)}}, 0},
        {"location 0 after another location", {{Model(kOtherLocation)}, {Model(0)}}, -1},
        // An interface without "idVendor" is nobody's: it must not inherit
        // the vendor of the interface looked at before it.
        {"absent vendor", {{Model(kHostLocation)}, {Model(kOtherLocation).Drop("idVendor")}}, 0},
        {"absent product", {{Model(kHostLocation)}, {Model(kHostLocation).Drop("idProduct")}}, -1},
        {"absent location",
         {{Model(kHostLocation)}, {Model(kHostLocation).Drop("locationID")}},
         -1},
    };
    for (const Attachment& attachment : cases) {
        SimBusReset();
        for (const auto& device : attachment.devices) {
            AttachDevice(device);
        }
        EXPECT_EQ(CheckAttachedDevices(&state_), attachment.expected) << attachment.label;
        EXPECT_EQ(SimGetCounters().objectsCreated, 0u) << attachment.label;  // opens nothing
        ExpectBusClean(attachment.label);
    }
}

TEST_F(DeviceCheck, FailsWhenAnyPropertySetCannotBeMadeOrTheWalkCannotStart) {
    AttachInterface(Model(kHostLocation));
    const uint32_t stranger = AttachInterface(OtherMaker(kOtherLocation));
    SimFailStep(SimStepProperties, PlatformErrNoMemory, stranger);
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
    SimFailStep(SimStepProperties, PlatformOk, stranger);  // success without a set
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
    SimFailStep(SimStepWalk, PlatformErrError);
    EXPECT_EQ(CheckAttachedDevices(&state_), -1);
    EXPECT_EQ(CheckAttachedDevices(nullptr), -1);
    EXPECT_EQ(CheckAttachedDevices(&state_), 0);
}

}  // namespace
