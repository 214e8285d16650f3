// SPDX-License-Identifier: MIT
// Text primitives of the XML path engine: splitting tags and path segments,
// trimming quoted values, finding segment ends and namespace prefixes. They
// allocate nothing and read only the span they are given.
#pragma once

#include <cstdint>
#include <cstring>

#include "xmlpath/engine.h"

// High bit of each byte of `word` equal to the byte repeated in `pattern`;
// the lowest is exact (a borrow only runs upwards from an equal byte).
inline uint64_t EqualBytes(uint64_t word, uint64_t pattern) {
    const uint64_t x = word ^ pattern;
    return (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
}

// First `byte` in the `length` bytes at `text`, or absent, looked at eight
// bytes at a time in place: for spans too short to be worth a call to memchr.
// The last word overlaps the bytes before it (in a span under eight bytes, two
// halves overlap); those bytes hold no match, so they are masked off.
inline const char* FindByteInWords(const char* text, uint64_t length, char byte) {
    const uint64_t pattern = 0x0101010101010101ull * static_cast<unsigned char>(byte);
    uint64_t word = 0;
    if (length >= 8) {
        uint64_t i = 0;
        for (; i + 8 <= length; i += 8) {
            std::memcpy(&word, text + i, 8);
            const uint64_t hits = EqualBytes(word, pattern);
            if (hits != 0) {
                return text + i + (static_cast<uint64_t>(__builtin_ctzll(hits)) >> 3);
            }
        }
        if (i == length) {
            return nullptr;
        }
        std::memcpy(&word, text + length - 8, 8);
        const uint64_t hits =
            EqualBytes(word, pattern) & (~uint64_t{0} << (8 * (8 - (length - i))));
        return hits != 0 ? text + length - 8 + (static_cast<uint64_t>(__builtin_ctzll(hits)) >> 3)
                         : nullptr;
    }
    if (length >= 4) {
        std::memcpy(&word, text, 4);
        uint64_t hits = EqualBytes(word, pattern) & 0x80808080ull;
        if (hits != 0) {
            return text + (static_cast<uint64_t>(__builtin_ctzll(hits)) >> 3);
        }
        std::memcpy(&word, text + length - 4, 4);
        hits = EqualBytes(word, pattern) & 0x80808080ull & (~uint64_t{0} << (8 * (8 - length)));
        return hits != 0 ? text + length - 4 + (static_cast<uint64_t>(__builtin_ctzll(hits)) >> 3)
                         : nullptr;
    }
    for (uint64_t i = 0; i < length; ++i) {
        if (text[i] == byte) {
            return text + i;
        }
    }
    return nullptr;
}

// First `byte` in the `length` bytes at `text`, or absent: FindByte of the
// runtime, inline for the short spans of names and with the C library's
// vectorised search for long ones (tags, URI values).
inline const char* FindSpanByte(const char* text, uint64_t length, char byte) {
    if (text == nullptr || length == 0) {
        return nullptr;
    }
    if (length <= 32) {
        return FindByteInWords(text, length, byte);
    }
    return static_cast<const char*>(std::memchr(text, static_cast<unsigned char>(byte), length));
}

// SplitTag's failure value.
constexpr uint32_t SplitFailed = 0xFFFFFFFFu;

// Splits a tag body or path segment into its name and attributes. Returns the
// attribute count or SplitFailed (a value with no closing quote, or rows that do
// not fit `parts->attributes`). With `parts` absent it only counts.
uint32_t SplitTag(const char* text, uint64_t length, TagParts* parts);

// Inner text of a span that starts and ends with a double quote, without the
// whitespace around it. 1 on success (the inner text may be empty), else 0.
int32_t TrimQuotedValue(const char* text, uint64_t length, const char** inner,
                        uint64_t* innerLength);

// Bytes before the first "/" that stands outside double quotes, or `length`.
// 1 on success, 0 for absent arguments or an empty text.
int32_t PathSegmentLength(const char* text, uint64_t length, uint64_t* segmentLength);

// Splits "prefix:local" at the first ":". Empty parts are not written; outputs
// not written keep what the caller put there. 1, or 0 when the text is absent
// or empty or neither output pair is complete.
int32_t SplitPrefix(const char* text, uint64_t length, const char** prefix, uint64_t* prefixLength,
                    const char** local, uint64_t* localLength);
