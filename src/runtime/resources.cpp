// SPDX-License-Identifier: MIT
// Resource file reader and resource handles.
#include "runtime/resources.h"

#include <climits>

#include "runtime/bytes.h"
#include "runtime/files.h"
#include "runtime/memory.h"

namespace {

// The readers state the file's order as 2 and ask about the host's own order
// (0): the orders agree, so fields are used as stored. The swap path stays for
// a build that declares another stored order.
constexpr int32_t kStoredOrder = 2;
constexpr int32_t kHostOrder = 0;

// Sets the caller's status when there is somewhere to put it.
void Report(int32_t* status, int32_t value) {
    if (status != nullptr) {
        *status = value;
    }
}

bool NeedsSwap() {
    return NeedsByteSwap(kStoredOrder, kHostOrder) == 1;
}

// Seeks to `offset` from the start and reads one 32-bit field there.
bool ReadFieldAt(FILE* stream, int32_t offset, int32_t* field) {
    if (SeekFile(stream, offset, 0) != RtOk || ReadBytes(stream, field, 4) != 4) {
        return false;
    }
    if (NeedsSwap()) {
        SwapBytes(field, 4, 1);
    }
    return true;
}

// A new block holding the next `bytes` bytes (above 0) of the file. Null with
// *status RtErrIo when the file holds fewer, or RtErrNoMemory. A size read from
// the file is checked against the file before it is allocated, so that a few
// bytes of input cannot claim gigabytes of memory.
void* ReadNewBlock(FILE* stream, int32_t bytes, int32_t* status) {
    const int32_t position = TellFile(stream);
    const int32_t size = FileSize(stream);
    if (position < 0 || size < position || bytes > size - position) {
        Report(status, RtErrIo);  // the read would come up short
        return nullptr;
    }
    void* block = AllocBytes32(bytes);
    if (block == nullptr) {
        Report(status, RtErrNoMemory);
        return nullptr;
    }
    if (ReadBytes(stream, block, bytes) != bytes) {
        FreeMemory(block);
        Report(status, RtErrIo);
        return nullptr;
    }
    return block;
}

}  // namespace

void* AccessBegin(void* handle) {
    return handle;
}

void AccessEnd(void* /*handle*/) {}

int32_t NeedsByteSwap(int32_t storedOrder, int32_t hostOrder) {
    if (storedOrder == 0) {
        storedOrder = 2;
    }
    if (hostOrder == 0) {
        hostOrder = 2;
    }
    if ((storedOrder != 1 && storedOrder != 2) || (hostOrder != 1 && hostOrder != 2)) {
        return RtErrArgument;
    }
    return storedOrder != hostOrder ? 1 : 0;
}

