// SPDX-License-Identifier: MIT
// Byte and string primitives: search, compare, copy and fill over byte spans
// (a pointer and an unsigned 64-bit length) and over NUL-terminated strings.
// Every routine accepts absent pointers and zero lengths: searches then find
// nothing, copies and fills do nothing, integer results are RtErrArgument.
// Bytes always compare as unsigned values; no routine reads past its length.
#pragma once

#include <cstdint>

#include "runtime/rt_status.h"

// First byte of the span equal to the low 8 bits of `byte`, or null.
const char* FindByte(const char* data, uint64_t length, int byte);

// Last byte of the span equal to the low 8 bits of `byte`, searching from
// data[length - 1] down to data[0]; or null.
const char* FindLastByte(const char* data, uint64_t length, int byte);

// First position at which the pattern occurs within the span; null when a
// pointer is absent, a length is 0 or the pattern is longer than the span.
const char* FindBytes(const char* data, uint64_t length, const char* pattern,
                      uint64_t patternLength);

// As FindBytes, but finds the last occurrence.
const char* FindLastBytes(const char* data, uint64_t length, const char* pattern,
                          uint64_t patternLength);

// 1 when the first `length` bytes are equal (also for length 0), 0 when they
// differ, RtErrArgument when either pointer is absent.
int32_t BytesEqual(const void* first, const void* second, uint64_t length);

// As BytesEqual with a signed length; a length of 0 or below gives 1.
int32_t BytesEqual32(const void* first, const void* second, int32_t length);

// Bytes before the NUL; RtErrArgument for an absent string.
int32_t StringLength(const char* string);

// -1, 0 or 1 as `first` orders before, equal to or after `second`, comparing
// unsigned bytes up to the first difference; RtErrArgument when either is absent.
int32_t CompareStrings(const char* first, const char* second);

// Copies `source` with its NUL to `destination`; returns the bytes copied
// without the NUL, or RtErrArgument (nothing written) when either is absent.
int32_t CopyString(const char* source, char* destination);

// Copies `source` with its NUL over the NUL of `destination`; returns the new
// length, or RtErrArgument (destination unchanged) when either is absent.
int32_t AppendString(const char* source, char* destination);

// Copies `count` bytes from `source` to `destination` (source first), correct
// for overlapping ranges. Does nothing for absent pointers or a zero count.
void MoveBytes(const void* source, void* destination, uint64_t count);

// As MoveBytes with a signed count; a count of 0 or below copies nothing.
void MoveBytes32(const void* source, void* destination, int32_t count);

// Sets `count` bytes to the low 8 bits of `fill`.
void FillBytes(void* destination, int fill, uint64_t count);

// As FillBytes with a signed count; a count of 0 or below writes nothing.
void FillBytes32(void* destination, int fill, int32_t count);
