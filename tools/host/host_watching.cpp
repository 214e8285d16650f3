// SPDX-License-Identifier: MIT
// Starting, retrying, lending and access of the host's watch.
#include "host_watching.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "host_log.h"

namespace {

// The device found last, whatever stopped the start: its node tells where
// to wait for access.
bool CurrentNodeAccessible(const HostService* service, bool* accessible) {
    std::vector<UsbDeviceInfo> scanners;
    if (ListScanners(&scanners) != PlatformOk) {
        return false;
    }
    for (const UsbDeviceInfo& device : scanners) {
        if (std::strcmp(device.name, service->lifecycle.device.name) == 0) {
            *accessible = device.accessible;
            return true;
        }
    }
    return false;
}

void LogWaiting(HostService* service, DeviceProblem problem, const char* message) {
    if (service->hooks.waiting != nullptr) {
        service->hooks.waiting(service->hooks.context, problem);
    }
    // A new problem, or the same one with news (another device now, say).
    const bool newEpisode = problem != service->waitingFor || service->waitingMessage != message;
    service->waitingFor = problem;
    service->waitingMessage = message;
    if (!newEpisode) {
        HostLog(HostLogDebug, "still waiting: %s", message);
        return;
    }
    switch (problem) {
        case DeviceMissing:
            HostLog(HostLogInfo, "%s", message);
            HostLog(HostLogInfo, "waiting for the scanner to be plugged in (or replugged)");
            break;
        case DeviceBusy:
        case DeviceOpenFailed:
            HostLog(HostLogWarning, "%s", message);
            HostLog(HostLogInfo, "trying again after a growing delay (first in %lld ms)",
                    static_cast<long long>(service->retry.nextMs));
            break;
        case DeviceDenied:
            HostLog(HostLogWarning, "%s", message);
            HostLog(HostLogInfo, "waiting for access to %s",
                    service->lifecycle.device.node[0] != '\0' ? service->lifecycle.device.node
                                                              : "the device (or a replug)");
            break;
        case DeviceAmbiguous:
            HostLog(HostLogWarning, "%s", message);
            HostLog(HostLogInfo, "waiting until one ZN417 is left");
            break;
        default:
            HostLog(HostLogError, "%s", message);
            HostLog(HostLogInfo, "waiting for the scanner to be plugged in (or replugged)");
            break;
    }
}

}  // namespace

void NotifyWatching(HostService* service, bool watching) {
    if (service->hooks.watching != nullptr) {
        service->hooks.watching(service->hooks.context, watching, service->lifecycle.device);
    }
}

void StartWatching(HostService* service) {
    if (service->lent || service->lifecycle.watching || service->stopping) {
        return;
    }
    RetryBackoffCancel(&service->retry);
    char message[512];
    service->watchGeneration.fetch_add(1, std::memory_order_acq_rel);
    const DeviceProblem problem = LifecycleStart(&service->lifecycle, message, sizeof message);
    if (problem == DeviceReady) {
        if (service->waitingFor == DeviceBusy || service->waitingFor == DeviceDenied) {
            HostLog(HostLogInfo, "%s is free to use now: taken",
                    service->lifecycle.device.name);
        }
        service->waitingFor = DeviceReady;
        RetryBackoffWatchBegan(&service->retry);
        // Access can be withdrawn while watching (the seat switches away).
        NodeWatchFollow(&service->nodeWatch, service->lifecycle.device.node);
        NotifyWatching(service, true);
        return;
    }
    if (!service->options.wait) {
        HostLog(HostLogError, "%s", message);
        service->exitStatus = problem == DeviceOpenFailed ? kHostExitFailure
                                                          : ExitStatusOf(problem);
        service->stopping = true;
        return;
    }
    // Busy, or the plug-in refused to start (held meanwhile, say): both mend
    // themselves when the other program lets go.
    if (problem == DeviceBusy || problem == DeviceOpenFailed) {
        LogWaiting(service, problem, message);
        RetryBackoffSchedule(&service->retry);
        return;
    }
    if (problem == DeviceDenied &&
        !NodeWatchFollow(&service->nodeWatch, service->lifecycle.device.node)) {
        HostLog(HostLogDebug, "cannot follow the node %s: waiting for a replug",
                service->lifecycle.device.node);
    }
    LogWaiting(service, problem, message);
}

