// SPDX-License-Identifier: MIT
// Command documents: the three templates, the places to fill in each, and
// the rewrite through the engine.
#include "protocol/command_builder.h"

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/namespaces.h"
#include "xmlpath/query.h"
#include "xmlpath/replace.h"

namespace {

// The "%s" sequences are literal text: the engine rewrites the places they
// mark, and the paths select ivec:param_set by its literal servicetype="%s".
#define ZN_COMMAND_HEAD \
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?><cmd xmlns:ivec=\"" ZN_NS_COMMON_URI

constexpr char kStartJobTemplate[] = ZN_COMMAND_HEAD
    "\"><ivec:contents><ivec:operation>StartJob</ivec:operation>"
    "<ivec:param_set servicetype=\"%s\"><ivec:jobID>00000001</ivec:jobID>"
    "<ivec:bidi>%s</ivec:bidi></ivec:param_set></ivec:contents></cmd>";

constexpr char kEndJobTemplate[] = ZN_COMMAND_HEAD
    "\"><ivec:contents><ivec:operation>EndJob</ivec:operation>"
    "<ivec:param_set servicetype=\"%s\"><ivec:jobID>00000001</ivec:jobID>"
    "</ivec:param_set></ivec:contents></cmd>";

constexpr char kVendorCmdTemplate[] =
    ZN_COMMAND_HEAD "\" xmlns:vxr=\"" ZN_NS_VENDOR_URI
                    "\"><ivec:contents><ivec:operation>VendorCmd</ivec:operation>"
                    "<ivec:param_set servicetype=\"%s\"><ivec:jobID>00000001</ivec:jobID>"
                    "<vxr:ijoperation>ModeShift</vxr:ijoperation><vxr:ijmode>%s</vxr:ijmode>"
                    "</ivec:param_set></ivec:contents></cmd>";

#undef ZN_COMMAND_HEAD

constexpr char kServiceTypePath[] = "cmd/ivec:contents/ivec:param_set servicetype";
constexpr char kServiceTypeValue[] = "\"scan\"";  // the attribute value keeps its quotes
constexpr char kBidiPath[] = "cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/ivec:bidi";
constexpr char kJobIdPath[] = "cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/ivec:jobID";
constexpr char kModePath[] = "cmd/ivec:contents/ivec:param_set servicetype=\"%s\"/vxr:ijmode";
constexpr char kNoJobId[] = " ";

constexpr int32_t kMaxRows = 3;

// One row after row 0: its path and value; an absent value means the row
// cannot be filled (the caller's job ID is missing).
struct FurtherRow {
    const char* path;
    const char* value;
};

// The template of `kind` and its further rows; false for an unknown kind.
bool DescribeKind(CommandKind kind, const char* jobId, bool useJobId, const char** text,
                  int32_t* rowCount, FurtherRow* rows) {
    switch (kind) {
        case KindStartJob:
            *text = kStartJobTemplate;
            *rowCount = 2;
            rows[0] = {kBidiPath, "1"};
            return true;
        case KindEndJob:
            *text = kEndJobTemplate;
            *rowCount = 2;
            rows[0] = {kJobIdPath, jobId};
            return true;
        case KindModeShift:
            *text = kVendorCmdTemplate;
            *rowCount = 3;
            rows[0] = {kModePath, "1"};
            rows[1] = {kJobIdPath, useJobId && jobId != nullptr ? jobId : kNoJobId};
            return true;
        default:
            return false;
    }
}

char* CopyText(const char* text, uint64_t length) {
    char* copy = static_cast<char*>(AllocZeroed(length + 1));
    if (copy != nullptr) {
        MoveBytes(text, copy, length);
    }
    return copy;
}

// Fills the path list: row 0, then the kind's further rows until one fails or
// lacks its value (the caller's job ID is missing). A failed row 0 keeps its
// own status; after it, a list with rows left unfilled is incomplete
// (CmdBadParameter), whatever stopped the filling, and a failed last row keeps
// its own status.
CommandStatus FillRows(PathValue* list, int32_t rowCount, const FurtherRow* rows) {
    CommandStatus status = SetPathValue(&list[0], kServiceTypePath, kServiceTypeValue);
    if (status != CmdOk) {
        return status;
    }
    int32_t called = 1;
    for (int32_t row = 1; status == CmdOk && row < rowCount; ++row) {
        if (rows[row - 1].value == nullptr) {
            break;
        }
        status = SetPathValue(&list[row], rows[row - 1].path, rows[row - 1].value);
        ++called;
    }
    return called != rowCount ? CmdBadParameter : status;
}

// Rewrites `text` with the list; on success replaces *text by the rewritten
// document. The working text is released whenever it is replaced.
CommandStatus Rewrite(char** text, const PathValue* list, int32_t rowCount) {
    auto* query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
    if (query == nullptr) {
        return CmdNoMemory;
    }
    CommandStatus status = CreateQuery(query, *text, list, rowCount, 0);
    if (status == CmdOk) {
        const int32_t replaced = ReplaceValues(query);
        if (replaced != 0) {
            status = CommandStatusFromEngine(replaced);
        } else if (query->outputCapacity > QueryOutputSize) {
            // Never copy more than the engine's buffer holds, whatever it says.
            status = CommandStatusFromEngine(XmlErrBufferTooSmall);
        } else {
            FreeAndClear(text);
            *text = CopyText(query->output, query->outputCapacity);
            status = *text != nullptr ? CmdOk : CmdNoMemory;
        }
    }
    DestroyQuery(query);
    return status;
}

}  // namespace

char* BuildCommand(CommandKind kind, const char* jobId, bool useJobId, CommandStatus* status) {
    CommandStatus ignored = CmdOk;
    CommandStatus& result = status != nullptr ? *status : ignored;

    const char* templateText = nullptr;
    int32_t rowCount = 0;
    FurtherRow rows[kMaxRows - 1] = {};
    if (!DescribeKind(kind, jobId, useJobId, &templateText, &rowCount, rows)) {
        result = CmdBadParameter;
        return nullptr;
    }
    char* text = CopyText(templateText, static_cast<uint64_t>(StringLength(templateText)));
    if (text == nullptr) {
        result = CmdNoMemory;
        return nullptr;
    }
    auto* list = static_cast<PathValue*>(AllocZeroed(uint64_t(rowCount) * sizeof(PathValue)));
    if (list == nullptr) {
        FreeMemory(text);
        result = CmdNoMemory;
        return nullptr;
    }
    result = FillRows(list, rowCount, rows);
    if (result == CmdOk) {
        result = Rewrite(&text, list, rowCount);
    }
    FreePathValues(list, rowCount);
    if (result != CmdOk) {
        FreeAndClear(&text);
    }
    return text;
}
