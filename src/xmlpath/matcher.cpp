// SPDX-License-Identifier: MIT
// Match recording: the run's working state, the three recording operations and
// the hand-back of results.
#include "xmlpath/matcher.h"

#include <cstring>

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/paths.h"
#include "xmlpath/text.h"

namespace {

// Appends one record, moving the records to an array twice as large when
// they fill the one they are in. Unless the run keeps every record, the
// second slot holds the latest record after the first, so a query's memory
// does not grow with the number of matches.
inline int32_t AppendRecord(const ParseContext* context, PathMatcher* matcher, uint32_t element,
                            uint64_t offset, uint64_t length, int32_t kind) {
    if (!context->keepEveryRecord && matcher->matchCount == InlineMatchRecords) {
        matcher->matches[InlineMatchRecords - 1] = MatchRecord{element, offset, length, kind};
        return 0;
    }
    if (matcher->matchCount == matcher->matchCapacity) {
        const uint64_t capacity =
            matcher->matchCapacity < InlineMatchRecords ? 4 : uint64_t{matcher->matchCapacity} * 2;
        if (capacity > UINT32_MAX) {
            return XmlErrNoMemory;
        }
        auto* grown = static_cast<MatchRecord*>(AllocBytes(capacity * sizeof(MatchRecord)));
        if (grown == nullptr) {
            return XmlErrNoMemory;
        }
        MoveBytes(matcher->matches, grown, uint64_t{matcher->matchCount} * sizeof(MatchRecord));
        if (matcher->matchCapacity > InlineMatchRecords) {
            FreeMemory(matcher->matches);
        }
        matcher->matches = grown;
        matcher->matchCapacity = static_cast<uint32_t>(capacity);
    }
    matcher->matches[matcher->matchCount] = MatchRecord{element, offset, length, kind};
    ++matcher->matchCount;
    return 0;
}

void ReleaseRecords(PathMatcher* matcher) {
    if (matcher->matchCapacity > InlineMatchRecords) {
        FreeMemory(matcher->matches);
    }
    matcher->matches = nullptr;
    matcher->matchCount = 0;
    matcher->matchCapacity = 0;
}

// Records are made in document order with the element counter at the time, so
// a record of the current (highest-numbered) element can only be the last.
bool HasRecordOf(const PathMatcher& matcher, uint32_t element) {
    return matcher.matchCount > 0 && matcher.matches[matcher.matchCount - 1].element == element;
}

bool Recordable(const ParseContext* context) {
    return context != nullptr && context->matcherCount != 0 && context->matchers != nullptr;
}

// The first matcher that currentPath may satisfy, in entry order; follow with
// NextCandidate. Only matchers of the same depth and last element name can be
// satisfied, and only they are chained under that key. A matcher that is never
// asked keeps status 0, which reports as MatchMissing just as the status the
// question would have given it.
uint64_t DepthBit(uint32_t depth) {
    return uint64_t{1} << (depth < 63 ? depth : 63);
}

uint32_t FirstCandidate(ParseContext* context, uint64_t* key) {
    if (context->currentPath == nullptr || context->bucketHeads == nullptr ||
        (context->matcherDepths & DepthBit(context->pathIndex.segmentCount)) == 0) {
        return NoMatcher;
    }
    *key = CurrentPathBucketKey(context);
    return context->bucketHeads[*key & context->bucketMask];
}

uint32_t NextCandidate(const ParseContext* context, uint32_t i) {
    return context->matchers[i].nextInBucket;
}

// From candidate *i on: the first matcher of the kind `isAttribute` that
// currentPath satisfies, left in *i. 1 when one is found, 0 at the end of the
// chain, or the failure status of PathMatches.
int32_t NextSatisfied(ParseContext* context, uint64_t key, uint32_t isAttribute, uint32_t* i) {
    for (; *i != NoMatcher; *i = NextCandidate(context, *i)) {
        const PathMatcher& matcher = context->matchers[*i];
        if (matcher.isAttribute != isAttribute || matcher.bucketKey != key) {
            continue;
        }
        const int32_t verdict = PathMatches(context, *i);
        if (verdict != 0) {
            return verdict;
        }
    }
    return 0;
}

// The serial of currentPath's last segment, or 0 when no element is open.
uint64_t CurrentSerial(const ParseContext* context) {
    const PathIndex& index = context->pathIndex;
    return context->currentPath != nullptr && index.segmentCount > 0
               ? index.segments[index.segmentCount - 1].serial
               : 0;
}

// The element matchers that currentPath satisfies, as learnt for its present
// state; false when nothing is learnt for it.
bool KnownSatisfiedElements(const ParseContext* context, uint64_t* satisfied) {
    const uint64_t serial = CurrentSerial(context);
    if (serial == 0 || context->satisfiedSerial != serial ||
        context->satisfiedPrefixes != context->registeredPrefixes) {
        return false;
    }
    *satisfied = context->satisfiedElements;
    return true;
}

// As KnownSatisfiedElements, asking every candidate in entry order when
// nothing is learnt yet, as a text run does anyway: 1 with the matchers in
// *satisfied; 0 (nothing learnt) for a run of more than 64 paths or no open
// element; or the failure of a question, with the matchers satisfied before
// it in *satisfied.
int32_t LearnSatisfiedElements(ParseContext* context, uint64_t* satisfied) {
    if (KnownSatisfiedElements(context, satisfied)) {
        return 1;
    }
    const uint64_t serial = CurrentSerial(context);
    if (serial == 0 || context->matcherCount > 64) {
        return 0;
    }
    uint64_t key = 0;
    uint64_t found = 0;
    for (uint32_t i = FirstCandidate(context, &key); i != NoMatcher; i = NextCandidate(context, i)) {
        const PathMatcher& matcher = context->matchers[i];
        if (matcher.isAttribute != 0 || matcher.bucketKey != key) {
            continue;
        }
        const int32_t verdict = PathMatches(context, i);
        if (verdict < 0) {
            *satisfied = found;
            return verdict;
        }
        if (verdict == 1) {
            found |= uint64_t{1} << i;
        }
    }
    context->satisfiedElements = found;
    context->satisfiedSerial = serial;
    context->satisfiedPrefixes = context->registeredPrefixes;
    *satisfied = found;
    return 1;
}

// A MatchFound record of the current element; the matcher's status follows.
int32_t RecordFound(ParseContext* context, PathMatcher* matcher, uint64_t offset, uint64_t length) {
    const int32_t status =
        AppendRecord(context, matcher, context->elementCounter, offset, length, MatchFound);
    if (status == 0) {
        matcher->status = MatchFound;
    }
    return status;
}

// The path of entry or row i, absent when it has none or an empty one.
const char* RowPath(const XmlQuery* query, const MultiQuery* multiQuery, uint32_t i,
                    uint64_t* pathLength) {
    *pathLength = query != nullptr ? query->entries[i].pathLength : multiQuery->rows[i].pathLength;
    const char* path = query != nullptr ? query->entries[i].path : multiQuery->rows[i].path;
    return *pathLength != 0 ? path : nullptr;
}

// Room on the stack for splitting the paths of a typical request before the
// run's block is sized.
constexpr uint32_t ScratchPaths = 16;
constexpr uint64_t ScratchSegments = 64;
constexpr uint64_t ScratchRows = 32;

// Where each part of a run's block lies, as byte offsets from its start.
struct RunLayout {
    uint64_t cursor;
    uint64_t table;
    uint64_t matchers;
    uint64_t segments;
    uint64_t rows;
    uint64_t records;
    uint64_t pathBuffer;
    uint64_t pathSegments;
    uint64_t pathRows;
    uint64_t buckets;
    uint64_t size;
};

// Twice as many buckets as matchers, at least four.
uint64_t BucketCount(uint64_t matcherCount) {
    uint64_t count = 4;
    while (count < matcherCount * 2) {
        count *= 2;
    }
    return count;
}

RunLayout LayOut(uint64_t matcherCount, uint64_t segmentCount, uint64_t rowCount,
                 uint64_t bucketCount) {
    RunLayout layout{};
    uint64_t at = AlignedSize(sizeof(ParseContext));
    layout.cursor = at;
    at += AlignedSize(sizeof(TextCursor));
    layout.table = at;
    at += AlignedSize(sizeof(NamespaceTable));
    layout.matchers = at;
    at += AlignedSize(matcherCount * sizeof(PathMatcher));
    layout.segments = at;
    at += AlignedSize(segmentCount * sizeof(QuerySegment));
    layout.rows = at;
    at += AlignedSize(rowCount * sizeof(AttributeSpan));
    layout.records = at;
    at += AlignedSize(matcherCount * InlineMatchRecords * sizeof(MatchRecord));
    layout.pathBuffer = at;
    at += AlignedSize(InitialPathCapacity);
    layout.pathSegments = at;
    at += AlignedSize(InitialPathSegments * sizeof(CurrentSegment));
    layout.pathRows = at;
    at += AlignedSize(InitialPathRows * sizeof(AttributeSpan));
    layout.buckets = at;
    at += AlignedSize(bucketCount * sizeof(uint32_t));
    layout.size = at;
    return layout;
}

}  // namespace

