// SPDX-License-Identifier: MIT
// Test support: reads an event file back with libplist, for the event
// writer's tests and the plug-in's.
#pragma once

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

inline PlistPtr Decode(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    return PlistPtr(root);
}

inline std::vector<std::string> KeysOf(plist_t dictionary) {
    std::vector<std::string> keys;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dictionary, &iter);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dictionary, iter, &key, &value);
        if (key == nullptr) {
            break;
        }
        keys.push_back(key);
        free(key);
    }
    free(iter);
    return keys;
}

inline std::string StringAt(plist_t dictionary, const char* key) {
    plist_t node = plist_dict_get_item(dictionary, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return "<no string>";
    }
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string result(value);
    free(value);
    return result;
}

inline std::vector<uint8_t> DataAt(plist_t dictionary, const char* key) {
    plist_t node = plist_dict_get_item(dictionary, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) {
        ADD_FAILURE() << key << " is not data";
        return {};
    }
    char* value = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node, &value, &length);
    std::vector<uint8_t> result(value, value + length);
    free(value);
    return result;
}
