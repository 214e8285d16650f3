// SPDX-License-Identifier: MIT
// The document scanner and the engine's read operations.
#include "xmlpath/scanner.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/matcher.h"
#include "xmlpath/paths.h"
#include "xmlpath/text.h"

namespace {

// Attribute rows a start tag is split into before its own array is allocated.
constexpr uint32_t TagRowsOnStack = 16;

// The byte at `offset`, or NUL past the end: the document is never read beyond
// its length, even when the caller's text has no terminating NUL.
char ByteAt(const TextCursor* cursor, uint64_t offset) {
    return offset < cursor->length ? cursor->text[offset] : '\0';
}

bool IsAsciiLetter(char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

// Offset of the first `byte` at or after `from`, or -1. Tags and text runs are
// mostly short: the first 32 bytes (24 without SSE2) are looked at in place,
// sixteen (eight) at a time, so that a short tag takes one predictable step;
// the rest with memchr.
inline int64_t FindFrom(const TextCursor* cursor, uint64_t from, char byte) {
    const uint64_t length = cursor->length;
    const char* text = cursor->text;
    if (from >= length) {
        return -1;
    }
#if defined(__SSE2__)
    // Sixteen bytes per compare where 32 of the document remain.
    if (length - from >= 32) {
        const __m128i needle = _mm_set1_epi8(byte);
        for (uint64_t at = from; at < from + 32; at += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
            const auto hits =
                static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, needle)));
            if (hits != 0) {
                return static_cast<int64_t>(at + static_cast<uint64_t>(__builtin_ctz(hits)));
            }
        }
        const auto* found = static_cast<const char*>(
            std::memchr(text + from + 32, static_cast<unsigned char>(byte), length - from - 32));
        return found != nullptr ? found - text : -1;
    }
#endif
    const uint64_t inPlace = from + 24 < length ? from + 24 : length;
    const char* found = FindByteInWords(text + from, inPlace - from, byte);
    if (found != nullptr) {
        return found - text;
    }
    if (inPlace >= length) {
        return -1;
    }
    found = static_cast<const char*>(
        std::memchr(text + inPlace, static_cast<unsigned char>(byte), length - inPlace));
    return found != nullptr ? found - text : -1;
}

// Whether the `length` bytes at `text`, which lies inside the cursor's
// document, hold whitespace. A tag's name is short: sixteen bytes are tested
// at once when the document has them.
inline bool HasWhitespace(const TextCursor* cursor, const char* text, uint64_t length) {
#if defined(__SSE2__)
    if (length <= 16 && static_cast<uint64_t>(cursor->text + cursor->length - text) >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
        const __m128i spaces =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')),
                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))),
                         _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))));
        const auto hits = static_cast<uint32_t>(_mm_movemask_epi8(spaces));
        return (hits & ((uint32_t{1} << length) - 1)) != 0;
    }
#endif
    return FindWhitespace(text, 0, length) != length;
}

// Whether the tag at `open` may repeat the element just closed. Most tags that
// follow a closed element are not its sibling: the byte after where the name
// would end and the name's first and last bytes tell.
inline bool MayRepeatClosedSibling(const ParseContext* context, uint64_t open) {
    const PathIndex& index = context->pathIndex;
    const TextCursor* cursor = context->cursor;
    const uint64_t length = index.closedLength;
    return index.closedKept && !index.closedSpaced && length != 0 &&
           cursor->length - open >= length + 2 && cursor->text[open + length + 1] == '>' &&
           cursor->text[open + length] == index.buffer[index.closedStart + length - 1] &&
           cursor->text[open + 1] == index.buffer[index.closedStart];
}

