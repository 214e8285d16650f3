// SPDX-License-Identifier: MIT
// Value replacement: the query run, then the splice of every new value into the
// output buffer in document order.
#include "xmlpath/replace.h"

#include <cstring>

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/matcher.h"
#include "xmlpath/scanner.h"

namespace {

// One entry of the working copy, with the index of the entry it came from.
struct RewriteRow {
    QueryEntry entry;
    int32_t index;
    bool spliced;
};

constexpr int32_t RewriteRowsOnStack = 16;

void ReleaseRows(RewriteRow* rows, const RewriteRow* stackRows) {
    if (rows != stackRows) {
        FreeMemory(rows);
    }
}

// Copies `count` bytes to `at`, dropping whatever would fall past `capacity`.
void PutBytes(char* buffer, uint64_t capacity, uint64_t at, const void* source, uint64_t count) {
    if (at >= capacity || source == nullptr || count == 0) {
        return;
    }
    // The document's runs rarely start on a word boundary: the C library's
    // copy, overlap-safe as MoveBytes is.
    std::memmove(buffer + at, source, static_cast<size_t>(count < capacity - at ? count : capacity - at));
}

bool Fillable(const QueryEntry& row) {
    return row.value != nullptr && row.valueLength != 0 && row.matchOffset != 0 &&
           (row.matchLength != 0 || row.status == MatchEmptyPair || row.status == MatchSelfClosing);
}

void Exchange(RewriteRow* rows, int32_t first, int32_t second) {
    const RewriteRow held = rows[first];
    rows[first] = rows[second];
    rows[second] = held;
}

// Exchange sort by matchOffset, exactly this procedure: rows with equal offsets
// may change their relative order.
void SortRows(RewriteRow* rows, int32_t count) {
    for (int32_t j = 0; j < count; ++j) {
        for (int32_t k = j + 1; k < count; ++k) {
            if (rows[k].entry.matchOffset < rows[j].entry.matchOffset) {
                Exchange(rows, j, k);
            }
        }
    }
}

// Decides which rows are spliced. A self-closing marker goes before any row at
// the same offset (text or the parent's end-tag marker right after its "/>"),
// since its expansion rewrites bytes in front of that offset. A row whose match starts
// inside the previous spliced row's match is not spliced.
void ChooseSplicedRows(RewriteRow* rows, int32_t count) {
    for (int32_t k = 1; k < count; ++k) {
        if (!Fillable(rows[k].entry) || rows[k].entry.status != MatchSelfClosing) {
            continue;
        }
        for (int32_t m = k; m > 0 && rows[m - 1].entry.matchOffset == rows[m].entry.matchOffset;
             --m) {
            Exchange(rows, m - 1, m);
        }
    }
    uint64_t previousEnd = 0;
    for (int32_t i = 0; i < count; ++i) {
        const QueryEntry& row = rows[i].entry;
        rows[i].spliced = Fillable(row) && row.matchOffset >= previousEnd;
        if (rows[i].spliced) {
            previousEnd = row.matchOffset + row.matchLength;
        }
    }
}

}  // namespace

int32_t ReplaceValues(XmlQuery* query) {
    if (query == nullptr) {
        return XmlErrArgument;
    }
    const int32_t status = QueryValues(query);
    if (status != 0) {
        return status;
    }
    return RewriteDocument(query);
}

