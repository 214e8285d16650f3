// Query object and path list: creation, copying and release.
#include "xmlpath/query.h"

#include "runtime/bytes.h"
#include "runtime/memory.h"

namespace {

// New NUL-terminated copy of `text` (`length` bytes), or null.
char* CopyText(const char* text, uint64_t length) {
    char* copy = static_cast<char*>(AllocZeroed(length + 1));
    if (copy != nullptr) {
        MoveBytes(text, copy, length);
    }
    return copy;
}

}  // namespace

uint16_t SetPathValue(PathValue* pathValue, const char* path, const char* value) {
    if (pathValue == nullptr || path == nullptr) {
        return QueryBadParameter;
    }
    pathValue->path = nullptr;
    pathValue->value = nullptr;
    const int32_t pathLength = StringLength(path);
    if (pathLength <= 0) {
        return QueryBadParameter;
    }
    pathValue->path = CopyText(path, static_cast<uint64_t>(pathLength));
    if (pathValue->path == nullptr) {
        return QueryNoMemory;
    }
    if (value == nullptr) {
        return QueryOk;
    }
    const int32_t valueLength = StringLength(value);
    if (valueLength <= 0) {
        return QueryBadParameter;
    }
    pathValue->value = CopyText(value, static_cast<uint64_t>(valueLength));
    if (pathValue->value == nullptr) {
        FreeAndClear(&pathValue->path);
        return QueryNoMemory;
    }
    return QueryOk;
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
    const uint64_t n = static_cast<uint64_t>(textLength) - start;
    query->document = CopyText(text + start, n);
    if (query->document == nullptr) {
        return QueryNoMemory;
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
            const int32_t length = StringLength(list[i].path);
            if (length <= 0) {
                return QueryBadParameter;
            }
            entry.path = CopyText(list[i].path, static_cast<uint64_t>(length));
            if (entry.path == nullptr) {
                return QueryNoMemory;
            }
            entry.pathLength = static_cast<uint64_t>(length);
        }
        entry.matchOffset = 0;
        entry.matchLength = 0;
        if (list[i].value != nullptr) {
            const int32_t length = StringLength(list[i].value);
            if (length <= 0) {
                return QueryBadParameter;
            }
            entry.value = CopyText(list[i].value, static_cast<uint64_t>(length));
            if (entry.value == nullptr) {
                return QueryNoMemory;
            }
            entry.valueLength = static_cast<uint64_t>(length);
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
