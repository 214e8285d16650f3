// SPDX-License-Identifier: MIT
// End-to-end tests of the shipped module: what it exports, one button press
// through dlopen on the real clock, its event file in /tmp read back by
// Python's property-list reader, and the module unloaded in every state a
// host can leave it in (Stop or Start from inside the callback, a watch still
// running at dlclose or at exit), on the virtual clock.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

#include "platform/clock.h"
#include "platform/sim_bus.h"
#include "run_program.h"
#include "support/thread_count.h"
#include "twain_button_plugin.h"
#include "usb/scanner_bus.h"

namespace {

// A location with its top bit set, so that PortName must read as negative.
constexpr int32_t kSignedLocation = static_cast<int32_t>(0x80417000u);

struct LoadedPlugin {
    void* handle = nullptr;
    TWAINButtonPluginStartFunction start = nullptr;
    TWAINButtonPluginStopFunction stop = nullptr;
};

LoadedPlugin LoadPlugin() {
    LoadedPlugin plugin;
    plugin.handle = dlopen(ZN_PLUGIN_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (plugin.handle != nullptr) {
        plugin.start = reinterpret_cast<TWAINButtonPluginStartFunction>(
            dlsym(plugin.handle, TWAIN_BUTTON_PLUGIN_START_SYMBOL));
        plugin.stop = reinterpret_cast<TWAINButtonPluginStopFunction>(
            dlsym(plugin.handle, TWAIN_BUTTON_PLUGIN_STOP_SYMBOL));
    }
    return plugin;
}

// The host's side of the press: when the callback came and with what.
struct Host {
    std::mutex lock;
    std::condition_variable changed;
    int calls = 0;
    uint32_t eventCode = 0;
    int32_t* location = nullptr;
    void* context = nullptr;
    struct timeval when {};

    static int32_t Callback(uint32_t eventCode, int32_t* location, void* context) {
        auto* host = static_cast<Host*>(context);
        std::lock_guard<std::mutex> guard(host->lock);
        gettimeofday(&host->when, nullptr);
        host->eventCode = eventCode;
        host->location = location;
        host->context = context;
        ++host->calls;
        host->changed.notify_all();
        return 0;
    }
    bool WaitForCall(int milliseconds) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                [&] { return calls > 0; });
    }
};

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string EventFileAt(time_t seconds) {
    struct tm local;
    localtime_r(&seconds, &local);
    char path[64];
    std::strftime(path, sizeof path, "/tmp/TRNV.%Y%m%d%H%M%S.plist", &local);
    return path;
}

void SleepMs(int milliseconds) {
    const struct timespec pause { milliseconds / 1000, (milliseconds % 1000) * 1000000L };
    nanosleep(&pause, nullptr);
}

TEST(PluginModule, ExportsExactlyTheTwoEntryPoints) {
    const ProgramRun nm = RunProgram({"/usr/bin/nm", "-D", "--defined-only", ZN_PLUGIN_MODULE});
    ASSERT_EQ(nm.exitStatus, 0) << nm.err;
    std::set<std::string> names;
    std::istringstream lines(nm.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, kind, name;
        fields >> address >> kind >> name;
        names.insert(name.empty() ? kind : name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"TWAINButtonPluginStart", "TWAINButtonPluginStop"}));
}

TEST(PluginModule, AFailedStartReadsAsMinusOneInThirtyTwoBits) {
    LoadedPlugin plugin = LoadPlugin();
    ASSERT_NE(plugin.start, nullptr) << dlerror();
    int32_t location = kHostLocation;
    const int32_t result = plugin.start(&location, nullptr, nullptr, nullptr);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(plugin.stop(), 0);
    dlclose(plugin.handle);
}

