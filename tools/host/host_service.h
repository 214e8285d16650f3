// The host's service: one thread that polls its descriptors (stop/reload
// signals, the plug-in's and the bus's notices, the running action) and
// never blocks on anything else, so that an idle host sleeps without
// wake-ups.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "actions.h"
#include "demo.h"
#include "event_files.h"
#include "host_options.h"
#include "lifecycle.h"

// Observers for tests and benchmarks; each may be null. They run on the
// service's thread.
struct HostServiceHooks {
    void (*watching)(void* context, bool watching, const UsbDeviceInfo& device);
    void (*actionStarted)(void* context, pid_t pid, const HostEvent& event);
    void (*actionEnded)(void* context, const HostEvent& event, int waitStatus);
    void* context;
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
};

// Reads the configuration file, loads the plug-in, opens the notice pipe and
// the event directory's watch, and with --simulate prepares the simulated
// bus. 0, or the exit status with the reason logged. `eventDirectory` is
// where the plug-in writes (/tmp).
int HostServiceInit(HostService* service, const HostOptions& options, const char* eventDirectory);

// Finds the device, starts the plug-in and serves until told to stop, the
// demo ends, or (without --wait) the device leaves or cannot be served.
// `control` is a signalfd for SIGTERM, SIGINT and SIGHUP when `isSignalFd`,
// otherwise a descriptor from which one byte is read per request: 'T' stops,
// 'H' re-reads the configuration. Returns the exit status.
int HostServiceRun(HostService* service, int control, bool isSignalFd);

// Releases everything Init made; tolerates a partly made service.
void HostServiceRelease(HostService* service);
