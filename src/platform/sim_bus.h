// SPDX-License-Identifier: MIT
// The simulated USB bus: a programmable, in-process set of USB devices behind
// the platform layer, for the tests and the demo. Devices are attached and
// unplugged, steps made to fail, and every operation observed from here.
#pragma once

#include <cstdint>

#include "platform/usb_platform.h"

// One pipe of an interface: pipe references are 1, 2, ... in the order given.
struct SimPipe {
    uint8_t direction;     // UsbDirectionIn or UsbDirectionOut
    uint8_t transferType;  // UsbTransferBulk, UsbTransferInterrupt, ...
    uint8_t endpointNumber;
    uint16_t maxPacketSize;
    uint8_t interval;
};

// One numeric registry property of an interface.
struct SimProperty {
    const char* name;
    int32_t value;
};

// One USB interface as the registry shows it. The attach copies everything.
struct SimInterfaceDesc {
    const SimProperty* properties;  // any names, any values; absent ones are absent
    uint32_t propertyCount;
    const SimPipe* pipes;  // GetNumEndpoints reports pipeCount
    uint32_t pipeCount;
    bool heldByOtherClient;  // USBInterfaceOpen answers PlatformErrExclusiveAccess
    // Position in the registry walk: lower values come first; equal values in
    // the order of attachment.
    uint32_t registryOrder;
};

// Steps that a test can make fail.
enum SimStep : int32_t {
    SimStepWalk,            // UsbCreateInterfaceIterator
    SimStepProperties,      // UsbCreateProperties (status 0: "no property set")
    SimStepCreateObject,    // UsbCreateInterfaceObject (status 0: "no object")
    SimStepOpen,            // USBInterfaceOpen
    SimStepNumEndpoints,    // GetNumEndpoints
    SimStepPipeProperties,  // GetPipeProperties
    SimStepRead,            // ReadPipe, at once, without waiting for a transfer
    SimStepWrite,           // WritePipe (the write is recorded with this status)
};

// Called on the writer's thread for each successful write on an out-pipe,
// before WritePipe returns and outside the bus's lock: it may queue answers
// with SimQueueInPacket, or do nothing (a device that never answers).
using SimResponder = void (*)(void* context, uint32_t interfaceId, uint8_t pipeRef,
                              const uint8_t* data, uint32_t length);

// Counters that let a test prove that nothing was left behind.
struct SimCounters {
    uint32_t openObjects;        // interface objects open now
    uint32_t unreleasedObjects;  // interface objects created and not released
    uint32_t liveIterators;      // walks not released
    uint32_t liveServices;       // interfaces yielded by walks and not released
    uint32_t livePropertySets;   // property snapshots not released
    uint32_t blockedReads;       // ReadPipe calls waiting now
    uint32_t misuses;            // operations on closed or released objects
    uint32_t objectsCreated;     // interface objects created since the reset
};

// Forgets every device, failure, record and object. Only when no thread is
// inside the bus and nothing of it is held: the objects handed out are freed.
ZN_PLATFORM_API void SimBusReset();

// Attaches a device with `count` interfaces. Their interface IDs (never 0)
// go to `interfaceIds` when present. Returns the device ID, or 0 for bad
// arguments. The device's vendor, product and location, as UsbListDevices
// shows them, are its first interface's "idVendor", "idProduct" and
// "locationID"; its name follows the location's port path (0x14120000:
// "20-1.2"), or is "0-<device ID>" without a usable location. Watches of
// the simulated bus hear of the arrival before this returns.
ZN_PLATFORM_API uint32_t SimAttachDevice(const SimInterfaceDesc* interfaces, uint32_t count,
                                         uint32_t* interfaceIds);

// Unplugs a device: its interfaces leave the registry, blocked reads on them
// return PlatformErrNoDevice, and so does every later operation but close
// and release. PlatformErrNotFound for an unknown device. Watches hear of
// the departure before this returns.
ZN_PLATFORM_API PlatformReturn SimDetachDevice(uint32_t deviceId);

// Marks a device as one this process may not open (the listing says so and
// USBInterfaceOpen answers PlatformErrNotPermitted), or as one it may.
// PlatformErrNotFound for an unknown or detached device.
ZN_PLATFORM_API PlatformReturn SimSetDeviceAccessible(uint32_t deviceId, bool accessible);

// Gives a device a node (a file of the test's), or takes it away (null or
// ""): from then on the device is accessible while the node's owner may read
// and write it, and the listing names the node. PlatformErrNotFound as above.
ZN_PLATFORM_API PlatformReturn SimSetDeviceNode(uint32_t deviceId, const char* path);

// Marks an interface as held open by another client, or frees it.
ZN_PLATFORM_API PlatformReturn SimSetHeldByOtherClient(uint32_t interfaceId, bool held);

// Makes `step` fail with `status` on the interface (0: any) and pipe (0:
// any), for the next `times` occurrences (0: every time). Rules add up; the
// first one that fits is used.
ZN_PLATFORM_API void SimFailStep(SimStep step, int32_t status, uint32_t interfaceId = 0,
                                 uint8_t pipeRef = 0, uint32_t times = 1);
ZN_PLATFORM_API void SimClearFailures();

// Queues one transfer of `length` bytes (0 allowed) on an in-pipe; it is
// delivered by the next ReadPipe on that pipe, or wakes one that blocks.
// 0; PlatformErrNotFound; PlatformErrNoDevice; PlatformErrBadArgument for an
// out-pipe or absent data.
ZN_PLATFORM_API PlatformReturn SimQueueInPacket(uint32_t interfaceId, uint8_t pipeRef,
                                                const void* data, uint32_t length);

// Queues an answer that the interface's first bulk-in pipe delivers after
// the next successful write on a bulk-out pipe. Answers go out one per write.
ZN_PLATFORM_API PlatformReturn SimQueueBulkAnswer(uint32_t interfaceId, const void* data,
                                                  uint32_t length);

// Sets (or, with null, removes) the responder of an interface.
ZN_PLATFORM_API PlatformReturn SimSetResponder(uint32_t interfaceId, SimResponder responder,
                                               void* context);

// Writes made on the interface so far, successful or not.
ZN_PLATFORM_API uint32_t SimWriteCount(uint32_t interfaceId);

// Copies write `index` of the interface: its pipe, its status and up to
// `capacity` bytes (its full length goes to *length). False when there is no
// such write. Any out-parameter may be null.
ZN_PLATFORM_API bool SimGetWrite(uint32_t interfaceId, uint32_t index, uint8_t* pipeRef,
                                 int32_t* status, void* data, uint32_t capacity, uint32_t* length);

// Reads the counters.
ZN_PLATFORM_API SimCounters SimGetCounters();

// Copies the description of misuse `index` (in the order they happened).
ZN_PLATFORM_API bool SimGetMisuse(uint32_t index, char* text, uint32_t capacity);

// Waits until at least `count` ReadPipe calls are blocked on the bus, or
// `timeoutMs` pass. True when they are. Lets a test act on a blocked reader
// without guessing with sleeps.
ZN_PLATFORM_API bool SimWaitForBlockedReads(uint32_t count, uint32_t timeoutMs);
