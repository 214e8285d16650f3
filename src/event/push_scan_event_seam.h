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
