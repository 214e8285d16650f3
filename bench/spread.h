// SPDX-License-Identifier: MIT
// Median, 90th percentile and maximum of a benchmark's own samples, reported
// as counters beside Google Benchmark's mean.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

inline void ReportSpread(benchmark::State& state, std::vector<double> samples, const char* unit) {
    if (samples.empty()) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    state.counters[std::string("median_") + unit] = samples[samples.size() / 2];
    state.counters[std::string("p90_") + unit] = samples[samples.size() * 9 / 10];
    state.counters[std::string("max_") + unit] = samples.back();
}

// Runs `operation` as the timed part of one iteration (manual time) and
// returns the seconds it took.
template <typename Operation>
inline double TimeIteration(benchmark::State& state, Operation operation) {
    const auto before = std::chrono::steady_clock::now();
    operation();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
    state.SetIterationTime(seconds);
    return seconds;
}
