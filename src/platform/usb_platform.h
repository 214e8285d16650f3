// SPDX-License-Identifier: MIT
// The platform layer's USB side, our stand-in for the I/O registry and the USB
// interface object: a walk over every USB interface, their numeric properties,
// and interface objects whose operations are called through one table.
#pragma once

#include <cstdint>

#define ZN_PLATFORM_API __attribute__((visibility("default")))

// Results of the platform layer: 0 for success, otherwise one of the codes
// below. They are negative 32-bit values whose low 16 bits are never 0, so a
// caller that keeps only the low half still sees a failure.
using PlatformReturn = int32_t;
constexpr PlatformReturn PlatformOk = 0;
constexpr PlatformReturn PlatformErrError = static_cast<int32_t>(0xE00002BCu);         // general
constexpr PlatformReturn PlatformErrNoMemory = static_cast<int32_t>(0xE00002BDu);      // exhausted
constexpr PlatformReturn PlatformErrNoDevice = static_cast<int32_t>(0xE00002C0u);      // unplugged
constexpr PlatformReturn PlatformErrNotPermitted = static_cast<int32_t>(0xE00002C1u);  // no access
constexpr PlatformReturn PlatformErrBadArgument = static_cast<int32_t>(0xE00002C2u);  // bad pipe...
constexpr PlatformReturn PlatformErrExclusiveAccess =
    static_cast<int32_t>(0xE00002C5u);  // held by another client
constexpr PlatformReturn PlatformErrUnsupported = static_cast<int32_t>(0xE00002C7u);
constexpr PlatformReturn PlatformErrNotOpen = static_cast<int32_t>(0xE00002CDu);  // not open
constexpr PlatformReturn PlatformErrNotFound = static_cast<int32_t>(0xE00002F0u);
constexpr PlatformReturn PlatformErrOverrun = static_cast<int32_t>(0xE00002E8u);  // packet > buffer
constexpr PlatformReturn PlatformErrAborted = static_cast<int32_t>(0xE00002EBu);  // pipe aborted
constexpr PlatformReturn PlatformErrStalled = static_cast<int32_t>(0xE000404Fu);  // endpoint stall

// Endpoint encodings of the USB standard, as GetPipeProperties reports them.
constexpr uint8_t UsbDirectionOut = 0;  // host to device
constexpr uint8_t UsbDirectionIn = 1;   // device to host
constexpr uint8_t UsbTransferControl = 0;
constexpr uint8_t UsbTransferIsochronous = 1;
constexpr uint8_t UsbTransferBulk = 2;
constexpr uint8_t UsbTransferInterrupt = 3;

// Handles of the registry walk. Each is created by one function below and
// must be released by its release function; all are opaque.
struct UsbIterator;     // a walk in progress
struct UsbService;      // one USB interface that the walk yielded
struct UsbPropertySet;  // a snapshot of one interface's properties

struct UsbInterfaceOps;

// An interface object. Callers reach its operations through `ops`, passing
// the object itself first: `object->ops->ReadPipe(object, ...)`. A backend
// keeps its own data after this header.
struct UsbInterfaceObject {
    const UsbInterfaceOps* ops;
};

// Operations of an interface object. Every member is mandatory. An operation
// made on a released object is a caller error with undefined result on real
// backends; the simulated bus reports it. Unless a member says otherwise it
// returns at once.
struct UsbInterfaceOps {
    // Opens the interface for this client's exclusive use.
    // 0; PlatformErrExclusiveAccess when another client (or another object of
    // this process) holds it open; PlatformErrNoDevice when it was unplugged.
    PlatformReturn (*USBInterfaceOpen)(UsbInterfaceObject* self);

    // Ends the exclusive use. The caller makes sure no operation is pending.
    // 0; PlatformErrNotOpen when the object is not open.
    PlatformReturn (*USBInterfaceClose)(UsbInterfaceObject* self);

    // Number of endpoints (pipes) of the interface, control endpoint excluded.
    // 0; PlatformErrNotOpen; PlatformErrNoDevice; PlatformErrBadArgument for
    // an absent `count`.
    PlatformReturn (*GetNumEndpoints)(UsbInterfaceObject* self, uint8_t* count);

    // Describes pipe `pipeRef` (1 to the endpoint count): direction, endpoint
    // number, transfer type, maximum packet size and polling interval. Every
    // out-parameter must be present.
    // 0; PlatformErrNotOpen; PlatformErrNoDevice; PlatformErrBadArgument for
    // an unknown pipe or an absent out-parameter.
    PlatformReturn (*GetPipeProperties)(UsbInterfaceObject* self, uint8_t pipeRef,
                                        uint8_t* direction, uint8_t* number, uint8_t* transferType,
                                        uint16_t* maxPacketSize, uint8_t* interval);