TEST(PluginModule, APressReachesTheHostAfterItsEventFileIsInTmp) {
    ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
    SimBusReset();
    const uint32_t scanner = AttachInterface(FakeInterface().At(kSignedLocation));
    LoadedPlugin plugin = LoadPlugin();
    ASSERT_NE(plugin.start, nullptr) << dlerror();
    const mode_t previousMask = umask(077);

    // Bytes of the packet that no other run would send, to know our file.
    std::vector<uint8_t> packet(32);
    std::mt19937 random(static_cast<uint32_t>(getpid()) ^ static_cast<uint32_t>(time(nullptr)));
    for (uint8_t& byte : packet) {
        byte = static_cast<uint8_t>(random());
    }
    packet[2] = 0x00;
    packet[3] = 0x00;
    packet[4] = 0x01;  // the scan button

    Host host;
    int32_t location = kSignedLocation;
    ASSERT_EQ(plugin.start(&location, &host, nullptr, Host::Callback), 0);
    ASSERT_TRUE(SimWaitForBlockedReads(1, 5000));
    // Another run's event file of the same second makes the plug-in drop the
    // press and wait anew; then the press is repeated.
    bool called = false;
    for (int attempt = 0; attempt < 3 && !called; ++attempt) {
        SleepMs(1100);  // the real 1-second window of the wait
        ASSERT_EQ(SimQueueInPacket(scanner, 3, packet.data(), 32), PlatformOk);
        called = host.WaitForCall(3000);
    }
    ASSERT_TRUE(called);
    EXPECT_EQ(host.eventCode, TWAIN_BUTTON_EVENT_SCAN);
    EXPECT_EQ(host.location, &location);
    EXPECT_EQ(host.context, &host);

    // The file was written before the callback, within the second of the
    // callback or just before it.
    std::string found;
    for (time_t second = host.when.tv_sec; second >= host.when.tv_sec - 2 && found.empty();
         --second) {
        const std::string path = EventFileAt(second);
        struct stat status;
        if (lstat(path.c_str(), &status) != 0) {
            continue;
        }
        const ProgramRun check = RunProgram(
            {ZN_PYTHON, ZN_EVENT_CHECKER, path, std::to_string(kSignedLocation), Hex(packet)});
        if (check.exitStatus == 0) {
            found = path;
            EXPECT_TRUE(S_ISREG(status.st_mode));
            EXPECT_EQ(status.st_mode & 07777, 0666u);
        } else {
            std::printf("%s is not this run's: %s%s\n", path.c_str(), check.out.c_str(),
                        check.err.c_str());
        }
    }
    EXPECT_FALSE(found.empty()) << "no event file of this press in /tmp";
    if (!found.empty()) {
        unlink(found.c_str());
    }

    EXPECT_EQ(plugin.stop(), 0);  // during the real 5-second pause
    umask(previousMask);
    const SimCounters counters = SimGetCounters();
    EXPECT_EQ(counters.openObjects, 0u);
    EXPECT_EQ(counters.unreleasedObjects, 0u);
    EXPECT_EQ(counters.misuses, 0u);
    dlclose(plugin.handle);
    SimBusReset();
}

// ---- Unloading the module ----

constexpr uint8_t kInterruptPipe = 3;  // of FakeInterface
constexpr uint32_t kWaitMs = 10000;    // bound of every wait; never reached when all is well
constexpr int kCycles = 100;
constexpr time_t kVirtualStart = 1700000000;

// What the callback does with the module's entry points, from inside.
enum class Inside { Stop, Start };

// A host whose callback calls an entry point of the module that called it.
struct CallingHost {
    LoadedPlugin plugin;
    Inside inside = Inside::Stop;
    int32_t location = kHostLocation;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<int32_t> results;

    static int32_t Callback(uint32_t, int32_t* location, void* context) {
        auto* host = static_cast<CallingHost*>(context);
        const int32_t result = host->inside == Inside::Stop
                                   ? host->plugin.stop()
                                   : host->plugin.start(location, context, nullptr, Callback);
        std::lock_guard<std::mutex> guard(host->lock);
        host->results.push_back(result);
        host->changed.notify_all();
        return 0;
    }
    bool WaitForResults(size_t count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                                [&] { return results.size() >= count; });
    }
};

// Virtual memory of the process in KiB: an unjoined thread keeps its whole
// stack mapped, so a thread left behind per cycle shows here.
int64_t VirtualMemoryKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) {
            return std::strtoll(line.c_str() + 7, nullptr, 10);
        }
    }
    return -1;
}

bool ModuleIsMapped() {
    void* handle = dlopen(ZN_PLUGIN_MODULE, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

void ExpectBusLeftClean() {
    const SimCounters counters = SimGetCounters();
    EXPECT_EQ(counters.openObjects, 0u);
    EXPECT_EQ(counters.unreleasedObjects, 0u);
    EXPECT_EQ(counters.misuses, 0u);
}

class ModuleUnload : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
        SimBusReset();
        const struct timeval start { kVirtualStart, 0 };
        VirtualClockEnable(&start);
        scanner_ = AttachInterface(FakeInterface());
    }
    void TearDown() override {
        VirtualClockDisable();
        SimBusReset();
    }

    // Starts the watch of a freshly loaded module and makes one press reach
    // the callback; the press's event file is removed.
    void PressOnFreshModule(CallingHost* host) {
        host->plugin = LoadPlugin();
        ASSERT_NE(host->plugin.start, nullptr) << dlerror();
        const size_t resultsBefore = host->results.size();
        ASSERT_EQ(host->plugin.start(&host->location, host, nullptr, CallingHost::Callback), 0);
        ASSERT_TRUE(SimWaitForBlockedReads(1, kWaitMs));
        VirtualClockAdvance(2 * 1000000);
        struct timeval pressed;  // the pause after the callback moves the clock on
        PlatformTimeOfDay(&pressed);
        const std::vector<uint8_t> press = {0, 0, 0, 0, 1};
        ASSERT_EQ(SimQueueInPacket(scanner_, kInterruptPipe, press.data(), 5), PlatformOk);
        ASSERT_TRUE(host->WaitForResults(resultsBefore + 1));
        EXPECT_EQ(unlink(EventFileAt(pressed.tv_sec).c_str()), 0);
    }

    uint32_t scanner_ = 0;
};

