// SPDX-License-Identifier: MIT
// The working state of one run: laid out in one block (the query's run room
// or an allocation), with every query path split once and the matchers
// chained by bucket; and its release.
#include <cstring>

#include "runtime/memory.h"
#include "xmlpath/matcher.h"
#include "xmlpath/paths.h"

namespace {

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
