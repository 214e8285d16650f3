// SPDX-License-Identifier: MIT
// zn417-host on its default backend, libusb, against a mocked kernel
// (umockdev): the scanner is listed by its sysfs name and location, and with
// --wait the host hears it arrive and leave through libusb's hotplug reports.
// Runs with umockdev's preload library; the host, a child, sees the same testbed.
#include <gtest/gtest.h>

#include <cstdlib>

#include "e2e/run_program.h"
#include "support/mock_usb.h"

namespace {

// The host as a child whose standard error (and output) the test reads.
struct HostChild {
    pid_t pid = -1;
    int err = -1;
    std::string seen;  // everything read so far
};

HostChild SpawnHost(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), ZN_HOST_PROGRAM);
    HostChild child;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == 0) {
        child.pid = SpawnProgram(arguments, ends[1], ends[1]);
        close(ends[1]);
        child.err = ends[0];
    }
    return child;
}

// Asks the host to stop (with SIGTERM, unless it ends by itself): its exit
// status, or -1.
int EndHost(HostChild* child, bool stop) {
    if (stop) {
        kill(child->pid, SIGTERM);
    }
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
    EXPECT_TRUE(ReadUntil(host.err, "1-4          location 0x01400000 bus 001 device 002",
                          &host.seen))
        << host.seen;
    EXPECT_EQ(EndHost(&host, false), 0);
}

TEST_F(HostOnLibusb, WithWaitTheHostHearsTheScannerArriveAndLeave) {
    HostChild host = SpawnHost({"--wait"});
    ASSERT_TRUE(ReadUntil(host.err, "waiting for the scanner", &host.seen)) << host.seen;
    PlugScanner();
    ASSERT_TRUE(ReadUntil(host.err, "ZN417 arrived: 1-4", &host.seen)) << host.seen;
    // Without an interface for the plug-in: said, and waited on.
    ASSERT_TRUE(ReadUntil(host.err, "1-4 has no scanner interface", &host.seen)) << host.seen;
    MockUnplug(bus_, scanner_);
    ASSERT_TRUE(ReadUntil(host.err, "ZN417 left: 1-4", &host.seen)) << host.seen;
    EXPECT_EQ(EndHost(&host, true), 0);
}

}  // namespace
