// SPDX-License-Identifier: MIT
// Observation points of the runtime allocator. Nothing in the plug-in sets
// them; test support installs them to count blocks and to make a chosen
// allocation fail. The variable is never exported from a shipped library.
#pragma once

#include <atomic>
#include <cstdint>

struct AllocHooks {
    bool (*shouldFail)(uint64_t size);  // true makes this allocation return null
    void (*allocated)(void* block);     // after every successful allocation
    void (*released)(void* block);      // before every release of a present block
};

extern std::atomic<const AllocHooks*> gAllocHooks;
