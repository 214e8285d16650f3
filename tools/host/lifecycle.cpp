// SPDX-License-Identifier: MIT
// Loading the plug-in and starting and stopping it for the device.
#include "lifecycle.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "host_log.h"

#ifndef ZN_PLUGIN_DIR_FROM_BIN
#define ZN_PLUGIN_DIR_FROM_BIN "../lib/zn417"
#endif

namespace {

constexpr const char* kPluginFileName = "zn417_button.so";

bool IsFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool HostDirectory(std::string* directory) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return false;
    }
    self[length] = '\0';
    char* slash = std::strrchr(self, '/');
    if (slash == nullptr) {
        return false;
    }
    *slash = '\0';
    *directory = self;
    return true;
}

}  // namespace

int ResolvePluginPath(const std::string& option, std::string* path, char* error, int errorSize) {
    if (!option.empty()) {
        if (option.find('/') != std::string::npos) {
            *path = option;
            return 0;
        }
        if (!IsFile(option)) {
            std::snprintf(error, errorSize, "--plugin %s: no such file here (give a path)",
                          option.c_str());
            return -1;
        }
        *path = "./" + option;  // dlopen would search the library path for a bare name
        return 0;
    }
    std::string directory;
    if (!HostDirectory(&directory)) {
        std::snprintf(error, errorSize, "cannot find where the host lives; use --plugin");
        return -1;
    }
    const std::string beside = directory + "/" + kPluginFileName;
    if (IsFile(beside)) {
        *path = beside;
        return 0;
    }
    *path = directory + "/" + ZN_PLUGIN_DIR_FROM_BIN + "/" + kPluginFileName;
    return 0;
}

int LoadPlugin(const std::string& path, PluginModule* plugin, char* error, int errorSize) {
    // The plug-in links the platform library this host already holds, so
    // both see the same USB backend (and simulated bus).
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::snprintf(error, errorSize, "cannot load the plug-in: %s", dlerror());
        return -1;
    }
    auto start = reinterpret_cast<TWAINButtonPluginStartFunction>(
        dlsym(handle, TWAIN_BUTTON_PLUGIN_START_SYMBOL));
    auto stop = reinterpret_cast<TWAINButtonPluginStopFunction>(
        dlsym(handle, TWAIN_BUTTON_PLUGIN_STOP_SYMBOL));
    if (start == nullptr || stop == nullptr) {
        std::snprintf(error, errorSize, "%s lacks the plug-in entry points", path.c_str());
        dlclose(handle);
        return -1;
    }
    plugin->handle = handle;
    plugin->start = start;
    plugin->stop = stop;
    plugin->path = path;
    return 0;
}

void UnloadPlugin(PluginModule* plugin) {
    if (plugin->handle != nullptr) {
        dlclose(plugin->handle);
    }
    *plugin = PluginModule{};
}

DeviceProblem LifecycleStart(DeviceLifecycle* lifecycle, char* message, int messageSize) {
    if (lifecycle->watching) {
        return DeviceReady;
    }
    UsbDeviceInfo device{};
    const DeviceProblem problem = FindScanner(lifecycle->wanted, &device, message, messageSize);
    if (problem != DeviceReady) {
        if (device.name[0] != '\0') {
            lifecycle->device = device;  // where to wait for access, say
        }
        return problem;
    }
    lifecycle->device = device;
    lifecycle->location = device.locationId;
    const int32_t started = lifecycle->plugin->start(&lifecycle->location, lifecycle->context,
                                                     nullptr, lifecycle->callback);
    if (started != 0) {
        std::snprintf(message, messageSize, "the plug-in did not start for %s (status %d)",
                      device.name, started);
        return DeviceOpenFailed;
    }
    lifecycle->watching = true;
    lifecycle->released = false;
    HostLog(HostLogInfo, "watching %s (location 0x%08X)", device.name,
            static_cast<uint32_t>(device.locationId));
    return DeviceReady;
}

void LifecycleStop(DeviceLifecycle* lifecycle, const char* why) {
    if (!lifecycle->watching) {
        return;
    }
    lifecycle->plugin->stop();
    lifecycle->watching = false;
    HostLog(HostLogInfo, "stopped watching %s: %s", lifecycle->device.name, why);
}

bool LifecycleWatches(const DeviceLifecycle* lifecycle, const UsbDeviceInfo& device) {
    return lifecycle->watching && std::strcmp(lifecycle->device.name, device.name) == 0;
}
