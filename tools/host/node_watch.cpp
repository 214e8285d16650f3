// SPDX-License-Identifier: MIT
// The node's inotify watch.
#include "node_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

int NodeWatchOpen(NodeWatch* watch) {
    watch->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return watch->fd >= 0 ? 0 : -1;
}

void NodeWatchRelease(NodeWatch* watch) {
    if (watch->fd >= 0) {
        close(watch->fd);
    }
    *watch = NodeWatch{};
}

bool NodeWatchFollow(NodeWatch* watch, const char* node) {
    if (watch->fd < 0 || node == nullptr || node[0] == '\0') {
        return false;
    }
    if (watch->watch >= 0 && watch->node == node) {
        return true;
    }
    NodeWatchStop(watch);
    watch->watch = inotify_add_watch(watch->fd, node, IN_ATTRIB | IN_DELETE_SELF);
    if (watch->watch < 0) {
        return false;
    }
    watch->node = node;
    return true;
}

void NodeWatchStop(NodeWatch* watch) {
    if (watch->watch >= 0) {
        inotify_rm_watch(watch->fd, watch->watch);
    }
    watch->watch = -1;
    watch->node.clear();
}

bool NodeWatchChanged(NodeWatch* watch) {
    alignas(struct inotify_event) char buffer[4096];
    bool changed = false;
    for (;;) {
        const ssize_t got = read(watch->fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;  // drained (EAGAIN)
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            if (event->wd == watch->watch) {
                changed = true;
                if ((event->mask & (IN_DELETE_SELF | IN_IGNORED)) != 0) {
                    watch->watch = -1;  // the kernel dropped the watch with the node
                    watch->node.clear();
                }
            }
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
    return changed;
}
