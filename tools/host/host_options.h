// The host's command line (getopt_long) and its optional INI configuration
// file (inih): the settings both can give, how flags override the file, the
// exit statuses, and the --help text.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "host_log.h"

// Exit statuses of the host, as its manual documents them.
constexpr int kHostExitOk = 0;             // stopped cleanly; --list, --help, --version done
constexpr int kHostExitFailure = 1;        // the plug-in could not be loaded or started, or other
constexpr int kHostExitUsage = 2;          // bad command line or configuration file
constexpr int kHostExitNoDevice = 3;       // no such device attached
constexpr int kHostExitDenied = 4;         // permission denied on the device
constexpr int kHostExitBusy = 5;           // the scanner's interface is held by another program
constexpr int kHostExitAmbiguous = 6;      // more than one ZN417 attached and none named
constexpr int kHostExitNoBackend = 7;      // the USB backend is unavailable
constexpr int kHostExitWatchEnded = 8;     // the watch ended by itself (without --wait)

// Settings that the configuration file and the flags can both give. Unset
// values are empty strings, -1, or absent map entries.
struct HostSettings {
    std::string device;  // sysfs name, "1-4.2"
    bool locationSet = false;
    int32_t location = 0;
    std::string exec;                      // command per event
    std::map<int, std::string> buttons;    // command per button code
    int64_t actionTimeout = -1;            // seconds, 0 = none
    int releaseDuringAction = -1;          // 0 or 1
    int keepEvents = -1;                   // 0 or 1
    int logLevel = -1;                     // a HostLogLevel
    std::string plugin;
};

constexpr int64_t kDefaultActionTimeout = 60;
constexpr int64_t kMaxActionTimeout = 7 * 24 * 3600;
constexpr const char* kDefaultConfigPath = "/etc/zn417/zn417-host.conf";

struct HostOptions {
    HostSettings flags;  // what the command line gave
    std::string configPath;
    bool configGiven = false;  // --config: the file must exist
    bool list = false;
    bool wait = false;
    bool exitOnUnplug = false;  // with --wait: exit 0 once the scanner served is unplugged
    bool simulate = false;
    bool trace = false;
    bool quiet = false;
    int verbose = 0;
    bool help = false;
    bool version = false;
};

// Location used with --simulate when none is given.
constexpr int32_t kDefaultSimulatedLocation = 0x14100000;

// Fills `options` from argv. 0, or -1 with a one-line explanation in `error`.
int ParseHostOptions(int argc, char** argv, HostOptions* options, char* error, int errorSize);

// Reads the configuration file at `path` into `settings`. 0; 1 when the file
// does not exist; -1 with "path:line: what is wrong" in `error` for a file
// that cannot be read, an unknown section or key, or a bad value.
int ReadHostConfig(const char* path, HostSettings* settings, char* error, int errorSize);

// The settings in effect: `file`, overridden by every value `flags` gives.
HostSettings MergeHostSettings(const HostSettings& file, const HostSettings& flags);

// Reads the location ID: decimal or 0x hexadecimal, up to 32 bits, nothing
// else (no octal, no sign). True with *location set.
bool ParseLocationId(const char* text, int32_t* location);

// The --help text.
const char* HostUsage();
