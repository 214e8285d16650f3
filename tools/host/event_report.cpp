// Event-file lookup and decoding for the reference host.
#include "event_report.h"

#include <plist/plist.h>
#include <sys/stat.h>

#include <cinttypes>
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

void PrintValue(FILE* out, plist_t value) {
    switch (plist_get_node_type(value)) {
        case PLIST_STRING: {
            char* text = nullptr;
            plist_get_string_val(value, &text);
            std::fprintf(out, "%s", text != nullptr ? text : "");
            std::free(text);
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

}  // namespace

int FindEventFile(const char* directory, time_t when, const char* previous, char* path,
                  size_t pathSize) {
    for (time_t second = when; second >= when - 2; --second) {
        struct tm local;
        char name[64];
        if (localtime_r(&second, &local) == nullptr ||
            std::strftime(name, sizeof name, "TRNV.%Y%m%d%H%M%S.plist", &local) == 0) {
            continue;
        }
        const int written = std::snprintf(path, pathSize, "%s/%s", directory, name);
        if (written < 0 || static_cast<size_t>(written) >= pathSize) {
            continue;
        }
        struct stat info;
        if (stat(path, &info) == 0 && S_ISREG(info.st_mode) && std::strcmp(path, previous) != 0) {
            return 0;
        }
    }
    if (pathSize > 0) {
        path[0] = '\0';
    }
    return -1;
}

int PrintEventFile(FILE* out, const char* path) {
    size_t length = 0;
    char* text = ReadWholeFile(path, &length);
    if (text == nullptr) {
        std::fprintf(out, "  (cannot read %s)\n", path);
        return -1;
    }
    plist_t root = nullptr;
    plist_from_xml(text, static_cast<uint32_t>(length), &root);
    std::free(text);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) {
        std::fprintf(out, "  (not a property-list dictionary: %s)\n", path);
        plist_free(root);
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
