// SPDX-License-Identifier: MIT
// Zero-filling allocation and release for the runtime layer and everything
// built on it.
#include "runtime/memory.h"

#include <cstdlib>

#include "runtime/alloc_hooks.h"
#include "runtime/bytes.h"

std::atomic<const AllocHooks*> gAllocHooks{nullptr};

void* AllocBytes(uint64_t size) {
    if (size == 0 || size > SIZE_MAX) {
        return nullptr;
    }
    const AllocHooks* hooks = gAllocHooks.load(std::memory_order_acquire);
    if (hooks != nullptr && hooks->shouldFail != nullptr && hooks->shouldFail(size)) {
        return nullptr;
    }
    void* block = std::calloc(1, static_cast<size_t>(size));
    if (block != nullptr && hooks != nullptr && hooks->allocated != nullptr) {
        hooks->allocated(block);
    }
    return block;
}

void* AllocZeroed(uint64_t size) {
    void* block = AllocBytes(size);
    if (block != nullptr) {
        FillBytes(block, 0, size);
    }
    return block;
}

void* AllocBytes32(int32_t size) {
    if (size <= 0) {
        return nullptr;
    }
    return AllocBytes(static_cast<uint64_t>(size));
}

void FreeMemory(void* block) {
    if (block == nullptr) {
        return;
    }
    const AllocHooks* hooks = gAllocHooks.load(std::memory_order_acquire);
    if (hooks != nullptr && hooks->released != nullptr) {
        hooks->released(block);
    }
    std::free(block);
}
