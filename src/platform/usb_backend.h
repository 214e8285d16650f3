// SPDX-License-Identifier: MIT
// Inside of the platform layer: the table every backend fills, the common
// head of the walk's handles, and the trace helper. Not for the plug-in.
#pragma once

#include <cstdint>

#include "platform/usb_platform.h"

struct UsbBackend;

// Every handle of the walk starts with the backend that made it, so that the
// layer dispatches to it whatever backend is selected later.
struct UsbIterator {
    const UsbBackend* backend;
};
struct UsbService {
    const UsbBackend* backend;
};
struct UsbPropertySet {
    const UsbBackend* backend;
};

// One backend. Every member is mandatory; the layer has already checked the
// pointer arguments and the handle's backend before it calls one.
struct UsbBackend {
    UsbBackendKind kind;
    const char* name;  // for the trace

    // Brings the backend up on first selection. 0, or a failure that makes
    // the selection fail. May block briefly (opening a USB context).
    PlatformReturn (*Start)();

    // As UsbCreateInterfaceIterator: a snapshot of the interfaces present.
    PlatformReturn (*CreateIterator)(UsbIterator** iterator);
    // The next interface or null; never blocks.
    UsbService* (*IteratorNext)(UsbIterator* iterator);
    void (*ReleaseIterator)(UsbIterator* iterator);
    void (*ReleaseService)(UsbService* service);

    // As UsbCreateProperties; 0 with null when there is no property set.
    PlatformReturn (*CreateProperties)(UsbService* service, UsbPropertySet** properties);
    bool (*GetPropertyInt32)(const UsbPropertySet* properties, const char* name, int32_t* value);
    void (*ReleaseProperties)(UsbPropertySet* properties);

    // As UsbCreateInterfaceObject: a closed object for the interface.
    PlatformReturn (*CreateInterfaceObject)(UsbService* service, UsbInterfaceObject** object);

    // As UsbListDevices; `devices` may be null only with a capacity of 0.
    PlatformReturn (*ListDevices)(UsbDeviceInfo* devices, uint32_t capacity, uint32_t* count);

    // Begins reporting arrivals and departures through UsbReportDeviceEvent;
    // called when the first watch of this backend begins. 0, or
    // PlatformErrUnsupported or another failure with nothing begun.
    PlatformReturn (*StartDeviceReports)();
    // Ends the reports; called when the last watch ends. Returns once no
    // report of this backend is under way.
    void (*StopDeviceReports)();
};

extern const UsbBackend gSimulatedBackend;
#ifdef ZN_HAVE_LIBUSB
extern const UsbBackend gLibusbBackend;
#endif

// Hands one arrival or departure to every watch of `backend`. Called by a
// backend outside its own locks; runs the watches' hooks before it returns.
void UsbReportDeviceEvent(const UsbBackend* backend, UsbDeviceEvent event,
                          const UsbDeviceInfo* device);

// True while a trace hook is set; lets a backend skip formatting.
bool UsbTraceEnabled();

// Hands one line, formatted as by printf, to the trace hook if one is set.
void UsbTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the detail of a ReadPipe or WritePipe trace line into `text`
// (capacity `capacity`, NUL-terminated): the byte count, then, while a hook is
// set, a short rendering of `bytes`: quoted text when every byte is printable,
// the first bytes in hex otherwise.
void UsbTraceTransferDetail(const void* bytes, uint32_t length, char* text, uint32_t capacity);

// Notes for the interface-end hook, made by every backend: an object was
// opened, a pipe operation on it failed, it was released.
void UsbNoteInterfaceOpened(const UsbInterfaceObject* object);
void UsbNotePipeFailure(const UsbInterfaceObject* object, const char* operation, uint8_t pipeRef,
                        PlatformReturn status);
void UsbNoteInterfaceReleased(const UsbInterfaceObject* object);
