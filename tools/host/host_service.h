// SPDX-License-Identifier: MIT
// The host's service: one thread that polls its descriptors (stop/reload
// signals, the plug-in's and the bus's notices, the running action) and
// never blocks on anything else, so that an idle host sleeps without
// wake-ups.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "actions.h"
#include "demo.h"
#include "event_files.h"
#include "host_options.h"
#include "lifecycle.h"
#include "node_watch.h"
#include "retry_backoff.h"

// Observers for tests and benchmarks; each may be null. They run on the
// service's thread.
struct HostServiceHooks {
    void (*watching)(void* context, bool watching, const UsbDeviceInfo& device);
    void (*actionStarted)(void* context, pid_t pid, const HostEvent& event);
    void (*actionEnded)(void* context, const HostEvent& event, int waitStatus);
    void* context;
    // The host could not start and waits (under --wait) for `problem` to pass.
    void (*waiting)(void* context, DeviceProblem problem);
};

struct HostService {
    HostOptions options;
    HostSettings fileSettings;  // as last read from the configuration file
    HostSettings settings;      // in effect: the file's, overridden by the flags
    PluginModule plugin;
    DeviceLifecycle lifecycle;
    ActionRunner actions;
    EventFileWatch eventFiles;
    int noticeRead = -1;  // the plug-in's thread, the bus and the demo write notices here
    int noticeWrite = -1;
    UsbDeviceWatch* deviceWatch = nullptr;
    DemoScenario* demo = nullptr;
    HostServiceHooks hooks{};
    bool stopping = false;
    bool demoFinished = false;  // the demo has ended: stop once every queued action has run
    int exitStatus = kHostExitOk;

    // Keeping the watch alive (host_watching.h).
    RetryBackoff retry;      // the next try after a watch that ended or a busy interface
    NodeWatch nodeWatch;     // the scanner's node, while access may change
    DeviceProblem waitingFor = DeviceReady;  // why the host waits; logged once per episode
    std::string waitingMessage;              // what was logged of it
    bool lent = false;       // SIGUSR1: the scanner is left to other programs until SIGUSR2
    // Bumped at every start and stop of the plug-in: an interface released
    // by the plug-in's thread under the current value is a watch that ended
    // by itself. Read by the platform layer's thread.
    std::atomic<uint32_t> watchGeneration{0};
    pthread_t thread{};      // the service's thread, whose own releases are not news
};

// Reads the configuration file, loads the plug-in, opens the notice pipe and
// the event directory's watch, and with --simulate prepares the simulated
// bus. 0, or the exit status with the reason logged. `eventDirectory` is
// where the plug-in writes (/tmp).
int HostServiceInit(HostService* service, const HostOptions& options, const char* eventDirectory);

// Finds the device, starts the plug-in and serves until told to stop, the
// demo ends, or (without --wait) the device leaves or cannot be served, or
// (with --exit-on-unplug) the device leaves. `control` is a signalfd for
// SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2 and SIGCHLD when `isSignalFd`,
// otherwise a descriptor from which one byte is read per request: 'T' stops,
// 'H' re-reads the configuration, '1' lends the scanner, '2' takes it back.
// Tells the service manager (when $NOTIFY_SOCKET is set) that it is ready
// once it serves, and of reloads and the stop. Returns the exit status.
int HostServiceRun(HostService* service, int control, bool isSignalFd);

// Releases everything Init made; tolerates a partly made service.
void HostServiceRelease(HostService* service);
