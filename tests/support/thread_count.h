// SPDX-License-Identifier: MIT
// The threads of this process as the kernel lists them, for tests that prove
// that a watch thread is gone.
#pragma once

#include <dirent.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <future>
#include <thread>

// Entries of /proc/self/task: one per live thread.
inline size_t ThreadCount() {
    size_t count = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return 0;
    }
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(tasks);
    return count;
}

// Waits until the process has `expected` threads or `timeoutMs` pass; true
// when it has. A joined thread leaves the kernel's list a moment after the
// join returns, and nothing tells when, so this looks again every millisecond.
inline bool WaitForThreadCount(size_t expected, uint32_t timeoutMs) {
    const struct timespec tick { 0, 1000000L };
    for (uint32_t waited = 0; ThreadCount() != expected; ++waited) {
        if (waited >= timeoutMs) {
            return false;
        }
        nanosleep(&tick, nullptr);
    }
    return true;
}

// The count to come back to after the threads of a test are gone. Some
// runtimes start a thread of their own along with the first thread a process
// creates (ThreadSanitizer does), so one thread is made and ended first.
inline size_t BaselineThreadCount() {
    std::promise<void> release;
    std::thread helper([ended = release.get_future()] { ended.wait(); });
    const size_t withHelper = ThreadCount();
    release.set_value();
    helper.join();
    WaitForThreadCount(withHelper - 1, 10000);
    return withHelper - 1;
}
