// SPDX-License-Identifier: MIT
// The platform clock: the real one, or a virtual one driven by tests.
#include "platform/clock.h"

#include <pthread.h>

#include <cerrno>

namespace {

struct VirtualClock {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    bool enabled = false;
    bool holdSleeps = false;
    uint64_t nowMicros = 0;  // virtual time since the epoch
    uint64_t sleepCount = 0;
    uint32_t heldSleepers = 0;
    uint64_t releases = 0;  // bumped whenever held sleepers may go
};

VirtualClock gVirtual;

uint64_t ToMicros(const struct timeval* time) {
    return static_cast<uint64_t>(time->tv_sec) * 1000000u + static_cast<uint64_t>(time->tv_usec);
}

void LeaveHeldSleep(void*) {
    gVirtual.heldSleepers -= 1;
    pthread_mutex_unlock(&gVirtual.lock);
}

struct timespec DeadlineAfter(uint32_t milliseconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace

void PlatformTimeOfDay(struct timeval* now) {
    if (now == nullptr) {
        return;
    }
    pthread_mutex_lock(&gVirtual.lock);
    const bool virtualTime = gVirtual.enabled;
    const uint64_t micros = gVirtual.nowMicros;
    pthread_mutex_unlock(&gVirtual.lock);
    if (!virtualTime) {
        gettimeofday(now, nullptr);
        return;
    }
    now->tv_sec = static_cast<time_t>(micros / 1000000u);
    now->tv_usec = static_cast<suseconds_t>(micros % 1000000u);
}

time_t PlatformTime() {
    struct timeval now;
    PlatformTimeOfDay(&now);
    return now.tv_sec;
}

int PlatformSleep(const struct timespec* duration) {
    if (duration == nullptr || duration->tv_sec < 0 || duration->tv_nsec < 0 ||
        duration->tv_nsec >= 1000000000L) {
        return -1;  // as nanosleep refuses it, on either clock
    }
    pthread_mutex_lock(&gVirtual.lock);
    if (!gVirtual.enabled) {
        pthread_mutex_unlock(&gVirtual.lock);
        return nanosleep(duration, nullptr) == 0 ? 0 : -1;
    }
    gVirtual.sleepCount += 1;
    if (gVirtual.holdSleeps) {
        // A cancellation here runs LeaveHeldSleep with the lock re-acquired.
        gVirtual.heldSleepers += 1;
        pthread_cond_broadcast(&gVirtual.changed);
        const uint64_t releases = gVirtual.releases;
        pthread_cleanup_push(LeaveHeldSleep, nullptr);
        while (gVirtual.releases == releases) {
            pthread_cond_wait(&gVirtual.changed, &gVirtual.lock);
        }
        pthread_cleanup_pop(0);
        gVirtual.heldSleepers -= 1;
    }
    gVirtual.nowMicros += static_cast<uint64_t>(duration->tv_sec) * 1000000u +
                          static_cast<uint64_t>(duration->tv_nsec) / 1000u;
    pthread_mutex_unlock(&gVirtual.lock);
    return 0;
}

void VirtualClockEnable(const struct timeval* start) {
    pthread_mutex_lock(&gVirtual.lock);
    gVirtual.enabled = true;
    gVirtual.holdSleeps = false;
    gVirtual.sleepCount = 0;
    gVirtual.nowMicros = start != nullptr ? ToMicros(start) : 0;
    gVirtual.releases += 1;
    pthread_cond_broadcast(&gVirtual.changed);
    pthread_mutex_unlock(&gVirtual.lock);
}

void VirtualClockDisable() {
    pthread_mutex_lock(&gVirtual.lock);
    gVirtual.enabled = false;
    gVirtual.holdSleeps = false;
    gVirtual.releases += 1;
    pthread_cond_broadcast(&gVirtual.changed);
    pthread_mutex_unlock(&gVirtual.lock);
}

void VirtualClockSet(const struct timeval* now) {
    if (now == nullptr) {
        return;
    }
    pthread_mutex_lock(&gVirtual.lock);
    gVirtual.nowMicros = ToMicros(now);
    pthread_mutex_unlock(&gVirtual.lock);
}

void VirtualClockAdvance(uint64_t microseconds) {
    pthread_mutex_lock(&gVirtual.lock);
    gVirtual.nowMicros += microseconds;
    pthread_mutex_unlock(&gVirtual.lock);
}

void VirtualClockHoldSleeps(bool hold) {
    pthread_mutex_lock(&gVirtual.lock);
    gVirtual.holdSleeps = hold;
    if (!hold) {
        gVirtual.releases += 1;
        pthread_cond_broadcast(&gVirtual.changed);
    }
    pthread_mutex_unlock(&gVirtual.lock);
}

uint64_t VirtualClockSleepCount() {
    pthread_mutex_lock(&gVirtual.lock);
    const uint64_t count = gVirtual.sleepCount;
    pthread_mutex_unlock(&gVirtual.lock);
    return count;
}

bool VirtualClockWaitForSleeper(uint32_t timeoutMs) {
    const struct timespec deadline = DeadlineAfter(timeoutMs);
    pthread_mutex_lock(&gVirtual.lock);
    while (gVirtual.heldSleepers == 0) {
        if (pthread_cond_timedwait(&gVirtual.changed, &gVirtual.lock, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    const bool sleeping = gVirtual.heldSleepers > 0;
    pthread_mutex_unlock(&gVirtual.lock);
    return sleeping;
}
