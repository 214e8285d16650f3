// SPDX-License-Identifier: MIT
// ReplaceValues: splicing in document order, filling empty and self-closing
// elements, the buffer limit, produced and needed lengths, and overlaps.
#include "xmlpath/replace.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/alloc_failure.h"
#include "test_util.h"
#include "xmlpath/scanner.h"

using namespace xmltest;

namespace {

const std::string kVendorCmd =
    std::string("<?xml version=\"1.0\" encoding=\"utf-8\" ?><cmd xmlns:ivec=\"") +
    ZN_NS_COMMON_URI + "\" xmlns:vxr=\"" + ZN_NS_VENDOR_URI +
    "\"><ivec:contents><ivec:operation>VendorCmd</ivec:operation><ivec:param_set "
    "servicetype=\"%s\"><ivec:jobID>00000001</ivec:jobID><vxr:ijoperation>ModeShift</"
    "vxr:ijoperation><vxr:ijmode>%s</vxr:ijmode></ivec:param_set></ivec:contents></cmd>";

const std::vector<Row> kVendorRows = {
    {"cmd/ivec:contents/ivec:param_set servicetype", "\"scan\""},
    {"cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/vxr:ijmode", "1"},
    {"cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/ivec:jobID", " "},
};

std::string Replaced(const std::string& text, const std::string& from, const std::string& to) {
    std::string result = text;
    result.replace(result.find(from), from.size(), to);
    return result;
}

// The rows in either order give the same output.
TEST(ReplaceTemplates, VendorCommandIsFilledAndEveryRowReportsItsValue) {
    std::string expected = Replaced(kVendorCmd, "\"%s\"", "\"scan\"");
    expected = Replaced(expected, ">00000001<", "> <");
    expected = Replaced(expected, ">%s<", ">1<");
    const std::vector<Row> reversed(kVendorRows.rbegin(), kVendorRows.rend());
    for (const bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "rows reversed" : "rows in order");
        XmlQuery* query = MakeQuery(kVendorCmd, reverse ? reversed : kVendorRows);
        ASSERT_EQ(ReplaceValues(query), 0);
        EXPECT_EQ(Output(query), expected);
        for (int i = 0; i < 3; ++i) {
            const QueryEntry& entry = query->entries[i];
            EXPECT_EQ(entry.status, MatchFound);
            EXPECT_EQ(Output(query).substr(entry.valueOffset, entry.valueLength), entry.value);
        }
        // Matches stay offsets into the unchanged document.
        EXPECT_EQ(Match(query, reverse ? 2 : 0), "\"%s\"");
        EXPECT_EQ(Match(query, reverse ? 0 : 2), "00000001");
        DestroyQuery(query);
    }
}

// One ReplaceValues run on kDecl + "<cmd>" + body: the output, its length, and
// where each entry's value went. Entries listed in `written` must find their
// value at valueOffset; entries without a value, or not found, keep
// valueOffset 0; every found entry with a value ends MatchFound.
struct SpliceCase {
    const char* name;
    std::string body;
    std::vector<Row> rows;
    std::string expected;
    std::vector<int> written;
};

