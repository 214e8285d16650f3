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
    {"SequenceError", CmdSequenceError},
    {"ParameterError", CmdParameterError},
    {"NotSupportedService", CmdNotSupportedService},
    {"NotSupportedOperation", CmdNotSupportedOperation},
    {"IllegalJobID", CmdIllegalJobID},
    {"NoADFDocumentError", CmdNoADFDocumentError},
    {"MismatchDocumentSizeError", CmdMismatchDocumentSizeError},
    {"ADFCoverOpenError", CmdADFCoverOpenError},
    {"DocumentTooLongError", CmdDocumentTooLongError},
    {"ADFDocumentJamError", CmdADFDocumentJamError},
    {"ScannerCarriageLockError", CmdScannerCarriageLockError},
    {"WarmUpError", CmdWarmUpError},
    {"DeviceCheckError", CmdDeviceCheckError},
    {"PCScanning", CmdPCScanning},
    {"DeviceBusy", CmdDeviceBusy},
    {"PowerOnInitializing", CmdPowerOnInitializing},
    {"RetryCommand", CmdRetryCommand},
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
    // Device conditions are named "Cmd" + their detail text; the names are
    // kept as literals so that the pointers stay valid for ever.
    static const char* const kDeviceNames[DeviceDetailCount] = {
        "CmdSequenceError",
        "CmdParameterError",
        "CmdNotSupportedService",
        "CmdNotSupportedOperation",
        "CmdIllegalJobID",
        "CmdNoADFDocumentError",
        "CmdMismatchDocumentSizeError",
        "CmdADFCoverOpenError",
        "CmdDocumentTooLongError",
        "CmdADFDocumentJamError",
        "CmdScannerCarriageLockError",
        "CmdWarmUpError",
        "CmdDeviceCheckError",
        "CmdPCScanning",
        "CmdDeviceBusy",
        "CmdPowerOnInitializing",
        "CmdRetryCommand",
    };
    for (int i = 0; i < DeviceDetailCount; ++i) {
        if (DeviceDetailTable[i].status == status) {
            return kDeviceNames[i];
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
