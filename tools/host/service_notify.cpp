// SPDX-License-Identifier: MIT
// The notify protocol is one datagram of "KEY=value" lines on an AF_UNIX
// socket, the path in $NOTIFY_SOCKET ("@" for the abstract namespace). It is
// written here rather than taken from libsystemd: these few lines are all
// of the protocol the host needs, and the host then links no library of the
// service manager it may run without.
#include "service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void NotifyServiceManager(const char* state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@')) {
        return;
    }
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) {
        return;
    }
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') {
        address.sun_path[0] = '\0';
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return;
    }
    const socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length);
    sendto(fd, state, std::strlen(state), MSG_NOSIGNAL,
           reinterpret_cast<const struct sockaddr*>(&address), size);
    close(fd);
}

void NotifyReloading() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char state[96];
    std::snprintf(state, sizeof state, "RELOADING=1\nMONOTONIC_USEC=%lld",
                  static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
    NotifyServiceManager(state);
}
