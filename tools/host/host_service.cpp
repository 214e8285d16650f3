// SPDX-License-Identifier: MIT
// The host's poll loop and what it does with each notice.
#include "host_service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host_log.h"
#include "host_watching.h"
#include "service_notify.h"

namespace {

// What other threads tell the service, one record per write (shorter than
// PIPE_BUF, so each write is whole).
enum NoticeKind : char {
    kNoticePress = 'P',     // the plug-in reported a press
    kNoticeArrived = 'A',   // a USB device arrived
    kNoticeLeft = 'L',      // a USB device left
    kNoticeDemoDone = 'D',  // the demo scenario has run to its end
    kNoticeInterfaceEnded = 'E',  // an interface object of the plug-in was released
};

struct Notice {
    char kind;
    int32_t location;
    UsbDeviceInfo device;
    uint32_t generation;  // kNoticeInterfaceEnded: the watch it belonged to
    UsbInterfaceEnd end;
};

void SendNotice(int fd, const Notice& notice) {
    while (write(fd, &notice, sizeof notice) < 0 && errno == EINTR) {
    }
}

// On the plug-in's watch thread: the event file is written by now.
int32_t OnPress(uint32_t, int32_t* hostLocation, void* context) {
    auto* service = static_cast<HostService*>(context);
    Notice notice{};
    notice.kind = kNoticePress;
    notice.location = hostLocation != nullptr ? *hostLocation : 0;
    SendNotice(service->noticeWrite, notice);
    return 0;
}

// On the thread of the platform layer that saw the device come or go.
void OnDevice(void* context, UsbDeviceEvent event, const UsbDeviceInfo* device) {
    auto* service = static_cast<HostService*>(context);
    Notice notice{};
    notice.kind = event == UsbDeviceArrived ? kNoticeArrived : kNoticeLeft;
    notice.device = *device;
    SendNotice(service->noticeWrite, notice);
}

// On the thread that released an interface object. Releases made on the
// service's own thread (the finder's probe, a start that failed) are not news;
// one by the plug-in's thread may be its watch ending by itself.
void OnInterfaceEnded(void* context, const UsbInterfaceEnd* end) {
    auto* service = static_cast<HostService*>(context);
    if (pthread_equal(pthread_self(), service->thread)) {
        return;
    }
    Notice notice{};
    notice.kind = kNoticeInterfaceEnded;
    notice.generation = service->watchGeneration.load(std::memory_order_acquire);
    notice.end = *end;
    SendNotice(service->noticeWrite, notice);
}

void OnDemoFinished(void* context) {
    Notice notice{};
    notice.kind = kNoticeDemoDone;
    SendNotice(static_cast<HostService*>(context)->noticeWrite, notice);
}

void PrintTraceLine(void*, const char* line) {
    std::printf("  usb| %s\n", line);
}

void LogTraceLine(void*, const char* line) {
    HostLog(HostLogDebug, "usb| %s", line);
}

void ApplyLogLevel(const HostService* service) {
    HostLogLevel level = HostLogInfo;
    if (service->settings.logLevel >= 0) {
        level = static_cast<HostLogLevel>(service->settings.logLevel);
    }
    if (service->options.quiet) {
        level = HostLogError;
    } else if (service->options.verbose > 0) {
        level = HostLogDebug;
    }
    HostLogSetLevel(level);
}

void ApplySettings(HostService* service) {
    ApplyLogLevel(service);
    service->actions.timeoutSeconds = service->settings.actionTimeout >= 0
                                          ? service->settings.actionTimeout
                                          : kDefaultActionTimeout;
}

void Reload(HostService* service) {
    HostSettings file;
    HostSettings merged;
    std::string readFrom;
    char error[512];
    if (LoadHostSettings(service->options, &file, &merged, &readFrom, error, sizeof error) != 0) {
        HostLog(HostLogError, "configuration not re-read: %s", error);
        return;
    }
    if (merged.device != service->settings.device ||
        merged.locationSet != service->settings.locationSet ||
        merged.location != service->settings.location || merged.plugin != service->settings.plugin) {
        HostLog(HostLogWarning, "a new device or plug-in takes effect when the host restarts");
    }
    service->fileSettings = file;
    service->settings = merged;
    ApplySettings(service);
    HostLog(HostLogInfo, "configuration re-read%s%s", readFrom.empty() ? " (no file)" : " from ",
            readFrom.c_str());
}

void HandlePress(HostService* service, int32_t location) {
    HostEvent event;
    event.location = location;
    event.device = service->lifecycle.device.name;
    event.busNumber = service->lifecycle.device.busNumber;
    event.deviceAddress = service->lifecycle.device.deviceAddress;
    const bool found = EventFilesClaim(&service->eventFiles, location, &event);
    if (service->demo != nullptr) {
        if (found) {
            ShowDemoEvent(event);
        }
        NoteDemoEvent(service->demo);  // after the event is shown, so the narration follows it
    }
    if (!found) {
        HostLog(HostLogError, "a press on %s was reported, but no event file of it appeared in %s",
                event.device.c_str(), service->eventFiles.directory.c_str());
        return;
    }
    HostLog(HostLogInfo, "button %d pressed on %s: %s", event.button, event.device.c_str(),
            event.file.c_str());
    const std::string command = CommandForEvent(service->settings, event);
    if (command.empty()) {
        EventFileDone(event, service->settings.keepEvents == 1);
        return;
    }
    QueueAction(&service->actions, event, command);
}

void HandleArrival(HostService* service, const UsbDeviceInfo& device) {
    if (!IsScanner(device)) {
        return;
    }
    HostLog(HostLogInfo, "ZN417 arrived: %s", device.name);
    if (service->lifecycle.watching) {
        HostLog(HostLogWarning,
                "another ZN417 (%s) is attached: presses on %s are ignored while both are",
                device.name, service->lifecycle.device.name);
        return;
    }
    if (service->lifecycle.released || service->lent) {
        return;  // started again when the action ends, or when taken back
    }
    if (DeviceMatches(service->lifecycle.wanted, device) || service->options.wait) {
        StartWatching(service);
    }
}

// Whether `device` is the scanner this host serves: the one it watches, was
// watching before an action or a loan, or was told to serve by name.
bool IsOurs(const HostService* service, const UsbDeviceInfo& device) {
    const DeviceLifecycle& lifecycle = service->lifecycle;
    if (LifecycleWatches(&lifecycle, device)) {
        return true;
    }
    const bool last = std::strcmp(lifecycle.device.name, device.name) == 0;
    if ((lifecycle.released || service->lent) && last) {
        return true;
    }
    return service->options.exitOnUnplug &&
           (last || lifecycle.wanted.name == device.name);
}

void HandleDeparture(HostService* service, const UsbDeviceInfo& device) {
    if (!IsScanner(device)) {
        return;
    }
    const bool ours = IsOurs(service, device);
    HostLog(HostLogInfo, "ZN417 left: %s", device.name);
    if (!ours) {
        if (service->options.wait && !service->lifecycle.watching &&
            !service->lifecycle.released) {
            StartWatching(service);  // the one left may now be unambiguous
        }
        return;
    }
    StopWatching(service, "the scanner was unplugged");
    NodeWatchStop(&service->nodeWatch);
    RetryBackoffCancel(&service->retry);
    service->lifecycle.released = false;
    if (!service->options.wait) {
        HostLog(HostLogError, "%s was unplugged", device.name);
        service->exitStatus = kHostExitNoDevice;
        service->stopping = true;
    } else if (service->options.exitOnUnplug) {
        HostLog(HostLogInfo, "%s was unplugged: this instance ends with it", device.name);
        service->stopping = true;
    } else {
        service->waitingFor = DeviceMissing;
        HostLog(HostLogInfo, "waiting for %s to return", device.name);
    }
}

void ReadNotices(HostService* service) {
    Notice notice;
    for (;;) {
        const ssize_t got = read(service->noticeRead, &notice, sizeof notice);
        if (got != static_cast<ssize_t>(sizeof notice)) {
            return;  // drained (whole records only: each write is atomic)
        }
        switch (notice.kind) {
            case kNoticePress:
                HandlePress(service, notice.location);
                break;
            case kNoticeArrived:
                if (!service->stopping) {
                    HandleArrival(service, notice.device);
                }
                break;
            case kNoticeLeft:
                if (!service->stopping) {
                    HandleDeparture(service, notice.device);
                }
                break;
            case kNoticeInterfaceEnded:
                if (!service->stopping) {
                    OnWatchEnded(service, notice.generation, notice.end);
                }
                break;
            case kNoticeDemoDone:
                service->demoFinished = true;
                break;
            default:
                break;
        }
    }
}

// A failed action (non-zero exit, signal, not started) keeps its press's event
// file, so that the press is not lost; the next press is served as usual.
void FinishAction(HostService* service, int waitStatus) {
    const HostEvent event = service->actions.current.event;
    const bool succeeded = waitStatus >= 0 && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
    if (!succeeded && !event.file.empty() && service->settings.keepEvents != 1) {
        HostLog(HostLogWarning, "kept %s: its action failed", event.file.c_str());
    }
    EventFileDone(event, service->settings.keepEvents == 1 || !succeeded);
    if (service->hooks.actionEnded != nullptr) {
        service->hooks.actionEnded(service->hooks.context, event, waitStatus);
    }
}

// Starts the next queued action when none runs, releasing the scanner first
// when asked to; takes the scanner back once the queue is empty.
void RunActions(HostService* service) {
    ActionRunner* actions = &service->actions;
    while (!service->stopping && !ActionRunning(actions) && ActionsQueued(actions)) {
        if (service->settings.releaseDuringAction == 1 && service->lifecycle.watching) {
            StopWatching(service, "released to the action");
            service->lifecycle.released = true;
        }
        if (StartNextAction(actions) == 0) {
            if (service->hooks.actionStarted != nullptr) {
                service->hooks.actionStarted(service->hooks.context, actions->pid,
                                             actions->current.event);
            }
        } else {
            FinishAction(service, -1);
        }
    }
    if (!service->stopping && !ActionRunning(actions) && service->lifecycle.released) {
        service->lifecycle.released = false;
        StartWatching(service);
    }
}

// Reaps what actions left behind and has ended since (children of the
// host as their subreaper); the running action is reaped by ReapAction.
void ReapLeftovers(HostService* service) {
    ReapOrphans(&service->actions);
}

// One request from the control descriptor.
void ReadControl(HostService* service, int control, bool isSignalFd) {
    int request = 0;
    if (isSignalFd) {
        struct signalfd_siginfo info;
        if (read(control, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
            return;
        }
        switch (info.ssi_signo) {
            case SIGHUP:
                request = 'H';
                break;
            case SIGUSR1:
                request = '1';
                break;
            case SIGUSR2:
                request = '2';
                break;
            case SIGCHLD:
                request = 'C';
                break;
            default:
                request = 'T';
                break;
        }
    } else {
        char byte = 0;
        const ssize_t got = read(control, &byte, 1);
        request = got == 1 ? byte : 'T';  // a closed control ends the service too
        if (got < 0 && errno == EAGAIN) {
            return;
        }
    }
    switch (request) {
        case 'H':
            NotifyReloading();
            Reload(service);
            NotifyServiceManager("READY=1");
            break;
        case '1':
            LendScanner(service);
            break;
        case '2':
            TakeScannerBack(service);
            break;
        case 'C':
            ReapLeftovers(service);
            break;
        default:
            HostLog(HostLogInfo, "stopping");
            service->stopping = true;
            break;
    }
}

}  // namespace

int HostServiceInit(HostService* service, const HostOptions& options, const char* eventDirectory) {
    service->options = options;
    char error[512];
    std::string readFrom;
    if (LoadHostSettings(options, &service->fileSettings, &service->settings, &readFrom, error,
                         sizeof error) != 0) {
        HostLog(HostLogError, "%s", error);
        return kHostExitUsage;
    }
    if (ActionRunnerInit(&service->actions) != 0 || RetryBackoffInit(&service->retry) != 0) {
        HostLog(HostLogError, "cannot make the action timer: %s", std::strerror(errno));
        return kHostExitFailure;
    }
    if (NodeWatchOpen(&service->nodeWatch) != 0) {
        HostLog(HostLogWarning, "cannot follow the device node's permissions: %s",
                std::strerror(errno));  // access granted later then needs a replug
    }
    ApplySettings(service);
    HostLog(HostLogDebug, "configuration: %s", readFrom.empty() ? "no file" : readFrom.c_str());

    std::string pluginPath;
    if (ResolvePluginPath(service->settings.plugin, &pluginPath, error, sizeof error) != 0 ||
        LoadPlugin(pluginPath, &service->plugin, error, sizeof error) != 0) {
        HostLog(HostLogError, "%s", error);
        return kHostExitFailure;
    }
    int notices[2];
    if (pipe2(notices, O_CLOEXEC) != 0) {
        HostLog(HostLogError, "pipe: %s", std::strerror(errno));
        return kHostExitFailure;
    }
    service->noticeRead = notices[0];
    service->noticeWrite = notices[1];
    fcntl(service->noticeRead, F_SETFL, O_NONBLOCK);
    if (EventFilesOpen(&service->eventFiles, eventDirectory) != 0) {
        HostLog(HostLogError, "cannot watch %s for event files: %s", eventDirectory,
                std::strerror(errno));
        return kHostExitFailure;
    }
    service->lifecycle.plugin = &service->plugin;
    service->lifecycle.wanted.name = service->settings.device;
    service->lifecycle.wanted.locationSet = service->settings.locationSet;
    service->lifecycle.wanted.location = service->settings.location;
    service->lifecycle.callback = OnPress;
    service->lifecycle.context = service;

    if (options.trace) {
        UsbPlatformSetTraceHook(PrintTraceLine, nullptr);
    } else if (options.verbose > 1) {
        UsbPlatformSetTraceHook(LogTraceLine, nullptr);
    }
    UsbPlatformSetInterfaceEndHook(OnInterfaceEnded, service);
    if (options.simulate && PrepareDemo(options, &service->demo) != 0) {
        HostLog(HostLogError, "cannot attach the simulated ZN417");
        return kHostExitFailure;
    }
    return kHostExitOk;
}

int HostServiceRun(HostService* service, int control, bool isSignalFd) {
    service->thread = pthread_self();
    // Watching begins before the first look, so that no arrival falls between.
    const PlatformReturn watched = UsbWatchDevices(OnDevice, service, &service->deviceWatch);
    if (watched != PlatformOk) {
        HostLog(service->options.wait ? HostLogError : HostLogWarning,
                "cannot follow USB devices arriving and leaving: %s",
                UsbPlatformStatusName(watched));
        if (service->options.wait) {
            return kHostExitNoBackend;
        }
    }
    HostLog(HostLogInfo, "plug-in %s", service->plugin.path.c_str());
    StartWatching(service);
    if (service->demo != nullptr && !service->stopping) {
        PlayDemo(service->demo, OnDemoFinished, service);
    }
    // The signals are handled from here on (they were blocked until now).
    NotifyServiceManager("READY=1");
    while (!service->stopping) {
        ActionRunner* actions = &service->actions;
        struct pollfd fds[6] = {
            {control, POLLIN, 0},
            {service->noticeRead, POLLIN, 0},
            {actions->timerFd, POLLIN, 0},
            {actions->pidFd, POLLIN, 0},  // -1 while no action runs: ignored by poll
            {service->retry.timerFd, POLLIN, 0},
            {service->nodeWatch.fd, POLLIN, 0},
        };
        if (poll(fds, 6, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            HostLog(HostLogError, "poll: %s", std::strerror(errno));
            service->exitStatus = kHostExitFailure;
            break;
        }
        // Signals first: a reload applies to the presses reported with it,
        // and a stop is not held up by them.
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            ReadControl(service, control, isSignalFd);
        }
        if ((fds[1].revents & POLLIN) != 0 && !service->stopping) {
            ReadNotices(service);
        }
        int waitStatus = 0;
        if ((fds[3].revents & POLLIN) != 0 && ReapAction(actions, &waitStatus)) {
            FinishAction(service, waitStatus);
        }
        if ((fds[2].revents & POLLIN) != 0) {
            OnActionTimer(actions);
        }
        if ((fds[4].revents & POLLIN) != 0 && !service->stopping) {
            OnRetryDue(service);
        }
        if ((fds[5].revents & POLLIN) != 0 && !service->stopping) {
            OnNodeChanged(service);
        }
        RunActions(service);
        if (service->demoFinished && !ActionRunning(actions) && !ActionsQueued(actions)) {
            HostLog(HostLogInfo, "demo finished, stopping");
            service->stopping = true;
        }
    }
    NotifyServiceManager("STOPPING=1");
    // The stopped plug-in reports no more: every press it reported waits in
    // the notice pipe, and is logged with the queued ones.
    StopWatching(service, "the host stops");
    ReadNotices(service);
    DropQueuedActions(&service->actions);
    EndAllActions(&service->actions);
    UsbUnwatchDevices(service->deviceWatch);
    service->deviceWatch = nullptr;
    HostLog(HostLogInfo, "stopped");
    return service->exitStatus;
}

void HostServiceRelease(HostService* service) {
    EndAllActions(&service->actions);
    StopWatching(service, "the host stops");
    UsbUnwatchDevices(service->deviceWatch);
    service->deviceWatch = nullptr;
    FinishDemo(service->demo);
    service->demo = nullptr;
    UsbPlatformSetTraceHook(nullptr, nullptr);
    UsbPlatformSetInterfaceEndHook(nullptr, nullptr);
    ActionRunnerRelease(&service->actions);
    RetryBackoffRelease(&service->retry);
    NodeWatchRelease(&service->nodeWatch);
    EventFilesClose(&service->eventFiles);
    for (int* fd : {&service->noticeRead, &service->noticeWrite}) {
        if (*fd >= 0) {
            close(*fd);
        }
        *fd = -1;
    }
    UnloadPlugin(&service->plugin);
}
