// SPDX-License-Identifier: MIT
// The two exported entry points, the state's cleanup and the globals they
// share with the watch thread.
#include "plugin/plugin_entry.h"

#include <cxxabi.h>
#include <pthread.h>

#include "plugin/plugin_state.h"
#include "plugin/watch_thread.h"
#include "runtime/memory.h"
#include "usb/device_check.h"
#include "usb/usb_access.h"
#include "usb/usb_ids.h"

// The entry points are the module's only exported symbols; everything else is
// built hidden.
#pragma GCC visibility push(default)
#include "twain_button_plugin.h"
#pragma GCC visibility pop

std::atomic<PluginState*> gPluginState{nullptr};
pthread_mutex_t gStateLock;
bool gStateLockExists = false;
pthread_t gWatchThread;
bool gWatchThreadUnjoined = false;
thread_local bool gIsWatchThread = false;
std::atomic<WatchThreadCreator> gCreateWatchThreadForTests{nullptr};
std::atomic<void (*)()> gStateCleanupDoneForTests{nullptr};

// This module's own handle, which the C++ runtime gives every module.
extern "C" void* __dso_handle;

namespace {

constexpr int32_t kStatusOk = 0;
constexpr int32_t kStatusFailed = -1;

// Set by a Stop made on the watch thread: the state may still exist while
// that thread finishes its callback, yet the watch counts as stopped.
std::atomic<bool> gWatchEndRequested{false};

// Undoes a Start that got as far as publishing the state.
void DiscardState(PluginState* state) {
    gPluginState.store(nullptr, std::memory_order_release);
    FreeMemory(state);
}

void DestroyStateLock() {
    if (gStateLockExists) {
        pthread_mutex_destroy(&gStateLock);
        gStateLockExists = false;
    }
}

// A watch that ended by itself (its read failed) or was stopped from inside
// the host's callback has freed its state, or is about to, but left its thread
// unjoined and its lock created; the next Stop or Start and the unload take
// both back. The join waits at most for the end of the thread's cleanup, or
// for the callback to return.
void ReclaimEndedWatch() {
    if (gWatchThreadUnjoined) {
        pthread_join(gWatchThread, nullptr);
        gWatchThreadUnjoined = false;
    }
    gWatchEndRequested.store(false, std::memory_order_release);
    DestroyStateLock();
}

// Stop called on the watch thread, from inside the host's callback: the thread
// cannot wait for its own end. It closes the interface now and asks for its
// own cancellation, which takes effect at the cancellation point that follows
// the callback; the lock stays for the thread's cleanup.
void RequestEndFromWatchThread() {
    gWatchEndRequested.store(true, std::memory_order_release);
    pthread_mutex_lock(&gStateLock);
    CloseScannerInterface(gPluginState.load(std::memory_order_acquire));
    pthread_mutex_unlock(&gStateLock);
    pthread_cancel(pthread_self());
}

// Run when the module is unloaded (dlclose) or the process exits: a watch
// still running is stopped and its thread joined before the code it runs goes
// away. Registered with __cxa_atexit under this module's handle, so that it
// runs at dlclose too, and at exit before the platform layer's own teardown
// (registered earlier). Plain atexit would do the same with glibc, but a
// sanitizer's runtime may take that call over and tie it to the process.
void StopWatchAtUnload(void*) {
    TWAINButtonPluginStop();
}

bool gUnloadHandlerRegistered = false;

int CreateWatchThread(pthread_t* thread, PluginState* state) {
    const WatchThreadCreator create = gCreateWatchThreadForTests.load(std::memory_order_acquire);
    return (create != nullptr ? create : pthread_create)(thread, nullptr, WatchThreadMain, state);
}

}  // namespace

