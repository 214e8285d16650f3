// SPDX-License-Identifier: MIT
// Test support for the plug-in: a simulated ZN417, the watch thread on the
// virtual clock writing into a private directory, a host callback that records
// its calls, and waits on what the thread has done (packets read, cleanup run)
// built on conditions, not on sleeps. The fixture proves at the end of every
// test that nothing was left running, open, allocated or misused.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "event/event_plist.h"
#include "platform/clock.h"
#include "platform/sim_bus.h"
#include "plugin/plugin_entry.h"
#include "plugin/plugin_state.h"
#include "plugin/watch_thread.h"
#include "support/alloc_failure.h"
#include "twain_button_plugin.h"
#include "usb/scanner_bus.h"

constexpr time_t kStartSeconds = 1700000000;  // 2023-11-14 22:13:20 UTC
constexpr uint64_t kSecond = 1000000;         // in microseconds
constexpr uint8_t kInterruptPipeRef = 3;      // the interrupt pipe of FakeInterface
constexpr uint32_t kWaitMs = 10000;           // bound of every wait; never reached when all is well

// One call of the host's callback.
struct HostCall {
    uint32_t eventCode;
    int32_t* hostLocation;
    void* hostContext;
};

// What the host's callback does from inside, once the test lets it go.
enum class InsideCallback { Nothing, Stop, Start, StopThenStart };

// The host's side: records every callback; can hold the callback until the
// test lets it go, then call the entry points from inside it and hold again
// after that.
struct HostRecorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<HostCall> calls;
    bool holdCallback = false;
    bool holdAfterInside = false;
    bool insideCallback = false;
    bool stateAliveWhenReleased = false;
    InsideCallback inside = InsideCallback::Nothing;
    std::vector<int32_t> insideResults;  // of the entry points called from inside, in order

    static int32_t Callback(uint32_t eventCode, int32_t* hostLocation, void* hostContext) {
        auto* self = static_cast<HostRecorder*>(hostContext);
        std::unique_lock<std::mutex> guard(self->lock);
        self->calls.push_back({eventCode, hostLocation, hostContext});
        self->insideCallback = true;
        self->changed.notify_all();
        self->changed.wait(guard, [self] { return !self->holdCallback; });
        self->stateAliveWhenReleased = gPluginState.load() != nullptr;
        const InsideCallback inside = self->inside;
        guard.unlock();
        std::vector<int32_t> results;
        if (inside == InsideCallback::Stop || inside == InsideCallback::StopThenStart) {
            results.push_back(TWAINButtonPluginStop());
        }
        if (inside == InsideCallback::Start || inside == InsideCallback::StopThenStart) {
            results.push_back(TWAINButtonPluginStart(hostLocation, hostContext, nullptr, Callback));
        }
        guard.lock();
        self->insideResults.insert(self->insideResults.end(), results.begin(), results.end());
        self->changed.notify_all();
        self->changed.wait(guard, [self] { return !self->holdAfterInside; });
        self->insideCallback = false;
        return 0;
    }

    void SetInside(InsideCallback action) {
        std::lock_guard<std::mutex> guard(lock);
        inside = action;
    }
    std::vector<int32_t> InsideResults() {
        std::lock_guard<std::mutex> guard(lock);
        return insideResults;
    }
    void HoldAfterInside(bool hold) {
        std::lock_guard<std::mutex> guard(lock);
        holdAfterInside = hold;
        changed.notify_all();
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(lock);
        return calls.size();
    }
    template <typename Predicate>
    bool WaitUntil(Predicate done) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs), done);
    }
    bool WaitForCalls(size_t count) {
        return WaitUntil([&] { return calls.size() >= count; });
    }
    bool WaitForInsideResults(size_t count) {
        return WaitUntil([&] { return insideResults.size() >= count; });
    }
    bool WaitInside() {
        return WaitUntil([&] { return insideCallback; });
    }
    void Hold(bool hold) {
        std::lock_guard<std::mutex> guard(lock);
        holdCallback = hold;
        changed.notify_all();
    }
};

// What the watch thread has done, learnt from the bus's trace and the
// plug-in's cleanup: interrupt reads completed, interface objects released,
// cleanups run.
struct ThreadProgress {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t interruptReads = 0;
    uint64_t releases = 0;
    uint64_t cleanups = 0;

    static ThreadProgress& Get() {
        static ThreadProgress progress;
        return progress;
    }
    static void OnTrace(void*, const char* line) {
        ThreadProgress& self = Get();
        char readName[16];
        std::snprintf(readName, sizeof readName, " ReadPipe(%u):", kInterruptPipeRef);
        std::lock_guard<std::mutex> guard(self.lock);
        if (std::strstr(line, readName) != nullptr) {
            ++self.interruptReads;
        }
        if (std::strstr(line, " Release:") != nullptr) {
            ++self.releases;
        }
        self.changed.notify_all();
    }
    static void OnCleanupDone() {
        ThreadProgress& self = Get();
        std::lock_guard<std::mutex> guard(self.lock);
        ++self.cleanups;
        self.changed.notify_all();
    }
    void Reset() {
        std::lock_guard<std::mutex> guard(lock);
        interruptReads = releases = cleanups = 0;
    }
    template <typename Predicate>
    bool WaitUntil(Predicate predicate) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs), predicate);
    }
    uint64_t Locked(const uint64_t& count) {
        std::lock_guard<std::mutex> guard(lock);
        return count;
    }
    uint64_t Reads() { return Locked(interruptReads); }
    uint64_t Releases() { return Locked(releases); }
    uint64_t Cleanups() { return Locked(cleanups); }
};