void SwapBytes(void* buffer, int32_t width, int32_t count) {
    if (buffer == nullptr || count <= 0 || (width != 2 && width != 4)) {
        return;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (int64_t item = 0; item < count; ++item) {
        unsigned char* first = bytes + item * width;
        unsigned char* last = first + width - 1;
        while (first < last) {
            const unsigned char kept = *first;
            *first++ = *last;
            *last-- = kept;
        }
    }
}

ResourceRow* ReadResourceTable(FILE* stream, int32_t position, int32_t* status) {
    if (stream == nullptr || position < 0) {
        Report(status, RtErrArgument);
        return nullptr;
    }
    int32_t tableOffset = 0;
    int32_t count = 0;
    if (!ReadFieldAt(stream, position, &tableOffset) || !ReadFieldAt(stream, tableOffset, &count)) {
        Report(status, RtErrIo);
        return nullptr;
    }
    // An empty table, or one whose size does not fit in 32 bits, is a table
    // that cannot be allocated.
    if (count <= 0 || count > INT32_MAX / static_cast<int32_t>(sizeof(ResourceRow))) {
        Report(status, RtErrNoMemory);
        return nullptr;
    }
    const int32_t tableSize = count * static_cast<int32_t>(sizeof(ResourceRow));
    auto* rows = static_cast<ResourceRow*>(ReadNewBlock(stream, tableSize, status));
    if (rows == nullptr) {
        return nullptr;
    }
    if (NeedsSwap()) {
        SwapBytes(rows, 4, count * 3);
    }
    Report(status, count);
    return rows;
}

void* ReadResourceBlock(FILE* stream, int32_t offset, int32_t* status) {
    if (stream == nullptr || offset < 0) {
        Report(status, RtErrArgument);
        return nullptr;
    }
    int32_t length = 0;
    if (!ReadFieldAt(stream, offset, &length)) {
        Report(status, RtErrIo);
        return nullptr;
    }
    if (length <= 0) {
        Report(status, RtErrEmpty);
        return nullptr;
    }
    void* block = ReadNewBlock(stream, length, status);
    if (block != nullptr) {
        Report(status, length);
    }
    return block;
}

void* FindResourceData(FILE* stream, int32_t type, int32_t id, int32_t* status) {
    if (stream == nullptr || type < 0 || id < 0) {
        Report(status, RtErrArgument);
        return nullptr;
    }
    // The type doubles as the position of the table offset.
    int32_t count = 0;
    ResourceRow* rows = ReadResourceTable(stream, type, &count);
    if (rows == nullptr) {
        Report(status, count);
        return nullptr;
    }
    int32_t found = -1;
    void* data = nullptr;
    for (int32_t i = 0; i < count; ++i) {
        if (rows[i].type == type && rows[i].id == id) {
            if (rows[i].offset >= 0) {
                data = ReadResourceBlock(stream, rows[i].offset, &found);
            }
            break;
        }
    }
    FreeMemory(rows);
    Report(status, found);
    return data;
}

void* LoadResource(FILE* stream, int32_t type, int32_t id, int32_t* status) {
    if (stream == nullptr || type < 0 || id < 0) {
        Report(status, RtErrArgument);
        return nullptr;
    }
    int32_t length = -1;
    void* found = FindResourceData(stream, type, id, &length);
    if (found == nullptr) {
        Report(status, length);
        return nullptr;
    }
    void* copy = AllocBytes32(length);
    if (copy == nullptr) {
        FreeMemory(found);
        Report(status, RtErrNoMemory);
        return nullptr;
    }
    MoveBytes32(found, AccessBegin(copy), length);
    AccessEnd(copy);
    FreeMemory(found);
    Report(status, length);
    return copy;
}

ResourceHandle* OpenResource(FILE* stream, int32_t type, int32_t id) {
    if (stream == nullptr || type < 0 || id < 0) {
        return nullptr;
    }
    int32_t length = 0;
    void* data = LoadResource(stream, type, id, &length);
    if (data == nullptr || length <= 0) {
        FreeMemory(data);
        return nullptr;
    }
    void* handle = AllocBytes32(static_cast<int32_t>(sizeof(ResourceHandle)));
    if (handle == nullptr) {
        FreeMemory(data);
        return nullptr;
    }
    auto* record = static_cast<ResourceHandle*>(AccessBegin(handle));
    record->data = data;
    record->size = length;
    record->state = ResourceReady;
    AccessEnd(handle);
    return static_cast<ResourceHandle*>(handle);
}

void CloseResource(ResourceHandle* handle) {
    if (handle == nullptr) {
        return;
    }
    auto* record = static_cast<ResourceHandle*>(AccessBegin(handle));
    if (record->state != ResourceReady) {
        AccessEnd(handle);
        return;
    }
    record->lockedData = nullptr;
    record->state = 0;
    FreeAndClear(&record->data);
    AccessEnd(handle);
    FreeMemory(handle);
}

void* LockResource(ResourceHandle* handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    auto* record = static_cast<ResourceHandle*>(AccessBegin(handle));
    void* result = nullptr;
    if (record->state == ResourceReady) {
        record->lockedData = AccessBegin(record->data);
        if (record->lockedData != nullptr) {
            record->state = ResourceLocked;
        }
        result = record->lockedData;
    } else if (record->state == ResourceLocked) {
        result = record->lockedData;
    }
    AccessEnd(handle);
    return result;
}

void UnlockResource(ResourceHandle* handle) {
    if (handle == nullptr) {
        return;
    }
    auto* record = static_cast<ResourceHandle*>(AccessBegin(handle));
    if (record->state == ResourceLocked) {
        AccessEnd(record->data);
        record->lockedData = nullptr;
        record->state = ResourceReady;
    }
    AccessEnd(handle);
}

int32_t ResourceSize(ResourceHandle* handle) {
    if (handle == nullptr) {
        return RtErrArgument;
    }
    auto* record = static_cast<ResourceHandle*>(AccessBegin(handle));
    const bool valid = record->state == ResourceReady || record->state == ResourceLocked;
    const int32_t size = valid ? record->size : RtErrArgument;
    AccessEnd(handle);
    return size;
}
