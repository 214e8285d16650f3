// SPDX-License-Identifier: MIT
// Threads, mutexes and condition variables of the runtime layer: thin wrappers
// over POSIX threads with default attributes that report failures as statuses.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "runtime/rt_status.h"

// A started thread. The handle carries the platform's thread identifier
// itself, so copies of it name the same thread; null means no thread.
struct ThreadIdentity;
using ThreadHandle = ThreadIdentity*;

using ThreadEntry = void* (*)(void* argument);

// Starts `entry(argument)` on a new thread. Null when `kind` is not 0, the
// entry is absent or the platform refuses the thread.
ThreadHandle StartThread(int32_t kind, ThreadEntry entry, void* argument);

// Clears *thread without joining or detaching the thread; another copy of the
// handle can still join it. RtErrArgument when the pointer or handle is absent.
int32_t ForgetThread(ThreadHandle* thread);

// Waits for the thread to end and discards its result. 0, or RtErrArgument
// when the handle is absent or the join fails.
int32_t JoinThread(ThreadHandle thread);

// A zero-filled block holding a mutex with default attributes. Null when
// `kind` is not 0, memory is short or the platform refuses the mutex.
pthread_mutex_t* NewMutex(int32_t kind);

// Destroys and releases *mutex and clears the pointer. RtErrArgument, with
// nothing released, when either is absent or the mutex cannot be destroyed
// (for instance while it is held).
int32_t FreeMutex(pthread_mutex_t** mutex);

// 0, or RtErrArgument when the mutex is absent or the operation fails.
int32_t LockMutex(pthread_mutex_t* mutex);
int32_t UnlockMutex(pthread_mutex_t* mutex);

// 0 when acquired, 1 when another holder has it, RtErrArgument when the mutex
// is absent or on any other failure.
int32_t TryLockMutex(pthread_mutex_t* mutex);

// A zero-filled block holding a condition variable with default attributes.
// Null when `kind` is not 0, memory is short or the platform refuses it.
pthread_cond_t* NewCondition(int32_t kind);

// As FreeMutex, for a condition variable.
int32_t FreeCondition(pthread_cond_t** condition);

// Waits on the condition, releasing the held mutex meanwhile. 0 after the
// wait (which may end spuriously), RtErrArgument when either is absent or the
// wait fails.
int32_t WaitCondition(pthread_cond_t* condition, pthread_mutex_t* mutex);

// Wakes every waiter. 0, or RtErrArgument when absent or the operation fails.
int32_t BroadcastCondition(pthread_cond_t* condition);
