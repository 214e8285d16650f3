// SPDX-License-Identifier: MIT
// Benchmarks of the plug-in on the simulated bus: press-to-callback latency
// once the 1-second window has passed, the cost of idling on the interrupt
// pipe, and how long Stop takes while the thread reads and while it pauses.
// The process gives itself a private tmpfs on /tmp (bench/private_tmp.h), where
// the event files go, as a user's /tmp is a tmpfs or a journaled file system.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/sim_bus.h"
#include "plugin/plugin_entry.h"
#include "plugin/watch_thread.h"
#include "private_tmp.h"
#include "spread.h"
#include "twain_button_plugin.h"
#include "zn417_model.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kLocation = 0x14100000;
constexpr uint8_t kInterruptPipeRef = 3;
constexpr uint64_t kSecond = 1000000;

// The host: notes when each callback came and signals this thread through an
// eventfd; can switch the clock to real time from inside the callback, so
// that the pause after it runs on the real clock.
struct BenchHost {
    int called = eventfd(0, EFD_CLOEXEC);
    std::atomic<uint64_t> calls{0};
    Clock::time_point lastCall;  // written before calls is raised
    std::atomic<bool> realPause{false};

    ~BenchHost() { close(called); }
    static int32_t Callback(uint32_t, int32_t*, void* context) {
        auto* host = static_cast<BenchHost*>(context);
        host->lastCall = Clock::now();
        if (host->realPause.load()) {
            VirtualClockDisable();
        }
        host->calls.fetch_add(1, std::memory_order_release);
        const uint64_t one = 1;
        (void)!write(host->called, &one, sizeof one);
        return 0;
    }
    // The time of callback number `count`; waits at most 10 s for it.
    Clock::time_point WaitForCall(uint64_t count) {
        struct pollfd ready {
            called, POLLIN, 0
        };
        while (calls.load(std::memory_order_acquire) < count && poll(&ready, 1, 10000) > 0) {
            uint64_t value;
            (void)!read(called, &value, sizeof value);
        }
        return lastCall;
    }
};

// A simulated ZN417 and the virtual clock. With a private /tmp the plug-in
// writes its event files there, where a user's go; else into a private folder
// of the shared one. Either way they are removed at the end.
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
        if (PrivateTmp().isPrivate) {
            directory = "/tmp";
        } else {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "zn_plugin_bench_XXXXXX").string();
            if (mkdtemp(pattern.data()) != nullptr) {
                directory = pattern;
                gEventDirectoryForTests.store(directory.c_str());
            }
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
        if (PrivateTmp().isPrivate) {
            for (const auto& entry : std::filesystem::directory_iterator("/tmp", ignored)) {
                std::filesystem::remove_all(entry.path(), ignored);
            }
        } else {
            std::filesystem::remove_all(directory, ignored);
        }
    }
    const std::string& EventDirectory() const { return directory; }

    bool StartWatching() {
        return TWAINButtonPluginStart(&location, &host, nullptr, BenchHost::Callback) == 0 &&
               SimWaitForBlockedReads(1, 10000);
    }
    // Press number `count`, two (virtual) seconds after the last: from the
    // packet's arrival to the callback's entry, and in `roundTrip` to this
    // thread's hearing of it; returns once the thread waits again.
    Clock::duration PressAndWait(uint64_t count, Clock::duration* roundTrip = nullptr) {
        VirtualClockAdvance(2 * kSecond);
        const Clock::time_point sent = Clock::now();
        Press();
        const Clock::time_point called = host.WaitForCall(count);
        if (roundTrip != nullptr) {
            *roundTrip = Clock::now() - sent;
        }
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
    LabelTmp(state);
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

// The floor of a press, as a plain writer would do it: a thread woken by an
// eventfd creates (O_CREAT | O_EXCL), writes and closes a 400-byte file
// beside the event files, then signals back through a second eventfd. Its
// files are kept, as the press's are, until the benchmark ends.
struct BaselineWriter {
    int wake = -1;
    int answer = -1;
    std::string directory;
    Clock::time_point written;  // when the last file was closed; read after the answer
    std::thread thread;

    explicit BaselineWriter(const std::string& where) : directory(where) {
        wake = eventfd(0, EFD_CLOEXEC);
        answer = eventfd(0, EFD_CLOEXEC);
        thread = std::thread([this] { Run(); });
    }
    ~BaselineWriter() {
        Signal(wake, kStopWriter);
        thread.join();
        close(wake);
        close(answer);
    }
    static constexpr uint64_t kStopWriter = 1ull << 40;
    static void Signal(int descriptor, uint64_t value) {
        (void)!write(descriptor, &value, sizeof value);
    }
    static uint64_t Await(int descriptor) {
        uint64_t value = 0;
        while (read(descriptor, &value, sizeof value) < 0 && errno == EINTR) {
        }
        return value;
    }
    void Run() {
        const std::string text(400, 'x');
        char path[1024];
        for (uint64_t count = 0; Await(wake) < kStopWriter;) {
            std::snprintf(path, sizeof path, "%s/baseline.%llu.plist", directory.c_str(),
                          static_cast<unsigned long long>(++count));
            const int descriptor =
                open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (descriptor >= 0) {
                benchmark::DoNotOptimize(write(descriptor, text.data(), text.size()));
                close(descriptor);
            }
            written = Clock::now();
            Signal(answer, 1);
        }
    }
    // From the signal to the file closed on the writer's thread (as a press
    // is timed to the callback's entry), and to the answer seen here.
    void Once(Clock::duration* toWritten, Clock::duration* roundTrip) {
        const Clock::time_point sent = Clock::now();
        Signal(wake, 1);
        Await(answer);
        *roundTrip = Clock::now() - sent;
        *toWritten = written - sent;
    }
};

// The first two CPUs this thread may run on; false when there are fewer.
bool TwoCpus(cpu_set_t* allowed, int* first, int* second) {
    if (sched_getaffinity(0, sizeof *allowed, allowed) != 0) {
        return false;
    }
    int found = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && found < 2; ++cpu) {
        if (CPU_ISSET(cpu, allowed)) {
            *(found++ == 0 ? first : second) = cpu;
        }
    }
    return found == 2;
}

