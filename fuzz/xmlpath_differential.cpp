// SPDX-License-Identifier: MIT
// Driver of scripts/xmlpath-differential: runs the XML path engine it is linked
// with on generated inputs and on corpus files, in every mode, and prints one
// digest line per input (or every result of one input with --show), so that
// two builds of the engine can be compared line by line.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/memory.h"
#include "xmlpath/replace.h"
#include "xmlpath/scanner.h"

namespace {

struct Row {
    std::string path;
    std::string value;
    bool hasValue;
};

struct Input {
    std::string document;
    std::vector<Row> rows;
    uint32_t start;
};

// Results of one input: a digest, and with `show` every field as text.
struct Sink {
    uint64_t hash = 1469598103934665603ull;
    bool show = false;
    void Bytes(const void* data, size_t length) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < length; ++i) {
            hash = (hash ^ bytes[i]) * 1099511628211ull;
        }
    }
    void Number(const char* name, int64_t value) {
        Bytes(&value, sizeof value);
        if (show) {
            std::printf(" %s=%lld", name, static_cast<long long>(value));
        }
    }
    void Text(const char* name, const char* data, uint64_t length) {
        Number(name, static_cast<int64_t>(length));
        Bytes(data, length);
        if (show) {
            std::printf(" %s=\"%.*s\"", name, static_cast<int>(length), data);
        }
    }
    void Line(const char* label) {
        if (show) {
            std::printf("\n%s:", label);
        }
    }
};

// ---- Generated inputs ---------------------------------------------------------

struct Random {
    uint64_t state;
    uint64_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    bool Chance(uint32_t percent) { return Below(100) < percent; }
};

const char* const kPrefixes[] = {"", "", "ivec:", "vxr:", "a:", "ikw:", "qldm:", "x:", ":"};
const char* const kNames[] = {"cmd", "contents", "operation", "param_set", "jobID", "item",
                              "a", "b", "response", "x y", "cmdx", "d"};
const char* const kAttrNames[] = {"servicetype", "id", "k", "xmlns", "a", "name", "b:c"};
const char* const kValues[] = {"scan", "1", "", " scan ", "a/b", "%s", "ivec:x", "2", "scan", "7",
                               "<", "v\"w"};
const char* const kUriTails[] = {"/ns/cmd/2008/07/common/", "/ns/cmd/2008/07/korvel/",
                                 "/ns/wdp/2008/01/print/", "/ns/cmd/2010/05/korvel",
                                 "/ns/other/"};
const char* const kSpaces[] = {" ", "  ", "\t", "\n", "\r\n", ""};

template <size_t N>
const char* Pick(Random& random, const char* const (&table)[N]) {
    return table[random.Below(N)];
}

std::string Uri(Random& random) {
    return random.Chance(85) ? std::string(ZN_NAMESPACE_BASE) + Pick(random, kUriTails)
                             : std::string(Pick(random, kUriTails));
}

std::string ElementName(Random& random) {
    return std::string(Pick(random, kPrefixes)) + Pick(random, kNames);
}

std::string Attributes(Random& random) {
    std::string text;
    const uint32_t count = random.Chance(50) ? 0 : random.Below(4);
    for (uint32_t i = 0; i < count; ++i) {
        text += random.Chance(90) ? " " : Pick(random, kSpaces);
        if (random.Chance(15)) {
            text += std::string("xmlns:") + Pick(random, kPrefixes) + "=\"" + Uri(random) + "\"";
            continue;
        }
        text += std::string(Pick(random, kPrefixes)) + Pick(random, kAttrNames);
        if (random.Chance(5)) {
            continue;  // a bare name
        }
        text += random.Chance(90) ? "=" : "= ";
        text += std::string("\"") + Pick(random, kValues) + (random.Chance(2) ? "" : "\"");
    }
    return text;
}

// Paths of the elements generated so far, as a query path would name them.
std::vector<std::string> gElementPaths;

// Siblings that repeat one name (and attributes), each with its own text or
// none, now and then a comment or a mismatched end tag among them.
void SiblingRun(Random& random, std::string& out, const std::string& parentPath) {
    const std::string name = ElementName(random);
    const std::string attributes = random.Chance(70) ? "" : Attributes(random);
    gElementPaths.push_back(parentPath + "/" + name);
    const uint32_t count = 2 + random.Below(4);
    for (uint32_t i = 0; i < count; ++i) {
        out += "<" + name + attributes + ">";
        if (!random.Chance(15)) {
            out +=
                std::string(Pick(random, kSpaces)) + Pick(random, kValues) + Pick(random, kSpaces);
        }
        if (random.Chance(5)) {
            out += "<!-- c -->";
        }
        out += "</" + (random.Chance(3) ? ElementName(random) : name) +
               (random.Chance(3) ? Pick(random, kSpaces) : "") + ">" + Pick(random, kSpaces);
    }
}

