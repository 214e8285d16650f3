// Match recording: the run's working state, the three recording operations and
// the hand-back of results.
#include "xmlpath/matcher.h"

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/paths.h"
#include "xmlpath/text.h"

namespace {

int32_t AppendRecord(PathMatcher* matcher, uint32_t element, uint64_t offset, uint64_t length,
                     int32_t kind) {
    auto* grown = static_cast<MatchRecord*>(
        AllocZeroed((uint64_t{matcher->matchCount} + 1) * sizeof(MatchRecord)));
    if (grown == nullptr) {
        return XmlErrNoMemory;
    }
    MoveBytes(matcher->matches, grown, uint64_t{matcher->matchCount} * sizeof(MatchRecord));
    FreeMemory(matcher->matches);
    matcher->matches = grown;
    grown[matcher->matchCount] = MatchRecord{element, offset, length, kind};
    ++matcher->matchCount;
    return 0;
}

bool HasRecordOf(const PathMatcher& matcher, uint32_t element) {
    for (uint32_t r = 0; r < matcher.matchCount; ++r) {
        if (matcher.matches[r].element == element) {
            return true;
        }
    }
    return false;
}

bool Recordable(const ParseContext* context) {
    return context != nullptr && context->matcherCount != 0 && context->matchers != nullptr;
}

// Whether matcher i, when of the kind `isAttribute`, is satisfied at the current
// position: 1, 0, or XmlErrNoMemory. A matcher without a path is marked
// XmlErrEmptyPath; one not satisfied is marked MatchMissing unless it has a status.
int32_t Satisfied(ParseContext* context, uint32_t i, uint32_t isAttribute) {
    PathMatcher& matcher = context->matchers[i];
    if (matcher.path == nullptr) {
        matcher.status = XmlErrEmptyPath;
        return 0;
    }
    if (matcher.isAttribute != isAttribute) {
        return 0;
    }
    const int32_t verdict = PathMatches(context, i);
    if (verdict == 0 && matcher.status == 0) {
        matcher.status = MatchMissing;
    }
    return verdict;
}

// A MatchFound record of the current element; the matcher's status follows.
int32_t RecordFound(ParseContext* context, PathMatcher* matcher, uint64_t offset, uint64_t length) {
    const int32_t status =
        AppendRecord(matcher, context->elementCounter, offset, length, MatchFound);
    if (status == 0) {
        matcher->status = MatchFound;
    }
    return status;
}

}  // namespace

int32_t CreateParseContext(ParseContext** contextOut, int32_t flags, XmlQuery* query,
                           MultiQuery* multiQuery) {
    if (contextOut == nullptr || (query == nullptr) == (multiQuery == nullptr)) {
        return XmlErrArgument;
    }
    auto* context = static_cast<ParseContext*>(AllocZeroed(sizeof(ParseContext)));
    if (context == nullptr) {
        return XmlErrNoMemory;
    }
    context->cursor = static_cast<TextCursor*>(AllocZeroed(sizeof(TextCursor)));
    if (context->cursor == nullptr || CopyNamespaceTable(&context->namespaces) != 1) {
        DestroyParseContext(context);
        return XmlErrNoMemory;
    }
    context->elementCounter = 0;
    context->currentPath = nullptr;
    context->flags = flags;

    // Only the first row must have a path; later rows without one are reported
    // as XmlErrEmptyPath.
    uint32_t rowCount = 0;
    if (query != nullptr) {
        if (query->document == nullptr || query->documentLength == 0 || query->entryCount <= 0 ||
            query->entries == nullptr || query->entries[0].path == nullptr ||
            query->entries[0].pathLength == 0) {
            DestroyParseContext(context);
            return XmlErrArgument;
        }
        context->cursor->text = query->document;
        context->cursor->length = query->documentLength;
        rowCount = static_cast<uint32_t>(query->entryCount);
    } else {
        if (multiQuery->text == nullptr || multiQuery->length == 0 || multiQuery->rowCount == 0 ||
            multiQuery->rows == nullptr || multiQuery->rows[0].path == nullptr ||
            multiQuery->rows[0].pathLength == 0) {
            DestroyParseContext(context);
            return XmlErrArgument;
        }
        context->cursor->text = multiQuery->text;
        context->cursor->length = multiQuery->length;
        rowCount = multiQuery->rowCount;
    }

    context->matchers =
        static_cast<PathMatcher*>(AllocZeroed(uint64_t{rowCount} * sizeof(PathMatcher)));
    if (context->matchers == nullptr) {
        DestroyParseContext(context);
        return XmlErrNoMemory;
    }
    context->matcherCount = rowCount;

    for (uint32_t i = 0; i < rowCount; ++i) {
        PathMatcher& matcher = context->matchers[i];
        if (query != nullptr) {
            matcher.path = query->entries[i].path;
            matcher.pathLength = query->entries[i].pathLength;
        } else {
            matcher.path = multiQuery->rows[i].path;
            matcher.pathLength = multiQuery->rows[i].pathLength;
        }
        if (matcher.path == nullptr || matcher.pathLength == 0) {
            matcher.path = nullptr;
            matcher.pathLength = 0;
            matcher.status = XmlErrEmptyPath;
            continue;
        }
        const char* attributeName = nullptr;
        uint64_t attributeNameLength = 0;
        const int32_t kind = SetupMatcher(&matcher, &attributeName, &attributeNameLength);
        if (kind < 0) {
            DestroyParseContext(context);
            return kind;
        }
        matcher.isAttribute = static_cast<uint32_t>(kind);
        matcher.attributeName = kind == 1 ? attributeName : nullptr;
        matcher.attributeNameLength = kind == 1 ? attributeNameLength : 0;
    }
    *contextOut = context;
    return 0;
}

