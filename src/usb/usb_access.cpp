// SPDX-License-Identifier: MIT
// Interface discovery, pipe roles, the guarded pipe operations and the close.
#include "usb/usb_access.h"

#include <pthread.h>
#include <time.h>

#include "usb/usb_ids.h"

std::atomic<void (*)(PluginState* state)> gUsbOperationEnteredHook{nullptr};

namespace {

// One lock and one condition for the guard fields of every state: the
// plug-in has one state at a time, and statically made POSIX objects need no
// set-up or tear-down that could race with a thread still running at exit.
pthread_mutex_t gGuardLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gGuardIdle;  // an operation left an object that is being closed
pthread_once_t gGuardOnce = PTHREAD_ONCE_INIT;

void InitGuardCondition() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&gGuardIdle, &attributes);
    pthread_condattr_destroy(&attributes);
}

// An abort reaches only the transfers already pending: an operation let in
// just before the close began may start its transfer after the close's
// abort. The close therefore aborts again after this long without progress.
constexpr long kReabortNanoseconds = 10 * 1000 * 1000;

// The six property tests of discovery. An interface whose property set
// cannot be made is passed over.
bool PropertiesFit(UsbService* service, const PluginState* state) {
    UsbPropertySet* properties = nullptr;
    if (UsbCreateProperties(service, &properties) != PlatformOk || properties == nullptr) {
        return false;
    }
    const int32_t protocol = ReadInterfaceProperty(properties, "bInterfaceProtocol");
    const int32_t number = ReadInterfaceProperty(properties, "bInterfaceNumber");
    const int32_t vendor = ReadInterfaceProperty(properties, "idVendor");
    const int32_t product = ReadInterfaceProperty(properties, "idProduct");
    const int32_t endpoints = ReadInterfaceProperty(properties, "bNumEndpoints");
    const int32_t location = ReadInterfaceProperty(properties, "locationID");
    UsbReleaseProperties(properties);
    // Compared in 64 bits so that an absent product (-1) never equals a
    // product ID of 0xFFFFFFFF.
    return protocol == VendorSpecificProtocol && number == ScannerInterfaceNumber &&
           vendor == MakerVendorId &&
           static_cast<int64_t>(product) == static_cast<int64_t>(state->productId) &&
           endpoints == ScannerEndpointCount && location == *state->hostLocation;
}

void ClearPipes(PluginState* state) {
    state->bulkInPipe = 0;
    state->bulkOutPipe = 0;
    state->interruptPipe = 0;
}

// Gives each still empty role to the pipe if it fits; the lowest reference of
// each kind wins.
void AssignRoles(PluginState* state, uint8_t pipeRef, uint8_t direction, uint8_t transferType) {
    if (transferType == UsbTransferBulk && direction == UsbDirectionIn && state->bulkInPipe == 0) {
        state->bulkInPipe = pipeRef;
    }
    if (transferType == UsbTransferBulk && direction == UsbDirectionOut &&
        state->bulkOutPipe == 0) {
        state->bulkOutPipe = pipeRef;
    }
    if (transferType == UsbTransferInterrupt && direction == UsbDirectionIn &&
        state->interruptPipe == 0) {
        state->interruptPipe = pipeRef;
    }
}

// Counts the endpoints and tells the three pipes apart; true when every role
// is filled.
bool SetUpPipes(PluginState* state, UsbInterfaceObject* object) {
    ClearPipes(state);
    uint8_t count = 0;
    if (object->ops->GetNumEndpoints(object, &count) != PlatformOk ||
        count != ScannerEndpointCount) {
        return false;
    }
    for (uint8_t pipeRef = 1; pipeRef <= 3; ++pipeRef) {
        uint8_t direction = 0, number = 0, transferType = 0, interval = 0;
        uint16_t maxPacketSize = 0;
        if (object->ops->GetPipeProperties(object, pipeRef, &direction, &number, &transferType,
                                           &maxPacketSize, &interval) != PlatformOk) {
            return false;
        }
        AssignRoles(state, pipeRef, direction, transferType);
    }
    return state->bulkInPipe != 0 && state->bulkOutPipe != 0 && state->interruptPipe != 0;
}

// Tries one interface of the walk; on failure nothing of it stays open.
bool TryInterface(PluginState* state, UsbService* service) {
    if (!PropertiesFit(service, state)) {
        return false;
    }
    UsbInterfaceObject* object = nullptr;
    if (UsbCreateInterfaceObject(service, &object) != PlatformOk || object == nullptr) {
        return false;
    }
    state->usbInterface = object;
    if (object->ops->USBInterfaceOpen(object) != PlatformOk) {
        object->ops->Release(object);
        state->usbInterface = nullptr;
        return false;
    }
    if (!SetUpPipes(state, object)) {
        ClearPipes(state);
        object->ops->USBInterfaceClose(object);
        object->ops->Release(object);
        state->usbInterface = nullptr;
        return false;
    }
    return true;
}

// Lets one pipe operation into the open interface object, handing out the
// object and the pipe it is to use; false, without touching the object, when
// none is open or a close has begun.
bool EnterInterface(PluginState* state, uint8_t PluginState::*pipeRole, UsbInterfaceObject** object,
                    uint8_t* pipeRef) {
    pthread_mutex_lock(&gGuardLock);
    const bool usable = state->usbInterface != nullptr && !state->usbClosing;
    if (usable) {
        ++state->usbOperationsInside;
        *object = state->usbInterface;
        *pipeRef = state->*pipeRole;
    }
    pthread_mutex_unlock(&gGuardLock);
    if (usable) {
        if (auto hook = gUsbOperationEnteredHook.load(std::memory_order_acquire)) {
            hook(state);
        }
    }
    return usable;
}

