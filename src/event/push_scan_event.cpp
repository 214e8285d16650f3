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

// Puts `item` into the dictionary, which takes it over; false when it is absent.
bool SetItem(plist_t dictionary, const char* key, plist_t item) {
    if (item == nullptr) {
        return false;
    }
    plist_dict_set_item(dictionary, key, item);
    return true;
}

plist_t NewPortName(int32_t portNumber) {
    char* text = static_cast<char*>(AllocZeroed(kPortTextSize));
    if (text == nullptr) {
        return nullptr;
    }
    std::snprintf(text, kPortTextSize, "%d", portNumber);
    plist_t portName = plist_new_string(text);
    FreeMemory(text);
    return portName;
}

// The event dictionary with its entries in their fixed order; null when any
// part of it cannot be made.
plist_t BuildEventDictionary(const char* deviceName, int32_t portNumber, const uint8_t* eventBytes,
                             int32_t eventCount) {
    plist_t dictionary = plist_new_dict();
    if (dictionary == nullptr) {
        return nullptr;
    }
    const bool built = SetItem(dictionary, "FileID", plist_new_string("KorvelTX_PushScan")) &&
                       SetItem(dictionary, "Version", plist_new_string("1.0.0")) &&
                       SetItem(dictionary, "Connection", plist_new_string("USB")) &&
                       SetItem(dictionary, "DeviceName", plist_new_string(deviceName)) &&
                       SetItem(dictionary, "PortName", NewPortName(portNumber)) &&
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
};
PreparedFile gPrepared;

std::atomic<bool> gUnnamedFilesUsable{true};

// A new unnamed file in `directory`, or -1 (the file system may lack O_TMPFILE).
int OpenUnnamedFile(const char* directory) {
    if (!gUnnamedFilesUsable.load()) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int descriptor;
    do {
        descriptor = open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    } while (descriptor < 0 && errno == EINTR);
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
        }
    }
    return descriptor >= 0 ? descriptor : OpenUnnamedFile(directory);
}

// Gives the unnamed file its name. Like any link, it never follows an entry
// at the name and fails with EEXIST when there is one. Through /proc, else
// with AT_EMPTY_PATH (which needs a capability).
int NameUnnamedFile(int descriptor, const char* path) {
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", descriptor);
    if (linkat(AT_FDCWD, procPath, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    if (errno == EEXIST) {
        return -1;
    }
    return linkat(descriptor, "", AT_FDCWD, path, AT_EMPTY_PATH);
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
    if (!WriteAll(descriptor, text, length) || fchmod(descriptor, 0666) != 0) {
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
    plist_t dictionary = BuildEventDictionary(deviceName, portNumber, eventBytes, eventCount);
    if (dictionary == nullptr) {
        return -1;
    }
    char* text = nullptr;
    uint32_t length = 0;
    plist_to_xml(dictionary, &text, &length);
    plist_free(dictionary);
    if (text == nullptr) {
        return -1;
    }
    int32_t result = -1;
    char* path = nullptr;
    if (length < kTextLimit && IsXmlText(text, length)) {
        path = static_cast<char*>(AllocZeroed(kPathSize));
    }
    if (path != nullptr && FormatEventPath(directory, when, path)) {
        const int32_t unnamed = WriteUnnamedFile(directory, path, text, length);
        result = unnamed == 1 ? 0 : unnamed == 0 ? -1 : CreateEventFile(path, text, length);
    }
    FreeMemory(path);
    plist_to_xml_free(text);
    return result;
}

void PreparePushScanEventAt(const char* directory) {
    if (directory == nullptr || StringLength(directory) <= 0 ||
        static_cast<uint64_t>(StringLength(directory)) >= kPathSize) {
        return;
    }
    std::lock_guard<std::mutex> guard(gPrepared.lock);
    if (gPrepared.descriptor >= 0) {
        if (std::strcmp(gPrepared.directory, directory) == 0) {
            return;
        }
        close(gPrepared.descriptor);
        gPrepared.descriptor = -1;
    }
    gPrepared.descriptor = OpenUnnamedFile(directory);
    if (gPrepared.descriptor >= 0) {
        CopyString(directory, gPrepared.directory);
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
}

int32_t WritePushScanEvent(const char* deviceName, int32_t portNumber, const uint8_t* eventBytes,
                           int32_t eventCount) {
    return WritePushScanEventAt(kEventDirectory, EventFileClock(), deviceName, portNumber,
                                eventBytes, eventCount);
}
