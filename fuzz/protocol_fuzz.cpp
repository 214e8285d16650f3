// SPDX-License-Identifier: MIT
// Fuzz target for the interpretation of device answers: the input, cut to the
// 2048 bytes a mode-shift answer may fill, is handed over as a NUL-terminated
// copy in a block of exactly its size, with and without a job ID out-parameter.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/scan_response.h"
#include "runtime/memory.h"

namespace {

constexpr size_t kLargestAnswer = 2048;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kLargestAnswer) {
        size = kLargestAnswer;
    }
    // Plain malloc, so that the sanitizer sees a block of exactly this size.
    char* answer = static_cast<char*>(std::malloc(size + 1));
    if (answer == nullptr) {
        return 0;
    }
    if (size > 0) {
        std::memcpy(answer, data, size);
    }
    answer[size] = '\0';

    const CommandStatus plain = ParseScanResponse(nullptr, answer);

    char* const untouched = reinterpret_cast<char*>(&answer);
    char* jobId = untouched;
    const CommandStatus withJobId = ParseScanResponse(&jobId, answer);
    Check(withJobId == plain);  // the out-parameter never changes the verdict
    if (jobId != untouched) {
        Check(withJobId == CmdOk && jobId != nullptr && jobId[0] != '\0');
        Check(std::strlen(jobId) <= size);
        FreeMemory(jobId);
    }
    Check(std::memcmp(answer, data, size) == 0);  // the answer is only read
    std::free(answer);
    return 0;
}
