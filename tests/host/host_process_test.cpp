// SPDX-License-Identifier: MIT
// zn417-host as systemd runs it, a process of its own on the simulated bus:
// it says READY=1 on the test's own $NOTIFY_SOCKET only once its signals are
// handled (a reload sent at that moment never kills it), SIGUSR1 and SIGUSR2
// lend the scanner and take it back, and a stalled reader of its stderr
// does not delay its stop.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <fstream>

#include "e2e/run_program.h"

namespace {

class HostProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zn_host_process_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        config_ = dir_ + "/zn417-host.conf";
        std::ofstream(config_) << "";
        notifyPath_ = dir_ + "/notify";
        notify_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(notify_, 0);
        struct sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", notifyPath_.c_str());
        ASSERT_EQ(bind(notify_, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
    }

    void TearDown() override {
        if (notify_ >= 0) {
            close(notify_);
        }
        std::string remove = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(remove.c_str()), 0);
    }

    // The host on the idle simulated scanner in an environment of its own,
    // with `stderrFd` as its stderr (-1: none).
    pid_t Spawn(int stderrFd) {
        return SpawnProgram({"/usr/bin/env", "-i", "NOTIFY_SOCKET=" + notifyPath_,
                             "ZN417_SIMULATE=idle", "PATH=/usr/bin:/bin", ZN_HOST_PROGRAM,
                             "--simulate", "--wait", "--config", config_, "--exec", "true"},
                            -1, stderrFd);
    }

    // The next notice on the socket (5 s at most); empty when none came.
    std::string NextNotice() {
        struct pollfd readable {notify_, POLLIN, 0};
        if (poll(&readable, 1, 5000) != 1) {
            return "";
        }
        char buffer[256];
        const ssize_t got = recv(notify_, buffer, sizeof buffer, 0);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
    }

    std::string dir_;
    std::string config_;
    std::string notifyPath_;
    int notify_ = -1;
};

TEST_F(HostProcess, AReloadSentTheMomentReadyArrivesNeverKillsTheHost) {
    for (int round = 0; round < 100; ++round) {
        const pid_t host = Spawn(-1);
        ASSERT_GT(host, 0);
        ASSERT_EQ(NextNotice(), "READY=1") << "round " << round;
        kill(host, SIGHUP);
        EXPECT_EQ(NextNotice().rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << "round " << round;
        EXPECT_EQ(NextNotice(), "READY=1") << "round " << round;
        kill(host, SIGTERM);
        EXPECT_EQ(NextNotice(), "STOPPING=1") << "round " << round;
        const int status = WaitExit(host, 5000);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "round " << round << ": status " << status;
    }
}

// Fills the pipe behind `fd` (made non-blocking for it, blocking again after).
void FillPipe(int fd) {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const std::string filler(4096, 'x');
    while (write(fd, filler.data(), filler.size()) > 0) {
    }
    fcntl(fd, F_SETFL, 0);
}

// Empties the pipe behind `fd` of what is in it now.
void DrainPipe(int fd) {
    fcntl(fd, F_SETFL, O_NONBLOCK);
    char buffer[4096];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    fcntl(fd, F_SETFL, 0);
}


TEST_F(HostProcess, AStalledReaderOfStderrDelaysNothingAndLearnsLaterWhatItMissed) {
    int log[2];
    ASSERT_EQ(pipe2(log, O_CLOEXEC), 0);
    FillPipe(log[1]);  // as the host finds it: blocking, full
    const pid_t host = Spawn(log[1]);
    ASSERT_GT(host, 0);
    ASSERT_EQ(NextNotice(), "READY=1");
    kill(host, SIGHUP);  // served although its log line cannot be written
    EXPECT_EQ(NextNotice().rfind("RELOADING=1", 0), 0u);
    EXPECT_EQ(NextNotice(), "READY=1");
    DrainPipe(log[0]);
    kill(host, SIGHUP);
    EXPECT_EQ(NextNotice().rfind("RELOADING=1", 0), 0u);
    EXPECT_EQ(NextNotice(), "READY=1");
    std::string seen;
    EXPECT_TRUE(ReadUntil(log[0], "log lines could not be written", &seen)) << seen;
    FillPipe(log[1]);
    const auto asked = std::chrono::steady_clock::now();
    kill(host, SIGTERM);
    const int status = WaitExit(host, 1000);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    close(log[0]);
    close(log[1]);
}

TEST_F(HostProcess, SigusrOneLendsTheScannerAndSigusrTwoTakesItBack) {
    int log[2];
    ASSERT_EQ(pipe2(log, O_CLOEXEC), 0);
    const pid_t host = Spawn(log[1]);
    close(log[1]);
    ASSERT_GT(host, 0);
    std::string seen;
    ASSERT_EQ(NextNotice(), "READY=1");
    ASSERT_TRUE(ReadUntil(log[0], "watching 20-1", &seen)) << seen;
    kill(host, SIGUSR1);
    ASSERT_TRUE(ReadUntil(log[0], "stopped watching 20-1: lent to other programs", &seen)) << seen;
    seen.clear();
    kill(host, SIGUSR2);
    ASSERT_TRUE(ReadUntil(log[0], "taking the scanner back", &seen)) << seen;
    ASSERT_TRUE(ReadUntil(log[0], "watching 20-1", &seen)) << seen;
    kill(host, SIGTERM);
    const int status = WaitExit(host, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    close(log[0]);
}

}  // namespace
