// Levelled stderr logging with the journal's priority prefixes.
#include "host_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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
    // One fprintf per line: stdio locks the stream, so threads never interleave.
    if (gJournal.load(std::memory_order_relaxed)) {
        std::fprintf(stderr, "<%d>%s\n", kPriorities[level], text);
    } else if (level <= HostLogWarning) {
        std::fprintf(stderr, "zn417-host: %s: %s\n", kLevelNames[level], text);
    } else {
        std::fprintf(stderr, "zn417-host: %s\n", text);
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
