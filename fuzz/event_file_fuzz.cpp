// SPDX-License-Identifier: MIT
// Hands arbitrary bytes to the host as an event file, as a local user can by
// planting a TRNV.* file in a shared /tmp: the reader and the printer must
// refuse or decode it without reading or writing out of bounds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "event_report.h"

namespace {

// The input lives in an anonymous memory file reached through /proc, so the
// fuzzer touches no shared directory.
struct InputFile {
    int fd = -1;
    char path[64] = {};
    FILE* sink = nullptr;
};

InputFile& Input() {
    static InputFile input = [] {
        InputFile made;
        made.fd = memfd_create("zn417-event-fuzz", 0);
        std::snprintf(made.path, sizeof made.path, "/proc/self/fd/%d", made.fd);
        made.sink = std::fopen("/dev/null", "w");
        return made;
    }();
    return input;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputFile& input = Input();
    if (input.fd < 0 || input.sink == nullptr || ftruncate(input.fd, 0) != 0 ||
        pwrite(input.fd, data, size, 0) != static_cast<ssize_t>(size)) {
        __builtin_trap();
    }
    constexpr uint32_t kRoom = 16;
    uint8_t bytes[kRoom + 1] = {};
    bytes[kRoom] = 0xA5;  // a guard the reader must never write
    int32_t port = 0;
    uint32_t length = 0;
    if (ReadEventFile(input.path, &port, bytes, kRoom, &length) == 0 && length > kRoom) {
        __builtin_trap();
    }
    if (bytes[kRoom] != 0xA5) {
        __builtin_trap();
    }
    PrintEventFile(input.sink, input.path);
    return 0;
}