    // BLOCKS until the device delivers one transfer on the in-pipe `pipeRef`,
    // the pipe is aborted, or the device is unplugged. `*size` gives the room
    // in `buffer` and comes back as the number of bytes received.
    // 0; PlatformErrAborted (AbortPipe, or the object closed meanwhile);
    // PlatformErrNoDevice; PlatformErrOverrun when the transfer was longer
    // than the room (the room is filled, the rest is lost); PlatformErrStalled
    // or another failure of the transfer; PlatformErrNotOpen;
    // PlatformErrBadArgument for an out-pipe, an unknown pipe or absent
    // pointers. On failure `*size` is the number of bytes placed, often 0.
    PlatformReturn (*ReadPipe)(UsbInterfaceObject* self, uint8_t pipeRef, void* buffer,
                               uint32_t* size);

    // BLOCKS until the `size` bytes have gone out on the out-pipe `pipeRef`.
    // 0; PlatformErrAborted; PlatformErrNoDevice; PlatformErrStalled or
    // another failure of the transfer; PlatformErrNotOpen;
    // PlatformErrBadArgument for an in-pipe, an unknown pipe, or an absent
    // buffer with a non-zero size.
    PlatformReturn (*WritePipe)(UsbInterfaceObject* self, uint8_t pipeRef, const void* buffer,
                                uint32_t size);

    // Ends every transfer pending on the pipe; each returns PlatformErrAborted.
    // May be called from another thread while a ReadPipe or WritePipe on the
    // same object blocks; that is its purpose. Transfers started after it
    // returns are not affected.
    // 0; PlatformErrNotOpen; PlatformErrNoDevice; PlatformErrBadArgument.
    PlatformReturn (*AbortPipe)(UsbInterfaceObject* self, uint8_t pipeRef);

    // Clears a stall on the host side and on the device's endpoint. Waits
    // a short while at most for the device's answer.
    // 0; PlatformErrNotOpen; PlatformErrNoDevice; PlatformErrBadArgument;
    // PlatformErrError when the device does not answer.
    PlatformReturn (*ClearPipeStallBothEnds)(UsbInterfaceObject* self, uint8_t pipeRef);

    // Drops the caller's reference; the object must not be used afterwards.
    // The caller closes it first. 0; PlatformErrError for a released object.
    PlatformReturn (*Release)(UsbInterfaceObject* self);
};

// A short English name of a result ("ok", "aborted", ...), for traces and
// messages; "failed" for codes of no backend.
ZN_PLATFORM_API const char* UsbPlatformStatusName(PlatformReturn status);

// Backends of the layer. The simulated bus is always built and is the
// default; libusb exists only in builds made with it.
enum UsbBackendKind : int32_t {
    UsbBackendSimulated = 0,
    UsbBackendLibusb = 1,
};

// Chooses the backend for walks started from now on. Handles already made
// stay with the backend that made them. When no call was made, the first walk
// uses the backend named by the environment variable ZN_USB_BACKEND
// ("libusb" or "sim"), else the simulated bus.
// 0; PlatformErrUnsupported when the backend is not built in or cannot start.
ZN_PLATFORM_API PlatformReturn UsbPlatformSelectBackend(UsbBackendKind kind);

// The backend that the next walk will use.
ZN_PLATFORM_API UsbBackendKind UsbPlatformCurrentBackend();

// Receives one readable line (no newline) per USB operation of any backend.
// The hook runs on the thread of the operation, one line at a time, and must
// not call into this layer. A null hook stops the trace.
using UsbTraceHook = void (*)(void* context, const char* line);
ZN_PLATFORM_API void UsbPlatformSetTraceHook(UsbTraceHook hook, void* context);

// Starts a walk over every USB interface of the machine. The walk yields
// each interface present at this moment once, in a fixed order.
// 0 with *iterator set; PlatformErrBadArgument; PlatformErrNoMemory or
// another failure of the registry, with *iterator null.
ZN_PLATFORM_API PlatformReturn UsbCreateInterfaceIterator(UsbIterator** iterator);

// The next interface of the walk, to be released with UsbReleaseService; null
// when the walk is exhausted or `iterator` is absent.
ZN_PLATFORM_API UsbService* UsbIteratorNext(UsbIterator* iterator);

