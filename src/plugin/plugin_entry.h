// SPDX-License-Identifier: MIT
// The plug-in's lifecycle behind the two exported entry points: the state's
// cleanup, and the host-side record of whether the lock and an unjoined watch
// thread exist, so that Stop, a later Start and the module's unload can deal
// with both safely.
#pragma once

#include <pthread.h>

#include <atomic>

#include "plugin/plugin_state.h"

// The watch thread's cancellation cleanup handler, also run when the thread
// leaves its loop by itself: under gStateLock, closes the interface if it is
// still open, frees the state and empties gPluginState. Ignores its argument.
// Runs on the watch thread only.
void StateCleanup(void* ignored);

// Whether gStateLock has been created and not yet destroyed. Start and Stop
// alone read and write it, on the host's thread (the host calls them one at a
// time); while it is false, Stop neither locks nor destroys the lock.
extern bool gStateLockExists;

// The watch thread that nobody has joined yet. Stop joins it; so does the
// next Start when the thread ended by itself (a failed read) and the host has
// not called Stop. Host's thread only, like gStateLockExists.
extern pthread_t gWatchThread;
extern bool gWatchThreadUnjoined;

// True on the watch thread only (set as its body begins): Stop and Start
// called from inside the host's callback cannot wait for, or replace, the
// thread they run on.
extern thread_local bool gIsWatchThread;

// Test seams, hidden and never set by the shipped plug-in.
// Creates the watch thread in place of pthread_create when set.
using WatchThreadCreator = int (*)(pthread_t* thread, const pthread_attr_t* attributes,
                                   void* (*body)(void*), void* argument);
extern std::atomic<WatchThreadCreator> gCreateWatchThreadForTests;
// Called on the watch thread as the last act of StateCleanup.
extern std::atomic<void (*)()> gStateCleanupDoneForTests;
