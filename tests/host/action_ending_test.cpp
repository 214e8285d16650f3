// SPDX-License-Identifier: MIT
// Actions end whole: at their timeout and at the host's stop, everything an
// action started is gone, also what ignores TERM or left the action's
// session; an action starts with no blocked or ignored signals of the host's
// and with no terminal to read; nothing is left behind per action.
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>

#include "service_harness.h"

namespace {

using EndingActions = ServiceHarness;

// A process that no longer runs: gone, or a zombie waiting to be reaped.
bool Gone(pid_t pid) {
    const std::string stat = HarnessReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) {
        return true;
    }
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// What a writer puts into the FIFO at `path` (5 s at most for it to come).
std::string ReadFifo(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    std::string text;
    struct pollfd readable {fd, POLLIN, 0};
    while (fd >= 0 && text.find('\n') == std::string::npos && poll(&readable, 1, 5000) == 1) {
        char buffer[64];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
    if (fd >= 0) {
        close(fd);
    }
    return text;
}

TEST_F(EndingActions, WhatAnActionStartedIsGoneAfterItsTimeoutOrTheHostsStop) {
    // Each command writes the pid of a process it started (or its own) to
    // $P; that process must not outlive the action.
    struct Case {
        const char* name;
        const char* command;
        bool stopHost;    // ended by the host's stop, else by the 1 s timeout
        int leaderSignal; // how the action itself ends (0: it exited)
    };
    const Case cases[] = {
        {"a job of the action's group", "sleep 30 & echo $! > $P; wait", false, SIGTERM},
        {"a leader that ignores TERM", "trap '' TERM; echo $$ > $P; sleep 30", false, SIGKILL},
        {"a setsid sleeper that ignores TERM",
         "setsid sh -c 'trap \"\" TERM; echo $$ > '$P'; exec sleep 30' & wait", false, SIGTERM},
        {"a setsid sleeper of a finished action, at stop", "setsid sleep 30 & echo $! > $P", true,
         0},
        {"a leader that ends on TERM, at stop", "echo $$ > $P; exec sleep 30", true, SIGTERM},
        {"a leader that ignores TERM, at stop", "trap '' TERM; echo $$ > $P; sleep 30", true,
         SIGKILL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string pidFile = dir_ + "/pid";
        unlink(pidFile.c_str());
        ASSERT_EQ(mkfifo(pidFile.c_str(), 0600), 0);
        Zn417Model* model = Attach();
        StartService({"--action-timeout", "1", "--exec",
                      std::string("P='") + pidFile + "'; " + c.command});
        Press(model, 1);
        ASSERT_TRUE(WaitFor([&] { return !started_.empty(); }));
        const std::string written = ReadFifo(pidFile);
        ASSERT_FALSE(written.empty());
        const pid_t left = std::stoi(written);
        const auto begun = std::chrono::steady_clock::now();
        if (c.stopHost) {
            if (c.leaderSignal == 0) {
                ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
            }
            EXPECT_EQ(StopService(), kHostExitOk);
            EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1));
        } else {
            ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }, 4000));
            const int status = ended_[0].waitStatus;
            EXPECT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), c.leaderSignal);
            EXPECT_EQ(StopService(), kHostExitOk);
        }
        EXPECT_TRUE(Gone(left)) << "pid " << left << " outlived its action";
        if (left == started_[0]) {
            EXPECT_EQ(kill(left, 0), -1) << "the action was not reaped";
        }
        EXPECT_EQ(SimGetCounters().openObjects, 0u);
        Detach(model);
        ForgetObservations();
    }
}

TEST_F(EndingActions, AnActionStartsWithNoBlockedOrIgnoredSignalsAndNoTerminalInput) {
    // bash keeps the mask it is given (dash clears it itself); skip if absent.
    if (access("/bin/bash", X_OK) != 0) {
        GTEST_SKIP() << "needs /bin/bash";
    }
    const std::string out = dir_ + "/signals";
    // Standard input a pipe nobody writes: an action reading it would hang.
    int silent[2];
    ASSERT_EQ(pipe(silent), 0);
    const int savedIn = dup(STDIN_FILENO);
    dup2(silent[0], STDIN_FILENO);
    signal(SIGPIPE, SIG_IGN);  // as the host does
    Zn417Model* model = Attach();
    StartService({"--exec", "exec /bin/bash -c 'grep -E \"^Sig(Blk|Ign)\" /proc/self/status; "
                            "read line; echo \"read $?\"' > '" + out + "'"});
    Press(model, 1);
    ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
    dup2(savedIn, STDIN_FILENO);
    close(savedIn);
    close(silent[0]);
    close(silent[1]);
    signal(SIGPIPE, SIG_DFL);
    // The C library's own signals (32, 33) aside.
    uint64_t hostSignals = 0;
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD, SIGPIPE}) {
        hostSignals |= uint64_t{1} << (signal - 1);
    }
    const std::string seen = HarnessReadFile(out);
    unsigned long long blocked = ~0ull, ignored = ~0ull;
    ASSERT_EQ(std::sscanf(seen.c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx\n", &blocked, &ignored), 2)
        << seen;
    EXPECT_EQ(blocked & hostSignals, 0u) << seen;
    EXPECT_EQ(ignored & hostSignals, 0u) << seen;
    EXPECT_NE(seen.find("read 1\n"), std::string::npos) << seen;  // end of file, not a hang
}

TEST_F(EndingActions, ManyActionsLeaveNoDescriptorBehind) {
    Zn417Model* model = Attach();
    StartService({"--exec", "true"});
    Press(model, 1);
    ASSERT_TRUE(WaitFor([&] { return ended_.size() == 1; }));
    const size_t before = HarnessCountEntries("/proc/self/fd");
    for (size_t press = 2; press <= 20; ++press) {
        Press(model, 1);
        ASSERT_TRUE(WaitFor([&] { return ended_.size() == press; }));
    }
    EXPECT_EQ(HarnessCountEntries("/proc/self/fd"), before);
}

}  // namespace