void StopWatching(HostService* service, const char* why) {
    const bool was = service->lifecycle.watching;
    service->watchGeneration.fetch_add(1, std::memory_order_acq_rel);
    LifecycleStop(&service->lifecycle, why);
    if (was) {
        RetryBackoffWatchEnded(&service->retry);
        NotifyWatching(service, false);
    }
}

void OnWatchEnded(HostService* service, uint32_t generation, const UsbInterfaceEnd& end) {
    if (!service->lifecycle.watching ||
        generation != service->watchGeneration.load(std::memory_order_acquire)) {
        return;  // released by a stop of ours, or a watch already reclaimed
    }
    if (end.status == PlatformErrNoDevice) {
        return;  // unplugged: the departure follows and is handled as such
    }
    char reason[96];
    if (end.operation[0] != '\0') {
        std::snprintf(reason, sizeof reason, "%s on pipe %u failed: %s (0x%08X)", end.operation,
                      end.pipeRef, UsbPlatformStatusName(end.status),
                      static_cast<uint32_t>(end.status));
    } else {
        std::snprintf(reason, sizeof reason, "the plug-in released the scanner");
    }
    HostLog(HostLogWarning, "the watch of %s ended by itself: %s", service->lifecycle.device.name,
            reason);
    StopWatching(service, "its watch ended");  // reclaims the plug-in's state
    if (!service->options.wait) {
        service->exitStatus = kHostExitWatchEnded;
        service->stopping = true;
        return;
    }
    const int64_t delay = RetryBackoffSchedule(&service->retry);
    HostLog(HostLogInfo, "watching again in %lld ms", static_cast<long long>(delay));
}

void OnRetryDue(HostService* service) {
    if (!RetryBackoffDue(&service->retry)) {
        return;
    }
    if (service->lifecycle.released) {
        return;  // an action holds the scanner; it is taken back when the action ends
    }
    StartWatching(service);
}

void OnNodeChanged(HostService* service) {
    if (!NodeWatchChanged(&service->nodeWatch) || service->lent) {
        return;
    }
    bool accessible = false;
    if (!CurrentNodeAccessible(service, &accessible)) {
        return;  // gone: the departure says so
    }
    if (service->lifecycle.watching && !accessible) {
        HostLog(HostLogInfo, "access to %s was withdrawn (another seat's user?)",
                service->lifecycle.device.name);
        StopWatching(service, "access withdrawn: released for whoever may use it now");
        service->waitingFor = DeviceDenied;
        HostLog(HostLogInfo, "waiting for access to %s", service->lifecycle.device.node);
    } else if (!service->lifecycle.watching && accessible &&
               service->waitingFor == DeviceDenied && !service->lifecycle.released) {
        HostLog(HostLogInfo, "access to %s was granted", service->lifecycle.device.name);
        StartWatching(service);
    }
}

void LendScanner(HostService* service) {
    if (service->lent) {
        return;
    }
    HostLog(HostLogInfo, "lending the scanner to other programs (SIGUSR1) until SIGUSR2");
    service->lent = true;
    RetryBackoffCancel(&service->retry);
    StopWatching(service, "lent to other programs");
}

void TakeScannerBack(HostService* service) {
    if (!service->lent) {
        return;
    }
    HostLog(HostLogInfo, "taking the scanner back (SIGUSR2)");
    service->lent = false;
    service->waitingFor = DeviceReady;  // a new episode: its problem is logged
    if (service->lifecycle.released) {
        return;  // an action holds it; taken back when the action ends
    }
    StartWatching(service);
}
