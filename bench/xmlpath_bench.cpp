// Benchmarks of the XML path engine: reading the five answer paths from a
// typical device answer, and filling the vendor command template.
#include <benchmark/benchmark.h>

#include <string>

#include "runtime/memory.h"
#include "xmlpath/replace.h"
#include "xmlpath/scanner.h"

namespace {

const std::string kAnswer =
    std::string("<?xml version=\"1.0\" encoding=\"utf-8\" ?><cmd xmlns:ivec=\"") +
    ZN_NS_COMMON_URI + "\" xmlns:vxr=\"" + ZN_NS_VENDOR_URI +
    "\"><ivec:contents><ivec:operation>StartJobResponse</ivec:operation>"
    "<ivec:param_set servicetype=\"scan\"><ivec:jobID>00000001</ivec:jobID>"
    "<ivec:response>OK</ivec:response><ivec:response_detail></ivec:response_detail>"
    "<vxr:status>ready</vxr:status></ivec:param_set></ivec:contents></cmd>";

const char* const kAnswerPaths[] = {
    "cmd/ivec:contents/ivec:param_set servicetype",
    "cmd/ivec:contents/ivec:operation",
    "cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:jobID",
    "cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:response",
    "cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:response_detail",
};

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

// Whole call as the command layer makes it: list, query, run, release.
void BM_QueryValuesAnswer(benchmark::State& state) {
    for (auto _ : state) {
        auto* list = static_cast<PathValue*>(AllocZeroed(5 * sizeof(PathValue)));
        for (int i = 0; i < 5; ++i) {
            SetPathValue(&list[i], kAnswerPaths[i], nullptr);
        }
        auto* query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
        CreateQuery(query, kAnswer.c_str(), list, 5, 0);
        benchmark::DoNotOptimize(QueryValues(query));
        DestroyQuery(query);
        FreePathValues(list, 5);
    }
    state.counters["bytes"] = static_cast<double>(kAnswer.size());
}
BENCHMARK(BM_QueryValuesAnswer);

void BM_ReplaceValuesVendorCmd(benchmark::State& state) {
    for (auto _ : state) {
        auto* list = static_cast<PathValue*>(AllocZeroed(3 * sizeof(PathValue)));
        for (int i = 0; i < 3; ++i) {
            SetPathValue(&list[i], kVendorPaths[i][0], kVendorPaths[i][1]);
        }
        auto* query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
        CreateQuery(query, kVendorCmd.c_str(), list, 3, 0);
        benchmark::DoNotOptimize(ReplaceValues(query));
        DestroyQuery(query);
        FreePathValues(list, 3);
    }
    state.counters["bytes"] = static_cast<double>(kVendorCmd.size());
}
BENCHMARK(BM_ReplaceValuesVendorCmd);

}  // namespace

BENCHMARK_MAIN();
