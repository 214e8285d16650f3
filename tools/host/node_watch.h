// SPDX-License-Identifier: MIT
// Following the scanner's device node for permission changes: an inotify
// watch for IN_ATTRIB (a mode or ACL change, as when a seat's user is given
// the node or loses it), so that the host learns of access granted or
// withdrawn at once and never polls.
#pragma once

#include <string>

struct NodeWatch {
    int fd = -1;       // the inotify descriptor; readable on a change
    int watch = -1;    // the node's watch; -1 when none
    std::string node;  // the node followed; empty when none
};

// 0, or -1 when inotify cannot be had.
int NodeWatchOpen(NodeWatch* watch);
void NodeWatchRelease(NodeWatch* watch);

// Follows `node` (replacing the node followed before). False when it cannot
// be watched (no node, or inotify refuses it).
bool NodeWatchFollow(NodeWatch* watch, const char* node);

// Stops following the node.
void NodeWatchStop(NodeWatch* watch);

// After fd became readable: drains it; true when the node's attributes
// changed (or it went away, which ends the following).
bool NodeWatchChanged(NodeWatch* watch);
