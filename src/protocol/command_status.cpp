// SPDX-License-Identifier: MIT
// Names of the command layer's statuses and the detail texts of the device.
#include "protocol/command_status.h"

#include "xmlpath/engine.h"
#include "xmlpath/query.h"

// The query functions of the engine report the command layer's first three
// statuses under their own names.
static_assert(QueryOk == CmdOk, "query and command statuses differ");
static_assert(QueryNoMemory == CmdNoMemory, "query and command statuses differ");
static_assert(QueryBadParameter == CmdBadParameter, "query and command statuses differ");

const DeviceDetailStatus DeviceDetailTable[DeviceDetailCount] = {
    {"SequenceError", CmdSequenceError, "CmdSequenceError"},
    {"ParameterError", CmdParameterError, "CmdParameterError"},
    {"NotSupportedService", CmdNotSupportedService, "CmdNotSupportedService"},
    {"NotSupportedOperation", CmdNotSupportedOperation, "CmdNotSupportedOperation"},
    {"IllegalJobID", CmdIllegalJobID, "CmdIllegalJobID"},
    {"NoADFDocumentError", CmdNoADFDocumentError, "CmdNoADFDocumentError"},
    {"MismatchDocumentSizeError", CmdMismatchDocumentSizeError, "CmdMismatchDocumentSizeError"},
    {"ADFCoverOpenError", CmdADFCoverOpenError, "CmdADFCoverOpenError"},
    {"DocumentTooLongError", CmdDocumentTooLongError, "CmdDocumentTooLongError"},
    {"ADFDocumentJamError", CmdADFDocumentJamError, "CmdADFDocumentJamError"},
    {"ScannerCarriageLockError", CmdScannerCarriageLockError, "CmdScannerCarriageLockError"},
    {"WarmUpError", CmdWarmUpError, "CmdWarmUpError"},
    {"DeviceCheckError", CmdDeviceCheckError, "CmdDeviceCheckError"},
    {"PCScanning", CmdPCScanning, "CmdPCScanning"},
    {"DeviceBusy", CmdDeviceBusy, "CmdDeviceBusy"},
    {"PowerOnInitializing", CmdPowerOnInitializing, "CmdPowerOnInitializing"},
    {"RetryCommand", CmdRetryCommand, "CmdRetryCommand"},
};

const char* CommandStatusName(CommandStatus status) {
    switch (status) {
        case CmdOk:
            return "CmdOk";
        case CmdNoMemory:
            return "CmdNoMemory";
        case CmdBadParameter:
            return "CmdBadParameter";
        case CmdWrongService:
            return "CmdWrongService";
        case CmdOtherDetail:
            return "CmdOtherDetail";
        default:
            break;
    }
    for (const DeviceDetailStatus& known : DeviceDetailTable) {
        if (known.status == status) {
            return known.name;
        }
    }
    static const char* const kEngineNames[] = {
        "XmlErrArgument",     "XmlErrNoDeclaration",  "XmlErrDeclarationNotAtStart",
        "XmlErrTruncated",    "XmlErrUnterminated",   "XmlErrBadTag",
        "XmlErrBadAttribute", "XmlErrEmptyPath",      "XmlErrMismatchedClose",
        "XmlErrNoMemory",     "XmlErrBufferTooSmall", "XmlErrBadRoot",
    };
    for (int32_t engine = XmlErrArgument; engine >= XmlErrBadRoot; --engine) {
        if (CommandStatusFromEngine(engine) == status) {
            return kEngineNames[XmlErrArgument - engine];
        }
    }
    return "unknown";
}
