// SPDX-License-Identifier: MIT
// Statuses of the device command layer: success, the plug-in's own failures,
// the error conditions the device names in its answers, and how engine and
// pipe statuses travel in the same 16-bit value.
#pragma once

#include <cstdint>

// Callers compare a CommandStatus with CmdOk only; the other values say why.
using CommandStatus = uint16_t;

constexpr CommandStatus CmdOk = 0;
constexpr CommandStatus CmdNoMemory = 256;
constexpr CommandStatus CmdBadParameter = 512;
constexpr CommandStatus CmdWrongService = 768;  // the answer's servicetype is not "scan"

// The device's own error conditions, from the detail of an "NG" answer.
constexpr CommandStatus CmdSequenceError = 4096;
constexpr CommandStatus CmdParameterError = 4352;
constexpr CommandStatus CmdNotSupportedService = 4608;
constexpr CommandStatus CmdNotSupportedOperation = 4864;
constexpr CommandStatus CmdIllegalJobID = 5120;
constexpr CommandStatus CmdNoADFDocumentError = 5376;
constexpr CommandStatus CmdMismatchDocumentSizeError = 5632;
constexpr CommandStatus CmdADFCoverOpenError = 5888;
constexpr CommandStatus CmdDocumentTooLongError = 6144;
constexpr CommandStatus CmdADFDocumentJamError = 6400;
constexpr CommandStatus CmdScannerCarriageLockError = 6656;
constexpr CommandStatus CmdWarmUpError = 6912;
constexpr CommandStatus CmdDeviceCheckError = 7168;
constexpr CommandStatus CmdPCScanning = 7424;
constexpr CommandStatus CmdDeviceBusy = 7680;
constexpr CommandStatus CmdPowerOnInitializing = 7936;
constexpr CommandStatus CmdOtherDetail = 8192;  // any other detail, also empty or missing
constexpr CommandStatus CmdRetryCommand = 8448;

// One detail text of an "NG" answer, the status it gives and that status's name.
struct DeviceDetailStatus {
    const char* detail;
    CommandStatus status;
    const char* name;
};

// The device's detail texts in the order they are compared; CmdOtherDetail
// is not among them.
constexpr int DeviceDetailCount = 17;
extern const DeviceDetailStatus DeviceDetailTable[DeviceDetailCount];

// An engine status (negative 32-bit) in the 16-bit two's-complement form in
// which it travels as a CommandStatus: -2 becomes 0xFFFE.
inline CommandStatus CommandStatusFromEngine(int32_t engineStatus) {
    return static_cast<CommandStatus>(static_cast<uint32_t>(engineStatus) & 0xFFFFu);
}

// The status's name ("CmdOk", "CmdDeviceBusy", "XmlErrArgument", ...), or
// "unknown" for a value of neither table (such as a pipe failure's low bits).
const char* CommandStatusName(CommandStatus status);
