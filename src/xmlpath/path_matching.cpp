// SPDX-License-Identifier: MIT
// Path matching: query paths split into segments and predicates, and compared
// with the splits of currentPath's segments.
#include "xmlpath/paths.h"

#include <cstring>

#include "xmlpath/paths_internal.h"
#include "xmlpath/text.h"

namespace {

// SameSegmentName, inline for PathMatches.
inline bool NamesMatch(const TagParts& query, const TagParts& current) {
    return query.name != nullptr && current.name != nullptr && query.nameLength != 0 &&
           SameBytes(query.name, query.nameLength, current.name, current.nameLength);
}

// Bytes of current segment k, up to the "/" that follows it or the end.
uint64_t CurrentSegmentLength(const PathIndex& index, uint32_t k) {
    const uint64_t end =
        k + 1 < index.segmentCount ? index.segments[k + 1].start - 1 : index.length;
    return end - index.segments[k].start;
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
    uint32_t verified = 0;
    if (StillHolds(context, matcher.verifiedDepth, matcher.verifiedSerial,
                   matcher.verifiedPrefixes)) {
        verified = matcher.verifiedDepth;
    } else if (matcher.verifiedDepth == count && count >= 2 &&
               StillHolds(context, count - 1, matcher.verifiedParentSerial,
                          matcher.verifiedPrefixes)) {
        verified = count - 1;  // a sibling of the element that matched
    }
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
    matcher.verifiedParentSerial = count >= 2 ? index.segments[count - 2].serial : 0;
    matcher.verifiedPrefixes = context->registeredPrefixes;
    return 1;
}

}  // namespace

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
