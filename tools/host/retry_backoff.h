// SPDX-License-Identifier: MIT
// The host's retry timer: when the watch ended by itself or the scanner was
// busy, the next try waits a delay that starts short and doubles up to a
// ceiling, and starts short again after a good stretch of watching.
#pragma once

#include <cstdint>

struct RetryBackoff {
    int64_t firstMs = 500;         // the first retry's delay
    int64_t ceilingMs = 60 * 1000;
    int64_t resetAfterMs = 60 * 1000;  // of good watching: the next delay is the first again
    int64_t nextMs = 500;
    int64_t watchingSinceMs = -1;  // monotonic time the current watch began; -1 when none
    int timerFd = -1;              // readable when the retry is due
    bool armed = false;
};

// 0, or -1 when the timer cannot be made.
int RetryBackoffInit(RetryBackoff* backoff);
void RetryBackoffRelease(RetryBackoff* backoff);

// Sets the delays (a test's seam: tests shorten them); the next delay is the first.
void RetryBackoffSetDelays(RetryBackoff* backoff, int64_t firstMs, int64_t ceilingMs);

// Arms the timer for the next delay (unless armed already) and doubles the
// delay for the time after. The delay armed, in ms.
int64_t RetryBackoffSchedule(RetryBackoff* backoff);

// Disarms the timer; the delays are kept.
void RetryBackoffCancel(RetryBackoff* backoff);

// After timerFd became readable: true when the retry is due now.
bool RetryBackoffDue(RetryBackoff* backoff);

// A watch began, or ended (the time it lasted decides whether the delays
// start again from the first).
void RetryBackoffWatchBegan(RetryBackoff* backoff);
void RetryBackoffWatchEnded(RetryBackoff* backoff);

// Monotonic milliseconds.
int64_t MonotonicMs();
