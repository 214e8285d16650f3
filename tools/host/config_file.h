// SPDX-License-Identifier: MIT
// The reader of the host's configuration file: "key = value" lines, "[name]"
// sections and comment lines. Our own because Debian's inih cuts long lines,
// takes " ;" inside a command for a comment and lets duplicates pass.
#pragma once

#include <string>
#include <vector>

// One "key = value" line as the file gives it.
struct ConfigEntry {
    std::string section;  // "" before the first [section]
    std::string key;
    std::string value;  // trimmed, a wholly quoted value unquoted
    int line = 0;       // 1-based
};

// The largest file the reader takes.
constexpr size_t kMaxConfigFileBytes = 1 << 20;

// Parses a whole file's bytes. The format, line by line (a line ends at LF;
// a CR before it and a UTF-8 BOM at the start are dropped):
//   - spaces and tabs around a line, a key and a value are ignored;
//   - an empty line, or one whose first character is '#' or ';', is a comment;
//   - "[name]" (a comment may follow) starts a section;
//   - else "key = value" (or "key: value"): the key is letters, digits, '.',
//     '_' or '-'; the value is the rest of the line, '#' and ';' included;
//   - a value that begins and ends with '"' and holds no other '"' loses
//     those two quotes; nothing else is unquoted or escaped;
//   - an indented line is an ordinary line: there are no continuation lines;
//   - a key given twice (in any sections) is an error, and so is a NUL or
//     another control character than a tab.
// 0, or -1 with *errorLine and *problem ("what is wrong", with the key and
// line text escaped) set.
int ParseConfigText(const std::string& text, std::vector<ConfigEntry>* entries, int* errorLine,
                    std::string* problem);

// Reads and parses the file at `path`, which must be a regular file or
// /dev/null. 0; 1 when it does not exist; -1 with "path: what is wrong" or
// "path:line: what is wrong" in *error.
int ReadConfigFile(const char* path, std::vector<ConfigEntry>* entries, std::string* error);

// `bytes` made safe for one log line: a backslash doubled; control
// characters, DEL and bytes above 0x7E as \xHH; longer than `limit` bytes
// cut with "...".
std::string EscapeForMessage(const std::string& bytes, size_t limit = 80);
