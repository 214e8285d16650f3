// SPDX-License-Identifier: MIT
// The parts of a press on the watch thread, one at a time and without any
// thread hand-over: the event file written into a prepared unnamed file and
// by name, beside a plain 400-byte file made by name, and the attached-device
// check on the simulated bus. All on a private tmpfs on /tmp.
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

constexpr const char* kDirectory = "/tmp";
constexpr time_t kFirstName = 1700000000;

void RemoveEverythingInTmp() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(kDirectory, ignored)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

// One event file per iteration, each under a new name, its unnamed file
// prepared (or not) outside the timed part, as the watch thread does while idle.
void WriteEvents(benchmark::State& state, bool prepared) {
    LabelTmp(state);
    SetUnnamedEventFilesUsable(prepared);
    uint8_t eventData[32] = {};
    eventData[4] = 1;
    std::vector<double> samples;
    time_t name = kFirstName;
    for (auto _ : state) {
        if (prepared) {
            PreparePushScanEventAt(kDirectory);
        }
        const double seconds = TimeIteration(state, [&] {
            if (WritePushScanEventAt(kDirectory, ++name, "ZN417", 0x14100000, eventData, 32) != 0) {
                state.SkipWithError("the event file was not written");
            }
        });
        samples.push_back(seconds * 1e6);
    }
    ReleasePreparedPushScanEvent();
    SetUnnamedEventFilesUsable(true);
    RemoveEverythingInTmp();
    ReportSpread(state, samples, "us");
}

void BM_EventFilePrepared(benchmark::State& state) {
    WriteEvents(state, true);
}
BENCHMARK(BM_EventFilePrepared)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);

void BM_EventFileByName(benchmark::State& state) {
    WriteEvents(state, false);
}
BENCHMARK(BM_EventFileByName)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);

// What a plain writer does: open by name (O_CREAT | O_EXCL), 400 bytes, close.
void BM_PlainFileByName(benchmark::State& state) {
    LabelTmp(state);
    const std::string text(400, 'x');
    std::vector<double> samples;
    uint64_t count = 0;
    char path[256];
    for (auto _ : state) {
        std::snprintf(path, sizeof path, "%s/baseline.%llu.plist", kDirectory,
                      static_cast<unsigned long long>(++count));
        const double seconds = TimeIteration(state, [&] {
            const int descriptor =
                open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            benchmark::DoNotOptimize(write(descriptor, text.data(), text.size()));
            close(descriptor);
        });
        samples.push_back(seconds * 1e6);
    }
    RemoveEverythingInTmp();
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
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
