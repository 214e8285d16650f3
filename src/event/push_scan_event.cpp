// SPDX-License-Identifier: MIT
// Writer of the push-scan event file: builds the event dictionary with
// libplist, serialises it as an XML property list and writes it into an
// unnamed file prepared while idle, which it then names after the local time
// (or creates the file by that name where there is no unnamed file), never
// replacing or following an existing entry.
#include "event/push_scan_event.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "event/push_scan_event_seam.h"
#include "platform/clock.h"
#include "runtime/bytes.h"
#include "runtime/memory.h"

namespace {

constexpr uint64_t kPortTextSize = 256;
constexpr uint64_t kPathSize = 1024;
constexpr uint32_t kTextLimit = 8192;  // the XML text and its NUL must fit
constexpr uint32_t kEntryCount = 6;
constexpr uint32_t kDeviceNameLimit = 256;  // a prepared text's device name, with its NUL
constexpr int32_t kPreparedDataLimit = 48;  // event bytes whose base64 stays on one line
constexpr uint32_t kEncodedLimit = 4 * (kPreparedDataLimit / 3) + 1;

// Puts `item` into the dictionary, which takes it over; false when it is absent.
bool SetItem(plist_t dictionary, const char* key, plist_t item) {
    if (item == nullptr) {
        return false;
    }
    plist_dict_set_item(dictionary, key, item);
    return true;
}

// Where the port number's text is formatted: a scratch buffer from the
// runtime allocator for a press, one on the stack for the text prepared while
// idle, which thus takes nothing that a press could then find missing.
enum class Scratch { Heap, Stack };

plist_t NewPortName(int32_t portNumber, Scratch scratch) {
    char onStack[kPortTextSize];
    char* text = scratch == Scratch::Stack ? onStack
                                           : static_cast<char*>(AllocZeroed(kPortTextSize));
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

// The XML text of the event, NUL-terminated, to be freed with
// plist_to_xml_free; null when it cannot be made.
char* SerialiseEvent(const char* deviceName, int32_t portNumber, const uint8_t* eventBytes,
                     int32_t eventCount, uint32_t* length, Scratch scratch = Scratch::Heap) {
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

// <directory>/TRNV.<local time>.plist into the path buffer; false when the
// time cannot be converted or the path does not fit.
bool FormatEventPath(const char* directory, time_t when, char* path) {
    const int32_t directoryLength = StringLength(directory);
    if (directoryLength <= 0 || static_cast<uint64_t>(directoryLength) >= kPathSize) {
        return false;
    }
    struct tm local;
    if (localtime_r(&when, &local) == nullptr) {
        return false;
    }
    CopyString(directory, path);
    return std::strftime(path + directoryLength, kPathSize - directoryLength,
                         "/TRNV.%Y%m%d%H%M%S.plist", &local) != 0;
}

bool WriteAll(int descriptor, const char* data, uint64_t length) {
    while (length > 0) {
        const ssize_t written = write(descriptor, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<uint64_t>(written);
    }
    return true;
}

bool WriteAllAt(int descriptor, const char* data, uint64_t length, uint64_t offset) {
    while (length > 0) {
        const ssize_t written = pwrite(descriptor, data, length, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<uint64_t>(written);
        offset += static_cast<uint64_t>(written);
    }
    return true;
}

// Creates the file only if nothing of any kind exists at the path, and never
// through a symbolic link, since the name in a shared directory can be
// predicted by other users. The mode is set on the open descriptor so that it
// is 0666 whatever the file-creation mask. A file that cannot be completed is
// removed.
int32_t CreateEventFile(const char* path, const char* text, uint32_t length) {
    int descriptor;
    do {
        descriptor = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return -1;
    }
    bool complete = WriteAll(descriptor, text, length) && fchmod(descriptor, 0666) == 0;
    if (close(descriptor) != 0) {
        complete = false;
    }
    if (!complete) {
        unlink(path);
        return -1;
    }
    return 0;
}

// The unnamed file (O_TMPFILE) that the next event in `directory` goes into,
// made while the plug-in is idle: at a press the file is only filled and
// given its name, and creating the inode, the slow part of a new file, is
// already done. One at a time; the lock guards it against writers on other
// threads.
struct PreparedFile {
    std::mutex lock;
    int descriptor = -1;
    char directory[kPathSize] = {};
    // With `holdsText`, the file already holds the whole text of an event of
    // this device name, port number and count of event bytes, with zeros for
    // the event bytes: a press with those writes only its bytes' base64 over
    // the `dataLength` characters at `dataOffset`.
    bool holdsText = false;
    char deviceName[kDeviceNameLimit] = {};
    int32_t portNumber = 0;
    int32_t eventCount = 0;
    uint32_t dataOffset = 0;
    uint32_t dataLength = 0;
};
PreparedFile gPrepared;

std::atomic<bool> gUnnamedFilesUsable{true};

// Cleared once a link by descriptor (AT_EMPTY_PATH) has been refused where the
// link through /proc worked: kernels before 6.10 allow it only to a caller
// with CAP_DAC_READ_SEARCH, and asking again at each press costs a system call.
std::atomic<bool> gLinkByDescriptorAllowed{true};

// A new unnamed file in `directory`, already of mode 0666, or -1 (the file
// system may lack O_TMPFILE). The mode is given before the file has a name,
// so nobody sees it otherwise, and a press does not pay for it. With
// `preallocate`, the file's first block is reserved now without changing its
// size, so that a press's write does not have to find one; a file of one
// block takes that block either way.
int OpenUnnamedFile(const char* directory, bool preallocate) {
    if (!gUnnamedFilesUsable.load()) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int descriptor;
    do {
        descriptor = open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return -1;
    }
    if (fchmod(descriptor, 0666) != 0) {
        close(descriptor);
        return -1;
    }
    struct stat status;
    if (preallocate && fstat(descriptor, &status) == 0 && status.st_blksize > 0) {
        (void)fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, status.st_blksize);
    }
    return descriptor;
}

// The prepared file when it was made for `directory`, else a new unnamed file
// there; -1 when none can be had.
int TakeUnnamedFile(const char* directory) {
    int descriptor = -1;
    {
        std::lock_guard<std::mutex> guard(gPrepared.lock);
        if (gPrepared.descriptor >= 0 && std::strcmp(gPrepared.directory, directory) == 0) {
            descriptor = gPrepared.descriptor;
            gPrepared.descriptor = -1;
            if (gPrepared.holdsText) {  // another event's text is in it: start afresh
                gPrepared.holdsText = false;
                close(descriptor);
                descriptor = -1;
            }
        }
    }
    return descriptor >= 0 ? descriptor : OpenUnnamedFile(directory, false);
}

// Gives the unnamed file its name. Like any link, it never follows an entry
// at the name and fails with EEXIST when there is one. By the descriptor
// (AT_EMPTY_PATH) where the kernel lets its opener do that, else through /proc.
int NameUnnamedFile(int descriptor, const char* path) {
    if (gLinkByDescriptorAllowed.load(std::memory_order_relaxed)) {
        if (linkat(descriptor, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0) {
            return 0;
        }
        if (errno == EEXIST) {
            return -1;
        }
    }
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", descriptor);
    if (linkat(AT_FDCWD, procPath, AT_FDCWD, path, AT_SYMLINK_FOLLOW) != 0) {
        return -1;
    }
    gLinkByDescriptorAllowed.store(false, std::memory_order_relaxed);
    return 0;
}

// Standard base64 with padding, as the property-list writer encodes data.
// Returns the number of characters written to `out` (no NUL).
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

// Where in `text` the base64 of the event bytes lies, when the text of every
// event of this device name, port number and count differs from it only
// there: `text` was made with zeros as event bytes, and the text made with
// other bytes must equal it with their base64 put in. False when it does not,
// or when the text may not be written at all; a press then formats its own.
bool LocateEventData(const char* deviceName, int32_t portNumber, int32_t eventCount,
                     const char* text, uint32_t length, uint32_t* offset, uint32_t* dataLength) {
    if (length >= kTextLimit || !IsXmlText(text, length)) {
        return false;
    }
    const uint8_t zeros[kPreparedDataLimit] = {};
    char encoded[kEncodedLimit];
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
    *dataLength = encodedLength;
    uint8_t probe[kPreparedDataLimit];
    for (int32_t i = 0; i < eventCount; ++i) {
        probe[i] = static_cast<uint8_t>(0xFF - i * 7);
    }
    char probeEncoded[kEncodedLimit];
    EncodeBase64(probe, static_cast<uint32_t>(eventCount), probeEncoded);
    uint32_t probeLength = 0;
    char* probeText = SerialiseEvent(deviceName, portNumber, probe, eventCount, &probeLength,
                                     Scratch::Stack);
    const bool same = probeText != nullptr && probeLength == length &&
                      std::memcmp(probeText, text, *offset) == 0 &&
                      std::memcmp(probeText + *offset, probeEncoded, encodedLength) == 0 &&
                      std::memcmp(probeText + *offset + encodedLength, data + encodedLength,
                                  length - *offset - encodedLength) == 0;
    plist_to_xml_free(probeText);
    return same;
}

// Writes into the prepared file (gPrepared.lock held) the text of an event of
// this device name, port number and count, for a press to complete. A file
// whose text could not be written completely is closed.
void PrepareEventText(const char* deviceName, int32_t portNumber, int32_t eventCount) {
    if (eventCount <= 0 || eventCount > kPreparedDataLimit ||
        static_cast<uint32_t>(StringLength(deviceName)) >= kDeviceNameLimit) {
        return;
    }
    const uint8_t zeros[kPreparedDataLimit] = {};
    uint32_t length = 0;
    char* text = SerialiseEvent(deviceName, portNumber, zeros, eventCount, &length, Scratch::Stack);
    uint32_t offset = 0;
    uint32_t dataLength = 0;
    if (text != nullptr &&
        LocateEventData(deviceName, portNumber, eventCount, text, length, &offset, &dataLength)) {
        if (WriteAllAt(gPrepared.descriptor, text, length, 0)) {
            gPrepared.holdsText = true;
            CopyString(deviceName, gPrepared.deviceName);
            gPrepared.portNumber = portNumber;
            gPrepared.eventCount = eventCount;
            gPrepared.dataOffset = offset;
            gPrepared.dataLength = dataLength;
        } else {
            close(gPrepared.descriptor);
            gPrepared.descriptor = -1;
        }
    }
    plist_to_xml_free(text);
}

// What a press made of the prepared text: the event's result, or that the
// caller is to format the text and write it itself (kPreparedNone: in any way;
// kPreparedByName: creating the file by name).
constexpr int32_t kPreparedNone = -2;
constexpr int32_t kPreparedByName = -3;

// The event written through the text prepared for it: its bytes' base64 put
// in, the file named. kPreparedNone when no text was prepared for this event.
int32_t WritePreparedEvent(const char* directory, time_t when, const char* deviceName,
                           int32_t portNumber, const uint8_t* eventBytes, int32_t eventCount) {
    int descriptor = -1;
    uint32_t offset = 0;
    {
        std::lock_guard<std::mutex> guard(gPrepared.lock);
        if (gPrepared.descriptor < 0 || !gPrepared.holdsText ||
            gPrepared.portNumber != portNumber || gPrepared.eventCount != eventCount ||
            std::strcmp(gPrepared.directory, directory) != 0 ||
            std::strcmp(gPrepared.deviceName, deviceName) != 0) {
            return kPreparedNone;
        }
        descriptor = gPrepared.descriptor;
        offset = gPrepared.dataOffset;
        gPrepared.descriptor = -1;
        gPrepared.holdsText = false;
    }
    char* path = static_cast<char*>(AllocZeroed(kPathSize));
    if (path == nullptr || !FormatEventPath(directory, when, path)) {
        FreeMemory(path);
        close(descriptor);
        return -1;
    }
    char encoded[kEncodedLimit];
    const uint32_t encodedLength =
        EncodeBase64(eventBytes, static_cast<uint32_t>(eventCount), encoded);
    int32_t result = 0;
    if (!WriteAllAt(descriptor, encoded, encodedLength, offset)) {
        close(descriptor);
        result = kPreparedByName;
    } else if (NameUnnamedFile(descriptor, path) != 0) {
        const bool exists = errno == EEXIST;
        close(descriptor);  // unnamed, so it is gone with its descriptor
        result = exists ? -1 : kPreparedByName;
    } else if (close(descriptor) != 0) {
        unlink(path);
        result = -1;
    }
    FreeMemory(path);
    return result;
}

// 1 when the file was written and named, 0 when an entry exists at the name
// (the press is refused), -1 when no unnamed file could be had, written or
// named for another reason (the caller then creates the file by name). No
// file is left behind by 0 or -1.
int32_t WriteUnnamedFile(const char* directory, const char* path, const char* text,
                         uint32_t length) {
    const int descriptor = TakeUnnamedFile(directory);
    if (descriptor < 0) {
        return -1;
    }
    if (!WriteAll(descriptor, text, length)) {
        close(descriptor);
        return -1;
    }
    if (NameUnnamedFile(descriptor, path) != 0) {
        const bool exists = errno == EEXIST;
        close(descriptor);  // unnamed, so it is gone with its descriptor
        return exists ? 0 : -1;
    }
    if (close(descriptor) != 0) {
        unlink(path);
        return 0;
    }
    return 1;
}

}  // namespace

void SetUnnamedEventFilesUsable(bool usable) {
    gUnnamedFilesUsable.store(usable);
}

time_t EventFileClock() {
    return PlatformTime();
}

int32_t WritePushScanEventAt(const char* directory, time_t when, const char* deviceName,
                             int32_t portNumber, const uint8_t* eventBytes, int32_t eventCount) {
    if (directory == nullptr || deviceName == nullptr || eventBytes == nullptr || eventCount < 0) {
        return -1;
    }
    const int32_t prepared =
        WritePreparedEvent(directory, when, deviceName, portNumber, eventBytes, eventCount);
    if (prepared != kPreparedNone && prepared != kPreparedByName) {
        return prepared;
    }
    uint32_t length = 0;
    char* text = SerialiseEvent(deviceName, portNumber, eventBytes, eventCount, &length);
    if (text == nullptr) {
        return -1;
    }
    int32_t result = -1;
    char* path = nullptr;
    if (length < kTextLimit && IsXmlText(text, length)) {
        path = static_cast<char*>(AllocZeroed(kPathSize));
    }
    if (path != nullptr && FormatEventPath(directory, when, path)) {
        const int32_t unnamed =
            prepared == kPreparedByName ? -1 : WriteUnnamedFile(directory, path, text, length);
        result = unnamed == 1 ? 0 : unnamed == 0 ? -1 : CreateEventFile(path, text, length);
    }
    FreeMemory(path);
    plist_to_xml_free(text);
    return result;
}

namespace {

bool IsUsableDirectory(const char* directory) {
    return directory != nullptr && StringLength(directory) > 0 &&
           static_cast<uint64_t>(StringLength(directory)) < kPathSize;
}

// The prepared file for `directory` (gPrepared.lock held): kept when it is
// there already and holds no text, or the text of the event to come (`keep`);
// else replaced by a new one.
void PrepareFileLocked(const char* directory, bool keep) {
    if (gPrepared.descriptor >= 0) {
        if (std::strcmp(gPrepared.directory, directory) == 0 && keep) {
            return;
        }
        close(gPrepared.descriptor);
        gPrepared.descriptor = -1;
        gPrepared.holdsText = false;
    }
    gPrepared.descriptor = OpenUnnamedFile(directory, true);
    if (gPrepared.descriptor >= 0) {
        CopyString(directory, gPrepared.directory);
    }
}

}  // namespace

void PreparePushScanEventAt(const char* directory) {
    if (!IsUsableDirectory(directory)) {
        return;
    }
    std::lock_guard<std::mutex> guard(gPrepared.lock);
    PrepareFileLocked(directory, true);
}

void PreparePushScanEventFor(const char* directory, const char* deviceName, int32_t portNumber,
                             int32_t eventCount) {
    if (!IsUsableDirectory(directory) || deviceName == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(gPrepared.lock);
    const bool ready = !gPrepared.holdsText ||
                       (gPrepared.portNumber == portNumber && gPrepared.eventCount == eventCount &&
                        std::strcmp(gPrepared.deviceName, deviceName) == 0);
    PrepareFileLocked(directory, ready);
    if (gPrepared.descriptor >= 0 && !gPrepared.holdsText) {
        PrepareEventText(deviceName, portNumber, eventCount);
    }
}

void PreparePushScanEvent() {
    PreparePushScanEventAt(kEventDirectory);
}

void ReleasePreparedPushScanEvent() {
    std::lock_guard<std::mutex> guard(gPrepared.lock);
    if (gPrepared.descriptor >= 0) {
        close(gPrepared.descriptor);
        gPrepared.descriptor = -1;
    }
    gPrepared.holdsText = false;
}

int32_t WritePushScanEvent(const char* deviceName, int32_t portNumber, const uint8_t* eventBytes,
                           int32_t eventCount) {
    return WritePushScanEventAt(kEventDirectory, EventFileClock(), deviceName, portNumber,
                                eventBytes, eventCount);
}
