// SPDX-License-Identifier: MIT
// Command line and configuration file of the host.
#include "host_options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config_file.h"

namespace {

enum LongOnly : int {
    kOptReleaseDuringAction = 1000,
    kOptActionTimeout,
    kOptNoConfig,
    kOptExitOnUnplug,
};

const struct option kLongOptions[] = {
    {"device", required_argument, nullptr, 'd'},
    {"location", required_argument, nullptr, 'l'},
    {"list", no_argument, nullptr, 'L'},
    {"wait", no_argument, nullptr, 'w'},
    {"exit-on-unplug", no_argument, nullptr, kOptExitOnUnplug},
    {"exec", required_argument, nullptr, 'e'},
    {"config", required_argument, nullptr, 'c'},
    {"no-config", no_argument, nullptr, kOptNoConfig},
    {"plugin", required_argument, nullptr, 'p'},
    {"keep-events", no_argument, nullptr, 'k'},
    {"release-during-action", no_argument, nullptr, kOptReleaseDuringAction},
    {"action-timeout", required_argument, nullptr, kOptActionTimeout},
    {"simulate", no_argument, nullptr, 's'},
    {"trace", no_argument, nullptr, 't'},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// A whole decimal number in [0, max]; no sign, no spaces.
bool ParseDecimal(const char* text, int64_t max, int64_t* value) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    int64_t number = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        number = number * 10 + (*c - '0');
        if (number > max) {
            return false;
        }
    }
    *value = number;
    return true;
}

bool ParseBoolean(const char* text, int* value) {
    for (const char* yes : {"1", "yes", "true", "on"}) {
        if (strcasecmp(text, yes) == 0) {
            *value = 1;
            return true;
        }
    }
    for (const char* no : {"0", "no", "false", "off"}) {
        if (strcasecmp(text, no) == 0) {
            *value = 0;
            return true;
        }
    }
    return false;
}

// A sysfs device name: bus digits, '-', then port numbers joined by '.'.
bool ValidDeviceName(const char* name) {
    const char* c = name;
    if (*c < '1' || *c > '9') {
        return false;
    }
    while (*c >= '0' && *c <= '9') {
        ++c;
    }
    if (*c++ != '-') {
        return false;
    }
    for (;;) {
        if (*c < '1' || *c > '9') {
            return false;
        }
        while (*c >= '0' && *c <= '9') {
            ++c;
        }
        if (*c == '\0') {
            return std::strlen(name) < 32;
        }
        if (*c++ != '.') {
            return false;
        }
    }
}

// Applies one setting, from the file or a flag. Returns nullptr, or what is
// wrong with the value.
const char* ApplySetting(HostSettings* settings, const char* key, const char* value) {
    int64_t number = 0;
    if (std::strcmp(key, "device") == 0) {
        if (!ValidDeviceName(value)) {
            return "not a USB device name like 1-4.2";
        }
        settings->device = value;
    } else if (std::strcmp(key, "location") == 0) {
        if (!ParseLocationId(value, &settings->location)) {
            return "not a location ID (decimal or 0x hex, 32 bits)";
        }
        settings->locationSet = true;
    } else if (std::strcmp(key, "exec") == 0) {
        if (*value == '\0') {
            return "empty command";
        }
        settings->exec = value;
    } else if (std::strncmp(key, "button.", 7) == 0) {
        if (!ParseDecimal(key + 7, 255, &number) || number == 0) {
            return "button codes are 1 to 255";
        }
        if (*value == '\0') {
            return "empty command";
        }
        settings->buttons[static_cast<int>(number)] = value;
    } else if (std::strcmp(key, "action_timeout") == 0) {
        if (!ParseDecimal(value, kMaxActionTimeout, &settings->actionTimeout)) {
            return "not a number of seconds from 0 to 604800";
        }
    } else if (std::strcmp(key, "release_during_action") == 0) {
        if (!ParseBoolean(value, &settings->releaseDuringAction)) {
            return "not yes or no";
        }
    } else if (std::strcmp(key, "keep_events") == 0) {
        if (!ParseBoolean(value, &settings->keepEvents)) {
            return "not yes or no";
        }
    } else if (std::strcmp(key, "log_level") == 0) {
        HostLogLevel level;
        if (!ParseHostLogLevel(value, &level)) {
            return "not one of error, warning, info, debug";
        }
        settings->logLevel = level;
    } else if (std::strcmp(key, "plugin") == 0) {
        if (*value == '\0') {
            return "empty path";
        }
        settings->plugin = value;
    } else {
        return "unknown key";
    }
    return nullptr;
}

