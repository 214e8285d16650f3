// SPDX-License-Identifier: MIT
// Attributes on the path: a start tag's attributes appended to currentPath as
// " name=value", in one copy when the tag is written as the path writes them,
// and the tag's own split kept as its segment's.
#include <cstring>

#include "runtime/bytes.h"
#include "xmlpath/paths.h"
#include "xmlpath/paths_internal.h"
#include "xmlpath/text.h"

namespace {

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
        index.scanned == oldLength && attribute.valueLength >= 2 && attribute.value[0] == '"' &&
        attribute.value[attribute.valueLength - 1] == '"' &&
        FindSpanByte(attribute.value + 1, attribute.valueLength - 2, '"') == nullptr &&
        NextPathByte(attribute.name, 0, attribute.nameLength) == attribute.nameLength) {
        index.segments[index.segmentCount - 1].spaced = true;
        index.scanned = index.length;
        return 0;
    }
    return IndexAppendedText(&index);
}

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
