// SPDX-License-Identifier: MIT
// Match recording: the three recording operations and the hand-back of
// results.
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

}  // namespace

void ReleaseRecords(PathMatcher* matcher) {
    if (matcher->matchCapacity > InlineMatchRecords) {
        FreeMemory(matcher->matches);
    }
    matcher->matches = nullptr;
    matcher->matchCount = 0;
    matcher->matchCapacity = 0;
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

namespace {

// RecordEmptyElement when what the current path satisfies is not known: the
// candidates are asked in entry order.
[[gnu::noinline]] int32_t RecordEmptyByQuestions(ParseContext* context, uint64_t offset,
                                                 int32_t markerKind) {
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

}  // namespace

int32_t RecordEmptyElement(ParseContext* context, uint64_t offset, int32_t kind) {
    if (!Recordable(context)) {
        return XmlErrArgument;
    }
    const int32_t markerKind = kind == 1 ? MatchSelfClosing : MatchEmptyPair;
    uint64_t satisfied = 0;
    if (!KnownSatisfiedElements(context, &satisfied)) {
        return RecordEmptyByQuestions(context, offset, markerKind);
    }
    for (; satisfied != 0; satisfied &= satisfied - 1) {
        const auto i = static_cast<uint32_t>(__builtin_ctzll(satisfied));
        PathMatcher& matcher = context->matchers[i];
        if (!HasRecordOf(matcher, context->elementCounter)) {
            return AppendRecord(context, &matcher, context->elementCounter, offset, 0, markerKind);
        }
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
