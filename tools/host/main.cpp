// SPDX-License-Identifier: MIT
// zn417-host: runs a command for every button press of a ZN417 scanner. It
// reads its command line and configuration, chooses the USB backend, lists
// the scanners or finds the one to serve, loads the button plug-in, starts it
// when the scanner is there and follows unplug and replug, runs the actions,
// and stops on SIGTERM or SIGINT (SIGHUP re-reads the configuration, SIGUSR1
// and SIGUSR2 lend the scanner and take it back).
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "device_finder.h"
#include "host_log.h"
#include "host_options.h"
#include "host_service.h"

#ifndef ZN_VERSION
#define ZN_VERSION "unknown"
#endif

namespace {

constexpr const char* kEventDirectory = "/tmp";

// The signals the service loop reads from its signalfd.
sigset_t HandledSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD}) {
        sigaddset(&signals, signal);
    }
    return signals;
}

int ListAndExit() {
    std::vector<UsbDeviceInfo> scanners;
    const PlatformReturn listed = ListScanners(&scanners);
    if (listed != PlatformOk) {
        HostLog(HostLogError, "cannot list USB devices: %s", UsbPlatformStatusName(listed));
        return kHostExitNoBackend;
    }
    if (scanners.empty()) {
        HostLog(HostLogInfo, "no ZN417 attached");
    }
    PrintScannerList(stdout, scanners);
    return kHostExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    // First of all, before any thread exists: every thread keeps these
    // blocked, and a signal sent in the first moments waits for the loop
    // instead of killing the host (SIGHUP's default action).
    const sigset_t handled = HandledSignals();
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed stderr or socket is an error, not an end
    HostLogSetup();
    HostOptions options;
    char error[512];
    if (ParseHostOptions(argc, argv, &options, error, sizeof error) != 0) {
        HostLog(HostLogError, "%s", error);
        return kHostExitUsage;
    }
    if (options.help || options.version) {
        std::fputs(options.help ? HostUsage() : "zn417-host " ZN_VERSION "\n", stdout);
        return kHostExitOk;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int signals = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0) {
        HostLog(HostLogError, "cannot set up signal handling");
        return kHostExitFailure;
    }
    if (SelectHostBackend(options.simulate, error, sizeof error) != 0) {
        HostLog(HostLogError, "%s", error);
        return kHostExitNoBackend;
    }
    if (options.list && !options.simulate) {
        return ListAndExit();
    }
    HostService service;
    int status = HostServiceInit(&service, options, kEventDirectory);
    if (status == kHostExitOk) {
        status = options.list ? ListAndExit() : HostServiceRun(&service, signals, true);
    }
    HostServiceRelease(&service);
    close(signals);
    return status;
}
