// SPDX-License-Identifier: MIT
// Path text upkeep: currentPath appended to and closed, its segment index and
// the splits of its segments, with document prefixes rewritten.
#include "xmlpath/paths.h"

#include <cstring>

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/paths_internal.h"
#include "xmlpath/text.h"

namespace {

// Copies `length` bytes to `buffer` + `at` (the spans never overlap the
// buffer) and returns the offset after them.
// Names and values are short: up to sixteen bytes take two word copies that
// overlap in the middle.
inline uint64_t CopyInto(char* buffer, uint64_t at, const char* source, uint64_t length) {
    char* to = buffer + at;
    if (length >= 8 && length <= 16) {
        uint64_t first = 0;
        uint64_t last = 0;
        std::memcpy(&first, source, 8);
        std::memcpy(&last, source + length - 8, 8);
        std::memcpy(to, &first, 8);
        std::memcpy(to + length - 8, &last, 8);
    } else if (length >= 4 && length < 8) {
        uint32_t first = 0;
        uint32_t last = 0;
        std::memcpy(&first, source, 4);
        std::memcpy(&last, source + length - 4, 4);
        std::memcpy(to, &first, 4);
        std::memcpy(to + length - 4, &last, 4);
    } else if (length > 16) {
        std::memcpy(to, source, length);
    } else {
        for (uint64_t i = 0; i < length; ++i) {
            to[i] = source[i];
        }
    }
    return at + length;
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
    // The segment array held this segment before, so it has room for it; it
    // is the name as written, for ClosePath.
    index.segments[index.segmentCount++] =
        CurrentSegment{oldLength + 1,          TagParts{}, 0,      index.closedSpaced,
                       index.closedSerial,     name,       length, context->registeredPrefixes};
    index.buffer[oldLength] = '/';
    index.length = oldLength + 1 + index.closedLength;
    index.buffer[index.length] = '\0';
    index.scanned = index.length;
    index.insideQuotes = index.closedQuotesOpen;
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

    const uint32_t segmentsBefore = index.segmentCount;
    const int32_t walked = IndexAppendedText(&index);
    // The last segment keeps its text (serial and split) only when the
    // appended text began with a "/" that started a new segment. The segments
    // before it end at a "/" that lies in the old text.
    if (walked != 0 || index.segmentCount == segmentsBefore ||
        index.segments[segmentsBefore].start != oldLength + 1) {
        if (index.splitCount >= segmentsBefore) {
            index.splitCount = segmentsBefore - 1;
        }
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

int32_t AppendElementName(ParseContext* context, const char* name, uint64_t length) {
    if (context == nullptr || context->currentPath == nullptr ||
        context->registeredPrefixes != 0 || name == nullptr || length == 0) {
        return AppendPath(context, "/", name, length);
    }
    // Without registered prefixes a name is written as it stands, so the check
    // AppendPath would make comes down to the name's bytes.
    PathIndex& index = context->pathIndex;
    const uint64_t oldLength = index.length;
    if (RepeatsClosedSegment(index, oldLength, nullptr, 0, name, length)) {
        return ReopenClosedSegment(context, name, length);
    }
    // A name without quote, "/" or whitespace, appended where the walk has seen
    // everything outside quotes, makes exactly one new segment, as the walk
    // would find it.
    if (index.insideQuotes || index.scanned != oldLength ||
        NextPathByte(name, 0, length) != length) {
        return AppendPath(context, "/", name, length);
    }
    index.closedKept = false;
    int32_t status = ReservePathText(context, oldLength + 1 + length + 1);
    if (status != 0) {
        return status;
    }
    index.buffer[oldLength] = '/';
    index.length = CopyInto(index.buffer, oldLength + 1, name, length);
    index.buffer[index.length] = '\0';
    const uint32_t segmentsBefore = index.segmentCount;
    status = PushSegment(&index, oldLength + 1);
    if (status != 0) {
        return status;
    }
    index.scanned = index.length;
    NoteOpenedName(context, name, length, segmentsBefore, oldLength + 1);
    CurrentSegment& segment = index.segments[segmentsBefore];
    if (index.splitCount == segmentsBefore) {
        // Its split is the name alone, as SplitCurrentSegments would make it.
        const CurrentSegment& parent = index.segments[segmentsBefore - 1];
        segment.firstRow = parent.firstRow + parent.parts.attributeCount;
        segment.parts = TagParts{index.buffer + oldLength + 1, length, nullptr, 0};
        index.splitCount = segmentsBefore + 1;
    }
    // The segment is the name: its bucket key, which the recording asks for
    // next, comes from the bytes at hand.
    context->currentKey = PathBucketKey(index.segmentCount, name, length);
    context->currentKeySerial = segment.serial;
    return 0;
}

bool RepeatableSibling(const ParseContext* context, const char** name, uint64_t* length,
                       uint64_t* serial) {
    const PathIndex& index = context->pathIndex;
    if (context->currentPath == nullptr || context->registeredPrefixes != 0 || !index.closedKept ||
        index.closedSpaced || index.closedQuotesOpen || index.segmentCount == 0 ||
        index.segmentCount != index.closedIndex || index.closedStart != index.length + 1 ||
        index.segments[index.segmentCount - 1].serial != index.closedParentSerial) {
        return false;
    }
    *name = index.buffer + index.closedStart;
    *length = index.closedLength;
    *serial = index.closedSerial;
    return true;
}

namespace {

// NoteTagSplit once the segment's text is known to be the name and the
// attributes as written: the rows are kept when the segments before are split
// and the rows' storage has room.
void KeepTagSplit(ParseContext* context, const char* name, uint64_t nameLength,
                  const AttributeSpan* attributes, uint32_t count) {
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
        uint64_t{firstRow} + count > index.rowCapacity) {
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

}  // namespace

void NoteTagSplit(ParseContext* context, const char* name, uint64_t nameLength,
                  const AttributeSpan* attributes, uint32_t count) {
    if (context == nullptr || context->currentPath == nullptr || context->registeredPrefixes != 0 ||
        name == nullptr || nameLength == 0 || attributes == nullptr || count == 0 ||
        context->pathIndex.segmentCount == 0) {
        return;
    }
    const PathIndex& index = context->pathIndex;
    if (NextPathByte(name, 0, nameLength) != nameLength) {
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
    if (index.length - index.segments[index.segmentCount - 1].start != expected) {
        return;
    }
    KeepTagSplit(context, name, nameLength, attributes, count);
}

int32_t AppendWrittenAttributes(ParseContext* context, const char* name, uint64_t nameLength,
                                const char* text, uint64_t length, const AttributeSpan* rows,
                                uint32_t count) {
    if (context == nullptr || context->currentPath == nullptr || name == nullptr ||
        text == nullptr || rows == nullptr || count == 0) {
        return XmlErrArgument;
    }
    PathIndex& index = context->pathIndex;
    if (context->registeredPrefixes != 0 || index.insideQuotes || index.scanned != index.length) {
        // Not where the walk would leave the text alone: attribute by attribute.
        for (uint32_t a = 0; a < count; ++a) {
            const int32_t status = AppendAttribute(context, rows[a]);
            if (status != 0) {
                return status;
            }
        }
        NoteTagSplit(context, name, nameLength, rows, count);
        return 0;
    }
    index.closedKept = false;
    const uint64_t oldLength = index.length;
    // The path grows as it would attribute by attribute, so that its storage
    // is allocated at the same sizes.
    for (uint32_t a = 0; a < count; ++a) {
        const auto end = static_cast<uint64_t>(rows[a].value + rows[a].valueLength - text);
        const int32_t status = ReservePathText(context, oldLength + end + 1);
        if (status != 0) {
            return status;
        }
    }
    index.length = CopyInto(index.buffer, oldLength, text, length);
    index.buffer[index.length] = '\0';
    if (index.splitCount >= index.segmentCount) {
        index.splitCount = index.segmentCount - 1;
    }
    // The segment holds whitespace, its text grew, and the walk has seen it all
    // (every quote closed, no "/" outside them).
    CurrentSegment& segment = index.segments[index.segmentCount - 1];
    segment.serial = ++index.lastSerial;
    segment.spaced = true;
    index.scanned = index.length;
    KeepTagSplit(context, name, nameLength, rows, count);
    if (segment.documentName == name && segment.documentNameLength == nameLength) {
        // The name begins the segment and ends at its first whitespace.
        context->currentKey = PathBucketKey(index.segmentCount, name, nameLength);
        context->currentKeySerial = segment.serial;
    }
    return 0;
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

namespace {

// Drops "/" and the last segment; the segments before it and their splits stay,
// and the walk of the new last segment has reached that "/", outside quotes.
// The segment's bytes stay in the buffer for a sibling that repeats them.
inline void DropLastSegment(PathIndex& index) {
    const uint32_t last = index.segmentCount - 1;
    const CurrentSegment& segment = index.segments[last];
    index.closedKept = true;
    index.closedSpaced = segment.spaced;
    index.closedQuotesOpen = index.insideQuotes;
    index.closedIndex = last;
    index.closedStart = segment.start;
    index.closedLength = index.length - segment.start;
    index.closedSerial = segment.serial;
    index.closedParentSerial = index.segments[last - 1].serial;
    index.length = segment.start - 1;
    index.buffer[index.length] = '\0';
    index.scanned = index.length;
    index.insideQuotes = false;
    index.segmentCount = last;
    if (index.splitCount > last) {
        index.splitCount = last;
    }
}

// ClosePath for an end tag that does not repeat its start tag's name as it
// stands, and for the root.
[[gnu::noinline]] int32_t CloseByComparison(ParseContext* context, const char* name, uint64_t length) {
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
    // The start tag's name holds no whitespace, so an end tag of the same
    // length names it exactly when the bytes are equal.
    const bool sameAsOpened =
        open.documentName != nullptr && open.registeredAtOpen == context->registeredPrefixes &&
        (open.documentNameLength == length
             ? SameBytes(open.documentName, length, name, length)
             : SameBytes(open.documentName, open.documentNameLength, name,
                         WordLength(name, length)));

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

    DropLastSegment(index);
    return 0;
}

}  // namespace

int32_t ClosePath(ParseContext* context, const char* name, uint64_t length) {
    if (name == nullptr || length == 0 || context == nullptr || context->currentPath == nullptr) {
        return XmlErrArgument;
    }
    // The usual end tag of an inner element: the start tag's name, under the
    // same prefixes, so rewritten the same way.
    PathIndex& index = context->pathIndex;
    const CurrentSegment& open = index.segments[index.segmentCount - 1];
    if (open.start != 0 && open.documentName != nullptr && open.documentNameLength == length &&
        length <= 32 && open.registeredAtOpen == context->registeredPrefixes &&
        SameBytes(open.documentName, length, name, length)) {
        DropLastSegment(index);
        return 0;
    }
    return CloseByComparison(context, name, length);
}
