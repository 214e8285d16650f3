// SPDX-License-Identifier: MIT
// The event file's text and name: the event dictionary built with libplist and
// serialised as an XML property list, the checks that the text may be
// written, the base64 of event bytes put into a prepared text, and the path.
#include "event/event_text.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "runtime/bytes.h"
#include "runtime/memory.h"

namespace {

constexpr uint64_t kPortTextSize = 256;
constexpr uint32_t kEntryCount = 6;

// Puts `item` into the dictionary, which takes it over; false when it is absent.
bool SetItem(plist_t dictionary, const char* key, plist_t item) {
    if (item == nullptr) {
        return false;
    }
    plist_dict_set_item(dictionary, key, item);
    return true;
}

plist_t NewPortName(int32_t portNumber, Scratch scratch) {
    char onStack[kPortTextSize];
    char* text =
        scratch == Scratch::Stack ? onStack : static_cast<char*>(AllocZeroed(kPortTextSize));
    if (text == nullptr) {
        return nullptr;
    }
    std::snprintf(text, kPortTextSize, "%d", portNumber);
    plist_t portName = plist_new_string(text);
    if (scratch == Scratch::Heap) {
        FreeMemory(text);
    }
    return portName;
}

// The event dictionary with its entries in their fixed order; null when any
// part of it cannot be made.
plist_t BuildEventDictionary(const char* deviceName, int32_t portNumber, const uint8_t* eventBytes,
                             int32_t eventCount, Scratch scratch) {
    plist_t dictionary = plist_new_dict();
    if (dictionary == nullptr) {
        return nullptr;
    }
    const bool built = SetItem(dictionary, "FileID", plist_new_string("KorvelTX_PushScan")) &&
                       SetItem(dictionary, "Version", plist_new_string("1.0.0")) &&
                       SetItem(dictionary, "Connection", plist_new_string("USB")) &&
                       SetItem(dictionary, "DeviceName", plist_new_string(deviceName)) &&
                       SetItem(dictionary, "PortName", NewPortName(portNumber, scratch)) &&
                       SetItem(dictionary, "EventData",
                               plist_new_data(reinterpret_cast<const char*>(eventBytes),
                                              static_cast<uint64_t>(eventCount))) &&
                       plist_dict_get_size(dictionary) == kEntryCount;
    if (!built) {
        plist_free(dictionary);
        return nullptr;
    }
    return dictionary;
}

}  // namespace

char* SerialiseEvent(const char* deviceName, int32_t portNumber, const uint8_t* eventBytes,
                     int32_t eventCount, uint32_t* length, Scratch scratch) {
    plist_t dictionary =
        BuildEventDictionary(deviceName, portNumber, eventBytes, eventCount, scratch);
    if (dictionary == nullptr) {
        return nullptr;
    }
    char* text = nullptr;
    *length = 0;
    plist_to_xml(dictionary, &text, length);
    plist_free(dictionary);
    return text;
}

// True when the text is well-formed UTF-8 and holds only characters that XML
// 1.0 allows, so that a reader of property lists can load the file. The
// serialiser copies the device name as it stands, so a name with stray bytes
// or control characters would otherwise make an unreadable file.
bool IsXmlText(const char* text, uint32_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    uint32_t at = 0;
    while (at < length) {
        const unsigned char lead = bytes[at];
        if (lead < 0x80) {
            if (lead < 0x20 && lead != '\t' && lead != '\n' && lead != '\r') {
                return false;
            }
            ++at;
            continue;
        }
        if (lead < 0xC2 || lead > 0xF4) {  // a stray continuation, an overlong pair, too high
            return false;
        }
        static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        const uint32_t following = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
        uint32_t point = lead & (0x3Fu >> following);
        if (length - at <= following) {
            return false;
        }
        for (uint32_t k = 1; k <= following; ++k) {
            const unsigned char next = bytes[at + k];
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            point = (point << 6) | (next & 0x3F);
        }
        if (point < kSmallest[following] || point > 0x10FFFF ||
            (point >= 0xD800 && point <= 0xDFFF) || point == 0xFFFE || point == 0xFFFF) {
            return false;
        }
        at += following + 1;
    }
    return true;
}

bool FormatEventPath(const char* directory, time_t when, char* path) {
    const int32_t directoryLength = StringLength(directory);
    if (directoryLength <= 0 || static_cast<uint64_t>(directoryLength) >= kEventPathSize) {
        return false;
    }
    struct tm local;
    if (localtime_r(&when, &local) == nullptr) {
        return false;
    }
    CopyString(directory, path);
    return std::strftime(path + directoryLength, kEventPathSize - directoryLength,
                         "/TRNV.%Y%m%d%H%M%S.plist", &local) != 0;
}
uint32_t EncodeBase64(const uint8_t* bytes, uint32_t count, char* out) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint32_t written = 0;
    for (uint32_t at = 0; at < count; at += 3) {
        const uint32_t left = count - at;
        const uint32_t group = (uint32_t{bytes[at]} << 16) |
                               (left > 1 ? uint32_t{bytes[at + 1]} << 8 : 0) |
                               (left > 2 ? uint32_t{bytes[at + 2]} : 0);
        out[written++] = kDigits[(group >> 18) & 0x3F];
        out[written++] = kDigits[(group >> 12) & 0x3F];
        out[written++] = left > 1 ? kDigits[(group >> 6) & 0x3F] : '=';
        out[written++] = left > 2 ? kDigits[group & 0x3F] : '=';
    }
    return written;
}

// The text made with other bytes must equal `text` with their base64 put in.
bool LocateEventData(const char* deviceName, int32_t portNumber, int32_t eventCount,
                     const char* text, uint32_t length, uint32_t* offset) {
    if (eventCount <= 0 || eventCount > kSplicedDataLimit || length >= kEventTextLimit ||
        !IsXmlText(text, length)) {
        return false;
    }
    const uint8_t zeros[kSplicedDataLimit] = {};
    char encoded[kEncodedDataLimit];
    const uint32_t encodedLength = EncodeBase64(zeros, static_cast<uint32_t>(eventCount), encoded);
    // The data is the value of the last key; a device name cannot hold "<".
    static constexpr char kKey[] = "<key>EventData</key>";
    const char* end = text + length;
    const char* key = std::search(text, end, kKey, kKey + sizeof kKey - 1);
    const char* data = std::search(key, end, encoded, encoded + encodedLength);
    if (key == end || data == end) {
        return false;
    }
    *offset = static_cast<uint32_t>(data - text);
    uint8_t probe[kSplicedDataLimit];
    for (int32_t i = 0; i < eventCount; ++i) {
        probe[i] = static_cast<uint8_t>(0xFF - i * 7);
    }
    char probeEncoded[kEncodedDataLimit];
    EncodeBase64(probe, static_cast<uint32_t>(eventCount), probeEncoded);
    uint32_t probeLength = 0;
    char* probeText =
        SerialiseEvent(deviceName, portNumber, probe, eventCount, &probeLength, Scratch::Stack);
    const bool same = probeText != nullptr && probeLength == length &&
                      std::memcmp(probeText, text, *offset) == 0 &&
                      std::memcmp(probeText + *offset, probeEncoded, encodedLength) == 0 &&
                      std::memcmp(probeText + *offset + encodedLength, data + encodedLength,
                                  length - *offset - encodedLength) == 0;
    plist_to_xml_free(probeText);
    return same;
}
