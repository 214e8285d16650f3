// SPDX-License-Identifier: MIT
// Reader of resource files (a table of typed, numbered, length-prefixed data
// blocks) and the guarded handle around a loaded block. A resource file is
// untrusted: no offset or length taken from it can reach outside a block.
#pragma once

#include <cstdint>
#include <cstdio>

#include "runtime/memory.h"
#include "runtime/rt_status.h"

// File layout, every integer signed 32-bit in the host's byte order:
//   at P (the caller's position): table offset T
//   at T: row count N, then N rows of {type, id, block offset B}
//   at B: data length L, then L data bytes
struct ResourceRow {
    int32_t type;
    int32_t id;
    int32_t offset;
};
static_assert(sizeof(ResourceRow) == 12, "rows are read straight from the file");

// Markers of ResourceHandle::state; any other value makes a handle invalid.
constexpr uint32_t ResourceReady = 0x882DBCCA;   // loaded, unlocked
constexpr uint32_t ResourceLocked = 0x7E29BB8C;  // data handed out by LockResource

// A loaded block. Created by OpenResource, released by CloseResource.
struct ResourceHandle {
    int32_t size;      // data bytes
    void* data;        // owned
    void* lockedData;  // what LockResource handed out; null while unlocked
    uint32_t state;    // ResourceReady, ResourceLocked, or 0 once released
};

// Hooks around every access to a handle or its data. Here a handle is the
// address of its record, so they have nothing to do.
void* AccessBegin(void* handle);
void AccessEnd(void* handle);

// Byte orders: 1 and 2 (0 means 2). 1 when the stored and host orders differ,
// 0 when they agree, RtErrArgument for any other code.
int32_t NeedsByteSwap(int32_t storedOrder, int32_t hostOrder);

// Reverses the bytes of each of `count` items of `width` 2 or 4 bytes; any
// other width, an absent buffer or a count of 0 or below does nothing.
void SwapBytes(void* buffer, int32_t width, int32_t count);

// The rows of the table whose offset is stored at `position`, with *status =
// row count; released with FreeMemory. Null with *status RtErrArgument (absent
// stream, negative position), RtErrIo (failed seek, short read, or a table
// longer than the file) or RtErrNoMemory (no rows, too many rows for a table
// that fits in 32 bits, or no memory).
ResourceRow* ReadResourceTable(FILE* stream, int32_t position, int32_t* status);

// The data of the block at `offset`, with *status = its length; released with
// FreeMemory. Null with *status RtErrArgument, RtErrIo (failed seek, short
// read, or a length beyond the file's end), RtErrEmpty (length 0 or below) or
// RtErrNoMemory.
void* ReadResourceBlock(FILE* stream, int32_t offset, int32_t* status);

// The block of the first row listing (type, id), with *status = its length.
// The table offset is read at position `type`. Null with *status -1 when no
// row matches or the matching row's offset is negative, or with the status of
// the failed read.
void* FindResourceData(FILE* stream, int32_t type, int32_t id, int32_t* status);

// As FindResourceData, returning a fresh copy of the data.
void* LoadResource(FILE* stream, int32_t type, int32_t id, int32_t* status);

// A ready handle around the loaded data of (type, id); null when there is none.
ResourceHandle* OpenResource(FILE* stream, int32_t type, int32_t id);

// Releases a ready handle and its data. A locked or invalid handle is left
// untouched: unlock before closing.
void CloseResource(ResourceHandle* handle);

// The data of a ready or locked handle (the same pointer each time; locks are
// not counted), which becomes locked; null for any other handle.
void* LockResource(ResourceHandle* handle);

// Makes a locked handle ready again, however often it was locked.
void UnlockResource(ResourceHandle* handle);

// The data size of a ready or locked handle, else RtErrArgument.
int32_t ResourceSize(ResourceHandle* handle);
