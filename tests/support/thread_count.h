// The threads of this process as the kernel lists them, for tests that prove
// that a watch thread is gone.
#pragma once

#include <dirent.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

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
