// SPDX-License-Identifier: MIT
// The host's latencies, with the real plug-in on the simulated bus and a
// virtual clock: a replugged scanner watched again, a press turned into a
// running action, a watch that ended by itself watched again (the first
// retry), and a lent scanner taken back. Each reports the median of its
// samples in microseconds.
// The plug-in writes event files into /tmp: the process gives itself a
// private tmpfs there at start (bench/private_tmp.h).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_service.h"
#include "platform/clock.h"
#include "platform/sim_bus.h"
#include "private_tmp.h"
#include "zn417_model.h"

namespace {

constexpr int32_t kLocation = 0x14100000;
using Clock = std::chrono::steady_clock;

// The service on a thread of its own, and what its hooks saw.
struct BenchHost {
    HostService service;
    std::thread thread;
    int control[2] = {-1, -1};
    std::mutex lock;
    std::condition_variable changed;
    int transitions = 0;
    int actionsEnded = 0;
    Clock::time_point lastSpawn;  // when the host's posix_spawn returned
};

void OnWatching(void* context, bool, const UsbDeviceInfo&) {
    auto* host = static_cast<BenchHost*>(context);
    std::lock_guard<std::mutex> guard(host->lock);
    ++host->transitions;
    host->changed.notify_all();
}

void OnActionStarted(void* context, pid_t, const HostEvent&) {
    auto* host = static_cast<BenchHost*>(context);
    std::lock_guard<std::mutex> guard(host->lock);
    host->lastSpawn = Clock::now();
}

void OnActionEnded(void* context, const HostEvent&, int) {
    auto* host = static_cast<BenchHost*>(context);
    std::lock_guard<std::mutex> guard(host->lock);
    ++host->actionsEnded;
    host->changed.notify_all();
}

bool StartHost(BenchHost* host, std::vector<std::string> extra) {
    std::vector<std::string> arguments = {"zn417-host", "--plugin", ZN_PLUGIN_MODULE, "--quiet",
                                          "--no-config"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    HostOptions options;
    char error[256];
    if (ParseHostOptions(static_cast<int>(arguments.size()), argv.data(), &options, error,
                         sizeof error) != 0) {
        return false;
    }
    if (HostServiceInit(&host->service, options, "/tmp") != kHostExitOk ||
        pipe2(host->control, O_CLOEXEC) != 0) {
        return false;
    }
    host->service.hooks = {OnWatching, OnActionStarted, OnActionEnded, host, nullptr};
    // Every watch counts as a good one: each retry is a first retry.
    host->service.retry.resetAfterMs = 0;
    host->thread = std::thread([host] { HostServiceRun(&host->service, host->control[0], false); });
    return true;
}

void StopHost(BenchHost* host) {
    const char stop = 'T';
    (void)!write(host->control[1], &stop, 1);
    host->thread.join();
    HostServiceRelease(&host->service);
    close(host->control[0]);
    close(host->control[1]);
}

template <typename Done>
bool WaitFor(BenchHost* host, Done done) {
    std::unique_lock<std::mutex> guard(host->lock);
    return host->changed.wait_for(guard, std::chrono::seconds(5), done);
}

void PrepareBus() {
    UsbPlatformSelectBackend(UsbBackendSimulated);
    SimBusReset();
    struct timeval now;
    gettimeofday(&now, nullptr);
    VirtualClockEnable(&now);
}

// Median and slowest sample, as counters.
void ReportSamples(benchmark::State& state, std::vector<double> samples) {
    if (samples.empty()) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["max_us"] = samples.back();
}


// Press: from the interrupt packet queued to the action's shell running its
// first command (goal: under 5 ms); spawned_median_us is the part up to the
// host's posix_spawn returning, before /bin/sh starts.
void BM_PressToActionStarted(benchmark::State& state) {
    LabelTmp(state);
    PrepareBus();
    char directory[] = "/tmp/zn_host_bench_XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        state.SkipWithError("no private directory");
        return;
    }
    const std::string fifo = std::string(directory) + "/started";
    mkfifo(fifo.c_str(), 0600);
    Zn417Model* model = Zn417Attach(kLocation);
    auto* host = new BenchHost;
    if (!StartHost(host, {"--exec", "echo > '" + fifo + "'"})) {
        state.SkipWithError("the host did not start");
        return;
    }
    std::vector<double> samples;
    std::vector<double> spawned;
    for (auto _ : state) {
        SimWaitForBlockedReads(1, 5000);
        VirtualClockAdvance(2 * 1000 * 1000);  // past the plug-in's 1-second window
        int ended;
        {
            std::lock_guard<std::mutex> guard(host->lock);
            ended = host->actionsEnded + 1;
        }
        const auto begun = Clock::now();
        Zn417QueueButtonPress(model, 1);
        const int started = open(fifo.c_str(), O_RDONLY);  // returns once the action opens it
        const double took =
            std::chrono::duration<double, std::micro>(Clock::now() - begun).count();
        char byte;
        (void)!read(started, &byte, 1);
        close(started);
        WaitFor(host, [&] { return host->actionsEnded >= ended; });
        state.SetIterationTime(took / 1e6);
        samples.push_back(took);
        std::lock_guard<std::mutex> guard(host->lock);
        spawned.push_back(
            std::chrono::duration<double, std::micro>(host->lastSpawn - begun).count());
    }
    ReportSamples(state, samples);
    std::sort(spawned.begin(), spawned.end());
    if (!spawned.empty()) {
        state.counters["spawned_median_us"] = spawned[spawned.size() / 2];
    }
    StopHost(host);
    delete host;
    Zn417Detach(model);
    VirtualClockDisable();
    SimBusReset();
    unlink(fifo.c_str());
    rmdir(directory);
}
BENCHMARK(BM_PressToActionStarted)->UseManualTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

// Sends one request byte to the host's control descriptor.
void Control(BenchHost* host, char request) {
    (void)!write(host->control[1], &request, 1);
}

// Shared by the three below: from `begin()` (which ends the watch, and may
// attach a new model) to the plug-in reading its interrupt pipe again after
// two watching transitions.
template <typename Begin>
void TimeWatchingAgain(benchmark::State& state, const char* mode, Begin begin) {
    PrepareBus();
    Zn417Model* model = Zn417Attach(kLocation);
    auto* host = new BenchHost;
    if (!StartHost(host, {"--wait"}) || !WaitFor(host, [&] { return host->transitions >= 1; })) {
        state.SkipWithError("the host did not start");
        return;
    }
    std::vector<double> samples;
    for (auto _ : state) {
        if (!SimWaitForBlockedReads(1, 5000)) {
            state.SkipWithError("not watching");
            break;
        }
        int again;
        {
            std::lock_guard<std::mutex> guard(host->lock);
            again = host->transitions + 2;
        }
        const auto begun = begin(host, &model);
        if (!WaitFor(host, [&] { return host->transitions >= again; }) ||
            !SimWaitForBlockedReads(1, 5000)) {
            state.SkipWithError(mode);
            break;
        }
        const double took =
            std::chrono::duration<double, std::micro>(Clock::now() - begun).count();
        state.SetIterationTime(took / 1e6);
        samples.push_back(took);
    }
    ReportSamples(state, samples);
    StopHost(host);
    delete host;
    Zn417Detach(model);
    VirtualClockDisable();
    SimBusReset();
}

// Replug: from the device's attach to the plug-in reading its interrupt
// pipe again (goal: under 50 ms).
void BM_ReplugToWatchingAgain(benchmark::State& state) {
    TimeWatchingAgain(state, "not watched again after the replug",
                      [](BenchHost* host, Zn417Model** model) {
                          int left;
                          {
                              std::lock_guard<std::mutex> guard(host->lock);
                              left = host->transitions + 1;
                          }
                          Zn417Detach(*model);
                          WaitFor(host, [&] { return host->transitions >= left; });
                          const auto begun = Clock::now();
                          *model = Zn417Attach(kLocation);
                          return begun;
                      });
}
BENCHMARK(BM_ReplugToWatchingAgain)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

// Watch ended: from the failed read of the interrupt pipe (a stall) to the
// plug-in reading it again, after the first retry's delay (0.5 s).
void BM_WatchEndedToWatchingAgain(benchmark::State& state) {
    TimeWatchingAgain(state, "not watched again after the stall",
                      [](BenchHost*, Zn417Model** model) {
                          SimFailStep(SimStepRead, PlatformErrStalled, Zn417InterfaceId(*model),
                                      Zn417InterruptPipe, 1);
                          const auto begun = Clock::now();
                          Zn417QueueStatusPacket(*model);  // wakes the read; the next one fails
                          return begun;
                      });
}
BENCHMARK(BM_WatchEndedToWatchingAgain)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);

// Taken back: from SIGUSR2 (the request the signal becomes) to the plug-in
// reading its interrupt pipe again; the scanner was lent just before.
void BM_TakenBackToWatchingAgain(benchmark::State& state) {
    TimeWatchingAgain(state, "not watched again after SIGUSR2",
                      [](BenchHost* host, Zn417Model**) {
                          int lent;
                          {
                              std::lock_guard<std::mutex> guard(host->lock);
                              lent = host->transitions + 1;
                          }
                          Control(host, '1');
                          WaitFor(host, [&] { return host->transitions >= lent; });
                          const auto begun = Clock::now();
                          Control(host, '2');
                          return begun;
                      });
}
BENCHMARK(BM_TakenBackToWatchingAgain)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    EnterPrivateTmp();
    return RunBenchmarks(argc, argv);
}
