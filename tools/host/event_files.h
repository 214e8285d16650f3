// SPDX-License-Identifier: MIT
// Event files: the host learns each file's exact name from inotify on the
// event directory, matches it to the press the plug-in reported (the file is
// written before the callback runs, so its name is already known then), reads
// the press from it, and removes it once its action has finished.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "actions.h"

// The inotify queue is read only when a press is reported, so that files
// other programs write into /tmp never wake the host; should the queue
// overflow meanwhile, the directory is searched instead.
struct EventFileWatch {
    int fd = -1;  // inotify, non-blocking
    std::string directory;
    std::deque<std::string> names;  // event files written and not yet claimed, oldest first
    bool overflowed = false;        // names may be missing
};

// Watches `directory` (the plug-in writes to /tmp). 0, or -1 with errno.
int EventFilesOpen(EventFileWatch* watch, const char* directory);

void EventFilesClose(EventFileWatch* watch);

// Notes the event files written since the last call; never blocks.
void EventFilesRead(EventFileWatch* watch);

// For a press the plug-in just reported at `location`: reads the pending
// notifications, then takes the oldest noted file written for that location
// and fills the event's file, button and event data from it. False when no
// such file was written (the event keeps an empty file). After an overflow
// the newest such file of the last minute in the directory is taken.
bool EventFilesClaim(EventFileWatch* watch, int32_t location, HostEvent* event);

// Removes the event's file unless `keep`; nothing for an event without one.
void EventFileDone(const HostEvent& event, bool keep);
