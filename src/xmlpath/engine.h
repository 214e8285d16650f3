// SPDX-License-Identifier: MIT
// Shared vocabulary of the XML path engine: statuses, match kinds, the table of
// known namespaces and the working records of one run. Spans point into the
// query's document or into a query path and own nothing.
#pragma once

#include <cstdint>
#include <cstring>

#include "xmlpath/namespaces.h"
#include "xmlpath/query.h"

// Engine statuses (signed 32-bit; 0 is success).
constexpr int32_t XmlErrArgument = -2;  // absent or empty argument, record or array
constexpr int32_t XmlErrNoDeclaration = -3;
constexpr int32_t XmlErrDeclarationNotAtStart = -4;
constexpr int32_t XmlErrTruncated = -5;
constexpr int32_t XmlErrUnterminated = -6;
constexpr int32_t XmlErrBadTag = -7;
constexpr int32_t XmlErrBadAttribute = -8;
constexpr int32_t XmlErrEmptyPath = -9;
constexpr int32_t XmlErrMismatchedClose = -10;
constexpr int32_t XmlErrNoMemory = -11;
constexpr int32_t XmlErrBufferTooSmall = -12;
constexpr int32_t XmlErrBadRoot = -13;

// Passed between the scanner's handlers only: the root element was just closed.
constexpr int32_t ScanRootClosed = 2;

// Match kinds and entry statuses.
constexpr int32_t MatchFound = 1;
constexpr int32_t MatchMissing = -101;
constexpr int32_t MatchEmptyPair = -102;
constexpr int32_t MatchSelfClosing = -103;

// Run flag: any root element name; no namespace equivalence of predicate values.
constexpr int32_t ParseFlagAnyRoot = 4096;

// Whitespace of the engine: TAB, LF, CR and SPACE, nothing else.
inline bool IsXmlWhitespace(char byte) {
    // One bit test: bits 9, 10, 13 and 32 of the mask are TAB, LF, CR and SPACE.
    const auto value = static_cast<unsigned char>(byte);
    return value <= ' ' && ((uint64_t{0x100002600} >> value) & 1) != 0;
}

// Offset of the first whitespace byte of text[from, length), or `length`.
// Eight bytes at a time: the lowest byte below 0x21 that a word holds is found
// exactly (the subtraction borrows only upwards), then checked.
inline uint64_t FindWhitespace(const char* text, uint64_t from, uint64_t length) {
    uint64_t i = from;
    while (i + 8 <= length) {
        uint64_t word = 0;
        std::memcpy(&word, text + i, 8);
        const uint64_t low = (word - 0x2121212121212121ull) & ~word & 0x8080808080808080ull;
        if (low == 0) {
            i += 8;
            continue;
        }
        i += static_cast<uint64_t>(__builtin_ctzll(low)) >> 3;
        if (IsXmlWhitespace(text[i])) {
            return i;
        }
        ++i;
    }
    for (; i < length; ++i) {
        if (IsXmlWhitespace(text[i])) {
            return i;
        }
    }
    return length;
}

// `size` rounded up to 16, the alignment of the parts laid out in one block.
inline uint64_t AlignedSize(uint64_t size) {
    return (size + 15) & ~uint64_t{15};
}

// Bytes that end an element name when a self-closing tag is expanded.
inline bool IsNameEnd(char byte) {
    return IsXmlWhitespace(byte) || byte == '/';
}

// One known namespace. `documentPrefix` is a span of the document (no NUL),
// set only in a run's own copy of the table.
struct NamespaceEntry {
    const char* uri;
    const char* prefix;  // the prefix that query paths and currentPath use
    const char* documentPrefix;
    uint64_t documentPrefixLength;
};

// Rows 0 to 3 (ivec, vxr, qldm, ikw) and an all-absent terminator.
constexpr int NamespaceRowCount = 5;
constexpr uint64_t NamespaceEquivalentRow = 3;  // the 2010/05 namespace, prefix "ikw"
extern const NamespaceEntry NamespaceTable[NamespaceRowCount];
// Lengths of each row's table prefix and URI (0 for the terminator).
extern const uint64_t NamespacePrefixLengths[NamespaceRowCount];
extern const uint64_t NamespaceUriLengths[NamespaceRowCount];

