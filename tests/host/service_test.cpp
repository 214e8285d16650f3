// SPDX-License-Identifier: MIT
// The host's service run in-process with the real plug-in on the simulated
// bus and a virtual clock (the plug-in's 1-second window and 5-second pause
// pass at once): unplug and replug, actions with their environment, timeout
// and process group, the scanner released during an action, event files,
// presses queued behind a slow action and at the host's stop, and a
// configuration re-read.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service_harness.h"

namespace {


size_t CountEntries(const char* directory) {
    size_t count = 0;
    DIR* dir = opendir(directory);
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return count;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

using ServiceRun = ServiceHarness;

TEST_F(ServiceRun, AHundredUnplugsAndReplugsAreEachWatchedAgainWithoutGrowth) {
    Zn417Model* model = Attach();
    StartService({"--wait"});
    ASSERT_TRUE(WaitWatching(1));
    ASSERT_TRUE(SimWaitForBlockedReads(1, 1000));
    const size_t threads = CountEntries("/proc/self/task");
    const size_t descriptors = CountEntries("/proc/self/fd");
    for (int cycle = 0; cycle < 100; ++cycle) {
        Detach(model);
        ASSERT_TRUE(WaitWatching(2 + 2 * cycle, 1000)) << "cycle " << cycle;
        EXPECT_EQ(SimGetCounters().openObjects, 0u);
        model = Attach();
        ASSERT_TRUE(WaitWatching(3 + 2 * cycle, 1000)) << "cycle " << cycle;
        ASSERT_TRUE(SimWaitForBlockedReads(1, 1000)) << "cycle " << cycle;
    }
    EXPECT_EQ(CountEntries("/proc/self/task"), threads);
    EXPECT_EQ(CountEntries("/proc/self/fd"), descriptors);
    EXPECT_EQ(StopService(), kHostExitOk);
    const SimCounters counters = SimGetCounters();
    EXPECT_EQ(counters.unreleasedObjects, 0u);
    EXPECT_EQ(counters.openObjects, 0u);
    EXPECT_EQ(counters.liveIterators + counters.liveServices + counters.livePropertySets, 0u);
    EXPECT_EQ(counters.misuses, 0u);
}

TEST_F(ServiceRun, WithoutWaitTheHostEndsWhenTheScannerLeaves) {
    Zn417Model* model = Attach();
    StartService({});
    ASSERT_TRUE(WaitWatching(1));
    Detach(model);
    thread_.join();
    EXPECT_EQ(status_, kHostExitNoDevice);
    HostServiceRelease(service_.get());
    service_.reset();
    close(control_[0]);
    close(control_[1]);
}

TEST_F(ServiceRun, WithWaitTheHostStartsWhenTheScannerArrivesLater) {
    StartService({"--wait", "--device", "20-1"});
    Zn417Model* model = Attach();
    ASSERT_TRUE(WaitWatching(1, 1000));
    ASSERT_TRUE(SimWaitForBlockedReads(1, 1000));
    (void)model;
    EXPECT_EQ(StopService(), kHostExitOk);
    EXPECT_EQ(SimGetCounters().openObjects, 0u);
}

TEST_F(ServiceRun, TheActionGetsItsEnvironmentAndFirstArgumentExactly) {
    const std::string out = dir_ + "/env.txt";
    // A long command must run whole: 10,000 bytes, the length checked inside.
    const std::string tail = "'; printf '%s\\n' \"$1\" \"$ZN417_EVENT_FILE\" \"$ZN417_BUTTON\" "
                             "\"$ZN417_LOCATION\" \"$ZN417_DEVICE\" \"$ZN417_EVENT_DATA\" "
                             "\"$ZN417_BUSNUM:$ZN417_DEVNUM\" \"$ZN417_SCAN_DIR\" \"${#x}\" > '" +
                             out + "'";
    const std::string head = "x='";
    const std::string command = head + std::string(10000 - head.size() - tail.size(), 'A') + tail;
    ASSERT_EQ(command.size(), 10000u);
    // Inherited (as from a unit's Environment=): kept, unless the host sets it.
    setenv("ZN417_SCAN_DIR", "/srv/scans", 1);
    setenv("ZN417_BUTTON", "99", 1);
    Zn417Model* model = Attach();
    StartService({"--exec", command, "--keep-events"});
    Press(model, 7);
    ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
    const HostEvent event = ended_[0].event;
    EXPECT_TRUE(WIFEXITED(ended_[0].waitStatus) && WEXITSTATUS(ended_[0].waitStatus) == 0);
    const std::string data = "0000000007" + std::string(54, '0');
    const std::string expected = event.file + "\n" + event.file + "\n7\n0x14100000\n20-1\n" +
                                 data + "\n" + std::to_string(event.busNumber) + ":" +
                                 std::to_string(event.deviceAddress) + "\n/srv/scans\n" +
                                 std::to_string(10000 - head.size() - tail.size()) +
                                 "\n";
    EXPECT_EQ(ReadFile(out), expected);
    EXPECT_EQ(event.busNumber, 20);  // the simulated bus's own numbering
    EXPECT_GT(event.deviceAddress, 0);
    EXPECT_EQ(event.file.rfind("/tmp/TRNV.", 0), 0u) << event.file;
    EXPECT_TRUE(Exists(event.file));  // --keep-events
    unlink(event.file.c_str());
    unsetenv("ZN417_SCAN_DIR");
    unsetenv("ZN417_BUTTON");
}

TEST_F(ServiceRun, APlainScriptPathGetsTheEventFileAsItsArgumentAndTheFileIsRemovedAfter) {
    const std::string script = dir_ + "/on-press";
    const std::string out = dir_ + "/argument.txt";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" << out << "'\n";
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    Zn417Model* model = Attach();
    StartService({"--exec", script});
    Press(model, 1);
    ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
    const std::string file = ended_[0].event.file;
    EXPECT_EQ(ReadFile(out), "1|" + file);
    EXPECT_FALSE(Exists(file));  // removed once its action finished
}

// A failed action (missing, non-zero exit, killed) keeps its press's event
// file, so nothing is lost; the next press runs and its file is removed.
TEST_F(ServiceRun, AFailedActionKeepsItsEventFileAndTheNextPressIsServed) {
    const struct {
        std::string failure;  // what button 1's action does
        bool signaled;
        int status;  // exit status or signal
    } cases[] = {
        {dir_ + "/no-such-script", false, 127},
        {"exit 3", false, 3},
        {"kill -KILL $$", true, SIGKILL},
    };
    Zn417Model* model = Attach();
    for (const auto& c : cases) {
        StartService({"--exec", "case $ZN417_BUTTON in 1) " + c.failure + ";; esac"});
        Press(model, 1);
        ASSERT_TRUE(WaitFor([&] { return ended_.size() == 1; })) << c.failure;
        const int failed = ended_[0].waitStatus;
        EXPECT_EQ(c.signaled ? WIFSIGNALED(failed) : WIFEXITED(failed), true) << c.failure;
        EXPECT_EQ(c.signaled ? WTERMSIG(failed) : WEXITSTATUS(failed), c.status) << c.failure;
        const std::string kept = ended_[0].event.file;
        EXPECT_TRUE(Exists(kept)) << c.failure;
        Press(model, 2);  // the next press is served as usual
        ASSERT_TRUE(WaitFor([&] { return ended_.size() == 2; })) << c.failure;
        EXPECT_EQ(ended_[1].waitStatus, 0) << c.failure;
        EXPECT_NE(ended_[1].event.file, kept);
        EXPECT_FALSE(Exists(ended_[1].event.file)) << c.failure;
        EXPECT_EQ(StopService(), kHostExitOk);
        unlink(kept.c_str());
        std::lock_guard<std::mutex> guard(lock_);
        ended_.clear();
    }
}

TEST_F(ServiceRun, EachButtonRunsItsOwnCommandAndPressesRunInOrder) {
    const std::string out = dir_ + "/order.txt";
    std::ofstream(config_) << "button.2 = echo two >> '" << out << "'\n"
                           << "exec = echo other $ZN417_BUTTON >> '" << out << "'\n";
    Zn417Model* model = Attach();
    StartService({});
    Press(model, 2);
    ASSERT_TRUE(WaitFor([&] { return ended_.size() == 1; }));
    Press(model, 3);  // after the plug-in's pause, which passes at once
    ASSERT_TRUE(WaitFor([&] { return ended_.size() == 2; }));
    EXPECT_EQ(ReadFile(out), "two\nother 3\n");
}

TEST_F(ServiceRun, QueuedPressesRunInPressOrderAndAStopLogsAndKeepsTheUnrunOnes) {
    CaptureLog();
    const std::string go = dir_ + "/go";
    ASSERT_EQ(mkfifo(go.c_str(), 0600), 0);
    Zn417Model* model = Attach();
    StartService({"--exec", "read line < '" + go + "'"});
    Press(model, 1);
    ASSERT_TRUE(WaitFor([&] { return started_.size() == 1; }));
    for (uint8_t button : {2, 3}) {  // both wait behind the first
        Press(model, button);
        ASSERT_TRUE(Logged("button " + std::to_string(button) + " pressed"));
    }
    for (size_t running = 2; running <= 3; ++running) {
        std::ofstream(go) << "go\n";
        ASSERT_TRUE(WaitFor([&] { return started_.size() == running; }));
    }
    Press(model, 4);
    ASSERT_TRUE(Logged("button 4 pressed"));
    EXPECT_EQ(StopService(), kHostExitOk);
    ASSERT_EQ(startedEvents_.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(startedEvents_[i].button, i + 1);
    }
    const std::string unrun = "button 4 press not acted on as the host stops; its event file is "
                              "kept: ";
    ASSERT_TRUE(Logged(unrun)) << log_;
    const size_t at = log_.find(unrun) + unrun.size();
    const std::string kept = log_.substr(at, log_.find('\n', at) - at);
    EXPECT_EQ(kept.rfind("/tmp/TRNV.", 0), 0u) << kept;
    EXPECT_TRUE(Exists(kept)) << kept;
}

TEST_F(ServiceRun, StoppingTheHostEndsTheRunningAction) {
    Zn417Model* model = Attach();
    StartService({"--exec", "exec sleep 30"});
    Press(model, 1);
    ASSERT_TRUE(WaitFor([&] { return !started_.empty(); }));
    const pid_t action = started_[0];
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(StopService(), kHostExitOk);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1));
    EXPECT_EQ(kill(action, 0), -1);  // ended and reaped
    EXPECT_EQ(SimGetCounters().openObjects, 0u);
}

