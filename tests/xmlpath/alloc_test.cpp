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
    EXPECT_GT(failures, 20u);
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
    const std::string document = kDecl + "<cmd><a><![CDATA[x]]></a></cmd>";
    bool stoppedAtSection = false;
    SweepEngineFailures(
        [&] {
            return MakeQuery(document, {{"cmd/a", nullptr}});
        },
        [&](XmlQuery* query) {
            const int32_t status = QueryValues(query);
            stoppedAtSection |=
                status == XmlErrNoMemory && query->scanEnd == document.find("<![CDATA[");
            return status;
        },
        [](uint64_t, int32_t, int64_t) {});
    EXPECT_TRUE(stoppedAtSection);
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
