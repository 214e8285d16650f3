// SPDX-License-Identifier: MIT
// The event file's text and name, for the event file writer: the event
// dictionary serialised as an XML property list, and the path of its file.
#pragma once

#include <cstdint>
#include <ctime>

constexpr uint64_t kEventPathSize = 1024;   // the path buffer, NUL included
constexpr uint32_t kEventTextLimit = 8192;  // the XML text and its NUL must fit
constexpr int32_t kSplicedDataLimit = 48;   // event bytes whose base64 stays on one line
constexpr uint32_t kEncodedDataLimit = 4 * (kSplicedDataLimit / 3) + 1;

// Where the port number's text is formatted: a scratch buffer from the
// runtime allocator for a press, one on the stack for the text prepared while
// idle, which thus takes nothing that a press could then find missing.
enum class Scratch { Heap, Stack };

// The XML text of the event dictionary ("FileID", "Version", "Connection",
// "DeviceName", "PortName", "EventData", in that order), NUL-terminated, to be
// freed with plist_to_xml_free; null when it cannot be made.
char* SerialiseEvent(const char* deviceName, int32_t portNumber, const uint8_t* eventBytes,
                     int32_t eventCount, uint32_t* length, Scratch scratch);

// True when the text is well-formed UTF-8 and holds only characters that XML
// 1.0 allows, so that a reader of property lists can load the file.
bool IsXmlText(const char* text, uint32_t length);

// <directory>/TRNV.<local time>.plist into `path` (kEventPathSize bytes);
// false when the time cannot be converted or the path does not fit.
bool FormatEventPath(const char* directory, time_t when, char* path);

// Standard base64 with padding, as the serialiser encodes data; returns the
// number of characters written to `out` (no NUL).
uint32_t EncodeBase64(const uint8_t* bytes, uint32_t count, char* out);

// Where in `text` (made by SerialiseEvent with zeros as the event bytes) the
// base64 of the event bytes lies, when the text of every event of this device
// name, port number and count differs from it only there. False when it does
// not, or when the text may not be written at all (too long, not XML text).
bool LocateEventData(const char* deviceName, int32_t portNumber, int32_t eventCount,
                     const char* text, uint32_t length, uint32_t* offset);