TEST_F(ServiceRun, ReleasedDuringTheActionThePluginHoldsNothingAndWatchesAgainAfter) {
    const std::string go = dir_ + "/go";
    ASSERT_EQ(mkfifo(go.c_str(), 0600), 0);
    Zn417Model* model = Attach();
    StartService({"--release-during-action", "--exec", "read line < '" + go + "'"});
    ASSERT_TRUE(WaitWatching(1));
    Press(model, 1);
    ASSERT_TRUE(WaitFor([&] { return !started_.empty(); }));
    EXPECT_EQ(openWhenStarted_[0], 0u);
    EXPECT_EQ(SimGetCounters().openObjects, 0u);  // still, while the action runs
    EXPECT_EQ(SimGetCounters().blockedReads, 0u);
    {
        std::lock_guard<std::mutex> guard(lock_);
        EXPECT_FALSE(watching_);
    }
    std::ofstream(go) << "done\n";
    ASSERT_TRUE(WaitFor([&] { return !ended_.empty() && watching_; }));
    EXPECT_TRUE(SimWaitForBlockedReads(1, 1000));
    EXPECT_EQ(SimGetCounters().openObjects, 1u);
}

TEST_F(ServiceRun, AReloadTakesTheNewFileAndTheCommandLineStillOverridesIt) {
    const std::string out = dir_ + "/which.txt";
    std::ofstream(config_) << "exec = echo first > '" << out << "'\nkeep_events = no\n";
    Zn417Model* model = Attach();
    StartService({"--keep-events"});
    ASSERT_TRUE(WaitWatching(1));
    std::ofstream(config_) << "exec = echo second > '" << out << "'\nkeep_events = no\n";
    Control('H');
    Press(model, 1);
    ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
    EXPECT_EQ(ReadFile(out), "second\n");
    EXPECT_TRUE(Exists(ended_[0].event.file));  // --keep-events, over the file's no
}

TEST_F(ServiceRun, ABadConfigurationOnReloadKeepsTheOneInEffect) {
    const std::string out = dir_ + "/which.txt";
    std::ofstream(config_) << "exec = echo kept > '" << out << "'\n";
    Zn417Model* model = Attach();
    StartService({});
    ASSERT_TRUE(WaitWatching(1));
    std::ofstream(config_) << "exec = echo second\nbogus = 1\n";
    Control('H');
    Press(model, 1);
    ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
    EXPECT_EQ(ReadFile(out), "kept\n");
}

}  // namespace
