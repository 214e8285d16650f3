// Query object and path list: creation, copying and release.
#include "xmlpath/query.h"

#include <cstring>

#include "runtime/bytes.h"
#include "runtime/memory.h"

namespace {

// New NUL-terminated copy of a present string into *copy and its length into
// *length: 512 for an empty string, 256 when the copy cannot be allocated.
uint16_t CopyListString(const char* source, char** copy, uint64_t* length) {
    const int32_t sourceLength = StringLength(source);
    if (sourceLength <= 0) {
        return QueryBadParameter;
    }
    *copy = static_cast<char*>(AllocZeroed(static_cast<uint64_t>(sourceLength) + 1));
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

uint16_t CreateQuery(XmlQuery* query, const char* text, const PathValue* list, int32_t count,
                     uint32_t start) {
    if (query == nullptr || text == nullptr || list == nullptr || count <= 0) {
        return QueryBadParameter;
    }
    const int32_t textLength = StringLength(text);
    if (textLength < 0 || start > static_cast<uint32_t>(textLength)) {
        return QueryBadParameter;
    }
    // Zero-filled, so the copy is NUL-terminated; an empty document is allowed.
    const uint64_t n = static_cast<uint64_t>(textLength) - start;
    query->document = static_cast<char*>(AllocZeroed(n + 1));
    if (query->document == nullptr) {
        return QueryNoMemory;
    }
    if (n > 0) {
        std::memcpy(query->document, text + start, static_cast<size_t>(n));  // a fresh block
    }
    query->documentLength = n;

    query->outputCapacity = QueryOutputSize;
    query->output = static_cast<char*>(AllocZeroed(QueryOutputSize));
    if (query->output == nullptr) {
        return QueryNoMemory;
    }

    query->entries =
        static_cast<QueryEntry*>(AllocZeroed(static_cast<uint64_t>(count) * sizeof(QueryEntry)));
    if (query->entries == nullptr) {
        return QueryNoMemory;
    }
    query->entryCount = count;
    query->scanEnd = 0;

    for (int32_t i = 0; i < count; ++i) {
        QueryEntry& entry = query->entries[i];
        if (list[i].path != nullptr) {
            const uint16_t status = CopyListString(list[i].path, &entry.path, &entry.pathLength);
            if (status != QueryOk) {
                return status;
            }
        }
        entry.matchOffset = 0;
        entry.matchLength = 0;
        if (list[i].value != nullptr) {
            const uint16_t status = CopyListString(list[i].value, &entry.value, &entry.valueLength);
            if (status != QueryOk) {
                return status;
            }
        }
        entry.valueOffset = 0;
        entry.status = 0;
    }
    return QueryOk;
}

void DestroyQuery(XmlQuery* query) {
    if (query == nullptr) {
        return;
    }
    FreeAndClear(&query->document);
    FreeAndClear(&query->output);
    if (query->entries != nullptr) {
        for (int32_t i = 0; i < query->entryCount; ++i) {
            FreeAndClear(&query->entries[i].path);
            FreeAndClear(&query->entries[i].value);
        }
        FreeAndClear(&query->entries);
    }
    FreeMemory(query);
}
