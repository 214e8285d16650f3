// SPDX-License-Identifier: MIT
// Benchmarks of the XML path engine beside libxml2 and pugixml doing the same
// work: reading the five answer paths of a typical device answer, and filling
// the three rows of the vendor command template. Every benchmark reports the
// allocations of one operation and the blocks it left live ("leaked"), counted
// in a pass of its own before the timed loop, which runs without counting.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlmemory.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <string>

#include "interleaved.h"
#include "runtime/alloc_hooks.h"
#include "runtime/memory.h"
#include "xmlpath/replace.h"
#include "xmlpath/scanner.h"

namespace {

// ---- Allocation counting -------------------------------------------------

// Blocks obtained and blocks live, one pair per allocator (the engine's runtime
// allocator, libxml2's and pugixml's hooks). One thread runs the benchmarks;
// the libraries' hooks count only while gCounting is set, and the engine's
// hooks are installed only for the counting pass.
bool gCounting = false;

struct AllocCounter {
    int64_t obtained = 0;
    int64_t live = 0;
    void Obtained() {
        if (gCounting) {
            ++obtained;
            ++live;
        }
    }
    void Released() {
        if (gCounting) {
            --live;
        }
    }
};

AllocCounter gEngineCount;
AllocCounter gLibxmlCount;
AllocCounter gPugiCount;

void EngineAllocated(void*) {
    gEngineCount.Obtained();
}
void EngineReleased(void*) {
    gEngineCount.Released();
}
const AllocHooks kCountingHooks{nullptr, EngineAllocated, EngineReleased};

void* LibxmlMalloc(size_t size) {
    void* block = std::malloc(size);
    if (block != nullptr) {
        gLibxmlCount.Obtained();
    }
    return block;
}
void* LibxmlRealloc(void* block, size_t size) {
    void* grown = std::realloc(block, size);
    if (grown != nullptr && gCounting) {
        // A reallocation is one more trip to the allocator; only a fresh block adds a live one.
        ++gLibxmlCount.obtained;
        if (block == nullptr) {
            ++gLibxmlCount.live;
        }
    }
    return grown;
}
void LibxmlFree(void* block) {
    if (block != nullptr) {
        gLibxmlCount.Released();
    }
    std::free(block);
}
char* LibxmlStrdup(const char* text) {
    const size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(LibxmlMalloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, text, size);
    }
    return copy;
}

void* PugiAllocate(size_t size) {
    void* block = std::malloc(size);
    if (block != nullptr) {
        gPugiCount.Obtained();
    }
    return block;
}
void PugiDeallocate(void* block) {
    if (block != nullptr) {
        gPugiCount.Released();
    }
    std::free(block);
}

// Runs `operation` once with counting on and reports its allocations and the
// blocks it left live; a leak fails the benchmark.
template <typename Operation>
void CountOnce(AllocCounter& counter, benchmark::State& state, Operation operation) {
    const int64_t obtainedBefore = counter.obtained;
    const int64_t liveBefore = counter.live;
    gCounting = true;
    gAllocHooks.store(&kCountingHooks, std::memory_order_release);
    operation();
    gAllocHooks.store(nullptr, std::memory_order_release);
    gCounting = false;
    state.counters["allocs"] = double(counter.obtained - obtainedBefore);
    state.counters["leaked"] = double(counter.live - liveBefore);
    if (counter.live != liveBefore) {
        state.SkipWithError("blocks left live after the run");
    }
}

// ---- The documents --------------------------------------------------------

// A scan job answer as the device sends it: both namespaces declared on the
// root, a status block of the vendor namespace besides the five values read.
const std::string kAnswer =
    std::string("<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<cmd xmlns:ivec=\"") +
    ZN_NS_COMMON_URI + "\" xmlns:vxr=\"" + ZN_NS_VENDOR_URI +
    "\">\n<ivec:contents>\n<ivec:operation>StartJobResponse</ivec:operation>\n"
    "<ivec:param_set servicetype=\"scan\">\n<ivec:jobID>00000001</ivec:jobID>\n"
    "<ivec:response>OK</ivec:response>\n<ivec:response_detail></ivec:response_detail>\n"
    "<vxr:status>ready</vxr:status>\n<vxr:jobtoken>4f1c</vxr:jobtoken>\n"
    "</ivec:param_set>\n</ivec:contents>\n</cmd>\n";