uint64_t RunBlockSize(uint32_t matcherCount, uint64_t segments, uint64_t rows) {
    return LayOut(matcherCount, segments, rows, BucketCount(matcherCount)).size;
}

int32_t CreateParseContext(ParseContext** contextOut, int32_t flags, XmlQuery* query,
                           MultiQuery* multiQuery) {
    if (contextOut == nullptr || (query == nullptr) == (multiQuery == nullptr)) {
        return XmlErrArgument;
    }
    // Only the first row must have a path; later rows without one are reported
    // as XmlErrEmptyPath.
    const char* text = nullptr;
    uint64_t length = 0;
    uint32_t rowCount = 0;
    bool wellFormed = false;
    if (query != nullptr) {
        wellFormed = query->document != nullptr && query->documentLength != 0 &&
                     query->entryCount > 0 && query->entries != nullptr &&
                     query->entries[0].path != nullptr && query->entries[0].pathLength != 0;
        if (wellFormed) {
            text = query->document;
            length = query->documentLength;
            rowCount = static_cast<uint32_t>(query->entryCount);
        }
    } else {
        wellFormed = multiQuery->text != nullptr && multiQuery->length != 0 &&
                     multiQuery->rowCount != 0 && multiQuery->rows != nullptr &&
                     multiQuery->rows[0].path != nullptr && multiQuery->rows[0].pathLength != 0;
        if (wellFormed) {
            text = multiQuery->text;
            length = multiQuery->length;
            rowCount = multiQuery->rowCount;
        }
    }
    // One block holds the whole run: the query's run room, or an allocation.
    // The paths are split first into room on the stack, which gives the exact
    // size; a request too large for it is sized by bounds and split into the block.
    char* const room = query != nullptr ? query->runRoom : nullptr;
    QuerySegment scratchSegments[ScratchSegments];
    AttributeSpan scratchRows[ScratchRows];
    uint32_t scratchSegmentCounts[ScratchPaths];
    uint64_t scratchRowCounts[ScratchPaths];
    bool scratched = wellFormed && rowCount <= ScratchPaths;
    // A room CreateQuery has just made (zero-filled, laid out for its own
    // segment and row counts) takes the splits directly, without a copy or a
    // second clear, when they fit both it and the stack's room: the run then
    // uses the room exactly when the splits on the stack would have led to it.
    QuerySegment* splitSegments = scratchSegments;
    AttributeSpan* splitRows = scratchRows;
    uint64_t segmentRoom = ScratchSegments;
    uint64_t rowRoom = ScratchRows;
    RunLayout roomLayout{};
    bool splitInRoom = false;
    if (scratched && room != nullptr && query->runRoomClean) {
        query->runRoomClean = false;
        const uint64_t roomSegments = uint64_t{RoomSegmentsPerPath} * rowCount;
        const uint64_t roomRows = uint64_t{RoomRowsPerPath} * rowCount;
        roomLayout = LayOut(rowCount, roomSegments, roomRows, BucketCount(rowCount));
        if (roomLayout.size <= query->runRoomSize) {
            splitInRoom = true;
            splitSegments = reinterpret_cast<QuerySegment*>(room + roomLayout.segments);
            splitRows = reinterpret_cast<AttributeSpan*>(room + roomLayout.rows);
            segmentRoom = roomSegments < ScratchSegments ? roomSegments : ScratchSegments;
            rowRoom = roomRows < ScratchRows ? roomRows : ScratchRows;
        }
    }
    uint64_t segmentTotal = 0;
    uint64_t rowTotal = 0;
    // Splits every path into the arrays given, with the room given: false
    // when they do not fit.
    const auto splitAll = [&](QuerySegment* segments, AttributeSpan* rows, uint64_t segmentRoom,
                              uint64_t rowRoom) {
        segmentTotal = 0;
        rowTotal = 0;
        for (uint32_t i = 0; i < rowCount; ++i) {
            uint64_t pathLength = 0;
            const char* path = RowPath(query, multiQuery, i, &pathLength);
            scratchSegmentCounts[i] = 0;
            scratchRowCounts[i] = 0;
            if (path == nullptr) {
                continue;
            }
            if (SplitQueryPath(path, pathLength, segments + segmentTotal,
                               segmentRoom - segmentTotal, rows + rowTotal, rowRoom - rowTotal,
                               &scratchSegmentCounts[i], &scratchRowCounts[i]) != 1) {
                return false;
            }
            segmentTotal += scratchSegmentCounts[i];
            rowTotal += scratchRowCounts[i];
        }
        return true;
    };
    if (splitInRoom && !splitAll(splitSegments, splitRows, segmentRoom, rowRoom)) {
        splitInRoom = false;  // too large for the room's share: the stack, as for any run
    }
    if (scratched && !splitInRoom) {
        scratched = splitAll(scratchSegments, scratchRows, ScratchSegments, ScratchRows);
    }
    if (!scratched) {
        segmentTotal = 0;
        rowTotal = 0;
        for (uint32_t i = 0; i < rowCount; ++i) {
            uint64_t pathLength = 0;
            const char* path = RowPath(query, multiQuery, i, &pathLength);
            if (path != nullptr) {
                uint64_t segments = 0;
                uint64_t rows = 0;
                QueryPathBounds(path, pathLength, &segments, &rows);
                segmentTotal += segments;
                rowTotal += rows;
            }
        }
    }
    const RunLayout layout =
        splitInRoom ? roomLayout : LayOut(rowCount, segmentTotal, rowTotal, BucketCount(rowCount));
    const bool inQueryRoom = room != nullptr && layout.size <= query->runRoomSize;
    char* block = room;
    if (splitInRoom) {
        // Zero-filled by CreateQuery but for the splits just written.
    } else if (inQueryRoom) {
        std::memset(block, 0, layout.size);
    } else {
        block = static_cast<char*>(AllocBytes(layout.size));
        if (block == nullptr) {
            return XmlErrNoMemory;  // also for a malformed request: memory is checked first
        }
    }
    auto* context = reinterpret_cast<ParseContext*>(block);
    if (!wellFormed) {
        if (!inQueryRoom) {
            FreeMemory(block);
        }
        return XmlErrArgument;
    }
    context->inQueryRoom = inQueryRoom;
    const uint64_t bucketCount = BucketCount(rowCount);
    context->flags = flags;
    context->keepEveryRecord = multiQuery != nullptr;
    context->elementCounter = 0;
    context->currentPath = nullptr;
    context->cursor = reinterpret_cast<TextCursor*>(block + layout.cursor);
    context->cursor->text = text;
    context->cursor->length = length;
    context->namespaces = reinterpret_cast<NamespaceEntry*>(block + layout.table);
    std::memcpy(context->namespaces, NamespaceTable, sizeof(NamespaceTable));
    PathIndex& index = context->pathIndex;
    index.bufferStorage = block + layout.pathBuffer;
    index.segmentStorage = reinterpret_cast<CurrentSegment*>(block + layout.pathSegments);
    index.rowStorage = reinterpret_cast<AttributeSpan*>(block + layout.pathRows);
    ReleaseCurrentPath(context);  // sets the arrays to the block's storage

    context->matchers = reinterpret_cast<PathMatcher*>(block + layout.matchers);
    context->matcherCount = rowCount;
    auto* segments = reinterpret_cast<QuerySegment*>(block + layout.segments);
    auto* rows = reinterpret_cast<AttributeSpan*>(block + layout.rows);
    if (scratched && !splitInRoom) {
        for (uint64_t r = 0; r < rowTotal; ++r) {
            rows[r] = scratchRows[r];
        }
        for (uint64_t k = 0; k < segmentTotal; ++k) {
            segments[k] = scratchSegments[k];
            if (segments[k].attributes != nullptr) {
                segments[k].attributes = rows + (scratchSegments[k].attributes - scratchRows);
            }
        }
    }
    AttributeSpan* const firstRow = rows;
    QuerySegment* const firstSegment = segments;
    auto* records = reinterpret_cast<MatchRecord*>(block + layout.records);
    for (uint32_t i = 0; i < rowCount; ++i) {
        PathMatcher& matcher = context->matchers[i];
        matcher.matches = records + uint64_t{i} * InlineMatchRecords;
        matcher.matchCapacity = InlineMatchRecords;
        matcher.path = RowPath(query, multiQuery, i, &matcher.pathLength);
        if (matcher.path == nullptr) {
            matcher.pathLength = 0;
            matcher.status = XmlErrEmptyPath;
            continue;
        }
        uint64_t usedRows = 0;
        if (scratched) {
            matcher.segmentCount = scratchSegmentCounts[i];
            usedRows = scratchRowCounts[i];
        } else {
            SplitQueryPath(matcher.path, matcher.pathLength, segments,
                           segmentTotal - uint64_t(segments - firstSegment), rows,
                           rowTotal - uint64_t(rows - firstRow), &matcher.segmentCount, &usedRows);
        }
        matcher.segments = segments;
        segments += matcher.segmentCount;
        rows += usedRows;
        const char* attributeName = nullptr;
        uint64_t attributeNameLength = 0;
        const int32_t kind = SetupMatcher(&matcher, &attributeName, &attributeNameLength);
        matcher.isAttribute = static_cast<uint32_t>(kind);
        matcher.attributeName = kind == 1 ? attributeName : nullptr;
        matcher.attributeNameLength = kind == 1 ? attributeNameLength : 0;
    }
    // Chains in entry order, built from the last matcher back. A matcher whose
    // path ends in an empty remainder or an empty name is never satisfied.
    context->bucketHeads = reinterpret_cast<uint32_t*>(block + layout.buckets);
    context->bucketMask = bucketCount - 1;
    for (uint64_t b = 0; b < bucketCount; ++b) {
        context->bucketHeads[b] = NoMatcher;
    }
    for (uint32_t i = rowCount; i-- > 0;) {
        PathMatcher& matcher = context->matchers[i];
        matcher.nextInBucket = NoMatcher;
        if (matcher.path == nullptr || matcher.segmentCount == 0) {
            continue;
        }
        const QuerySegment& last = matcher.segments[matcher.segmentCount - 1];
        if (last.name == nullptr || last.nameLength == 0) {
            continue;
        }
        matcher.bucketKey = PathBucketKey(matcher.segmentCount, last.name, last.nameLength);
        context->matcherDepths |= DepthBit(matcher.segmentCount);
        uint32_t& head = context->bucketHeads[matcher.bucketKey & context->bucketMask];
        matcher.nextInBucket = head;
        head = i;
    }
    *contextOut = context;
    return 0;
}