// Ends a walk; nothing for an absent iterator. Services it yielded stay valid.
ZN_PLATFORM_API void UsbReleaseIterator(UsbIterator* iterator);

// Drops an interface the walk yielded; nothing for an absent one.
ZN_PLATFORM_API void UsbReleaseService(UsbService* service);

// Takes a snapshot of the interface's properties.
// 0 with *properties set, or null when the interface has no property set;
// PlatformErrBadArgument; another failure with *properties null.
ZN_PLATFORM_API PlatformReturn UsbCreateProperties(UsbService* service,
                                                   UsbPropertySet** properties);

// Reads the property `name` as a signed 32-bit number. True and *value set
// when it is present and numeric; false, *value untouched, otherwise.
ZN_PLATFORM_API bool UsbGetPropertyInt32(const UsbPropertySet* properties, const char* name,
                                         int32_t* value);

// Releases a property snapshot; nothing for an absent one.
ZN_PLATFORM_API void UsbReleaseProperties(UsbPropertySet* properties);

// Creates a closed interface object for the interface, to be released
// through its table's Release.
// 0 with *object set, or null when the interface offers none;
// PlatformErrBadArgument; PlatformErrNoDevice; another failure with *object
// null.
ZN_PLATFORM_API PlatformReturn UsbCreateInterfaceObject(UsbService* service,
                                                        UsbInterfaceObject** object);

// One attached USB device, as a user names it.
struct UsbDeviceInfo {
    uint16_t vendorId;
    uint16_t productId;
    uint8_t busNumber;
    uint8_t deviceAddress;
    // The bus, then the port path, as sysfs, udev's %k and `lsusb -t` name
    // it: "1-4.2". NUL-terminated.
    char name[32];
    // False when the port path does not fit the location layout; such a
    // device is named by `name` only and never shares a location ID.
    bool hasLocation;
    int32_t locationId;
    // True when this process may open the device (its node's permissions).
    bool accessible;
    // The device node whose permissions `accessible` reflects, for a caller
    // that waits for access to be granted ("/dev/bus/usb/001/005"); empty
    // when the backend has none.
    char node[40];
};

// Lists every attached device. Up to `capacity` records go to `devices`;
// *count is the number of devices attached, which may be more.
// 0; PlatformErrBadArgument for an absent `count` (or absent `devices` with
// a capacity); PlatformErrUnsupported when the backend cannot start; another
// failure of the registry.
ZN_PLATFORM_API PlatformReturn UsbListDevices(UsbDeviceInfo* devices, uint32_t capacity,
                                              uint32_t* count);

enum UsbDeviceEvent : int32_t {
    UsbDeviceArrived = 1,
    UsbDeviceLeft = 2,
};

// Receives one call per device that arrives or leaves. It runs on a thread
// of the layer (or, on the simulated bus, on the thread that attached or
// detached the device), must return promptly and must not call into this
// layer: hand the news to your own thread.
using UsbDeviceHook = void (*)(void* context, UsbDeviceEvent event, const UsbDeviceInfo* device);

struct UsbDeviceWatch;

// Starts reporting arrivals and departures of devices through `hook`, from
// the current backend. Devices already attached are not reported.
// 0 with *watch set; PlatformErrBadArgument; PlatformErrUnsupported when the
// backend cannot report devices; another failure, with *watch null.
ZN_PLATFORM_API PlatformReturn UsbWatchDevices(UsbDeviceHook hook, void* context,
                                               UsbDeviceWatch** watch);

// Stops a watch; returns once no call of its hook is running. Nothing for an
// absent watch.
ZN_PLATFORM_API void UsbUnwatchDevices(UsbDeviceWatch* watch);

// What the layer saw of an interface object that was open and is now
// released: the last pipe operation that failed on it, if one did. Lets a
// caller learn that whoever held the interface gave it up, and why.
struct UsbInterfaceEnd {
    char operation[16];     // "ReadPipe" or "WritePipe"; empty when none failed
    uint8_t pipeRef;        // the pipe of that operation
    PlatformReturn status;  // its result; PlatformOk when none failed
};

// Receives one call per interface object released after it had been opened,
// on the releasing thread. Like the trace hook it must return promptly and
// must not call into this layer. A null hook stops the reports.
using UsbInterfaceEndHook = void (*)(void* context, const UsbInterfaceEnd* end);
ZN_PLATFORM_API void UsbPlatformSetInterfaceEndHook(UsbInterfaceEndHook hook, void* context);