const char* const kAnswerPaths[] = {
    "cmd/ivec:contents/ivec:param_set servicetype",
    "cmd/ivec:contents/ivec:operation",
    "cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:jobID",
    "cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:response",
    "cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:response_detail",
};
constexpr int kAnswerCount = 5;

// The same five questions in XPath.
const char* const kAnswerXPaths[] = {
    "/cmd/ivec:contents/ivec:param_set/@servicetype",
    "/cmd/ivec:contents/ivec:operation",
    "/cmd/ivec:contents/ivec:param_set[@servicetype='scan']/ivec:jobID",
    "/cmd/ivec:contents/ivec:param_set[@servicetype='scan']/ivec:response",
    "/cmd/ivec:contents/ivec:param_set[@servicetype='scan']/ivec:response_detail",
};

// What each library must find (the empty element reads as "").
const char* const kAnswerValues[] = {"scan", "StartJobResponse", "00000001", "OK", ""};

const std::string kVendorCmd =
    std::string("<?xml version=\"1.0\" encoding=\"utf-8\" ?><cmd xmlns:ivec=\"") +
    ZN_NS_COMMON_URI + "\" xmlns:vxr=\"" + ZN_NS_VENDOR_URI +
    "\"><ivec:contents><ivec:operation>VendorCmd</ivec:operation><ivec:param_set "
    "servicetype=\"%s\"><ivec:jobID>00000001</ivec:jobID><vxr:ijoperation>ModeShift</"
    "vxr:ijoperation><vxr:ijmode>%s</vxr:ijmode></ivec:param_set></ivec:contents></cmd>";

const char* const kVendorPaths[][2] = {
    {"cmd/ivec:contents/ivec:param_set servicetype", "\"scan\""},
    {"cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/vxr:ijmode", "1"},
    {"cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/ivec:jobID", " "},
};
constexpr int kVendorCount = 3;

// The same three rows in XPath, with the values as the libraries store them.
const char* const kVendorXPaths[][2] = {
    {"/cmd/ivec:contents/ivec:param_set/@servicetype", "scan"},
    {"/cmd/ivec:contents/ivec:param_set[@servicetype='%s']/vxr:ijmode", "1"},
    {"/cmd/ivec:contents/ivec:param_set[@servicetype='%s']/ivec:jobID", " "},
};

// The filled command as every implementation must produce it (libxml2 and
// pugixml write the declaration their own way; only what follows it is compared).
const std::string kVendorFilledBody =
    std::string("<cmd xmlns:ivec=\"") + ZN_NS_COMMON_URI + "\" xmlns:vxr=\"" + ZN_NS_VENDOR_URI +
    "\"><ivec:contents><ivec:operation>VendorCmd</ivec:operation><ivec:param_set "
    "servicetype=\"scan\"><ivec:jobID> </ivec:jobID><vxr:ijoperation>ModeShift</"
    "vxr:ijoperation><vxr:ijmode>1</vxr:ijmode></ivec:param_set></ivec:contents></cmd>";

bool EndsWithFilledBody(const char* text, size_t length) {
    std::string produced(text, length);
    while (!produced.empty() && produced.back() == '\n') {
        produced.pop_back();
    }
    return produced.size() >= kVendorFilledBody.size() &&
           produced.compare(produced.size() - kVendorFilledBody.size(), kVendorFilledBody.size(),
                            kVendorFilledBody) == 0;
}

// ---- The engine -------------------------------------------------------------

XmlQuery* MakeQuery(const std::string& document, const char* const (*rows)[2],
                    const char* const* paths, int count) {
    auto* list = static_cast<PathValue*>(AllocZeroed(uint64_t(count) * sizeof(PathValue)));
    for (int i = 0; i < count; ++i) {
        if (rows != nullptr) {
            SetPathValue(&list[i], rows[i][0], rows[i][1]);
        } else {
            SetPathValue(&list[i], paths[i], nullptr);
        }
    }
    auto* query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
    CreateQuery(query, document.c_str(), list, count, 0);
    FreePathValues(list, count);
    return query;
}

bool EngineAnswerRight(const XmlQuery* query) {
    for (int i = 0; i < kAnswerCount; ++i) {
        const QueryEntry& entry = query->entries[i];
        std::string found(query->document + entry.matchOffset, entry.matchLength);
        if (i == 0 && found.size() >= 2) {
            found = found.substr(1, found.size() - 2);  // the span holds the quotes
        }
        if (found != kAnswerValues[i]) {
            return false;
        }
    }
    return true;
}

