// SPDX-License-Identifier: MIT
// Benchmarks of the plug-in on the simulated bus: press-to-callback latency
// once the 1-second window has passed, the cost of idling on the interrupt
// pipe, and how long Stop takes while the thread reads and while it pauses.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/sim_bus.h"
#include "plugin/plugin_entry.h"
#include "plugin/watch_thread.h"
#include "twain_button_plugin.h"
#include "zn417_model.h"
#include "spread.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kLocation = 0x14100000;
constexpr uint8_t kInterruptPipeRef = 3;
constexpr uint64_t kSecond = 1000000;

// The host: notes when each callback came; can switch the clock to real time
// from inside the callback, so that the pause after it runs on the real clock.
struct BenchHost {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t calls = 0;
    Clock::time_point lastCall;
    bool realPause = false;

    static int32_t Callback(uint32_t, int32_t*, void* context) {
        auto* host = static_cast<BenchHost*>(context);
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> guard(host->lock);
        if (host->realPause) {
            VirtualClockDisable();
        }
        host->lastCall = now;
        ++host->calls;
        host->changed.notify_all();
        return 0;
    }
    Clock::time_point WaitForCall(uint64_t count) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::seconds(10), [&] { return calls >= count; });
        return lastCall;
    }
};

// A simulated ZN417, the virtual clock, and event files in a private folder.
struct BenchBus {
    Zn417Model* device = nullptr;
    uint32_t scanner = 0;
    int32_t location = kLocation;
    std::string directory;
    BenchHost host;

    BenchBus() {
        UsbPlatformSelectBackend(UsbBackendSimulated);
        SimBusReset();
        const struct timeval start { 1700000000, 0 };
        VirtualClockEnable(&start);
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zn_plugin_bench_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            directory = pattern;
            gEventDirectoryForTests.store(directory.c_str());
        }
        device = Zn417Attach(kLocation);
        scanner = Zn417InterfaceId(device);
    }
    ~BenchBus() {
        TWAINButtonPluginStop();
        Zn417Detach(device);
        gEventDirectoryForTests.store(nullptr);
        VirtualClockDisable();
        SimBusReset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    bool StartWatching() {
        return TWAINButtonPluginStart(&location, &host, nullptr, BenchHost::Callback) == 0 &&
               SimWaitForBlockedReads(1, 10000);
    }
    // Press number `count`, two (virtual) seconds after the last: from the
    // packet's arrival to the callback; returns once the thread waits again.
    Clock::duration PressAndWait(uint64_t count) {
        VirtualClockAdvance(2 * kSecond);
        const Clock::time_point sent = Clock::now();
        Press();
        const Clock::time_point called = host.WaitForCall(count);
        SimWaitForBlockedReads(1, 10000);  // through the (virtual) pause, waiting again
        return called - sent;
    }
    void Press() {
        uint8_t packet[32] = {};
        packet[4] = 1;
        SimQueueInPacket(scanner, kInterruptPipeRef, packet, sizeof packet);
    }
};

double Microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

// From the packet's arrival on the bus to the host's callback: the device
// check, the event file and the call, with the window long passed.
void BM_PressToCallback(benchmark::State& state) {
    BenchBus bus;
    if (!bus.StartWatching()) {
        state.SkipWithError("the plug-in did not start");
        return;
    }
    std::vector<double> latencies;
    uint64_t presses = 0;
    for (auto _ : state) {
        const double seconds = std::chrono::duration<double>(bus.PressAndWait(++presses)).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds * 1e6);
    }
    ReportSpread(state, latencies, "us");
}
BENCHMARK(BM_PressToCallback)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// The floor of a press: a thread woken by a condition variable creates,
// writes and closes a 400-byte file beside the event files and signals back.
struct BaselineWriter {
    std::mutex lock;
    std::condition_variable changed;
    std::string directory;
    uint64_t requested = 0;
    uint64_t done = 0;
    bool stopping = false;
    std::thread thread;

    explicit BaselineWriter(const std::string& where) : directory(where) {
        thread = std::thread([this] { Run(); });
    }
    ~BaselineWriter() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        changed.notify_all();
        thread.join();
    }
    void Run() {
        const std::string text(400, 'x');
        std::unique_lock<std::mutex> guard(lock);
        for (uint64_t written = 0;;) {
            changed.wait(guard, [&] { return stopping || requested > written; });
            if (stopping) {
                return;
            }
            guard.unlock();
            const std::string path = directory + "/baseline." + std::to_string(++written);
            const int descriptor =
                open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (descriptor >= 0) {
                benchmark::DoNotOptimize(write(descriptor, text.data(), text.size()));
                close(descriptor);
            }
            guard.lock();
            done = written;
            changed.notify_all();
        }
    }
    // Time from the signal to the answer.
    Clock::duration Once() {
        std::unique_lock<std::mutex> guard(lock);
        const Clock::time_point sent = Clock::now();
        ++requested;
        changed.notify_all();
        changed.wait(guard, [&] { return done == requested; });
        return Clock::now() - sent;
    }
};

