// SPDX-License-Identifier: MIT
// Path tracking and matching through QueryValues: namespace prefix rewriting,
// the first-declaration rule, predicates and the 2010/05 equivalence; and the
// text primitives underneath.
#include <gtest/gtest.h>

#include <cstring>

#include "test_util.h"
#include "xmlpath/paths_internal.h"
#include "xmlpath/scanner.h"
#include "xmlpath/text.h"

using namespace xmltest;

namespace {

const std::string kCommon = ZN_NS_COMMON_URI;
const std::string kKorvel2010 = ZN_NS_KORVEL2010_URI;

std::string Xmlns(const std::string& prefix, const std::string& uri) {
    return " xmlns" + (prefix.empty() ? "" : ":" + prefix) + "=\"" + uri + "\"";
}

TEST(PathPrefixes, DocumentPrefixesAreRewrittenToTablePrefixes) {
    const std::string root = "<cmd" + Xmlns("a", kCommon) + ">";
    const std::string trailingSpace = "<cmd xmlns:a=\"" + kCommon + " \">";
    const std::string noFinalSlash =
        "<cmd xmlns:a=\"" + kCommon.substr(0, kCommon.size() - 1) + "\">";
    ExpectLookups({
        {"table prefix matches", root + "<a:contents>|x|</a:contents></cmd>", "cmd/ivec:contents",
         0, MatchFound},
        {"document prefix does not", root + "<a:contents>x</a:contents></cmd>", "cmd/a:contents", 0,
         MatchMissing},
        {"uri with trailing space", trailingSpace + "<a:c>|x|</a:c></cmd>", "cmd/ivec:c", 0,
         MatchFound},
        {"uri without final slash", noFinalSlash + "<a:c>|x|</a:c></cmd>", "cmd/ivec:c", 0,
         MatchFound},
        {"unknown namespace stays as written", "<cmd xmlns:z=\"urn:other\"><z:c>|x|</z:c></cmd>",
         "cmd/z:c", 0, MatchFound},
        {"unregistered prefix stays as written", "<cmd><q:c>|x|</q:c></cmd>", "cmd/q:c", 0,
         MatchFound},
        {"attribute names rewritten too", root + "<c a:k=\"1\">|x|</c></cmd>", "cmd/c ivec:k=\"1\"",
         0, MatchFound},
        {"value beginning with prefix stays", root + "<c k=\"a:v\">|x|</c></cmd>",
         "cmd/c k=\"a:v\"", 0, MatchFound},
        {"empty declared prefix", "<cmd xmlns:=\"" + kCommon + "\"></cmd>", "cmd", XmlErrArgument,
         MatchMissing},
    });
}

TEST(PathPrefixes, FirstDeclarationOfANamespaceWins) {
    const std::string twice = "<cmd" + Xmlns("a", kCommon) + Xmlns("b", kCommon) + ">";
    const std::string defaultFirst = "<cmd" + Xmlns("", kCommon) + Xmlns("c", kCommon) + ">";
    ExpectLookups({
        {"second prefix stays as written", twice + "<b:c>|x|</b:c><a:d>y</a:d></cmd>", "cmd/b:c", 0,
         MatchFound},
        {"first prefix rewritten", twice + "<b:c>x</b:c><a:d>|y|</a:d></cmd>", "cmd/ivec:d", 0,
         MatchFound},
        {"default declaration registers xmlns",
         defaultFirst + "<c:operation>|x|</c:operation></cmd>", "cmd/c:operation", 0, MatchFound},
        {"default declaration blocks later prefix",
         defaultFirst + "<c:operation>x</c:operation></cmd>", "cmd/ivec:operation", 0,
         MatchMissing},
        {"own tag declares: name stays, end tag mismatches",
         "<cmd><a:x" + Xmlns("a", kCommon) + ">|t|</a:x></cmd>", "cmd/a:x", XmlErrMismatchedClose,
         MatchFound},
        {"declaration outlives its element",
         "<cmd><p" + Xmlns("a", kCommon) + "></p><a:x>|t|</a:x></cmd>", "cmd/ivec:x", 0,
         MatchFound},
    });
}

TEST(PathPredicates, ValuedPredicatesMustListEveryAttribute) {
    const char* path = "cmd/ivec:param_set servicetype=\"scan\"/r";
    const std::string root = "<cmd" + Xmlns("ivec", kCommon) + "><ivec:param_set";
    const std::string end = "</ivec:param_set></cmd>";
    ExpectLookups({
        {"only attribute matches", root + " servicetype=\"scan\"><r>|x|</r>" + end, path, 0,
         MatchFound},
        {"spaces inside quotes", root + " servicetype=\" scan \"><r>|x|</r>" + end, path, 0,
         MatchFound},
        {"second attribute refuses", root + " servicetype=\"scan\" id=\"1\"><r>x</r>" + end, path,
         0, MatchMissing},
        {"no attribute refuses", root + "><r>x</r>" + end, path, 0, MatchMissing},
        {"other value refuses", root + " servicetype=\"print\"><r>x</r>" + end, path, 0,
         MatchMissing},
        {"empty value never matches", "<cmd><p k=\"\"><r>x</r></p></cmd>", "cmd/p k=\"\"/r", 0,
         MatchMissing},
        {"order of attributes free", "<cmd><p a=\"1\" b=\"2\"><r>|x|</r></p></cmd>",
         "cmd/p b=\"2\" a=\"1\"/r", 0, MatchFound},
        {"slash inside value stays in segment", "<cmd><p k=\"a/b\"><r>|x|</r></p></cmd>",
         "cmd/p k=\"a/b\"/r", 0, MatchFound},
    });
}

TEST(PathPredicates, BareNameMatchesAnyValueAndLiftsTheCountRule) {
    const char* path = "cmd/p k/r";
    ExpectLookups({
        {"any value", "<cmd><p k=\"zz\"><r>|x|</r></p></cmd>", path, 0, MatchFound},
        {"empty value", "<cmd><p k=\"\"><r>|x|</r></p></cmd>", path, 0, MatchFound},
        {"other attributes allowed", "<cmd><p j=\"1\" k=\"2\" l=\"3\"><r>|x|</r></p></cmd>", path,
         0, MatchFound},
        {"attribute required", "<cmd><p j=\"1\"><r>x</r></p></cmd>", path, 0, MatchMissing},
        {"no predicate refuses attributed element", "<cmd><p k=\"1\"><r>x</r></p></cmd>", "cmd/p/r",
         0, MatchMissing},
        {"namespace declarations are not attributes",
         "<cmd><p" + Xmlns("z", "urn:z") + "><r>|x|</r></p></cmd>", "cmd/p/r", 0, MatchFound},
    });
}

TEST(PathPredicates, PrefixOf2010NamespaceEquivalesNoPrefix) {
    const std::string root = "<cmd" + Xmlns("k", kKorvel2010) + Xmlns("v", kCommon) + ">";
    ExpectLookups({
        {"query ikw matches bare", root + "<p t=\"x\"><r>|1|</r></p></cmd>", "cmd/p t=\"ikw:x\"/r",
         0, MatchFound},
        {"document prefix matches ikw", root + "<p t=\"k:x\"><r>|1|</r></p></cmd>",
         "cmd/p t=\"ikw:x\"/r", 0, MatchFound},
        {"document prefix matches bare", root + "<p t=\"k:x\"><r>|1|</r></p></cmd>",
         "cmd/p t=\"x\"/r", 0, MatchFound},
        {"other namespace must match as text", root + "<p t=\"v:x\"><r>1</r></p></cmd>",
         "cmd/p t=\"ivec:x\"/r", 0, MatchMissing},
        {"same text prefix matches", root + "<p t=\"v:x\"><r>|1|</r></p></cmd>",
         "cmd/p t=\"v:x\"/r", 0, MatchFound},
        {"nothing after colon never matches", root + "<p t=\"k:\"><r>1</r></p></cmd>",
         "cmd/p t=\"k:\"/r", 0, MatchMissing},
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
    const std::string end = "</ivec:contents></cmd>";
    const char* path = "cmd/ivec:contents/ivec:param_set servicetype";
    ExpectLookups({
        {"value with quotes", root + "<ivec:param_set servicetype=|\"scan\"|/>" + end, path, 0,
         MatchFound},
        {"first element carrying it",
         root + "<ivec:param_set a=\"1\"/><ivec:param_set servicetype=|\"x\"|/>" + end, path, 0,
         MatchFound},
        {"only declarations: missing", root + "<ivec:param_set" + Xmlns("q", "urn:q") + "/>" + end,
         path, 0, MatchMissing},
        {"later attribute of same name wins", "<cmd><p k=\"1\" k=|\"2\"|/></cmd>", "cmd/p k", 0,
         MatchFound},
        // Names are compared as written in the tag, without prefix rewriting.
        {"name spelled with another prefix records offset 0",
         "<cmd" + Xmlns("a", kCommon) + "><p a:k=\"1\"/></cmd>", "cmd/p ivec:k", 0, MatchFound},
    });
}

// A sibling is compared anew unless its text repeats the one just closed.
TEST(PathSiblings, EachSiblingIsJudgedByItsOwnText) {
    ExpectLookups({
        {"same length, other name", "<cmd><ab>1</ab><ac>|2|</ac></cmd>", "cmd/ac", 0, MatchFound},
        {"same name, attribute added", "<cmd><a>1</a><a k=|\"v\"|>2</a></cmd>", "cmd/a k", 0,
         MatchFound},
        {"same name after a deeper one", "<cmd><a><b>1</b></a><b>|2|</b></cmd>", "cmd/b", 0,
         MatchFound},
        {"repeat under another parent", "<cmd><p><a/></p><q><a>|3|</a></q></cmd>", "cmd/q/a", 0,
         MatchFound},
    });
}

// A tag written exactly as its path text and one written any other way are
// judged alike, as is every sibling after an element that matched.
TEST(PathSpellings, EveryWayOfWritingATagIsJudgedAlike) {
    const char* path = "cmd/p a=\"1\" b=\"2\"/r";
    ExpectLookups({
        {"as the path writes it", "<cmd><p a=\"1\" b=\"2\"><r>|x|</r></p></cmd>", path, 0,
         MatchFound},
        {"tab and two spaces", "<cmd><p\ta=\"1\"  b=\"2\"><r>|x|</r></p></cmd>", path, 0,
         MatchFound},
        {"space after the equals sign", "<cmd><p a= \"1\" b=\"2\"><r>|x|</r></p></cmd>", path, 0,
         MatchFound},
        {"declaration between the attributes",
         "<cmd><p a=\"1\"" + Xmlns("z", "urn:z") + " b=\"2\"><r>|x|</r></p></cmd>", path, 0,
         MatchFound},
        {"one value differs", "<cmd><p a=\"1\" b=\"3\"><r>x</r></p></cmd>", path, 0, MatchMissing},
        {"a sibling with other values",
         "<cmd><p a=\"1\" b=\"3\"><r>x</r></p>"
         "<p a=\"1\" b=\"2\"><r>|y|</r></p></cmd>",
         path, 0, MatchFound},
        {"less-than in a value", "<cmd><p a=\"<\" b=\"2\"><r>x</r></p></cmd>", path,
         XmlErrBadAttribute, MatchMissing},
        {"self-closing", "<cmd><p a=\"1\" b=\"2\"/>||</cmd>", "cmd/p a=\"1\" b=\"2\"", 0,
         MatchSelfClosing},
        {"attribute read", "<cmd><p a=\"1\" b=|\"2\"|><r>x</r></p></cmd>", "cmd/p b", 0,
         MatchFound},
        {"attribute absent", "<cmd><p a=\"1\" c=\"2\"><r>x</r></p></cmd>", "cmd/p b", 0,
         MatchMissing},
    });
    // Every match ("|" after each): of repeated siblings, trimmed, empty, with
    // a wrong end tag or with their parent's text between them; of an element whose siblings sit
    // under several parents; and of one whose name leaves a quote open, so
    // that its child's name joins its segment (and the child's end tag no
    // longer fits).
    // The path is asked twice, as two rows: the second gets every text as the
    // first does, and no marker of an empty element, which goes to the first.
    const struct {
        const char* body;
        const char* path;
        int32_t status;
        const char* found;
        const char* foundBySecond;
    } everyMatch[] = {
        {"<cmd><a> 1 </a><a>\t2\n</a>\n<a>3</a><b>4</b><a> 5</a></cmd>", "cmd/a", 0, "1|2|3|5|",
         "1|2|3|5|"},
        {"<cmd><a>1</a><a></a><a/><a>4</a></cmd>", "cmd/a", 0, "1|||4|", "1|4|"},
        {"<cmd><a>1</a><a>2</b></cmd>", "cmd/a", XmlErrMismatchedClose, "1|2|", "1|2|"},
        {"<cmd><p><a>1</a>t<a>2</a>u</p></cmd>", "cmd/p", 0, "t|u|", "t|u|"},
        {"<cmd><p><a>1</a><b>0</b><a>2</a></p><q><a>3</a></q><p><a>4</a></p></cmd>", "cmd/p/a", 0,
         "1|2|4|", "1|2|4|"},
        {"<cmd><p\"q>t<r>x</r></p\"q></cmd>", "cmd/p\"q", XmlErrMismatchedClose, "t|", "t|"},
    };
    for (const auto& c : everyMatch) {
        SCOPED_TRACE(c.body);
        const std::string document = kDecl + c.body;
        std::vector<MultiQueryRow> rows = {{c.path, std::strlen(c.path), nullptr, 0, 0},
                                           {c.path, std::strlen(c.path), nullptr, 0, 0}};
        MultiQuery multi{document.c_str(), document.size(), rows.data(), 2, 0};
        EXPECT_EQ(QueryAllValues(&multi), c.status);
        std::string found[2];
        for (int r = 0; r < 2; ++r) {
            for (uint32_t i = 0; i < rows[r].resultCount; ++i) {
                found[r] +=
                    document.substr(rows[r].results[i].offset, rows[r].results[i].length) + "|";
            }
        }
        EXPECT_EQ(found[0], c.found);
        EXPECT_EQ(found[1], c.foundBySecond);
        FreeAllValues(&multi);
    }
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

// The word-at-a-time copies, comparisons and searches of short names, at every
// length up to past two words and every place of the difference or the byte.
TEST(TextPrimitives, ShortCopiesComparisonsAndSearchesHoldAtEveryLength) {
    const std::string source = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGH";
    for (uint64_t length = 0; length <= 40; ++length) {
        SCOPED_TRACE(length);
        std::string buffer(64, '#');
        EXPECT_EQ(CopyInto(buffer.data(), 3, source.data(), length), 3 + length);
        EXPECT_EQ(buffer, std::string(3, '#') + source.substr(0, length) +
                              std::string(61 - length, '#'));
        EXPECT_TRUE(SameBytes(buffer.data() + 3, length, source.data(), length));
        for (uint64_t at = 0; at < length; ++at) {
            std::string other = source.substr(0, length);
            other[at] = '!';
            EXPECT_FALSE(SameBytes(other.data(), length, source.data(), length)) << at;
            const char* found = FindByteInWords(other.data(), length, '!');
            EXPECT_EQ(found == nullptr ? -1 : found - other.data(), int64_t(at));
            other[length - 1] = '!';
            found = FindByteInWords(other.data(), length, '!');
            EXPECT_EQ(found == nullptr ? -1 : found - other.data(), int64_t(at));
        }
        EXPECT_EQ(FindByteInWords(source.data(), length, '!'), nullptr);
    }
}
