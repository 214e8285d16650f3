// SPDX-License-Identifier: MIT
// The watch thread's loop, the wait for a button press with its 1-second
// window and status-packet answer, and the pause after each reported press.
#include "plugin/watch_thread.h"

#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include "event/push_scan_event.h"
#include "event/push_scan_event_seam.h"
#include "platform/clock.h"
#include "plugin/plugin_entry.h"
#include "plugin/plugin_state.h"
#include "protocol/clock_exchange.h"
#include "runtime/bytes.h"
#include "usb/device_check.h"
#include "usb/usb_access.h"

std::atomic<const char*> gEventDirectoryForTests{nullptr};

namespace {

constexpr uint32_t kReadSize = 256;
constexpr uint32_t kEventDataSize = 32;
constexpr uint32_t kButtonCodeOffset = 4;
constexpr uint16_t kModeShiftRequest = 256;  // status word of the device's status packet
constexpr double kPressWindowSeconds = 1.0;
constexpr int kPauseSteps = 50;
constexpr long kPauseStepNanoseconds = 100L * 1000 * 1000;
constexpr const char* kModelName = "ZN417";

PluginState* State() {
    return gPluginState.load(std::memory_order_acquire);
}

double TimeOfDaySeconds() {
    struct timeval now;
    PlatformTimeOfDay(&now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1000000.0;
}

// The thread runs with cancellation disabled, so that the POSIX calls made
// while it writes a file, walks the bus or runs the host's callback cannot end
// it halfway through; cancellation is let in only here.
void CancellationPoint() {
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    pthread_testcancel();
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
}

// 5 s in steps of 100 ms, each followed by a cancellation point; a step cut
// short is not resumed. The sleep itself is not let be cancelled: a cancel
// inside it would unwind through the platform layer's and the C library's
// frames, and Stop waits at most one step for the point after it.
void PauseAfterEvent() {
    const struct timespec step { 0, kPauseStepNanoseconds };
    for (int i = 0; i < kPauseSteps; ++i) {
        PlatformSleep(&step);
        CancellationPoint();
    }
}

int32_t WriteEventFile(PluginState* state) {
    const int32_t port = *state->hostLocation;
    const char* directory = gEventDirectoryForTests.load(std::memory_order_acquire);
    if (directory == nullptr) {
        return WritePushScanEvent(kModelName, port, state->eventData, kEventDataSize);
    }
    return WritePushScanEventAt(directory, EventFileClock(), kModelName, port, state->eventData,
                                kEventDataSize);
}

// While idle, before each wait: the unnamed file the next press is written
// to, holding already the text of an event of this device and port, so that
// the press only puts in its bytes and names the file.
void PrepareEventFile() {
    const char* directory = gEventDirectoryForTests.load(std::memory_order_acquire);
    if (directory == nullptr) {
        directory = kEventDirectory;
    }
    PluginState* state = State();
    if (state == nullptr) {
        PreparePushScanEventAt(directory);
        return;
    }
    PreparePushScanEventFor(directory, kModelName, *state->hostLocation, kEventDataSize);
}

void ReleaseEventFile(void*) {
    ReleasePreparedPushScanEvent();
}

}  // namespace

int32_t WaitForButtonEvent() {
    uint8_t buffer[kReadSize];
    const double start = TimeOfDaySeconds();
    for (;;) {
        PluginState* state = State();
        if (state == nullptr) {
            return -1;
        }
        // Every read asks for a whole packet and finds a cleared buffer, so a
        // short or empty transfer neither shrinks later reads to nothing nor
        // leaves the bytes of an older packet to be taken for this one's.
        uint32_t length = kReadSize;
        FillBytes(buffer, 0, sizeof buffer);
        if (ReadInterruptPipe(state, buffer, &length) != PlatformOk) {
            return -1;
        }
        MoveBytes(buffer, state->eventData, kEventDataSize);
        const uint8_t buttonCode = buffer[kButtonCodeOffset];
        if (buttonCode != 0) {
            // Measured from the start of this wait; a clock stepped back makes
            // the difference negative, so presses wait until it has caught up.
            if (TimeOfDaySeconds() - start < kPressWindowSeconds) {
                continue;
            }
            return buttonCode;
        }
        const uint16_t statusWord = static_cast<uint16_t>(buffer[2] | (buffer[3] << 8));
        if (statusWord == kModeShiftRequest && SendModeShift(state) == 0) {
            SendClock(state);
        }
    }
}

void* WatchThreadMain(void*) {
    gIsWatchThread = true;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    pthread_cleanup_push(StateCleanup, State());
    pthread_cleanup_push(ReleaseEventFile, nullptr);
    for (;;) {
        CancellationPoint();
        PrepareEventFile();
        const int32_t buttonCode = WaitForButtonEvent();
        if (buttonCode == -1) {
            break;
        }
        if (buttonCode == 0) {
            continue;
        }
        // A press that cannot be checked or recorded is dropped, with no
        // pause: the next wait starts at once.
        PluginState* state = State();
        if (CheckAttachedDevices(state) != 0 || WriteEventFile(state) != 0) {
            continue;
        }
        state->callback(kScanEventCode, state->hostLocation, state->hostContext);
        // A Stop made from inside the callback ends the thread here, before
        // the pause; so does one from the host's thread that came meanwhile.
        CancellationPoint();
        PauseAfterEvent();
    }
    pthread_cleanup_pop(1);
    pthread_cleanup_pop(1);
    return nullptr;
}
