// SPDX-License-Identifier: MIT
// Memory blocks of the runtime layer. Every block handed out is zero-filled
// and is released with FreeMemory; callers map an absent block to their own
// out-of-memory status.
#pragma once

#include <cstdint>

// Zero-filled block of `size` bytes; null when size is 0 or memory is exhausted.
void* AllocBytes(uint64_t size);

// As AllocBytes, and the block is explicitly cleared before it is returned.
void* AllocZeroed(uint64_t size);

// As AllocBytes with a signed size; null for a size of 0 or below.
void* AllocBytes32(int32_t size);

// Releases a block from the allocators above; nothing when it is absent.
void FreeMemory(void* block);

// Releases *block and sets it to null; nothing when either is absent.
template <typename T>
inline void FreeAndClear(T** block) {
    if (block != nullptr && *block != nullptr) {
        FreeMemory(*block);
        *block = nullptr;
    }
}