// The long name of an option, for messages: "--location" also for -l.
std::string OptionName(int option) {
    for (const struct option* known = kLongOptions; known->name != nullptr; ++known) {
        if (known->val == option) {
            return std::string("--") + known->name;
        }
    }
    return "?";
}

// Keys whose value is a command or path, where ';' and '#' are ordinary.
bool TakesCommandOrPath(const std::string& key) {
    return key == "exec" || key == "plugin" || key.compare(0, 7, "button.") == 0;
}

}  // namespace

bool ParseLocationId(const char* text, int32_t* location) {
    if (text == nullptr) {
        return false;
    }
    int64_t value = 0;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const char* digits = text + 2;
        if (*digits == '\0' || std::strlen(digits) > 8) {
            return false;
        }
        for (const char* c = digits; *c != '\0'; ++c) {
            const char lower = static_cast<char>(*c | 0x20);
            const bool digit = *c >= '0' && *c <= '9';
            if (!digit && (lower < 'a' || lower > 'f')) {
                return false;
            }
            value = value * 16 + (digit ? *c - '0' : lower - 'a' + 10);
        }
    } else if (!ParseDecimal(text, UINT32_MAX, &value)) {
        return false;
    }
    *location = static_cast<int32_t>(static_cast<uint32_t>(value));
    return true;
}

const char* HostUsage() {
    return "usage: zn417-host [options]\n"
           "\n"
           "Runs a command for every button press of a ZN417 scanner: loads the ZN417\n"
           "button plug-in, starts it for the scanner and follows unplug and replug.\n"
           "\n"
           "  -d, --device NAME         the scanner by its USB name, bus then port path: 1-4.2\n"
           "  -l, --location ID         the scanner by location ID (decimal or 0x hex)\n"
           "                            (neither: the one ZN417 attached)\n"
           "  -L, --list                list attached ZN417s and whether you may open them\n"
           "  -w, --wait                wait for the scanner and follow unplug and replug\n"
           "      --exit-on-unplug      with --wait: exit 0 once the scanner is unplugged\n"
           "                            (one service instance per scanner)\n"
           "  -e, --exec CMD            run CMD through /bin/sh -c for each press, with the\n"
           "                            event file as $1 (and as the argument of a CMD that\n"
           "                            is a single word, a script's path) and ZN417_EVENT_FILE,\n"
           "                            ZN417_BUTTON, ZN417_LOCATION, ZN417_DEVICE,\n"
           "                            ZN417_EVENT_DATA, ZN417_BUSNUM, ZN417_DEVNUM in its\n"
           "                            environment\n"
           "  -c, --config FILE         read only FILE (/dev/null: none) as configuration\n"
           "      --no-config           read no configuration file\n"
           "                            (neither: /etc/zn417/zn417-host.conf, then\n"
           "                            ~/.config/zn417/zn417-host.conf or\n"
           "                            $XDG_CONFIG_HOME/zn417/zn417-host.conf, each when\n"
           "                            present); the command line overrides the user's\n"
           "                            file, which overrides the system's; --exec replaces\n"
           "                            their exec and button.N commands\n"
           "  -p, --plugin PATH         the plug-in module to load\n"
           "  -k, --keep-events         keep event files after their action\n"
           "      --release-during-action\n"
           "                            stop the plug-in while an action runs, so that a\n"
           "                            scanning program it starts can claim the scanner\n"
           "      --action-timeout SECONDS\n"
           "                            end an action after this long (default 60; 0 = none)\n"
           "  -s, --simulate            demo against a simulated ZN417\n"
           "  -t, --trace               print every USB operation\n"
           "  -q, --quiet               log errors only\n"
           "  -v, --verbose             log more (-vv: every USB operation too)\n"
           "  -h, --help                show this text\n"
           "  -V, --version             show the version\n"
           "\n"
           "SIGTERM or SIGINT ends the running action, logs each queued press (its event\n"
           "file is kept), stops the plug-in and exits 0. SIGHUP re-reads the\n"
           "configuration files; the command line still overrides them. SIGUSR1 lends\n"
           "the scanner to other programs (the plug-in stops and releases it); SIGUSR2\n"
           "takes it back.\n"
           "\n"
           "exit status:\n"
           "  0  stopped cleanly, or --list, --help, --version done\n"
           "  1  the plug-in could not be loaded or started, or another failure\n"
           "  2  bad command line or configuration file\n"
           "  3  no such device attached\n"
           "  4  permission denied on the device (install the udev rule 70-zn417.rules)\n"
           "  5  the scanner's interface is held by another program\n"
           "  6  more than one ZN417 attached (whether one is named or not)\n"
           "  7  the USB backend is unavailable\n"
           "  8  the watch ended by itself (a USB error; without --wait)\n";
}

