// SPDX-License-Identifier: MIT
// Document scanner and QueryValues: declaration rules, constructs, markers,
// first match and where a scan stops. Documents are the declaration followed
// by `body` unless a case says otherwise.
#include "xmlpath/scanner.h"

#include <gtest/gtest.h>

#include "support/alloc_failure.h"
#include "test_util.h"

using namespace xmltest;

namespace {

TEST(ScannerText, TextRunsAreTrimmedAndRecordedRaw) {
    ExpectLookups({
        {"plain", "<cmd><a>|x|</a></cmd>", "cmd/a", 0, MatchFound},
        {"inner space kept", "<cmd><a> |x  y| </a></cmd>", "cmd/a", 0, MatchFound},
        {"entity not decoded", "<cmd><a>|&amp;|</a></cmd>", "cmd/a", 0, MatchFound},
        {"high bytes are text", "<cmd><a>|\xc3\xa9|</a></cmd>", "cmd/a", 0, MatchFound},
        {"form feed is not whitespace", "<cmd><a>|\fx\f|</a></cmd>", "cmd/a", 0, MatchFound},
        {"whitespace only is empty", "<cmd><a>  \n\t ||</a></cmd>", "cmd/a", 0, MatchEmptyPair},
        {"text before child wins", "<cmd><a>|x|<b/>y</a></cmd>", "cmd/a", 0, MatchFound},
        {"first occurrence wins", "<cmd><a>|one|</a><a>two</a></cmd>", "cmd/a", 0, MatchFound},
        {"text before the root matches nothing", "xx<cmd><a/>||</cmd>", "cmd", 0, MatchEmptyPair},
        {"ancestor does not satisfy a deeper path", "<cmd>t<a></a></cmd>", "cmd/a/b", 0,
         MatchMissing},
        {"descendant does not satisfy a shorter path", "<cmd><a><b>t</b>||</a></cmd>", "cmd/a", 0,
         MatchEmptyPair},
        {"case-sensitive names", "<cmd><A>x</A></cmd>", "cmd/a", 0, MatchMissing},
    });
}

TEST(ScannerCdataAndComments, SectionsAndCommentsFollowTheirOwnRules) {
    ExpectLookups({
        {"cdata content raw", "<cmd><a><![CDATA[|a<b|]]></a></cmd>", "cmd/a", 0, MatchFound},
        {"empty cdata records nothing", "<cmd><a><![CDATA[]]>||</a></cmd>", "cmd/a", 0,
         MatchEmptyPair},
        {"unterminated cdata", "<cmd><a><![CDATA[abc</a></cmd>", "cmd/a", XmlErrUnterminated,
         MatchMissing},
        {"comment ends at first >", "<cmd><a><!-- x > |y -->|</a></cmd>", "cmd/a", 0, MatchFound},
        {"doctype skipped", "<!DOCTYPE cmd><cmd><a>|v|</a></cmd>", "cmd/a", 0, MatchFound},
        {"processing instruction skipped", "<cmd><?pi x?><a>|v|</a></cmd>", "cmd/a", 0, MatchFound},
        {"<!> is truncated", "<cmd><!></cmd>", "cmd", XmlErrTruncated, MatchMissing},
        {"unterminated comment", "<cmd><!-- x", "cmd", XmlErrUnterminated, MatchMissing},
    });
}

TEST(ScannerMarkers, EmptyAndSelfClosingElementsGetMarkers) {
    ExpectLookups({
        {"empty pair at end tag", "<cmd><a>||</a></cmd>", "cmd/a", 0, MatchEmptyPair},
        {"self-closing past >", "<cmd><a/>||</cmd>", "cmd/a", 0, MatchSelfClosing},
        {"self-closing with space", "<cmd><a />||</cmd>", "cmd/a", 0, MatchSelfClosing},
        {"marker before later text", "<cmd><a>||</a><a>x</a></cmd>", "cmd/a", 0, MatchEmptyPair},
        {"text then child then end keeps text", "<cmd><a>|x|<b></b></a></cmd>", "cmd/a", 0,
         MatchFound},
    });
}

TEST(ScannerMarkers, SecondEntryWithSamePathGetsNoMarker) {
    XmlQuery* query =
        MakeQuery(kDecl + "<cmd><a></a></cmd>", {{"cmd/a", nullptr}, {"cmd/a", nullptr}});
    EXPECT_EQ(QueryValues(query), 0);
    EXPECT_EQ(query->entries[0].status, MatchEmptyPair);
    EXPECT_EQ(query->entries[1].status, MatchMissing);
    EXPECT_EQ(query->entries[1].matchOffset, 0u);
    DestroyQuery(query);
}

TEST(ScannerTags, MalformedTagsEndTheScanWithTheirStatus) {
    ExpectLookups({
        {"space after <", "<cmd>< a></cmd>", "cmd", XmlErrBadTag, MatchMissing},
        {"digit after <", "<cmd><1></cmd>", "cmd", XmlErrBadTag, MatchMissing},
        {"< as last byte", "<cmd><", "cmd", XmlErrBadTag, MatchMissing},
        {"no > after tag", "<cmd><a", "cmd", XmlErrUnterminated, MatchMissing},
        {"text at end", "<cmd>abc", "cmd", XmlErrUnterminated, MatchMissing},
        {"unterminated quote", "<cmd a=\"1></cmd>", "cmd", XmlErrBadTag, MatchMissing},
        {"attribute without value", "<cmd><a b>x</a></cmd>", "cmd/a", XmlErrBadAttribute,
         MatchMissing},
        {"space inside attribute name", "<cmd><a b c=\"1\">x</a></cmd>", "cmd/a",
         XmlErrBadAttribute, MatchMissing},
        {"< inside value", "<cmd><a b=\"<\">x</a></cmd>", "cmd/a", XmlErrBadAttribute,
         MatchMissing},
        {"unquoted value is dropped", "<cmd><a b=1>|x|</a></cmd>", "cmd/a", 0, MatchFound},
        {"mismatched close", "<cmd><a>||</b></cmd>", "cmd/a", XmlErrMismatchedClose,
         MatchEmptyPair},
        {"space before > closes", "<cmd><a>|x|</a ></cmd>", "cmd/a", 0, MatchFound},
        {"empty end tag", "<cmd>||</></cmd>", "cmd", XmlErrArgument, MatchEmptyPair},
        // After an odd quote in a name, the next "/" stays inside that
        // segment, so the self-closing name does not close it.
        {"quote in a name", "<cmd><a\"><a\"/></a\"></cmd>", "cmd", XmlErrMismatchedClose,
         MatchMissing},
    });
}

TEST(ScannerRoot, RootMustBeExactlyCmd) {
    ExpectLookups({
        {"other root", "<root></root>", "root", XmlErrBadRoot, MatchMissing},
        {"cmdx opens, fails at its end", "<cmdx>|t|</cmdx>", "cmdx", XmlErrBadRoot, MatchFound},
        {"self-closing root", "<cmd/>||", "cmd", XmlErrBadRoot, MatchSelfClosing},
        {"space in root end tag", "<cmd>||</cmd >", "cmd", XmlErrBadRoot, MatchEmptyPair},
    });
}

TEST(ScannerRoot, AnyRootVariantAcceptsEveryRootName) {
    XmlQuery* query = MakeQuery(kDecl + "<root><a>x</a></root >tail", {{"root/a", nullptr}});
    EXPECT_EQ(QueryValuesAnyRoot(query), 0);
    EXPECT_EQ(query->entries[0].status, MatchFound);
    EXPECT_EQ(Match(query, 0), "x");
    EXPECT_EQ(query->scanEnd, kDecl.size() + 22);
    DestroyQuery(query);
}

struct DeclarationCase {
    const char* name;
    std::string document;
    int32_t run;
    uint64_t scanEnd;
};

TEST(ScannerDeclaration, DeclarationMustOpenTheDocument) {
    const std::vector<DeclarationCase> cases = {
        {"five bytes", "<?xml", XmlErrTruncated, 0},
        {"no declaration", "<cmd></cmd>", XmlErrNoDeclaration, 0},
        {"declaration not followed by whitespace", "<?xml?><cmd></cmd>", XmlErrNoDeclaration, 0},
        {"declaration ends the document", "<cmd></cmd><?xml", XmlErrNoDeclaration, 0},
        {"one space before", " " + kDecl + "<cmd></cmd>", XmlErrDeclarationNotAtStart, 1},
        {"byte order mark before", "\xef\xbb\xbf" + kDecl + "<cmd></cmd>",
         XmlErrDeclarationNotAtStart, 3},
        {"only the first occurrence counts", "<?xmlx <?xml v?><cmd></cmd>", XmlErrNoDeclaration, 0},
        {"text before", "garbage" + kDecl + "<cmd><a>x</a></cmd>", XmlErrDeclarationNotAtStart, 7},
    };
    for (const DeclarationCase& c : cases) {
        XmlQuery* query = MakeQuery(c.document, {{"cmd", nullptr}});
        EXPECT_EQ(QueryValues(query), c.run) << c.name;
        EXPECT_EQ(query->scanEnd, c.scanEnd) << c.name;
        EXPECT_EQ(query->entries[0].status, MatchMissing) << c.name;
        DestroyQuery(query);
    }
    // Created again from the declaration on, the same text scans.
    XmlQuery* query = MakeQuery(cases.back().document, {{"cmd/a", nullptr}}, 7);
    EXPECT_EQ(QueryValues(query), 0);
    EXPECT_EQ(Match(query, 0), "x");
    DestroyQuery(query);
}

// "^" marks where the scan ends in the body.
TEST(ScannerScanEnd, ScanStopsJustPastTheRootOrWhereItFailed) {
    const struct {
        const char* name;
        std::string body;
        int32_t run;
    } kCases[] = {
        {"after root end, trailing bytes ignored", "<cmd></cmd>^<<<garbage", 0},
        {"root never closed", "<cmd><a>x</a>^", 0},
        {"bad tag at its <", "<cmd>^<1></cmd>", XmlErrBadTag},
        {"mismatched end at its >", "<cmd><a></b^></cmd>", XmlErrMismatchedClose},
        {"unterminated text at run start", "<cmd>^abc", XmlErrUnterminated},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::string body = c.body;
        const size_t end = body.find('^');
        body.erase(end, 1);
        XmlQuery* query = MakeQuery(kDecl + body, {{"cmd", nullptr}});
        EXPECT_EQ(QueryValues(query), c.run);
        EXPECT_EQ(query->scanEnd, kDecl.size() + end);
        DestroyQuery(query);
    }
}

TEST(ScannerFailure, ScanFailingHalfwayKeepsEarlierMatches) {
    XmlQuery* query = MakeQuery(kDecl + "<cmd><a>x</a><b></c><d>y</d></cmd>",
                                {{"cmd/a", nullptr}, {"cmd/d", nullptr}});
    EXPECT_EQ(QueryValues(query), XmlErrMismatchedClose);
    EXPECT_EQ(query->entries[0].status, MatchFound);
    EXPECT_EQ(Match(query, 0), "x");
    EXPECT_EQ(query->entries[1].status, MatchMissing);
    EXPECT_EQ(query->entries[1].matchOffset, 0u);
    DestroyQuery(query);
}

TEST(ScannerEntries, EntryWithoutPathReportsEmptyPathAndScanGoesOn) {
    XmlQuery* query = MakeQuery(kDecl + "<cmd><a>x</a></cmd>",
                                {{"cmd/a", nullptr}, {nullptr, nullptr}, {"cmd/b", nullptr}});
    EXPECT_EQ(QueryValues(query), 0);
    EXPECT_EQ(query->entries[0].status, MatchFound);
    EXPECT_EQ(query->entries[1].status, XmlErrEmptyPath);
    EXPECT_EQ(query->entries[2].status, MatchMissing);
    DestroyQuery(query);
    // Also when the scan fails before anything was recorded.
    query = MakeQuery("<cmd/>", {{"cmd/a", nullptr}, {nullptr, nullptr}});
    EXPECT_EQ(QueryValues(query), XmlErrNoDeclaration);
    EXPECT_EQ(query->entries[1].status, XmlErrEmptyPath);
    DestroyQuery(query);
}

TEST(ScannerEntries, DocumentWithoutTerminatingNulIsNeverReadPastItsLength) {
    // A MultiQuery borrows its text; here the document is cut just after a "<".
    const std::string text = kDecl + "<cmd><";
    std::vector<char> exact(text.begin(), text.end());  // no NUL behind it
    MultiQueryRow row{"cmd", 3, nullptr, 0, 0};
    MultiQuery multi{exact.data(), exact.size(), &row, 1, 0};
    EXPECT_EQ(QueryAllValues(&multi), XmlErrBadTag);
    EXPECT_EQ(FreeAllValues(&multi), 0);
}

// Cut at every length and held in a block of exactly that size, a document is
// never read past its end, by searches that look at many bytes at once too
// (AddressSanitizer sees a byte read past the block).
TEST(ScannerEntries, EveryCutOfADocumentIsReadWithinItsLength) {
    const std::string text =
        kDecl + "<cmd><item id=\"1\">value one</item>\n<item id=\"2\">a value long enough to "
                "be searched past thirty-two bytes at once</item><!-- a comment -->"
                "<item>three</item><item>four</item><x/></cmd>";
    for (size_t length = 1; length <= text.size(); ++length) {
        SCOPED_TRACE(length);
        std::vector<char> exact(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
        MultiQueryRow rows[2] = {{"cmd/item", 8, nullptr, 0, 0}, {"cmd/item id", 11, nullptr, 0, 0}};
        MultiQuery multi{exact.data(), exact.size(), rows, 2, 0};
        const int32_t status = QueryAllValues(&multi);
        EXPECT_LE(multi.scanEnd, length);
        if (length == text.size()) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(rows[0].resultCount, 2u);  // the items without attributes
            EXPECT_EQ(rows[1].resultCount, 2u);
        }
        EXPECT_EQ(FreeAllValues(&multi), 0);
    }
}

TEST(ScannerMultiQuery, EveryMatchOfEveryRowInDocumentOrder) {
    const std::string text = kDecl + "<cmd><a>one</a><a></a><a>two</a><b/></cmd>";
    MultiQueryRow rows[3] = {
        {"cmd/a", 5, nullptr, 0, 0}, {"cmd/b", 5, nullptr, 0, 0}, {"cmd/c", 5, nullptr, 0, 0}};
    MultiQuery multi{text.c_str(), text.size(), rows, 3, 0};
    const int64_t live = LiveAllocations();
    ASSERT_EQ(QueryAllValues(&multi), 0);
    ASSERT_EQ(rows[0].resultCount, 3u);
    EXPECT_EQ(text.substr(rows[0].results[0].offset, rows[0].results[0].length), "one");
    EXPECT_EQ(rows[0].results[1].offset, text.find("</a><a>two"));
    EXPECT_EQ(rows[0].results[1].length, 0u);
    EXPECT_EQ(text.substr(rows[0].results[2].offset, rows[0].results[2].length), "two");
    EXPECT_EQ(rows[0].status, MatchFound);
    EXPECT_EQ(rows[1].status, MatchSelfClosing);
    EXPECT_EQ(rows[2].status, MatchMissing);
    EXPECT_EQ(multi.scanEnd, text.size());
    EXPECT_EQ(QueryAllValues(&multi), XmlErrArgument);  // results still held
    EXPECT_EQ(FreeAllValues(&multi), 0);
    EXPECT_EQ(LiveAllocations(), live);
    EXPECT_EQ(QueryAllValues(nullptr), XmlErrArgument);
    EXPECT_EQ(FreeAllValues(nullptr), XmlErrArgument);
}

}  // namespace
