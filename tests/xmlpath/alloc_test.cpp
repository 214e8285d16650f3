// SPDX-License-Identifier: MIT
// Allocation-failure sweeps: every allocation of a run fails in turn; each run
// reports a failure status (never success with missing results) and leaks nothing.
#include <gtest/gtest.h>

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

TEST(AllocationSweep, QueryValuesFailsLoudlyAtEveryAllocation) {
    const uint64_t failures =
        SweepEngineFailures([] { return MakeQuery(kAnswer, kAnswerRows); },
                            [](XmlQuery* query) {
                                const int32_t status = QueryValues(query);
                                if (status == 0) {
                                    EXPECT_EQ(Match(query, 2), "00000007");
                                    EXPECT_EQ(query->entries[4].status, MatchEmptyPair);
                                }
                                return status;
                            },
                            ExpectLoudFailure);
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
    const uint64_t failures = SweepEngineFailures(
        [&] {
            return MakeQuery(document, {{"cmd/a k", nullptr}, {"cmd/a k=\"7\"", nullptr},
                                        {"cmd/b", nullptr}});
        },
        [](XmlQuery* query) {
            const int32_t status = QueryValues(query);
            if (status == 0) {
                EXPECT_EQ(Match(query, 0), "\"0\"");
                EXPECT_EQ(Match(query, 1), "7");
                EXPECT_EQ(query->entries[2].status, MatchSelfClosing);
            }
            return status;
        },
        ExpectLoudFailure);
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
    bool tagFailed = false;
    const uint64_t failures = SweepEngineFailures(
        [&] { return MakeQuery(document, {{"cmd/t a40", nullptr}}); },
        [&](XmlQuery* query) {
            const int32_t status = QueryValues(query);
            tagFailed |= status == XmlErrBadTag;
            if (status == 0) {
                EXPECT_EQ(Match(query, 0), "\"24\"");  // the first tag with 41 attributes
            }
            return status;
        },
        ExpectLoudFailure);
    EXPECT_LE(failures, 12u);  // doublings of the run's arrays, not one per tag (30)
    EXPECT_TRUE(tagFailed);   // a tag whose rows cannot be had fails as a bad tag
}

TEST(AllocationSweep, ElementWithManyAttributesFailsLoudlyToo) {
    const std::string document =
        kDecl + "<cmd><p a=\"1\" b=\"2\" c=\"3\"><q k=\"v\">x</q></p></cmd>";
    SweepEngineFailures(
        [&] {
            return MakeQuery(document, {{"cmd/p c/q k", nullptr},
                                        {"cmd/p a=\"1\" b=\"2\" c=\"3\"/q k=\"v\"", nullptr}});
        },
        QueryValues, ExpectLoudFailure);
}

TEST(AllocationSweep, CdataThatCannotBeRecordedStopsTheScanAtItsStart) {
    // Every match is kept for the multi-result read: the third record of a path
    // is the first that needs an array of its own.
    const std::string document = kDecl + "<cmd><a>1</a><a>2</a><a><![CDATA[x]]></a></cmd>";
    std::vector<MultiQueryRow> rows = {{"cmd/a", 5, nullptr, 0, 0}};
    MultiQuery multi{document.c_str(), document.size(), rows.data(), 1, 0};
    bool stoppedAtSection = false;
    SweepAllocationFailures([&] { return QueryAllValues(&multi); },
                            [&](uint64_t, int32_t status, int64_t) {
                                stoppedAtSection |= status == XmlErrNoMemory &&
                                                    multi.scanEnd == document.find("<![CDATA[");
                                FreeAllValues(&multi);
                            });
    EXPECT_TRUE(stoppedAtSection);
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
    const uint64_t failures = SweepEngineFailures(
        [&] {
            return MakeQuery(OutgrowingDocument(),
                             {{deep.c_str(), nullptr}, {"cmd/tail", nullptr}});
        },
        [](XmlQuery* query) {
            const int32_t status = QueryValues(query);
            if (status == 0) {
                EXPECT_EQ(Match(query, 0), "r0");
                EXPECT_EQ(Match(query, 1), "end");
            }
            return status;
        },
        ExpectLoudFailure);
    EXPECT_GT(failures, 3u);  // the growths of the run's path storage

    std::vector<MultiQueryRow> rows = {{deep.c_str(), deep.size(), nullptr, 0, 0}};
    const std::string document = OutgrowingDocument();
    MultiQuery multi{document.c_str(), document.size(), rows.data(), 1, 0};
    SweepAllocationFailures([&] { return QueryAllValues(&multi); },
                            [&](uint64_t failing, int32_t status, int64_t liveBefore) {
                                if (failing == 0) {
                                    ASSERT_EQ(rows[0].resultCount, 5u);
                                    EXPECT_EQ(rows[0].results[4].offset, document.find("r4"));
                                }
                                EXPECT_EQ(FreeAllValues(&multi), 0);
                                ExpectLoudFailure(failing, status, liveBefore);
                            });
}

TEST(AllocationSweep, QueryAllValuesFailsLoudlyAndFreeAllValuesReleasesPartialResults) {
    std::vector<MultiQueryRow> rows;
    for (const Row& row : kAnswerRows) {
        rows.push_back({row.path, std::string(row.path).size(), nullptr, 0, 0});
    }
    MultiQuery multi{kAnswer.c_str(), kAnswer.size(), rows.data(),
                     static_cast<uint32_t>(rows.size()), 0};
    SweepAllocationFailures([&] { return QueryAllValues(&multi); },
                            [&](uint64_t failing, int32_t status, int64_t liveBefore) {
                                if (failing == 0) {
                                    EXPECT_EQ(rows[1].resultCount, 1u);
                                }
                                EXPECT_EQ(FreeAllValues(&multi), 0);
                                ExpectLoudFailure(failing, status, liveBefore);
                            });
}

}  // namespace