void Element(Random& random, std::string& out, int depth, const std::string& forcedName,
             const std::string& parentPath) {
    const std::string name = forcedName.empty() ? ElementName(random) : forcedName;
    const std::string attributes = Attributes(random);
    const std::string path = parentPath.empty() ? name : parentPath + "/" + name;
    gElementPaths.push_back(path);
    if (!attributes.empty() && attributes.find("xmlns") == std::string::npos) {
        gElementPaths.push_back(path + attributes);  // predicates as written
    }
    out += "<" + name + attributes + (random.Chance(10) ? Pick(random, kSpaces) : "");
    if (random.Chance(12)) {
        out += "/>";
        return;
    }
    out += ">";
    const uint32_t children = depth > 5 ? 0 : random.Below(depth < 2 ? 5 : 3);
    for (uint32_t c = 0; c <= children; ++c) {
        const uint32_t kind = random.Below(10);
        if (kind < 4) {
            out += std::string(Pick(random, kSpaces)) + Pick(random, kValues) +
                   Pick(random, kSpaces);
        } else if (kind == 4) {
            out += "<![CDATA[" + std::string(Pick(random, kValues)) + (random.Chance(50) ? "]" : "") +
                   "]]>";
        } else if (kind == 5) {
            out += random.Chance(50) ? "<!-- c -->" : "<?pi x?>";
        } else if (kind == 6 && c < children) {
            SiblingRun(random, out, path);
        } else if (c < children) {
            Element(random, out, depth + 1, std::string(), path);
        }
    }
    if (random.Chance(4)) {
        return;  // unterminated
    }
    out += "</" + (random.Chance(3) ? ElementName(random) : name) +
           (random.Chance(5) ? Pick(random, kSpaces) : "") + ">";
}

std::string Path(Random& random) {
    if (!gElementPaths.empty() && random.Chance(70)) {
        std::string path = gElementPaths[random.Below(static_cast<uint32_t>(gElementPaths.size()))];
        if (random.Chance(25)) {
            path += std::string(" ") + Pick(random, kAttrNames);
        }
        return path;
    }
    std::string path = random.Chance(90) ? "cmd" : ElementName(random);
    const uint32_t depth = random.Below(4);
    for (uint32_t d = 0; d < depth; ++d) {
        path += "/" + ElementName(random);
        if (random.Chance(20)) {
            path += std::string(" ") + Pick(random, kPrefixes) + Pick(random, kAttrNames) + "=\"" +
                    Pick(random, kValues) + "\"";
        }
    }
    if (random.Chance(30)) {
        path += std::string(" ") + Pick(random, kAttrNames);
    }
    if (random.Chance(3)) {
        path += "/";
    }
    return path;
}

// Byte edits that push the inputs off the grammar.
void Mutate(Random& random, std::string& text) {
    const uint32_t edits = random.Chance(80) ? 0 : 1 + random.Below(3);
    for (uint32_t e = 0; e < edits && !text.empty(); ++e) {
        const uint32_t at = random.Below(static_cast<uint32_t>(text.size()));
        switch (random.Below(4)) {
            case 0:
                text.erase(at, 1 + random.Below(4));
                break;
            case 1:
                text.insert(at, 1, "<>/\"= :!?["[random.Below(11)]);
                break;
            case 2:
                text[at] = static_cast<char>(random.Below(256) | 1);  // never NUL
                break;
            default:
                text.resize(at);
                break;
        }
    }
}

