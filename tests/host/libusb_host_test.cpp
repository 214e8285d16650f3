// SPDX-License-Identifier: MIT
// zn417-host on its default backend, libusb, against a mocked kernel
// (umockdev): the scanner is listed by its sysfs name and location, and with
// --wait the host hears it arrive and leave through libusb's hotplug reports.
// Runs with umockdev's preload library; the host, a child, sees the same testbed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/mock_usb.h"

extern char** environ;

namespace {

// The host as a child whose standard error (and output) the test reads.
struct HostChild {
    pid_t pid = -1;
    int err = -1;
    std::string seen;  // everything read so far
};

HostChild SpawnHost(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), ZN_HOST_PROGRAM);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int pipeFds[2];
    HostChild child;
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return child;
    }
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, pipeFds[1], 2);
    posix_spawn_file_actions_adddup2(&files, pipeFds[1], 1);
    posix_spawn(&child.pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    close(pipeFds[1]);
    child.err = pipeFds[0];
    return child;
}

// Reads the child's standard error until `text` has appeared (5 s at most).
bool WaitForText(HostChild* child, const char* text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (child->seen.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd readable {
            child->err, POLLIN, 0
        };
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[512];
        const ssize_t got = read(child->err, buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        child->seen.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

int StopHost(HostChild* child) {
    kill(child->pid, SIGTERM);
    int status = 0;
    waitpid(child->pid, &status, 0);
    close(child->err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class HostOnLibusb : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("ZN_USB_BACKEND");  // the host's own default: libusb
        bus_ = MockBusCreate();
        ASSERT_NE(bus_, nullptr)
            << "needs umockdev's preload library (see tests/support/mock_usb_main.cpp)";
    }
    // A scanner without an interface for the plug-in: the host only lists it
    // and follows it. Its arrival is announced to the host.
    void PlugScanner() {
        MockDeviceLayout bare = Zn417Layout();
        bare.interfaces.clear();
        scanner_ = MockAddDevice(bus_, 1, {4}, bare);
        ASSERT_NE(scanner_, nullptr);
    }
    void TearDown() override { MockBusRelease(bus_); }
    MockBus* bus_ = nullptr;
    MockDevice* scanner_ = nullptr;
};

TEST_F(HostOnLibusb, ListShowsTheScannerBySysfsNameLocationAndAddress) {
    PlugScanner();
    HostChild host = SpawnHost({"--list"});
    EXPECT_TRUE(WaitForText(&host, "1-4          location 0x01400000 bus 001 device 002"))
        << host.seen;
    int status = 0;
    waitpid(host.pid, &status, 0);
    close(host.err);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(HostOnLibusb, WithWaitTheHostHearsTheScannerArriveAndLeave) {
    HostChild host = SpawnHost({"--wait"});
    ASSERT_TRUE(WaitForText(&host, "waiting for the scanner")) << host.seen;
    PlugScanner();
    ASSERT_TRUE(WaitForText(&host, "ZN417 arrived: 1-4")) << host.seen;
    // Without an interface for the plug-in: said, and waited on.
    ASSERT_TRUE(WaitForText(&host, "1-4 has no scanner interface")) << host.seen;
    MockUnplug(bus_, scanner_);
    ASSERT_TRUE(WaitForText(&host, "ZN417 left: 1-4")) << host.seen;
    EXPECT_EQ(StopHost(&host), 0);
}

}  // namespace
