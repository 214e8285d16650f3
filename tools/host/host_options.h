// Command line of the reference host: what to load, which device location to
// watch, what to run per event, and whether to play the simulated device.
#pragma once

#include <cstdint>

struct HostOptions {
    const char* pluginPath;  // null: the plug-in beside the host executable
    int32_t location;        // USB location ID handed to the plug-in
    bool locationGiven;
    const char* execCommand;  // null: run nothing per event
    bool simulate;            // attach a simulated ZN417 and play the demo scenario
    bool trace;               // print every USB operation (simulated bus only)
    bool help;
};

// Exit statuses of the host.
constexpr int kHostExitOk = 0;       // stopped cleanly
constexpr int kHostExitFailure = 1;  // the plug-in could not be loaded or started
constexpr int kHostExitUsage = 2;    // bad command line

// Location used with --simulate when none is given.
constexpr int32_t kDefaultSimulatedLocation = 0x14100000;

// Fills `options` from argv. Returns 0, or -1 with a one-line explanation in
// `error` (of `errorSize` bytes).
int ParseHostOptions(int argc, char** argv, HostOptions* options, char* error, int errorSize);

// The --help text.
const char* HostUsage();
