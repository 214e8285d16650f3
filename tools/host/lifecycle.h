// SPDX-License-Identifier: MIT
// The plug-in's lifecycle in the host: finding and loading the module, and
// starting it when the device is there, stopping it when the device leaves
// (which also reclaims a watch that ended by itself) or while an action
// holds the scanner, and starting it again afterwards.
#pragma once

#include <cstdint>
#include <string>

#include "device_finder.h"
#include "twain_button_plugin.h"

struct PluginModule {
    void* handle = nullptr;
    TWAINButtonPluginStartFunction start = nullptr;
    TWAINButtonPluginStopFunction stop = nullptr;
    std::string path;
};

// The module to load: `option` when given (a name without a slash that
// names an existing file is that file, never a library search), else
// zn417_button.so beside the host (build tree), else the installed one
// beside the host's bin directory. 0, or -1 with the reason in `error`.
int ResolvePluginPath(const std::string& option, std::string* path, char* error, int errorSize);

// dlopen and dlsym. 0, or -1 with the reason in `error`.
int LoadPlugin(const std::string& path, PluginModule* plugin, char* error, int errorSize);

// Stops nothing; closes the module. Nothing for one never loaded.
void UnloadPlugin(PluginModule* plugin);

struct DeviceLifecycle {
    PluginModule* plugin = nullptr;
    DeviceWanted wanted;
    HostCallback callback = nullptr;  // runs on the plug-in's thread
    void* context = nullptr;
    bool watching = false;   // Start succeeded and no Stop since
    bool released = false;   // stopped for an action; to be started again after it
    int32_t location = 0;    // what Start points at; stable while watching
    UsbDeviceInfo device{};  // the device being watched (or last watched or found)
};

// Finds the wanted device and starts the plug-in for it. DeviceReady when the
// plug-in watches it; otherwise the problem, explained in `message`
// (DeviceOpenFailed also when the plug-in refused to start).
DeviceProblem LifecycleStart(DeviceLifecycle* lifecycle, char* message, int messageSize);

// Stops the plug-in if it was started; logs `why` at info level.
void LifecycleStop(DeviceLifecycle* lifecycle, const char* why);

// True when `device` is the one being watched (by name).
bool LifecycleWatches(const DeviceLifecycle* lifecycle, const UsbDeviceInfo& device);
