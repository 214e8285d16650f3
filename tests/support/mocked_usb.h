// USB devices for a umockdev testbed, in umockdev's record format: a root
// hub, and a ZN417 (the default build's vendor and product IDs, no
// interfaces) on its port 4 at address 5, named 1-4, location 0x01400000.
#pragma once

constexpr const char* kRootHub =
    "P: /devices/pci0000:00/0000:00:14.0/usb1\n"
    "N: bus/usb/001/001\n"
    "E: DEVNAME=/dev/bus/usb/001/001\n"
    "E: DEVTYPE=usb_device\n"
    "E: DRIVER=usb\n"
    "E: SUBSYSTEM=usb\n"
    "E: BUSNUM=001\n"
    "E: DEVNUM=001\n"
    "A: busnum=1\\n\n"
    "A: devnum=1\\n\n"
    "A: speed=480\\n\n"
    "H: descriptors=12010002090001406B1D020006050302010109021900010100E00009040000010900000007058103"
    "04000C\n";

constexpr const char* kScanner =
    "P: /devices/pci0000:00/0000:00:14.0/usb1/1-4\n"
    "N: bus/usb/001/005\n"
    "E: DEVNAME=/dev/bus/usb/001/005\n"
    "E: DEVTYPE=usb_device\n"
    "E: DRIVER=usb\n"
    "E: SUBSYSTEM=usb\n"
    "E: BUSNUM=001\n"
    "E: DEVNUM=005\n"
    "A: busnum=1\\n\n"
    "A: devnum=5\\n\n"
    "A: speed=480\\n\n"
    "H: descriptors=1201000200000040E1F0170400010000000109020900000100803200\n";

constexpr const char* kScannerPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4";
