// SPDX-License-Identifier: MIT
// The attached-device check over the platform layer's interface walk.
#include "usb/device_check.h"

#include "platform/usb_platform.h"
#include "usb/usb_access.h"
#include "usb/usb_ids.h"

namespace {

// Looks at one interface: 0 to go on with the walk, -1 to fail the check.
// `firstLocation` is the location of the first qualifying interface, 0 while
// none has been seen.
int32_t CheckInterface(const PluginState* state, UsbService* service, int32_t* firstLocation) {
    UsbPropertySet* properties = nullptr;
    if (UsbCreateProperties(service, &properties) != PlatformOk || properties == nullptr) {
        return -1;
    }
    int32_t verdict = 0;
    if (ReadInterfaceProperty(properties, "idVendor") == MakerVendorId &&
        ReadInterfaceProperty(properties, "bInterfaceProtocol") == VendorSpecificProtocol) {
        const int32_t product = ReadInterfaceProperty(properties, "idProduct");
        if (static_cast<int64_t>(product) != static_cast<int64_t>(state->productId)) {
            verdict = -1;  // another product of the maker with a vendor-specific interface
        } else {
            const int32_t location = ReadInterfaceProperty(properties, "locationID");
            if (*firstLocation == 0) {
                *firstLocation = location;
            } else if (location != *firstLocation) {
                verdict = -1;  // a second device of the model
            }
        }
    }
    UsbReleaseProperties(properties);
    return verdict;
}

}  // namespace

int32_t CheckAttachedDevices(const PluginState* state) {
    if (state == nullptr) {
        return -1;
    }
    UsbIterator* walk = nullptr;
    if (UsbCreateInterfaceIterator(&walk) != PlatformOk || walk == nullptr) {
        return -1;
    }
    int32_t firstLocation = 0;
    int32_t result = 0;
    while (UsbService* service = UsbIteratorNext(walk)) {
        const int32_t verdict = CheckInterface(state, service, &firstLocation);
        UsbReleaseService(service);
        if (verdict != 0) {
            result = -1;
            break;
        }
    }
    UsbReleaseIterator(walk);
    return result;
}
