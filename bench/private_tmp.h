// SPDX-License-Identifier: MIT
// A private, empty /tmp for a benchmark that runs the event path: a mount
// namespace of the process's own with a fresh tmpfs on /tmp, as a user's /tmp
// is, so that the figures neither depend on the shared /tmp's file system and
// history nor leave files there.
#pragma once

#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// What EnterPrivateTmp made of /tmp, for labels and counters.
struct PrivateTmpOutcome {
    bool isPrivate = false;
    std::string description;  // "private tmpfs", or why the shared /tmp is measured
};

inline PrivateTmpOutcome& PrivateTmp() {
    static PrivateTmpOutcome outcome;
    return outcome;
}

// True when `path` lies under /tmp, where a fresh tmpfs would hide it.
inline bool IsUnderTmp(const char* path) {
    return std::strncmp(path, "/tmp/", 5) == 0;
}

// Call first thing in main, before any thread exists: a mount namespace is
// left by the calling thread only. Says on stderr and in the benchmark's
// context when the shared /tmp is measured instead. ZN_BENCH_TMP=given keeps
// the /tmp the process was given (say, a journaled file system mounted there
// in a namespace of the caller's); the files then go into a folder of it.
inline void EnterPrivateTmp() {
    PrivateTmpOutcome& outcome = PrivateTmp();
    char where[4096] = {};
    char self[4096] = {};
    const bool located = getcwd(where, sizeof where - 1) != nullptr &&
                         readlink("/proc/self/exe", self, sizeof self - 1) > 0;
    const char* failed = nullptr;
    int error = 0;
    const char* wanted = std::getenv("ZN_BENCH_TMP");
    if (wanted != nullptr && std::strcmp(wanted, "given") == 0) {
        failed = "ZN_BENCH_TMP=given";  // to measure another file system mounted there
    } else if (!located || IsUnderTmp(where) || IsUnderTmp(self)) {
        failed = "the build tree or working directory lies under /tmp";
    } else if (unshare(CLONE_NEWNS) != 0) {
        failed = "unshare(CLONE_NEWNS)";
        error = errno;
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        failed = "making / private";
        error = errno;
    } else if (mount("zn417-bench-tmp", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV,
                     "mode=1777,size=256m") != 0) {
        failed = "mounting a tmpfs on /tmp";
        error = errno;
    }
    if (failed == nullptr) {
        outcome.isPrivate = true;
        outcome.description = "private tmpfs";
    } else {
        const bool given = std::strncmp(failed, "ZN_BENCH_TMP", 12) == 0;
        outcome.description = std::string(given ? "given /tmp (" : "SHARED /tmp (") + failed +
                              (error != 0 ? std::string(": ") + std::strerror(error) : "") + ")";
        std::fprintf(stderr, "warning: no private /tmp, measuring the %s\n",
                     outcome.description.c_str());
    }
    benchmark::AddCustomContext("tmp", outcome.description);
}

// Marks a benchmark's result with the /tmp it ran on.
inline void LabelTmp(benchmark::State& state) {
    state.counters["private_tmp"] = PrivateTmp().isPrivate ? 1 : 0;
    if (!PrivateTmp().isPrivate) {
        state.SetLabel(PrivateTmp().description);
    }
}

// Google Benchmark's own main, for the benchmarks whose main first sets up
// /tmp (and whatever else must exist before their first thread).
inline int RunBenchmarks(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