int32_t RewriteDocument(XmlQuery* query) {
    if (query == nullptr || query->output == nullptr || query->outputCapacity == 0 ||
        query->entryCount <= 0 || query->entries == nullptr) {
        return XmlErrArgument;
    }
    const uint64_t capacity =
        query->outputCapacity < QueryOutputSize ? query->outputCapacity : QueryOutputSize;
    const int32_t count = query->entryCount;
    const uint64_t documentLength = query->documentLength;

    // The working copy of a few rows lives on the stack; a larger one is allocated.
    RewriteRow stackRows[RewriteRowsOnStack];
    RewriteRow* rows = stackRows;
    if (count > RewriteRowsOnStack) {
        rows = static_cast<RewriteRow*>(
            AllocBytes(static_cast<uint64_t>(count) * sizeof(RewriteRow)));
        if (rows == nullptr) {
            return XmlErrNoMemory;
        }
    }
    for (int32_t i = 0; i < count; ++i) {
        rows[i].entry = query->entries[i];
        rows[i].index = i;
    }
    SortRows(rows, count);
    ChooseSplicedRows(rows, count);

    PutBytes(query->output, capacity, 0, query->document, documentLength);

    // Needed length, with a self-closing tag growing by its name and "<", ">".
    uint64_t needed = documentLength;
    for (int32_t i = 0; i < count; ++i) {
        QueryEntry& row = rows[i].entry;
        row.valueOffset = row.matchOffset;
        if (!rows[i].spliced) {
            continue;
        }
        needed += row.valueLength - row.matchLength;
        if (row.status == MatchSelfClosing) {
            uint64_t nameOffset = 0;
            uint64_t nameLength = 0;
            FindTagName(query->document, documentLength, &row, &nameOffset, &nameLength);
            needed += nameLength + 2;
        }
    }
    if (capacity < needed) {
        query->outputCapacity = needed;
        ReleaseRows(rows, stackRows);
        return XmlErrBufferTooSmall;
    }

    bool anySpliced = false;
    uint64_t produced = documentLength;
    for (int32_t i = 0; i < count; ++i) {
        if (!rows[i].spliced) {
            continue;
        }
        QueryEntry& row = rows[i].entry;
        uint64_t extra = 0;
        uint64_t insertionEnd = row.valueOffset + row.valueLength;
        if (row.status != MatchSelfClosing) {
            PutBytes(query->output, capacity, row.valueOffset, row.value, row.valueLength);
        } else {
            uint64_t nameLength = 0;
            ExpandSelfClosing(query->output, capacity, &row, &insertionEnd, &nameLength);
            extra = nameLength + 2;
        }
        // The tail always comes from the document; the next splice overwrites it
        // from its own position on.
        const uint64_t tailStart = row.matchOffset + row.matchLength;
        const uint64_t tailLength = documentLength - tailStart;
        if (insertionEnd < capacity) {
            PutBytes(query->output, capacity, insertionEnd, query->document + tailStart,
                     tailLength);
        }
        const uint64_t growth = row.valueLength - row.matchLength + extra;
        const uint64_t pivot = row.valueOffset;
        for (int32_t j = 0; j < count; ++j) {
            if (rows[j].entry.valueOffset > pivot) {
                rows[j].entry.valueOffset += growth;
            }
        }
        if (row.status == MatchEmptyPair || row.status == MatchSelfClosing) {
            row.status = MatchFound;
        }
        anySpliced = true;
        produced = insertionEnd + tailLength;
    }

    if (anySpliced && produced > capacity) {
        // Cannot happen for the matches a scan produces; never claim unwritten bytes.
        ReleaseRows(rows, stackRows);
        query->outputCapacity = produced;
        return XmlErrBufferTooSmall;
    }
    for (int32_t i = 0; i < count; ++i) {
        QueryEntry& entry = query->entries[rows[i].index];
        if (entry.value != nullptr) {
            entry.valueOffset = rows[i].entry.valueOffset;
            entry.status = rows[i].entry.status;
        }
    }
    ReleaseRows(rows, stackRows);
    query->outputCapacity = produced;
    return 0;
}

int32_t FindTagName(const char* buffer, uint64_t bufferLength, const QueryEntry* row,
                    uint64_t* nameOffset, uint64_t* nameLength) {
    if (buffer == nullptr || row == nullptr || nameOffset == nullptr || nameLength == nullptr ||
        row->valueOffset > bufferLength) {
        return XmlErrArgument;
    }
    const char* slash = FindLastByte(buffer, row->valueOffset, '/');
    if (slash == nullptr) {
        return XmlErrNoMemory;
    }
    const char* open = FindLastByte(buffer, static_cast<uint64_t>(slash - buffer), '<');
    if (open == nullptr) {
        return XmlErrNoMemory;
    }
    const char* name = open + 1;
    uint64_t length = 0;
    while (name + length < slash && !IsNameEnd(name[length])) {
        ++length;
    }
    *nameOffset = static_cast<uint64_t>(name - buffer);
    *nameLength = length;
    return 0;
}

int32_t ExpandSelfClosing(char* buffer, uint64_t bufferLength, QueryEntry* row, uint64_t* end,
                          uint64_t* nameLength) {
    if (buffer == nullptr || row == nullptr || end == nullptr || nameLength == nullptr ||
        row->valueOffset < 2 || row->valueOffset > bufferLength) {
        return XmlErrArgument;
    }
    const uint64_t v = row->valueOffset;
    const uint64_t valueLength = row->valueLength;
    uint64_t nameOffset = 0;
    uint64_t length = 0;
    FindTagName(buffer, bufferLength, row, &nameOffset, &length);
    PutBytes(buffer, bufferLength, v - 2, ">", 1);
    PutBytes(buffer, bufferLength, v - 1, row->value, valueLength);
    PutBytes(buffer, bufferLength, v - 1 + valueLength, "</", 2);
    PutBytes(buffer, bufferLength, v + 1 + valueLength, buffer + nameOffset, length);
    PutBytes(buffer, bufferLength, v + 1 + valueLength + length, ">", 1);
    row->valueOffset = v - 1;
    *end = v + valueLength + length + 2;
    *nameLength = length;
    return 0;
}
