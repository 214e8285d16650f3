// SPDX-License-Identifier: MIT
// Namespace prefixes of a run: the document's declarations registered against
// the table, and the lookups that rewrite or compare prefixed names.
#include "xmlpath/paths.h"

#include <cstring>

#include "xmlpath/paths_internal.h"
#include "xmlpath/text.h"

bool FindRegisteredPrefix(const ParseContext* context, const char* text, uint64_t length,
                          const char** tablePrefix, uint64_t* tablePrefixLength,
                          uint64_t* colonAt) {
    const char* colon = FindSpanByte(text, length, ':');
    uint64_t row = 0;
    if (colon == nullptr ||
        FindDocumentPrefix(context, text, static_cast<uint64_t>(colon - text), &row) != 1) {
        return false;
    }
    *tablePrefix = context->namespaces[row].prefix;
    *tablePrefixLength = NamespacePrefixLengths[row];
    *colonAt = static_cast<uint64_t>(colon - text);
    return true;
}

int64_t TablePrefixRow(const ParseContext* context, const char* prefix, uint64_t length) {
    if (context->namespaces == nullptr) {
        return -1;
    }
    for (int64_t row = 0; context->namespaces[row].uri != nullptr; ++row) {
        if (SameBytes(context->namespaces[row].prefix, NamespacePrefixLengths[row], prefix,
                      length)) {
            return row;
        }
    }
    return -1;
}

int32_t RegisterNamespace(ParseContext* context, const char* name, uint64_t nameLength,
                          const char* value, uint64_t valueLength) {
    if (context == nullptr || context->namespaces == nullptr || value == nullptr ||
        valueLength < 2 || name == nullptr || nameLength == 0) {
        return XmlErrArgument;
    }
    for (NamespaceEntry* row = context->namespaces; row->uri != nullptr; ++row) {
        const uint64_t uriLength = NamespaceUriLengths[row - context->namespaces];
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
            ++context->registeredPrefixes;
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