Input Generate(uint64_t seed) {
    Random random{(seed + 1) * 0x9E3779B97F4A7C15ull};
    for (int i = 0; i < 8; ++i) {
        random.Next();
    }
    Input input;
    std::string& doc = input.document;
    if (random.Chance(3)) {
        doc += Pick(random, kSpaces);
    }
    if (!random.Chance(3)) {
        doc += std::string("<?xml") + (random.Chance(95) ? " version=\"1.0\"?>" : "?>");
    }
    doc += Pick(random, kSpaces);
    std::string root = random.Chance(90) ? "cmd" : ElementName(random);
    std::string rootOpen = "<" + root;
    if (random.Chance(70)) {
        rootOpen += " xmlns:ivec=\"" + Uri(random) + "\"";
    }
    if (random.Chance(50)) {
        rootOpen += " xmlns:vxr=\"" + Uri(random) + "\"";
    }
    std::string body;
    gElementPaths.clear();
    Element(random, body, 0, root, std::string());
    // Put the declarations on the root.
    body.replace(0, 1 + root.size(), rootOpen);
    doc += body;
    if (random.Chance(20)) {
        doc += Pick(random, kSpaces) + std::string("<after/>");
    }
    Mutate(random, doc);
    const uint32_t rows = 1 + random.Below(6);
    for (uint32_t r = 0; r < rows; ++r) {
        Row row{Path(random), std::string(), random.Chance(50)};
        if (row.hasValue) {
            row.value = random.Chance(60) ? Pick(random, kValues) : "\"scan\"";
            if (row.value.empty()) {
                row.value = "z";
            }
        }
        if (random.Chance(10)) {
            Mutate(random, row.path);
        }
        if (row.path.empty()) {
            row.path = "cmd";
        }
        input.rows.push_back(row);
    }
    input.start = random.Chance(95) ? 0 : random.Below(static_cast<uint32_t>(doc.size()) + 1);
    return input;
}

// ---- Corpus inputs: a document, optionally a NUL and a path list -------------

Input Parse(const std::string& bytes) {
    Input input;
    input.start = 0;
    const size_t nul = bytes.find('\0');
    input.document = bytes.substr(0, nul);
    if (nul != std::string::npos) {
        size_t at = nul + 1;
        while (at <= bytes.size()) {
            size_t end = bytes.find('\n', at);
            if (end == std::string::npos) {
                end = bytes.size();
            }
            std::string line = bytes.substr(at, end - at);
            line.erase(std::remove(line.begin(), line.end(), '\0'), line.end());
            if (!line.empty()) {
                const size_t tab = line.find('\t');
                Row row{line.substr(0, tab), std::string(), tab != std::string::npos};
                if (row.hasValue) {
                    row.value = line.substr(tab + 1);
                }
                if (!row.path.empty() && !(row.hasValue && row.value.empty())) {
                    input.rows.push_back(row);
                }
            }
            at = end + 1;
        }
    }
    if (input.rows.empty()) {
        input.rows = {
            {"cmd/ivec:contents/ivec:param_set servicetype", "\"scan\"", true},
            {"cmd/ivec:contents/ivec:operation", "", false},
            {"cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/vxr:ijmode", "1", true},
            {"cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:jobID", " ", true},
            {"cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:response_detail", "",
             false},
        };
    }
    return input;
}

std::vector<std::string> CorpusFiles(const char* directory) {
    std::vector<std::string> files;
    DIR* dir = opendir(directory);
    if (dir == nullptr) {
        return files;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            files.push_back(std::string(directory) + "/" + entry->d_name);
        }
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

std::string ReadFile(const std::string& name) {
    std::string bytes;
    if (FILE* file = std::fopen(name.c_str(), "rb")) {
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            bytes.append(buffer, n);
        }
        std::fclose(file);
    }
    return bytes;
}

// ---- The runs -------------------------------------------------------------------

void RunMode(const Input& input, int mode, Sink& sink) {
    const auto count = static_cast<int32_t>(input.rows.size());
    auto* list = static_cast<PathValue*>(AllocZeroed(uint64_t(count) * sizeof(PathValue)));
    for (int32_t i = 0; i < count; ++i) {
        const Row& row = input.rows[i];
        sink.Number("set", SetPathValue(&list[i], row.path.c_str(),
                                        row.hasValue ? row.value.c_str() : nullptr));
    }
    auto* query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
    const uint16_t created = CreateQuery(query, input.document.c_str(), list, count, input.start);
    FreePathValues(list, count);
    sink.Number("create", created);
    if (created == QueryOk) {
        const int32_t status = mode == 0   ? QueryValues(query)
                               : mode == 1 ? QueryValuesAnyRoot(query)
                                           : ReplaceValues(query);
        sink.Number("status", status);
        sink.Number("scanEnd", static_cast<int64_t>(query->scanEnd));
        for (int32_t i = 0; i < query->entryCount; ++i) {
            const QueryEntry& entry = query->entries[i];
            sink.Line("  entry");
            sink.Number("offset", static_cast<int64_t>(entry.matchOffset));
            sink.Number("length", static_cast<int64_t>(entry.matchLength));
            sink.Number("kind", entry.status);
            if (mode == 2) {
                sink.Number("valueOffset", static_cast<int64_t>(entry.valueOffset));
            }
        }
        if (mode == 2) {
            sink.Number("outputCapacity", static_cast<int64_t>(query->outputCapacity));
            if (status == 0) {
                sink.Text("output", query->output, query->outputCapacity);
            }
        } else {
            // A second run of the same query, which finds its room used.
            sink.Line("  again");
            sink.Number("status", mode == 0 ? QueryValues(query) : QueryValuesAnyRoot(query));
            sink.Number("scanEnd", static_cast<int64_t>(query->scanEnd));
            for (int32_t i = 0; i < query->entryCount; ++i) {
                sink.Number("offset", static_cast<int64_t>(query->entries[i].matchOffset));
                sink.Number("length", static_cast<int64_t>(query->entries[i].matchLength));
                sink.Number("kind", query->entries[i].status);
            }
        }
    }
    DestroyQuery(query);
}

