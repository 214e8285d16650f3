// Event files: the host learns each file's exact name from inotify on the
// event directory, matches it to the press the plug-in reported (the file is
// written before the callback runs, so its name is already known then), reads
// the press from it, and removes it once its action has finished.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "actions.h"

struct EventFileWatch {
    int fd = -1;  // inotify; readable when a file was written into the directory
    std::string directory;
    std::deque<std::string> names;  // event files written and not yet claimed, oldest first
};

// Watches `directory` (the plug-in writes to /tmp). 0, or -1 with errno.
int EventFilesOpen(EventFileWatch* watch, const char* directory);

void EventFilesClose(EventFileWatch* watch);

// Notes the event files written since the last call; never blocks.
void EventFilesRead(EventFileWatch* watch);

// For a press the plug-in just reported at `location`: reads the pending
// notifications, then takes the oldest noted file written for that location
// and fills the event's file, button and event data from it. False when no
// such file was written (the event keeps an empty file).
bool EventFilesClaim(EventFileWatch* watch, int32_t location, HostEvent* event);

// Removes the event's file unless `keep`; nothing for an event without one.
void EventFileDone(const HostEvent& event, bool keep);
