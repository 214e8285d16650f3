// SPDX-License-Identifier: MIT
// Scaling of the XML path engine beside pugixml, libxml2 and a memchr floor on
// the same inputs: document size (plain and with attributes), number of paths,
// depth, attributes per tag, predicates per path and CDATA length. Each family
// reports bytes per second; run one family with --benchmark_filter=<family>/.
// Allocations of one whole call are counted in a pass of their own, before the
// timed loop (the "allocs" counter of the engine rows).
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "interleaved.h"
#include "runtime/alloc_hooks.h"
#include "runtime/memory.h"
#include "xmlpath/scanner.h"

namespace {

// One input: a document, the engine's paths and the same questions in XPath.
struct Case {
    std::string document;
    std::vector<std::string> paths;
    std::vector<std::string> xpaths;
    bool expectFound = true;  // false: the answer is that nothing matches
};

const std::string kDeclaration = "<?xml version=\"1.0\"?>\n";

// Repeats `unit(i)` until the document reaches `size` bytes, inside <cmd>.
template <typename Unit>
std::string Fill(uint64_t size, Unit unit) {
    std::string document = kDeclaration + "<cmd>";
    for (int i = 0; document.size() + 6 < size; ++i) {
        document += unit(i);
    }
    return document + "</cmd>";
}

// Plain siblings, or siblings with one attribute; one path that matches each.
Case SizeCase(uint64_t size, bool attributes) {
    Case c;
    c.document = Fill(size, [&](int i) {
        const std::string n = std::to_string(i);
        return attributes ? "<item id=\"" + n + "\">value " + n + "</item>\n"
                          : "<item>value " + n + "</item>\n";
    });
    c.paths = {attributes ? "cmd/item id" : "cmd/item"};
    c.xpaths = {attributes ? "/cmd/item/@id" : "/cmd/item"};
    return c;
}

// Siblings with one attribute and a path asking for an attribute none of them
// has: every tag is compared, nothing is found.
Case SizeMissCase(uint64_t size) {
    Case c = SizeCase(size, true);
    c.paths = {"cmd/item name"};
    c.xpaths = {"/cmd/item/@name"};
    c.expectFound = false;
    return c;
}

// 64 KB of siblings of 64 names; `count` paths, each naming one of them.
Case PathsCase(int count) {
    Case c;
    c.document = Fill(64 * 1024, [](int i) {
        const std::string name = "e" + std::to_string(i % 64);
        return "<" + name + ">v" + std::to_string(i) + "</" + name + ">\n";
    });
    for (int p = 0; p < count; ++p) {
        c.paths.push_back("cmd/e" + std::to_string(p));
        c.xpaths.push_back("/cmd/e" + std::to_string(p));
    }
    return c;
}

// About 64 KB of chains `depth` elements deep; the path names the deepest.
Case DepthCase(int depth) {
    std::string open;
    std::string close;
    std::string path = "cmd";
    for (int d = 0; d < depth; ++d) {
        open += "<d>";
        close += "</d>";
        path += "/d";
    }
    Case c;
    c.document = Fill(64 * 1024, [&](int i) { return open + "v" + std::to_string(i) + close; });
    c.paths = {path};
    c.xpaths = {"/" + path};
    return c;
}

// 64 KB of tags carrying `count` attributes each; the path reads the last one.
Case AttributesCase(int count) {
    std::string attributes;
    for (int a = 0; a < count; ++a) {
        attributes += " a" + std::to_string(a) + "=\"v\"";
    }
    Case c;
    c.document = Fill(64 * 1024, [&](int i) {
        return "<item" + attributes + ">" + std::to_string(i) + "</item>\n";
    });
    const std::string last = "a" + std::to_string(count - 1);
    c.paths = {"cmd/item " + last};
    c.xpaths = {"/cmd/item/@" + last};
    return c;
}

// 64 KB of parents with `count` attributes and a child; the path asks for the
// child of the parent whose attributes have the values of the last parent.
Case PredicatesCase(int count) {
    Case c;
    std::string predicates;
    std::string xpredicates;
    c.document = Fill(64 * 1024, [&](int i) {
        std::string tag = "<p";
        for (int a = 0; a < count; ++a) {
            tag += " k" + std::to_string(a) + "=\"" + std::to_string(i) + "\"";
        }
        return tag + "><c>" + std::to_string(i) + "</c></p>\n";
    });
    const std::string last = std::to_string(c.document.size() / (40 + 9 * count));
    for (int a = 0; a < count; ++a) {
        predicates += " k" + std::to_string(a) + "=\"" + last + "\"";
        xpredicates += "[@k" + std::to_string(a) + "='" + last + "']";
    }
    c.paths = {"cmd/p" + predicates + "/c"};
    c.xpaths = {"/cmd/p" + xpredicates + "/c"};
    return c;
}

// One CDATA section of `size` bytes holding single "]" bytes.
Case CdataCase(uint64_t size) {
    std::string content;
    while (content.size() < size) {
        content += "data ] more data and text, ";
    }
    Case c;
    c.document = kDeclaration + "<cmd><a><![CDATA[" + content + "]]></a></cmd>";
    c.paths = {"cmd/a"};
    c.xpaths = {"/cmd/a"};
    return c;
}

// ---- The contenders ---------------------------------------------------------

int64_t gEngineAllocations = 0;
void CountEngineAllocation(void*) {
    ++gEngineAllocations;
}
const AllocHooks kCountingHooks{nullptr, CountEngineAllocation, nullptr};

// The whole call: path list, query, run, release.
int32_t EngineCall(const Case& c) {
    const auto count = static_cast<int32_t>(c.paths.size());
    auto* list = static_cast<PathValue*>(AllocZeroed(uint64_t(count) * sizeof(PathValue)));
    for (int32_t i = 0; i < count; ++i) {
        SetPathValue(&list[i], c.paths[i].c_str(), nullptr);
    }
    auto* query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
    CreateQuery(query, c.document.c_str(), list, count, 0);
    FreePathValues(list, count);
    int32_t status = QueryValues(query);
    for (int32_t i = 0; status == 0 && c.expectFound && i < count; ++i) {
        if (query->entries[i].status != MatchFound) {
            status = -1;
        }
    }
    DestroyQuery(query);
    return status;
}

void RunEngine(benchmark::State& state, const Case& c) {
    gEngineAllocations = 0;
    gAllocHooks.store(&kCountingHooks, std::memory_order_release);
    const int32_t status = EngineCall(c);
    gAllocHooks.store(nullptr, std::memory_order_release);
    if (status != 0) {
        state.SkipWithError("engine: not found");
        return;
    }
    state.counters["allocs"] = double(gEngineAllocations);
    for (auto _ : state) {
        benchmark::DoNotOptimize(EngineCall(c));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(c.document.size()));
}

bool PugiCall(const Case& c) {
    pugi::xml_document doc;
    if (!doc.load_buffer(c.document.data(), c.document.size())) {
        return false;
    }
    bool found = true;
    for (const std::string& xpath : c.xpaths) {
        // pugixml refuses expressions nested too deeply by throwing.
        try {
            const pugi::xpath_node node = doc.select_node(xpath.c_str());
            benchmark::DoNotOptimize(node);
            found = found && (c.expectFound ? bool(node) : !node);
        } catch (const pugi::xpath_exception&) {
            return false;
        }
    }
    return found;
}

void RunPugixml(benchmark::State& state, const Case& c) {
    if (!PugiCall(c)) {
        state.SkipWithError("pugixml: not found");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(PugiCall(c));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(c.document.size()));
}

bool LibxmlCall(const Case& c) {
    xmlDocPtr doc = xmlReadMemory(c.document.data(), int(c.document.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_HUGE);
    if (doc == nullptr) {
        return false;
    }
    xmlXPathContextPtr xpath = xmlXPathNewContext(doc);
    bool found = true;
    for (const std::string& expression : c.xpaths) {
        xmlXPathObjectPtr result = xmlXPathEvalExpression(BAD_CAST expression.c_str(), xpath);
        found = found && result != nullptr && result->nodesetval != nullptr &&
                result->nodesetval->nodeNr > 0;
        xmlXPathFreeObject(result);
    }
    xmlXPathFreeContext(xpath);
    xmlFreeDoc(doc);
    return found;
}

void RunLibxml2(benchmark::State& state, const Case& c) {
    if (!LibxmlCall(c)) {
        state.SkipWithError("libxml2: not found");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(LibxmlCall(c));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(c.document.size()));
}

// The floor: one memchr pass over the "<" bytes of the document.
void RunMemchr(benchmark::State& state, const Case& c) {
    for (auto _ : state) {
        const char* at = c.document.data();
        const char* end = at + c.document.size();
        int64_t tags = 0;
        while ((at = static_cast<const char*>(std::memchr(at, '<', size_t(end - at)))) != nullptr) {
            ++tags;
            ++at;
        }
        benchmark::DoNotOptimize(tags);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(c.document.size()));
}

// Registers the four contenders on one input under <family>/<contender>/<arg>.
void Register(const std::string& family, const std::string& argument, const Case& input) {
    auto* kept = new Case(input);  // lives for the whole run
    const std::string suffix = "/" + argument;
    benchmark::RegisterBenchmark((family + "/engine" + suffix).c_str(),
                                 [kept](benchmark::State& s) { RunEngine(s, *kept); });
    benchmark::RegisterBenchmark((family + "/pugixml" + suffix).c_str(),
                                 [kept](benchmark::State& s) { RunPugixml(s, *kept); });
    benchmark::RegisterBenchmark((family + "/libxml2" + suffix).c_str(),
                                 [kept](benchmark::State& s) { RunLibxml2(s, *kept); });
    benchmark::RegisterBenchmark((family + "/memchr" + suffix).c_str(),
                                 [kept](benchmark::State& s) { RunMemchr(s, *kept); });
}

// The whole call of the engine and pugixml's in alternating batches, so that
// "ratio" (engine / pugixml, CPU time per call) is measured under one load.
// Registered as ratio_<family>/<argument>.
void RegisterRatio(const std::string& family, const std::string& argument, const Case& input) {
    auto* kept = new Case(input);  // lives for the whole run
    const uint64_t size = input.document.size();
    const int batch = size >= 1000000 ? 2 : size >= 250000 ? 4 : 16;
    benchmark::RegisterBenchmark(("ratio_" + family + "/" + argument).c_str(),
                                 [kept, batch](benchmark::State& s) {
                                     if (EngineCall(*kept) != 0 || !PugiCall(*kept)) {
                                         s.SkipWithError("wrong answer");
                                         return;
                                     }
                                     RunInterleaved(
                                         s, batch,
                                         [kept] { benchmark::DoNotOptimize(EngineCall(*kept)); },
                                         [kept] { benchmark::DoNotOptimize(PugiCall(*kept)); });
                                     s.counters["bytes"] = double(kept->document.size());
                                 })
        ->Iterations(60);
}

void RegisterFamilies() {
    for (const uint64_t size : {65536, 262144, 1048576}) {
        const std::string argument = std::to_string(size);
        RegisterRatio("size_plain", argument, SizeCase(size, false));
        RegisterRatio("size_attributes", argument, SizeCase(size, true));
        RegisterRatio("size_attributes_miss", argument, SizeMissCase(size));
    }
    // The other families at both ends of their range.
    RegisterRatio("paths", "1", PathsCase(1));
    RegisterRatio("paths", "64", PathsCase(64));
    RegisterRatio("depth", "1", DepthCase(1));
    RegisterRatio("depth", "64", DepthCase(64));
    RegisterRatio("attributes", "1", AttributesCase(1));
    RegisterRatio("attributes", "128", AttributesCase(128));
    RegisterRatio("predicates", "1", PredicatesCase(1));
    RegisterRatio("predicates", "16", PredicatesCase(16));
    RegisterRatio("cdata", "65536", CdataCase(65536));
    for (const uint64_t size : {512, 4096, 65536, 1048576}) {
        Register("size_plain", std::to_string(size), SizeCase(size, false));
        Register("size_attributes", std::to_string(size), SizeCase(size, true));
        Register("size_attributes_miss", std::to_string(size), SizeMissCase(size));
    }
    for (const int count : {1, 4, 16, 64}) {
        Register("paths", std::to_string(count), PathsCase(count));
    }
    for (const int depth : {1, 4, 16, 64, 256, 1024}) {
        Register("depth", std::to_string(depth), DepthCase(depth));
    }
    for (const int count : {1, 8, 16, 17, 32, 64, 128}) {
        Register("attributes", std::to_string(count), AttributesCase(count));
    }
    for (const int count : {1, 2, 4, 8, 16}) {
        Register("predicates", std::to_string(count), PredicatesCase(count));
    }
    for (const uint64_t size : {1024, 65536}) {
        Register("cdata", std::to_string(size), CdataCase(size));
    }
}

}  // namespace

int main(int argc, char** argv) {
    // pugixml and libxml2 allocate several megabytes per call on the large
    // inputs. By default glibc hands such memory back to the kernel on free and
    // the next call faults it in again, and on a virtual machine those faults
    // cost more than the parse (pugixml: 19 ms rather than 0.8 ms per 1 MB).
    // Keeping freed memory in the process measures the parsers, as a process
    // that parses in a loop would see them. ZN_BENCH_RETURN_MEMORY=1 restores
    // glibc's default.
    const char* returnMemory = std::getenv("ZN_BENCH_RETURN_MEMORY");
    if (returnMemory == nullptr || std::strcmp(returnMemory, "1") != 0) {
        mallopt(M_MMAP_THRESHOLD, 256 << 20);
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
    }
    xmlInitParser();
    RegisterFamilies();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    xmlCleanupParser();
    return 0;
}
