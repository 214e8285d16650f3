// SPDX-License-Identifier: MIT
// Device finding and the checks made before the plug-in is started.
#include "device_finder.h"

#include <cstdlib>
#include <cstring>

#include "host_options.h"

namespace {

constexpr uint16_t kScannerVendorId = ZN_VENDOR_ID;
constexpr uint16_t kScannerProductId = ZN_PRODUCT_ID;
constexpr int32_t kVendorSpecificProtocol = 255;

int32_t Property(const UsbPropertySet* properties, const char* name) {
    int32_t value = -1;
    return UsbGetPropertyInt32(properties, name, &value) ? value : -1;
}

// Opens and closes the scanner's vendor-specific interface at `location` as
// the plug-in will: PlatformOk, or what the open answered.
PlatformReturn TryOpenScannerInterface(int32_t location) {
    UsbIterator* walk = nullptr;
    PlatformReturn status = UsbCreateInterfaceIterator(&walk);
    if (status != PlatformOk) {
        return status;
    }
    status = PlatformErrNotFound;
    while (UsbService* service = UsbIteratorNext(walk)) {
        UsbPropertySet* properties = nullptr;
        bool ours = false;
        if (UsbCreateProperties(service, &properties) == PlatformOk && properties != nullptr) {
            ours = Property(properties, "idVendor") == kScannerVendorId &&
                   Property(properties, "idProduct") == kScannerProductId &&
                   Property(properties, "bInterfaceProtocol") == kVendorSpecificProtocol &&
                   Property(properties, "locationID") == location;
        }
        UsbReleaseProperties(properties);
        UsbInterfaceObject* object = nullptr;
        if (ours && UsbCreateInterfaceObject(service, &object) == PlatformOk && object != nullptr) {
            status = object->ops->USBInterfaceOpen(object);
            if (status == PlatformOk) {
                object->ops->USBInterfaceClose(object);
            }
            object->ops->Release(object);
        }
        UsbReleaseService(service);
        if (ours) {
            break;
        }
    }
    UsbReleaseIterator(walk);
    return status;
}

// "20-1 (0x14100000), 20-2 (0x14200000)", or "none".
std::string NamesOf(const std::vector<UsbDeviceInfo>& scanners, const UsbDeviceInfo* except) {
    std::string names;
    for (const UsbDeviceInfo& device : scanners) {
        if (except != nullptr && std::strcmp(device.name, except->name) == 0) {
            continue;
        }
        char one[64];
        if (device.hasLocation) {
            std::snprintf(one, sizeof one, "%s (location 0x%08X)", device.name,
                          static_cast<uint32_t>(device.locationId));
        } else {
            std::snprintf(one, sizeof one, "%s", device.name);
        }
        names += names.empty() ? "" : ", ";
        names += one;
    }
    return names.empty() ? "none" : names;
}

std::string WantedText(const DeviceWanted& wanted) {
    char text[64];
    if (!wanted.name.empty()) {
        std::snprintf(text, sizeof text, "%s", wanted.name.c_str());
    } else {
        std::snprintf(text, sizeof text, "location 0x%08X",
                      static_cast<uint32_t>(wanted.location));
    }
    return text;
}

DeviceProblem Denied(const UsbDeviceInfo& device, char* message, int messageSize) {
    std::snprintf(message, messageSize,
                  "permission denied on %s (/dev/bus/usb/%03u/%03u): install the udev rule "
                  "70-zn417.rules and replug the scanner, or run as a user who may open it",
                  device.name, device.busNumber, device.deviceAddress);
    return DeviceDenied;
}

}  // namespace

int ExitStatusOf(DeviceProblem problem) {
    switch (problem) {
        case DeviceReady:
            return kHostExitOk;
        case DeviceMissing:
            return kHostExitNoDevice;
        case DeviceDenied:
            return kHostExitDenied;
        case DeviceBusy:
            return kHostExitBusy;
        case DeviceAmbiguous:
            return kHostExitAmbiguous;
        case DeviceBackendError:
            return kHostExitNoBackend;
        case DeviceNoLocation:
        case DeviceOpenFailed:
            break;
    }
    return kHostExitFailure;
}

int SelectHostBackend(bool simulate, char* error, int errorSize) {
    UsbBackendKind kind = UsbBackendLibusb;
    const char* choice = std::getenv("ZN_USB_BACKEND");
    if (simulate) {
        kind = UsbBackendSimulated;
    } else if (choice != nullptr && std::strcmp(choice, "sim") == 0) {
        kind = UsbBackendSimulated;
    } else if (choice != nullptr && *choice != '\0' && std::strcmp(choice, "libusb") != 0) {
        std::snprintf(error, errorSize,
                      "ZN_USB_BACKEND=%s names no USB backend (use libusb or sim)", choice);
        return -1;
    }
    const PlatformReturn selected = UsbPlatformSelectBackend(kind);
    if (selected != PlatformOk) {
        std::snprintf(error, errorSize, "the %s USB backend cannot start: %s",
                      kind == UsbBackendLibusb ? "libusb" : "simulated",
                      kind == UsbBackendLibusb && selected == PlatformErrUnsupported
                          ? "not built in, or libusb could not be initialised"
                          : UsbPlatformStatusName(selected));
        return -1;
    }
    return 0;
}

