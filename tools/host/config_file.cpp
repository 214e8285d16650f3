// SPDX-License-Identifier: MIT
// The configuration file's reader.
#include "config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// [begin, end) without the blanks at either side.
std::string Trimmed(const std::string& text, size_t begin, size_t end) {
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

bool IsKeyCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
}

bool ValidName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (char c : name) {
        if (!IsKeyCharacter(c)) {
            return false;
        }
    }
    return true;
}

// The one quoting rule: "..." with no other quote inside loses its quotes.
std::string Unquoted(const std::string& value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"' &&
        value.find('"', 1) == value.size() - 1) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Parses one line (without its end). 0, or -1 with *problem set.
int ParseLine(const std::string& line, std::string* section, ConfigEntry* entry, bool* isEntry,
              std::string* problem) {
    *isEntry = false;
    for (char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
            char text[64];
            std::snprintf(text, sizeof text, "a control character (\\x%02X) in the line", byte);
            const size_t separator = std::min(line.find_first_of("=:"), line.size());
            const std::string key = Trimmed(line, 0, separator);
            *problem = ValidName(key) ? key + ": " + text : text;
            return -1;
        }
    }
    const std::string text = Trimmed(line, 0, line.size());
    if (text.empty() || text[0] == '#' || text[0] == ';') {
        return 0;
    }
    if (text[0] == '[') {
        const size_t close = text.find(']');
        const std::string rest =
            close == std::string::npos ? "" : Trimmed(text, close + 1, text.size());
        const std::string name =
            close == std::string::npos ? "" : Trimmed(text, 1, close);
        if (close == std::string::npos || !ValidName(name) ||
            !(rest.empty() || rest[0] == '#' || rest[0] == ';')) {
            *problem = "not a [section] line: " + EscapeForMessage(text, 40);
            return -1;
        }
        *section = name;
        return 0;
    }
    const size_t separator = text.find_first_of("=:");
    if (separator == std::string::npos) {
        *problem = "not a key = value line: " + EscapeForMessage(text, 40);
        return -1;
    }
    entry->key = Trimmed(text, 0, separator);
    if (!ValidName(entry->key)) {
        *problem = entry->key.empty() ? "no key before '" + text.substr(separator, 1) + "'"
                                      : "'" + EscapeForMessage(entry->key, 40) +
                                            "' is not a key (letters, digits, '.', '_', '-')";
        return -1;
    }
    entry->section = *section;
    entry->value = Unquoted(Trimmed(text, separator + 1, text.size()));
    *isEntry = true;
    return 0;
}

}  // namespace

std::string EscapeForMessage(const std::string& bytes, size_t limit) {
    std::string out;
    const size_t shown = bytes.size() > limit ? limit : bytes.size();
    for (size_t i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte > 0x7E) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += static_cast<char>(byte);
        }
    }
    if (shown < bytes.size()) {
        out += "...";
    }
    return out;
}

int ParseConfigText(const std::string& text, std::vector<ConfigEntry>* entries, int* errorLine,
                    std::string* problem) {
    entries->clear();
    std::map<std::string, int> firstLine;  // key -> the line that gave it
    std::string section;
    size_t begin = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (int number = 1; begin < text.size(); ++number) {
        size_t end = text.find('\n', begin);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > begin && text[end - 1] == '\r') {
            --end;
        }
        ConfigEntry entry;
        bool isEntry = false;
        *errorLine = number;
        if (ParseLine(text.substr(begin, end - begin), &section, &entry, &isEntry, problem) != 0) {
            return -1;
        }
        if (isEntry) {
            const auto known = firstLine.find(entry.key);
            if (known != firstLine.end()) {
                *problem = entry.key + ": given again (first on line " +
                           std::to_string(known->second) + ")";
                return -1;
            }
            firstLine[entry.key] = number;
            entry.line = number;
            entries->push_back(std::move(entry));
        }
        begin = next;
    }
    *errorLine = 0;
    return 0;
}

int ReadConfigFile(const char* path, std::vector<ConfigEntry>* entries, std::string* error) {
    entries->clear();
    error->clear();
    const std::string shownPath = EscapeForMessage(path, 200);
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        return 1;
    }
    if (fd < 0) {
        *error = shownPath + ": cannot read: " + std::strerror(errno);
        return -1;
    }
    struct stat info {};
    std::string text;
    const bool known = fstat(fd, &info) == 0;
    // /dev/null reads as an empty file: a way to give no configuration.
    const bool isNull = known && S_ISCHR(info.st_mode) && info.st_rdev == makedev(1, 3);
    if (!isNull && (!known || !S_ISREG(info.st_mode))) {
        *error = shownPath + ": not a file";
    } else if (!isNull && static_cast<size_t>(info.st_size) > kMaxConfigFileBytes) {
        *error = shownPath + ": larger than 1 MiB";
    } else if (!isNull) {
        text.resize(static_cast<size_t>(info.st_size));
        size_t have = 0;
        while (have < text.size()) {
            const ssize_t got = read(fd, &text[have], text.size() - have);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                if (got < 0) {
                    *error = shownPath + ": cannot read: " + std::strerror(errno);
                }
                break;
            }
            have += static_cast<size_t>(got);
        }
        text.resize(have);  // a file cut while read is read as it is
    }
    close(fd);
    if (!error->empty()) {
        return -1;
    }
    int line = 0;
    std::string problem;
    if (ParseConfigText(text, entries, &line, &problem) != 0) {
        *error = shownPath + ":" + std::to_string(line) + ": " + problem;
        return -1;
    }
    return 0;
}