// The whole call as the command layer makes it: path list, query, run, release.
void BM_Engine_QueryValues(benchmark::State& state) {
    {
        XmlQuery* query = MakeQuery(kAnswer, nullptr, kAnswerPaths, kAnswerCount);
        const bool right = QueryValues(query) == 0 && EngineAnswerRight(query);
        DestroyQuery(query);
        if (!right) {
            state.SkipWithError("wrong answer");
            return;
        }
    }
    const auto call = [] {
        XmlQuery* query = MakeQuery(kAnswer, nullptr, kAnswerPaths, kAnswerCount);
        benchmark::DoNotOptimize(QueryValues(query));
        DestroyQuery(query);
    };
    CountOnce(gEngineCount, state, call);
    for (auto _ : state) {
        call();
    }
    state.counters["bytes"] = double(kAnswer.size());
}
BENCHMARK(BM_Engine_QueryValues);

// The run alone, on a query made once (entries are rewritten by every run).
void BM_Engine_QueryValues_RunOnly(benchmark::State& state) {
    XmlQuery* query = MakeQuery(kAnswer, nullptr, kAnswerPaths, kAnswerCount);
    CountOnce(gEngineCount, state, [&] { benchmark::DoNotOptimize(QueryValues(query)); });
    for (auto _ : state) {
        benchmark::DoNotOptimize(QueryValues(query));
    }
    if (!EngineAnswerRight(query)) {
        state.SkipWithError("wrong answer");
    }
    DestroyQuery(query);
}
BENCHMARK(BM_Engine_QueryValues_RunOnly);

void BM_Engine_ReplaceValues(benchmark::State& state) {
    {
        XmlQuery* query = MakeQuery(kVendorCmd, kVendorPaths, nullptr, kVendorCount);
        const bool right =
            ReplaceValues(query) == 0 && EndsWithFilledBody(query->output, query->outputCapacity);
        DestroyQuery(query);
        if (!right) {
            state.SkipWithError("wrong output");
            return;
        }
    }
    const auto call = [] {
        XmlQuery* query = MakeQuery(kVendorCmd, kVendorPaths, nullptr, kVendorCount);
        benchmark::DoNotOptimize(ReplaceValues(query));
        DestroyQuery(query);
    };
    CountOnce(gEngineCount, state, call);
    for (auto _ : state) {
        call();
    }
    state.counters["bytes"] = double(kVendorCmd.size());
}
BENCHMARK(BM_Engine_ReplaceValues);

void BM_Engine_ReplaceValues_RunOnly(benchmark::State& state) {
    XmlQuery* query = MakeQuery(kVendorCmd, kVendorPaths, nullptr, kVendorCount);
    const auto run = [&] {
        query->outputCapacity = QueryOutputSize;
        benchmark::DoNotOptimize(ReplaceValues(query));
    };
    CountOnce(gEngineCount, state, run);
    for (auto _ : state) {
        run();
    }
    if (!EndsWithFilledBody(query->output, query->outputCapacity)) {
        state.SkipWithError("wrong output");
    }
    DestroyQuery(query);
}
BENCHMARK(BM_Engine_ReplaceValues_RunOnly);

// The whole call with the path list made once and kept, as a caller may keep
// it for further queries: what the engine costs without the list's copies.
template <typename Run>
void RunWithListKept(benchmark::State& state, const std::string& document,
                     const char* const (*rows)[2], const char* const* paths, int count, Run run) {
    auto* list = static_cast<PathValue*>(AllocZeroed(uint64_t(count) * sizeof(PathValue)));
    for (int i = 0; i < count; ++i) {
        SetPathValue(&list[i], rows != nullptr ? rows[i][0] : paths[i],
                     rows != nullptr ? rows[i][1] : nullptr);
    }
    const auto call = [&] {
        auto* query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
        CreateQuery(query, document.c_str(), list, count, 0);
        benchmark::DoNotOptimize(run(query));
        DestroyQuery(query);
    };
    CountOnce(gEngineCount, state, call);
    for (auto _ : state) {
        call();
    }
    FreePathValues(list, count);
}

void BM_Engine_QueryValues_ListKept(benchmark::State& state) {
    RunWithListKept(state, kAnswer, nullptr, kAnswerPaths, kAnswerCount, QueryValues);
}
BENCHMARK(BM_Engine_QueryValues_ListKept);

void BM_Engine_ReplaceValues_ListKept(benchmark::State& state) {
    RunWithListKept(state, kVendorCmd, kVendorPaths, nullptr, kVendorCount, ReplaceValues);
}
BENCHMARK(BM_Engine_ReplaceValues_ListKept);

