// SPDX-License-Identifier: MIT
// Helpers shared by the path units (paths.cpp, path_attributes.cpp,
// path_matching.cpp, path_namespaces.cpp): byte comparison, the walk over path
// text, splits, and the growth and indexing of the path text.
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/engine.h"
#include "xmlpath/text.h"

// Local to each unit that includes them, as they were to the single unit
// before: the optimiser inlines and lays them out as before (a measured cost
// otherwise); a unit that uses only some leaves the others unused.
namespace {

// Whether the first and the last sizeof(Word) bytes of two spans of `length`
// bytes (at least that many) are equal: two loads a side, overlapping in the
// middle of a span shorter than two words.
template <typename Word>
inline bool SameEnds(const char* first, const char* second, uint64_t length) {
    Word a = 0;
    Word b = 0;
    Word c = 0;
    Word d = 0;
    std::memcpy(&a, first, sizeof(Word));
    std::memcpy(&b, second, sizeof(Word));
    std::memcpy(&c, first + length - sizeof(Word), sizeof(Word));
    std::memcpy(&d, second + length - sizeof(Word), sizeof(Word));
    return ((a ^ b) | (c ^ d)) == 0;
}

// Same length and bytes; inline, since names are compared at every event.
inline bool SameBytes(const char* first, uint64_t firstLength, const char* second,
                      uint64_t secondLength) {
    if (firstLength != secondLength) {
        return false;
    }
    if (firstLength > 32) {
        return std::memcmp(first, second, firstLength) == 0;
    }
    if (firstLength < 8) {
        if (firstLength >= 4) {
            return SameEnds<uint32_t>(first, second, firstLength);
        }
        if (firstLength >= 2) {
            return SameEnds<uint16_t>(first, second, firstLength);
        }
        return firstLength == 0 || first[0] == second[0];
    }
    // Eight bytes at a time, the last word overlapping the one before it.
    uint64_t a = 0;
    uint64_t b = 0;
    for (uint64_t i = 0; i + 8 < firstLength; i += 8) {
        std::memcpy(&a, first + i, 8);
        std::memcpy(&b, second + i, 8);
        if (a != b) {
            return false;
        }
    }
    std::memcpy(&a, first + firstLength - 8, 8);
    std::memcpy(&b, second + firstLength - 8, 8);
    return a == b;
}

// Bytes that the walks over path text stop at; every other byte is kind 0.
constexpr uint8_t PathByteQuote = 1;
constexpr uint8_t PathByteSlash = 2;
constexpr uint8_t PathByteSpace = 3;

struct PathByteTable {
    uint8_t kinds[256];
    constexpr PathByteTable() : kinds{} {
        kinds[static_cast<unsigned char>('"')] = PathByteQuote;
        kinds[static_cast<unsigned char>('/')] = PathByteSlash;
        kinds[static_cast<unsigned char>('\t')] = PathByteSpace;
        kinds[static_cast<unsigned char>('\n')] = PathByteSpace;
        kinds[static_cast<unsigned char>('\r')] = PathByteSpace;
        kinds[static_cast<unsigned char>(' ')] = PathByteSpace;
    }
};
constexpr PathByteTable kPathBytes;
constexpr const uint8_t* kPathByteKinds = kPathBytes.kinds;

// Offset of the first byte of text[from, end) whose kind is not 0, or `end`.
// Eight bytes at a time: bytes up to the quote (whitespace included) and "/"
// are flagged, the lowest flag of a word exactly, and then looked up.
inline uint64_t NextPathByte(const char* text, uint64_t from, uint64_t end) {
    uint64_t i = from;
    while (i + 8 <= end) {
        uint64_t word = 0;
        std::memcpy(&word, text + i, 8);
        const uint64_t slashes = word ^ 0x2F2F2F2F2F2F2F2Full;
        const uint64_t flags = ((word - 0x2323232323232323ull) & ~word) |
                               ((slashes - 0x0101010101010101ull) & ~slashes);
        const uint64_t high = flags & 0x8080808080808080ull;
        if (high == 0) {
            i += 8;
            continue;
        }
        i += static_cast<uint64_t>(__builtin_ctzll(high)) >> 3;
        if (kPathByteKinds[static_cast<unsigned char>(text[i])] != 0) {
            return i;
        }
        ++i;
    }
    for (; i < end; ++i) {
        if (kPathByteKinds[static_cast<unsigned char>(text[i])] != 0) {
            return i;
        }
    }
    return end;
}

// Bytes up to the first whitespace.
[[maybe_unused]] uint64_t WordLength(const char* text, uint64_t length) {
    return FindWhitespace(text, 0, length);
}

// Moves an array of `used` elements to a new owned one of `capacity`, releasing
// the old one unless it is the run block's `storage`. Null when out of memory.
[[maybe_unused]] void* GrowArray(void* array, const void* storage, uint64_t used, uint64_t capacity,
                                 uint64_t elementSize) {
    void* grown = AllocBytes(capacity * elementSize);
    if (grown == nullptr) {
        return nullptr;
    }
    MoveBytes(array, grown, used * elementSize);
    if (array != storage) {
        FreeMemory(array);
    }
    return grown;
}

[[maybe_unused]] uint64_t GrownCapacity(uint64_t capacity, uint64_t needed) {
    const uint64_t doubled = capacity * 2;
    return doubled > needed ? doubled : needed;
}

// ---- Path text upkeep shared by the units that append to it ----------------

// Copies the first and the last sizeof(Word) bytes of `length` (at least that
// many, at most twice): the whole span, the two words overlapping in the middle.
template <typename Word>
inline void CopyEnds(char* to, const char* source, uint64_t length) {
    Word first = 0;
    Word last = 0;
    std::memcpy(&first, source, sizeof(Word));
    std::memcpy(&last, source + length - sizeof(Word), sizeof(Word));
    std::memcpy(to, &first, sizeof(Word));
    std::memcpy(to + length - sizeof(Word), &last, sizeof(Word));
}

// Copies `length` bytes to `buffer` + `at` (the spans never overlap the
// buffer) and returns the offset after them. Names and values are short: up
// to sixteen bytes take two word copies.
inline uint64_t CopyInto(char* buffer, uint64_t at, const char* source, uint64_t length) {
    char* to = buffer + at;
    if (length >= 8 && length <= 16) {
        CopyEnds<uint64_t>(to, source, length);
    } else if (length >= 4 && length < 8) {
        CopyEnds<uint32_t>(to, source, length);
    } else if (length > 16) {
        std::memcpy(to, source, length);
    } else {
        for (uint64_t i = 0; i < length; ++i) {
            to[i] = source[i];
        }
    }
    return at + length;
}

// Room for `needed` bytes of path text, NUL included. A move invalidates every
// split, whose spans point into the text.
[[maybe_unused]] int32_t ReservePathText(ParseContext* context, uint64_t needed) {
    PathIndex& index = context->pathIndex;
    if (needed <= index.capacity) {
        return 0;
    }
    const uint64_t capacity = GrownCapacity(index.capacity, needed);
    auto* grown =
        static_cast<char*>(GrowArray(index.buffer, index.bufferStorage, index.length, capacity, 1));
    if (grown == nullptr) {
        return XmlErrNoMemory;
    }
    index.buffer = grown;
    index.capacity = capacity;
    index.splitCount = 0;
    index.closedKept = false;  // only the path itself moved
    if (context->currentPath != nullptr) {
        context->currentPath = grown;
    }
    return 0;
}

[[maybe_unused]] inline int32_t PushSegment(PathIndex* index, uint64_t start) {
    if (index->segmentCount == index->segmentCapacity) {
        const uint64_t capacity = GrownCapacity(index->segmentCapacity, 4);
        if (capacity > UINT32_MAX) {
            return XmlErrNoMemory;
        }
        auto* grown = static_cast<CurrentSegment*>(GrowArray(index->segments, index->segmentStorage,
                                                             index->segmentCount, capacity,
                                                             sizeof(CurrentSegment)));
        if (grown == nullptr) {
            return XmlErrNoMemory;
        }
        index->segments = grown;
        index->segmentCapacity = static_cast<uint32_t>(capacity);
    }
    index->segments[index->segmentCount++] =
        CurrentSegment{start, TagParts{}, 0, false, ++index->lastSerial, nullptr, 0, 0};
    return 0;
}

// Walks the path text appended since the last call the way PathSegmentLength
// walks segments from the root: a segment ends at the first "/" outside double
// quotes, the next starts after it with no quote open, and a text ending in "/"
// ends in an empty segment. The last segment's walk resumes where it stopped.
[[maybe_unused]] int32_t IndexAppendedText(PathIndex* index) {
    bool insideQuotes = index->insideQuotes;
    for (uint64_t i = NextPathByte(index->buffer, index->scanned, index->length); i < index->length;
         i = NextPathByte(index->buffer, i + 1, index->length)) {
        const uint8_t kind = kPathByteKinds[static_cast<unsigned char>(index->buffer[i])];
        if (kind == PathByteQuote) {
            insideQuotes = !insideQuotes;
        } else if (kind == PathByteSpace) {
            index->segments[index->segmentCount - 1].spaced = true;
        } else if (kind == PathByteSlash && !insideQuotes) {
            const int32_t status = PushSegment(index, i + 1);
            if (status != 0) {
                index->scanned = i;  // this "/" is seen again by the next walk
                index->insideQuotes = false;
                return status;
            }
        }
    }
    index->scanned = index->length;
    index->insideQuotes = insideQuotes;
    return 0;
}

}  // namespace

// When the bytes before the first ":" of `text` are a registered document
// prefix: that row's table prefix and the offset of the ":". Else false.
bool FindRegisteredPrefix(const ParseContext* context, const char* text, uint64_t length,
                          const char** tablePrefix, uint64_t* tablePrefixLength, uint64_t* colonAt);

// Inline for the usual document, which registers no prefix: every name and
// value is appended as it stands.
inline bool RegisteredPrefix(const ParseContext* context, const char* text, uint64_t length,
                             const char** tablePrefix, uint64_t* tablePrefixLength,
                             uint64_t* colonAt) {
    return context->registeredPrefixes != 0 &&  // else FindDocumentPrefix would find none
           FindRegisteredPrefix(context, text, length, tablePrefix, tablePrefixLength, colonAt);
}

// Row of the first table entry whose prefix is `prefix`, or -1.
int64_t TablePrefixRow(const ParseContext* context, const char* prefix, uint64_t length);