int32_t SetupMatcher(const PathMatcher* matcher, const char** attributeName,
                     uint64_t* attributeNameLength) {
    if (matcher == nullptr || matcher->path == nullptr || matcher->pathLength == 0 ||
        matcher->segments == nullptr || matcher->segmentCount == 0) {
        return 0;
    }
    const QuerySegment& last = matcher->segments[matcher->segmentCount - 1];
    if (last.attributes == nullptr) {
        return 0;
    }
    int32_t found = 0;
    for (uint32_t i = 0; i < last.attributeCount; ++i) {
        const AttributeSpan& row = last.attributes[i];
        if (row.name != nullptr && row.value == nullptr) {
            if (attributeName != nullptr && attributeNameLength != nullptr) {
                *attributeName = row.name;
                *attributeNameLength = row.nameLength;
            }
            found = 1;
        }
    }
    return found;
}

void DestroyParseContext(ParseContext* context) {
    if (context == nullptr) {
        return;
    }
    if (context->matchers != nullptr) {
        // Records not handed back (a run that never stored results) go too.
        for (uint32_t i = 0; i < context->matcherCount; ++i) {
            ReleaseRecords(&context->matchers[i]);
        }
    }
    ReleaseCurrentPath(context);
    FreeMemory(context->tagRows);
    if (!context->inQueryRoom) {
        FreeMemory(context);  // the block that holds the rest
    }
}