void RunOn(int cpu) {
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    pthread_setaffinity_np(pthread_self(), sizeof only, &only);
}

// Press-to-callback against the baseline, one of each in turn, so that both
// see the same machine: reports the median of the per-pair ratios, timed to
// the callback's entry and to the file's close on the worker thread ("ratio"),
// and to the answer back on this thread ("round_trip_ratio"). With pinned:1
// the watch thread and the baseline's thread share one CPU and this thread
// runs on another, so that neither side gains from where the scheduler
// happened to put it (unpinned, a run's figures can jump by 3x either way).
void BM_PressToCallbackOverBaseline(benchmark::State& state) {
    BenchBus bus;
    LabelTmp(state);
    cpu_set_t allowed;
    int workerCpu = 0;
    int callerCpu = 0;
    const bool pinned = state.range(0) != 0 && TwoCpus(&allowed, &workerCpu, &callerCpu);
    state.counters["pinned"] = pinned ? 1 : 0;
    if (pinned) {
        RunOn(workerCpu);  // the threads made now inherit it
    }
    if (!bus.StartWatching()) {
        state.SkipWithError("the plug-in did not start");
        return;
    }
    BaselineWriter baseline(bus.EventDirectory());
    if (pinned) {
        RunOn(state.range(0) == 2 ? callerCpu : workerCpu);
    }
    std::vector<double> ratios;
    std::vector<double> roundTripRatios;
    std::vector<double> presses;
    std::vector<double> floors;
    uint64_t count = 0;
    for (auto _ : state) {
        Clock::duration pressRoundTrip;
        const double press = Microseconds(bus.PressAndWait(++count, &pressRoundTrip));
        Clock::duration floorWritten;
        Clock::duration floorRoundTrip;
        baseline.Once(&floorWritten, &floorRoundTrip);
        const double floor = Microseconds(floorWritten);
        state.SetIterationTime(press / 1e6);
        presses.push_back(press);
        floors.push_back(floor);
        ratios.push_back(press / floor);
        roundTripRatios.push_back(Microseconds(pressRoundTrip) / Microseconds(floorRoundTrip));
    }
    if (pinned) {
        pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed);
    }
    ReportSpread(state, presses, "press_us");
    ReportSpread(state, floors, "baseline_us");
    ReportSpread(state, ratios, "ratio");
    ReportSpread(state, roundTripRatios, "round_trip_ratio");
}
BENCHMARK(BM_PressToCallbackOverBaseline)
    ->ArgName("pinned")
    ->Arg(1)
    ->Arg(2)
    ->Arg(0)
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
        bus.host.realPause.store(true);
        if (!bus.StartWatching()) {
            state.SkipWithError("the plug-in did not start");
            return;
        }
        VirtualClockAdvance(kSecond);
        const uint64_t calls = bus.host.calls.load() + 1;
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

int main(int argc, char** argv) {
    EnterPrivateTmp();
    return RunBenchmarks(argc, argv);
}
