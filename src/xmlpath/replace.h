// SPDX-License-Identifier: MIT
// Value replacement: writes the query's document into its output buffer with
// each entry's new value in place of its first match, filling empty and
// self-closing elements. The document itself never changes.
//
// Overlapping matches (two entries matching the same text or value): in
// document order (after the exchange sort by matchOffset) the first row wins and
// a later row whose match starts inside it is not written, like an unfound row.
// A self-closing marker and a text match or end-tag marker right behind its
// "/>" (same offset) are spliced marker first, so neither value is lost.
// Every write is bounded by the output buffer, and the produced length never
// exceeds what was written.
#pragma once

#include <cstdint>

#include "xmlpath/engine.h"

// Runs the query (as QueryValues) and, when it succeeds, RewriteDocument.
// 0; -2 for an absent query; any status of the query run (output untouched);
// -11; -12 with outputCapacity = bytes needed.
int32_t ReplaceValues(XmlQuery* query);

// The rewrite after a successful query run. The buffer is never assumed larger
// than QueryOutputSize, whatever outputCapacity says.
int32_t RewriteDocument(XmlQuery* query);

// Name of the self-closing tag that ends just before row->valueOffset in
// `buffer` (`bufferLength` bytes). 0, -2 for absent arguments or an offset past
// the buffer, -11 when no "/" or no "<" before it.
int32_t FindTagName(const char* buffer, uint64_t bufferLength, const QueryEntry* row,
                    uint64_t* nameOffset, uint64_t* nameLength);

// Rewrites the self-closing tag ending at row->valueOffset into start tag, the
// row's value and end tag; *end is just past the end tag, *nameLength the
// element name's length, and row->valueOffset is lowered by 1 to the value's
// first byte. Writes stay within `bufferLength` bytes. 0 or -2.
int32_t ExpandSelfClosing(char* buffer, uint64_t bufferLength, QueryEntry* row, uint64_t* end,
                          uint64_t* nameLength);