int32_t RecordText(ParseContext* context, uint64_t offset, uint64_t length) {
    if (!Recordable(context) || offset == 0 || length == 0) {
        return XmlErrArgument;
    }
    uint64_t satisfied = 0;
    const int32_t learnt = LearnSatisfiedElements(context, &satisfied);
    if (learnt != 0) {
        // A failed question ends the text run after the matchers before it.
        for (; satisfied != 0; satisfied &= satisfied - 1) {
            const auto i = static_cast<uint32_t>(__builtin_ctzll(satisfied));
            const int32_t status = RecordFound(context, &context->matchers[i], offset, length);
            if (status != 0) {
                return status;
            }
        }
        return learnt < 0 ? learnt : 0;
    }
    uint64_t key = 0;
    uint32_t i = FirstCandidate(context, &key);
    int32_t found = 0;
    while ((found = NextSatisfied(context, key, 0, &i)) == 1) {
        const int32_t status = RecordFound(context, &context->matchers[i], offset, length);
        if (status != 0) {
            return status;
        }
        i = NextCandidate(context, i);
    }
    return found;
}

bool KnowsSatisfiedElements(const ParseContext* context, uint64_t serial) {
    return serial != 0 && context->satisfiedSerial == serial &&
           context->satisfiedPrefixes == context->registeredPrefixes;
}

