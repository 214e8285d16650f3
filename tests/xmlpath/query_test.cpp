// SPDX-License-Identifier: MIT
// Query object and path list: what is copied, what is refused, and that every
// partly built record can be released.
#include <gtest/gtest.h>

#include "support/alloc_failure.h"
#include "test_util.h"
#include "xmlpath/replace.h"
#include "xmlpath/scanner.h"

using namespace xmltest;

namespace {

class QueryObject : public ::testing::Test {
protected:
    void SetUp() override { live_ = LiveAllocations(); }
    void TearDown() override { EXPECT_EQ(LiveAllocations(), live_) << "leaked blocks"; }
    int64_t live_ = 0;
};

XmlQuery* EmptyQuery() {
    return static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
}

TEST_F(QueryObject, SetPathValueCopiesBothStrings) {
    PathValue element{};
    std::string path = "cmd/a";
    std::string value = "v";
    ASSERT_EQ(SetPathValue(&element, path.c_str(), value.c_str()), QueryOk);
    path[0] = 'X';
    value[0] = 'X';
    EXPECT_STREQ(element.path, "cmd/a");
    EXPECT_STREQ(element.value, "v");
    FreeMemory(element.path);
    FreeMemory(element.value);
}

TEST_F(QueryObject, SetPathValueRefusesAbsentAndEmptyStrings) {
    PathValue element{};
    EXPECT_EQ(SetPathValue(nullptr, "p", nullptr), QueryBadParameter);
    EXPECT_EQ(SetPathValue(&element, nullptr, "v"), QueryBadParameter);
    EXPECT_EQ(SetPathValue(&element, "", nullptr), QueryBadParameter);
    EXPECT_EQ(element.path, nullptr);
    // An empty value leaves the path copy for FreePathValues to release.
    auto* list = static_cast<PathValue*>(AllocZeroed(sizeof(PathValue)));
    EXPECT_EQ(SetPathValue(list, "cmd/a", ""), QueryBadParameter);
    EXPECT_STREQ(list[0].path, "cmd/a");
    EXPECT_EQ(list[0].value, nullptr);
    FreePathValues(list, 1);
}

TEST_F(QueryObject, SetPathValueOutOfMemoryLeavesElementEmpty) {
    PathValue element{};
    SweepAllocationFailures([&] { return SetPathValue(&element, "cmd/a", "v"); },
                            [&](uint64_t failing, uint16_t status, int64_t liveBefore) {
                                if (failing != 0) {
                                    EXPECT_EQ(status, QueryNoMemory);
                                    EXPECT_EQ(element.path, nullptr);
                                    EXPECT_EQ(element.value, nullptr);
                                    EXPECT_EQ(LiveAllocations(), liveBefore);
                                } else {
                                    EXPECT_EQ(status, QueryOk);
                                    FreeAndClear(&element.path);
                                    FreeAndClear(&element.value);
                                }
                            });
}

TEST_F(QueryObject, CreateQueryCopiesDocumentFromStartAndEveryRow) {
    const std::string text = "junk" + kDecl + "<cmd/>";
    XmlQuery* query = MakeQuery(
        text,
        {{"cmd/b", "new"}, {"cmd/a", nullptr}, {"c", nullptr}, {"d", nullptr}, {"e", nullptr}}, 4);
    EXPECT_EQ(std::string(query->document), kDecl + "<cmd/>");
    EXPECT_EQ(query->documentLength, kDecl.size() + 6);
    EXPECT_NE(query->output, nullptr);
    EXPECT_EQ(query->outputCapacity, QueryOutputSize);
    ASSERT_EQ(query->entryCount, 5);
    EXPECT_STREQ(query->entries[0].value, "new");
    EXPECT_EQ(query->entries[0].valueLength, 3u);
    EXPECT_EQ(query->entries[0].status, 0);
    EXPECT_STREQ(query->entries[1].path, "cmd/a");
    EXPECT_EQ(query->entries[1].pathLength, 5u);
    for (int i = 1; i < 5; ++i) {  // read-only paths
        EXPECT_EQ(query->entries[i].value, nullptr);
        EXPECT_EQ(query->entries[i].valueLength, 0u);
    }
    EXPECT_EQ(query->scanEnd, 0u);
    DestroyQuery(query);
}

TEST_F(QueryObject, CreateQueryRefusesBadArguments) {
    PathValue* list = MakeList({{"cmd", nullptr}});
    XmlQuery* query = EmptyQuery();
    EXPECT_EQ(CreateQuery(nullptr, "x", list, 1, 0), QueryBadParameter);
    EXPECT_EQ(CreateQuery(query, nullptr, list, 1, 0), QueryBadParameter);
    EXPECT_EQ(CreateQuery(query, "x", nullptr, 1, 0), QueryBadParameter);
    EXPECT_EQ(CreateQuery(query, "x", list, 0, 0), QueryBadParameter);
    EXPECT_EQ(CreateQuery(query, "x", list, -1, 0), QueryBadParameter);
    EXPECT_EQ(CreateQuery(query, "x", list, 1, 2), QueryBadParameter);  // start past the end
    EXPECT_EQ(query->document, nullptr);
    DestroyQuery(query);
    FreePathValues(list, 1);
}

TEST_F(QueryObject, EmptyValueInThirdRowStopsAfterItsPathAndDestroyReleasesAll) {
    auto* list = static_cast<PathValue*>(AllocZeroed(3 * sizeof(PathValue)));
    SetPathValue(&list[0], "cmd/a", "1");
    SetPathValue(&list[1], "cmd/b", "2");
    SetPathValue(&list[2], "cmd/c", nullptr);
    list[2].value = static_cast<char*>(AllocZeroed(1));  // "" made by hand
    XmlQuery* query = EmptyQuery();
    EXPECT_EQ(CreateQuery(query, kDecl.c_str(), list, 3, 0), QueryBadParameter);
    EXPECT_STREQ(query->entries[1].value, "2");
    EXPECT_STREQ(query->entries[2].path, "cmd/c");
    EXPECT_EQ(query->entries[2].value, nullptr);
    DestroyQuery(query);
    FreePathValues(list, 3);
}

// A query starting at the text's end has an empty document; a query whose
// first row has no path has nothing to look for.
TEST_F(QueryObject, EmptyDocumentOrPathlessFirstRowIsRefusedByBothEngines) {
    XmlQuery* atEnd = MakeQuery(kDecl, {{"cmd", nullptr}}, static_cast<uint32_t>(kDecl.size()));
    EXPECT_EQ(atEnd->documentLength, 0u);
    XmlQuery* pathless =
        MakeQuery(kDecl + "<cmd><a>x</a></cmd>", {{nullptr, nullptr}, {"cmd/a", "y"}});
    for (XmlQuery* query : {atEnd, pathless}) {
        EXPECT_EQ(QueryValues(query), XmlErrArgument);
        EXPECT_EQ(ReplaceValues(query), XmlErrArgument);
    }
    EXPECT_EQ(pathless->entries[1].status, 0);  // untouched
    DestroyQuery(atEnd);
    DestroyQuery(pathless);
}

TEST_F(QueryObject, DestroyAndFreeTolerateAbsentAndPartlyFilledRecords) {
    DestroyQuery(nullptr);
    FreePathValues(nullptr, 3);
    DestroyQuery(EmptyQuery());
    auto* list = static_cast<PathValue*>(AllocZeroed(2 * sizeof(PathValue)));
    FreePathValues(list, 2);
}

TEST_F(QueryObject, CreateQueryOutOfMemoryReturns256AndLeaksNothing) {
    PathValue* list = MakeList({{"cmd/a", "1"}, {"cmd/b", nullptr}, {"cmd/c", "3"}});
    const std::string text = kDecl + "<cmd><a>x</a></cmd>";
    uint64_t failures = SweepAllocationFailures(
        [&] {
            XmlQuery* query = EmptyQuery();
            if (query == nullptr) {
                return uint16_t{QueryNoMemory};
            }
            const uint16_t status = CreateQuery(query, text.c_str(), list, 3, 0);
            DestroyQuery(query);
            return status;
        },
        [&](uint64_t failing, uint16_t status, int64_t liveBefore) {
            EXPECT_EQ(status, failing != 0 ? QueryNoMemory : QueryOk) << "allocation " << failing;
            EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
        });
    EXPECT_EQ(failures, 2u);  // the record, and one block for document, output, rows and strings
    FreePathValues(list, 3);
}

}  // namespace
