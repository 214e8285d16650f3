// SPDX-License-Identifier: MIT
// Event-file lookup and decoding for the reference host.
#include "event_report.h"

#include <plist/plist.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Reads the whole file into a NUL-terminated heap block; caller frees.
char* ReadWholeFile(const char* path, size_t* length) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    size_t capacity = 4096;
    size_t used = 0;
    char* text = static_cast<char*>(std::malloc(capacity + 1));
    while (text != nullptr) {
        used += std::fread(text + used, 1, capacity - used, file);
        if (used < capacity) {
            break;
        }
        capacity *= 2;
        char* grown = static_cast<char*>(std::realloc(text, capacity + 1));
        if (grown == nullptr) {
            std::free(text);
        }
        text = grown;
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (text == nullptr || failed) {
        std::free(text);
        return nullptr;
    }
    text[used] = '\0';
    *length = used;
    return text;
}

// A string node's text, or null for one holding a NUL byte: libplist aborts
// the program when such a string is copied out. The reader refuses files with
// NUL bytes, and libplist refuses "&#0;"; this holds should it ever decode one.
const char* StringOf(plist_t node) {
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text != nullptr && std::strlen(text) == length ? text : nullptr;
}

void PrintValue(FILE* out, plist_t value) {
    switch (plist_get_node_type(value)) {
        case PLIST_STRING: {
            const char* text = StringOf(value);
            std::fprintf(out, "%s", text != nullptr ? text : "(text with a NUL byte)");
            break;
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(value, &bytes, &length);
            for (uint64_t i = 0; i < length; ++i) {
                std::fprintf(out, "%s%02X", i == 0 ? "" : " ",
                             static_cast<unsigned char>(bytes[i]));
            }
            std::fprintf(out, " (%" PRIu64 " bytes)", length);
            std::free(bytes);
            break;
        }
        case PLIST_UINT: {
            uint64_t number = 0;
            plist_get_uint_val(value, &number);
            std::fprintf(out, "%" PRIu64, number);
            break;
        }
        default:
            std::fprintf(out, "(value of another type)");
            break;
    }
}

// The file's root dictionary, or null (nothing to free) when it has none.
plist_t ReadDictionary(const char* path) {
    size_t length = 0;
    char* text = ReadWholeFile(path, &length);
    if (text == nullptr) {
        return nullptr;
    }
    // XML text holds no NUL byte; libplist would take one for the text's end.
    plist_t root = nullptr;
    if (std::memchr(text, '\0', length) == nullptr) {
        plist_from_xml(text, static_cast<uint32_t>(length), &root);
    }
    std::free(text);
    if (root != nullptr && plist_get_node_type(root) != PLIST_DICT) {
        plist_free(root);
        root = nullptr;
    }
    return root;
}

}  // namespace

int ReadEventFile(const char* path, int32_t* portName, uint8_t* data, uint32_t capacity,
                  uint32_t* dataLength) {
    plist_t root = ReadDictionary(path);
    if (root == nullptr) {
        return -1;
    }
    int result = -1;
    plist_t port = plist_dict_get_item(root, "PortName");
    plist_t bytes = plist_dict_get_item(root, "EventData");
    if (port != nullptr && plist_get_node_type(port) == PLIST_STRING && bytes != nullptr &&
        plist_get_node_type(bytes) == PLIST_DATA) {
        const char* text = StringOf(port);
        char* end = nullptr;
        errno = 0;
        const long value = text != nullptr ? std::strtol(text, &end, 10) : 0;
        const bool numeric = text != nullptr && end != text && *end == '\0' && errno == 0 &&
                             value >= INT32_MIN && value <= INT32_MAX;
        char* content = nullptr;
        uint64_t length = 0;
        plist_get_data_val(bytes, &content, &length);
        if (numeric) {
            *portName = static_cast<int32_t>(value);
            *dataLength = static_cast<uint32_t>(length < capacity ? length : capacity);
            std::memcpy(data, content, *dataLength);
            result = 0;
        }
        std::free(content);
    }
    plist_free(root);
    return result;
}

int PrintEventFile(FILE* out, const char* path) {
    plist_t root = ReadDictionary(path);
    if (root == nullptr) {
        std::fprintf(out, "  (cannot read a property-list dictionary from %s)\n", path);
        return -1;
    }
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root, &iter);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root, iter, &key, &value);
        if (key == nullptr) {
            break;
        }
        std::fprintf(out, "  %s: ", key);
        PrintValue(out, value);
        std::fprintf(out, "\n");
        std::free(key);
    }
    std::free(iter);
    plist_free(root);
    return 0;
}