void RunAll(const Input& input, Sink& sink) {
    const auto count = static_cast<uint32_t>(input.rows.size());
    std::vector<MultiQueryRow> rows(count);
    for (uint32_t i = 0; i < count; ++i) {
        rows[i] = MultiQueryRow{input.rows[i].path.c_str(), input.rows[i].path.size(), nullptr, 0, 0};
    }
    const std::string text = input.document.substr(std::min<size_t>(input.start, input.document.size()));
    MultiQuery multi{text.c_str(), text.size(), rows.data(), count, 0};
    sink.Number("status", QueryAllValues(&multi));
    sink.Number("scanEnd", static_cast<int64_t>(multi.scanEnd));
    for (uint32_t i = 0; i < count; ++i) {
        sink.Line("  row");
        sink.Number("rowStatus", rows[i].status);
        sink.Number("results", rows[i].resultCount);
        for (uint32_t r = 0; r < rows[i].resultCount; ++r) {
            sink.Number("offset", static_cast<int64_t>(rows[i].results[r].offset));
            sink.Number("length", static_cast<int64_t>(rows[i].results[r].length));
        }
    }
    FreeAllValues(&multi);
}

const char* const kModeNames[] = {"QueryValues", "QueryValuesAnyRoot", "ReplaceValues",
                                  "QueryAllValues"};

uint64_t RunInput(const Input& input, bool show) {
    Sink sink;
    sink.show = show;
    if (show) {
        std::printf("document (%zu bytes, start %u): %s\n", input.document.size(), input.start,
                    input.document.c_str());
        for (const Row& row : input.rows) {
            std::printf("row: %s%s%s\n", row.path.c_str(), row.hasValue ? "\t= " : "",
                        row.hasValue ? row.value.c_str() : "");
        }
    }
    for (int mode = 0; mode < 4; ++mode) {
        sink.Line(kModeNames[mode]);
        if (mode < 3) {
            RunMode(input, mode, sink);
        } else {
            RunAll(input, sink);
        }
    }
    if (show) {
        std::printf("\n");
    }
    return sink.hash;
}

}  // namespace

// Usage: driver FIRST COUNT [CORPUS_DIR...]   one digest line per input
//        driver --show N [CORPUS_DIR...]      every result of input N
// Inputs are numbered: the corpus files first (sorted), then seeds FIRST on.
int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FIRST COUNT [DIR...] | --show N [DIR...]\n", argv[0]);
        return 2;
    }
    const bool show = std::strcmp(argv[1], "--show") == 0;
    std::vector<std::string> files;
    for (int i = 3; i < argc; ++i) {
        for (const std::string& file : CorpusFiles(argv[i])) {
            files.push_back(file);
        }
    }
    if (show) {
        const uint64_t n = std::strtoull(argv[2], nullptr, 10);
        if (n < files.size()) {
            std::printf("corpus file %s\n", files[n].c_str());
            RunInput(Parse(ReadFile(files[n])), true);
        } else {
            std::printf("generated input, seed %llu\n",
                        static_cast<unsigned long long>(n - files.size()));
            RunInput(Generate(n - files.size()), true);
        }
        return 0;
    }
    const uint64_t first = std::strtoull(argv[1], nullptr, 10);
    const uint64_t count = std::strtoull(argv[2], nullptr, 10);
    for (const std::string& file : files) {
        std::printf("%016llx\n", static_cast<unsigned long long>(RunInput(Parse(ReadFile(file)), false)));
    }
    for (uint64_t seed = first; seed < first + count; ++seed) {
        std::printf("%016llx\n", static_cast<unsigned long long>(RunInput(Generate(seed), false)));
    }
    return 0;
}
