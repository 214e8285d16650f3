// SPDX-License-Identifier: MIT
// Match recording: sets up the working state of one run from a query, records
// where each query path is found while the document is scanned, and writes the
// first match of each path (or all matches, for a MultiQuery) back.
#pragma once

#include <cstdint>

#include "xmlpath/engine.h"

// New ParseContext for `query` or `multiQuery` (exactly one), with every path
// split once for the run. The run's block is the query's run room when it is
// large enough, else allocated. -2 for a malformed request (no document, no
// rows, first row without a path), -11 when the run's block cannot be
// allocated (checked before the request is judged); *contextOut is written
// only on success.
int32_t CreateParseContext(ParseContext** contextOut, int32_t flags, XmlQuery* query,
                           MultiQuery* multiQuery);

// Bytes of the working state of a run over `matcherCount` paths that split
// into at most `segments` segments and `rows` predicate rows in all
// (QueryPathBounds): a query made with this much room lends it to its runs.
uint64_t RunBlockSize(uint32_t matcherCount, uint64_t segments, uint64_t rows);

// Segments and predicate rows per path that a query's run room holds: the
// command layer's paths have four segments and at most one predicate.
constexpr uint32_t RoomSegmentsPerPath = 6;
constexpr uint32_t RoomRowsPerPath = 2;

// 1 for an attribute matcher (its last segment ends in a bare name, which is
// returned; the last such name wins), 0 for an element matcher. Reads the split
// path that CreateParseContext gave the matcher.
int32_t SetupMatcher(const PathMatcher* matcher, const char** attributeName,
                     uint64_t* attributeNameLength);

// Releases the records a matcher owns and empties its record list.
void ReleaseRecords(PathMatcher* matcher);

// Releases the context and whatever it still owns; absent is a no-op.
void DestroyParseContext(ParseContext* context);

// A text run or CDATA content at `offset`: a record for every element matcher
// the current path satisfies. 0, -2 or -11.
int32_t RecordText(ParseContext* context, uint64_t offset, uint64_t length);

// Whether the element matchers that a current path whose last segment carries
// `serial` satisfies are known (learnt by a text run of an element with that
// segment, under the prefixes registered now).
bool KnowsSatisfiedElements(const ParseContext* context, uint64_t serial);

// A text run of an element that repeats the one just closed, which is not
// reopened (KnowsSatisfiedElements of its serial must hold): recorded as
// RecordText records it for the element reopened. 0, -2 or -11.
int32_t RecordRepeatedText(ParseContext* context, uint64_t offset, uint64_t length);

// The non-declaration attributes of a start tag: a record for every attribute
// matcher the current path satisfies, at the value of the attribute spelled as
// the path's bare name. 0, -2 or -11.
int32_t RecordAttributeValues(ParseContext* context, const AttributeSpan* attributes,
                              uint32_t count);

// An end tag (kind 0, offset of its "<") or a self-closing tag (kind 1, offset
// just past its ">"): a marker for the first element matcher in entry order
// that the element satisfies and that has no record of the element yet.
int32_t RecordEmptyElement(ParseContext* context, uint64_t offset, int32_t kind);

// Copies the results into `query` (first record per entry) or `multiQuery`
// (every record per row) and the cursor's position into scanEnd; releases the
// records. 0, -2, or -11 when a MultiQuery row's results cannot be allocated
// (that row then has no results and the status XmlErrNoMemory).
int32_t StoreResults(ParseContext* context, XmlQuery* query, MultiQuery* multiQuery);