bool IsScanner(const UsbDeviceInfo& device) {
    return device.vendorId == kScannerVendorId && device.productId == kScannerProductId;
}

bool DeviceMatches(const DeviceWanted& wanted, const UsbDeviceInfo& device) {
    if (!IsScanner(device)) {
        return false;
    }
    if (!wanted.name.empty()) {
        return wanted.name == device.name;
    }
    if (wanted.locationSet) {
        return device.hasLocation && device.locationId == wanted.location;
    }
    return true;
}

PlatformReturn ListScanners(std::vector<UsbDeviceInfo>* scanners) {
    scanners->clear();
    std::vector<UsbDeviceInfo> devices(64);
    uint32_t count = 0;
    for (;;) {
        const PlatformReturn status =
            UsbListDevices(devices.data(), static_cast<uint32_t>(devices.size()), &count);
        if (status != PlatformOk) {
            return status;
        }
        if (count <= devices.size()) {
            break;
        }
        devices.resize(count);  // more arrived than there was room for: ask again
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (IsScanner(devices[i])) {
            scanners->push_back(devices[i]);
        }
    }
    return PlatformOk;
}

void PrintScannerList(FILE* out, const std::vector<UsbDeviceInfo>& scanners) {
    for (const UsbDeviceInfo& device : scanners) {
        char location[16] = "none";
        if (device.hasLocation) {
            std::snprintf(location, sizeof location, "0x%08X",
                          static_cast<uint32_t>(device.locationId));
        }
        std::fprintf(out, "%-12s location %-10s bus %03u device %03u  may open: %s\n",
                     device.name, location, device.busNumber, device.deviceAddress,
                     device.accessible ? "yes" : "no (install the udev rule 70-zn417.rules)");
    }
}

DeviceProblem FindScanner(const DeviceWanted& wanted, UsbDeviceInfo* found, char* message,
                          int messageSize) {
    std::vector<UsbDeviceInfo> scanners;
    const PlatformReturn listed = ListScanners(&scanners);
    if (listed != PlatformOk) {
        std::snprintf(message, messageSize, "cannot list USB devices: %s",
                      UsbPlatformStatusName(listed));
        return DeviceBackendError;
    }
    const bool named = !wanted.name.empty() || wanted.locationSet;
    const UsbDeviceInfo* chosen = nullptr;
    for (const UsbDeviceInfo& device : scanners) {
        if (DeviceMatches(wanted, device)) {
            chosen = &device;
            break;
        }
    }
    if (chosen == nullptr) {
        if (named) {
            std::snprintf(message, messageSize, "no ZN417 at %s; attached ZN417s: %s",
                          WantedText(wanted).c_str(), NamesOf(scanners, nullptr).c_str());
        } else {
            std::snprintf(message, messageSize,
                          "no ZN417 attached (USB ID %04x:%04x); see lsusb, or --list",
                          kScannerVendorId, kScannerProductId);
        }
        return DeviceMissing;
    }
    if (scanners.size() > 1) {
        // The plug-in serves a scanner only while no other of its kind is
        // attached elsewhere: started now, it would watch nothing.
        if (named) {
            std::snprintf(message, messageSize,
                          "another ZN417 is attached too (%s); the plug-in watches %s only "
                          "while it is the one ZN417 attached: unplug the other",
                          NamesOf(scanners, chosen).c_str(), chosen->name);
        } else {
            std::snprintf(message, messageSize,
                          "%zu ZN417s are attached (%s); name one with --device, and unplug "
                          "the others: the plug-in serves one at a time",
                          scanners.size(), NamesOf(scanners, nullptr).c_str());
        }
        return DeviceAmbiguous;
    }
    *found = *chosen;
    if (!chosen->hasLocation) {
        std::snprintf(message, messageSize,
                      "%s has no location ID (its port path is deeper than 6 hubs or uses a "
                      "port above 15): plug the scanner into another port",
                      chosen->name);
        return DeviceNoLocation;
    }
    if (!chosen->accessible) {
        return Denied(*chosen, message, messageSize);
    }
    const PlatformReturn opened = TryOpenScannerInterface(chosen->locationId);
    switch (opened) {
        case PlatformOk:
            return DeviceReady;
        case PlatformErrExclusiveAccess:
            std::snprintf(message, messageSize,
                          "the scanner's interface at %s is held by another program (a scanning "
                          "program, or another zn417-host): close it and try again",
                          chosen->name);
            return DeviceBusy;
        case PlatformErrNotPermitted:
            return Denied(*chosen, message, messageSize);
        case PlatformErrNoDevice:
        case PlatformErrNotFound:
            std::snprintf(message, messageSize,
                          "%s has no scanner interface the plug-in can use (or it just left)",
                          chosen->name);
            return DeviceMissing;
        default:
            std::snprintf(message, messageSize, "cannot open the scanner at %s: %s",
                          chosen->name, UsbPlatformStatusName(opened));
            return DeviceOpenFailed;
    }
}
