// SPDX-License-Identifier: MIT
// POSIX thread, mutex and condition-variable wrappers.
#include "runtime/threads.h"

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "runtime/memory.h"

namespace {

// The platform's thread identifier travels as the handle's value. Every
// identifier of a started thread is non-zero on the platforms we build for
// (it is the address of the thread's control block).
static_assert(std::is_integral<pthread_t>::value || std::is_pointer<pthread_t>::value,
              "a thread identifier must be a plain value");
static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle),
              "a thread identifier must fit in a handle");

ThreadHandle HandleOf(pthread_t thread) {
    uintptr_t value = 0;
    std::memcpy(&value, &thread, sizeof thread);
    return reinterpret_cast<ThreadHandle>(value);
}

pthread_t ThreadOf(ThreadHandle handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    pthread_t thread;
    std::memcpy(&thread, &value, sizeof thread);
    return thread;
}

}  // namespace

ThreadHandle StartThread(int32_t kind, ThreadEntry entry, void* argument) {
    if (kind != 0 || entry == nullptr) {
        return nullptr;
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, entry, argument) != 0) {
        return nullptr;
    }
    return HandleOf(thread);
}

int32_t ForgetThread(ThreadHandle* thread) {
    if (thread == nullptr || *thread == nullptr) {
        return RtErrArgument;
    }
    *thread = nullptr;
    return RtOk;
}

int32_t JoinThread(ThreadHandle thread) {
    if (thread == nullptr || pthread_join(ThreadOf(thread), nullptr) != 0) {
        return RtErrArgument;
    }
    return RtOk;
}

pthread_mutex_t* NewMutex(int32_t kind) {
    if (kind != 0) {
        return nullptr;
    }
    auto* mutex = static_cast<pthread_mutex_t*>(AllocZeroed(sizeof(pthread_mutex_t)));
    if (mutex != nullptr && pthread_mutex_init(mutex, nullptr) != 0) {
        FreeAndClear(&mutex);
    }
    return mutex;
}

int32_t FreeMutex(pthread_mutex_t** mutex) {
    if (mutex == nullptr || *mutex == nullptr || pthread_mutex_destroy(*mutex) != 0) {
        return RtErrArgument;
    }
    FreeAndClear(mutex);
    return RtOk;
}

int32_t LockMutex(pthread_mutex_t* mutex) {
    if (mutex == nullptr || pthread_mutex_lock(mutex) != 0) {
        return RtErrArgument;
    }
    return RtOk;
}

int32_t UnlockMutex(pthread_mutex_t* mutex) {
    if (mutex == nullptr || pthread_mutex_unlock(mutex) != 0) {
        return RtErrArgument;
    }
    return RtOk;
}

int32_t TryLockMutex(pthread_mutex_t* mutex) {
    if (mutex == nullptr) {
        return RtErrArgument;
    }
    const int result = pthread_mutex_trylock(mutex);
    if (result == 0) {
        return RtOk;
    }
    return result == EBUSY ? 1 : RtErrArgument;
}

pthread_cond_t* NewCondition(int32_t kind) {
    if (kind != 0) {
        return nullptr;
    }
    auto* condition = static_cast<pthread_cond_t*>(AllocZeroed(sizeof(pthread_cond_t)));
    if (condition != nullptr && pthread_cond_init(condition, nullptr) != 0) {
        FreeAndClear(&condition);
    }
    return condition;
}

int32_t FreeCondition(pthread_cond_t** condition) {
    if (condition == nullptr || *condition == nullptr || pthread_cond_destroy(*condition) != 0) {
        return RtErrArgument;
    }
    FreeAndClear(condition);
    return RtOk;
}

int32_t WaitCondition(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    if (condition == nullptr || mutex == nullptr || pthread_cond_wait(condition, mutex) != 0) {
        return RtErrArgument;
    }
    return RtOk;
}

int32_t BroadcastCondition(pthread_cond_t* condition) {
    if (condition == nullptr || pthread_cond_broadcast(condition) != 0) {
        return RtErrArgument;
    }
    return RtOk;
}
