// SPDX-License-Identifier: MIT
// Path tracking and matching: keeps the current element path of a run, with
// document namespace prefixes rewritten to the table's, and decides whether it
// satisfies a query path, attribute predicates included.
#pragma once

#include <cstdint>
#include <cstring>

#include "xmlpath/engine.h"

// Appends `separator` (may be absent) and the `length` bytes at `text` to
// currentPath, or makes `text` the root (which must begin with "cmd" unless the
// run has ParseFlagAnyRoot: else XmlErrBadRoot). A document prefix before the
// first ":" is replaced by its table prefix. 0, -2, -11 (the path outgrew its
// storage and a larger one cannot be allocated) or -13. An element name (the
// root, or "/" as separator) must point into the run's document: its segment
// keeps it for ClosePath.
int32_t AppendPath(ParseContext* context, const char* separator, const char* text, uint64_t length);

// AppendPath with the separator "/": an element's name, as its start tag
// wrote it. A sibling that repeats the element just closed takes its segment
// back without a rewrite.
int32_t AppendElementName(ParseContext* context, const char* name, uint64_t length);

// When the next element may repeat the one just closed without the path
// being touched, as AppendElementName would reopen it: no prefix registered,
// and its segment, a name without whitespace, kept in place under the same
// parent. Gives that name (its bytes in the path) and the segment's serial.
bool RepeatableSibling(const ParseContext* context, const char** name, uint64_t* length,
                       uint64_t* serial);

// After a start tag's name and its non-declaration attributes were appended:
// when they were written as they stand (no prefix rewritten, no quote or "/"
// in a name, one quoted value each), the tag's split is the split of the last
// segment, and it is kept as such so that no comparison splits it again. The
// rows are copied when they fit the rows' storage; otherwise nothing is done.
void NoteTagSplit(ParseContext* context, const char* name, uint64_t nameLength,
                  const AttributeSpan* attributes, uint32_t count);

// After a start tag's element name was appended (no prefix registered): the
// rest of its body, `text`, written exactly as the path writes attributes: for
// each row, one space, the name, "=" and its double-quoted value, with no
// quote, "/" or whitespace in a name and no namespace declaration. Appended in
// one copy, with the tag's split kept as the segment's where NoteTagSplit
// would keep it. 0, -2, or -11 when the path's storage cannot grow.
int32_t AppendWrittenAttributes(ParseContext* context, const char* name, uint64_t nameLength,
                                const char* text, uint64_t length, const AttributeSpan* rows,
                                uint32_t count);

// Makes currentPath absent and releases the storage it outgrew into.
void ReleaseCurrentPath(ParseContext* context);

// Handles one attribute of a start tag: a namespace declaration is registered
// (its name moved past "xmlns:", *isDeclaration = 1); any other attribute is
// appended as " name=value". -8 for a missing value, whitespace in the name or
// "<" in the value.
int32_t HandleAttribute(ParseContext* context, AttributeSpan* attribute, int32_t* isDeclaration);

// Records `name` as the document prefix of the known namespace whose URI equals
// the quoted `value`; the first declaration of a namespace wins for the run.
int32_t RegisterNamespace(ParseContext* context, const char* name, uint64_t nameLength,
                          const char* value, uint64_t valueLength);

// 1 when the two URIs are equal, ignoring one trailing "/" on each side.
int32_t SameNamespaceUri(const char* uri, uint64_t uriLength, const char* text,
                         uint64_t textLength);

// 1 with the row in *index when `text` is a registered document prefix, else 0.
int32_t FindDocumentPrefix(const ParseContext* context, const char* text, uint64_t length,
                           uint64_t* index);

// Closes the innermost element, which `name` (end-tag name span, may end in
// whitespace) must name: 0, ScanRootClosed for the root, -10 for a mismatch,
// -13 for a root end that is not exactly "</cmd>" or -2. `name` must point into
// the run's document.
int32_t ClosePath(ParseContext* context, const char* name, uint64_t length);

// 1 when currentPath satisfies the path of matcher `matcherIndex`, segment for
// segment at exactly its depth; 0 otherwise. Compares the matcher's split path
// with the splits of currentPath's segments, made once per change of a segment.
// XmlErrNoMemory when those splits outgrow their storage and no larger one can
// be allocated, so that callers never mistake memory exhaustion for a path that
// is not there.
int32_t PathMatches(ParseContext* context, uint32_t matcherIndex);

// Key of a path's depth and last element name (the bytes of its last segment
// up to the first whitespace). Whenever PathMatches gives 1, the matcher's path
// and currentPath have the same key.
inline uint64_t PathBucketKey(uint32_t depth, const char* name, uint64_t length) {
    // The length and the first and last eight bytes: a filter, not an identity.
    uint64_t head = 0;
    uint64_t tail = 0;
    if (length >= 8) {
        std::memcpy(&head, name, 8);
        std::memcpy(&tail, name + length - 8, 8);
    } else if (length >= 4) {
        uint32_t first = 0;
        uint32_t last = 0;
        std::memcpy(&first, name, 4);
        std::memcpy(&last, name + length - 4, 4);
        head = first | (uint64_t{last} << 32);
    } else {
        for (uint64_t i = 0; i < length; ++i) {
            head |= uint64_t{static_cast<unsigned char>(name[i])} << (8 * i);
        }
    }
    uint64_t hash = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^
                    (length << 40) ^ depth;
    return hash ^ (hash >> 29);
}

// PathBucketKey of currentPath, which must be present.
uint64_t CurrentPathBucketKey(ParseContext* context);

// Upper bounds of the segments and predicate rows that SplitQueryPath gives a
// path, from a count of its "/" and "=" bytes.
void QueryPathBounds(const char* path, uint64_t length, uint64_t* segments, uint64_t* rows);

// Splits a query path into its segments the way PathMatches compares them, into
// `segments` with their predicate rows at `rows`, with room for the capacities
// given. 1 with the segment count (0 for a path ending in an empty remainder,
// which is never satisfied) and the rows used; 0 when the split does not fit.
int32_t SplitQueryPath(const char* path, uint64_t length, QuerySegment* segments,
                       uint64_t segmentCapacity, AttributeSpan* rows, uint64_t rowCapacity,
                       uint32_t* segmentCount, uint64_t* rowCount);

// 1 when both segment names are present, non-empty and byte-equal.
int32_t SameSegmentName(const ParseContext* context, const TagParts* querySegment,
                        const TagParts* currentSegment);

// 1 when the current segment's attributes satisfy the query segment's
// predicates: every predicate met, and either the same attribute count or a
// bare-name predicate among them. A query segment without predicates matches
// only an element without attributes.
int32_t PredicatesMatch(const ParseContext* context, const TagParts* querySegment,
                        const TagParts* currentSegment);

// 1 when one query predicate's value accepts one current attribute's value;
// sets *bareHit to 1 when a bare-name predicate was satisfied.
int32_t PredicateValueMatches(const ParseContext* context, const AttributeSpan* queryPredicate,
                              const AttributeSpan* currentAttribute, int32_t* bareHit);
