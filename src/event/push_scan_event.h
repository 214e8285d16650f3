// SPDX-License-Identifier: MIT
// The push-scan event file: for each accepted button press, one XML property
// list in /tmp that describes the event, written before the host is called.
#pragma once

#include <cstdint>

// Writes the event file for one press: the dictionary "FileID", "Version",
// "Connection", "DeviceName" (deviceName, UTF-8), "PortName" (portNumber as
// signed decimal text) and "EventData" (eventCount bytes from eventBytes) as an
// XML property list, to /tmp/TRNV.<local time as %Y%m%d%H%M%S>.plist with mode
// 0666. Returns 0 once the file is complete and closed; -1 otherwise, leaving
// no file behind. An existing entry of any kind at the name is never replaced
// or written through: the press is refused with -1. An XML text of 8192 bytes
// or more is not written.
int32_t WritePushScanEvent(const char* deviceName, int32_t portNumber, const uint8_t* eventBytes,
                           int32_t eventCount);
