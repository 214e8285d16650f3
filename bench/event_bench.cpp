// SPDX-License-Identifier: MIT
// The parts of a press on the watch thread, one at a time and without any
// thread hand-over: the event file written each way the writer has, beside a
// plain 400-byte file made by name, and the attached-device
// check on the simulated bus. On a private tmpfs on /tmp (bench/private_tmp.h),
// else in a folder of the shared /tmp, labelled so.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "event/push_scan_event.h"
#include "event/push_scan_event_seam.h"
#include "platform/clock.h"
#include "platform/sim_bus.h"
#include "plugin/plugin_state.h"
#include "private_tmp.h"
#include "spread.h"
#include "usb/device_check.h"
#include "usb/usb_ids.h"
#include "zn417_model.h"

namespace {

constexpr time_t kFirstName = 1700000000;

// /tmp itself when it is private; else a folder of the shared one.
std::string gDirectory;
const char* Directory() {
    return gDirectory.c_str();
}

// Empties the directory the files went to, between benchmarks.
void RemoveWrittenFiles() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(gDirectory, ignored)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

// How a press finds its file: an unnamed file holding the event's text but
// for its bytes (as the watch thread prepares it while idle), an empty
// unnamed file, or none, where the file is created by name.
enum Preparation : int64_t { kWithText = 0, kFileOnly = 1, kByName = 2 };

// One event file per iteration, each under a new name, anything prepared
// outside the timed part; the event bytes change with each press.
void BM_EventFile(benchmark::State& state) {
    const auto preparation = static_cast<Preparation>(state.range(0));
    LabelTmp(state);
    SetUnnamedEventFilesUsable(preparation != kByName);
    uint8_t eventData[32] = {};
    std::vector<double> samples;
    time_t name = kFirstName;
    for (auto _ : state) {
        if (preparation == kWithText) {
            PreparePushScanEventFor(Directory(), "ZN417", 0x14100000, 32);
        } else if (preparation == kFileOnly) {
            PreparePushScanEventAt(Directory());
        }
        eventData[4] = static_cast<uint8_t>(name);
        const double seconds = TimeIteration(state, [&] {
            if (WritePushScanEventAt(Directory(), ++name, "ZN417", 0x14100000, eventData, 32) !=
                0) {
                state.SkipWithError("the event file was not written");
            }
        });
        samples.push_back(seconds * 1e6);
    }
    ReleasePreparedPushScanEvent();
    SetUnnamedEventFilesUsable(true);
    RemoveWrittenFiles();
    ReportSpread(state, samples, "us");
}
BENCHMARK(BM_EventFile)
    ->ArgName("way")  // 0: prepared text, 1: prepared file, 2: by name
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->Iterations(5000)
    ->Unit(benchmark::kMicrosecond);

// What a plain writer does: open by name (O_CREAT | O_EXCL), 400 bytes, close.
void BM_PlainFileByName(benchmark::State& state) {
    LabelTmp(state);
    const std::string text(400, 'x');
    std::vector<double> samples;
    uint64_t count = 0;
    char path[256];
    for (auto _ : state) {
        std::snprintf(path, sizeof path, "%s/baseline.%llu.plist", Directory(),
                      static_cast<unsigned long long>(++count));
        const double seconds = TimeIteration(state, [&] {
            const int descriptor =
                open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            benchmark::DoNotOptimize(write(descriptor, text.data(), text.size()));
            close(descriptor);
        });
        samples.push_back(seconds * 1e6);
    }
    RemoveWrittenFiles();
    ReportSpread(state, samples, "us");
}
BENCHMARK(BM_PlainFileByName)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);

// The attached-device check a press runs, with one ZN417 on the simulated bus.
void BM_AttachedDeviceCheck(benchmark::State& state) {
    UsbPlatformSelectBackend(UsbBackendSimulated);
    SimBusReset();
    Zn417Model* device = Zn417Attach(0x14100000);
    int32_t location = 0x14100000;
    PluginState plugin = {};
    plugin.hostLocation = &location;
    plugin.productId = ModelProductId;
    std::vector<double> samples;
    for (auto _ : state) {
        const double seconds = TimeIteration(state, [&] {
            if (CheckAttachedDevices(&plugin) != 0) {
                state.SkipWithError("the check failed");
            }
        });
        samples.push_back(seconds * 1e6);
    }
    Zn417Detach(device);
    SimBusReset();
    ReportSpread(state, samples, "us");
}
BENCHMARK(BM_AttachedDeviceCheck)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    EnterPrivateTmp();
    gDirectory = "/tmp";
    if (!PrivateTmp().isPrivate) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zn_event_bench_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        gDirectory = pattern;
    }
    const int status = RunBenchmarks(argc, argv);
    if (!PrivateTmp().isPrivate) {
        std::error_code ignored;
        std::filesystem::remove_all(gDirectory, ignored);
    }
    return status;
}
