// SPDX-License-Identifier: MIT
// Byte and string primitives of the runtime layer.
#include "runtime/bytes.h"

#include <cstring>

namespace {

bool IsWordAligned(const void* address) {
    return (reinterpret_cast<uintptr_t>(address) & 3u) == 0;
}

// One 32-bit word through memcpy, so that no aliasing rule is broken.
void CopyWord(const unsigned char* source, unsigned char* destination) {
    uint32_t word;
    std::memcpy(&word, source, sizeof word);
    std::memcpy(destination, &word, sizeof word);
}

}  // namespace

const char* FindByte(const char* data, uint64_t length, int byte) {
    if (data == nullptr) {
        return nullptr;
    }
    const unsigned char wanted = static_cast<unsigned char>(byte);
    for (uint64_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(data[i]) == wanted) {
            return data + i;
        }
    }
    return nullptr;
}

const char* FindLastByte(const char* data, uint64_t length, int byte) {
    if (data == nullptr) {
        return nullptr;
    }
    const unsigned char wanted = static_cast<unsigned char>(byte);
    for (uint64_t i = length; i > 0; --i) {
        if (static_cast<unsigned char>(data[i - 1]) == wanted) {
            return data + i - 1;
        }
    }
    return nullptr;
}

const char* FindBytes(const char* data, uint64_t length, const char* pattern,
                      uint64_t patternLength) {
    if (data == nullptr || pattern == nullptr || length == 0 || patternLength == 0 ||
        patternLength > length) {
        return nullptr;
    }
    const uint64_t lastStart = length - patternLength;
    for (uint64_t start = 0; start <= lastStart; ++start) {
        if (BytesEqual(data + start, pattern, patternLength) == 1) {
            return data + start;
        }
    }
    return nullptr;
}

const char* FindLastBytes(const char* data, uint64_t length, const char* pattern,
                          uint64_t patternLength) {
    if (data == nullptr || pattern == nullptr || length == 0 || patternLength == 0 ||
        patternLength > length) {
        return nullptr;
    }
    for (uint64_t start = length - patternLength + 1; start > 0; --start) {
        if (BytesEqual(data + start - 1, pattern, patternLength) == 1) {
            return data + start - 1;
        }
    }
    return nullptr;
}

int32_t BytesEqual(const void* first, const void* second, uint64_t length) {
    if (first == nullptr || second == nullptr) {
        return RtErrArgument;
    }
    const auto* a = static_cast<const unsigned char*>(first);
    const auto* b = static_cast<const unsigned char*>(second);
    for (uint64_t i = 0; i < length; ++i) {
        if (a[i] != b[i]) {
            return 0;
        }
    }
    return 1;
}

int32_t BytesEqual32(const void* first, const void* second, int32_t length) {
    if (first == nullptr || second == nullptr) {
        return RtErrArgument;
    }
    if (length <= 0) {
        return 1;
    }
    return BytesEqual(first, second, static_cast<uint64_t>(length));
}

int32_t StringLength(const char* string) {
    if (string == nullptr) {
        return RtErrArgument;
    }
    int32_t length = 0;
    while (string[length] != '\0') {
        ++length;
    }
    return length;
}

int32_t CompareStrings(const char* first, const char* second) {
    if (first == nullptr || second == nullptr) {
        return RtErrArgument;
    }
    for (uint64_t i = 0;; ++i) {
        const auto a = static_cast<unsigned char>(first[i]);
        const auto b = static_cast<unsigned char>(second[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
        if (a == '\0') {
            return 0;
        }
    }
}

int32_t CopyString(const char* source, char* destination) {
    if (source == nullptr || destination == nullptr) {
        return RtErrArgument;
    }
    int32_t copied = 0;
    while ((destination[copied] = source[copied]) != '\0') {
        ++copied;
    }
    return copied;
}

int32_t AppendString(const char* source, char* destination) {
    if (source == nullptr || destination == nullptr) {
        return RtErrArgument;
    }
    const int32_t start = StringLength(destination);
    return start + CopyString(source, destination + start);
}

void MoveBytes(const void* source, void* destination, uint64_t count) {
    if (source == nullptr || destination == nullptr || source == destination || count == 0) {
        return;
    }
    const auto* from = static_cast<const unsigned char*>(source);
    auto* to = static_cast<unsigned char*>(destination);
    const uintptr_t fromAddress = reinterpret_cast<uintptr_t>(from);
    const uintptr_t toAddress = reinterpret_cast<uintptr_t>(to);

    // Destination inside the source range: copy from the end down so that no
    // source byte is overwritten before it is read.
    if (fromAddress < toAddress && toAddress - fromAddress < count) {
        for (uint64_t i = count; i > 0; --i) {
            to[i - 1] = from[i - 1];
        }
        return;
    }

    // Forwards. Distinct aligned addresses are at least 4 bytes apart, so a
    // word copy never reads a byte that an earlier word already overwrote.
    uint64_t done = 0;
    if (IsWordAligned(from) && IsWordAligned(to) && count >= 4) {
        for (; count - done >= 4; done += 4) {
            CopyWord(from + done, to + done);
        }
    }
    for (; done < count; ++done) {
        to[done] = from[done];
    }
}

void MoveBytes32(const void* source, void* destination, int32_t count) {
    if (count <= 0) {
        return;
    }
    MoveBytes(source, destination, static_cast<uint64_t>(count));
}

void FillBytes(void* destination, int fill, uint64_t count) {
    if (destination == nullptr || count == 0) {
        return;
    }
    auto* to = static_cast<unsigned char*>(destination);
    const auto fillByte = static_cast<unsigned char>(fill);
    if (count < 4) {
        for (uint64_t i = 0; i < count; ++i) {
            to[i] = fillByte;
        }
        return;
    }
    const uint32_t word = fillByte * 0x01010101u;
    while (!IsWordAligned(to)) {
        *to++ = fillByte;
        --count;
    }
    for (; count >= 4; count -= 4, to += 4) {
        std::memcpy(to, &word, sizeof word);
    }
    for (; count > 0; --count) {
        *to++ = fillByte;
    }
}

void FillBytes32(void* destination, int fill, int32_t count) {
    if (count <= 0) {
        return;
    }
    FillBytes(destination, fill, static_cast<uint64_t>(count));
}