// The callback calls Stop (taken: the watch ends with the callback) or Start
// (refused: the running watch goes on until stopped); either way the module
// then unloads leaving no thread, stack, mapping or open device.
TEST_F(ModuleUnload, StopOrStartFromTheCallbackThenDlcloseLeavesNoThreadStackOrDevice) {
    const struct {
        Inside inside;
        const char* name;
        int32_t result;      // of the call from inside the callback
        uint32_t stillOpen;  // interfaces open once the callback returned
    } cases[] = {{Inside::Stop, "Stop", 0, 0}, {Inside::Start, "Start", -1, 1}};
    const size_t threadsBefore = BaselineThreadCount();
    for (const auto& c : cases) {
        [[maybe_unused]] int64_t memoryAfterFirst = 0;
        CallingHost host;
        host.inside = c.inside;
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            SCOPED_TRACE(std::string(c.name) + " from the callback, cycle " + std::to_string(cycle));
            PressOnFreshModule(&host);
            EXPECT_EQ(host.results.back(), c.result);
            EXPECT_EQ(SimGetCounters().openObjects, c.stillOpen);
            if (c.inside == Inside::Start) {
                EXPECT_EQ(host.plugin.stop(), 0);
            }
            dlclose(host.plugin.handle);  // also reclaims the thread that a Stop ended
            ASSERT_FALSE(ModuleIsMapped());
            ExpectBusLeftClean();
            ASSERT_TRUE(WaitForThreadCount(threadsBefore, kWaitMs));
            if (cycle == 0) {
                memoryAfterFirst = VirtualMemoryKiB();
            }
            if (HasFailure()) {
                return;
            }
        }
        // One unjoined 8 MiB stack per cycle would be 800 MiB. ThreadSanitizer
        // keeps memory of its own for every load of the module, and reports an
        // unjoined thread itself.
#ifndef __SANITIZE_THREAD__
        EXPECT_LT(VirtualMemoryKiB() - memoryAfterFirst, 128 * 1024);
#endif
    }
}

// In a child process: loads the module and starts a watch that blocks in its
// read; exits with 2 when that fails.
LoadedPlugin StartWatchOrExit(int32_t* location, Host* host) {
    LoadedPlugin plugin = LoadPlugin();
    if (plugin.start == nullptr || plugin.start(location, host, nullptr, Host::Callback) != 0 ||
        !SimWaitForBlockedReads(1, kWaitMs)) {
        std::fprintf(stderr, "the watch did not start\n");
        std::exit(2);
    }
    return plugin;
}

// In a child process: a host that unloads the module with its watch running.
// A thread left in the unloaded code would crash once the packet queued
// after the dlclose woke it.
[[noreturn]] void DlcloseWithAWatchRunning(uint32_t scanner) {
    const size_t threadsBefore = BaselineThreadCount();
    int32_t location = kHostLocation;
    Host host;
    LoadedPlugin plugin = StartWatchOrExit(&location, &host);
    dlclose(plugin.handle);
    const SimCounters counters = SimGetCounters();
    const bool threadGone = WaitForThreadCount(threadsBefore, kWaitMs);
    const std::vector<uint8_t> press = {0, 0, 0, 0, 1};
    SimQueueInPacket(scanner, kInterruptPipe, press.data(), 5);
    std::fprintf(stderr, "mapped %d, open %u, unreleased %u, misuses %u, thread gone %d\n",
                 ModuleIsMapped(), counters.openObjects, counters.unreleasedObjects,
                 counters.misuses, threadGone);
    const bool clean = !ModuleIsMapped() && counters.openObjects == 0 &&
                       counters.unreleasedObjects == 0 && counters.misuses == 0 && threadGone;
    std::exit(clean ? 0 : 1);
}

TEST_F(ModuleUnload, DlcloseWithAWatchRunningStopsAndJoinsItFirst) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(DlcloseWithAWatchRunning(scanner_), ::testing::ExitedWithCode(0), "");
}

void TraceToStderr(void*, const char* line) {
    std::fprintf(stderr, "%s\n", line);
}

// In a child process: a host that exits with its watch running, blocked in a
// read. The exit must close and release the interface before the process and
// its platform layer go away.
[[noreturn]] void ExitWithAWatchRunning() {
    int32_t location = kHostLocation;
    Host host;
    StartWatchOrExit(&location, &host);  // left loaded: the exit unloads it
    UsbPlatformSetTraceHook(TraceToStderr, nullptr);
    std::fprintf(stderr, "exit\n");
    std::exit(0);
}

TEST_F(ModuleUnload, ExitWithAWatchRunningReleasesTheDeviceFirst) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitWithAWatchRunning(), ::testing::ExitedWithCode(0),
                "exit\n(.*\n)*sim #[0-9]+/if[0-9]+ Release: ok");
}

}  // namespace
