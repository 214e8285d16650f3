// SPDX-License-Identifier: MIT
// Levelled stderr logging with the journal's priority prefixes.
#include "host_log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::atomic<int> gLevel{HostLogInfo};
std::atomic<bool> gJournal{false};

// syslog priorities: err, warning, info, debug.
constexpr int kPriorities[] = {3, 4, 6, 7};
constexpr const char* kLevelNames[] = {"error", "warning", "info", "debug"};

// The write path never blocks: a stalled reader of stderr (a full pipe, a
// stopped terminal) must not stall the host's loop. A line that cannot be
// written whole at once is dropped and counted; the count is logged before
// the next line that gets through. Lines are rare, so one lock keeps the
// chosen way and the host's own descriptor consistent between threads.
enum WriteWay : int { kWayUnknown, kWayPlain, kWaySocket, kWayOwnDescriptor };
std::mutex gWriteLock;
int gWay = kWayUnknown;
int gOwnFd = -1;
dev_t gStderrDevice = 0;  // what stderr was when the way was chosen
ino_t gStderrInode = 0;
unsigned long gDropped = 0;

void ForgetWay() {
    if (gOwnFd >= 0) {
        close(gOwnFd);
    }
    gOwnFd = -1;
    gWay = kWayUnknown;
}

// How to write stderr without blocking: sockets (the journal's stream) take
// MSG_DONTWAIT; pipes and terminals are reopened non-blocking through
// /proc, which gives the host a file description of its own (setting
// O_NONBLOCK on the shared one would surprise the shell that shares it);
// regular files never block.
int ChooseWay(const struct stat& info) {
    if (S_ISREG(info.st_mode)) {
        return kWayPlain;
    }
    if (S_ISSOCK(info.st_mode)) {
        return kWaySocket;
    }
    gOwnFd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    return gOwnFd >= 0 ? kWayOwnDescriptor : kWayPlain;  // plain: poll decides below
}

// One whole line, at once or not at all (lines are shorter than PIPE_BUF,
// so a pipe takes them whole). Called under gWriteLock.
bool WriteNow(const char* text, size_t length) {
    struct stat info;
    if (fstat(STDERR_FILENO, &info) != 0) {
        return false;
    }
    // stderr redirected since the way was chosen (dup2 by a caller): choose
    // again, so that the old file is neither written nor kept open.
    if (gWay != kWayUnknown && (info.st_dev != gStderrDevice || info.st_ino != gStderrInode)) {
        ForgetWay();
    }
    if (gWay == kWayUnknown) {
        gWay = ChooseWay(info);
        gStderrDevice = info.st_dev;
        gStderrInode = info.st_ino;
    }
    ssize_t written;
    if (gWay == kWaySocket) {
        written = send(STDERR_FILENO, text, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written < 0 && errno == ENOTSOCK) {
            written = write(STDERR_FILENO, text, length);
        }
    } else if (gWay == kWayOwnDescriptor) {
        written = write(gOwnFd, text, length);
    } else {
        struct pollfd ready {STDERR_FILENO, POLLOUT, 0};
        if (!S_ISREG(info.st_mode) &&
            (poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0)) {
            return false;
        }
        written = write(STDERR_FILENO, text, length);
    }
    return written == static_cast<ssize_t>(length);
}

void WriteLine(const char* text, size_t length) {
    std::lock_guard<std::mutex> guard(gWriteLock);
    if (gDropped > 0) {
        char note[96];
        const int noteLength = std::snprintf(
            note, sizeof note, "%s%lu log line%s could not be written\n",
            gJournal.load(std::memory_order_relaxed) ? "<4>" : "zn417-host: warning: ", gDropped,
            gDropped == 1 ? "" : "s");
        if (!WriteNow(note, static_cast<size_t>(noteLength))) {
            ++gDropped;
            return;
        }
        gDropped = 0;
    }
    if (!WriteNow(text, length)) {
        ++gDropped;
    }
}

}  // namespace

void HostLogSetLevel(HostLogLevel level) {
    gLevel.store(level, std::memory_order_relaxed);
}

HostLogLevel HostLogGetLevel() {
    return static_cast<HostLogLevel>(gLevel.load(std::memory_order_relaxed));
}

namespace {

bool StderrIsJournalStream(const char* journalStream) {
    // systemd gives the stream as "device:inode" of stderr's socket; a
    // program that inherits the variable but writes elsewhere must not match.
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char end = 0;
    struct stat info;
    return journalStream != nullptr &&
           std::sscanf(journalStream, "%llu:%llu%c", &device, &inode, &end) == 2 &&
           fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

}  // namespace

void HostLogSetup() {
    {
        std::lock_guard<std::mutex> guard(gWriteLock);
        ForgetWay();  // stderr may have changed; the next line chooses anew
    }
    gJournal.store(StderrIsJournalStream(std::getenv("JOURNAL_STREAM")),
                   std::memory_order_relaxed);
}

void HostLog(HostLogLevel level, const char* format, ...) {
    if (level > gLevel.load(std::memory_order_relaxed)) {
        return;
    }
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    // One write per line, so that threads never interleave.
    char line[1100];
    int length;
    if (gJournal.load(std::memory_order_relaxed)) {
        length = std::snprintf(line, sizeof line, "<%d>%s\n", kPriorities[level], text);
    } else if (level <= HostLogWarning) {
        length = std::snprintf(line, sizeof line, "zn417-host: %s: %s\n", kLevelNames[level], text);
    } else {
        length = std::snprintf(line, sizeof line, "zn417-host: %s\n", text);
    }
    if (length > 0) {
        size_t size = static_cast<size_t>(length);
        if (size >= sizeof line) {  // cut: it still ends its line
            size = sizeof line - 1;
            line[size - 1] = '\n';
        }
        WriteLine(line, size);
    }
}

bool ParseHostLogLevel(const char* text, HostLogLevel* level) {
    for (int i = 0; i < 4; ++i) {
        if (std::strcmp(text, kLevelNames[i]) == 0) {
            *level = static_cast<HostLogLevel>(i);
            return true;
        }
    }
    return false;
}
