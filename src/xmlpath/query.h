// SPDX-License-Identifier: MIT
// The query object: the request and result records that pass between a user of
// the XML path engine and the engine, and the functions that fill and release them.
#pragma once

#include <cstdint>

// Statuses of the functions of this unit. They carry the same values as the
// command layer's CmdOk, CmdNoMemory and CmdBadParameter.
constexpr uint16_t QueryOk = 0;
constexpr uint16_t QueryNoMemory = 256;
constexpr uint16_t QueryBadParameter = 512;

// Size of the output buffer that CreateQuery allocates; the engine never grows it.
constexpr uint64_t QueryOutputSize = 1024;

// One requested path with an optional new value. Both strings are owned,
// NUL-terminated and never empty once set; an element with both absent is empty.
struct PathValue {
    char* path;
    char* value;
};

// One result row per path list element, in path list order. Offsets count from
// the first byte of XmlQuery::document (matchOffset) or of XmlQuery::output
// (valueOffset).
struct QueryEntry {
    char* path;  // owned copy, or absent when the list element had none
    uint64_t pathLength;
    uint64_t matchOffset;  // first match: element text, or attribute value with its quotes
    uint64_t matchLength;
    char* value;           // owned copy of the new value, or absent
    uint64_t valueOffset;  // after ReplaceValues: where the value begins in output
    uint64_t valueLength;
    int32_t status;  // MatchFound, MatchEmptyPair, MatchSelfClosing, MatchMissing, XmlErrEmptyPath
};

// The request and its results. The record itself is heap memory from
// AllocZeroed, all fields zero, supplied by the caller; DestroyQuery releases it
// with everything it owns (never pass a record on the stack). CreateQuery puts
// the document, the output buffer, the rows and their strings into one block.
struct XmlQuery {
    char* document;  // owned NUL-terminated copy of the text from `start` on
    uint64_t documentLength;
    char* output;             // owned QueryOutputSize-byte buffer written by ReplaceValues, no NUL
    uint64_t outputCapacity;  // buffer size; after ReplaceValues bytes produced or needed
    QueryEntry* entries;
    int32_t entryCount;
    uint64_t scanEnd;  // where the scan stopped, or the declaration's offset after -4
    void* storage;     // the block CreateQuery made, holding everything above; else absent
    // Room in that block for the working state of a run over these paths, so
    // that a run allocates nothing; absent for a record made otherwise.
    char* runRoom;
    uint64_t runRoomSize;
    // The room is still as CreateQuery's zero-filled block left it: the first
    // run need not clear it again.
    bool runRoomClean;
};

// Fills one path list element with copies of `path` (required, not empty) and
// `value` (may be absent, not empty). 0, 256 on allocation failure, 512 for an
// absent element or path or an empty string (an empty value leaves the path
// copy in the element for FreePathValues).
uint16_t SetPathValue(PathValue* pathValue, const char* path, const char* value);

// Releases both strings of each of the first `count` elements, then the array.
void FreePathValues(PathValue* list, int32_t count);

// Packages the text from offset `start` on and copies of the path list into
// `query`. 0, 256 on allocation failure, 512 for an absent query or text, a
// `start` beyond the end of the text, an absent list, a count of 0 or below, or
// an empty path or value. Nothing is rolled back on failure: the caller always
// calls DestroyQuery, which releases whatever was set.
uint16_t CreateQuery(XmlQuery* query, const char* text, const PathValue* list, int32_t count,
                     uint32_t start);

// Releases everything the query owns and the record itself; tolerates partly
// filled records and an absent query.
void DestroyQuery(XmlQuery* query);
