// SPDX-License-Identifier: MIT
// Internal entry points of the event file writer, for tests and for the
// plug-in's own wiring; the shipped plug-in exports none of them.
#pragma once

#include <cstdint>
#include <ctime>

// The directory that WritePushScanEvent writes to.
constexpr const char* kEventDirectory = "/tmp";

// The clock that names event files: the platform's calendar time, which
// tests can make virtual. It is the writer's only time source.
time_t EventFileClock();

// WritePushScanEvent with the directory (no trailing slash) and the time that
// names the file given by the caller: the file is
// <directory>/TRNV.<when as local %Y%m%d%H%M%S>.plist.
int32_t WritePushScanEventAt(const char* directory, time_t when, const char* deviceName,
                             int32_t portNumber, const uint8_t* eventBytes, int32_t eventCount);

// Makes, while the plug-in is idle, the unnamed file that the next event
// written to `directory` goes into, so that a press only fills and names it.
// Nothing when one is ready for that directory (one for another directory is
// closed). Without it, or where the file system has no unnamed files, a press
// makes its file itself. Nothing appears in the directory until a press.
void PreparePushScanEventAt(const char* directory);

// PreparePushScanEventAt for the directory WritePushScanEvent writes to.
void PreparePushScanEvent();

// PreparePushScanEventAt, and the prepared file made to hold already the
// text of the next event if it has this device name, port number and count
// of event bytes: a press with those only writes its bytes into it and names
// it, and any other press formats its own. The file is the same either way.
void PreparePushScanEventFor(const char* directory, const char* deviceName, int32_t portNumber,
                             int32_t eventCount);

// Closes the prepared file, if any; it has no name, so nothing remains.
void ReleasePreparedPushScanEvent();

// Off, the writer acts as on a file system without unnamed files (O_TMPFILE):
// nothing is prepared and each press creates its file by name. On by default.
void SetUnnamedEventFilesUsable(bool usable);