// "<name>text</name>" at *position, where `name` repeats the element just
// closed and what its path satisfies is known: the element is counted and its
// text recorded as the whole path would do it, and the path is left as it is,
// as closing the element would bring it back. True with *position where the
// scan goes on (the end tag's ">", or before the "<" that ends the text when
// the record fails) and *status the record's; false, with nothing touched,
// for anything else, which the scan then takes tag by tag. Called where
// MayRepeatClosedSibling holds, so the document has room for the start tag.
bool ScanRepeatedSibling(ParseContext* context, uint64_t* position, int32_t* status) {
    const TextCursor* cursor = context->cursor;
    const uint64_t open = *position;
    const char* name = nullptr;
    uint64_t nameLength = 0;
    uint64_t serial = 0;
    if (!RepeatableSibling(context, &name, &nameLength, &serial) ||
        !KnowsSatisfiedElements(context, serial) || !IsAsciiLetter(name[0]) ||
        name[nameLength - 1] == '/') {
        return false;
    }
    const char* text = cursor->text;
    const uint64_t length = cursor->length;
    if (std::memcmp(text + open + 1, name, nameLength) != 0) {
        return false;
    }
    uint64_t start = open + nameLength + 2;
    while (start < length && IsXmlWhitespace(text[start])) {
        ++start;
    }
    if (start >= length || text[start] == '<') {
        return false;  // no text run
    }
    const int64_t found = FindFrom(cursor, start, '<');
    if (found < 0) {
        return false;
    }
    const auto close = static_cast<uint64_t>(found);
    if (length - close < nameLength + 3 || text[close + 1] != '/' ||
        text[close + nameLength + 2] != '>' ||
        std::memcmp(text + close + 2, name, nameLength) != 0) {
        return false;
    }
    uint64_t end = close;
    while (end > start && IsXmlWhitespace(text[end - 1])) {
        --end;
    }
    ++context->elementCounter;
    *status = RecordRepeatedText(context, start, end - start);
    *position = *status == 0 ? close + nameLength + 2 : close - 1;
    return true;
}

int32_t RunQuery(XmlQuery* query, int32_t flags) {
    ParseContext* context = nullptr;
    const int32_t created = CreateParseContext(&context, flags, query, nullptr);
    if (created != 0) {
        return created;
    }
    const int32_t status = ScanDocument(context);
    StoreResults(context, query, nullptr);
    DestroyParseContext(context);
    return status;
}

}  // namespace

int32_t ScanDocument(ParseContext* context) {
    if (context == nullptr || context->cursor == nullptr) {
        return XmlErrArgument;
    }
    const int32_t declaration = CheckDeclaration(context);
    if (declaration != 0) {
        return declaration;
    }
    TextCursor* cursor = context->cursor;
    uint64_t p = 0;
    int32_t result = 0;
    while (p < cursor->length) {
        const char byte = cursor->text[p];
        if (IsXmlWhitespace(byte)) {
            ++p;
            continue;
        }
        int32_t status = 0;
        if (byte == '<' && MayRepeatClosedSibling(context, p) &&
            ScanRepeatedSibling(context, &p, &status)) {
            // A repeated sibling, taken whole.
        } else {
            status = byte == '<' ? ScanMarkup(context, &p) : ScanText(context, &p);
        }
        if (status == 0) {
            ++p;
            continue;
        }
        if (status == ScanRootClosed) {
            ++p;  // nothing after the root's end is examined
        } else {
            result = status;
        }
        break;
    }
    cursor->position = p;
    ReleaseCurrentPath(context);
    return result;
}

int32_t CheckDeclaration(ParseContext* context) {
    if (context == nullptr || context->cursor == nullptr || context->cursor->text == nullptr) {
        return XmlErrArgument;
    }
    TextCursor* cursor = context->cursor;
    if (cursor->length < 6) {
        return XmlErrTruncated;
    }
    const char* found = FindBytes(cursor->text, cursor->length, "<?xml", 5);
    if (found == nullptr) {
        return XmlErrNoDeclaration;
    }
    const uint64_t at = static_cast<uint64_t>(found - cursor->text);
    if (!IsXmlWhitespace(ByteAt(cursor, at + 5))) {
        return XmlErrNoDeclaration;
    }
    if (at != 0) {
        cursor->position = at;
        return XmlErrDeclarationNotAtStart;
    }
    return 0;
}