// ---- libxml2: parse, XPath with the namespaces registered, serialise ---------

xmlXPathContextPtr LibxmlContext(xmlDocPtr doc) {
    xmlXPathContextPtr xpath = xmlXPathNewContext(doc);
    xmlXPathRegisterNs(xpath, BAD_CAST "ivec", BAD_CAST ZN_NS_COMMON_URI);
    xmlXPathRegisterNs(xpath, BAD_CAST "vxr", BAD_CAST ZN_NS_VENDOR_URI);
    return xpath;
}

// Text of the first node of `expression` (element text or attribute value),
// without copying; nullptr when nothing is found.
const xmlChar* LibxmlFirstValue(xmlXPathContextPtr xpath, const char* expression, bool* found) {
    xmlXPathObjectPtr result = xmlXPathEvalExpression(BAD_CAST expression, xpath);
    const xmlChar* value = nullptr;
    *found = false;
    if (result != nullptr && result->nodesetval != nullptr && result->nodesetval->nodeNr > 0) {
        xmlNodePtr node = result->nodesetval->nodeTab[0];
        *found = true;
        if (node->children != nullptr && node->children->type == XML_TEXT_NODE) {
            value = node->children->content;
        }
    }
    xmlXPathFreeObject(result);
    return value;
}

bool LibxmlQuery(bool check) {
    xmlDocPtr doc = xmlReadMemory(kAnswer.data(), int(kAnswer.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOBLANKS);
    if (doc == nullptr) {
        return false;
    }
    xmlXPathContextPtr xpath = LibxmlContext(doc);
    bool right = true;
    for (int i = 0; i < kAnswerCount; ++i) {
        bool found = false;
        const xmlChar* value = LibxmlFirstValue(xpath, kAnswerXPaths[i], &found);
        benchmark::DoNotOptimize(value);
        if (check) {
            const char* text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
            right = right && found && std::strcmp(text, kAnswerValues[i]) == 0;
        }
    }
    xmlXPathFreeContext(xpath);
    xmlFreeDoc(doc);
    return right;
}

void BM_Libxml2_QueryValues(benchmark::State& state) {
    if (!LibxmlQuery(true)) {
        state.SkipWithError("wrong answer");
        return;
    }
    CountOnce(gLibxmlCount, state, [] { LibxmlQuery(false); });
    for (auto _ : state) {
        LibxmlQuery(false);
    }
}
BENCHMARK(BM_Libxml2_QueryValues);

bool LibxmlReplace(bool check) {
    xmlDocPtr doc =
        xmlReadMemory(kVendorCmd.data(), int(kVendorCmd.size()), nullptr, nullptr, XML_PARSE_NONET);
    if (doc == nullptr) {
        return false;
    }
    xmlXPathContextPtr xpath = LibxmlContext(doc);
    // Select all three first, then write: the later paths name the old attribute value.
    xmlNodePtr nodes[kVendorCount] = {};
    for (int i = 0; i < kVendorCount; ++i) {
        xmlXPathObjectPtr result = xmlXPathEvalExpression(BAD_CAST kVendorXPaths[i][0], xpath);
        if (result != nullptr && result->nodesetval != nullptr && result->nodesetval->nodeNr > 0) {
            nodes[i] = result->nodesetval->nodeTab[0];
        }
        xmlXPathFreeObject(result);
    }
    bool right = true;
    for (int i = 0; i < kVendorCount; ++i) {
        if (nodes[i] == nullptr) {
            right = false;
            continue;
        }
        xmlNodeSetContent(nodes[i], BAD_CAST kVendorXPaths[i][1]);
    }
    xmlChar* text = nullptr;
    int length = 0;
    xmlDocDumpMemory(doc, &text, &length);
    benchmark::DoNotOptimize(text);
    if (check) {
        right = right && text != nullptr &&
                EndsWithFilledBody(reinterpret_cast<const char*>(text), size_t(length));
    }
    xmlFree(text);
    xmlXPathFreeContext(xpath);
    xmlFreeDoc(doc);
    return right;
}

void BM_Libxml2_ReplaceValues(benchmark::State& state) {
    if (!LibxmlReplace(true)) {
        state.SkipWithError("wrong output");
        return;
    }
    CountOnce(gLibxmlCount, state, [] { LibxmlReplace(false); });
    for (auto _ : state) {
        LibxmlReplace(false);
    }
}
BENCHMARK(BM_Libxml2_ReplaceValues);

// ---- pugixml: parse and XPath (prefixed names are matched as written) --------

bool PugiQuery(bool check) {
    pugi::xml_document doc;
    if (!doc.load_buffer(kAnswer.data(), kAnswer.size(), pugi::parse_default)) {
        return false;
    }
    bool right = true;
    for (int i = 0; i < kAnswerCount; ++i) {
        const pugi::xpath_node node = doc.select_node(kAnswerXPaths[i]);
        const char* value = node.attribute() ? node.attribute().value() : node.node().text().get();
        benchmark::DoNotOptimize(value);
        if (check) {
            right = right && node && std::strcmp(value, kAnswerValues[i]) == 0;
        }
    }
    return right;
}

void BM_Pugixml_QueryValues(benchmark::State& state) {
    if (!PugiQuery(true)) {
        state.SkipWithError("wrong answer");
        return;
    }
    CountOnce(gPugiCount, state, [] { PugiQuery(false); });
    for (auto _ : state) {
        PugiQuery(false);
    }
}
BENCHMARK(BM_Pugixml_QueryValues);

// Serialises into a fixed buffer, as the engine fills its output buffer.
struct BufferWriter : pugi::xml_writer {
    char buffer[2048];
    size_t length = 0;
    void write(const void* data, size_t size) override {
        const size_t room = sizeof(buffer) - length;
        const size_t n = size < room ? size : room;
        std::memcpy(buffer + length, data, n);
        length += n;
    }
};

bool PugiReplace(bool check) {
    pugi::xml_document doc;
    if (!doc.load_buffer(kVendorCmd.data(), kVendorCmd.size(),
                         pugi::parse_default | pugi::parse_declaration)) {
        return false;
    }
    pugi::xpath_node nodes[kVendorCount];
    for (int i = 0; i < kVendorCount; ++i) {
        nodes[i] = doc.select_node(kVendorXPaths[i][0]);
    }
    bool right = true;
    for (int i = 0; i < kVendorCount; ++i) {
        if (nodes[i].attribute()) {
            nodes[i].attribute().set_value(kVendorXPaths[i][1]);
        } else if (nodes[i].node()) {
            nodes[i].node().text().set(kVendorXPaths[i][1]);
        } else {
            right = false;
        }
    }
    BufferWriter writer;
    doc.save(writer, "", pugi::format_raw);
    benchmark::DoNotOptimize(writer.buffer);
    if (check) {
        right = right && EndsWithFilledBody(writer.buffer, writer.length);
    }
    return right;
}

void BM_Pugixml_ReplaceValues(benchmark::State& state) {
    if (!PugiReplace(true)) {
        state.SkipWithError("wrong output");
        return;
    }
    CountOnce(gPugiCount, state, [] { PugiReplace(false); });
    for (auto _ : state) {
        PugiReplace(false);
    }
}
BENCHMARK(BM_Pugixml_ReplaceValues);

// ---- The engine beside pugixml, interleaved ----------------------------------

// The whole call of each, in alternating batches: "ratio" is engine / pugixml.
void BM_Ratio_QueryValues(benchmark::State& state) {
    RunInterleaved(
        state, 200,
        [] {
            XmlQuery* query = MakeQuery(kAnswer, nullptr, kAnswerPaths, kAnswerCount);
            benchmark::DoNotOptimize(QueryValues(query));
            DestroyQuery(query);
        },
        [] { PugiQuery(false); });
}
BENCHMARK(BM_Ratio_QueryValues)->Iterations(300);

void BM_Ratio_ReplaceValues(benchmark::State& state) {
    RunInterleaved(
        state, 200,
        [] {
            XmlQuery* query = MakeQuery(kVendorCmd, kVendorPaths, nullptr, kVendorCount);
            benchmark::DoNotOptimize(ReplaceValues(query));
            DestroyQuery(query);
        },
        [] { PugiReplace(false); });
}
BENCHMARK(BM_Ratio_ReplaceValues)->Iterations(300);

// The libraries' counting allocators go in before any benchmark runs (libxml2
// takes its allocator only before its first use).
struct CountingAllocators {
    CountingAllocators() {
        xmlMemSetup(LibxmlFree, LibxmlMalloc, LibxmlRealloc, LibxmlStrdup);
        xmlInitParser();
        pugi::set_memory_management_functions(PugiAllocate, PugiDeallocate);
    }
};
const CountingAllocators kCountingAllocators;

}  // namespace

BENCHMARK_MAIN();
