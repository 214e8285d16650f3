// ReplaceValues: splicing in document order, filling empty and self-closing
// elements, the buffer limit, produced and needed lengths, and overlaps.
#include "xmlpath/replace.h"

#include <gtest/gtest.h>

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

std::string Replace(const std::string& text, const std::vector<Row>& rows, int32_t expected = 0) {
    XmlQuery* query = MakeQuery(text, rows);
    EXPECT_EQ(ReplaceValues(query), expected);
    std::string out = expected == 0 ? Output(query) : std::string();
    DestroyQuery(query);
    return out;
}

std::string Replaced(const std::string& text, const std::string& from, const std::string& to) {
    std::string result = text;
    result.replace(result.find(from), from.size(), to);
    return result;
}

TEST(ReplaceTemplates, VendorCommandIsFilledAndEveryRowReportsItsValue) {
    XmlQuery* query = MakeQuery(kVendorCmd, kVendorRows);
    ASSERT_EQ(ReplaceValues(query), 0);
    std::string expected = Replaced(kVendorCmd, "\"%s\"", "\"scan\"");
    expected = Replaced(expected, ">00000001<", "> <");
    expected = Replaced(expected, ">%s<", ">1<");
    EXPECT_EQ(Output(query), expected);
    for (int i = 0; i < 3; ++i) {
        const QueryEntry& entry = query->entries[i];
        EXPECT_EQ(entry.status, MatchFound);
        EXPECT_EQ(Output(query).substr(entry.valueOffset, entry.valueLength), entry.value);
    }
    // Matches stay offsets into the unchanged document.
    EXPECT_EQ(Match(query, 0), "\"%s\"");
    EXPECT_EQ(Match(query, 2), "00000001");
    DestroyQuery(query);
}

TEST(ReplaceOrder, EntriesInReverseOrderGiveTheSameOutput) {
    const std::vector<Row> reversed(kVendorRows.rbegin(), kVendorRows.rend());
    EXPECT_EQ(Replace(kVendorCmd, reversed), Replace(kVendorCmd, kVendorRows));
}

TEST(ReplaceOrder, LaterValueOffsetMovesByEarlierGrowth) {
    const std::string text = kDecl + "<cmd><a>x</a><b>y</b></cmd>";
    XmlQuery* query = MakeQuery(text, {{"cmd/b", "Y"}, {"cmd/a", "xxxx"}});
    ASSERT_EQ(ReplaceValues(query), 0);
    EXPECT_EQ(query->entries[0].valueOffset, query->entries[0].matchOffset + 3);
    EXPECT_EQ(query->entries[1].valueOffset, query->entries[1].matchOffset);
    EXPECT_EQ(Output(query), kDecl + "<cmd><a>xxxx</a><b>Y</b></cmd>");
    DestroyQuery(query);
}

TEST(ReplaceFill, EmptyAndSelfClosingElementsAreFilled) {
    const std::string head = kDecl + "<cmd>";
    struct FillCase {
        const char* path;
        std::string body;
        std::string expected;
        uint64_t valueAt;  // offset in the body of the inserted value
    };
    const std::vector<FillCase> cases = {
        {"cmd/x", "<x/></cmd>", "<x>abc</x></cmd>", 3},
        {"cmd/x", "<x /></cmd>", "<x >abc</x></cmd>", 4},
        {"cmd/x k=\"1\"", "<x k=\"1\"/></cmd>", "<x k=\"1\">abc</x></cmd>", 9},
        {"cmd/x", "<x></x></cmd>", "<x>abc</x></cmd>", 3},
        {"cmd/x", "<x>%s</x></cmd>", "<x>abc</x></cmd>", 3},
    };
    for (const FillCase& c : cases) {
        XmlQuery* query = MakeQuery(head + c.body, {{"cmd/x k", nullptr}, {c.path, "abc"}});
        // The attribute path of the row without value is matched but never written.
        ASSERT_EQ(ReplaceValues(query), 0) << c.body;
        EXPECT_EQ(Output(query), head + c.expected) << c.body;
        EXPECT_EQ(query->outputCapacity, head.size() + c.expected.size()) << c.body;
        EXPECT_EQ(query->entries[1].status, MatchFound) << c.body;
        EXPECT_EQ(query->entries[1].valueOffset, head.size() + c.valueAt) << c.body;
        EXPECT_EQ(query->entries[0].valueOffset, 0u) << c.body;
        DestroyQuery(query);
    }
}

TEST(ReplaceFill, SelfClosingChildFollowedByParentTextFillsBoth) {
    const std::string text = kDecl + "<cmd><p><x/>abc</p></cmd>";
    XmlQuery* query = MakeQuery(text, {{"cmd/p", "T"}, {"cmd/p/x", "V"}});
    ASSERT_EQ(ReplaceValues(query), 0);
    EXPECT_EQ(Output(query), kDecl + "<cmd><p><x>V</x>T</p></cmd>");
    EXPECT_EQ(Output(query).substr(query->entries[0].valueOffset, 1), "T");
    EXPECT_EQ(Output(query).substr(query->entries[1].valueOffset, 1), "V");
    DestroyQuery(query);
}

