// SPDX-License-Identifier: MIT
// Writer of the push-scan event file: puts the event's XML property list
// (event_text.h) into an unnamed file prepared while idle, which it then names
// after the local time (or creates the file by that name where there is no
// unnamed file), never replacing or following an existing entry.
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

#include "event/event_text.h"
#include "event/push_scan_event_seam.h"
#include "platform/clock.h"
#include "runtime/bytes.h"
#include "runtime/memory.h"

namespace {

constexpr uint32_t kDeviceNameLimit = 256;  // a prepared text's device name, with its NUL

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
    char directory[kEventPathSize] = {};
    // With `holdsText`, the file already holds the whole text of an event of
    // this device name, port number and count of event bytes, with zeros for
    // the event bytes: a press with those writes only its bytes' base64 over
    // the characters at `dataOffset`.
    bool holdsText = false;
    char deviceName[kDeviceNameLimit] = {};
    int32_t portNumber = 0;
    int32_t eventCount = 0;
    uint32_t dataOffset = 0;
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

// Writes into the prepared file (gPrepared.lock held) the text of an event of
// this device name, port number and count, for a press to complete. A file
// whose text could not be written completely is closed.
void PrepareEventText(const char* deviceName, int32_t portNumber, int32_t eventCount) {
    if (eventCount <= 0 || eventCount > kSplicedDataLimit ||
        static_cast<uint32_t>(StringLength(deviceName)) >= kDeviceNameLimit) {
        return;
    }
    const uint8_t zeros[kSplicedDataLimit] = {};
    uint32_t length = 0;
    char* text = SerialiseEvent(deviceName, portNumber, zeros, eventCount, &length, Scratch::Stack);
    uint32_t offset = 0;
    if (text != nullptr &&
        LocateEventData(deviceName, portNumber, eventCount, text, length, &offset)) {
        if (WriteAllAt(gPrepared.descriptor, text, length, 0)) {
            gPrepared.holdsText = true;
            CopyString(deviceName, gPrepared.deviceName);
            gPrepared.portNumber = portNumber;
            gPrepared.eventCount = eventCount;
            gPrepared.dataOffset = offset;
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
    char* path = static_cast<char*>(AllocZeroed(kEventPathSize));
    if (path == nullptr || !FormatEventPath(directory, when, path)) {
        FreeMemory(path);
        close(descriptor);
        return -1;
    }
    char encoded[kEncodedDataLimit];
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
    char* text =
        SerialiseEvent(deviceName, portNumber, eventBytes, eventCount, &length, Scratch::Heap);
    if (text == nullptr) {
        return -1;
    }
    int32_t result = -1;
    char* path = nullptr;
    if (length < kEventTextLimit && IsXmlText(text, length)) {
        path = static_cast<char*>(AllocZeroed(kEventPathSize));
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
           static_cast<uint64_t>(StringLength(directory)) < kEventPathSize;
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
