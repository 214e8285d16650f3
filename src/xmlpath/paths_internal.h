// SPDX-License-Identifier: MIT
// Helpers shared by the path units (paths.cpp, path_matching.cpp,
// path_namespaces.cpp): byte comparison, the walk over path text and splits.
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
        // Two loads a side that overlap in the middle: the first and last four
        // bytes, or two and two, or the one byte.
        if (firstLength >= 4) {
            uint32_t a = 0;
            uint32_t b = 0;
            uint32_t c = 0;
            uint32_t d = 0;
            std::memcpy(&a, first, 4);
            std::memcpy(&b, second, 4);
            std::memcpy(&c, first + firstLength - 4, 4);
            std::memcpy(&d, second + firstLength - 4, 4);
            return ((a ^ b) | (c ^ d)) == 0;
        }
        if (firstLength >= 2) {
            uint16_t a = 0;
            uint16_t b = 0;
            uint16_t c = 0;
            uint16_t d = 0;
            std::memcpy(&a, first, 2);
            std::memcpy(&b, second, 2);
            std::memcpy(&c, first + firstLength - 2, 2);
            std::memcpy(&d, second + firstLength - 2, 2);
            return ((a ^ b) | (c ^ d)) == 0;
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
