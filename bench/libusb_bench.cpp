// SPDX-License-Identifier: MIT
// Benchmarks of the plug-in on the libusb backend against a mocked USB kernel
// (umockdev): Stop while the watch thread is blocked in each pipe, and
// press-to-callback latency through libusb beside the same on the simulated
// bus. The mock's kernel is a user-space ioctl handler, so these figures
// show the backend's own costs, not a real host controller's. The process
// gives itself a private tmpfs on /tmp at start (bench/private_tmp.h), where
// the mocked kernel's files and the event files go.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "mock_usb.h"
#include "platform/clock.h"
#include "platform/sim_bus.h"
#include "plugin/plugin_entry.h"
#include "plugin/watch_thread.h"
#include "private_tmp.h"
#include "twain_button_plugin.h"
#include "zn417_model.h"
#include "spread.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kMockLocation = 0x01410000;  // 1-4.1 on the mocked kernel
constexpr int32_t kSimLocation = 0x14100000;
constexpr uint64_t kSecond = 1000000;
constexpr uint32_t kWaitMs = 10000;

MockBus* gMockBus = nullptr;
MockDevice* gMockScanner = nullptr;

struct BenchHost {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t calls = 0;
    Clock::time_point lastCall;

    static int32_t Callback(uint32_t, int32_t*, void* context) {
        auto* host = static_cast<BenchHost*>(context);
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> guard(host->lock);
        host->lastCall = now;
        ++host->calls;
        host->changed.notify_all();
        return 0;
    }
    Clock::time_point WaitForCall(uint64_t count) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                         [&] { return calls >= count; });
        return lastCall;
    }
};

// The virtual clock and a private folder for the event files, around one
// benchmark.
struct BenchSetting {
    std::string directory;
    BenchHost host;
    int32_t location;

    explicit BenchSetting(int32_t where) : location(where) {
        const struct timeval start { 1700000000, 0 };
        VirtualClockEnable(&start);
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zn_libusb_bench_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            directory = pattern;
            gEventDirectoryForTests.store(directory.c_str());
        }
    }
    ~BenchSetting() {
        TWAINButtonPluginStop();
        gEventDirectoryForTests.store(nullptr);
        VirtualClockDisable();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    bool Start() {
        return TWAINButtonPluginStart(&location, &host, nullptr, BenchHost::Callback) == 0;
    }
};

enum StopCase : int64_t {
    kInterruptRead = 0,  // blocked in the interrupt read (a device with nothing to say)
    kBulkRead = 1,       // in the bulk-in read of the mode-shift answer (one that never answers)
    kBulkWrite = 2,      // in the bulk-out write of the command (one that never accepts it)
    kSilentDevice = 3,   // in the interrupt read, the device deaf to control requests
};

// Stop while the watch thread is blocked, in each of the cases above.
void BM_LibusbStopWhileBlocked(benchmark::State& state) {
    const auto blocked = static_cast<StopCase>(state.range(0));
    UsbPlatformSelectBackend(UsbBackendLibusb);
    BenchSetting setting(kMockLocation);
    MockFaults faults;
    faults.writesNeverComplete = blocked == kBulkWrite;
    faults.controlNeverCompletes = blocked == kSilentDevice;
    MockSetFaults(gMockScanner, faults);
    Zn417SetAnswerMode(MockZn417(gMockScanner),
                       blocked == kBulkRead ? Zn417AnswerNever : Zn417AnswerAccept);
    std::vector<double> latencies;
    for (auto _ : state) {
        if (!setting.Start() || !MockWaitPending(gMockScanner, 0x83, 1, kWaitMs)) {
            state.SkipWithError("the plug-in did not start");
            break;
        }
        if (blocked == kBulkRead || blocked == kBulkWrite) {
            MockQueueStatusPacket(gMockScanner);
            const uint8_t endpoint = blocked == kBulkRead ? 0x82 : 0x01;
            if (!MockWaitPending(gMockScanner, endpoint, 1, kWaitMs)) {
                state.SkipWithError("the thread did not block in the exchange");
                break;
            }
        }
        latencies.push_back(TimeIteration(state, TWAINButtonPluginStop) * 1e3);
    }
    MockSetFaults(gMockScanner, MockFaults());
    Zn417SetAnswerMode(MockZn417(gMockScanner), Zn417AnswerAccept);
    ReportSpread(state, latencies, "ms");
}
BENCHMARK(BM_LibusbStopWhileBlocked)
    ->ArgName("case")
    ->Arg(kInterruptRead)
    ->Arg(kBulkRead)
    ->Arg(kBulkWrite)
    ->UseManualTime()
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibusbStopWhileBlocked)
    ->ArgName("case")
    ->Arg(kSilentDevice)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// Presses after the window has long passed, one per iteration: from the
