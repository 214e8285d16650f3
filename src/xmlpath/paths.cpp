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
        CurrentSegment{oldLength + 1,      TagParts{}, 0,      index.closedSpaced,
                       index.closedSerial, name,       length, context->registeredPrefixes};
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
    if (context == nullptr || context->currentPath == nullptr || context->registeredPrefixes != 0 ||
        name == nullptr || length == 0) {
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
[[gnu::noinline]] int32_t CloseByComparison(ParseContext* context, const char* name,
                                            uint64_t length) {
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
        (open.documentNameLength == length ? SameBytes(open.documentName, length, name, length)
                                           : SameBytes(open.documentName, open.documentNameLength,
                                                       name, WordLength(name, length)));

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
