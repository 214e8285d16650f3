// Path tracking and matching: currentPath upkeep, namespace prefix rewriting and
// the comparison of currentPath with query paths.
#include "xmlpath/paths.h"

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/text.h"

namespace {

uint64_t TextLength(const char* text) {
    const int32_t length = StringLength(text);
    return length > 0 ? static_cast<uint64_t>(length) : 0;
}

bool SameBytes(const char* first, uint64_t firstLength, const char* second, uint64_t secondLength) {
    return firstLength == secondLength && BytesEqual(first, second, firstLength) == 1;
}

// Bytes up to the first whitespace.
uint64_t WordLength(const char* text, uint64_t length) {
    uint64_t i = 0;
    while (i < length && !IsXmlWhitespace(text[i])) {
        ++i;
    }
    return i;
}

// Splits one segment into `parts` with an attribute array of its own.
// XmlErrNoMemory when the array cannot be allocated; a failed split leaves the
// name absent, which no comparison accepts.
int32_t SplitSegment(const char* segment, uint64_t length, TagParts* parts) {
    *parts = TagParts{};
    const uint32_t count = SplitTag(segment, length, nullptr);
    if (count != 0 && count != SplitFailed) {
        parts->attributes =
            static_cast<AttributeSpan*>(AllocZeroed(uint64_t{count} * sizeof(AttributeSpan)));
        if (parts->attributes == nullptr) {
            return XmlErrNoMemory;
        }
        parts->attributeCount = count;
    }
    SplitTag(segment, length, parts);
    return 0;
}

// When the bytes before the first ":" of `text` are a registered document
// prefix: that row's table prefix and the offset of the ":". Else false.
bool RegisteredPrefix(const ParseContext* context, const char* text, uint64_t length,
                      const char** tablePrefix, uint64_t* tablePrefixLength, uint64_t* colonAt) {
    const char* colon = FindByte(text, length, ':');
    uint64_t row = 0;
    if (colon == nullptr ||
        FindDocumentPrefix(context, text, static_cast<uint64_t>(colon - text), &row) != 1) {
        return false;
    }
    *tablePrefix = context->namespaces[row].prefix;
    *tablePrefixLength = TextLength(*tablePrefix);
    *colonAt = static_cast<uint64_t>(colon - text);
    return true;
}

// Row of the first table entry whose prefix is `prefix`, or -1.
int64_t TablePrefixRow(const ParseContext* context, const char* prefix, uint64_t length) {
    if (context->namespaces == nullptr) {
        return -1;
    }
    for (int64_t row = 0; context->namespaces[row].uri != nullptr; ++row) {
        const char* tablePrefix = context->namespaces[row].prefix;
        if (SameBytes(tablePrefix, TextLength(tablePrefix), prefix, length)) {
            return row;
        }
    }
    return -1;
}

}  // namespace

