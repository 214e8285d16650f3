// SPDX-License-Identifier: MIT
// Zero-filling allocation and release for the runtime layer and everything
// built on it.
#include "runtime/memory.h"

#include <cstdlib>
#include <cstring>

#include "runtime/alloc_hooks.h"
#include "runtime/bytes.h"

std::atomic<const AllocHooks*> gAllocHooks{nullptr};

namespace {

// Blocks up to this size are taken with malloc and cleared here: glibc's
// calloc bypasses the per-thread cache, so small blocks freed after it pile up
// in the fast bins until a large request consolidates them. Larger blocks keep
// calloc, which need not clear memory fresh from the system.
constexpr uint64_t ClearedHereLimit = 64 * 1024;

// A block of `size` bytes after the hooks had their say; cleared only when
// `clear` is set (callers clear it themselves otherwise).
void* ObtainBlock(uint64_t size, bool clear) {
    if (size == 0 || size > SIZE_MAX) {
        return nullptr;
    }
    const AllocHooks* hooks = gAllocHooks.load(std::memory_order_acquire);
    if (hooks != nullptr && hooks->shouldFail != nullptr && hooks->shouldFail(size)) {
        return nullptr;
    }
    void* block = nullptr;
    if (size <= ClearedHereLimit) {
        block = std::malloc(static_cast<size_t>(size));
        if (block != nullptr && clear) {
            std::memset(block, 0, static_cast<size_t>(size));
        }
    } else {
        block = std::calloc(1, static_cast<size_t>(size));
    }
    if (block != nullptr && hooks != nullptr && hooks->allocated != nullptr) {
        hooks->allocated(block);
    }
    return block;
}

}  // namespace

void* AllocBytes(uint64_t size) {
    return ObtainBlock(size, true);
}

void* AllocZeroed(uint64_t size) {
    // The explicit fill is the block's one clear.
    void* block = ObtainBlock(size, false);
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
