// SPDX-License-Identifier: MIT
// Finding the scanner: the USB backend the host runs on, the ZN417s
// attached, the one the user named (or the only one), and whether the
// plug-in could hold it, each failure with a message that says what to do.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/usb_platform.h"

// The device the user asked for: by sysfs name, by location, or neither.
struct DeviceWanted {
    std::string name;
    bool locationSet = false;
    int32_t location = 0;
};

enum DeviceProblem : int {
    DeviceReady,         // found and free to open
    DeviceMissing,       // no such device attached
    DeviceDenied,        // this user may not open it
    DeviceBusy,          // its interface is held by another program
    DeviceAmbiguous,     // more than one ZN417 attached
    DeviceNoLocation,    // its port path has no location ID: the plug-in cannot address it
    DeviceOpenFailed,    // its interface could not be opened for another reason
    DeviceBackendError,  // the USB backend failed
};

// The exit status that reports `problem`.
int ExitStatusOf(DeviceProblem problem);

// Chooses the backend: the simulated bus with --simulate; otherwise libusb,
// or what ZN_USB_BACKEND names ("libusb" or "sim"). 0, or -1 with the reason
// in `error` for an unknown name or a backend that cannot start.
int SelectHostBackend(bool simulate, char* error, int errorSize);

// True for a device with the build's vendor and product IDs.
bool IsScanner(const UsbDeviceInfo& device);

// True when `device` is the one `wanted` names (any scanner when it names none).
bool DeviceMatches(const DeviceWanted& wanted, const UsbDeviceInfo& device);

// The ZN417s attached now. PlatformOk, or the backend's failure.
PlatformReturn ListScanners(std::vector<UsbDeviceInfo>* scanners);

// One line per scanner: sysfs name, location ID, bus/address, may-open.
void PrintScannerList(FILE* out, const std::vector<UsbDeviceInfo>& scanners);

// Finds the wanted scanner and checks, before the plug-in is started, that
// it alone is attached and that its interface can be opened (opened and
// closed again at once). DeviceReady with *found set, or the problem with a
// message for the user in `message`.
DeviceProblem FindScanner(const DeviceWanted& wanted, UsbDeviceInfo* found, char* message,
                          int messageSize);
