// SPDX-License-Identifier: MIT
// How the host reads and prints the property list of an event file.
#pragma once

#include <cstdint>
#include <cstdio>

// Reads the event file's "PortName" (the location ID as signed decimal text)
// and "EventData" (up to `capacity` bytes into `data`, its length to
// *dataLength). 0, or -1 when the file cannot be read, is no dictionary, or
// lacks either entry.
int ReadEventFile(const char* path, int32_t* portName, uint8_t* data, uint32_t capacity,
                  uint32_t* dataLength);

// Prints the property list at `path`, one "  key: value" line per entry in the
// file's order; data values as hexadecimal bytes. Returns 0, or -1 (with a
// message on `out`) when the file cannot be read or is not a dictionary.
int PrintEventFile(FILE* out, const char* path);
