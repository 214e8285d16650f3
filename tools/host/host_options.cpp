// Command-line parsing of the reference host.
#include "host_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Accepts decimal, 0x-prefixed hexadecimal and negative values that fit in 32
// bits; hexadecimal values up to 0xFFFFFFFF wrap to the signed location.
bool ParseLocation(const char* text, int32_t* location) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < INT32_MIN || value > UINT32_MAX) {
        return false;
    }
    *location = static_cast<int32_t>(static_cast<uint32_t>(value));
    return true;
}

}  // namespace

const char* HostUsage() {
    return "usage: zn417-host [options]\n"
           "\n"
           "Loads the ZN417 button plug-in, starts it for one USB location and prints\n"
           "every button event with the contents of its event file.\n"
           "\n"
           "options:\n"
           "  --location ID   USB location ID of the scanner (decimal or 0x hex);\n"
           "                  required unless --simulate is given\n"
           "  --plugin PATH   the plug-in to load (default: zn417_button.so beside\n"
           "                  this program)\n"
           "  --exec CMD      run CMD through /bin/sh for each event, with the event\n"
           "                  file's path as its argument ($1)\n"
           "  --simulate      attach a simulated ZN417 at the location (default\n"
           "                  0x14100000) and play a short scenario: a status packet,\n"
           "                  a button press, a second press after the pause, the end\n"
           "  --trace         print each USB operation on one line (with --simulate)\n"
           "  --help          show this text\n"
           "\n"
           "Ctrl-C or SIGTERM stops the plug-in and exits.\n"
           "\n"
           "exit status:\n"
           "  0  stopped cleanly\n"
           "  1  the plug-in could not be loaded or started\n"
           "  2  bad command line\n";
}

int ParseHostOptions(int argc, char** argv, HostOptions* options, char* error, int errorSize) {
    *options = HostOptions{};
    options->location = kDefaultSimulatedLocation;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool takesValue = std::strcmp(arg, "--location") == 0 ||
                                std::strcmp(arg, "--plugin") == 0 ||
                                std::strcmp(arg, "--exec") == 0;
        if (takesValue && i + 1 >= argc) {
            std::snprintf(error, errorSize, "%s needs a value", arg);
            return -1;
        }
        if (std::strcmp(arg, "--location") == 0) {
            if (!ParseLocation(argv[++i], &options->location)) {
                std::snprintf(error, errorSize, "--location: not a 32-bit number: '%s'", argv[i]);
                return -1;
            }
            options->locationGiven = true;
        } else if (std::strcmp(arg, "--plugin") == 0) {
            options->pluginPath = argv[++i];
        } else if (std::strcmp(arg, "--exec") == 0) {
            options->execCommand = argv[++i];
            if (*options->execCommand == '\0') {
                std::snprintf(error, errorSize, "--exec: empty command");
                return -1;
            }
        } else if (std::strcmp(arg, "--simulate") == 0) {
            options->simulate = true;
        } else if (std::strcmp(arg, "--trace") == 0) {
            options->trace = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            options->help = true;
        } else {
            std::snprintf(error, errorSize, "unknown option '%s' (see --help)", arg);
            return -1;
        }
    }
    if (!options->help && !options->simulate && !options->locationGiven) {
        std::snprintf(error, errorSize, "--location is required without --simulate");
        return -1;
    }
    if (options->trace && !options->simulate) {
        std::snprintf(error, errorSize, "--trace needs --simulate");
        return -1;
    }
    return 0;
}