int ParseHostOptions(int argc, char** argv, HostOptions* options, char* error, int errorSize) {
    *options = HostOptions{};
    optind = 0;  // a fresh scan, also when called again
    opterr = 0;
    for (;;) {
        const int previous = optind > 0 ? optind : 1;
        const int option = getopt_long(argc, argv, ":d:l:Lwe:c:p:kstqvhV", kLongOptions, nullptr);
        if (option == -1) {
            break;
        }
        const char* wrong = nullptr;
        const char* key = nullptr;
        switch (option) {
            case 'd':
                key = "device";
                break;
            case 'l':
                key = "location";
                break;
            case 'e':
                key = "exec";
                break;
            case 'p':
                key = "plugin";
                break;
            case kOptActionTimeout:
                key = "action_timeout";
                break;
            case 'c':
                if (*optarg == '\0') {
                    std::snprintf(error, errorSize, "--config: empty path");
                    return -1;
                }
                options->configPath = optarg;
                break;
            case kOptNoConfig:
                options->noConfig = true;
                break;
            case 'L':
                options->list = true;
                break;
            case 'w':
                options->wait = true;
                break;
            case kOptExitOnUnplug:
                options->exitOnUnplug = true;
                break;
            case 'k':
                options->flags.keepEvents = 1;
                break;
            case kOptReleaseDuringAction:
                options->flags.releaseDuringAction = 1;
                break;
            case 's':
                options->simulate = true;
                break;
            case 't':
                options->trace = true;
                break;
            case 'q':
                options->quiet = true;
                break;
            case 'v':
                ++options->verbose;
                break;
            case 'h':
                options->help = true;
                break;
            case 'V':
                options->version = true;
                break;
            case ':':
                std::snprintf(error, errorSize, "%s needs a value",
                              EscapeForMessage(argv[previous]).c_str());
                return -1;
            default:
                std::snprintf(error, errorSize, "unknown option '%s' (see --help)",
                              previous < argc ? EscapeForMessage(argv[previous]).c_str() : "?");
                return -1;
        }
        if (key != nullptr && (wrong = ApplySetting(&options->flags, key, optarg)) != nullptr) {
            std::snprintf(error, errorSize, "%s '%s': %s", OptionName(option).c_str(),
                          EscapeForMessage(optarg).c_str(), wrong);
            return -1;
        }
    }
    if (optind < argc) {
        std::snprintf(error, errorSize, "unexpected argument '%s' (see --help)",
                      EscapeForMessage(argv[optind]).c_str());
        return -1;
    }
    if (options->noConfig && !options->configPath.empty()) {
        std::snprintf(error, errorSize, "--config and --no-config exclude each other");
        return -1;
    }
    if (options->quiet && options->verbose > 0) {
        std::snprintf(error, errorSize, "--quiet and --verbose exclude each other");
        return -1;
    }
    if (!options->flags.device.empty() && options->flags.locationSet) {
        std::snprintf(error, errorSize, "name the device by --device or --location, not both");
        return -1;
    }
    return 0;
}

