// SPDX-License-Identifier: MIT
// Reads arbitrary bytes as the host's configuration file and checks what the
// reader promises: every entry a well-formed key once, with a value on one
// line and free of control characters but tabs; every error on a real line,
// in printable ASCII only, so that no byte of a planted file reaches a
// terminal or the journal unescaped.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "config_file.h"

namespace {

void Check(bool holds) {
    if (!holds) {
        __builtin_trap();
    }
}

bool Printable(const std::string& text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    int lines = 1;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    std::vector<ConfigEntry> entries;
    int errorLine = -1;
    std::string problem;
    if (ParseConfigText(text, &entries, &errorLine, &problem) != 0) {
        Check(errorLine >= 1 && errorLine <= lines);
        Check(!problem.empty() && Printable(problem));
        return 0;
    }
    std::set<std::string> keys;
    int previous = 0;
    for (const ConfigEntry& entry : entries) {
        Check(entry.line > previous && entry.line <= lines);
        previous = entry.line;
        Check(!entry.key.empty() && Printable(entry.key) && keys.insert(entry.key).second);
        for (char c : entry.value) {
            Check(c == '\t' || static_cast<unsigned char>(c) >= 0x20);
        }
        Check(Printable(EscapeForMessage(entry.value)));
    }
    return 0;
}
