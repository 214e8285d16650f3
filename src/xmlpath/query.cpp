// SPDX-License-Identifier: MIT
// Query object and path list: creation, copying and release.
#include "xmlpath/query.h"

#include <cstring>

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/matcher.h"

namespace {

// New NUL-terminated copy of a present string into *copy and its length into
// *length: 512 for an empty string, 256 when the copy cannot be allocated.
uint16_t CopyListString(const char* source, char** copy, uint64_t* length) {
    const int32_t sourceLength = StringLength(source);
    if (sourceLength <= 0) {
        return QueryBadParameter;
    }
    *copy = static_cast<char*>(AllocBytes(static_cast<uint64_t>(sourceLength) + 1));
    if (*copy == nullptr) {
        return QueryNoMemory;
    }
    std::memcpy(*copy, source, static_cast<size_t>(sourceLength));
    *length = static_cast<uint64_t>(sourceLength);
    return QueryOk;
}

}  // namespace

uint16_t SetPathValue(PathValue* pathValue, const char* path, const char* value) {
    if (pathValue == nullptr || path == nullptr) {
        return QueryBadParameter;
    }
    pathValue->path = nullptr;
    pathValue->value = nullptr;
    uint64_t length = 0;
    const uint16_t status = CopyListString(path, &pathValue->path, &length);
    if (status != QueryOk || value == nullptr) {
        return status;
    }
    const uint16_t valueStatus = CopyListString(value, &pathValue->value, &length);
    if (valueStatus == QueryNoMemory) {
        FreeAndClear(&pathValue->path);
    }
    return valueStatus;
}

void FreePathValues(PathValue* list, int32_t count) {
    if (list == nullptr) {
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        FreeAndClear(&list[i].path);
        FreeAndClear(&list[i].value);
    }
    FreeMemory(list);
}

namespace {

// Bytes of a present string with its NUL, or 0 when it is absent or empty.
uint64_t StringBlockSize(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    const int32_t length = StringLength(text);
    return length > 0 ? static_cast<uint64_t>(length) + 1 : 0;
}

// Copies a present string of `blockSize` bytes with its NUL (0: empty) into
// the block at *at and points *copy at it: 512 for an empty string.
uint16_t PlaceListString(const char* source, uint64_t blockSize, char** at, char** copy,
                         uint64_t* length) {
    if (blockSize == 0) {
        return QueryBadParameter;
    }
    std::memcpy(*at, source, static_cast<size_t>(blockSize));
    *copy = *at;
    *length = blockSize - 1;
    *at += blockSize;
    return QueryOk;
}

// Strings whose sizes CreateQuery keeps from its sizing pass to its copying
// pass; a longer list measures them again.
constexpr int32_t KeptStringSizes = 32;

}  // namespace

uint16_t CreateQuery(XmlQuery* query, const char* text, const PathValue* list, int32_t count,
                     uint32_t start) {
    if (query == nullptr || text == nullptr || list == nullptr || count <= 0) {
        return QueryBadParameter;
    }
    const int32_t textLength = StringLength(text);
    if (textLength < 0 || start > static_cast<uint32_t>(textLength)) {
        return QueryBadParameter;
    }
    // One zero-filled block: the rows, the output buffer, the document copy
    // with its NUL (an empty document is allowed), then the rows' strings.
    const uint64_t n = static_cast<uint64_t>(textLength) - start;
    const uint64_t rowsSize = AlignedSize(static_cast<uint64_t>(count) * sizeof(QueryEntry));
    // Behind them, room for the working state of a run over paths of typical
    // size; a run over longer ones allocates its own.
    uint64_t stringsSize = 0;
    uint64_t sizes[2 * KeptStringSizes];
    for (int32_t i = 0; i < count; ++i) {
        const uint64_t pathSize = StringBlockSize(list[i].path);
        const uint64_t valueSize = StringBlockSize(list[i].value);
        if (i < KeptStringSizes) {
            sizes[2 * i] = pathSize;
            sizes[2 * i + 1] = valueSize;
        }
        stringsSize += pathSize + valueSize;
    }
    const uint64_t roomAt = AlignedSize(rowsSize + QueryOutputSize + n + 1 + stringsSize);
    const uint64_t roomSize =
        RunBlockSize(static_cast<uint32_t>(count), uint64_t{RoomSegmentsPerPath} * count,
                     uint64_t{RoomRowsPerPath} * count);
    auto* block = static_cast<char*>(AllocBytes(roomAt + roomSize));
    if (block == nullptr) {
        return QueryNoMemory;
    }
    query->storage = block;
    query->runRoom = block + roomAt;
    query->runRoomSize = roomSize;
    query->runRoomClean = true;
    query->entries = reinterpret_cast<QueryEntry*>(block);
    query->output = block + rowsSize;
    query->outputCapacity = QueryOutputSize;
    query->document = query->output + QueryOutputSize;
    if (n > 0) {
        std::memcpy(query->document, text + start, static_cast<size_t>(n));
    }
    query->documentLength = n;
    query->entryCount = count;
    query->scanEnd = 0;

    char* strings = query->document + n + 1;
    for (int32_t i = 0; i < count; ++i) {
        QueryEntry& entry = query->entries[i];
        if (list[i].path != nullptr) {
            const uint64_t size =
                i < KeptStringSizes ? sizes[2 * i] : StringBlockSize(list[i].path);
            const uint16_t status =
                PlaceListString(list[i].path, size, &strings, &entry.path, &entry.pathLength);
            if (status != QueryOk) {
                return status;
            }
        }
        if (list[i].value != nullptr) {
            const uint64_t size =
                i < KeptStringSizes ? sizes[2 * i + 1] : StringBlockSize(list[i].value);
            const uint16_t status =
                PlaceListString(list[i].value, size, &strings, &entry.value, &entry.valueLength);
            if (status != QueryOk) {
                return status;
            }
        }
    }
    return QueryOk;
}

void DestroyQuery(XmlQuery* query) {
    if (query == nullptr) {
        return;
    }
    if (query->storage != nullptr) {
        FreeMemory(query->storage);  // everything CreateQuery set lives in it
    } else {
        // A record filled by other means owns each part separately.
        FreeAndClear(&query->document);
        FreeAndClear(&query->output);
        if (query->entries != nullptr) {
            for (int32_t i = 0; i < query->entryCount; ++i) {
                FreeAndClear(&query->entries[i].path);
                FreeAndClear(&query->entries[i].value);
            }
            FreeAndClear(&query->entries);
        }
    }
    FreeMemory(query);
}
