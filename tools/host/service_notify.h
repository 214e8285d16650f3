// SPDX-License-Identifier: MIT
// Readiness and state notices to the service manager (systemd's Type=notify):
// one datagram per notice to the socket $NOTIFY_SOCKET names; nothing when
// it is unset.
#pragma once

// Sends `state` ("READY=1", "STOPPING=1", ...). Never blocks; a notice that
// cannot be sent is dropped (the manager's own timeout then speaks).
void NotifyServiceManager(const char* state);

// RELOADING=1 with the monotonic time the manager wants alongside it.
void NotifyReloading();