int32_t RecordRepeatedText(ParseContext* context, uint64_t offset, uint64_t length) {
    if (!Recordable(context) || offset == 0 || length == 0) {
        return XmlErrArgument;
    }
    for (uint64_t satisfied = context->satisfiedElements; satisfied != 0;
         satisfied &= satisfied - 1) {
        const auto i = static_cast<uint32_t>(__builtin_ctzll(satisfied));
        const int32_t status = RecordFound(context, &context->matchers[i], offset, length);
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

int32_t RecordAttributeValues(ParseContext* context, const AttributeSpan* attributes,
                              uint32_t count) {
    if (!Recordable(context) || attributes == nullptr || count == 0 || context->cursor == nullptr) {
        return XmlErrArgument;
    }
    uint64_t key = 0;
    uint32_t i = FirstCandidate(context, &key);
    int32_t found = 0;
    while ((found = NextSatisfied(context, key, 1, &i)) == 1) {
        PathMatcher& matcher = context->matchers[i];
        // Names as written in the tag; a later attribute of the name wins.
        uint64_t offset = 0;
        uint64_t length = 0;
        for (uint32_t a = 0; a < count; ++a) {
            const AttributeSpan& attribute = attributes[a];
            if (attribute.nameLength == matcher.attributeNameLength &&
                BytesEqual(attribute.name, matcher.attributeName, attribute.nameLength) == 1) {
                offset = static_cast<uint64_t>(attribute.value - context->cursor->text);
                length = attribute.valueLength;
            }
        }
        const int32_t status = RecordFound(context, &matcher, offset, length);
        if (status != 0) {
            return status;
        }
        i = NextCandidate(context, i);
    }
    return found;
}

int32_t RecordEmptyElement(ParseContext* context, uint64_t offset, int32_t kind) {
    if (!Recordable(context)) {
        return XmlErrArgument;
    }
    const int32_t markerKind = kind == 1 ? MatchSelfClosing : MatchEmptyPair;
    uint64_t satisfied = 0;
    if (KnownSatisfiedElements(context, &satisfied)) {
        for (; satisfied != 0; satisfied &= satisfied - 1) {
            const auto i = static_cast<uint32_t>(__builtin_ctzll(satisfied));
            PathMatcher& matcher = context->matchers[i];
            if (!HasRecordOf(matcher, context->elementCounter)) {
                return AppendRecord(context, &matcher, context->elementCounter, offset, 0,
                                    markerKind);
            }
        }
        return 0;
    }
    uint64_t key = 0;
    for (uint32_t i = FirstCandidate(context, &key); i != NoMatcher; i = NextCandidate(context, i)) {
        PathMatcher& matcher = context->matchers[i];
        if (matcher.isAttribute == 1 || matcher.bucketKey != key ||
            HasRecordOf(matcher, context->elementCounter)) {
            continue;
        }
        const int32_t verdict = PathMatches(context, i);
        if (verdict < 0) {
            return verdict;
        }
        if (verdict != 1) {
            continue;
        }
        // One marker per element: the first qualifying matcher in entry order.
        return AppendRecord(context, &matcher, context->elementCounter, offset, 0, markerKind);
    }
    return 0;
}

int32_t StoreResults(ParseContext* context, XmlQuery* query, MultiQuery* multiQuery) {
    if ((query == nullptr) == (multiQuery == nullptr) || context == nullptr ||
        context->cursor == nullptr || context->matcherCount == 0 || context->matchers == nullptr) {
        return XmlErrArgument;
    }
    if (query != nullptr) {
        if (query->entries == nullptr) {
            return XmlErrArgument;
        }
        query->scanEnd = context->cursor->position;
        const uint32_t rows = query->entryCount > 0 ? static_cast<uint32_t>(query->entryCount) : 0;
        for (uint32_t i = 0; i < context->matcherCount && i < rows; ++i) {
            PathMatcher& matcher = context->matchers[i];
            QueryEntry& entry = query->entries[i];
            if (matcher.matchCount > 0) {
                entry.matchOffset = matcher.matches[0].offset;
                entry.matchLength = matcher.matches[0].length;
                entry.status = matcher.matches[0].kind;
                ReleaseRecords(&matcher);
            } else {
                entry.matchOffset = 0;
                entry.matchLength = 0;
                entry.status = matcher.status != 0 ? matcher.status : MatchMissing;
            }
        }
        return 0;
    }

    if (multiQuery->rows == nullptr) {
        return XmlErrArgument;
    }
    multiQuery->scanEnd = context->cursor->position;
    int32_t result = 0;
    for (uint32_t i = 0; i < context->matcherCount && i < multiQuery->rowCount; ++i) {
        PathMatcher& matcher = context->matchers[i];
        MultiQueryRow& row = multiQuery->rows[i];
        row.results = nullptr;
        row.resultCount = 0;
        if (matcher.matchCount == 0) {
            row.status = MatchMissing;
            continue;
        }
        row.results = static_cast<MultiQueryMatch*>(
            AllocBytes(uint64_t{matcher.matchCount} * sizeof(MultiQueryMatch)));
        if (row.results == nullptr) {
            row.status = XmlErrNoMemory;
            result = XmlErrNoMemory;
        } else {
            row.resultCount = matcher.matchCount;
            row.status = matcher.matches[0].kind;
            for (uint32_t r = 0; r < matcher.matchCount; ++r) {
                row.results[r] =
                    MultiQueryMatch{matcher.matches[r].offset, matcher.matches[r].length};
                if (matcher.matches[r].offset != 0 && matcher.matches[r].length != 0) {
                    row.status = MatchFound;
                }
            }
        }
        ReleaseRecords(&matcher);
    }
    return result;
}
