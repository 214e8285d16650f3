// SPDX-License-Identifier: MIT
// The host's service run in-process with the real plug-in on the simulated
// bus and a virtual clock (the plug-in's 1-second window and 5-second pause
// pass at once): arrival, unplug and replug, actions with their environment
// and event files, presses queued behind a slow action and at the host's
// stop, the scanner released during an action, and a configuration re-read.
#include <sys/stat.h>
#include <sys/wait.h>

#include "service_harness.h"

namespace {

using ServiceRun = ServiceHarness;

// A scanner named on the command line that arrives after the host started,
// then leaves and comes back a hundred times.
TEST_F(ServiceRun, AScannerArrivingLaterThenReplugged100TimesIsWatchedEachTimeWithoutGrowth) {
    StartService({"--wait", "--device", "20-1"});
    Zn417Model* model = Attach();
    ASSERT_TRUE(WaitWatching(1));
    ASSERT_TRUE(SimWaitForBlockedReads(1, 1000));
    const size_t threads = HarnessCountEntries("/proc/self/task");
    const size_t descriptors = HarnessCountEntries("/proc/self/fd");
    for (int cycle = 0; cycle < 100; ++cycle) {
        Detach(model);
        ASSERT_TRUE(WaitWatching(2 + 2 * cycle, 1000)) << "cycle " << cycle;
        EXPECT_EQ(SimGetCounters().openObjects, 0u);
        model = Attach();
        ASSERT_TRUE(WaitWatching(3 + 2 * cycle, 1000)) << "cycle " << cycle;
        ASSERT_TRUE(SimWaitForBlockedReads(1, 1000)) << "cycle " << cycle;
    }
    EXPECT_EQ(HarnessCountEntries("/proc/self/task"), threads);
    EXPECT_EQ(HarnessCountEntries("/proc/self/fd"), descriptors);
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
    EXPECT_EQ(JoinService(), kHostExitNoDevice);
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
    EXPECT_EQ(HarnessReadFile(out), expected);
    EXPECT_EQ(event.busNumber, 20);  // the simulated bus's own numbering
    EXPECT_GT(event.deviceAddress, 0);
    EXPECT_EQ(event.file.rfind("/tmp/TRNV.", 0), 0u) << event.file;
    EXPECT_TRUE(HarnessExists(event.file));  // --keep-events
    unlink(event.file.c_str());
    unsetenv("ZN417_SCAN_DIR");
    unsetenv("ZN417_BUTTON");
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
        EXPECT_TRUE(HarnessExists(kept)) << c.failure;
        Press(model, 2);  // the next press is served as usual
        ASSERT_TRUE(WaitFor([&] { return ended_.size() == 2; })) << c.failure;
        EXPECT_EQ(ended_[1].waitStatus, 0) << c.failure;
        EXPECT_NE(ended_[1].event.file, kept);
        EXPECT_FALSE(HarnessExists(ended_[1].event.file)) << c.failure;
        EXPECT_EQ(StopService(), kHostExitOk);
        unlink(kept.c_str());
        ForgetObservations();
    }
}

// button.2 runs its own command; another button runs exec, here a plain
// script's path, which gets the event file as its one argument. The file is
// removed once its action finished.
TEST_F(ServiceRun, EachButtonRunsItsCommandAndAPlainScriptGetsTheEventFileAsItsArgument) {
    const std::string script = dir_ + "/on-press";
    const std::string out = dir_ + "/ran.txt";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s|%s|%s\\n' \"$ZN417_BUTTON\" \"$#\" \"$1\" >> '"
                          << out << "'\n";
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    std::ofstream(config_) << "button.2 = echo two >> '" << out << "'\nexec = " << script << "\n";
    Zn417Model* model = Attach();
    StartService({});
    Press(model, 2);
    ASSERT_TRUE(WaitFor([&] { return ended_.size() == 1; }));
    Press(model, 3);  // after the plug-in's pause, which passes at once
    ASSERT_TRUE(WaitFor([&] { return ended_.size() == 2; }));
    EXPECT_EQ(HarnessReadFile(out), "two\n3|1|" + ended_[1].event.file + "\n");
    EXPECT_FALSE(HarnessExists(ended_[1].event.file));
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
    EXPECT_TRUE(HarnessExists(kept)) << kept;
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

// SIGHUP's re-read: a good file is taken, with the command line still over
// it; a bad one leaves the configuration in effect.
TEST_F(ServiceRun, AReloadTakesAGoodFileUnderTheCommandLineAndKeepsTheOldOneOverABadOne) {
    const std::string out = dir_ + "/which.txt";
    const struct {
        std::string reloaded;  // the file's text at the reload
        std::string ran;
    } cases[] = {
        {"exec = echo second > '" + out + "'\nkeep_events = no\n", "second\n"},
        {"exec = echo second > '" + out + "'\nbogus = 1\n", "first\n"},
    };
    Zn417Model* model = Attach();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reloaded);
        std::ofstream(config_) << "exec = echo first > '" << out << "'\nkeep_events = no\n";
        StartService({"--keep-events"});
        ASSERT_TRUE(WaitWatching(1));
        std::ofstream(config_) << c.reloaded;
        Control('H');
        Press(model, 1);
        ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
        EXPECT_EQ(HarnessReadFile(out), c.ran);
        EXPECT_TRUE(HarnessExists(ended_[0].event.file));  // --keep-events over the file's no
        EXPECT_EQ(StopService(), kHostExitOk);
        unlink(ended_[0].event.file.c_str());
        ForgetObservations();
    }
}

}  // namespace