// One attribute (or predicate) of a split tag or path segment.
struct AttributeSpan {
    const char* name;
    uint64_t nameLength;   // trailing whitespace excluded
    const char* value;     // opening double quote, or absent for a bare name
    uint64_t valueLength;  // both quotes included; 0 when absent
};

// The split of a tag body or path segment; `attributes` belongs to the caller.
struct TagParts {
    const char* name;
    uint64_t nameLength;
    AttributeSpan* attributes;
    uint32_t attributeCount;
};

// One recorded match of a path.
struct MatchRecord {
    uint32_t element;  // elementCounter when the record was made
    uint64_t offset;
    uint64_t length;
    int32_t kind;  // MatchFound, MatchEmptyPair or MatchSelfClosing
};

// One split segment of a query path: the name and predicates as SplitTag gives them.
using QuerySegment = TagParts;

// Records a matcher holds inside the run's own block before it needs an array
// of its own: most paths match once or twice per document.
constexpr uint32_t InlineMatchRecords = 2;

// Matching state of one query entry.
struct PathMatcher {
    const char* path;  // borrowed from the entry; absent when it has none
    uint64_t pathLength;
    uint32_t isAttribute;       // 1 when the last segment ends in a bare attribute name
    const char* attributeName;  // that bare name inside `path`
    uint64_t attributeNameLength;
    MatchRecord* matches;  // document order; inside the run's block until it outgrows it
    uint32_t matchCount;
    uint32_t matchCapacity;  // rows at `matches`; above InlineMatchRecords the array is owned
    int32_t status;
    // The path split once per run. 0 segments when the path ends in an empty
    // remainder (a trailing "/"), which no current path satisfies.
    QuerySegment* segments;
    uint32_t segmentCount;
    // PathMatches' last answer, good while the last segment of currentPath
    // carries `verdictSerial` and no prefix has been registered since.
    int32_t verdict;
    uint64_t verdictSerial;
    uint32_t verdictPrefixes;
    // Segment comparisons PathMatches can reuse: the first `verifiedDepth`
    // segments of currentPath matched while the deepest of them carried
    // `verifiedSerial`; segment `failedDepth` - 1 failed while it carried
    // `failedSerial`. Both good while no prefix has been registered since.
    uint32_t verifiedDepth;
    uint64_t verifiedSerial;
    uint32_t verifiedPrefixes;
    // When the whole path matched: the serial its parent segment carried, so
    // that a sibling of the element compares only its own segment.
    uint64_t verifiedParentSerial;
    uint32_t failedDepth;
    uint64_t failedSerial;
    uint32_t failedPrefixes;
    // Matchers that can be satisfied are chained by the depth and last element
    // name of their path (bucketKey), in entry order.
    uint64_t bucketKey;
    uint32_t nextInBucket;
};

// End of a chain of matchers.
constexpr uint32_t NoMatcher = 0xFFFFFFFFu;

// Bit of ParseContext::matcherDepths for a path of `depth` segments.
inline uint64_t DepthBit(uint32_t depth) {
    return uint64_t{1} << (depth < 63 ? depth : 63);
}

// The document being scanned: `text` is borrowed and lives as long as the run.
struct TextCursor {
    const char* text;
    uint64_t length;
    uint64_t position;  // where the scan stopped (see ScanDocument)
};

// First capacities of currentPath's storage in the run block: bytes, segments
// and attribute rows. A deeper or longer path moves to owned arrays.
constexpr uint64_t InitialPathCapacity = 128;
constexpr uint32_t InitialPathSegments = 6;
constexpr uint32_t InitialPathRows = 4;

// One segment of currentPath: where it starts, whether it holds whitespace,
// and once a comparison needed it, its split (attributes in PathIndex::rows
// from `firstRow` on).
struct CurrentSegment {
    uint64_t start;
    TagParts parts;
    uint32_t firstRow;
    bool spaced;  // holds whitespace, so may carry attributes
    // Names the segment's text and everything before it: a segment gets a new
    // one whenever its text changes, and takes back the one of a closed
    // sibling whose text it repeats (see PathIndex::closed*).
    uint64_t serial;
    // The element name as its start tag wrote it, when the name made exactly
    // this segment, and the number of registered prefixes at that time: an end
    // tag with the same name under the same prefixes closes it without a
    // rewrite of its name. Absent for other segments.
    const char* documentName;
    uint64_t documentNameLength;
    uint32_t registeredAtOpen;
};

