// SPDX-License-Identifier: MIT
// The host's log: one line per message on stderr, filtered by level. When
// stderr is the journal's stream each line starts with its syslog priority,
// "<3>" to "<7>", so that the journal files it right.
#pragma once

enum HostLogLevel : int {
    HostLogError = 0,
    HostLogWarning = 1,
    HostLogInfo = 2,
    HostLogDebug = 3,
};

// Messages above `level` are dropped. The default is HostLogInfo.
void HostLogSetLevel(HostLogLevel level);
HostLogLevel HostLogGetLevel();

// Whether lines carry the journal's priority prefix: when JOURNAL_STREAM's
// "device:inode" is stderr's, as systemd documents; decided here. Also lets
// go of the descriptor kept for writing stderr: call it again after
// redirecting stderr, so that the old file is no longer held open.
void HostLogSetup();

// Writes one line (a newline is added). Safe from any thread.
void HostLog(HostLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// "error", "warning", "info" or "debug". False for anything else.
bool ParseHostLogLevel(const char* text, HostLogLevel* level);