TEST(ReplaceSplice, ValuesLandWhereTheirEntriesSay) {
    // Empty and self-closing elements are filled; the attribute path "cmd/x k"
    // of the row without a value is matched but never written.
    const std::vector<Row> fill = {{"cmd/x k", nullptr}, {"cmd/x", "abc"}};
    const std::vector<SpliceCase> cases = {
        {"self-closing", "<x/></cmd>", fill, "<x>abc</x></cmd>", {1}},
        {"self-closing with space", "<x /></cmd>", fill, "<x >abc</x></cmd>", {1}},
        {"self-closing with attribute",
         "<x k=\"1\"/></cmd>",
         {{"cmd/x k", nullptr}, {"cmd/x k=\"1\"", "abc"}},
         "<x k=\"1\">abc</x></cmd>",
         {1}},
        {"empty pair", "<x></x></cmd>", fill, "<x>abc</x></cmd>", {1}},
        {"found text", "<x>%s</x></cmd>", fill, "<x>abc</x></cmd>", {1}},
        // The later entry's valueOffset moves by the earlier match's growth of 3.
        {"later offset moves by earlier growth",
         "<a>x</a><b>y</b></cmd>",
         {{"cmd/b", "Y"}, {"cmd/a", "xxxx"}},
         "<a>xxxx</a><b>Y</b></cmd>",
         {0, 1}},
        {"all paths unfound copies the document",
         "<a>x</a></cmd>",
         {{"cmd/b", "1"}, {"cmd/c", "2"}},
         "<a>x</a></cmd>",
         {}},
        {"self-closing child, then parent text",
         "<p><x/>abc</p></cmd>",
         {{"cmd/p", "T"}, {"cmd/p/x", "V"}},
         "<p><x>V</x>T</p></cmd>",
         {0, 1}},
        // The child's marker (past "/>") and the parent's ("<" of "</p>") coincide.
        {"last self-closing child of an empty parent",
         "<p><x/></p></cmd>",
         {{"cmd/p", "T"}, {"cmd/p/x", "V"}},
         "<p><x>V</x>T</p></cmd>",
         {0, 1}},
        // Equal offsets keep their order here: the first entry wins, the second
        // is not written, and nothing is written outside the buffer.
        {"duplicate paths write one value",
         "<a>x</a><b>y</b></cmd>",
         {{"cmd/a", "LONGER"}, {"cmd/a", "S"}, {"cmd/b", "Z"}},
         "<a>LONGER</a><b>Z</b></cmd>",
         {0, 2}},
        // Keys 2a, 2b, 1 are sorted to 1, 2b, 2a: "2b" is spliced, "2a" is not.
        {"unstable sort decides among equal offsets",
         "<a>x</a><b>y</b></cmd>",
         {{"cmd/b", "2a"}, {"cmd/b", "2b"}, {"cmd/a", "1"}},
         "<a>1</a><b>2b</b></cmd>",
         {1, 2}},
    };
    const std::string head = kDecl + "<cmd>";
    for (const SpliceCase& c : cases) {
        XmlQuery* query = MakeQuery(head + c.body, c.rows);
        ASSERT_EQ(ReplaceValues(query), 0) << c.name;
        const std::string out = Output(query);
        EXPECT_EQ(out, head + c.expected) << c.name;
        for (int i = 0; i < query->entryCount; ++i) {
            const QueryEntry& entry = query->entries[i];
            if (std::find(c.written.begin(), c.written.end(), i) != c.written.end()) {
                EXPECT_EQ(out.substr(entry.valueOffset, entry.valueLength), entry.value)
                    << c.name << " entry " << i;
            }
            if (entry.value == nullptr || entry.matchOffset == 0) {
                EXPECT_EQ(entry.valueOffset, 0u) << c.name << " entry " << i;
            } else {
                EXPECT_EQ(entry.status, MatchFound) << c.name << " entry " << i;
            }
        }
        DestroyQuery(query);
    }
}

TEST(ReplaceFailures, ScanFailureLeavesOutputAndCapacityUntouched) {
    XmlQuery* query = MakeQuery(kDecl + "<cmd><a>x</b></cmd>", {{"cmd/a", "1"}});
    EXPECT_EQ(ReplaceValues(query), XmlErrMismatchedClose);
    EXPECT_EQ(query->outputCapacity, QueryOutputSize);
    EXPECT_EQ(query->entries[0].valueOffset, 0u);
    DestroyQuery(query);
    EXPECT_EQ(ReplaceValues(nullptr), XmlErrArgument);
}

// A document whose rewritten form needs exactly `needed` bytes.
std::string SizedDocument(uint64_t needed, const std::string& value) {
    const std::string head = kDecl + "<cmd><a>x</a><pad>";
    const std::string tail = "</pad></cmd>";
    const uint64_t fixed = head.size() + tail.size() + value.size() - 1;
    return head + std::string(needed - fixed, 'p') + tail;
}