// What the run knows about currentPath besides its text: the buffer it lives in,
// the start of every segment (as PathSegmentLength walks it from the root) and
// the splits of the leading segments. Each array starts in the run's own block
// and moves to an owned one when it outgrows it.
struct PathIndex {
    char* buffer;  // holds currentPath while an element is open, NUL-terminated
    uint64_t length;
    uint64_t capacity;
    CurrentSegment* segments;
    uint32_t segmentCount;
    uint32_t segmentCapacity;
    uint32_t splitCount;  // segments [0, splitCount) hold a valid split
    uint64_t scanned;     // the segment walk has seen the text up to here,
    bool insideQuotes;    // and stands inside double quotes there
    uint64_t lastSerial;  // the serial most recently given to a segment
    // The segment most recently closed while its text still lies past the end
    // of the buffer's path: where it started, its bytes, its index and serial,
    // and the serial of the segment before it. An element that opens in its
    // place, under the same parent and with the same text, takes its serial
    // back, so that what was learnt about it holds again.
    bool closedKept;
    bool closedSpaced;       // the closed segment held whitespace,
    bool closedQuotesOpen;   // and the walk stood inside quotes at its end
    uint32_t closedIndex;
    uint64_t closedStart;
    uint64_t closedLength;
    uint64_t closedSerial;
    uint64_t closedParentSerial;
    AttributeSpan* rows;
    uint32_t rowCapacity;
    char* bufferStorage;  // the run block's arrays
    CurrentSegment* segmentStorage;
    AttributeSpan* rowStorage;
};

// Working state of one engine run. The context, its cursor, the table copy,
// the matchers with their split paths and first records, and the first
// currentPath storage share one allocation.
struct ParseContext {
    int32_t flags;
    uint32_t elementCounter;     // start tags seen; the root is element 1
    char* currentPath;           // PathIndex::buffer while the root is open, else absent
    NamespaceEntry* namespaces;  // the run's copy of NamespaceTable
    TextCursor* cursor;
    PathMatcher* matchers;  // one per entry
    uint32_t matcherCount;
    PathIndex pathIndex;
    // Every record is kept (a MultiQuery), or only each matcher's first and
    // latest, which is all a query's results and the empty-element test read.
    bool keepEveryRecord;
    // Document prefixes registered so far; none means no name needs a rewrite.
    uint32_t registeredPrefixes;
    // Chains of matchers by bucket (bucketKey masked by bucketMask), and the
    // bucket key of currentPath, good while its last segment has the serial
    // `currentKeySerial`.
    uint32_t* bucketHeads;
    uint64_t bucketMask;
    uint64_t currentKey;
    uint64_t currentKeySerial;
    // Bit d set when a chained matcher's path has d segments (bit 63: 63 or more).
    uint64_t matcherDepths;
    // Rows for start tags with more attributes than the scanner keeps on its
    // stack; owned, kept for the run at the largest size needed so far.
    AttributeSpan* tagRows;
    uint32_t tagRowCapacity;
    bool inQueryRoom;  // the run's block is the query's run room, not owned
    // The element matchers (bit i for matcher i; runs of at most 64 paths)
    // that currentPath satisfied when its last segment carried `satisfiedSerial`
    // under `satisfiedPrefixes` registered prefixes: a text run learns them, the
    // end tag and repeated siblings reuse them. Serial 0: nothing learnt.
    uint64_t satisfiedElements;
    uint64_t satisfiedSerial;
    uint32_t satisfiedPrefixes;
};

// One match reported by QueryAllValues.
struct MultiQueryMatch {
    uint64_t offset;
    uint64_t length;
};

// One path of a MultiQuery. `results` is allocated by QueryAllValues and
// released by FreeAllValues.
struct MultiQueryRow {
    const char* path;  // borrowed NUL-terminated path
    uint64_t pathLength;
    MultiQueryMatch* results;
    uint32_t resultCount;
    int32_t status;
};

// Request of the multi-result read: every match of every path, not only the first.
// `text` is borrowed; the engine never reads text[length].
struct MultiQuery {
    const char* text;
    uint64_t length;
    MultiQueryRow* rows;
    uint32_t rowCount;
    uint64_t scanEnd;
};
