// Fuzz target for the XML path engine: input is a document, optionally
// followed by a NUL byte and a path list (one path a line, "path<TAB>value" for
// a path with a value). Without a list, the answer and command paths are used.
#include <cstdint>
#include <cstdlib>
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

const Row kFixedRows[] = {
    {"cmd/ivec:contents/ivec:param_set servicetype", "\"scan\"", true},
    {"cmd/ivec:contents/ivec:operation", "", false},
    {"cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/vxr:ijmode", "1", true},
    {"cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:jobID", " ", true},
    {"cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:response_detail", "", false},
};

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void RunQuery(const std::string& document, const std::vector<Row>& rows, int mode) {
    const int32_t count = static_cast<int32_t>(rows.size());
    auto* list = static_cast<PathValue*>(AllocZeroed(rows.size() * sizeof(PathValue)));
    for (int32_t i = 0; i < count; ++i) {
        SetPathValue(&list[i], rows[i].path.c_str(),
                     rows[i].hasValue ? rows[i].value.c_str() : nullptr);
    }
    auto* query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
    if (CreateQuery(query, document.c_str(), list, count, 0) == QueryOk) {
        int32_t status = 0;
        if (mode == 0) {
            status = QueryValues(query);
        } else if (mode == 1) {
            status = QueryValuesAnyRoot(query);
        } else {
            status = ReplaceValues(query);
            if (status == 0) {
                Check(query->outputCapacity <= QueryOutputSize);
            }
        }
        for (int32_t i = 0; i < query->entryCount; ++i) {
            const QueryEntry& entry = query->entries[i];
            Check(entry.matchOffset + entry.matchLength <= query->documentLength);
        }
        (void)status;
    }
    DestroyQuery(query);
    FreePathValues(list, count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string document = input.substr(0, split);
    std::vector<Row> rows;
    if (split != std::string::npos) {
        size_t at = split + 1;
        while (at < input.size() && rows.size() < 16) {
            size_t end = input.find('\n', at);
            if (end == std::string::npos) {
                end = input.size();
            }
            const std::string line = input.substr(at, end - at);
            const size_t tab = line.find('\t');
            Row row{line.substr(0, tab), "", tab != std::string::npos};
            if (row.hasValue) {
                row.value = line.substr(tab + 1);
            }
            if (!row.path.empty() && row.path.find('\0') == std::string::npos &&
                row.value.find('\0') == std::string::npos &&
                (!row.hasValue || !row.value.empty())) {
                rows.push_back(row);
            }
            at = end + 1;
        }
    }
    if (rows.empty()) {
        rows.assign(std::begin(kFixedRows), std::end(kFixedRows));
    }
    for (int mode = 0; mode < 3; ++mode) {
        RunQuery(document, rows, mode);
    }

    // The multi-result read over the exact bytes, with no NUL behind them.
    std::vector<char> exact(input.begin(), input.begin() + static_cast<long>(document.size()));
    std::vector<MultiQueryRow> multiRows;
    for (const Row& row : rows) {
        multiRows.push_back({row.path.c_str(), row.path.size(), nullptr, 0, 0});
    }
    MultiQuery multi{exact.data(), exact.size(), multiRows.data(),
                     static_cast<uint32_t>(multiRows.size()), 0};
    QueryAllValues(&multi);
    for (const MultiQueryRow& row : multiRows) {
        for (uint32_t r = 0; r < row.resultCount; ++r) {
            Check(row.results[r].offset + row.results[r].length <= exact.size());
        }
    }
    FreeAllValues(&multi);
    return 0;
}