int ReadHostConfig(const char* path, HostSettings* settings, char* error, int errorSize) {
    std::vector<ConfigEntry> entries;
    std::string problem;
    const int read = ReadConfigFile(path, &entries, &problem);
    if (read != 0) {
        std::snprintf(error, errorSize, "%s", problem.c_str());
        return read;
    }
    const std::string shownPath = EscapeForMessage(path, 200);
    HostSettings file;
    for (const ConfigEntry& entry : entries) {
        const char* wrong = nullptr;
        std::string hint;
        if (!entry.section.empty() && entry.section != "host") {
            hint = "[" + entry.section + "] is not a section (keys stand at top level or in "
                   "[host])";
        } else if ((wrong = ApplySetting(&file, entry.key.c_str(), entry.value.c_str())) !=
                   nullptr) {
            hint = std::string(wrong);
            if (std::strcmp(wrong, "unknown key") != 0) {
                hint += ": '" + EscapeForMessage(entry.value, 40) + "'";
                if (!TakesCommandOrPath(entry.key) &&
                    entry.value.find_first_of("#;") != std::string::npos) {
                    hint += " (a comment stands on a line of its own)";
                }
            }
        }
        if (!hint.empty()) {
            std::snprintf(error, errorSize, "%s:%d: %s: %s", shownPath.c_str(), entry.line,
                          entry.key.c_str(), hint.c_str());
            return -1;
        }
    }
    if (!file.device.empty() && file.locationSet) {
        std::snprintf(error, errorSize, "%s: give device or location, not both", shownPath.c_str());
        return -1;
    }
    *settings = file;
    return 0;
}

HostSettings MergeHostSettings(const HostSettings& lower, const HostSettings& higher) {
    HostSettings merged = lower;
    if (!higher.device.empty() || higher.locationSet) {
        merged.device = higher.device;
        merged.locationSet = higher.locationSet;
        merged.location = higher.location;
    }
    if (!higher.exec.empty() || !higher.buttons.empty()) {
        merged.exec = higher.exec;
        merged.buttons = higher.buttons;
    }
    if (higher.actionTimeout >= 0) {
        merged.actionTimeout = higher.actionTimeout;
    }
    if (higher.releaseDuringAction >= 0) {
        merged.releaseDuringAction = higher.releaseDuringAction;
    }
    if (higher.keepEvents >= 0) {
        merged.keepEvents = higher.keepEvents;
    }
    if (higher.logLevel >= 0) {
        merged.logLevel = higher.logLevel;
    }
    if (!higher.plugin.empty()) {
        merged.plugin = higher.plugin;
    }
    return merged;
}

std::string UserConfigPath(const char* xdgConfigHome, const char* home) {
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') {
        return std::string(xdgConfigHome) + "/zn417/zn417-host.conf";
    }
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.config/zn417/zn417-host.conf";
    }
    return "";
}

std::vector<HostConfigFile> HostConfigFiles(const HostOptions& options, const char* xdgConfigHome,
                                            const char* home) {
    if (options.noConfig) {
        return {};
    }
    if (!options.configPath.empty()) {
        return {{options.configPath, true}};
    }
    std::vector<HostConfigFile> files = {{kSystemConfigPath, false}};
    const std::string user = UserConfigPath(xdgConfigHome, home);
    if (!user.empty()) {
        files.push_back({user, false});
    }
    return files;
}

int ReadHostConfigFiles(const std::vector<HostConfigFile>& files, HostSettings* fileSettings,
                        std::string* readFrom, char* error, int errorSize) {
    HostSettings layered;
    std::string found;
    for (const HostConfigFile& file : files) {
        HostSettings settings;
        const int read = ReadHostConfig(file.path.c_str(), &settings, error, errorSize);
        if (read < 0) {
            return -1;
        }
        if (read == 1 && file.required) {
            std::snprintf(error, errorSize, "%s: no such file",
                          EscapeForMessage(file.path, 200).c_str());
            return -1;
        }
        if (read == 0) {
            layered = MergeHostSettings(layered, settings);
            found += (found.empty() ? "" : ", then ") + EscapeForMessage(file.path, 200);
        }
    }
    *fileSettings = layered;
    *readFrom = found;
    return 0;
}

int LoadHostSettings(const HostOptions& options, HostSettings* fileSettings,
                     HostSettings* settings, std::string* readFrom, char* error, int errorSize) {
    HostSettings files;
    const std::vector<HostConfigFile> paths =
        HostConfigFiles(options, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    if (ReadHostConfigFiles(paths, &files, readFrom, error, errorSize) != 0) {
        return -1;
    }
    *fileSettings = files;
    *settings = MergeHostSettings(files, options.flags);
    return 0;
}
