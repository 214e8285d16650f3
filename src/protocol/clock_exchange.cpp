// SPDX-License-Identifier: MIT
// The mode-shift and clock exchange on the bulk pipes, through the guarded
// pipe operations of the usb layer so that a concurrent close is safe.
#include "protocol/clock_exchange.h"

#include "platform/clock.h"
#include "protocol/command_builder.h"
#include "protocol/scan_response.h"
#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "usb/usb_access.h"

namespace {

constexpr uint8_t kClockMarker0 = 0xEB;
constexpr uint8_t kClockMarker1 = 0x80;
constexpr uint32_t kPayloadLengthOffset = 15;
constexpr uint8_t kPayloadLength = 20;
constexpr uint32_t kTextOffset = 16;
constexpr uint32_t kChecksumOffset = 35;

// A failed write's status in the command layer. The platform's failures keep
// their low half non-zero; should one not, it must still read as a failure.
CommandStatus WriteFailureStatus(PlatformReturn written) {
    const auto low = static_cast<CommandStatus>(static_cast<uint32_t>(written) & 0xFFFFu);
    return low != CmdOk ? low : CmdBadParameter;
}

}  // namespace

bool BuildClockPacket(time_t now, ClockPacket* packet) {
    if (packet == nullptr) {
        return false;
    }
    struct tm local = {};
    if (localtime_r(&now, &local) == nullptr) {
        return false;
    }
    ClockPacket built = {};
    built.bytes[0] = kClockMarker0;
    built.bytes[1] = kClockMarker1;
    built.bytes[kPayloadLengthOffset] = kPayloadLength;
    // The 14 characters and their NUL take bytes 16 to 30; %y keeps the year
    // at two digits whatever the century.
    char* text = reinterpret_cast<char*>(built.bytes + kTextOffset);
    if (strftime(text, kPayloadLength, "%y/%m/%d %H:%M", &local) != 14) {
        return false;
    }
    uint8_t sum = 0;
    for (uint32_t i = kTextOffset; i < kChecksumOffset; ++i) {
        sum = static_cast<uint8_t>(sum + built.bytes[i]);
    }
    built.bytes[kChecksumOffset] = static_cast<uint8_t>(0x100 - sum);
    *packet = built;
    return true;
}

CommandStatus SendModeShift(PluginState* state) {
    if (state == nullptr) {
        return CmdBadParameter;
    }
    CommandStatus status = CmdOk;
    char* command = BuildCommand(KindModeShift, nullptr, false, &status);
    if (command == nullptr) {
        return status != CmdOk ? status : CmdNoMemory;
    }
    // The answer's buffer exists before the command leaves: a command sent
    // with nowhere to read its answer would leave that answer on the pipe for
    // a later read to take.
    auto* answer = static_cast<char*>(AllocZeroed(uint64_t{ModeShiftAnswerRequest} + 1));
    if (answer == nullptr) {
        FreeMemory(command);
        return CmdNoMemory;
    }
    const PlatformReturn written =
        WriteBulkPipe(state, command, static_cast<uint32_t>(StringLength(command)));
    FreeMemory(command);
    if (written != PlatformOk) {
        FreeMemory(answer);
        return WriteFailureStatus(written);
    }
    uint32_t delivered = ModeShiftAnswerRequest;
    if (ReadBulkPipe(state, answer, &delivered) != PlatformOk ||
        delivered > ModeShiftAnswerRequest) {
        delivered = 0;  // a failed read delivers no answer
    }
    answer[delivered] = '\0';
    status = ParseScanResponse(nullptr, answer);
    FreeMemory(answer);
    return status;
}

void SendClock(PluginState* state) {
    ClockPacket packet;
    if (state == nullptr || !BuildClockPacket(PlatformTime(), &packet)) {
        return;
    }
    // As for the mode shift, the acknowledgement's buffer exists before the
    // packet leaves, so that the acknowledgement is always taken off the pipe.
    auto* acknowledgement = static_cast<uint8_t*>(AllocZeroed(ClockAnswerRequest));
    if (acknowledgement == nullptr) {
        return;
    }
    if (WriteBulkPipe(state, packet.bytes, ClockPacketSize) == PlatformOk) {
        uint32_t size = ClockAnswerRequest;
        ReadBulkPipe(state, acknowledgement, &size);
    }
    FreeMemory(acknowledgement);
}