void LeaveInterface(PluginState* state) {
    pthread_mutex_lock(&gGuardLock);
    --state->usbOperationsInside;
    if (state->usbClosing && state->usbOperationsInside == 0) {
        pthread_cond_broadcast(&gGuardIdle);
    }
    pthread_mutex_unlock(&gGuardLock);
}

void AbortPipes(UsbInterfaceObject* object, const uint8_t (&pipes)[3], bool clearStalls) {
    for (uint8_t pipeRef : pipes) {
        object->ops->AbortPipe(object, pipeRef);
        if (clearStalls) {
            object->ops->ClearPipeStallBothEnds(object, pipeRef);
        }
    }
}

PlatformReturn ReadGuarded(PluginState* state, uint8_t PluginState::*pipeRole, void* buffer,
                           uint32_t* size) {
    if (state == nullptr || buffer == nullptr || size == nullptr) {
        return PlatformErrBadArgument;
    }
    UsbInterfaceObject* object = nullptr;
    uint8_t pipeRef = 0;
    if (!EnterInterface(state, pipeRole, &object, &pipeRef)) {
        return PlatformErrNotOpen;
    }
    const PlatformReturn result = object->ops->ReadPipe(object, pipeRef, buffer, size);
    LeaveInterface(state);
    return result;
}

}  // namespace

int32_t ReadInterfaceProperty(const UsbPropertySet* properties, const char* name) {
    int32_t value = -1;
    UsbGetPropertyInt32(properties, name, &value);
    return value;
}

int32_t OpenScannerInterface(PluginState* state) {
    if (state == nullptr || state->hostLocation == nullptr) {
        return -1;
    }
    pthread_mutex_lock(&gGuardLock);
    const bool alreadyOpen = state->usbInterface != nullptr;
    if (!alreadyOpen) {
        state->usbClosing = false;
        state->usbOperationsInside = 0;
    }
    pthread_mutex_unlock(&gGuardLock);
    if (alreadyOpen) {
        return -1;  // emptying it would leak an open object
    }
    ClearPipes(state);

    UsbIterator* walk = nullptr;
    if (UsbCreateInterfaceIterator(&walk) != PlatformOk || walk == nullptr) {
        return -1;
    }
    int32_t result = -1;
    while (UsbService* service = UsbIteratorNext(walk)) {
        const bool taken = TryInterface(state, service);
        UsbReleaseService(service);
        if (taken) {
            result = 0;
            break;
        }
    }
    UsbReleaseIterator(walk);
    return result;
}

void CloseScannerInterface(PluginState* state) {
    if (state == nullptr) {
        return;
    }
    // Stop's cancel must not find the thread that runs its cleanup halfway
    // through a close.
    int cancelState = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    pthread_once(&gGuardOnce, InitGuardCondition);

    pthread_mutex_lock(&gGuardLock);
    UsbInterfaceObject* object = state->usbInterface;
    const bool mine = object != nullptr && !state->usbClosing;
    if (mine) {
        state->usbClosing = true;  // from now on no operation is let in
    }
    const uint8_t pipes[3] = {state->bulkInPipe, state->bulkOutPipe, state->interruptPipe};
    pthread_mutex_unlock(&gGuardLock);
    if (!mine) {
        pthread_setcancelstate(cancelState, nullptr);
        return;
    }

    // The abort ends a read blocked on the watch thread; operations still
    // inside the object are then waited for, so that it is closed and
    // released only when nobody uses it.
    AbortPipes(object, pipes, true);
    pthread_mutex_lock(&gGuardLock);
    while (state->usbOperationsInside > 0) {
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += kReabortNanoseconds;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            deadline.tv_sec += 1;
        }
        pthread_cond_timedwait(&gGuardIdle, &gGuardLock, &deadline);
        if (state->usbOperationsInside > 0) {
            pthread_mutex_unlock(&gGuardLock);
            AbortPipes(object, pipes, false);
            pthread_mutex_lock(&gGuardLock);
        }
    }
    state->usbInterface = nullptr;
    state->usbClosing = false;
    pthread_mutex_unlock(&gGuardLock);

    object->ops->USBInterfaceClose(object);
    object->ops->Release(object);
    pthread_setcancelstate(cancelState, nullptr);
}

PlatformReturn ReadInterruptPipe(PluginState* state, void* buffer, uint32_t* size) {
    return ReadGuarded(state, &PluginState::interruptPipe, buffer, size);
}

PlatformReturn ReadBulkPipe(PluginState* state, void* buffer, uint32_t* size) {
    return ReadGuarded(state, &PluginState::bulkInPipe, buffer, size);
}

PlatformReturn WriteBulkPipe(PluginState* state, const void* data, uint32_t size) {
    if (state == nullptr || (data == nullptr && size > 0)) {
        return PlatformErrBadArgument;
    }
    UsbInterfaceObject* object = nullptr;
    uint8_t pipeRef = 0;
    if (!EnterInterface(state, &PluginState::bulkOutPipe, &object, &pipeRef)) {
        return PlatformErrNotOpen;
    }
    const PlatformReturn result = object->ops->WritePipe(object, pipeRef, data, size);
    LeaveInterface(state);
    return result;
}