// packet leaving the device to the host's callback. `press` sends it;
// `waitBlocked` waits until the thread reads again after its (virtual) pause.
template <typename Press, typename WaitBlocked>
void MeasurePresses(benchmark::State& state, BenchSetting& setting, Press press,
                    WaitBlocked waitBlocked) {
    LabelTmp(state);
    std::vector<double> latencies;
    uint64_t presses = 0;
    for (auto _ : state) {
        VirtualClockAdvance(2 * kSecond);
        const Clock::time_point sent = Clock::now();
        press();
        const Clock::time_point called = setting.host.WaitForCall(++presses);
        const double seconds = std::chrono::duration<double>(called - sent).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds * 1e6);
        waitBlocked();
    }
    ReportSpread(state, latencies, "us");
}

// Through libusb and the mocked kernel.
void BM_PressToCallbackLibusb(benchmark::State& state) {
    UsbPlatformSelectBackend(UsbBackendLibusb);
    BenchSetting setting(kMockLocation);
    auto waitBlocked = [] { return MockWaitPending(gMockScanner, 0x83, 1, kWaitMs); };
    if (!setting.Start() || !waitBlocked()) {
        state.SkipWithError("the plug-in did not start");
        return;
    }
    MeasurePresses(state, setting, [] { MockQueuePress(gMockScanner, 1); }, waitBlocked);
}
BENCHMARK(BM_PressToCallbackLibusb)
    ->UseManualTime()
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);

// The same on the simulated bus, in the same run.
void BM_PressToCallbackSimulated(benchmark::State& state) {
    UsbPlatformSelectBackend(UsbBackendSimulated);
    SimBusReset();
    Zn417Model* device = Zn417Attach(kSimLocation);
    {
        BenchSetting setting(kSimLocation);
        auto waitBlocked = [] { return SimWaitForBlockedReads(1, kWaitMs); };
        if (!setting.Start() || !waitBlocked()) {
            state.SkipWithError("the plug-in did not start");
        } else {
            MeasurePresses(state, setting, [&] { Zn417QueueButtonPress(device, 1); },
                           waitBlocked);
        }
    }
    Zn417Detach(device);
    SimBusReset();
}
BENCHMARK(BM_PressToCallbackSimulated)
    ->UseManualTime()
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (!MockEnsurePreloaded(argv)) {
        std::fprintf(stderr, "cannot load libumockdev-preload.so.0 (package umockdev)\n");
        return 1;
    }
    EnterPrivateTmp();  // before the mocked kernel's first thread and its files
    // The mocked kernel's devices exist before libusb first looks.
    gMockBus = MockBusCreate();
    gMockScanner = gMockBus != nullptr ? MockAddDevice(gMockBus, 1, {4, 1}, Zn417Layout())
                                       : nullptr;
    if (gMockScanner == nullptr || UsbPlatformSelectBackend(UsbBackendLibusb) != PlatformOk) {
        std::fprintf(stderr, "the mocked USB kernel did not come up\n");
        return 1;
    }
    const int status = RunBenchmarks(argc, argv);
    MockBusRelease(gMockBus);
    return status;
}
