// Command line and configuration file of the host.
#include "host_options.h"

#include <getopt.h>
#include <ini.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum LongOnly : int {
    kOptReleaseDuringAction = 1000,
    kOptActionTimeout,
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

struct ConfigRead {
    HostSettings* settings;
    char problem[200];  // the first one
};

int OnConfigEntry(void* user, const char* section, const char* name, const char* value) {
    auto* read = static_cast<ConfigRead*>(user);
    const char* problem = nullptr;
    char text[200];
    if (*section != '\0' && std::strcmp(section, "host") != 0) {
        std::snprintf(text, sizeof text, "unknown section [%s]", section);
        problem = text;
    } else if (const char* wrong = ApplySetting(read->settings, name, value)) {
        std::snprintf(text, sizeof text, "%s: %s", name, wrong);
        problem = text;
    }
    if (problem != nullptr && read->problem[0] == '\0') {
        std::snprintf(read->problem, sizeof read->problem, "%s", problem);
    }
    return problem == nullptr ? 1 : 0;
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
           "  -c, --config FILE         configuration file (default " 
           "/etc/zn417/zn417-host.conf\n"
           "                            when present); flags override it, SIGHUP re-reads it\n"
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
           "SIGTERM or SIGINT ends the running action, stops the plug-in and exits 0.\n"
           "SIGUSR1 lends the scanner to other programs (the plug-in stops and releases\n"
           "it); SIGUSR2 takes it back.\n"
           "\n"
           "exit status:\n"
           "  0  stopped cleanly, or --list, --help, --version done\n"
           "  1  the plug-in could not be loaded or started, or another failure\n"
           "  2  bad command line or configuration file\n"
           "  3  no such device attached\n"
           "  4  permission denied on the device (install the udev rule 70-zn417.rules)\n"
           "  5  the scanner's interface is held by another program\n"
           "  6  more than one ZN417 attached and none named\n"
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
                options->configPath = optarg;
                options->configGiven = true;
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
                std::snprintf(error, errorSize, "%s needs a value", argv[previous]);
                return -1;
            default:
                std::snprintf(error, errorSize, "unknown option '%s' (see --help)",
                              previous < argc ? argv[previous] : "?");
                return -1;
        }
        if (key != nullptr && (wrong = ApplySetting(&options->flags, key, optarg)) != nullptr) {
            std::snprintf(error, errorSize, "%s '%s': %s", argv[previous], optarg, wrong);
            return -1;
        }
    }
    if (optind < argc) {
        std::snprintf(error, errorSize, "unexpected argument '%s' (see --help)", argv[optind]);
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
    if (!options->configGiven) {
        options->configPath = kDefaultConfigPath;
    }
    return 0;
}

int ReadHostConfig(const char* path, HostSettings* settings, char* error, int errorSize) {
    struct stat info;
    if (stat(path, &info) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        return 1;
    }
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        std::snprintf(error, errorSize, "%s: not a file", path);
        return -1;
    }
    ConfigRead read{settings, ""};
    const int line = ini_parse(path, OnConfigEntry, &read);
    if (line == -1) {
        std::snprintf(error, errorSize, "%s: cannot read: %s", path, std::strerror(errno));
        return -1;
    }
    if (line == -2) {
        std::snprintf(error, errorSize, "%s: out of memory", path);
        return -1;
    }
    if (line > 0) {
        std::snprintf(error, errorSize, "%s:%d: %s", path, line,
                      read.problem[0] != '\0' ? read.problem : "not a key = value line");
        return -1;
    }
    if (!settings->device.empty() && settings->locationSet) {
        std::snprintf(error, errorSize, "%s: give device or location, not both", path);
        return -1;
    }
    return 0;
}

HostSettings MergeHostSettings(const HostSettings& file, const HostSettings& flags) {
    HostSettings merged = file;
    // Naming the device on the command line replaces either name of the file.
    if (!flags.device.empty() || flags.locationSet) {
        merged.device = flags.device;
        merged.locationSet = flags.locationSet;
        merged.location = flags.location;
    }
    if (!flags.exec.empty()) {
        merged.exec = flags.exec;
    }
    for (const auto& entry : flags.buttons) {
        merged.buttons[entry.first] = entry.second;
    }
    if (flags.actionTimeout >= 0) {
        merged.actionTimeout = flags.actionTimeout;
    }
    if (flags.releaseDuringAction >= 0) {
        merged.releaseDuringAction = flags.releaseDuringAction;
    }
    if (flags.keepEvents >= 0) {
        merged.keepEvents = flags.keepEvents;
    }
    if (flags.logLevel >= 0) {
        merged.logLevel = flags.logLevel;
    }
    if (!flags.plugin.empty()) {
        merged.plugin = flags.plugin;
    }
    return merged;
}