int32_t ScanMarkup(ParseContext* context, uint64_t* position) {
    if (context == nullptr || context->cursor == nullptr || position == nullptr) {
        return XmlErrArgument;
    }
    const TextCursor* cursor = context->cursor;
    const uint64_t p = *position;
    if (p >= cursor->length) {
        return XmlErrTruncated;
    }
    const uint64_t rest = cursor->length - p;
    const char next = ByteAt(cursor, p + 1);
    if (next == '!') {
        if (rest < 3 || ByteAt(cursor, p + 2) == '>') {
            return XmlErrTruncated;
        }
        if (rest >= 10 && BytesEqual(cursor->text + p, "<![CDATA[", 9) == 1) {
            const char* end = static_cast<const char*>(memmem(cursor->text + p, rest, "]]>", 3));
            if (end == nullptr) {
                return XmlErrUnterminated;
            }
            const uint64_t e = static_cast<uint64_t>(end - cursor->text);
            // An empty section records nothing (-2) and the scan goes on; running
            // out of memory ends the scan at the section's "<".
            if (RecordText(context, p + 9, e - (p + 9)) == XmlErrNoMemory) {
                return XmlErrNoMemory;
            }
            *position = e + 2;
            return 0;
        }
        // Comments and other "<!" constructs end at their first ">".
        const int64_t g = FindFrom(cursor, p, '>');
        if (g < 0) {
            return XmlErrUnterminated;
        }
        *position = static_cast<uint64_t>(g);
        return 0;
    }
    if (next == '/' || next == '?' || IsAsciiLetter(next)) {
        const int64_t g = FindFrom(cursor, p, '>');
        if (g < 0) {
            return XmlErrUnterminated;
        }
        *position = static_cast<uint64_t>(g);
        const uint64_t tagLength = static_cast<uint64_t>(g) - p;
        if (next == '/') {
            return HandleEndTag(context, p, tagLength);
        }
        if (next == '?') {
            return 0;
        }
        return HandleStartTag(context, p, tagLength);
    }
    return XmlErrBadTag;
}

int32_t ScanText(ParseContext* context, uint64_t* position) {
    if (context == nullptr || context->cursor == nullptr || position == nullptr) {
        return XmlErrArgument;
    }
    const TextCursor* cursor = context->cursor;
    const uint64_t p = *position;
    const int64_t q = FindFrom(cursor, p, '<');
    if (q < 0) {
        return XmlErrUnterminated;
    }
    uint64_t end = static_cast<uint64_t>(q);
    while (end > p && IsXmlWhitespace(cursor->text[end - 1])) {
        --end;
    }
    const int32_t status = RecordText(context, p, end - p);
    *position = static_cast<uint64_t>(q) - 1;
    return status;
}

int32_t HandleEndTag(ParseContext* context, uint64_t tagOffset, uint64_t tagLength) {
    if (context == nullptr || context->cursor == nullptr || tagOffset == 0 || tagLength == 0) {
        return XmlErrArgument;
    }
    if (RecordEmptyElement(context, tagOffset, 0) != 0) {
        return XmlErrArgument;
    }
    if (tagLength < 2) {
        return XmlErrArgument;
    }
    return ClosePath(context, context->cursor->text + tagOffset + 2, tagLength - 2);
}

