// SPDX-License-Identifier: MIT
// The plug-in's one live state record, the host's callback type and the two
// globals through which the host's thread and the watch thread share them.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

struct UsbInterfaceObject;

// The host's function, called on the watch thread once per accepted press
// with the event code, the host's location pointer and the host's context;
// its result is ignored. The same type as in the public header for hosts.
typedef int32_t (*HostCallback)(uint32_t eventCode, int32_t* hostLocation, void* hostContext);

// Allocated zero-filled by Start; freed by Start's failure paths or by the
// watch thread's cleanup, nobody else.
struct PluginState {
    int32_t* hostLocation;  // the host's; the pointed-to location ID is read at each use
    void* hostContext;      // the host's; handed back in every callback
    HostCallback callback;
    pthread_t thread;  // the watch thread
    uint32_t productId;
    uint8_t bulkInPipe;  // pipe references; 0 means none
    uint8_t bulkOutPipe;
    uint8_t interruptPipe;
    UsbInterfaceObject* usbInterface;  // the open interface; null while none is
    uint8_t eventData[32];             // first 32 bytes of the latest interrupt packet

    // Guard of usbInterface. The watch thread makes its pipe operations
    // without gStateLock while Stop may close the interface; the usb layer
    // counts the operations inside the object and refuses new ones once a
    // close has begun, and the close waits for the count to reach 0 before it
    // closes and releases the object. Both fields are read and written only
    // under the usb layer's own guard lock; zero means "no close, nothing
    // inside", so a zero-filled record needs no set-up.
    uint32_t usbOperationsInside;
    bool usbClosing;
};

// The live state, null while the plug-in is stopped. Atomic because the
// watch thread clears it in its cleanup while the host's thread may test it
// in Start after a watch that ended by itself.
extern std::atomic<PluginState*> gPluginState;

// Guards gPluginState and the closing of the interface between Stop and the
// watch thread's cleanup.
extern pthread_mutex_t gStateLock;
