// SPDX-License-Identifier: MIT
// Path tracking and matching: currentPath upkeep, namespace prefix rewriting and
// the comparison of currentPath with query paths.
#include "xmlpath/paths.h"

#include <cstring>

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/text.h"

namespace {

// Copies `length` bytes to `buffer` + `at` (the spans never overlap the
// buffer) and returns the offset after them.
inline uint64_t CopyInto(char* buffer, uint64_t at, const char* source, uint64_t length) {
    for (uint64_t i = 0; i < length; ++i) {
        buffer[at + i] = source[i];
    }
    return at + length;
}

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
        for (uint64_t i = 0; i < firstLength; ++i) {
            if (first[i] != second[i]) {
                return false;
            }
        }
        return true;
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

// SameSegmentName, inline for PathMatches.
inline bool NamesMatch(const TagParts& query, const TagParts& current) {
    return query.name != nullptr && current.name != nullptr && query.nameLength != 0 &&
           SameBytes(query.name, query.nameLength, current.name, current.nameLength);
}

// Bytes up to the first whitespace.
uint64_t WordLength(const char* text, uint64_t length) {
    return FindWhitespace(text, 0, length);
}

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

// Splits one segment into `parts` with its rows at `rows`, which has room for
// `capacity` of them; the result is that of a split with an array of exactly
// SplitTag's count (no array for 0 rows), made with one pass where it fits.
// Returns the rows used, or SplitFailed when they do not fit. A failed split
// leaves the name absent, which no comparison accepts.
uint32_t SplitSegmentInto(const char* segment, uint64_t length, AttributeSpan* rows,
                          uint32_t capacity, TagParts* parts) {
    *parts = TagParts{nullptr, 0, capacity > 0 ? rows : nullptr, capacity};
    const uint32_t count = SplitTag(segment, length, parts);
    if (count == SplitFailed) {
        const uint32_t needed = SplitTag(segment, length, nullptr);
        *parts = TagParts{};
        return needed != SplitFailed && needed > capacity ? SplitFailed : 0;
    }
    parts->attributes = count > 0 ? rows : nullptr;
    parts->attributeCount = count;
    return count;
}

// Moves an array of `used` elements to a new owned one of `capacity`, releasing
// the old one unless it is the run block's `storage`. Null when out of memory.
void* GrowArray(void* array, const void* storage, uint64_t used, uint64_t capacity,
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

uint64_t GrownCapacity(uint64_t capacity, uint64_t needed) {
    const uint64_t doubled = capacity * 2;
    return doubled > needed ? doubled : needed;
}

// Room for `needed` bytes of path text, NUL included. A move invalidates every
// split, whose spans point into the text.
int32_t ReservePathText(ParseContext* context, uint64_t needed) {
    PathIndex& index = context->pathIndex;
    if (needed <= index.capacity) {
        return 0;
    }
    const uint64_t capacity = GrownCapacity(index.capacity, needed);
    auto* grown =
        static_cast<char*>(GrowArray(index.buffer, index.bufferStorage, index.length, capacity, 1));
    if (grown == nullptr) {
        return XmlErrNoMemory;
    }
    index.buffer = grown;
    index.capacity = capacity;
    index.splitCount = 0;
    index.closedKept = false;  // only the path itself moved
    if (context->currentPath != nullptr) {
        context->currentPath = grown;
    }
    return 0;
}

inline int32_t PushSegment(PathIndex* index, uint64_t start) {
    if (index->segmentCount == index->segmentCapacity) {
        const uint64_t capacity = GrownCapacity(index->segmentCapacity, 4);
        if (capacity > UINT32_MAX) {
            return XmlErrNoMemory;
        }
        auto* grown = static_cast<CurrentSegment*>(GrowArray(index->segments, index->segmentStorage,
                                                             index->segmentCount, capacity,
                                                             sizeof(CurrentSegment)));
        if (grown == nullptr) {
            return XmlErrNoMemory;
        }
        index->segments = grown;
        index->segmentCapacity = static_cast<uint32_t>(capacity);
    }
    index->segments[index->segmentCount++] =
        CurrentSegment{start, TagParts{}, 0, false, ++index->lastSerial, nullptr, 0, 0};
    return 0;
}

// Walks the path text appended since the last call the way PathSegmentLength
// walks segments from the root: a segment ends at the first "/" outside double
// quotes, the next starts after it with no quote open, and a text ending in "/"
// ends in an empty segment. The last segment's walk resumes where it stopped.
int32_t IndexAppendedText(PathIndex* index) {
    bool insideQuotes = index->insideQuotes;
    for (uint64_t i = NextPathByte(index->buffer, index->scanned, index->length);
         i < index->length; i = NextPathByte(index->buffer, i + 1, index->length)) {
        const uint8_t kind = kPathByteKinds[static_cast<unsigned char>(index->buffer[i])];
        if (kind == PathByteQuote) {
            insideQuotes = !insideQuotes;
        } else if (kind == PathByteSpace) {
            index->segments[index->segmentCount - 1].spaced = true;
        } else if (kind == PathByteSlash && !insideQuotes) {
            const int32_t status = PushSegment(index, i + 1);
            if (status != 0) {
                index->scanned = i;  // this "/" is seen again by the next walk
                index->insideQuotes = false;
                return status;
            }
        }
    }
    index->scanned = index->length;
    index->insideQuotes = insideQuotes;
    return 0;
}

// Bytes of current segment k, up to the "/" that follows it or the end.
uint64_t CurrentSegmentLength(const PathIndex& index, uint32_t k) {
    const uint64_t end =
        k + 1 < index.segmentCount ? index.segments[k + 1].start - 1 : index.length;
    return end - index.segments[k].start;
}

// Splits every segment of currentPath not split yet, in order, so that the rows
// of segment k follow those of segment k - 1.
int32_t SplitCurrentSegments(PathIndex* index) {
    for (uint32_t k = index->splitCount; k < index->segmentCount; ++k) {
        CurrentSegment& segment = index->segments[k];
        const char* text = index->buffer + segment.start;
        const uint64_t length = CurrentSegmentLength(*index, k);
        const CurrentSegment* previous = k > 0 ? &index->segments[k - 1] : nullptr;
        segment.firstRow =
            previous != nullptr ? previous->firstRow + previous->parts.attributeCount : 0;
        if (!segment.spaced) {
            // The name is the whole segment and there are no rows, as SplitTag finds.
            segment.parts = length != 0 ? TagParts{text, length, nullptr, 0} : TagParts{};
        } else if (SplitSegmentInto(text, length, index->rows + segment.firstRow,
                                    index->rowCapacity - segment.firstRow,
                                    &segment.parts) == SplitFailed) {
            const uint64_t needed = uint64_t{segment.firstRow} + SplitTag(text, length, nullptr);
            const uint64_t capacity = GrownCapacity(index->rowCapacity, needed);
            if (capacity > UINT32_MAX) {
                return XmlErrNoMemory;
            }
            auto* grown = static_cast<AttributeSpan*>(GrowArray(
                index->rows, index->rowStorage, segment.firstRow, capacity, sizeof(AttributeSpan)));
            if (grown == nullptr) {
                return XmlErrNoMemory;
            }
            index->rows = grown;
            index->rowCapacity = static_cast<uint32_t>(capacity);
            for (uint32_t j = 0; j < k; ++j) {
                TagParts& parts = index->segments[j].parts;
                if (parts.attributes != nullptr) {
                    parts.attributes = grown + index->segments[j].firstRow;
                }
            }
            SplitSegmentInto(text, length, grown + segment.firstRow,
                             index->rowCapacity - segment.firstRow, &segment.parts);
        }
        index->splitCount = k + 1;
    }
    return 0;
}

// When the bytes before the first ":" of `text` are a registered document
// prefix: that row's table prefix and the offset of the ":". Else false.
bool FindRegisteredPrefix(const ParseContext* context, const char* text, uint64_t length,
                          const char** tablePrefix, uint64_t* tablePrefixLength,
                          uint64_t* colonAt) {
    const char* colon = FindSpanByte(text, length, ':');
    uint64_t row = 0;
    if (colon == nullptr ||
        FindDocumentPrefix(context, text, static_cast<uint64_t>(colon - text), &row) != 1) {
        return false;
    }
    *tablePrefix = context->namespaces[row].prefix;
    *tablePrefixLength = NamespacePrefixLengths[row];
    *colonAt = static_cast<uint64_t>(colon - text);
    return true;
}

// Inline for the usual document, which registers no prefix: every name and
// value is appended as it stands.
inline bool RegisteredPrefix(const ParseContext* context, const char* text, uint64_t length,
                             const char** tablePrefix, uint64_t* tablePrefixLength,
                             uint64_t* colonAt) {
    return context->registeredPrefixes != 0 &&  // else FindDocumentPrefix would find none
           FindRegisteredPrefix(context, text, length, tablePrefix, tablePrefixLength, colonAt);
}

// Row of the first table entry whose prefix is `prefix`, or -1.
int64_t TablePrefixRow(const ParseContext* context, const char* prefix, uint64_t length) {
    if (context->namespaces == nullptr) {
        return -1;
    }
    for (int64_t row = 0; context->namespaces[row].uri != nullptr; ++row) {
        if (SameBytes(context->namespaces[row].prefix, NamespacePrefixLengths[row], prefix,
                      length)) {
            return row;
        }
    }
    return -1;
}

// Whether "/" + `prefix` + `rest` appended at `oldLength` would write the text
// of the segment most recently closed back in its place under the same parent.
bool RepeatsClosedSegment(const PathIndex& index, uint64_t oldLength, const char* prefix,
                          uint64_t prefixLength, const char* rest, uint64_t restLength) {
    if (!index.closedKept || index.closedLength != prefixLength + restLength ||
        index.closedStart != oldLength + 1 || index.segmentCount != index.closedIndex ||
        index.segments[index.segmentCount - 1].serial != index.closedParentSerial) {
        return false;
    }
    const char* kept = index.buffer + index.closedStart;
    return SameBytes(kept, prefixLength, prefix, prefixLength) &&
           SameBytes(kept + prefixLength, restLength, rest, restLength);
}

// After an element name was appended: when the "/" before it started exactly
// one new segment (at the root: the name made the only one), that segment is
// the name as rewritten, and remembers the name as written for ClosePath.
void NoteOpenedName(ParseContext* context, const char* name, uint64_t length,
                    uint32_t segmentsBefore, uint64_t nameAt) {
    PathIndex& index = context->pathIndex;
    if (index.segmentCount != segmentsBefore + 1 ||
        index.segments[segmentsBefore].start != nameAt) {
        return;
    }
    CurrentSegment& segment = index.segments[segmentsBefore];
    segment.documentName = name;
    segment.documentNameLength = length;
    segment.registeredAtOpen = context->registeredPrefixes;
}

// Whether query segment k of the matcher accepts current segment k (split).
bool SegmentMatches(const ParseContext* context, const PathMatcher& matcher, uint32_t k) {
    const TagParts& query = matcher.segments[k];
    const TagParts& current = context->pathIndex.segments[k].parts;
    if (!NamesMatch(query, current)) {
        return false;
    }
    // A query segment without predicates matches only an element without attributes.
    return query.attributes == nullptr
               ? current.attributes == nullptr && current.attributeCount == 0 &&
                     query.attributeCount == 0
               : PredicatesMatch(context, &query, &current) == 1;
}

// Whether what the matcher noted about segment `depth` - 1 still holds: the
// segment is there with the same serial (so it and every segment before it
// are unchanged) and no prefix was registered since.
bool StillHolds(const ParseContext* context, uint32_t depth, uint64_t serial, uint32_t prefixes) {
    const PathIndex& index = context->pathIndex;
    return depth > 0 && depth <= index.segmentCount &&
           index.segments[depth - 1].serial == serial && prefixes == context->registeredPrefixes;
}

// Whether currentPath satisfies the matcher's path: PathMatches without its
// verdict memory. Segment comparisons are free of side effects and depend only
// on the two segments and the registered prefixes, so the matcher keeps the
// ancestors it found to match or to fail and compares only what changed since:
// the deepest segment, which differs most often, first.
int32_t CompareWithCurrentPath(ParseContext* context, PathMatcher& matcher) {
    PathIndex& index = context->pathIndex;
    const uint32_t count = index.segmentCount;
    if (matcher.segmentCount == 0 || matcher.segmentCount != count ||
        index.segments[count - 1].start == index.length) {
        return 0;
    }
    if (StillHolds(context, matcher.failedDepth, matcher.failedSerial, matcher.failedPrefixes)) {
        return 0;
    }
    const int32_t status = SplitCurrentSegments(&index);
    if (status != 0) {
        return status;
    }
    uint32_t verified =
        StillHolds(context, matcher.verifiedDepth, matcher.verifiedSerial, matcher.verifiedPrefixes)
            ? matcher.verifiedDepth
            : 0;
    if (verified < count && !SegmentMatches(context, matcher, count - 1)) {
        return 0;
    }
    for (; verified + 1 < count; ++verified) {
        if (!SegmentMatches(context, matcher, verified)) {
            matcher.failedDepth = verified + 1;
            matcher.failedSerial = index.segments[verified].serial;
            matcher.failedPrefixes = context->registeredPrefixes;
            return 0;
        }
        matcher.verifiedDepth = verified + 1;
        matcher.verifiedSerial = index.segments[verified].serial;
        matcher.verifiedPrefixes = context->registeredPrefixes;
    }
    matcher.verifiedDepth = count;
    matcher.verifiedSerial = index.segments[count - 1].serial;
    matcher.verifiedPrefixes = context->registeredPrefixes;
    return 1;
}

// " name=value" appended to currentPath in one step, each part with its
// document prefix rewritten: the two AppendPath calls of an attribute, with one
// reservation and one walk. Like them, -2 for an empty name.
int32_t AppendAttribute(ParseContext* context, const AttributeSpan& attribute) {
    if (attribute.name == nullptr || attribute.nameLength == 0) {
        return XmlErrArgument;
    }
    PathIndex& index = context->pathIndex;
    index.closedKept = false;
    const char* namePrefix = nullptr;
    uint64_t namePrefixLength = 0;
    uint64_t nameColon = 0;
    RegisteredPrefix(context, attribute.name, attribute.nameLength, &namePrefix, &namePrefixLength,
                     &nameColon);
    const char* valuePrefix = nullptr;
    uint64_t valuePrefixLength = 0;
    uint64_t valueColon = 0;
    RegisteredPrefix(context, attribute.value, attribute.valueLength, &valuePrefix,
                     &valuePrefixLength, &valueColon);
    const uint64_t nameRest = attribute.nameLength - nameColon;
    const uint64_t valueRest = attribute.valueLength - valueColon;
    const uint64_t oldLength = index.length;
    const int32_t status = ReservePathText(
        context, oldLength + 2 + namePrefixLength + nameRest + valuePrefixLength + valueRest + 1);
    if (status != 0) {
        return status;
    }
    char* path = index.buffer;
    uint64_t at = oldLength;
    path[at++] = ' ';
    at = CopyInto(path, at, namePrefix, namePrefixLength);
    at = CopyInto(path, at, attribute.name + nameColon, nameRest);
    path[at++] = '=';
    at = CopyInto(path, at, valuePrefix, valuePrefixLength);
    at = CopyInto(path, at, attribute.value + valueColon, valueRest);
    path[at] = '\0';
    index.length = at;
    if (index.splitCount >= index.segmentCount) {
        index.splitCount = index.segmentCount - 1;
    }
    index.segments[index.segmentCount - 1].serial = ++index.lastSerial;  // its text grew
    // The usual attribute, written as it stands with a name free of quotes and
    // "/" and one quoted value, leaves the walk where the text began: outside
    // quotes, in the same segment, which now holds whitespace.
    if (namePrefix == nullptr && valuePrefix == nullptr && !index.insideQuotes &&
        index.scanned == oldLength && attribute.valueLength >= 2 &&
        attribute.value[0] == '"' && attribute.value[attribute.valueLength - 1] == '"' &&
        FindSpanByte(attribute.value + 1, attribute.valueLength - 2, '"') == nullptr &&
        NextPathByte(attribute.name, 0, attribute.nameLength) == attribute.nameLength) {
        index.segments[index.segmentCount - 1].spaced = true;
        index.scanned = index.length;
        return 0;
    }
    return IndexAppendedText(&index);
}

// The element named `name` (as written) repeats the segment just closed, whose
// bytes still lie in place: only its "/" is written back, and the segment
// comes back as the walk over the same text found it, with its serial.
int32_t ReopenClosedSegment(ParseContext* context, const char* name, uint64_t length) {
    PathIndex& index = context->pathIndex;
    index.closedKept = false;
    const uint64_t oldLength = index.length;
    const uint32_t segmentsBefore = index.segmentCount;
    // The segment array held this segment before, so it has room for it.
    const int32_t pushed = PushSegment(&index, oldLength + 1);
    if (pushed != 0) {
        return pushed;
    }
    index.buffer[oldLength] = '/';
    index.length = oldLength + 1 + index.closedLength;
    index.buffer[index.length] = '\0';
    index.scanned = index.length;
    index.insideQuotes = index.closedQuotesOpen;
    CurrentSegment& segment = index.segments[segmentsBefore];
    segment.spaced = index.closedSpaced;
    segment.serial = index.closedSerial;
    NoteOpenedName(context, name, length, segmentsBefore, oldLength + 1);
    return 0;
}

}  // namespace

int32_t AppendPath(ParseContext* context, const char* separator, const char* text,
                   uint64_t length) {
    if (text == nullptr || length == 0 || context == nullptr) {
        return XmlErrArgument;
    }
    PathIndex& index = context->pathIndex;
    if (context->currentPath == nullptr) {
        index.closedKept = false;
        if ((context->flags & ParseFlagAnyRoot) == 0 &&
            !(length >= 3 && BytesEqual(text, "cmd", 3) == 1)) {
            return XmlErrBadRoot;
        }
        index.length = 0;
        index.segmentCount = 0;
        index.splitCount = 0;
        const int32_t status = ReservePathText(context, length + 1);
        if (status != 0) {
            return status;
        }
        MoveBytes(text, index.buffer, length);
        index.buffer[length] = '\0';
        index.length = length;
        context->currentPath = index.buffer;
        index.scanned = 0;
        index.insideQuotes = false;
        int32_t indexed = PushSegment(&index, 0);
        if (indexed == 0) {
            indexed = IndexAppendedText(&index);
        }
        if (indexed == 0) {
            NoteOpenedName(context, text, length, 0, 0);
        }
        return indexed;
    }

    // A document prefix is written as the table's prefix for its namespace.
    const char* tablePrefix = nullptr;
    uint64_t tablePrefixLength = 0;
    uint64_t colonAt = 0;  // untouched (0) when no registered prefix is found
    RegisteredPrefix(context, text, length, &tablePrefix, &tablePrefixLength, &colonAt);
    const char* rest = text + colonAt;
    const uint64_t restLength = length - colonAt;

    // "/", " " or "=" from the callers.
    const uint64_t separatorLength =
        separator == nullptr || separator[0] == '\0'
            ? 0
            : (separator[1] == '\0' ? 1 : static_cast<uint64_t>(StringLength(separator)));
    const uint64_t oldLength = index.length;
    if (separatorLength == 1 && separator[0] == '/' &&
        RepeatsClosedSegment(index, oldLength, tablePrefix, tablePrefixLength, rest, restLength)) {
        return ReopenClosedSegment(context, text, length);
    }
    index.closedKept = false;  // its bytes are about to be written over
    const int32_t status =
        ReservePathText(context, oldLength + separatorLength + tablePrefixLength + restLength + 1);
    if (status != 0) {
        return status;
    }
    char* path = index.buffer;
    uint64_t at = oldLength;
    at = CopyInto(path, at, separator, separatorLength);
    at = CopyInto(path, at, tablePrefix, tablePrefixLength);
    at = CopyInto(path, at, rest, restLength);
    path[at] = '\0';
    index.length = at;

    // Only the last segment can change: the segments before it end at a "/"
    // that lies in the old text.
    if (index.splitCount >= index.segmentCount) {
        index.splitCount = index.segmentCount - 1;
    }
    const uint32_t segmentsBefore = index.segmentCount;
    const int32_t walked = IndexAppendedText(&index);
    // The last segment keeps its text (and serial) only when the appended text
    // began with a "/" that started a new segment.
    if (walked != 0 || index.segmentCount == segmentsBefore ||
        index.segments[segmentsBefore].start != oldLength + 1) {
        CurrentSegment& grown = index.segments[segmentsBefore - 1];
        grown.serial = ++index.lastSerial;
        // Text that follows the name without whitespace (a "/" inside quotes)
        // makes it part of the element name ClosePath compares.
        if (separatorLength == 0 || !IsXmlWhitespace(separator[0])) {
            grown.documentName = nullptr;
        }
    }
    if (walked == 0 && separatorLength == 1 && separator[0] == '/') {
        NoteOpenedName(context, text, length, segmentsBefore, oldLength + 1);
    }
    return walked;
}

void NoteTagSplit(ParseContext* context, const char* name, uint64_t nameLength,
                  const AttributeSpan* attributes, uint32_t count) {
    if (context == nullptr || context->currentPath == nullptr || context->registeredPrefixes != 0 ||
        name == nullptr || nameLength == 0 || attributes == nullptr || count == 0) {
        return;
    }
    PathIndex& index = context->pathIndex;
    const uint32_t last = index.segmentCount - 1;
    if (index.segmentCount == 0 || index.splitCount != last) {
        return;
    }
    CurrentSegment& segment = index.segments[last];
    const CurrentSegment* previous = last > 0 ? &index.segments[last - 1] : nullptr;
    const uint32_t firstRow =
        previous != nullptr ? previous->firstRow + previous->parts.attributeCount : 0;
    if (segment.documentName != name || segment.documentNameLength != nameLength ||
        uint64_t{firstRow} + count > index.rowCapacity ||
        NextPathByte(name, 0, nameLength) != nameLength) {
        return;
    }
    // The segment's text must be the name and " name=value" per attribute.
    uint64_t expected = nameLength;
    for (uint32_t a = 0; a < count; ++a) {
        const AttributeSpan& attribute = attributes[a];
        if (attribute.name == nullptr || attribute.nameLength == 0 || attribute.value == nullptr ||
            attribute.valueLength < 2 || attribute.value[0] != '"' ||
            attribute.value[attribute.valueLength - 1] != '"' ||
            FindSpanByte(attribute.value + 1, attribute.valueLength - 2, '"') != nullptr ||
            NextPathByte(attribute.name, 0, attribute.nameLength) != attribute.nameLength) {
            return;
        }
        expected += 2 + attribute.nameLength + attribute.valueLength;
    }
    if (index.length - segment.start != expected) {
        return;
    }
    AttributeSpan* rows = index.rows + firstRow;
    for (uint32_t a = 0; a < count; ++a) {
        rows[a] = attributes[a];
    }
    segment.firstRow = firstRow;
    segment.parts = TagParts{name, nameLength, rows, count};
    index.splitCount = index.segmentCount;
}

void ReleaseCurrentPath(ParseContext* context) {
    if (context == nullptr) {
        return;
    }
    PathIndex& index = context->pathIndex;
    if (index.buffer != index.bufferStorage) {
        FreeMemory(index.buffer);
    }
    if (index.segments != index.segmentStorage) {
        FreeMemory(index.segments);
    }
    if (index.rows != index.rowStorage) {
        FreeMemory(index.rows);
    }
    index.buffer = index.bufferStorage;
    index.segments = index.segmentStorage;
    index.rows = index.rowStorage;
    index.capacity = index.bufferStorage != nullptr ? InitialPathCapacity : 0;
    index.segmentCapacity = index.segmentStorage != nullptr ? InitialPathSegments : 0;
    index.rowCapacity = index.rowStorage != nullptr ? InitialPathRows : 0;
    index.length = 0;
    index.segmentCount = 0;
    index.splitCount = 0;
    index.scanned = 0;
    index.insideQuotes = false;
    index.closedKept = false;
    context->currentPath = nullptr;
}

int32_t HandleAttribute(ParseContext* context, AttributeSpan* attribute, int32_t* isDeclaration) {
    if (context == nullptr || context->cursor == nullptr || attribute == nullptr) {
        return XmlErrArgument;
    }
    if (attribute->value == nullptr || attribute->valueLength == 0) {
        return XmlErrBadAttribute;
    }
    for (uint64_t i = 0; i < attribute->nameLength; ++i) {
        if (IsXmlWhitespace(attribute->name[i])) {
            return XmlErrBadAttribute;
        }
    }
    if (FindSpanByte(attribute->value, attribute->valueLength, '<') != nullptr) {
        return XmlErrBadAttribute;
    }
    if (attribute->nameLength >= 5 && BytesEqual(attribute->name, "xmlns", 5) == 1) {
        // "xmlns:p" declares p; a name without ":" (the default namespace) is
        // registered whole, as the text "xmlns".
        if (FindSpanByte(attribute->name, attribute->nameLength, ':') != nullptr) {
            attribute->name += 6;
            attribute->nameLength -= 6;
        }
        if (isDeclaration != nullptr) {
            *isDeclaration = 1;
        }
        return RegisterNamespace(context, attribute->name, attribute->nameLength, attribute->value,
                                 attribute->valueLength);
    }
    if (isDeclaration != nullptr) {
        *isDeclaration = 0;
    }
    if (context->currentPath == nullptr) {
        // No element open (not so from a start tag): two appends, the first
        // making the root.
        const int32_t status = AppendPath(context, " ", attribute->name, attribute->nameLength);
        return status != 0 ? status
                           : AppendPath(context, "=", attribute->value, attribute->valueLength);
    }
    return AppendAttribute(context, *attribute);
}

int32_t RegisterNamespace(ParseContext* context, const char* name, uint64_t nameLength,
                          const char* value, uint64_t valueLength) {
    if (context == nullptr || context->namespaces == nullptr || value == nullptr ||
        valueLength < 2 || name == nullptr || nameLength == 0) {
        return XmlErrArgument;
    }
    for (NamespaceEntry* row = context->namespaces; row->uri != nullptr; ++row) {
        const uint64_t uriLength = NamespaceUriLengths[row - context->namespaces];
        const char* inner = nullptr;
        uint64_t innerLength = 0;
        if (uriLength == 0 || TrimQuotedValue(value, valueLength, &inner, &innerLength) != 1 ||
            SameNamespaceUri(row->uri, uriLength, inner, innerLength) != 1) {
            continue;
        }
        // The first declaration of a namespace stays in force for the run.
        if (row->documentPrefix == nullptr || row->documentPrefixLength == 0) {
            row->documentPrefix = name;
            row->documentPrefixLength = nameLength;
            ++context->registeredPrefixes;
        }
        return 0;
    }
    return 0;
}

int32_t SameNamespaceUri(const char* uri, uint64_t uriLength, const char* text,
                         uint64_t textLength) {
    if (uri == nullptr || text == nullptr || uriLength == 0 || textLength == 0) {
        return 0;
    }
    if (uri[uriLength - 1] == '/') {
        --uriLength;
    }
    if (text[textLength - 1] == '/') {
        --textLength;
    }
    return SameBytes(uri, uriLength, text, textLength) ? 1 : 0;
}

int32_t FindDocumentPrefix(const ParseContext* context, const char* text, uint64_t length,
                           uint64_t* index) {
    if (context == nullptr || context->namespaces == nullptr || text == nullptr || length == 0 ||
        index == nullptr) {
        return 0;
    }
    for (uint64_t row = 0; context->namespaces[row].uri != nullptr; ++row) {
        const NamespaceEntry& entry = context->namespaces[row];
        if (entry.documentPrefix != nullptr &&
            SameBytes(entry.documentPrefix, entry.documentPrefixLength, text, length)) {
            *index = row;
            return 1;
        }
    }
    return 0;
}

int32_t ClosePath(ParseContext* context, const char* name, uint64_t length) {
    if (name == nullptr || length == 0 || context == nullptr || context->currentPath == nullptr) {
        return XmlErrArgument;
    }
    PathIndex& index = context->pathIndex;
    const char* path = context->currentPath;

    // The last segment and whether it is the only one.
    const uint32_t last = index.segmentCount - 1;
    const uint64_t segmentStart = index.segments[last].start;
    uint64_t segmentLength = index.length - segmentStart;
    const char* segment = path + segmentStart;
    const bool isRoot = segmentStart == 0;

    // The same name as the start tag's under the same prefixes is rewritten the
    // same way, so it names the segment.
    const CurrentSegment& open = index.segments[last];
    const bool sameAsOpened =
        open.documentName != nullptr && open.registeredAtOpen == context->registeredPrefixes &&
        SameBytes(open.documentName, open.documentNameLength, name, WordLength(name, length));

    const char* nameSide = name;
    uint64_t nameSideLength = length;
    const char* tablePrefix = nullptr;
    uint64_t tablePrefixLength = 0;
    uint64_t colonAt = 0;
    if (sameAsOpened) {
        // Compared above.
    } else if (RegisteredPrefix(context, name, length, &tablePrefix, &tablePrefixLength,
                                &colonAt)) {
        if (segmentLength < tablePrefixLength ||
            !SameBytes(segment, tablePrefixLength, tablePrefix, tablePrefixLength)) {
            return XmlErrMismatchedClose;
        }
        segment += tablePrefixLength;
        segmentLength -= tablePrefixLength;
        nameSide = name + colonAt;
        nameSideLength = length - colonAt;
    }
    if (!sameAsOpened && !SameBytes(segment, WordLength(segment, segmentLength), nameSide,
                                    WordLength(nameSide, nameSideLength))) {
        return XmlErrMismatchedClose;
    }

    if (isRoot) {
        if ((context->flags & ParseFlagAnyRoot) != 0) {
            return ScanRootClosed;
        }
        // Exactly "cmd" followed by ">" in the document: "</cmd >" and "<cmd/>" fail.
        const TextCursor* cursor = context->cursor;
        if (cursor == nullptr || cursor->text == nullptr || name < cursor->text ||
            static_cast<uint64_t>(name - cursor->text) + 3 >= cursor->length ||
            BytesEqual(name, "cmd", 3) != 1 || name[3] != '>') {
            return XmlErrBadRoot;
        }
        return ScanRootClosed;
    }

    // Drops "/" and the segment; the segments before it and their splits stay,
    // and the walk of the new last segment has reached that "/", outside quotes.
    // The segment's bytes stay in the buffer for a sibling that repeats them.
    index.closedKept = true;
    index.closedSpaced = index.segments[last].spaced;
    index.closedQuotesOpen = index.insideQuotes;
    index.closedIndex = last;
    index.closedStart = segmentStart;
    index.closedLength = index.length - segmentStart;
    index.closedSerial = index.segments[last].serial;
    index.closedParentSerial = index.segments[last - 1].serial;
    index.length = segmentStart - 1;
    index.buffer[index.length] = '\0';
    index.scanned = index.length;
    index.insideQuotes = false;
    index.segmentCount = last;
    if (index.splitCount > last) {
        index.splitCount = last;
    }
    return 0;
}

int32_t PathMatches(ParseContext* context, uint32_t matcherIndex) {
    if (context == nullptr || context->matchers == nullptr ||
        matcherIndex >= context->matcherCount) {
        return 0;
    }
    PathMatcher& matcher = context->matchers[matcherIndex];
    if (matcher.path == nullptr || context->currentPath == nullptr) {
        return 0;
    }
    // A text run and the end tag after it ask again about an unchanged path,
    // and a repeated sibling about the same path as before.
    const PathIndex& index = context->pathIndex;
    if (index.segmentCount == 0) {
        return 0;
    }
    const uint64_t serial = index.segments[index.segmentCount - 1].serial;
    if (matcher.verdictSerial == serial && matcher.verdictPrefixes == context->registeredPrefixes) {
        return matcher.verdict;
    }
    const int32_t verdict = CompareWithCurrentPath(context, matcher);
    if (verdict >= 0) {
        matcher.verdict = verdict;
        matcher.verdictSerial = serial;
        matcher.verdictPrefixes = context->registeredPrefixes;
    }
    return verdict;
}

uint64_t CurrentPathBucketKey(ParseContext* context) {
    // The last segment's serial names its text and depth.
    const PathIndex& index = context->pathIndex;
    const CurrentSegment& last = index.segments[index.segmentCount - 1];
    if (context->currentKeySerial != last.serial) {
        const char* segment = index.buffer + last.start;
        const uint64_t length = CurrentSegmentLength(index, index.segmentCount - 1);
        context->currentKey = PathBucketKey(index.segmentCount, segment,
                                            last.spaced ? WordLength(segment, length) : length);
        context->currentKeySerial = last.serial;
    }
    return context->currentKey;
}

void QueryPathBounds(const char* path, uint64_t length, uint64_t* segments, uint64_t* rows) {
    uint64_t slashes = 0;
    uint64_t equals = 0;
    uint64_t spaces = 0;
    for (uint64_t i = 0; i < length; ++i) {
        const char byte = path[i];
        slashes += byte == '/' ? 1 : 0;
        equals += byte == '=' ? 1 : 0;
        spaces += IsXmlWhitespace(byte) ? 1 : 0;
    }
    // A segment lies between two "/". Every row of a split holds its own "=",
    // except a bare name, which ends a segment that holds whitespace.
    *segments = slashes + 1;
    *rows = equals + (spaces < slashes + 1 ? spaces : slashes + 1);
}

int32_t SplitQueryPath(const char* path, uint64_t length, QuerySegment* segments,
                       uint64_t segmentCapacity, AttributeSpan* rows, uint64_t rowCapacity,
                       uint32_t* segmentCount, uint64_t* rowCount) {
    uint32_t count = 0;
    uint64_t usedRows = 0;
    const char* segment = path;
    uint64_t remaining = length;
    for (;;) {
        if (remaining == 0) {
            count = 0;  // an empty remainder: never satisfied, nothing to keep
            usedRows = 0;
            break;
        }
        if (count == segmentCapacity) {
            return 0;
        }
        // The segment ends at the first "/" outside double quotes (as
        // PathSegmentLength finds it); only one with whitespace has predicates.
        uint64_t segmentLength = remaining;
        bool insideQuotes = false;
        bool spaced = false;
        for (uint64_t i = NextPathByte(segment, 0, remaining); i < remaining;
             i = NextPathByte(segment, i + 1, remaining)) {
            const uint8_t kind = kPathByteKinds[static_cast<unsigned char>(segment[i])];
            if (kind == PathByteQuote) {
                insideQuotes = !insideQuotes;
            } else if (kind == PathByteSlash && !insideQuotes) {
                segmentLength = i;
                break;
            } else if (kind == PathByteSpace) {
                spaced = true;
            }
        }
        if (!spaced) {
            segments[count] = segmentLength != 0 ? TagParts{segment, segmentLength, nullptr, 0}
                                                 : TagParts{};  // an empty segment does not split
        } else {
            const uint64_t room = rowCapacity - usedRows;
            const uint32_t used =
                SplitSegmentInto(segment, segmentLength, rows + usedRows,
                                 room < UINT32_MAX ? uint32_t(room) : UINT32_MAX, &segments[count]);
            if (used == SplitFailed) {
                return 0;
            }
            usedRows += used;
        }
        ++count;
        if (segmentLength == remaining) {
            break;
        }
        segment += segmentLength + 1;
        remaining -= segmentLength + 1;
    }
    *segmentCount = count;
    *rowCount = usedRows;
    return 1;
}

int32_t SameSegmentName(const ParseContext* context, const TagParts* querySegment,
                        const TagParts* currentSegment) {
    if (context == nullptr || querySegment == nullptr || currentSegment == nullptr) {
        return 0;
    }
    return NamesMatch(*querySegment, *currentSegment) ? 1 : 0;
}

int32_t PredicatesMatch(const ParseContext* context, const TagParts* querySegment,
                        const TagParts* currentSegment) {
    if (context == nullptr || querySegment == nullptr || currentSegment == nullptr) {
        return 0;
    }
    if (querySegment->attributes == nullptr) {
        return currentSegment->attributes == nullptr && currentSegment->attributeCount == 0 &&
                       querySegment->attributeCount == 0
                   ? 1
                   : 0;
    }
    if (currentSegment->attributes == nullptr || querySegment->attributeCount == 0 ||
        currentSegment->attributeCount == 0 || querySegment->attributes[0].name == nullptr ||
        querySegment->attributes[0].nameLength == 0 ||
        currentSegment->attributes[0].name == nullptr ||
        currentSegment->attributes[0].nameLength == 0) {
        return 0;
    }
    int32_t bareHit = 0;
    for (uint32_t q = 0; q < querySegment->attributeCount; ++q) {
        const AttributeSpan& predicate = querySegment->attributes[q];
        bool satisfied = false;
        // The first attribute that satisfies the predicate settles it: a later
        // one could only set bareHit again, which a bare predicate's hit has set.
        for (uint32_t c = 0; !satisfied && c < currentSegment->attributeCount; ++c) {
            const AttributeSpan& attribute = currentSegment->attributes[c];
            if (SameBytes(predicate.name, predicate.nameLength, attribute.name,
                          attribute.nameLength) &&
                PredicateValueMatches(context, &predicate, &attribute, &bareHit) == 1) {
                satisfied = true;
            }
        }
        if (!satisfied) {
            return 0;
        }
    }
    // Without a bare name the predicates must list every attribute.
    return querySegment->attributeCount == currentSegment->attributeCount || bareHit == 1 ? 1 : 0;
}

int32_t PredicateValueMatches(const ParseContext* context, const AttributeSpan* queryPredicate,
                              const AttributeSpan* currentAttribute, int32_t* bareHit) {
    if (context == nullptr || queryPredicate == nullptr || currentAttribute == nullptr ||
        (queryPredicate->value == nullptr && currentAttribute->value == nullptr)) {
        return 0;
    }
    const char* queryInner = nullptr;
    uint64_t queryInnerLength = 0;
    if (TrimQuotedValue(queryPredicate->value, queryPredicate->valueLength, &queryInner,
                        &queryInnerLength) != 1) {
        // A bare name asks only that the attribute be there, with any value.
        if (currentAttribute->value != nullptr && currentAttribute->valueLength != 0) {
            if (bareHit != nullptr) {
                *bareHit = 1;
            }
            return 1;
        }
        return 0;
    }
    const char* currentInner = nullptr;
    uint64_t currentInnerLength = 0;
    if (TrimQuotedValue(currentAttribute->value, currentAttribute->valueLength, &currentInner,
                        &currentInnerLength) != 1 ||
        queryInnerLength == 0 || currentInnerLength == 0) {
        return 0;
    }
    const char* queryPrefix = nullptr;
    uint64_t queryPrefixLength = 0;
    const char* queryLocal = nullptr;
    uint64_t queryLocalLength = 0;
    const char* currentPrefix = nullptr;
    uint64_t currentPrefixLength = 0;
    const char* currentLocal = nullptr;
    uint64_t currentLocalLength = 0;
    SplitPrefix(queryInner, queryInnerLength, &queryPrefix, &queryPrefixLength, &queryLocal,
                &queryLocalLength);
    SplitPrefix(currentInner, currentInnerLength, &currentPrefix, &currentPrefixLength,
                &currentLocal, &currentLocalLength);

    if (!SameBytes(queryPrefix, queryPrefixLength, currentPrefix, currentPrefixLength) &&
        !(queryPrefix == nullptr && currentPrefix == nullptr)) {
        // Only the 2010/05 namespace is interchangeable with no prefix at all.
        if ((context->flags & ParseFlagAnyRoot) != 0) {
            return 0;
        }
        const bool queryAcceptable =
            queryPrefix == nullptr || TablePrefixRow(context, queryPrefix, queryPrefixLength) ==
                                          static_cast<int64_t>(NamespaceEquivalentRow);
        uint64_t row = 0;
        const bool documentAcceptable =
            currentPrefix == nullptr ||
            (FindDocumentPrefix(context, currentPrefix, currentPrefixLength, &row) == 1 &&
             row == NamespaceEquivalentRow);
        if (!queryAcceptable || !documentAcceptable) {
            return 0;
        }
    }
    return queryLocal != nullptr && currentLocal != nullptr &&
                   SameBytes(queryLocal, queryLocalLength, currentLocal, currentLocalLength)
               ? 1
               : 0;
}
