// SPDX-License-Identifier: MIT
// Property of ReplaceValues over generated documents and path lists: querying
// the output finds every spliced value exactly where ReplaceValues said it put it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "test_util.h"
#include "xmlpath/replace.h"
#include "xmlpath/scanner.h"

using namespace xmltest;

namespace {

struct Generator {
    std::mt19937 random;
    int attributeSerial = 0;
    int textSerial = 0;
    std::vector<std::string> paths;  // element and attribute paths, in document order

    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

    std::string Text() { return "t" + std::to_string(textSerial++) + (Pick(2) ? " w" : ""); }

    // One element below `parentPath`; depth limits nesting.
    std::string Element(const std::string& parentPath, int depth) {
        static const char* const kNames[] = {"a:op", "b", "c", "a:set"};
        static const char* const kPathNames[] = {"ivec:op", "b", "c", "ivec:set"};
        const int which = Pick(4);
        std::string tag = kNames[which];
        std::string segment = kPathNames[which];
        std::string attributes;
        if (Pick(3) == 0) {
            const std::string value = "v" + std::to_string(attributeSerial++);
            attributes = " k=\"" + value + "\"";
            segment += " k=\"" + value + "\"";
            paths.push_back(parentPath + "/" + kPathNames[which] + " k");
        }
        const std::string path = parentPath + "/" + segment;
        paths.push_back(path);
        const int content = depth >= 3 ? Pick(3) : Pick(5);
        switch (content) {
            case 0:
                return "<" + tag + attributes + (Pick(2) ? "/>" : " />");
            case 1:
                return "<" + tag + attributes + "></" + tag + ">";
            case 2:
                return "<" + tag + attributes + ">" + Text() + "</" + tag + ">";
            default: {
                std::string body = content == 4 ? Text() : "";
                const int children = 1 + Pick(3);
                for (int i = 0; i < children; ++i) {
                    body += Element(path, depth + 1);
                    if (content == 4 && Pick(2)) {
                        body += Text();
                    }
                }
                return "<" + tag + attributes + ">" + body + "</" + tag + ">";
            }
        }
    }
};

TEST(ReplaceProperty, QueryOnOutputFindsEverySplicedValueAtItsReportedOffset) {
    Generator generator;
    generator.random.seed(20240611u);
    int checkedRows = 0;
    for (int round = 0; round < 400; ++round) {
        generator.paths.clear();
        std::string body;
        for (int i = 0, n = 1 + generator.Pick(3); i < n; ++i) {
            body += generator.Element("cmd", 1);
        }
        const std::string document =
            kDecl + "<cmd xmlns:a=\"" + ZN_NS_COMMON_URI + "\">" + body + "</cmd>";

        std::vector<std::string> chosen;
        std::set<std::string> seen;
        for (const std::string& path : generator.paths) {
            if (generator.Pick(2) == 0 && seen.insert(path).second) {
                chosen.push_back(path);
            }
        }
        if (chosen.empty()) {
            continue;
        }
        std::shuffle(chosen.begin(), chosen.end(), generator.random);
        std::vector<Row> rows;
        std::vector<std::string> storage(chosen.size());
        for (size_t i = 0; i < chosen.size(); ++i) {
            storage[i] = "N" + std::to_string(i) + "x" + std::string(generator.Pick(4), 'y');
            rows.push_back({chosen[i].c_str(), storage[i].c_str()});
        }
        // Attribute rows: the value of the element's own k, padded inside the quotes.
        for (size_t i = 0; i < chosen.size(); ++i) {
            if (chosen[i].back() == 'k') {
                XmlQuery* probe = MakeQuery(document, {{chosen[i].c_str(), nullptr}});
                ASSERT_EQ(QueryValues(probe), 0);
                const std::string quoted = Match(probe, 0);
                storage[i] = "\"  " + quoted.substr(1, quoted.size() - 2) + " \"";
                rows[i].value = storage[i].c_str();
                DestroyQuery(probe);
            }
        }

        XmlQuery* query = MakeQuery(document, rows);
        const int32_t status = ReplaceValues(query);
        if (status == XmlErrBufferTooSmall) {
            DestroyQuery(query);
            continue;
        }
        ASSERT_EQ(status, 0) << document;
        const std::string output = Output(query);

        std::vector<Row> readRows;
        for (const std::string& path : chosen) {
            readRows.push_back({path.c_str(), nullptr});
        }
        XmlQuery* reread = MakeQuery(output, readRows);
        ASSERT_EQ(QueryValues(reread), 0) << output;
        for (size_t i = 0; i < chosen.size(); ++i) {
            const QueryEntry& written = query->entries[i];
            if (written.status != MatchFound || written.matchOffset == 0) {
                continue;  // not found, so not spliced
            }
            const QueryEntry& found = reread->entries[i];
            EXPECT_EQ(found.status, MatchFound) << chosen[i] << "\n" << document << "\n" << output;
            EXPECT_EQ(found.matchOffset, written.valueOffset) << chosen[i] << "\n" << output;
            EXPECT_EQ(found.matchLength, written.valueLength) << chosen[i] << "\n" << output;
            ++checkedRows;
        }
        DestroyQuery(reread);
        DestroyQuery(query);
    }
    EXPECT_GT(checkedRows, 1000);
}

}  // namespace
