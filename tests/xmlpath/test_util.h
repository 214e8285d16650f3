// SPDX-License-Identifier: MIT
// Helpers for the XML path engine tests: build a query from a document and a
// list of (path, value) pairs, release it, and check one lookup per case.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/memory.h"
#include "support/alloc_failure.h"
#include "xmlpath/engine.h"
#include "xmlpath/query.h"
#include "xmlpath/scanner.h"

namespace xmltest {

// Every document of the tests starts with this declaration (offset 0, 22 bytes).
inline const std::string kDecl = "<?xml version=\"1.0\" ?>";

struct Row {
    const char* path;
    const char* value;
};

// Path list of heap strings, released with FreePathValues.
inline PathValue* MakeList(const std::vector<Row>& rows) {
    auto* list = static_cast<PathValue*>(AllocZeroed(rows.size() * sizeof(PathValue)));
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].path != nullptr) {
            EXPECT_EQ(SetPathValue(&list[i], rows[i].path, rows[i].value), QueryOk);
        }
    }
    return list;
}

// Created query (CreateQuery must succeed); release with DestroyQuery.
inline XmlQuery* MakeQuery(const std::string& document, const std::vector<Row>& rows,
                           uint32_t start = 0) {
    PathValue* list = MakeList(rows);
    auto* query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
    EXPECT_EQ(CreateQuery(query, document.c_str(), list, static_cast<int32_t>(rows.size()), start),
              QueryOk);
    FreePathValues(list, static_cast<int32_t>(rows.size()));
    return query;
}

inline std::string Output(const XmlQuery* query) {
    return std::string(query->output, query->outputCapacity);
}

// The matched bytes of entry i.
inline std::string Match(const XmlQuery* query, int i) {
    return std::string(query->document + query->entries[i].matchOffset,
                       query->entries[i].matchLength);
}

// One path looked up in kDecl + body. The body marks the expected match:
// "|x|" around matched text, "||" where an empty or self-closing element's
// marker points; a body without marks expects offset and length 0.
struct LookupCase {
    const char* name;
    std::string body;
    const char* path;
    int32_t run;
    int32_t entry;
};

// Runs QueryValues for each case and checks both statuses, the exact match
// and that the query leaves nothing behind.
inline void ExpectLookups(const std::vector<LookupCase>& cases) {
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string body = c.body;
        uint64_t offset = 0;
        uint64_t length = 0;
        const size_t open = body.find('|');
        if (open != std::string::npos) {
            const size_t close = body.find('|', open + 1);
            ASSERT_NE(close, std::string::npos);
            offset = kDecl.size() + open;
            length = close - open - 1;
            body.erase(close, 1);
            body.erase(open, 1);
        }
        const int64_t live = LiveAllocations();
        XmlQuery* query = MakeQuery(kDecl + body, {{c.path, nullptr}});
        EXPECT_EQ(QueryValues(query), c.run);
        EXPECT_EQ(query->entries[0].status, c.entry);
        EXPECT_EQ(query->entries[0].matchOffset, offset);
        EXPECT_EQ(query->entries[0].matchLength, length);
        DestroyQuery(query);
        EXPECT_EQ(LiveAllocations(), live);
    }
}

// Allocation-failure sweep of one engine run: for n = 1, 2, ... a fresh query
// is made without failures, the run's n-th allocation fails, and `check`
// receives n (0 for the final unhindered run), the run's status and the blocks
// live before the query was made, after the query was destroyed.
template <typename Make, typename Run, typename Check>
uint64_t SweepEngineFailures(Make make, Run run, Check check) {
    for (uint64_t n = 1;; ++n) {
        const int64_t liveBefore = LiveAllocations();
        XmlQuery* query = make();
        FailAllocationAfter(n, false);
        const int32_t status = run(query);
        const bool injected = InjectedAllocationFailures() > 0;
        ClearAllocationFailure();
        DestroyQuery(query);
        check(injected ? n : 0, status, liveBefore);
        if (!injected) {
            return n - 1;
        }
    }
}

// Check for SweepEngineFailures: a run whose allocation failed reports a
// status an allocation failure can give (never success with missing results),
// the unhindered run succeeds, and nothing is left behind either way.
inline void ExpectLoudFailure(uint64_t failing, int32_t status, int64_t liveBefore) {
    if (failing == 0) {
        EXPECT_EQ(status, 0);
    } else {
        EXPECT_TRUE(status == XmlErrNoMemory || status == XmlErrBadTag || status == XmlErrArgument)
            << "allocation " << failing << " gave " << status;
    }
    EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
}

}  // namespace xmltest
