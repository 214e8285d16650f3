// SPDX-License-Identifier: MIT
// Hands arbitrary text to the host as the scanner's name or location, from the
// command line as a user or a configuration file gives it, and checks that what
// is accepted names a device consistently.
// Input: one byte that picks --device (even) or --location (odd), then the text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "device_finder.h"
#include "host_options.h"

namespace {

void ParseAsFlag(const char* flag, const std::string& value) {
    std::string program = "zn417-host";
    std::string option = flag;
    std::string text = value;
    char* argv[] = {program.data(), option.data(), text.data(), nullptr};
    HostOptions options;
    char error[256];
    if (ParseHostOptions(3, argv, &options, error, sizeof error) != 0) {
        return;
    }
    // A ZN417 with the name or location accepted is the one named; moved to
    // another port, it is not.
    DeviceWanted wanted{options.flags.device, options.flags.locationSet, options.flags.location};
    UsbDeviceInfo device{};
    device.vendorId = ZN_VENDOR_ID;
    device.productId = ZN_PRODUCT_ID;
    if (!wanted.name.empty()) {
        if (wanted.name.size() >= sizeof device.name || wanted.name != value) {
            __builtin_trap();  // an accepted name is kept whole and fits a device's name
        }
        std::snprintf(device.name, sizeof device.name, "%s", wanted.name.c_str());
    }
    device.hasLocation = wanted.locationSet;
    device.locationId = wanted.location;
    if (!DeviceMatches(wanted, device)) {
        __builtin_trap();
    }
    device.name[0] = 'x';
    device.locationId ^= 1;
    if (DeviceMatches(wanted, device)) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (std::memchr(text.data(), '\0', text.size()) != nullptr) {
        return 0;  // argv holds C strings
    }
    if (data[0] % 2 == 0) {
        ParseAsFlag("--device", text);
        return 0;
    }
    ParseAsFlag("--location", text);
    int32_t location = 0;
    if (ParseLocationId(text.c_str(), &location)) {
        // What the host prints for a location reads back as the same location.
        char printed[16];
        std::snprintf(printed, sizeof printed, "0x%08X", static_cast<uint32_t>(location));
        int32_t again = 0;
        if (!ParseLocationId(printed, &again) || again != location) {
            __builtin_trap();
        }
    }
    return 0;
}
