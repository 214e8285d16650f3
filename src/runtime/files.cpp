// SPDX-License-Identifier: MIT
// Path joining, opening and removing files, temporary files and stream
// wrappers of the runtime layer.
#include "runtime/files.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>

#include "runtime/bytes.h"

namespace {

// Room for a joined path and its NUL when a file is opened, removed or created.
constexpr int32_t kPathBufferSize = 288;
// Joined directory and prefix of a temporary file stay below this, leaving
// room for the eight generated characters and the NUL.
constexpr int32_t kTempPathLimit = 280;
constexpr int32_t kTempSuffixLength = 8;
constexpr int32_t kTempPrefixLimit = 23;  // prefix + suffix + NUL fit in 32 bytes

}  // namespace

int32_t JoinPath(const char* directory, const char* name, char* output, int32_t size) {
    if (name == nullptr || output == nullptr || size <= 0) {
        return RtErrArgument;
    }
    output[0] = '\0';
    int64_t length = 0;
    if (directory != nullptr) {
        length = StringLength(directory);
        if (length <= 0 || length >= size) {
            return RtErrArgument;
        }
        CopyString(directory, output);
        if (output[length - 1] != '/') {
            if (length + 1 >= size) {
                return RtErrArgument;
            }
            AppendString("/", output);
            length += 1;
        }
    }
    const int64_t nameLength = StringLength(name);
    if (nameLength <= 0 || length + nameLength >= size) {
        return RtErrArgument;
    }
    AppendString(name, output);
    return static_cast<int32_t>(length + nameLength);
}

FILE* OpenJoinedFile(const char* directory, const char* name, int16_t mode) {
    if (mode < FileModeRead || mode > FileModeAppend) {
        return nullptr;
    }
    char path[kPathBufferSize];
    if (JoinPath(directory, name, path, kPathBufferSize) < 1) {
        return nullptr;
    }
    switch (mode) {
        case FileModeRead:
            return std::fopen(path, "rb");
        case FileModeUpdate:
            return std::fopen(path, "r+b");
        case FileModeCreate:
            return std::fopen(path, "w+b");
        default:
            break;
    }
    // Append keeps what the file holds: open it for update, create it only
    // when that fails, and start at the end.
    FILE* stream = std::fopen(path, "r+b");
    if (stream == nullptr) {
        stream = std::fopen(path, "w+b");
        if (stream == nullptr) {
            return nullptr;
        }
    }
    if (std::fseek(stream, 0, SEEK_END) != 0) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

int16_t RemoveJoinedFile(const char* directory, const char* name) {
    char path[kPathBufferSize];
    if (JoinPath(directory, name, path, kPathBufferSize) < 1) {
        return static_cast<int16_t>(RtErrArgument);
    }
    if (std::remove(path) == 0 || errno == ENOENT) {
        return static_cast<int16_t>(RtOk);
    }
    return static_cast<int16_t>(RtErrIo);
}

FILE* CreateTempFile(const char* directory, char* name, int16_t mode) {
    if (name == nullptr || mode != FileModeCreate ||
        (directory != nullptr && directory[0] == '\0')) {
        return nullptr;
    }
    const int32_t prefixLength = StringLength(name);
    if (prefixLength > kTempPrefixLimit) {
        return nullptr;
    }
    char path[kPathBufferSize];
    const int32_t joined = JoinPath(directory, name, path, kTempPathLimit);
    if (joined < 1) {
        return nullptr;
    }
    FillBytes(path + joined, 'X', kTempSuffixLength);
    path[joined + kTempSuffixLength] = '\0';
    const int descriptor = mkstemp(path);
    if (descriptor < 0) {
        return nullptr;
    }
    FILE* stream = fdopen(descriptor, "w+b");
    if (stream == nullptr) {
        // Nobody could ever find the file again: take it away with the descriptor.
        close(descriptor);
        unlink(path);
        return nullptr;
    }
    MoveBytes(path + joined, name + prefixLength, kTempSuffixLength);
    name[prefixLength + kTempSuffixLength] = '\0';
    return stream;
}

int32_t CloseFile(FILE* stream) {
    if (stream == nullptr) {
        return RtErrArgument;
    }
    return std::fclose(stream);
}

int32_t ReadBytes(FILE* stream, void* buffer, int32_t count) {
    if (count < 0) {
        return RtErrIo;
    }
    if (stream == nullptr || buffer == nullptr) {
        return RtErrArgument;
    }
    if (count == 0) {
        return 0;
    }
    return static_cast<int32_t>(std::fread(buffer, 1, static_cast<size_t>(count), stream));
}

int32_t WriteBytes(FILE* stream, const void* data, int32_t count) {
    if (count < 0) {
        return RtErrIo;
    }
    if (stream == nullptr || data == nullptr) {
        return RtErrArgument;
    }
    if (count == 0) {
        return 0;
    }
    return static_cast<int32_t>(std::fwrite(data, 1, static_cast<size_t>(count), stream));
}

int16_t SeekFile(FILE* stream, int32_t offset, int32_t origin) {
    if (stream == nullptr) {
        return static_cast<int16_t>(RtErrArgument);
    }
    static const int kOrigins[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin < 0 || origin > 2 || std::fseek(stream, offset, kOrigins[origin]) != 0) {
        return static_cast<int16_t>(RtErrIo);
    }
    return static_cast<int16_t>(RtOk);
}

int32_t TellFile(FILE* stream) {
    if (stream == nullptr) {
        return RtErrArgument;
    }
    const long position = std::ftell(stream);
    if (position < 0 || position > INT32_MAX) {
        return RtErrIo;
    }
    return static_cast<int32_t>(position);
}

int32_t FileSize(FILE* stream) {
    const int32_t position = TellFile(stream);
    if (position < 0) {
        return position;
    }
    int32_t size = RtErrIo;
    if (std::fseek(stream, 0, SEEK_END) == 0) {
        size = TellFile(stream);
    }
    std::fseek(stream, position, SEEK_SET);
    return size;
}

int32_t StringSize(const char* string) {
    const int32_t length = StringLength(string);
    return length < 0 ? length : length + 1;
}

int32_t PrintToFile(FILE* stream, const char* format, ...) {
    if (stream == nullptr || format == nullptr) {
        return RtErrIo;
    }
    va_list arguments;
    va_start(arguments, format);
    const int result = std::vfprintf(stream, format, arguments);
    va_end(arguments);
    return result;
}