int32_t AppendPath(ParseContext* context, const char* separator, const char* text,
                   uint64_t length) {
    if (text == nullptr || length == 0 || context == nullptr) {
        return XmlErrArgument;
    }
    if (context->currentPath == nullptr) {
        if ((context->flags & ParseFlagAnyRoot) == 0 &&
            !(length >= 3 && BytesEqual(text, "cmd", 3) == 1)) {
            return XmlErrBadRoot;
        }
        char* root = static_cast<char*>(AllocZeroed(length + 1));
        if (root == nullptr) {
            return XmlErrNoMemory;
        }
        MoveBytes(text, root, length);
        context->currentPath = root;
        return 0;
    }

    // A document prefix is written as the table's prefix for its namespace.
    const char* tablePrefix = nullptr;
    uint64_t tablePrefixLength = 0;
    uint64_t colonAt = 0;  // untouched (0) when no registered prefix is found
    RegisteredPrefix(context, text, length, &tablePrefix, &tablePrefixLength, &colonAt);
    const char* rest = text + colonAt;
    const uint64_t restLength = length - colonAt;

    const uint64_t oldLength = TextLength(context->currentPath);
    const uint64_t separatorLength = separator != nullptr ? TextLength(separator) : 0;
    char* path = static_cast<char*>(
        AllocZeroed(oldLength + separatorLength + tablePrefixLength + restLength + 1));
    if (path == nullptr) {
        return XmlErrNoMemory;
    }
    uint64_t at = 0;
    MoveBytes(context->currentPath, path, oldLength);
    at += oldLength;
    MoveBytes(separator, path + at, separatorLength);
    at += separatorLength;
    MoveBytes(tablePrefix, path + at, tablePrefixLength);
    at += tablePrefixLength;
    MoveBytes(rest, path + at, restLength);
    FreeMemory(context->currentPath);
    context->currentPath = path;
    return 0;
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
    if (FindByte(attribute->value, attribute->valueLength, '<') != nullptr) {
        return XmlErrBadAttribute;
    }
    if (attribute->nameLength >= 5 && BytesEqual(attribute->name, "xmlns", 5) == 1) {
        // "xmlns:p" declares p; a name without ":" (the default namespace) is
        // registered whole, as the text "xmlns".
        if (FindByte(attribute->name, attribute->nameLength, ':') != nullptr) {
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
    const int32_t status = AppendPath(context, " ", attribute->name, attribute->nameLength);
    if (status != 0) {
        return status;
    }
    return AppendPath(context, "=", attribute->value, attribute->valueLength);
}

int32_t RegisterNamespace(ParseContext* context, const char* name, uint64_t nameLength,
                          const char* value, uint64_t valueLength) {
    if (context == nullptr || context->namespaces == nullptr || value == nullptr ||
        valueLength < 2 || name == nullptr || nameLength == 0) {
        return XmlErrArgument;
    }
    for (NamespaceEntry* row = context->namespaces; row->uri != nullptr; ++row) {
        const uint64_t uriLength = TextLength(row->uri);
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
    const char* path = context->currentPath;
    const uint64_t pathLength = TextLength(path);

    // The last segment and whether it is the only one.
    uint64_t segmentStart = 0;
    uint64_t segmentLength = 0;
    for (;;) {
        if (PathSegmentLength(path + segmentStart, pathLength - segmentStart, &segmentLength) !=
            1) {
            segmentLength = 0;
            break;
        }
        if (segmentStart + segmentLength < pathLength &&
            path[segmentStart + segmentLength] == '/') {
            segmentStart += segmentLength + 1;
            continue;
        }
        break;
    }
    const char* segment = path + segmentStart;
    const bool isRoot = segmentStart == 0;

    const char* nameSide = name;
    uint64_t nameSideLength = length;
    const char* tablePrefix = nullptr;
    uint64_t tablePrefixLength = 0;
    uint64_t colonAt = 0;
    if (RegisteredPrefix(context, name, length, &tablePrefix, &tablePrefixLength, &colonAt)) {
        if (segmentLength < tablePrefixLength ||
            BytesEqual(segment, tablePrefix, tablePrefixLength) != 1) {
            return XmlErrMismatchedClose;
        }
        segment += tablePrefixLength;
        segmentLength -= tablePrefixLength;
        nameSide = name + colonAt;
        nameSideLength = length - colonAt;
    }
    if (!SameBytes(segment, WordLength(segment, segmentLength), nameSide,
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

    char* shorter = static_cast<char*>(AllocZeroed(segmentStart));  // drops "/" + segment
    if (shorter == nullptr) {
        return XmlErrNoMemory;
    }
    MoveBytes(path, shorter, segmentStart - 1);
    FreeMemory(context->currentPath);
    context->currentPath = shorter;
    return 0;
}

int32_t PathMatches(ParseContext* context, uint32_t matcherIndex) {
    if (context == nullptr || context->matchers == nullptr ||
        matcherIndex >= context->matcherCount) {
        return 0;
    }
    const PathMatcher& matcher = context->matchers[matcherIndex];
    if (matcher.path == nullptr || context->currentPath == nullptr) {
        return 0;
    }
    const char* query = matcher.path;
    uint64_t queryLength = matcher.pathLength;
    const char* current = context->currentPath;
    uint64_t currentLength = TextLength(current);
    for (;;) {
        uint64_t querySegment = 0;
        uint64_t currentSegment = 0;
        if (PathSegmentLength(query, queryLength, &querySegment) != 1 ||
            PathSegmentLength(current, currentLength, &currentSegment) != 1) {
            return 0;
        }
        const bool queryMore = querySegment < queryLength;
        const bool currentMore = currentSegment < currentLength;
        if (queryMore != currentMore) {
            return 0;  // different depths
        }
        TagParts queryParts;
        TagParts currentParts;
        int32_t verdict = SplitSegment(query, querySegment, &queryParts);
        if (verdict == 0) {
            verdict = SplitSegment(current, currentSegment, &currentParts);
            if (verdict == 0) {
                verdict = SameSegmentName(context, &queryParts, &currentParts) == 1 &&
                          PredicatesMatch(context, &queryParts, &currentParts) == 1;
            }
            FreeMemory(currentParts.attributes);
        }
        FreeMemory(queryParts.attributes);
        if (verdict != 1) {
            return verdict;
        }
        if (!queryMore) {
            return 1;
        }
        query += querySegment + 1;
        queryLength -= querySegment + 1;
        current += currentSegment + 1;
        currentLength -= currentSegment + 1;
    }
}

int32_t SameSegmentName(const ParseContext* context, const TagParts* querySegment,
                        const TagParts* currentSegment) {
    if (context == nullptr || querySegment == nullptr || currentSegment == nullptr ||
        querySegment->name == nullptr || currentSegment->name == nullptr ||
        querySegment->nameLength == 0) {
        return 0;
    }
    return SameBytes(querySegment->name, querySegment->nameLength, currentSegment->name,
                     currentSegment->nameLength)
               ? 1
               : 0;
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
        for (uint32_t c = 0; c < currentSegment->attributeCount; ++c) {
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