// Press-to-callback against the baseline, one of each in turn, so that both
// see the same machine: reports the median of the per-pair ratios.
void BM_PressToCallbackOverBaseline(benchmark::State& state) {
    BenchBus bus;
    if (!bus.StartWatching()) {
        state.SkipWithError("the plug-in did not start");
        return;
    }
    BaselineWriter baseline(bus.directory);
    std::vector<double> ratios;
    std::vector<double> presses;
    std::vector<double> floors;
    uint64_t count = 0;
    for (auto _ : state) {
        const double press = Microseconds(bus.PressAndWait(++count));
        const double floor = Microseconds(baseline.Once());
        state.SetIterationTime(press / 1e6);
        presses.push_back(press);
        floors.push_back(floor);
        ratios.push_back(press / floor);
    }
    ReportSpread(state, presses, "press_us");
    ReportSpread(state, floors, "baseline_us");
    ReportSpread(state, ratios, "ratio");
}
BENCHMARK(BM_PressToCallbackOverBaseline)
    ->UseManualTime()
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

// Context switches a thread of this process has made, from /proc.
uint64_t VoluntarySwitchesOfOtherThreads() {
    uint64_t total = 0;
    const std::string self = std::to_string(gettid());
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return 0;
    }
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.' || self == entry->d_name) {
            continue;
        }
        std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                total += std::stoull(line.substr(24));
            }
        }
    }
    closedir(tasks);
    return total;
}

double ThreadCpuMicroseconds(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double ProcessCpuMicroseconds(const struct rusage& usage) {
    auto micros = [](const struct timeval& time) {
        return static_cast<double>(time.tv_sec) * 1e6 + static_cast<double>(time.tv_usec);
    };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

// Ten seconds blocked on the interrupt pipe: CPU time of the watch thread and
// of the process, and the watch thread's wake-ups.
void BM_IdleOnInterruptPipe(benchmark::State& state) {
    BenchBus bus;
    if (!bus.StartWatching()) {
        state.SkipWithError("the plug-in did not start");
        return;
    }
    clockid_t watchClock;
    pthread_getcpuclockid(gWatchThread, &watchClock);
    for (auto _ : state) {
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        const double threadBefore = ThreadCpuMicroseconds(watchClock);
        const uint64_t switchesBefore = VoluntarySwitchesOfOtherThreads();
        const struct timespec idle { 10, 0 };
        nanosleep(&idle, nullptr);
        const uint64_t switchesAfter = VoluntarySwitchesOfOtherThreads();
        const double threadAfter = ThreadCpuMicroseconds(watchClock);
        getrusage(RUSAGE_SELF, &after);
        state.counters["watch_thread_cpu_us"] = threadAfter - threadBefore;
        state.counters["process_cpu_us"] =
            ProcessCpuMicroseconds(after) - ProcessCpuMicroseconds(before);
        state.counters["watch_thread_wakeups"] =
            static_cast<double>(switchesAfter - switchesBefore);
        state.counters["process_voluntary_switches"] =
            static_cast<double>(after.ru_nvcsw - before.ru_nvcsw);
    }
}
BENCHMARK(BM_IdleOnInterruptPipe)->Iterations(1)->Unit(benchmark::kSecond);

// Stop while the thread is blocked in its read.
void BM_StopWhileBlockedInRead(benchmark::State& state) {
    BenchBus bus;
    std::vector<double> latencies;
    for (auto _ : state) {
        if (!bus.StartWatching()) {
            state.SkipWithError("the plug-in did not start");
            return;
        }
        latencies.push_back(TimeIteration(state, TWAINButtonPluginStop) * 1e6);
    }
    ReportSpread(state, latencies, "us");
}
BENCHMARK(BM_StopWhileBlockedInRead)
    ->UseManualTime()
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);

// Stop at a random moment of the pause after a press, the pause's 100 ms
// sleeps running on the real clock.
void BM_StopDuringPause(benchmark::State& state) {
    BenchBus bus;
    std::mt19937 random(417);
    std::vector<double> latencies;
    time_t startSeconds = 1700000000;
    for (auto _ : state) {
        startSeconds += 10;  // a new event file name each time
        const struct timeval start { startSeconds, 0 };
        VirtualClockEnable(&start);
        bus.host.realPause = true;
        if (!bus.StartWatching()) {
            state.SkipWithError("the plug-in did not start");
            return;
        }
        VirtualClockAdvance(kSecond);
        const uint64_t calls = bus.host.calls + 1;
        bus.Press();
        bus.host.WaitForCall(calls);
        const struct timespec into { 0, static_cast<long>(random() % 300) * 1000000L };
        nanosleep(&into, nullptr);
        latencies.push_back(TimeIteration(state, TWAINButtonPluginStop) * 1e3);
    }
    ReportSpread(state, latencies, "ms");
}
BENCHMARK(BM_StopDuringPause)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