// A document needing exactly the buffer fits; one needing more fails, reports
// the size it needs, and fails again on a second run rather than trusting
// that size as the buffer's.
TEST(ReplaceBuffer, ExactlyTheBufferSizeFitsAndOneMoreByteDoesNot) {
    const struct {
        uint64_t needed;
        std::string value;
        int32_t status;
    } kCases[] = {
        {1024, "VALUE", 0},
        {1025, "VALUE", XmlErrBufferTooSmall},
        {1064, std::string(40, 'v'), XmlErrBufferTooSmall},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.needed);
        XmlQuery* query = MakeQuery(SizedDocument(c.needed, c.value), {{"cmd/a", c.value.c_str()}});
        EXPECT_EQ(ReplaceValues(query), c.status);
        EXPECT_EQ(query->outputCapacity, c.needed);
        EXPECT_EQ(query->entries[0].status, MatchFound);
        if (c.status == 0) {
            EXPECT_EQ(Output(query).substr(Output(query).size() - 6), "</cmd>");
        } else {
            EXPECT_EQ(query->entries[0].valueOffset, 0u);
            EXPECT_EQ(ReplaceValues(query), XmlErrBufferTooSmall);  // not a write past the buffer
        }
        DestroyQuery(query);
    }
}

TEST(ReplaceBuffer, LongDocumentShrunkToFitIsCompleteBecauseTailsComeFromTheDocument) {
    const std::string big(200, 'b');
    const std::string text = kDecl + "<cmd><a>" + big + "</a><b>" + big + "</b><c>" +
                             std::string(600, 'c') + "</c><d>x</d></cmd>";
    ASSERT_GT(text.size(), 1024u);
    XmlQuery* query = MakeQuery(text, {{"cmd/a", "1"}, {"cmd/b", "2"}, {"cmd/d", "4"}});
    ASSERT_EQ(ReplaceValues(query), 0);
    const std::string expected =
        kDecl + "<cmd><a>1</a><b>2</b><c>" + std::string(600, 'c') + "</c><d>4</d></cmd>";
    EXPECT_EQ(Output(query), expected);
    DestroyQuery(query);
}

TEST(ReplaceMemory, EveryFailedAllocationReturnsItsStatusAndLeaksNothing) {
    uint64_t failures = SweepEngineFailures([] { return MakeQuery(kVendorCmd, kVendorRows); },
                                            ReplaceValues, ExpectLoudFailure);
    // None: the run works in room the query made for it, tags' attributes and the
    // sorted copy of a few rows need no blocks of their own.
    EXPECT_EQ(failures, 0u);
}

TEST(ReplaceMemory, ManyRowsTakeAHeapCopyWhoseFailureIsReported) {
    std::string document = kDecl + "<cmd>";
    std::vector<std::string> paths;
    for (int i = 0; i < 20; ++i) {
        document += "<e" + std::to_string(i) + ">x</e" + std::to_string(i) + ">";
        paths.push_back("cmd/e" + std::to_string(i));
    }
    document += "</cmd>";
    std::vector<Row> rows;
    for (const std::string& path : paths) {
        rows.push_back({path.c_str(), "y"});
    }
    bool copyFailed = false;
    const uint64_t failures = SweepEngineFailures(
        [&] { return MakeQuery(document, rows); },
        [&](XmlQuery* query) {
            const int32_t status = ReplaceValues(query);
            copyFailed |= status == XmlErrNoMemory && query->entries[0].status == MatchFound;
            if (status == 0) {
                EXPECT_EQ(Output(query).find("<e19>y</e19>"), document.find("<e19>x</e19>"));
            }
            return status;
        },
        ExpectLoudFailure);
    EXPECT_EQ(failures, 1u);  // the copy of the rows
    EXPECT_TRUE(copyFailed);  // the scan had filled the entries when the copy failed
}

}  // namespace
