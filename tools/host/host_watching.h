// SPDX-License-Identifier: MIT
// Keeping the host's watch alive: starting the plug-in and saying why it
// cannot start, retrying a busy scanner or a watch that ended by itself
// after a growing delay, waiting for access to the node, and lending the
// scanner to other programs on request. Runs on the service's thread.
#pragma once

#include "host_service.h"

// Starts the plug-in for the wanted device unless it watches already or the
// scanner is lent. Without --wait a problem ends the host with its status;
// with --wait the host waits (logged once per episode): a busy interface (or
// a plug-in that refused to start) is tried again after the backoff, a node this user may not open is followed
// until access is granted, other problems wait for the next arrival.
void StartWatching(HostService* service);

// Stops the plug-in if it watches; `why` is logged.
void StopWatching(HostService* service, const char* why);

// The plug-in's thread released its interface: when it belongs to the
// current watch, the watch ended by itself; `end` says why.
void OnWatchEnded(HostService* service, uint32_t generation, const UsbInterfaceEnd& end);

// The retry timer fired.
void OnRetryDue(HostService* service);

// The node's permissions changed: access granted starts the watch, access
// withdrawn stops it and releases the scanner.
void OnNodeChanged(HostService* service);

// SIGUSR1 and SIGUSR2: lend the scanner (plug-in stopped, interface
// released) and take it back.
void LendScanner(HostService* service);
void TakeScannerBack(HostService* service);

// Tells the hook of the watching state.
void NotifyWatching(HostService* service, bool watching);
