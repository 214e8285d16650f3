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

namespace {

std::atomic<int> gLevel{HostLogInfo};
std::atomic<bool> gJournal{false};

// syslog priorities: err, warning, info, debug.
constexpr int kPriorities[] = {3, 4, 6, 7};
constexpr const char* kLevelNames[] = {"error", "warning", "info", "debug"};

// The write path never blocks: a stalled reader of stderr (a full pipe, a
// stopped terminal) must not stall the host's loop. A line that cannot be
// written whole at once is dropped and counted; the count is logged before
// the next line that gets through.
enum WriteWay : int { kWayUnknown, kWayPlain, kWaySocket, kWayOwnDescriptor };
std::atomic<int> gWay{kWayUnknown};
std::atomic<int> gOwnFd{-1};
std::atomic<unsigned long> gDropped{0};

// How to write stderr without blocking: sockets (the journal's stream) take
// MSG_DONTWAIT; pipes and terminals are reopened non-blocking through
// /proc, which gives the host a file description of its own (setting
// O_NONBLOCK on the shared one would surprise the shell that shares it);
// regular files never block.
int ChooseWay() {
    struct stat info;
    if (fstat(STDERR_FILENO, &info) != 0 || S_ISREG(info.st_mode)) {
        return kWayPlain;
    }
    if (S_ISSOCK(info.st_mode)) {
        return kWaySocket;
    }
    const int own = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own < 0) {
        return kWayPlain;  // poll decides below
    }
    gOwnFd.store(own, std::memory_order_release);
    return kWayOwnDescriptor;
}

// One whole line, at once or not at all (lines are shorter than PIPE_BUF,
// so a pipe takes them whole).
bool WriteNow(const char* text, size_t length) {
    int way = gWay.load(std::memory_order_acquire);
    if (way == kWayUnknown) {
        static std::atomic_flag choosing = ATOMIC_FLAG_INIT;
        if (!choosing.test_and_set()) {
            gWay.store(way = ChooseWay(), std::memory_order_release);
        } else {
            way = kWayPlain;  // another thread chooses meanwhile
        }
    }
    ssize_t written;
    if (way == kWaySocket) {
        written = send(STDERR_FILENO, text, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written < 0 && errno == ENOTSOCK) {
            written = write(STDERR_FILENO, text, length);
        }
    } else if (way == kWayOwnDescriptor) {
        written = write(gOwnFd.load(std::memory_order_acquire), text, length);
    } else {
        struct pollfd ready {STDERR_FILENO, POLLOUT, 0};
        struct stat info;
        const bool file = fstat(STDERR_FILENO, &info) == 0 && S_ISREG(info.st_mode);
        if (!file && (poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0)) {
            return false;
        }
        written = write(STDERR_FILENO, text, length);
    }
    return written == static_cast<ssize_t>(length);
}

void WriteLine(const char* text, size_t length) {
    const unsigned long dropped = gDropped.exchange(0, std::memory_order_acq_rel);
    if (dropped > 0) {
        char note[96];
        const int noteLength = std::snprintf(
            note, sizeof note, "%s%lu log line%s could not be written\n",
            gJournal.load(std::memory_order_relaxed) ? "<4>" : "zn417-host: warning: ", dropped,
            dropped == 1 ? "" : "s");
        if (!WriteNow(note, static_cast<size_t>(noteLength))) {
            gDropped.fetch_add(dropped + 1, std::memory_order_acq_rel);
            return;
        }
    }
    if (!WriteNow(text, length)) {
        gDropped.fetch_add(1, std::memory_order_acq_rel);
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