// Interrupt packet: status word at bytes 2-3, button code at byte 4, and
// recognisable bytes everywhere else.
inline std::vector<uint8_t> Packet(uint16_t statusWord, uint8_t buttonCode, uint32_t length = 32,
                                   uint8_t mark = 0xA0) {
    std::vector<uint8_t> packet(length);
    for (uint32_t i = 0; i < length; ++i) {
        packet[i] = static_cast<uint8_t>(mark + i);
    }
    if (length > 4) {
        packet[2] = static_cast<uint8_t>(statusWord & 0xFF);
        packet[3] = static_cast<uint8_t>(statusWord >> 8);
        packet[4] = buttonCode;
    }
    return packet;
}

inline std::vector<uint8_t> Press(uint8_t buttonCode = 1, uint8_t mark = 0xA0) {
    return Packet(0, buttonCode, 32, mark);
}

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
        SimBusReset();
        const struct timeval start { kStartSeconds, 0 };
        VirtualClockEnable(&start);
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zn_plugin_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        gEventDirectoryForTests.store(directory_.c_str());
        ThreadProgress::Get().Reset();
        gStateCleanupDoneForTests.store(ThreadProgress::OnCleanupDone);
        UsbPlatformSetTraceHook(ThreadProgress::OnTrace, nullptr);
        scanner_ = AttachInterface(FakeInterface(), &scannerDevice_);
        liveBefore_ = LiveAllocations();
    }

    void TearDown() override {
        recorder_.Hold(false);
        recorder_.HoldAfterInside(false);
        VirtualClockHoldSleeps(false);
        EXPECT_EQ(TWAINButtonPluginStop(), 0);
        ExpectNothingStarted();
        EXPECT_EQ(LiveAllocations(), liveBefore_);
        UsbPlatformSetTraceHook(nullptr, nullptr);
        gStateCleanupDoneForTests.store(nullptr);
        gCreateWatchThreadForTests.store(nullptr);
        gEventDirectoryForTests.store(nullptr);
        VirtualClockDisable();
        SimBusReset();
        std::filesystem::remove_all(directory_);
    }

    // No state, no lock, no unjoined thread, and every bus object given back.
    static void ExpectNothingStarted() {
        EXPECT_EQ(gPluginState.load(), nullptr);
        EXPECT_FALSE(gStateLockExists);
        EXPECT_FALSE(gWatchThreadUnjoined);
        ExpectBusClean();
    }

    int32_t Start() {
        return TWAINButtonPluginStart(&location_, &recorder_, nullptr, HostRecorder::Callback);
    }

    // Starts the plug-in and waits until its thread blocks on the interrupt
    // pipe; the 1-second window then counts from the virtual time of now.
    void StartWatching() {
        ASSERT_EQ(Start(), 0);
        ASSERT_NE(gPluginState.load(), nullptr);
        ASSERT_TRUE(SimWaitForBlockedReads(1, kWaitMs));
    }

    void Queue(const std::vector<uint8_t>& packet) {
        ASSERT_EQ(SimQueueInPacket(scanner_, kInterruptPipeRef, packet.data(),
                                   static_cast<uint32_t>(packet.size())),
                  PlatformOk);
    }

    // Queues a packet and waits until the thread has read it, dealt with it
    // (including any pause that does not wait) and blocks on its next read.
    void Deliver(const std::vector<uint8_t>& packet) {
        ThreadProgress& progress = ThreadProgress::Get();
        const uint64_t readsBefore = progress.Reads();
        Queue(packet);
        ASSERT_TRUE(progress.WaitUntil([&] { return progress.interruptReads > readsBefore; }));
        ASSERT_TRUE(SimWaitForBlockedReads(1, kWaitMs));
    }

    // Waits until the watch thread's cleanup has run (the thread ended).
    bool WaitForCleanups(uint64_t count) {
        ThreadProgress& progress = ThreadProgress::Get();
        return progress.WaitUntil([&] { return progress.cleanups >= count; });
    }

    static std::string NameAt(time_t seconds) {
        struct tm utc;
        gmtime_r(&seconds, &utc);
        char name[64];
        std::strftime(name, sizeof name, "TRNV.%Y%m%d%H%M%S.plist", &utc);
        return name;
    }
    std::string PathOf(const std::string& name) const { return directory_ + "/" + name; }
    std::vector<std::string> EventFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    // The EventData entry of an event file, empty when it cannot be read.
    std::vector<uint8_t> EventDataOf(const std::string& name) const {
        PlistPtr root = Decode(ReadFile(PathOf(name)));
        return root != nullptr ? DataAt(root.get(), "EventData") : std::vector<uint8_t>{};
    }

    int32_t location_ = kHostLocation;
    HostRecorder recorder_;
    uint32_t scanner_ = 0;
    uint32_t scannerDevice_ = 0;
    std::string directory_;
    int64_t liveBefore_ = 0;
};
