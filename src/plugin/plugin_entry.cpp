// The two exported entry points, the state's cleanup and the globals they
// share with the watch thread.
#include "plugin/plugin_entry.h"

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
std::atomic<WatchThreadCreator> gCreateWatchThreadForTests{nullptr};
std::atomic<void (*)()> gStateCleanupDoneForTests{nullptr};

namespace {

constexpr int32_t kStatusOk = 0;
constexpr int32_t kStatusFailed = -1;

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

// A watch that ended by itself (its read failed) has freed its state but left
// its thread unjoined and its lock created; Start takes both back before it
// makes them anew. The thread has emptied gPluginState, so at most the end of
// its cleanup is still to run, and the join waits only for that.
void ReclaimEndedWatch() {
    if (gWatchThreadUnjoined) {
        pthread_join(gWatchThread, nullptr);
        gWatchThreadUnjoined = false;
    }
    DestroyStateLock();
}

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
    if (gPluginState.load(std::memory_order_acquire) != nullptr) {
        return kStatusFailed;  // the running watch goes on untouched
    }
    ReclaimEndedWatch();
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
    // No lock means nothing was started since the last Stop, or Start failed
    // before it got that far: there is nothing to close or wait for.
    if (!gStateLockExists) {
        return kStatusOk;
    }
    pthread_mutex_lock(&gStateLock);
    const bool running = gPluginState.load(std::memory_order_acquire) != nullptr;
    if (running) {
        // Aborts the pipes, so a read the thread is blocked in fails and the
        // thread makes its way out.
        CloseScannerInterface(gPluginState.load(std::memory_order_acquire));
    }
    pthread_mutex_unlock(&gStateLock);
    if (gWatchThreadUnjoined) {
        if (running) {
            pthread_cancel(gWatchThread);
        }
        // A thread that ended by itself is joined without a cancel; either
        // way the state is freed once the join returns.
        pthread_join(gWatchThread, nullptr);
        gWatchThreadUnjoined = false;
    }
    DestroyStateLock();
    return kStatusOk;
}
