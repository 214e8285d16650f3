// SPDX-License-Identifier: MIT
// The retry timer on a timerfd, polled by the host's loop.
#include "retry_backoff.h"

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

int64_t MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int RetryBackoffInit(RetryBackoff* backoff) {
    backoff->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    backoff->nextMs = backoff->firstMs;
    return backoff->timerFd >= 0 ? 0 : -1;
}

void RetryBackoffRelease(RetryBackoff* backoff) {
    if (backoff->timerFd >= 0) {
        close(backoff->timerFd);
    }
    backoff->timerFd = -1;
    backoff->armed = false;
}

void RetryBackoffSetDelays(RetryBackoff* backoff, int64_t firstMs, int64_t ceilingMs) {
    backoff->firstMs = firstMs;
    backoff->ceilingMs = ceilingMs;
    backoff->nextMs = firstMs;
}

namespace {

void Arm(int timerFd, int64_t ms) {
    struct itimerspec when {};
    when.it_value.tv_sec = ms / 1000;
    when.it_value.tv_nsec = (ms % 1000) * 1000000;
    if (ms > 0 && when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) {
        when.it_value.tv_nsec = 1;
    }
    timerfd_settime(timerFd, 0, &when, nullptr);
}

}  // namespace

int64_t RetryBackoffSchedule(RetryBackoff* backoff) {
    const int64_t delay = std::max<int64_t>(backoff->nextMs, 1);
    if (!backoff->armed) {
        Arm(backoff->timerFd, delay);
        backoff->armed = true;
        backoff->nextMs = std::min(backoff->nextMs * 2, backoff->ceilingMs);
    }
    return delay;
}

void RetryBackoffCancel(RetryBackoff* backoff) {
    if (backoff->armed) {
        Arm(backoff->timerFd, 0);
        backoff->armed = false;
    }
}

bool RetryBackoffDue(RetryBackoff* backoff) {
    uint64_t expirations = 0;
    if (read(backoff->timerFd, &expirations, sizeof expirations) <= 0 || !backoff->armed) {
        return false;
    }
    backoff->armed = false;
    return true;
}

void RetryBackoffWatchBegan(RetryBackoff* backoff) {
    backoff->watchingSinceMs = MonotonicMs();
}

void RetryBackoffWatchEnded(RetryBackoff* backoff) {
    if (backoff->watchingSinceMs >= 0 &&
        MonotonicMs() - backoff->watchingSinceMs >= backoff->resetAfterMs) {
        backoff->nextMs = backoff->firstMs;
    }
    backoff->watchingSinceMs = -1;
}
