// SPDX-License-Identifier: MIT
// Allocation-failure sweeps: every allocation of a run fails in turn; each run
// reports a failure status (never success with missing results) and leaks nothing.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "test_util.h"
#include "xmlpath/replace.h"
#include "xmlpath/scanner.h"

using namespace xmltest;

namespace {

// A device answer with declarations, attributes, a comment, CDATA, an empty
// and a self-closing element.
const std::string kAnswer =
    std::string("<?xml version=\"1.0\" encoding=\"utf-8\" ?><cmd xmlns:ivec=\"") +
    ZN_NS_COMMON_URI +
    "\"><!-- answer --><ivec:contents><ivec:operation>StartJobResponse</ivec:operation>"
    "<ivec:param_set servicetype=\"scan\"><ivec:jobID><![CDATA[00000007]]></ivec:jobID>"
    "<ivec:response>OK</ivec:response><ivec:response_detail></ivec:response_detail>"
    "<ivec:extra/></ivec:param_set></ivec:contents></cmd>";

const std::vector<Row> kAnswerRows = {
    {"cmd/ivec:contents/ivec:param_set servicetype", nullptr},
    {"cmd/ivec:contents/ivec:operation", nullptr},
    {"cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:jobID", nullptr},
    {"cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:response", nullptr},
    {"cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:response_detail", nullptr},
};

// Sweeps QueryValues over a query of `document` and `rows`; `done` checks the
// unhindered run's results, and `statuses` (if given) collects every run's.
template <typename Done>
uint64_t SweepQueryValues(const std::string& document, const std::vector<Row>& rows, Done done,
                          std::set<int32_t>* statuses = nullptr) {
    return SweepEngineFailures([&] { return MakeQuery(document, rows); },
                               [&](XmlQuery* query) {
                                   const int32_t status = QueryValues(query);
                                   if (status == 0) {
                                       done(query);
                                   }
                                   if (statuses != nullptr) {
                                       statuses->insert(status);
                                   }
                                   return status;
                               },
                               ExpectLoudFailure);
}

// Sweeps QueryAllValues over `document`, one row per path: `each` sees every
// run's status and results before FreeAllValues releases them.
template <typename Each>
void SweepAllValues(const std::string& document, const std::vector<std::string>& paths, Each each) {
    std::vector<MultiQueryRow> rows;
    for (const std::string& path : paths) {
        rows.push_back({path.c_str(), path.size(), nullptr, 0, 0});
    }
    MultiQuery multi{document.c_str(), document.size(), rows.data(),
                     static_cast<uint32_t>(rows.size()), 0};
    SweepAllocationFailures([&] { return QueryAllValues(&multi); },
                            [&](uint64_t failing, int32_t status, int64_t liveBefore) {
                                each(status, multi);
                                EXPECT_EQ(FreeAllValues(&multi), 0);
                                ExpectLoudFailure(failing, status, liveBefore);
                            });
}

TEST(AllocationSweep, QueryValuesFailsLoudlyAtEveryAllocation) {
    const uint64_t failures = SweepQueryValues(kAnswer, kAnswerRows, [](XmlQuery* query) {
        EXPECT_EQ(Match(query, 2), "00000007");
        EXPECT_EQ(query->entries[4].status, MatchEmptyPair);
    });
    // None: the run works in room the query made for it; tags' attributes and
    // the records of a query need no blocks of their own.
    EXPECT_EQ(failures, 0u);
}

TEST(AllocationSweep, QueryMemoryDoesNotGrowWithTheNumberOfMatches) {
    std::string document = kDecl + "<cmd>";
    for (int i = 0; i < 500; ++i) {
        document += "<a k=\"" + std::to_string(i) + "\">" + std::to_string(i) + "</a><b/>";
    }
    document += "</cmd>";
    const uint64_t failures = SweepQueryValues(
        document, {{"cmd/a k", nullptr}, {"cmd/a k=\"7\"", nullptr}, {"cmd/b", nullptr}},
        [](XmlQuery* query) {
            EXPECT_EQ(Match(query, 0), "\"0\"");
            EXPECT_EQ(Match(query, 1), "7");
            EXPECT_EQ(query->entries[2].status, MatchSelfClosing);
        });
    EXPECT_EQ(failures, 0u);  // 500 matches of each path, and no block for any of them
}

TEST(AllocationSweep, TagsWithMoreAttributesThanTheStackHoldsShareOneGrowingArray) {
    std::string document = kDecl + "<cmd>";
    for (int tag = 0; tag < 30; ++tag) {
        document += "<t";
        for (int a = 0; a < 17 + tag; ++a) {
            document += " a" + std::to_string(a) + "=\"" + std::to_string(tag) + "\"";
        }
        document += "/>";
    }
    document += "</cmd>";
    std::set<int32_t> statuses;
    const uint64_t failures = SweepQueryValues(
        document, {{"cmd/t a40", nullptr}},
        [](XmlQuery* query) {
            EXPECT_EQ(Match(query, 0), "\"24\"");  // the first tag with 41 attributes
        },
        &statuses);
    EXPECT_LE(failures, 12u);  // doublings of the run's arrays, not one per tag (30)
    EXPECT_EQ(statuses.count(XmlErrBadTag),
              1u);  // a tag whose rows cannot be had fails as a bad tag
}

TEST(AllocationSweep, ElementWithManyAttributesFailsLoudlyToo) {
    const std::string document =
        kDecl + "<cmd><p a=\"1\" b=\"2\" c=\"3\"><q k=\"v\">x</q></p></cmd>";
    SweepQueryValues(
        document, {{"cmd/p c/q k", nullptr}, {"cmd/p a=\"1\" b=\"2\" c=\"3\"/q k=\"v\"", nullptr}},
        [](XmlQuery*) {});
}

TEST(AllocationSweep, CdataThatCannotBeRecordedStopsTheScanAtItsStart) {
    // Every match is kept for the multi-result read: the third record of a path
    // is the first that needs an array of its own.
    const std::string document = kDecl + "<cmd><a>1</a><a>2</a><a><![CDATA[x]]></a></cmd>";
    bool stoppedAtSection = false;
    SweepAllValues(document, {"cmd/a"}, [&](int32_t status, const MultiQuery& multi) {
        stoppedAtSection |= status == XmlErrNoMemory && multi.scanEnd == document.find("<![CDATA[");
    });
    EXPECT_TRUE(stoppedAtSection);
    // A text run stops it on its last byte, in a sibling taken whole as well.
    const std::string siblings = kDecl + "<cmd><a>1</a><a>2</a><a>3</a></cmd>";
    bool stoppedAtText = false;
    SweepAllValues(siblings, {"cmd/a"}, [&](int32_t status, const MultiQuery& multi) {
        stoppedAtText |= status == XmlErrNoMemory && multi.scanEnd == siblings.find("3</a>");
    });
    EXPECT_TRUE(stoppedAtText);
}

// Nested deeper, longer and with more attributes than the run's own storage
// holds, with a path recorded five times: every array of the run grows.
std::string OutgrowingDocument() {
    std::string open;
    std::string close;
    for (int level = 1; level <= 12; ++level) {
        const std::string name = "l" + std::to_string(level);
        open += "<" + name + " k=\"v" + std::to_string(level) + "xxxxxxxxxxxx\"";
        for (int a = 0; level == 12 && a < 10; ++a) {
            open += " a" + std::to_string(a) + "=\"" + std::to_string(a) + "\"";
        }
        open += ">";
        close = "</" + name + ">" + close;
    }
    return kDecl + "<cmd>" + open + "<r>r0</r><r>r1</r><r>r2</r><r>r3</r><r>r4</r>" + close +
           "<tail>end</tail></cmd>";
}

// The path down to level 11, with every level's predicate.
std::string OutgrowingPath(int wrongLevel = 0) {
    std::string path = "cmd";
    for (int level = 1; level <= 11; ++level) {
        path += "/l" + std::to_string(level) + " k=\"v" + std::to_string(level) +
                (level == wrongLevel ? "y" : "xxxxxxxxxxxx") + "\"";
    }
    return path;
}

TEST(OutgrownStorage, DeepLongPathsMatchAfterTheRunStorageGrows) {
    const std::string deep = OutgrowingPath() + "/l12 k/r";
    const std::string attribute = OutgrowingPath() + "/l12 a9";
    const std::string wrong = OutgrowingPath(3) + "/l12 k/r";
    XmlQuery* query = MakeQuery(OutgrowingDocument(), {{deep.c_str(), nullptr},
                                                       {attribute.c_str(), nullptr},
                                                       {"cmd/tail", nullptr},
                                                       {wrong.c_str(), nullptr}});
    EXPECT_EQ(QueryValues(query), 0);
    EXPECT_EQ(Match(query, 0), "r0");
    EXPECT_EQ(Match(query, 1), "\"9\"");
    EXPECT_EQ(Match(query, 2), "end");
    EXPECT_EQ(query->entries[3].status, MatchMissing);
    DestroyQuery(query);
}

TEST(OutgrownStorage, EveryGrowthThatFailsIsLoudAndLeaksNothing) {
    const std::string deep = OutgrowingPath() + "/l12 k/r";
    const uint64_t failures =
        SweepQueryValues(OutgrowingDocument(), {{deep.c_str(), nullptr}, {"cmd/tail", nullptr}},
                         [](XmlQuery* query) {
                             EXPECT_EQ(Match(query, 0), "r0");
                             EXPECT_EQ(Match(query, 1), "end");
                         });
    EXPECT_GT(failures, 3u);  // the growths of the run's path storage

    const std::string document = OutgrowingDocument();
    SweepAllValues(document, {deep}, [&](int32_t status, const MultiQuery& multi) {
        if (status == 0) {
            ASSERT_EQ(multi.rows[0].resultCount, 5u);
            EXPECT_EQ(multi.rows[0].results[4].offset, document.find("r4"));
        }
    });
}

TEST(AllocationSweep, QueryAllValuesFailsLoudlyAndFreeAllValuesReleasesPartialResults) {
    std::vector<std::string> paths;
    for (const Row& row : kAnswerRows) {
        paths.push_back(row.path);
    }
    SweepAllValues(kAnswer, paths, [](int32_t status, const MultiQuery& multi) {
        if (status == 0) {
            EXPECT_EQ(multi.rows[1].resultCount, 1u);
        }
    });
}

}  // namespace
