// SPDX-License-Identifier: MIT
// Two contenders timed in alternating batches inside one benchmark, on this
// thread's CPU clock: the ratio of their medians cancels out what other
// processes do to the machine.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <vector>

inline double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Each iteration runs `batch` calls of one contender, then `batch` of the
// other (the order swaps every iteration). Reports the median time per call
// of each (microseconds) and "ratio" = first / second.
template <typename First, typename Second>
void RunInterleaved(benchmark::State& state, int batch, First first, Second second) {
    std::vector<double> firstTimes;
    std::vector<double> secondTimes;
    bool firstLeads = true;
    const auto timeBatch = [batch](auto& call, std::vector<double>& times) {
        const double before = ThreadCpuSeconds();
        for (int i = 0; i < batch; ++i) {
            call();
        }
        times.push_back((ThreadCpuSeconds() - before) / batch);
    };
    for (auto _ : state) {
        if (firstLeads) {
            timeBatch(first, firstTimes);
            timeBatch(second, secondTimes);
        } else {
            timeBatch(second, secondTimes);
            timeBatch(first, firstTimes);
        }
        firstLeads = !firstLeads;
    }
    if (firstTimes.empty()) {
        return;
    }
    const auto median = [](std::vector<double>& times) {
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    };
    const double firstMedian = median(firstTimes);
    const double secondMedian = median(secondTimes);
    state.counters["engine_us"] = firstMedian * 1e6;
    state.counters["other_us"] = secondMedian * 1e6;
    state.counters["ratio"] = firstMedian / secondMedian;
}
