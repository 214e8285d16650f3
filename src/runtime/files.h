// SPDX-License-Identifier: MIT
// Files of the runtime layer: path joining with fixed limits, opening and
// removing files by directory and name, temporary files, and thin wrappers
// over the platform's buffered streams that report failures as statuses.
#pragma once

#include <cstdint>
#include <cstdio>

#include "runtime/rt_status.h"

// Open modes of OpenJoinedFile. Append opens an existing file for reading and
// writing (creating it when missing) and positions the stream at its end.
constexpr int16_t FileModeRead = 0;    // "rb"
constexpr int16_t FileModeUpdate = 1;  // "r+b"
constexpr int16_t FileModeCreate = 2;  // "w+b"
constexpr int16_t FileModeAppend = 3;  // "r+b", else "w+b"; then to the end

// Writes `directory` (optional), a "/" when it does not end in one, and `name`
// into `output` of `size` bytes. Returns the joined length, always smaller than
// `size` so that the NUL fits, or RtErrArgument when the name is absent or
// empty, the directory is empty, or the path does not fit (the buffer may then
// hold a partial path).
int32_t JoinPath(const char* directory, const char* name, char* output, int32_t size);

// Opens directory/name (joined paths up to 287 bytes) in one of the modes
// above; null on any failure.
FILE* OpenJoinedFile(const char* directory, const char* name, int16_t mode);

// Removes directory/name. 0 when removed or already missing, RtErrArgument
// when the path cannot be joined, RtErrIo for any other failure.
int16_t RemoveJoinedFile(const char* directory, const char* name);

// Creates a new, uniquely named file in `directory` (null: the working
// directory) whose name is the prefix held in `name` followed by eight
// characters, and opens it with "w+b". `mode` must be FileModeCreate and the
// prefix at most 23 bytes long. On success the eight characters and a NUL are
// written after the prefix, so `name` needs at least 32 bytes. Null on failure.
FILE* CreateTempFile(const char* directory, char* name, int16_t mode);

// The platform's close result (0 or EOF); RtErrArgument for an absent stream.
int32_t CloseFile(FILE* stream);

// Bytes read or written; RtErrIo for a negative count, RtErrArgument for an
// absent stream or buffer.
int32_t ReadBytes(FILE* stream, void* buffer, int32_t count);
int32_t WriteBytes(FILE* stream, const void* data, int32_t count);

// Moves the position by `offset` from the start (0), the current position (1)
// or the end (2). 0, RtErrIo for another origin or a failed seek,
// RtErrArgument for an absent stream.
int16_t SeekFile(FILE* stream, int32_t offset, int32_t origin);

// Current position; RtErrIo when it is unknown or beyond 32 bits,
// RtErrArgument for an absent stream.
int32_t TellFile(FILE* stream);

// Size of the stream's file, leaving the position where it was; the failures
// of TellFile.
int32_t FileSize(FILE* stream);

// Length of `string` plus its NUL; RtErrArgument for an absent string.
int32_t StringSize(const char* string);

// The platform's formatted print to the stream; RtErrIo when the stream or the
// format is absent.
int32_t PrintToFile(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
