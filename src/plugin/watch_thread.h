// SPDX-License-Identifier: MIT
// The button-watch thread: waits on the interrupt pipe, answers the device's
// status packet, and turns each accepted press into an event file and one
// call of the host's callback, then pauses.
#pragma once

#include <atomic>
#include <cstdint>

// The event code handed to the host: 's' 'c' 'a' 'n' as a big-endian word.
constexpr uint32_t kScanEventCode = 0x7363616Eu;

// The thread body. Works on gPluginState, not on its argument; returns null.
// Runs with cancellation disabled except at its own cancellation points: the
// top of each pass of its loop, the return of the host's callback and the end
// of each 100 ms step of the pause.
void* WatchThreadMain(void* ignored);

// Waits for a button press on the interrupt pipe: 1 to 255, the code of a
// press that came at least 1.0 s after the wait began; -1 when a read fails.
// Answers status packets on the way. Never returns 0.
int32_t WaitForButtonEvent();

// Test seam, hidden and never set by the shipped plug-in: when set, event
// files go to this directory instead of /tmp.
extern std::atomic<const char*> gEventDirectoryForTests;