TEST(ReplaceFill, LastSelfClosingChildAndEmptyParentFillBoth) {
    // The child's marker (past "/>") and the parent's marker ("<" of "</p>") coincide.
    const std::string text = kDecl + "<cmd><p><x/></p></cmd>";
    XmlQuery* query = MakeQuery(text, {{"cmd/p", "T"}, {"cmd/p/x", "V"}});
    ASSERT_EQ(ReplaceValues(query), 0);
    EXPECT_EQ(Output(query), kDecl + "<cmd><p><x>V</x>T</p></cmd>");
    EXPECT_EQ(query->outputCapacity, Output(query).size());
    DestroyQuery(query);
}

TEST(ReplaceUnfound, AllPathsUnfoundCopiesTheDocument) {
    const std::string text = kDecl + "<cmd><a>x</a></cmd>";
    XmlQuery* query = MakeQuery(text, {{"cmd/b", "1"}, {"cmd/c", "2"}});
    ASSERT_EQ(ReplaceValues(query), 0);
    EXPECT_EQ(Output(query), text);
    EXPECT_EQ(query->entries[0].status, MatchMissing);
    EXPECT_EQ(query->entries[0].valueOffset, 0u);
    DestroyQuery(query);
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

TEST(ReplaceBuffer, ExactlyTheBufferSizeFitsAndOneMoreByteDoesNot) {
    const std::string value = "VALUE";
    XmlQuery* query = MakeQuery(SizedDocument(1024, value), {{"cmd/a", value.c_str()}});
    ASSERT_EQ(ReplaceValues(query), 0);
    EXPECT_EQ(query->outputCapacity, 1024u);
    EXPECT_EQ(Output(query).substr(Output(query).size() - 6), "</cmd>");
    DestroyQuery(query);

    query = MakeQuery(SizedDocument(1025, value), {{"cmd/a", value.c_str()}});
    EXPECT_EQ(ReplaceValues(query), XmlErrBufferTooSmall);
    EXPECT_EQ(query->outputCapacity, 1025u);
    EXPECT_EQ(query->entries[0].valueOffset, 0u);
    EXPECT_EQ(query->entries[0].status, MatchFound);
    DestroyQuery(query);
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

TEST(ReplaceBuffer, SecondRunNeverTrustsACapacityAboveTheBuffer) {
    const std::string value(40, 'v');
    XmlQuery* query = MakeQuery(SizedDocument(1064, value), {{"cmd/a", value.c_str()}});
    EXPECT_EQ(ReplaceValues(query), XmlErrBufferTooSmall);
    EXPECT_EQ(query->outputCapacity, 1064u);
    EXPECT_EQ(ReplaceValues(query), XmlErrBufferTooSmall);  // not a 1064-byte write
    DestroyQuery(query);
}

TEST(ReplaceOverlap, DuplicatePathsWriteOneValueAndStayInsideTheBuffer) {
    const std::string text = kDecl + "<cmd><a>x</a><b>y</b></cmd>";
    XmlQuery* query = MakeQuery(text, {{"cmd/a", "LONGER"}, {"cmd/a", "S"}, {"cmd/b", "Z"}});
    ASSERT_EQ(ReplaceValues(query), 0);
    const std::string out = Output(query);
    // Equal offsets keep their order here: the first entry wins, the second is not written.
    EXPECT_EQ(out, kDecl + "<cmd><a>LONGER</a><b>Z</b></cmd>");
    EXPECT_EQ(query->outputCapacity, out.size());
    EXPECT_EQ(out.substr(query->entries[2].valueOffset, 1), "Z");
    EXPECT_LE(query->outputCapacity, QueryOutputSize);
    DestroyQuery(query);
}

TEST(ReplaceOverlap, UnstableSortDecidesAmongEqualOffsets) {
    // Keys 2a, 2b, 1 are sorted to 1, 2b, 2a: "2b" is spliced, "2a" is not.
    const std::string text = kDecl + "<cmd><a>x</a><b>y</b></cmd>";
    XmlQuery* query = MakeQuery(text, {{"cmd/b", "2a"}, {"cmd/b", "2b"}, {"cmd/a", "1"}});
    ASSERT_EQ(ReplaceValues(query), 0);
    EXPECT_EQ(Output(query), kDecl + "<cmd><a>1</a><b>2b</b></cmd>");
    DestroyQuery(query);
}

TEST(ReplaceMemory, EveryFailedAllocationReturnsItsStatusAndLeaksNothing) {
    uint64_t failures = SweepEngineFailures(
        [] { return MakeQuery(kVendorCmd, kVendorRows); }, ReplaceValues,
        [&](uint64_t failing, int32_t status, int64_t liveBefore) {
            if (failing == 0) {
                EXPECT_EQ(status, 0);
            } else {
                EXPECT_TRUE(status == XmlErrNoMemory || status == XmlErrBadTag ||
                            status == XmlErrArgument)
                    << "allocation " << failing << " gave " << status;
            }
            EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
        });
    EXPECT_GT(failures, 10u);
}

}  // namespace
