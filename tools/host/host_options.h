// SPDX-License-Identifier: MIT
// The host's command line (getopt_long) and its configuration files: the
// settings both can give, which files are read and how flags override them,
// the exit statuses, and the --help text.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host_log.h"

// Exit statuses of the host, as its manual documents them.
constexpr int kHostExitOk = 0;             // stopped cleanly; --list, --help, --version done
constexpr int kHostExitFailure = 1;        // the plug-in could not be loaded or started, or other
constexpr int kHostExitUsage = 2;          // bad command line or configuration file
constexpr int kHostExitNoDevice = 3;       // no such device attached
constexpr int kHostExitDenied = 4;         // permission denied on the device
constexpr int kHostExitBusy = 5;           // the scanner's interface is held by another program
constexpr int kHostExitAmbiguous = 6;      // more than one ZN417 attached (one named or not)
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
// The system's configuration file; the user's is
// $XDG_CONFIG_HOME/zn417/zn417-host.conf (default ~/.config/zn417/...).
constexpr const char* kSystemConfigPath = "/etc/zn417/zn417-host.conf";

struct HostOptions {
    HostSettings flags;  // what the command line gave
    std::string configPath;  // --config: only this file, which must exist
    bool noConfig = false;   // --no-config: no file at all
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
// does not exist; -1 with "path:line: key: what is wrong" in `error` for a
// file that cannot be read, an unknown section or key, or a bad value.
int ReadHostConfig(const char* path, HostSettings* settings, char* error, int errorSize);

// `lower` overridden by every value `higher` gives. The action is one
// setting: a layer that gives exec or any button.N replaces both of the
// layer below. Naming the device (device or location) replaces both names.
HostSettings MergeHostSettings(const HostSettings& lower, const HostSettings& higher);

// One configuration file to read.
struct HostConfigFile {
    std::string path;
    bool required = false;  // its absence is an error
};

// The user's file: $XDG_CONFIG_HOME/zn417/zn417-host.conf when that is an
// absolute path, else $HOME/.config/zn417/zn417-host.conf; empty when
// neither is set.
std::string UserConfigPath(const char* xdgConfigHome, const char* home);

// The files the options call for, lowest precedence first: --config's file
// alone; none with --no-config; else the system file, then the user's.
std::vector<HostConfigFile> HostConfigFiles(const HostOptions& options, const char* xdgConfigHome,
                                            const char* home);

// Reads `files` in order, each overriding the one before (MergeHostSettings).
// 0 with *fileSettings set and *readFrom naming the files found ("" for
// none); -1 with the first problem in `error`.
int ReadHostConfigFiles(const std::vector<HostConfigFile>& files, HostSettings* fileSettings,
                        std::string* readFrom, char* error, int errorSize);

// The settings in effect for `options`, in the host's one precedence: the
// command line over the user's file over the system file (HostConfigFiles
// with the process's environment). 0, or -1 with `error`; nothing changed
// then.
int LoadHostSettings(const HostOptions& options, HostSettings* fileSettings,
                     HostSettings* settings, std::string* readFrom, char* error, int errorSize);

// Reads the location ID: decimal or 0x hexadecimal, up to 32 bits, nothing
// else (no octal, no sign). True with *location set.
bool ParseLocationId(const char* text, int32_t* location);

// The --help text.
const char* HostUsage();
