// How the reference host finds and prints the event file of a button press.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>

// Finds the event file that the plug-in wrote for a press reported at `when`:
// the newest of <directory>/TRNV.<local time>.plist for `when` and the two
// seconds before it that exists and differs from `previous` (the file of the
// previous event, or ""). Returns 0 and the path, or -1 when there is none.
int FindEventFile(const char* directory, time_t when, const char* previous, char* path,
                  size_t pathSize);

// Prints the property list at `path`, one "  key: value" line per entry in the
// file's order; data values as hexadecimal bytes. Returns 0, or -1 (with a
// message on `out`) when the file cannot be read or is not a dictionary.
int PrintEventFile(FILE* out, const char* path);