void StateCleanup(void*) {
    int previous = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    pthread_mutex_lock(&gStateLock);
    PluginState* state = gPluginState.load(std::memory_order_acquire);
    if (state != nullptr) {
        if (state->usbInterface != nullptr) {
            CloseScannerInterface(state);
        }
        gPluginState.store(nullptr, std::memory_order_release);
        FreeMemory(state);
    }
    pthread_mutex_unlock(&gStateLock);
    if (auto done = gStateCleanupDoneForTests.load(std::memory_order_acquire)) {
        done();
    }
    pthread_setcancelstate(previous, nullptr);
}

extern "C" int32_t TWAINButtonPluginStart(int32_t* hostLocation, void* hostContext, void*,
                                          HostCallback callback) {
    // From inside the callback the watch is still running (or ending); a new
    // one cannot start before this thread has ended.
    if (gIsWatchThread) {
        return kStatusFailed;
    }
    if (gPluginState.load(std::memory_order_acquire) != nullptr &&
        !gWatchEndRequested.load(std::memory_order_acquire)) {
        return kStatusFailed;  // the running watch goes on untouched
    }
    ReclaimEndedWatch();
    if (!gUnloadHandlerRegistered) {
        if (abi::__cxa_atexit(StopWatchAtUnload, nullptr, &__dso_handle) != 0) {
            return kStatusFailed;  // a watch could outlive the module's code
        }
        gUnloadHandlerRegistered = true;
    }
    // Without a location nothing can be found, and without a callback the
    // first press would call through a null pointer.
    if (hostLocation == nullptr || callback == nullptr) {
        return kStatusFailed;
    }
    auto* state = static_cast<PluginState*>(AllocZeroed(sizeof(PluginState)));
    gPluginState.store(state, std::memory_order_release);
    if (state == nullptr) {
        return kStatusFailed;
    }
    state->hostLocation = hostLocation;
    state->hostContext = hostContext;
    state->callback = callback;
    state->productId = ModelProductId;

    // Ambiguous attached devices are reported as success with nothing
    // watched, so that the host does not retry.
    if (CheckAttachedDevices(state) != 0) {
        DiscardState(state);
        return kStatusOk;
    }
    if (OpenScannerInterface(state) != 0) {
        DiscardState(state);
        return kStatusFailed;
    }
    if (pthread_mutex_init(&gStateLock, nullptr) != 0) {
        CloseScannerInterface(state);
        DiscardState(state);
        return kStatusFailed;
    }
    gStateLockExists = true;

    // Held while the handle is stored into the state: a thread whose first
    // read fails frees the state in its cleanup, which needs this lock.
    pthread_mutex_lock(&gStateLock);
    const int created = CreateWatchThread(&state->thread, state);
    if (created == 0) {
        gWatchThread = state->thread;
        gWatchThreadUnjoined = true;
    }
    pthread_mutex_unlock(&gStateLock);
    if (created != 0) {
        CloseScannerInterface(state);
        DiscardState(state);
        DestroyStateLock();
        return kStatusFailed;
    }
    return kStatusOk;
}

extern "C" int32_t TWAINButtonPluginStop(void) {
    if (gIsWatchThread) {
        RequestEndFromWatchThread();
        return kStatusOk;
    }
    // No lock means nothing was started since the last Stop, or Start failed
    // before it got that far: there is nothing to close or wait for.
    if (!gStateLockExists) {
        return kStatusOk;
    }
    pthread_mutex_lock(&gStateLock);
    PluginState* state = gPluginState.load(std::memory_order_acquire);
    if (state != nullptr) {
        // The cancel goes first, so that it is pending by the time the
        // interface is closed: the thread ends at the first cancellation point
        // it reaches after that. Its cleanup needs this lock and so waits for
        // the close to finish.
        if (gWatchThreadUnjoined) {
            pthread_cancel(gWatchThread);
        }
        // Aborts the pipes, so a read the thread is blocked in fails and the
        // thread makes its way out.
        CloseScannerInterface(state);
    }
    pthread_mutex_unlock(&gStateLock);
    // A thread that ended by itself is joined without a cancel; either way
    // the state is freed once the join returns.
    ReclaimEndedWatch();
    return kStatusOk;
}
