// SPDX-License-Identifier: MIT
// Access to the scanner's vendor-specific USB interface: finding and opening
// it with its three pipes, every pipe operation the plug-in makes, and
// closing it safely while another thread may be using it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/usb_platform.h"
#include "plugin/plugin_state.h"

// The property `name` of an interface as a signed 32-bit number; -1, which
// no required value is, when the interface lacks it.
int32_t ReadInterfaceProperty(const UsbPropertySet* properties, const char* name);

// Walks the USB interfaces and takes the first one that carries protocol 255,
// interface number 0, the maker's vendor ID, the state's product ID, three
// endpoints and the location *hostLocation points to, that opens, and whose
// pipes fill the bulk-in, bulk-out and interrupt-in roles. The interface
// stays open in usbInterface, its pipes in the state. Returns 0; or -1 with
// nothing left open (also for an absent state or location, or when an
// interface is open already, which is then left as it is).
int32_t OpenScannerInterface(PluginState* state);

// Aborts and clears the three pipes, waits until no pipe operation is still
// inside the interface object, then closes and releases it and empties
// usbInterface; the pipe references keep their values. Does nothing when no
// interface is open or another close is under way. Pipe operations begun
// after the close has started fail without touching the object. Must not be
// called from inside a pipe operation of the same state (it would wait for
// itself). Not a cancellation point.
void CloseScannerInterface(PluginState* state);

// ReadPipe on the interrupt pipe. BLOCKS until a packet comes, the interface
// is closed, or the device is unplugged. `*size` gives the room in `buffer`
// and comes back as the bytes received. Returns ReadPipe's result unchanged,
// PlatformErrNotOpen without any USB operation when the interface is closed
// or closing, PlatformErrBadArgument for absent arguments.
PlatformReturn ReadInterruptPipe(PluginState* state, void* buffer, uint32_t* size);

// ReadPipe on the bulk-in pipe, with the same results as ReadInterruptPipe.
PlatformReturn ReadBulkPipe(PluginState* state, void* buffer, uint32_t* size);

// WritePipe of `size` bytes on the bulk-out pipe. BLOCKS until they are sent.
// Returns WritePipe's result unchanged, or PlatformErrNotOpen /
// PlatformErrBadArgument as above.
PlatformReturn WriteBulkPipe(PluginState* state, const void* data, uint32_t size);

// Test seam: when set, called by a pipe operation once it has been let into
// the interface object and just before it makes its USB call. Null in the
// shipped plug-in.
extern std::atomic<void (*)(PluginState* state)> gUsbOperationEnteredHook;
