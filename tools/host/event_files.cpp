// SPDX-License-Identifier: MIT
// inotify on the event directory, and the files it names.
#include "event_files.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "event_report.h"
#include "host_log.h"

namespace {

constexpr size_t kNamesKept = 64;  // files of other programs are forgotten after this many
constexpr uint32_t kEventDataSize = 32;
constexpr uint32_t kButtonOffset = 4;

bool IsEventFileName(const char* name) {
    const size_t length = std::strlen(name);
    return std::strncmp(name, "TRNV.", 5) == 0 && length > 11 &&
           std::strcmp(name + length - 6, ".plist") == 0;
}

// Fills the event from the file at `path` when it was written for `location`.
bool ReadPress(const std::string& path, int32_t location, HostEvent* event) {
    int32_t port = 0;
    uint8_t data[kEventDataSize] = {};
    uint32_t length = 0;
    if (ReadEventFile(path.c_str(), &port, data, sizeof data, &length) != 0 || port != location) {
        return false;  // another program's file, or one already gone
    }
    event->file = path;
    event->button = length > kButtonOffset ? data[kButtonOffset] : 0;
    static const char kHex[] = "0123456789abcdef";
    event->eventData.clear();
    for (uint32_t i = 0; i < length; ++i) {
        event->eventData += kHex[data[i] >> 4];
        event->eventData += kHex[data[i] & 0x0F];
    }
    return true;
}

// The newest event file for `location` written in the last minute, by a
// search of the directory.
bool SearchDirectory(const std::string& directory, int32_t location, HostEvent* event) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return false;
    }
    std::string newest;
    time_t newestTime = time(nullptr) - 60;
    while (const struct dirent* entry = readdir(dir)) {
        const std::string path = directory + "/" + entry->d_name;
        struct stat info;
        if (IsEventFileName(entry->d_name) && stat(path.c_str(), &info) == 0 &&
            info.st_mtime >= newestTime) {
            HostEvent candidate;
            if (ReadPress(path, location, &candidate)) {
                newest = path;
                newestTime = info.st_mtime;
            }
        }
    }
    closedir(dir);
    return !newest.empty() && ReadPress(newest, location, event);
}

}  // namespace

int EventFilesOpen(EventFileWatch* watch, const char* directory) {
    watch->directory = directory;
    watch->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch->fd < 0) {
        return -1;
    }
    // The plug-in names an unnamed file it has written (a link: IN_CREATE),
    // or creates the file by name and writes it (IN_CREATE, IN_CLOSE_WRITE).
    // Either way the file is whole by the time the plug-in reports the press,
    // which is when the names are read.
    if (inotify_add_watch(watch->fd, directory, IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        const int saved = errno;
        EventFilesClose(watch);
        errno = saved;
        return -1;
    }
    return 0;
}

void EventFilesClose(EventFileWatch* watch) {
    if (watch->fd >= 0) {
        close(watch->fd);
    }
    watch->fd = -1;
    watch->names.clear();
}

void EventFilesRead(EventFileWatch* watch) {
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = read(watch->fd, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        for (ssize_t offset = 0; offset < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                watch->overflowed = true;
            } else if (event->len > 0 && IsEventFileName(event->name) &&
                       std::find(watch->names.begin(), watch->names.end(), event->name) ==
                           watch->names.end()) {
                watch->names.emplace_back(event->name);
                if (watch->names.size() > kNamesKept) {
                    watch->names.pop_front();
                }
            }
            offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
}

bool EventFilesClaim(EventFileWatch* watch, int32_t location, HostEvent* event) {
    EventFilesRead(watch);
    for (auto name = watch->names.begin(); name != watch->names.end(); ++name) {
        if (ReadPress(watch->directory + "/" + *name, location, event)) {
            watch->names.erase(watch->names.begin(), name + 1);  // older ones are not ours
            return true;
        }
    }
    if (watch->overflowed) {
        watch->overflowed = false;
        HostLog(HostLogWarning, "too many files were written to %s: searching it",
                watch->directory.c_str());
        return SearchDirectory(watch->directory, location, event);
    }
    return false;
}

void EventFileDone(const HostEvent& event, bool keep) {
    if (keep || event.file.empty()) {
        return;
    }
    if (unlink(event.file.c_str()) != 0 && errno != ENOENT) {
        HostLog(HostLogWarning, "cannot remove %s: %s", event.file.c_str(), std::strerror(errno));
    }
}
