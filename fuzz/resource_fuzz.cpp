// SPDX-License-Identifier: MIT
// Opens arbitrary bytes as a resource file and runs the lookups, the loader
// and the handle operations over it, reading every byte handed back so that
// the sanitizers see any block that is shorter than its reported length.
// Input: type (2 bytes, little-endian), id (2 bytes), then the file itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "runtime/resources.h"

namespace {

volatile unsigned gSink;

void Touch(const void* data, int32_t length) {
    if (data == nullptr || length <= 0) {
        __builtin_trap();  // a block handed out must have a positive length
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    unsigned sum = 0;
    for (int32_t i = 0; i < length; ++i) {
        sum += bytes[i];
    }
    gSink = sum;
}

void RunHandle(FILE* stream, int32_t type, int32_t id) {
    ResourceHandle* handle = OpenResource(stream, type, id);
    if (handle == nullptr) {
        return;
    }
    const int32_t size = ResourceSize(handle);
    void* locked = LockResource(handle);
    Touch(locked, size);
    if (LockResource(handle) != locked) {
        __builtin_trap();
    }
    CloseResource(handle);  // refused while locked
    UnlockResource(handle);
    if (ResourceSize(handle) != size) {
        __builtin_trap();
    }
    CloseResource(handle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size <= 4) {
        return 0;
    }
    const int32_t type = data[0] | (data[1] << 8);
    const int32_t id = data[2] | (data[3] << 8);
    std::vector<unsigned char> file(data + 4, data + size);
    FILE* stream = fmemopen(file.data(), file.size(), "rb");
    if (stream == nullptr) {
        return 0;
    }

    int32_t status = 0;
    void* found = FindResourceData(stream, type, id, &status);
    if (found != nullptr) {
        Touch(found, status);
        FreeMemory(found);
    }
    void* loaded = LoadResource(stream, type, id, &status);
    if (loaded != nullptr) {
        Touch(loaded, status);
        FreeMemory(loaded);
    }
    RunHandle(stream, type, id);

    // Every block of the table whose offset sits at the file's start.
    int32_t count = 0;
    ResourceRow* rows = ReadResourceTable(stream, 0, &count);
    for (int32_t i = 0; rows != nullptr && i < count && i < 8; ++i) {
        int32_t length = 0;
        void* block = ReadResourceBlock(stream, rows[i].offset, &length);
        if (block != nullptr) {
            Touch(block, length);
            FreeMemory(block);
        }
    }
    FreeMemory(rows);
    std::fclose(stream);
    return 0;
}
