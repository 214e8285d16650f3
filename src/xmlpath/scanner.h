// SPDX-License-Identifier: MIT
// The document scanner: one forward pass over a document that hands tags, text
// and CDATA to path tracking and match recording, and the engine's read
// operations built on it.
#pragma once

#include <cstdint>

#include "xmlpath/engine.h"

// The whole scan from offset 0 until the root element closes. 0 or a status;
// the cursor's position tells where it stopped. Releases currentPath.
int32_t ScanDocument(ParseContext* context);

// The document must start with "<?xml" and whitespace: 0, -2, -3, -4 (position
// set to the declaration's offset) or -5 for a document under 6 bytes.
int32_t CheckDeclaration(ParseContext* context);

// One construct starting at the "<" at *position; on success *position is its
// last byte. 0, ScanRootClosed or a status.
int32_t ScanMarkup(ParseContext* context, uint64_t* position);

// One text run starting at *position; on success *position is the byte before
// the "<" that ends it.
int32_t ScanText(ParseContext* context, uint64_t* position);

// Tag handlers; `tagLength` counts from the "<" up to, not including, the ">".
int32_t HandleEndTag(ParseContext* context, uint64_t tagOffset, uint64_t tagLength);
int32_t HandleStartTag(ParseContext* context, uint64_t tagOffset, uint64_t tagLength);

// Reads the first match of every path of `query` into its entries and scanEnd.
// Returns the scan's status (entries are filled even when it fails), or the
// status of setting up the run (entries untouched): -2 for an absent query, no
// document, no entries or a first entry without a path; -11 out of memory.
// Entries without a path report XmlErrEmptyPath and never end the scan.
int32_t QueryValues(XmlQuery* query);

// QueryValues with ParseFlagAnyRoot: any root name, no namespace equivalence
// of predicate values.
int32_t QueryValuesAnyRoot(XmlQuery* query);

// Reads every match of every row. -2 for an absent request or a row that
// already holds results. When the scan succeeds but a row's results cannot be
// allocated, returns -11 (rows filled so far stay; release with FreeAllValues).
int32_t QueryAllValues(MultiQuery* multiQuery);

// Releases the results of every row that has a path. -2 for an absent request.
int32_t FreeAllValues(MultiQuery* multiQuery);
