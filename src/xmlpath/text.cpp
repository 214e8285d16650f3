// SPDX-License-Identifier: MIT
// Text primitives of the XML path engine and the constant namespace table.
#include "xmlpath/text.h"

#include "runtime/bytes.h"

namespace {
constexpr char kCommonPrefix[] = "ivec";
constexpr char kVendorPrefix[] = "vxr";
constexpr char kPrintPrefix[] = "qldm";
constexpr char kKorvel2010Prefix[] = "ikw";
}  // namespace

const NamespaceEntry NamespaceTable[NamespaceRowCount] = {
    {ZN_NS_COMMON_URI, kCommonPrefix, nullptr, 0},
    {ZN_NS_VENDOR_URI, kVendorPrefix, nullptr, 0},
    {ZN_NS_PRINT_URI, kPrintPrefix, nullptr, 0},
    {ZN_NS_KORVEL2010_URI, kKorvel2010Prefix, nullptr, 0},
    {nullptr, nullptr, nullptr, 0},
};

const uint64_t NamespacePrefixLengths[NamespaceRowCount] = {
    sizeof(kCommonPrefix) - 1, sizeof(kVendorPrefix) - 1, sizeof(kPrintPrefix) - 1,
    sizeof(kKorvel2010Prefix) - 1, 0};
const uint64_t NamespaceUriLengths[NamespaceRowCount] = {
    sizeof(ZN_NS_COMMON_URI) - 1, sizeof(ZN_NS_VENDOR_URI) - 1, sizeof(ZN_NS_PRINT_URI) - 1,
    sizeof(ZN_NS_KORVEL2010_URI) - 1, 0};

namespace {

uint32_t FailSplit(TagParts* parts) {
    if (parts != nullptr) {
        parts->name = nullptr;
        parts->nameLength = 0;
        if (parts->attributes != nullptr) {
            for (uint32_t i = 0; i < parts->attributeCount; ++i) {
                parts->attributes[i] = AttributeSpan{};
            }
        }
    }
    return SplitFailed;
}

// Stores row `index`; false when the caller's array is absent or too small.
bool StoreRow(TagParts* parts, uint32_t index, const AttributeSpan& row) {
    if (parts->attributes == nullptr || index >= parts->attributeCount) {
        return false;
    }
    parts->attributes[index] = row;
    return true;
}

}  // namespace

uint32_t SplitTag(const char* text, uint64_t length, TagParts* parts) {
    if (text == nullptr || length == 0) {
        return SplitFailed;
    }
    uint64_t i = FindWhitespace(text, 0, length);
    if (parts != nullptr) {
        parts->name = text;
        parts->nameLength = i;
    }
    uint32_t count = 0;
    while (i < length) {
        while (i < length && IsXmlWhitespace(text[i])) {
            ++i;
        }
        if (i == length) {
            break;
        }
        const char* start = text + i;
        const char* equals = FindSpanByte(start, length - i, '=');
        uint64_t nameLength =
            (equals != nullptr ? static_cast<uint64_t>(equals - start) : length - i);
        while (nameLength > 0 && IsXmlWhitespace(start[nameLength - 1])) {
            --nameLength;
        }
        if (equals == nullptr) {
            // A bare name is the last attribute: whatever follows belongs to it.
            if (parts != nullptr && !StoreRow(parts, count, {start, nameLength, nullptr, 0})) {
                return FailSplit(parts);
            }
            return count + 1;
        }
        const uint64_t equalsAt = static_cast<uint64_t>(equals - text);
        const char* open = FindSpanByte(equals, length - equalsAt, '"');
        if (open == nullptr) {
            return count;  // a value without quotes drops the rest
        }
        const uint64_t openAt = static_cast<uint64_t>(open - text);
        const char* close = FindSpanByte(open + 1, length - openAt - 1, '"');
        if (close == nullptr) {
            return FailSplit(parts);
        }
        const uint64_t valueLength = static_cast<uint64_t>(close - open) + 1;
        if (parts != nullptr && !StoreRow(parts, count, {start, nameLength, open, valueLength})) {
            return FailSplit(parts);
        }
        ++count;
        i = static_cast<uint64_t>(close - text) + 1;
    }
    return count;
}

int32_t TrimQuotedValue(const char* text, uint64_t length, const char** inner,
                        uint64_t* innerLength) {
    if (text == nullptr || inner == nullptr || innerLength == nullptr || length < 2 ||
        text[0] != '"' || text[length - 1] != '"') {
        return 0;
    }
    uint64_t first = 1;
    uint64_t last = length - 1;  // one past the inner text
    while (first < last && IsXmlWhitespace(text[first])) {
        ++first;
    }
    while (last > first && IsXmlWhitespace(text[last - 1])) {
        --last;
    }
    *inner = text + first;
    *innerLength = last - first;
    return 1;
}

int32_t PathSegmentLength(const char* text, uint64_t length, uint64_t* segmentLength) {
    if (text == nullptr || length == 0 || segmentLength == nullptr) {
        return 0;
    }
    bool insideQuotes = false;
    for (uint64_t i = 0; i < length; ++i) {
        if (text[i] == '"') {
            insideQuotes = !insideQuotes;
        } else if (text[i] == '/' && !insideQuotes) {
            *segmentLength = i;
            return 1;
        }
    }
    *segmentLength = length;
    return 1;
}

int32_t SplitPrefix(const char* text, uint64_t length, const char** prefix, uint64_t* prefixLength,
                    const char** local, uint64_t* localLength) {
    const bool prefixPair = prefix != nullptr && prefixLength != nullptr;
    const bool localPair = local != nullptr && localLength != nullptr;
    if (text == nullptr || length == 0 || (!prefixPair && !localPair)) {
        return 0;
    }
    const char* localStart = text;
    uint64_t localSize = length;
    const char* colon = FindSpanByte(text, length, ':');
    if (colon != nullptr) {
        const uint64_t before = static_cast<uint64_t>(colon - text);
        if (before > 0 && prefixPair) {
            *prefix = text;
            *prefixLength = before;
        }
        localStart = colon + 1;
        localSize = length - before - 1;
    }
    if (localSize > 0 && localPair) {
        *local = localStart;
        *localLength = localSize;
    }
    return 1;
}
