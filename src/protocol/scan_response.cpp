// SPDX-License-Identifier: MIT
// Reading a device answer: the paths of the five values, the engine run that
// skips bytes before the declaration, and the mapping to a command status.
#include "protocol/scan_response.h"

#include "runtime/bytes.h"
#include "runtime/memory.h"
#include "xmlpath/engine.h"
#include "xmlpath/query.h"
#include "xmlpath/scanner.h"

namespace {

enum AnswerRow : int32_t {
    RowServiceType,
    RowOperation,
    RowJobId,
    RowResponse,
    RowDetail,
    AnswerRowCount,
};

constexpr const char* kAnswerPaths[AnswerRowCount] = {
    "cmd/ivec:contents/ivec:param_set servicetype",
    "cmd/ivec:contents/ivec:operation",
    "cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:jobID",
    "cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:response",
    "cmd/ivec:contents/ivec:param_set servicetype=\"scan\"/ivec:response_detail",
};

constexpr char kScanService[] = "\"scan\"";  // the attribute value with its quotes
constexpr char kRefused[] = "NG";
constexpr char kStartJobAnswer[] = "StartJobResponse";

// Everything one interpretation owns; released together whatever happened.
struct AnswerWork {
    PathValue* list;
    XmlQuery* query;
    char* texts[AnswerRowCount];
};

void ReleaseWork(AnswerWork* work) {
    FreePathValues(work->list, AnswerRowCount);
    work->list = nullptr;
    DestroyQuery(work->query);
    work->query = nullptr;
    for (char*& text : work->texts) {
        FreeAndClear(&text);
    }
}

CommandStatus MakePathList(AnswerWork* work) {
    work->list = static_cast<PathValue*>(AllocZeroed(AnswerRowCount * sizeof(PathValue)));
    if (work->list == nullptr) {
        return CmdNoMemory;
    }
    for (int32_t row = 0; row < AnswerRowCount; ++row) {
        const CommandStatus status = SetPathValue(&work->list[row], kAnswerPaths[row], nullptr);
        if (status != CmdOk) {
            return status;
        }
    }
    return CmdOk;
}

// Runs the engine over the answer. When the declaration is not at the start,
// the answer is queried again from the declaration on; a document that
// begins with its declaration cannot report that again, so the second pass
// is the last.
CommandStatus RunAnswerQuery(AnswerWork* work, const char* answer) {
    uint32_t start = 0;
    for (int pass = 0; pass < 2; ++pass) {
        work->query = static_cast<XmlQuery*>(AllocZeroed(sizeof(XmlQuery)));
        if (work->query == nullptr) {
            return CmdNoMemory;
        }
        const CommandStatus created =
            CreateQuery(work->query, answer, work->list, AnswerRowCount, start);
        if (created != CmdOk) {
            return created;
        }
        const int32_t scanned = QueryValues(work->query);
        if (scanned == 0) {
            return CmdOk;
        }
        if (scanned != XmlErrDeclarationNotAtStart || pass > 0) {
            return CommandStatusFromEngine(scanned);
        }
        const uint32_t declaration = static_cast<uint32_t>(work->query->scanEnd);
        if (declaration == 0) {
            return CmdBadParameter;
        }
        DestroyQuery(work->query);
        work->query = nullptr;
        start += declaration;
    }
    return CmdBadParameter;  // not reached: the loop returns on its second pass
}

// A new NUL-terminated copy of the row's first match; empty when nothing
// matched. Null only when memory is exhausted.
char* CopyRowText(const XmlQuery* query, int32_t row) {
    const QueryEntry& entry = query->entries[row];
    uint64_t length = entry.matchLength;
    if (entry.matchOffset > query->documentLength ||
        length > query->documentLength - entry.matchOffset) {
        length = 0;  // a span outside the document reads as nothing
    }
    char* copy = static_cast<char*>(AllocZeroed(length + 1));
    if (copy != nullptr && length > 0) {
        MoveBytes(query->document + entry.matchOffset, copy, length);
    }
    return copy;
}

bool TextIs(const char* text, const char* expected) {
    return CompareStrings(text, expected) == 0;
}

CommandStatus DetailStatus(const char* detail) {
    for (const DeviceDetailStatus& known : DeviceDetailTable) {
        if (TextIs(detail, known.detail)) {
            return known.status;
        }
    }
    return CmdOtherDetail;
}

CommandStatus Interpret(AnswerWork* work, char** jobIdOut) {
    char** texts = work->texts;
    texts[RowServiceType] = CopyRowText(work->query, RowServiceType);
    if (texts[RowServiceType] == nullptr) {
        return CmdNoMemory;
    }
    if (!TextIs(texts[RowServiceType], kScanService)) {
        return CmdWrongService;
    }
    for (int32_t row = RowOperation; row <= RowResponse; ++row) {
        texts[row] = CopyRowText(work->query, row);
        if (texts[row] == nullptr) {
            return CmdNoMemory;
        }
    }
    if (TextIs(texts[RowResponse], kRefused)) {
        texts[RowDetail] = CopyRowText(work->query, RowDetail);
        if (texts[RowDetail] == nullptr) {
            return CmdNoMemory;
        }
        return DetailStatus(texts[RowDetail]);
    }
    if (!TextIs(texts[RowOperation], kStartJobAnswer)) {
        return CmdOk;
    }
    if (texts[RowJobId][0] == '\0') {
        return CmdBadParameter;
    }
    if (jobIdOut != nullptr) {
        // Hand over the copy already made: the caller's pointer changes only on success.
        *jobIdOut = texts[RowJobId];
        texts[RowJobId] = nullptr;
    }
    return CmdOk;
}

}  // namespace

CommandStatus ParseScanResponse(char** jobIdOut, const char* answer) {
    AnswerWork work = {};
    CommandStatus status = MakePathList(&work);
    if (status == CmdOk) {
        status = RunAnswerQuery(&work, answer);
    }
    if (status == CmdOk) {
        status = Interpret(&work, jobIdOut);
    }
    ReleaseWork(&work);
    return status;
}