namespace {

// Bytes that end a name in a body written as its path text: whitespace, the
// quote, "/", "=" and "<".
struct NameEndTable {
    bool ends[256];
    constexpr NameEndTable() : ends{} {
        constexpr char kEnds[] = "\t\n\r \"/=<";
        for (uint64_t i = 0; i + 1 < sizeof(kEnds); ++i) {
            ends[static_cast<unsigned char>(kEnds[i])] = true;
        }
    }
};
constexpr NameEndTable kNameEnds;

uint64_t NameLength(const char* text, uint64_t from, uint64_t length) {
    uint64_t i = from;
    while (i < length && !kNameEnds.ends[static_cast<unsigned char>(text[i])]) {
        ++i;
    }
    return i - from;
}

// Splits a tag body that reads exactly as the path text written for it: the
// name, then per attribute one space, the name, "=" and a double-quoted value
// without "<"; no name holds whitespace, a quote, "/", "=" or "<", and no
// attribute declares a namespace. Such a body splits as SplitTag splits it,
// and its attributes are all appended. Returns the attribute count with the
// rows at `rows` (room for `capacity`) and the name's length, or SplitFailed
// for any other body.
uint32_t SplitWrittenTag(const char* body, uint64_t length, AttributeSpan* rows, uint32_t capacity,
                         uint64_t* nameLength) {
    uint64_t i = NameLength(body, 0, length);
    if (i == 0) {
        return SplitFailed;
    }
    *nameLength = i;
    uint32_t count = 0;
    while (i < length) {
        if (body[i] != ' ' || count == capacity) {
            return SplitFailed;
        }
        const uint64_t start = i + 1;
        const uint64_t attributeNameLength = NameLength(body, start, length);
        i = start + attributeNameLength;
        if (attributeNameLength == 0 || length - i < 3 || body[i] != '=' || body[i + 1] != '"' ||
            (attributeNameLength >= 5 && BytesEqual(body + start, "xmlns", 5) == 1)) {
            return SplitFailed;
        }
        const char* open = body + i + 1;
        const char* close = FindSpanByte(open + 1, length - (i + 2), '"');
        if (close == nullptr ||
            FindSpanByte(open + 1, static_cast<uint64_t>(close - open) - 1, '<') != nullptr) {
            return SplitFailed;
        }
        rows[count++] = AttributeSpan{body + start, attributeNameLength, open,
                                      static_cast<uint64_t>(close - open) + 1};
        i = static_cast<uint64_t>(close - body) + 1;
    }
    return count;
}

// A start tag with attributes, whitespace or a closing "/": split, each
// attribute appended and recorded, and a self-closing element closed.
[[gnu::noinline]] int32_t HandleSplitStartTag(ParseContext* context, uint64_t tagOffset,
                                              uint64_t tagLength) {
    const char* tag = context->cursor->text + tagOffset;
    const bool selfClosing = tag[tagLength - 1] == '/';
    uint64_t bodyLength = selfClosing ? tagLength - 2 : tagLength - 1;
    while (bodyLength > 0 && IsXmlWhitespace(tag[bodyLength])) {
        --bodyLength;  // tag[bodyLength] is the body's last byte (body starts at tag + 1)
    }

    // One split, into rows on the stack or, once a tag has needed more, into the
    // run's own larger array. A tag with more rows than that array holds takes
    // a counting pass and the array grows to fit it (when it cannot, the tag
    // fails with XmlErrBadTag, as a tag whose rows cannot be had).
    AttributeSpan local[TagRowsOnStack];
    const bool useRunRows = context->tagRowCapacity > TagRowsOnStack;
    TagParts parts{nullptr, 0, useRunRows ? context->tagRows : local,
                   useRunRows ? context->tagRowCapacity : TagRowsOnStack};
    // A body without whitespace is the name alone, as SplitTag would find it.
    // Inside the root, with no prefix to rewrite, a body written as its path
    // text is appended as it stands.
    uint32_t count = 0;
    bool written = false;
    if (bodyLength > 0 && !HasWhitespace(context->cursor, tag + 1, bodyLength)) {
        parts.name = tag + 1;
        parts.nameLength = bodyLength;
    } else {
        count = context->currentPath != nullptr && context->registeredPrefixes == 0
                    ? SplitWrittenTag(tag + 1, bodyLength, parts.attributes, parts.attributeCount,
                                      &parts.nameLength)
                    : SplitFailed;
        written = count != SplitFailed;
        if (written) {
            parts.name = tag + 1;
        } else {
            count = SplitTag(tag + 1, bodyLength, &parts);
        }
    }
    if (count == SplitFailed) {
        count = SplitTag(tag + 1, bodyLength, nullptr);
        parts = TagParts{};
        if (count != SplitFailed && count > 0) {
            if (count > context->tagRowCapacity) {
                const uint64_t doubled = uint64_t{context->tagRowCapacity} * 2;
                const uint64_t capacity = doubled > count ? doubled : count;
                FreeMemory(context->tagRows);
                context->tagRowCapacity = 0;
                context->tagRows =
                    static_cast<AttributeSpan*>(AllocBytes(capacity * sizeof(AttributeSpan)));
                if (context->tagRows == nullptr || capacity > UINT32_MAX) {
                    return XmlErrBadTag;
                }
                context->tagRowCapacity = static_cast<uint32_t>(capacity);
            }
            parts.attributes = context->tagRows;
            parts.attributeCount = count;
        }
        SplitTag(tag + 1, bodyLength, &parts);
    }
    parts.attributes = count != 0 && count != SplitFailed ? parts.attributes : nullptr;
    parts.attributeCount = parts.attributes != nullptr ? count : 0;
    if (parts.name == nullptr || parts.nameLength == 0) {
        return XmlErrBadTag;
    }

    ++context->elementCounter;
    int32_t result = AppendElementName(context, parts.name, parts.nameLength);
    if (result == 0 && written && parts.attributes != nullptr) {
        result = AppendWrittenAttributes(context, parts.name, parts.nameLength,
                                         parts.name + parts.nameLength,
                                         bodyLength - parts.nameLength, parts.attributes, count);
        if (result == 0) {
            result = RecordAttributeValues(context, parts.attributes, count);
        }
    } else if (result == 0 && parts.attributes != nullptr) {
        // The non-declarations move to the front of the same array, in order:
        // row i is handled before anything is written over it.
        uint32_t plainCount = 0;
        for (uint32_t i = 0; result == 0 && i < count; ++i) {
            int32_t isDeclaration = 0;
            result = HandleAttribute(context, &parts.attributes[i], &isDeclaration);
            if (result == 0 && isDeclaration == 0) {
                parts.attributes[plainCount++] = parts.attributes[i];
            }
        }
        if (result == 0 && plainCount > 0) {
            NoteTagSplit(context, parts.name, parts.nameLength, parts.attributes, plainCount);
            result = RecordAttributeValues(context, parts.attributes, plainCount);
        }
    }
    if (result == 0 && selfClosing) {
        if (RecordEmptyElement(context, tagOffset + tagLength + 1, 1) != 0) {
            result = XmlErrArgument;
        } else {
            result = ClosePath(context, parts.name, parts.nameLength);
        }
    }
    return result;
}

}  // namespace

