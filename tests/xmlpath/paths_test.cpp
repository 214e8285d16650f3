// SPDX-License-Identifier: MIT
// Path tracking and matching through QueryValues: namespace prefix rewriting,
// the first-declaration rule, predicates and the 2010/05 equivalence; and the
// text primitives underneath.
#include <gtest/gtest.h>

#include "test_util.h"
#include "xmlpath/scanner.h"
#include "xmlpath/text.h"

using namespace xmltest;

namespace {

const std::string kCommon = ZN_NS_COMMON_URI;
const std::string kKorvel2010 = ZN_NS_KORVEL2010_URI;

struct PathCase {
    const char* name;
    std::string body;
    const char* path;
    int32_t run;
    int32_t entry;
    const char* match;  // expected matched bytes; absent: offset and length 0
};

void RunCases(const std::vector<PathCase>& cases) {
    for (const PathCase& c : cases) {
        XmlQuery* query = MakeQuery(kDecl + c.body, {{c.path, nullptr}});
        EXPECT_EQ(QueryValues(query), c.run) << c.name;
        EXPECT_EQ(query->entries[0].status, c.entry) << c.name;
        if (c.match != nullptr) {
            EXPECT_EQ(Match(query, 0), c.match) << c.name;
        } else {
            EXPECT_EQ(query->entries[0].matchOffset, 0u) << c.name;
            EXPECT_EQ(query->entries[0].matchLength, 0u) << c.name;
        }
        DestroyQuery(query);
    }
}

std::string Xmlns(const std::string& prefix, const std::string& uri) {
    return " xmlns" + (prefix.empty() ? "" : ":" + prefix) + "=\"" + uri + "\"";
}

TEST(PathPrefixes, DocumentPrefixesAreRewrittenToTablePrefixes) {
    const std::string root = "<cmd" + Xmlns("a", kCommon) + ">";
    RunCases({
        {"table prefix matches", root + "<a:contents>x</a:contents></cmd>", "cmd/ivec:contents", 0,
         MatchFound, "x"},
        {"document prefix does not", root + "<a:contents>x</a:contents></cmd>", "cmd/a:contents", 0,
         MatchMissing, nullptr},
        {"uri with trailing space", "<cmd xmlns:a=\"" + kCommon + " \"><a:c>x</a:c></cmd>",
         "cmd/ivec:c", 0, MatchFound, "x"},
        {"uri without final slash",
         "<cmd xmlns:a=\"" + kCommon.substr(0, kCommon.size() - 1) + "\"><a:c>x</a:c></cmd>",
         "cmd/ivec:c", 0, MatchFound, "x"},
        {"unknown namespace stays as written", "<cmd xmlns:z=\"urn:other\"><z:c>x</z:c></cmd>",
         "cmd/z:c", 0, MatchFound, "x"},
        {"unregistered prefix stays as written", "<cmd><q:c>x</q:c></cmd>", "cmd/q:c", 0,
         MatchFound, "x"},
        {"attribute names rewritten too", root + "<c a:k=\"1\">x</c></cmd>", "cmd/c ivec:k=\"1\"",
         0, MatchFound, "x"},
        {"value beginning with prefix stays", root + "<c k=\"a:v\">x</c></cmd>", "cmd/c k=\"a:v\"",
         0, MatchFound, "x"},
        {"empty declared prefix", "<cmd xmlns:=\"" + kCommon + "\"></cmd>", "cmd", XmlErrArgument,
         MatchMissing, nullptr},
    });
}

TEST(PathPrefixes, FirstDeclarationOfANamespaceWins) {
    const std::string twice =
        "<cmd" + Xmlns("a", kCommon) + Xmlns("b", kCommon) + "><b:c>x</b:c><a:d>y</a:d></cmd>";
    const std::string defaultFirst =
        "<cmd" + Xmlns("", kCommon) + Xmlns("c", kCommon) + "><c:operation>x</c:operation></cmd>";
    const std::string declaredOnOwnTag = "<cmd><a:x" + Xmlns("a", kCommon) + ">t</a:x></cmd>";
    const std::string laterElement = "<cmd><p" + Xmlns("a", kCommon) + "></p><a:x>t</a:x></cmd>";
    RunCases({
        {"second prefix stays as written", twice, "cmd/b:c", 0, MatchFound, "x"},
        {"first prefix rewritten", twice, "cmd/ivec:d", 0, MatchFound, "y"},
        {"default declaration registers xmlns", defaultFirst, "cmd/c:operation", 0, MatchFound,
         "x"},
        {"default declaration blocks later prefix", defaultFirst, "cmd/ivec:operation", 0,
         MatchMissing, nullptr},
        {"own tag declares: name stays, end tag mismatches", declaredOnOwnTag, "cmd/a:x",
         XmlErrMismatchedClose, MatchFound, "t"},
        {"declaration outlives its element", laterElement, "cmd/ivec:x", 0, MatchFound, "t"},
    });
}

TEST(PathPredicates, ValuedPredicatesMustListEveryAttribute) {
    const char* path = "cmd/ivec:param_set servicetype=\"scan\"/r";
    const std::string root = "<cmd" + Xmlns("ivec", kCommon) + ">";
    RunCases({
        {"only attribute matches",
         root + "<ivec:param_set servicetype=\"scan\"><r>x</r>"
                "</ivec:param_set></cmd>",
         path, 0, MatchFound, "x"},
        {"spaces inside quotes",
         root + "<ivec:param_set servicetype=\" scan \"><r>x</r>"
                "</ivec:param_set></cmd>",
         path, 0, MatchFound, "x"},
        {"second attribute refuses",
         root + "<ivec:param_set servicetype=\"scan\" id=\"1\">"
                "<r>x</r></ivec:param_set></cmd>",
         path, 0, MatchMissing, nullptr},
        {"no attribute refuses", root + "<ivec:param_set><r>x</r></ivec:param_set></cmd>", path, 0,
         MatchMissing, nullptr},
        {"other value refuses",
         root + "<ivec:param_set servicetype=\"print\"><r>x</r>"
                "</ivec:param_set></cmd>",
         path, 0, MatchMissing, nullptr},
        {"empty value never matches", "<cmd><p k=\"\"><r>x</r></p></cmd>", "cmd/p k=\"\"/r", 0,
         MatchMissing, nullptr},
        {"order of attributes free", "<cmd><p a=\"1\" b=\"2\"><r>x</r></p></cmd>",
         "cmd/p b=\"2\" a=\"1\"/r", 0, MatchFound, "x"},
        {"slash inside value stays in segment", "<cmd><p k=\"a/b\"><r>x</r></p></cmd>",
         "cmd/p k=\"a/b\"/r", 0, MatchFound, "x"},
    });
}

TEST(PathPredicates, BareNameMatchesAnyValueAndLiftsTheCountRule) {
    const char* path = "cmd/p k/r";
    RunCases({
        {"any value", "<cmd><p k=\"zz\"><r>x</r></p></cmd>", path, 0, MatchFound, "x"},
        {"empty value", "<cmd><p k=\"\"><r>x</r></p></cmd>", path, 0, MatchFound, "x"},
        {"other attributes allowed", "<cmd><p j=\"1\" k=\"2\" l=\"3\"><r>x</r></p></cmd>", path, 0,
         MatchFound, "x"},
        {"attribute required", "<cmd><p j=\"1\"><r>x</r></p></cmd>", path, 0, MatchMissing,
         nullptr},
        {"no predicate refuses attributed element", "<cmd><p k=\"1\"><r>x</r></p></cmd>", "cmd/p/r",
         0, MatchMissing, nullptr},
        {"namespace declarations are not attributes",
         "<cmd><p" + Xmlns("z", "urn:z") + "><r>x</r></p></cmd>", "cmd/p/r", 0, MatchFound, "x"},
    });
}

TEST(PathPredicates, PrefixOf2010NamespaceEquivalesNoPrefix) {
    const std::string root = "<cmd" + Xmlns("k", kKorvel2010) + Xmlns("v", kCommon) + ">";
    RunCases({
        {"query ikw matches bare", root + "<p t=\"x\"><r>1</r></p></cmd>", "cmd/p t=\"ikw:x\"/r", 0,
         MatchFound, "1"},
        {"document prefix matches ikw", root + "<p t=\"k:x\"><r>1</r></p></cmd>",
         "cmd/p t=\"ikw:x\"/r", 0, MatchFound, "1"},
        {"document prefix matches bare", root + "<p t=\"k:x\"><r>1</r></p></cmd>",
         "cmd/p t=\"x\"/r", 0, MatchFound, "1"},
        {"other namespace must match as text", root + "<p t=\"v:x\"><r>1</r></p></cmd>",
         "cmd/p t=\"ivec:x\"/r", 0, MatchMissing, nullptr},
        {"same text prefix matches", root + "<p t=\"v:x\"><r>1</r></p></cmd>", "cmd/p t=\"v:x\"/r",
         0, MatchFound, "1"},
        {"nothing after colon never matches", root + "<p t=\"k:\"><r>1</r></p></cmd>",
         "cmd/p t=\"k:\"/r", 0, MatchMissing, nullptr},
    });
}

TEST(PathPredicates, AnyRootSwitchesTheEquivalenceOff) {
    const std::string document =
        kDecl + "<cmd" + Xmlns("k", kKorvel2010) + "><p t=\"k:x\"><r>1</r></p></cmd>";
    XmlQuery* query = MakeQuery(document, {{"cmd/p t=\"x\"/r", nullptr}});
    EXPECT_EQ(QueryValuesAnyRoot(query), 0);
    EXPECT_EQ(query->entries[0].status, MatchMissing);
    DestroyQuery(query);
}

TEST(PathAttributes, AttributePathsAddressTheQuotedValue) {
    const std::string root = "<cmd" + Xmlns("ivec", kCommon) + "><ivec:contents>";
    const char* path = "cmd/ivec:contents/ivec:param_set servicetype";
    RunCases({
        {"value with quotes", root + "<ivec:param_set servicetype=\"scan\"/></ivec:contents></cmd>",
         path, 0, MatchFound, "\"scan\""},
        {"first element carrying it",
         root +
             "<ivec:param_set a=\"1\"/><ivec:param_set servicetype=\"x\"/></ivec:contents></cmd>",
         path, 0, MatchFound, "\"x\""},
        {"only declarations: missing",
         root + "<ivec:param_set" + Xmlns("q", "urn:q") + "/></ivec:contents></cmd>", path, 0,
         MatchMissing, nullptr},
        {"later attribute of same name wins", "<cmd><p k=\"1\" k=\"2\"/></cmd>", "cmd/p k", 0,
         MatchFound, "\"2\""},
        // Names are compared as written in the tag, without prefix rewriting.
        {"name spelled with another prefix records offset 0",
         "<cmd" + Xmlns("a", kCommon) + "><p a:k=\"1\"/></cmd>", "cmd/p ivec:k", 0, MatchFound,
         nullptr},
    });
}

// A sibling is compared anew unless its text repeats the one just closed.
TEST(PathSiblings, EachSiblingIsJudgedByItsOwnText) {
    RunCases({
        {"same length, other name", "<cmd><ab>1</ab><ac>2</ac></cmd>", "cmd/ac", 0, MatchFound,
         "2"},
        {"same name, attribute added", "<cmd><a>1</a><a k=\"v\">2</a></cmd>", "cmd/a k", 0,
         MatchFound, "\"v\""},
        {"same name after a deeper one", "<cmd><a><b>1</b></a><b>2</b></cmd>", "cmd/b", 0,
         MatchFound, "2"},
        {"repeat under another parent", "<cmd><p><a/></p><q><a>3</a></q></cmd>", "cmd/q/a", 0,
         MatchFound, "3"},
    });
    const std::string document = kDecl + "<cmd><a>1</a><a>2</a>\n<a>3</a><b>4</b><a>5</a></cmd>";
    std::vector<MultiQueryRow> rows = {{"cmd/a", 5, nullptr, 0, 0}};
    MultiQuery multi{document.c_str(), document.size(), rows.data(), 1, 0};
    ASSERT_EQ(QueryAllValues(&multi), 0);
    std::string found;
    for (uint32_t i = 0; i < rows[0].resultCount; ++i) {
        found += document.substr(rows[0].results[i].offset, rows[0].results[i].length);
    }
    EXPECT_EQ(found, "1235");
    FreeAllValues(&multi);
}

TEST(TextPrimitives, SplitTagNamesAttributesAndBareNames) {
    AttributeSpan rows[4] = {};
    TagParts parts{nullptr, 0, rows, 4};
    const std::string body = "x a=\"1\" b";
    ASSERT_EQ(SplitTag(body.c_str(), body.size(), &parts), 2u);
    EXPECT_EQ(std::string(parts.name, parts.nameLength), "x");
    EXPECT_EQ(std::string(rows[0].value, rows[0].valueLength), "\"1\"");
    EXPECT_EQ(std::string(rows[1].name, rows[1].nameLength), "b");
    EXPECT_EQ(rows[1].value, nullptr);

    EXPECT_EQ(SplitTag("x a=1", 5, nullptr), 0u);
    const std::string unquotedFirst = "x a=1 b=\"2\"";
    parts = TagParts{nullptr, 0, rows, 4};
    ASSERT_EQ(SplitTag(unquotedFirst.c_str(), unquotedFirst.size(), &parts), 1u);
    EXPECT_EQ(std::string(rows[0].name, rows[0].nameLength), "a");
    EXPECT_EQ(std::string(rows[0].value, rows[0].valueLength), "\"2\"");

    const std::string open = "x a=\"1";
    parts = TagParts{nullptr, 0, rows, 4};
    EXPECT_EQ(SplitTag(open.c_str(), open.size(), &parts), SplitFailed);
    EXPECT_EQ(parts.name, nullptr);
    EXPECT_EQ(SplitTag(nullptr, 3, nullptr), SplitFailed);

    // Rows that do not fit the caller's array fail the split, never overrun it.
    parts = TagParts{nullptr, 0, rows, 1};
    EXPECT_EQ(SplitTag(body.c_str(), body.size(), &parts), SplitFailed);
}

TEST(TextPrimitives, SegmentsQuotesPrefixesAndTrimming) {
    const std::string path = "p servicetype=\"a/b\"/q";
    uint64_t length = 0;
    ASSERT_EQ(PathSegmentLength(path.c_str(), path.size(), &length), 1);
    EXPECT_EQ(length, path.size() - 2);
    EXPECT_EQ(PathSegmentLength("", 0, &length), 0);

    const char* prefix = nullptr;
    uint64_t prefixLength = 0;
    const char* local = nullptr;
    uint64_t localLength = 0;
    ASSERT_EQ(SplitPrefix("ivec:param_set", 14, &prefix, &prefixLength, &local, &localLength), 1);
    EXPECT_EQ(std::string(prefix, prefixLength), "ivec");
    EXPECT_EQ(std::string(local, localLength), "param_set");
    prefix = local = nullptr;
    ASSERT_EQ(SplitPrefix(":x", 2, &prefix, &prefixLength, &local, &localLength), 1);
    EXPECT_EQ(prefix, nullptr);
    EXPECT_EQ(std::string(local, localLength), "x");
    prefix = local = nullptr;
    ASSERT_EQ(SplitPrefix("x:", 2, &prefix, &prefixLength, &local, &localLength), 1);
    EXPECT_EQ(std::string(prefix, prefixLength), "x");
    EXPECT_EQ(local, nullptr);
    EXPECT_EQ(SplitPrefix("x", 1, nullptr, &prefixLength, nullptr, nullptr), 0);

    const char* inner = nullptr;
    uint64_t innerLength = 9;
    ASSERT_EQ(TrimQuotedValue("\" scan \"", 8, &inner, &innerLength), 1);
    EXPECT_EQ(std::string(inner, innerLength), "scan");
    ASSERT_EQ(TrimQuotedValue("\"\"", 2, &inner, &innerLength), 1);
    EXPECT_EQ(innerLength, 0u);
    EXPECT_EQ(TrimQuotedValue("\"x", 2, &inner, &innerLength), 0);
}

}  // namespace
