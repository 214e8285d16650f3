// SPDX-License-Identifier: MIT
// A mocked USB kernel for the libusb backend: a umockdev testbed with root
// hubs, hubs and devices at chosen port paths, and an ioctl handler that
// plays usbfs for their nodes. Each device's endpoints carry queued packets
// as real hardware would (packet by packet, up to wMaxPacketSize); a ZN417's
// bulk writes go to the simulated ZN417's device side, which checks them and
// answers. Every URB the backend submits is recorded for the tests to check.
// Runs only in a process that has umockdev's preload library loaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zn417_model.h"

struct MockEndpoint {
    uint8_t address;     // direction bit 0x80 and number
    uint8_t attributes;  // transfer type in the low two bits
    uint16_t maxPacketSize;
    uint8_t interval;
};

struct MockInterface {
    uint8_t number;
    uint8_t alternate;
    uint8_t interfaceClass;
    uint8_t subClass;
    uint8_t protocol;
    std::vector<MockEndpoint> endpoints;
    int declaredEndpoints = -1;  // bNumEndpoints when it is to disagree with `endpoints`
};

struct MockDeviceLayout {
    uint16_t vendorId;
    uint16_t productId;
    uint8_t deviceClass;
    std::vector<MockInterface> interfaces;
};

// The ZN417: one vendor-specific interface with bulk-out 0x01 and bulk-in
// 0x82 of 512 bytes and interrupt-in 0x83 of 64 bytes, in that order.
MockDeviceLayout Zn417Layout();

constexpr uint8_t kMockBulkOut = 0x01;
constexpr uint8_t kMockBulkIn = 0x82;
constexpr uint8_t kMockInterruptIn = 0x83;

// How a device's side of usbfs misbehaves; all false/0 is a sound device.
struct MockFaults {
    bool writesNeverComplete = false;    // bulk-out URBs stay pending
    bool controlNeverCompletes = false;  // control URBs stay pending (a hung device)
    bool discardFails = false;           // DISCARDURB answered with EIO, the URB stays pending
    bool discardIgnored = false;         // DISCARDURB accepted, the URB still never ends
    bool claimBusy = false;              // CLAIMINTERFACE answered EBUSY
    bool disconnectClaim = true;         // the kernel offers DISCONNECT_CLAIM
    uint8_t stallEndpoint = 0;           // URBs on this endpoint end with a stall
    uint32_t clearHaltDelayMs = 0;       // CLEAR_HALT ioctl takes this long (kernel timeout)
};

// One URB as the backend submitted it.
struct MockUrbRecord {
    uint8_t type;  // USBDEVFS_URB_TYPE_*
    uint8_t endpoint;
    int32_t bufferLength;
    uint32_t flags;  // USBDEVFS_URB_*
    std::vector<uint8_t> data;  // what an out-URB carried (the setup packet for control)
};

// What a device has seen; read with MockGetReport.
struct MockReport {
    uint32_t claims = 0;
    uint32_t claimedInterface = 0;  // number of the latest claim
    uint32_t releases = 0;
    uint32_t clearHalts = 0;        // CLEAR_HALT ioctls
    uint32_t clearFeatures = 0;     // CLEAR_FEATURE(ENDPOINT_HALT) control requests
    uint32_t discards = 0;
    uint32_t driverDetaches = 0;
    uint32_t driverAttaches = 0;
    bool claimed = false;
    bool driverBound = false;
    uint32_t opens = 0;             // client connections to the node
    uint32_t pendingIn[16] = {};    // in-URBs waiting, per endpoint number
    uint32_t pendingOut[16] = {};   // out-URBs waiting, per endpoint number
    std::vector<MockUrbRecord> urbs;
};

struct MockBus;
struct MockDevice;

// Starts the testbed; null when the preload library is not loaded. Devices
// must be added before the libusb backend is started in this process.
MockBus* MockBusCreate();
void MockBusRelease(MockBus* bus);

// Adds a device at bus `busNumber`, port path `ports` (root port first),
// adding the root hub and every hub on the way that is not there yet.
// `kernelDriver` names a driver bound to every interface ("" for none).
// Null when a hub or device already sits there.
MockDevice* MockAddDevice(MockBus* bus, uint8_t busNumber, const std::vector<uint8_t>& ports,
                          const MockDeviceLayout& layout, const char* kernelDriver = "");

// The sysfs name ("1-4.2") and device node of a device.
std::string MockDeviceName(const MockDevice* device);
std::string MockDeviceNode(const MockDevice* device);

// The file behind the device's node inside the testbed, whose owner and
// mode decide who may open the node.
std::string MockNodeFile(const MockBus* bus, const MockDevice* device);

void MockSetFaults(MockDevice* device, const MockFaults& faults);

// The ZN417 device side answering this device's bulk writes (created with
// the device, freed with the bus).
Zn417Model* MockZn417(MockDevice* device);

// Queues one packet on an in-endpoint (each at most wMaxPacketSize long, as
// the device sends it), or a message that goes out in packets.
void MockQueuePacket(MockDevice* device, uint8_t endpoint, const std::vector<uint8_t>& packet);
void MockQueueMessage(MockDevice* device, uint8_t endpoint, const std::vector<uint8_t>& message);
void MockQueueStatusPacket(MockDevice* device);
void MockQueuePress(MockDevice* device, uint8_t buttonCode);

// Unplugs the device: URBs in flight end with ESHUTDOWN, every later request
// fails with ENODEV, and a "remove" uevent goes out.
void MockUnplug(MockBus* bus, MockDevice* device);

// Plugs an unplugged device in again at the same place and address: its
// endpoints start empty, and an "add" uevent goes out.
void MockReplug(MockBus* bus, MockDevice* device);

MockReport MockGetReport(const MockDevice* device);

// Waits up to `timeoutMs` until `count` in-URBs (or out-URBs) wait on the
// endpoint; true when they do.
bool MockWaitPending(const MockDevice* device, uint8_t endpoint, uint32_t count,
                     uint32_t timeoutMs);

// Waits up to `timeoutMs` until the device's report satisfies `test`.
bool MockWaitReport(const MockDevice* device, bool (*test)(const MockReport& report, void* context),
                    void* context, uint32_t timeoutMs);

// True when this process runs with umockdev's preload library; otherwise
// re-executes the program with it (and with the sanitizer options it needs)
// and does not return, or returns false when that is impossible.
bool MockEnsurePreloaded(char** argv);