int32_t HandleStartTag(ParseContext* context, uint64_t tagOffset, uint64_t tagLength) {
    if (context == nullptr || context->cursor == nullptr || tagLength == 0) {
        return XmlErrArgument;
    }
    // The usual tag, "<name>": its body is the name alone, with nothing to
    // split, record or close.
    const char* tag = context->cursor->text + tagOffset;
    const char last = tag[tagLength - 1];
    if (tagLength >= 2 && last != '/' && !IsXmlWhitespace(last) &&
        !HasWhitespace(context->cursor, tag + 1, tagLength - 1)) {
        ++context->elementCounter;
        return AppendElementName(context, tag + 1, tagLength - 1);
    }
    return HandleSplitStartTag(context, tagOffset, tagLength);
}

int32_t QueryValues(XmlQuery* query) {
    return RunQuery(query, 0);
}

int32_t QueryValuesAnyRoot(XmlQuery* query) {
    return RunQuery(query, ParseFlagAnyRoot);
}

int32_t QueryAllValues(MultiQuery* multiQuery) {
    if (multiQuery == nullptr) {
        return XmlErrArgument;
    }
    if (multiQuery->rows != nullptr) {
        for (uint32_t i = 0; i < multiQuery->rowCount; ++i) {
            if (multiQuery->rows[i].results != nullptr) {
                return XmlErrArgument;
            }
        }
    }
    ParseContext* context = nullptr;
    const int32_t created = CreateParseContext(&context, 0, nullptr, multiQuery);
    if (created != 0) {
        return created;
    }
    const int32_t status = ScanDocument(context);
    const int32_t stored = StoreResults(context, nullptr, multiQuery);
    DestroyParseContext(context);
    return status != 0 ? status : stored;
}

int32_t FreeAllValues(MultiQuery* multiQuery) {
    if (multiQuery == nullptr) {
        return XmlErrArgument;
    }
    if (multiQuery->rows == nullptr) {
        return 0;
    }
    for (uint32_t i = 0; i < multiQuery->rowCount; ++i) {
        MultiQueryRow& row = multiQuery->rows[i];
        if (row.path != nullptr) {
            FreeAndClear(&row.results);
            row.resultCount = 0;
        }
    }
    return 0;
}