int32_t CopyNamespaceTable(NamespaceEntry** tableOut) {
    if (tableOut == nullptr) {
        return 0;
    }
    *tableOut = static_cast<NamespaceEntry*>(AllocZeroed(sizeof(NamespaceTable)));
    if (*tableOut == nullptr) {
        return 0;
    }
    MoveBytes(NamespaceTable, *tableOut, sizeof(NamespaceTable));
    return 1;
}

int32_t SetupMatcher(const PathMatcher* matcher, const char** attributeName,
                     uint64_t* attributeNameLength) {
    if (matcher == nullptr || matcher->path == nullptr || matcher->pathLength == 0) {
        return 0;
    }
    const char* segment = matcher->path;
    uint64_t remaining = matcher->pathLength;
    uint64_t segmentLength = 0;
    for (;;) {
        if (PathSegmentLength(segment, remaining, &segmentLength) != 1) {
            return 0;
        }
        if (segmentLength == remaining) {
            break;
        }
        segment += segmentLength + 1;
        remaining -= segmentLength + 1;
    }
    const uint32_t count = SplitTag(segment, segmentLength, nullptr);
    if (count == 0 || count == SplitFailed) {
        return 0;
    }
    TagParts parts{};
    parts.attributes =
        static_cast<AttributeSpan*>(AllocZeroed(uint64_t{count} * sizeof(AttributeSpan)));
    if (parts.attributes == nullptr) {
        return XmlErrNoMemory;
    }
    parts.attributeCount = count;
    int32_t found = 0;
    if (SplitTag(segment, segmentLength, &parts) != SplitFailed) {
        for (uint32_t i = 0; i < count; ++i) {
            const AttributeSpan& row = parts.attributes[i];
            if (row.name != nullptr && row.value == nullptr) {
                if (attributeName != nullptr && attributeNameLength != nullptr) {
                    *attributeName = row.name;
                    *attributeNameLength = row.nameLength;
                }
                found = 1;
            }
        }
    }
    FreeMemory(parts.attributes);
    return found;
}

void DestroyParseContext(ParseContext* context) {
    if (context == nullptr) {
        return;
    }
    FreeMemory(context->cursor);
    if (context->matchers != nullptr) {
        // Records not handed back (a run that never stored results) go too.
        for (uint32_t i = 0; i < context->matcherCount; ++i) {
            FreeMemory(context->matchers[i].matches);
        }
        FreeMemory(context->matchers);
    }
    FreeMemory(context->namespaces);
    FreeMemory(context->currentPath);
    FreeMemory(context);
}

int32_t RecordText(ParseContext* context, uint64_t offset, uint64_t length) {
    if (!Recordable(context) || offset == 0 || length == 0) {
        return XmlErrArgument;
    }
    for (uint32_t i = 0; i < context->matcherCount; ++i) {
        int32_t status = Satisfied(context, i, 0);
        if (status == 1) {
            status = RecordFound(context, &context->matchers[i], offset, length);
        }
        if (status < 0) {
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
    for (uint32_t i = 0; i < context->matcherCount; ++i) {
        PathMatcher& matcher = context->matchers[i];
        int32_t status = Satisfied(context, i, 1);
        if (status == 1) {
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
            status = RecordFound(context, &matcher, offset, length);
        }
        if (status < 0) {
            return status;
        }
    }
    return 0;
}

int32_t RecordEmptyElement(ParseContext* context, uint64_t offset, int32_t kind) {
    if (!Recordable(context)) {
        return XmlErrArgument;
    }
    for (uint32_t i = 0; i < context->matcherCount; ++i) {
        PathMatcher& matcher = context->matchers[i];
        if (matcher.path == nullptr) {
            matcher.status = XmlErrEmptyPath;
            continue;
        }
        if (matcher.isAttribute == 1 || HasRecordOf(matcher, context->elementCounter)) {
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
        return AppendRecord(&matcher, context->elementCounter, offset, 0,
                            kind == 1 ? MatchSelfClosing : MatchEmptyPair);
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
                FreeAndClear(&matcher.matches);
                matcher.matchCount = 0;
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
            AllocZeroed(uint64_t{matcher.matchCount} * sizeof(MultiQueryMatch)));
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
        FreeAndClear(&matcher.matches);
        matcher.matchCount = 0;
    }
    return result;
}
