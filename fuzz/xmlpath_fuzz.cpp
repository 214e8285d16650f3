// SPDX-License-Identifier: MIT
// Fuzz target for the XML path engine: input is a document, optionally
// followed by a NUL byte and a path list (one path a line, "path<TAB>value" for
// a path with a value). Without a list, the answer and command paths are used.
// Each input also runs once with one of the engine's allocations failing (which
// one follows from the input): the run must report a failure and leak nothing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/alloc_hooks.h"
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

// The rows as a path list; entries whose strings cannot be allocated stay
// empty, as the engine must cope with them.
PathValue* BuildPathList(const std::vector<Row>& rows) {
    auto* list = static_cast<PathValue*>(AllocZeroed(rows.size() * sizeof(PathValue)));
    for (size_t i = 0; list != nullptr && i < rows.size(); ++i) {
        SetPathValue(&list[i], rows[i].path.c_str(),
                     rows[i].hasValue ? rows[i].value.c_str() : nullptr);
    }
    return list;
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Blocks live, and the allocation to fail while armed (counted down to 0).
struct FailureState {
    int64_t live = 0;
    uint64_t countdown = 0;
    bool injected = false;
};
FailureState gFailure;

bool FailChosenAllocation(uint64_t) {
    if (gFailure.countdown == 0) {
        return false;
    }
    if (--gFailure.countdown == 0) {
        gFailure.injected = true;
        return true;
    }
    return false;
}
void CountAllocated(void*) {
    ++gFailure.live;
}
void CountReleased(void*) {
    --gFailure.live;
}
const AllocHooks kFailureHooks{FailChosenAllocation, CountAllocated, CountReleased};

// One engine run (mode as in RunQuery) whose `failing`-th allocation fails.
void RunFailing(const std::string& document, const std::vector<Row>& rows, int mode,
                uint64_t failing) {
    gAllocHooks.store(&kFailureHooks, std::memory_order_release);
    const int64_t liveBefore = gFailure.live;
    const int32_t count = static_cast<int32_t>(rows.size());
    PathValue* list = BuildPathList(rows);
    auto* query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
    if (CreateQuery(query, document.c_str(), list, count, 0) == QueryOk) {
        gFailure.countdown = failing;
        gFailure.injected = false;
        const int32_t status = mode == 0 ? QueryValues(query) : ReplaceValues(query);
        gFailure.countdown = 0;
        // A failed allocation never passes for success.
        Check(!gFailure.injected || status != 0);
    }
    DestroyQuery(query);
    FreePathValues(list, count);
    Check(gFailure.live == liveBefore);
    gAllocHooks.store(nullptr, std::memory_order_release);
}

void RunQuery(const std::string& document, const std::vector<Row>& rows, int mode) {
    const int32_t count = static_cast<int32_t>(rows.size());
    PathValue* list = BuildPathList(rows);
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
    const uint64_t failing = size > 0 ? 1 + data[size - 1] % 32 : 1;
    RunFailing(document, rows, static_cast<int>(failing % 2), failing);

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
