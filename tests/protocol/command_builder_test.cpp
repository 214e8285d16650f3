// SPDX-License-Identifier: MIT
// Command documents: each kind and each way of passing a job ID gives exactly
// the expected document or the expected refusal, and no allocation failure
// leaks or yields a half-built command.
#include "protocol/command_builder.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "protocol_test_util.h"
#include "runtime/memory.h"
#include "support/alloc_failure.h"

using namespace prototest;

namespace {

const std::string kHead = kDeclaration + "<cmd xmlns:ivec=\"" + kCommonUri + "\"";

std::string StartJobDocument() {
    return kHead +
           "><ivec:contents><ivec:operation>StartJob</ivec:operation>"
           "<ivec:param_set servicetype=\"scan\"><ivec:jobID>00000001</ivec:jobID>"
           "<ivec:bidi>1</ivec:bidi></ivec:param_set></ivec:contents></cmd>";
}

std::string EndJobDocument(const std::string& jobId) {
    return kHead +
           "><ivec:contents><ivec:operation>EndJob</ivec:operation>"
           "<ivec:param_set servicetype=\"scan\"><ivec:jobID>" +
           jobId + "</ivec:jobID></ivec:param_set></ivec:contents></cmd>";
}

std::string ModeShiftDocument(const std::string& jobId) {
    return kHead + " xmlns:vxr=\"" + kVendorUri +
           "\"><ivec:contents><ivec:operation>VendorCmd</ivec:operation>"
           "<ivec:param_set servicetype=\"scan\"><ivec:jobID>" +
           jobId +
           "</ivec:jobID><vxr:ijoperation>ModeShift</vxr:ijoperation><vxr:ijmode>1</vxr:ijmode>"
           "</ivec:param_set></ivec:contents></cmd>";
}

// The built text and status; the text is released here.
struct Built {
    bool present;
    std::string text;
    CommandStatus status;
};

Built Build(CommandKind kind, const char* jobId, bool useJobId) {
    CommandStatus status = 0xABCD;
    char* text = BuildCommand(kind, jobId, useJobId, &status);
    Built built{text != nullptr, text != nullptr ? std::string(text) : std::string(), status};
    FreeMemory(text);
    return built;
}

void ExpectDocument(const Built& built, const std::string& expected) {
    ASSERT_TRUE(built.present) << "status " << built.status;
    EXPECT_EQ(built.status, CmdOk);
    EXPECT_EQ(built.text, expected);
}

void ExpectRefused(const Built& built, CommandStatus status) {
    EXPECT_FALSE(built.present) << built.text;
    EXPECT_EQ(built.status, status);
}

// One build: the kind, the job ID and whether to use it; the expected
// document, or (no document) the status of the refusal.
struct BuildCase {
    const char* name;
    CommandKind kind;
    const char* jobId;
    bool useJobId;
    std::string document;
    CommandStatus refusal;
};

TEST(CommandDocuments, EachKindAndJobIdGiveTheDocumentOrTheRefusal) {
    const std::string longJobId(900, '7');
    const BuildCase cases[] = {
        {"mode shift without job ID", KindModeShift, nullptr, false, ModeShiftDocument(" "), 0},
        {"mode shift, no job ID to use", KindModeShift, nullptr, true, ModeShiftDocument(" "), 0},
        {"mode shift, job ID unused", KindModeShift, "00000042", false, ModeShiftDocument(" "), 0},
        {"mode shift, job ID used", KindModeShift, "00000042", true, ModeShiftDocument("00000042"),
         0},
        {"mode shift ignores an empty job ID", KindModeShift, "", false, ModeShiftDocument(" "), 0},
        {"mode shift refuses an empty job ID", KindModeShift, "", true, "", CmdBadParameter},
        {"end job with job ID", KindEndJob, "12345678", false, EndJobDocument("12345678"), 0},
        {"end job, short job ID", KindEndJob, "7", true, EndJobDocument("7"), 0},
        {"end job needs a job ID", KindEndJob, nullptr, true, "", CmdBadParameter},
        {"end job needs a non-empty job ID", KindEndJob, "", true, "", CmdBadParameter},
        {"start job keeps its own job ID", KindStartJob, nullptr, false, StartJobDocument(), 0},
        {"start job ignores a job ID", KindStartJob, "99999999", true, StartJobDocument(), 0},
        {"kind 0", 0, "1", true, "", CmdBadParameter},
        {"kind 4", 4, "1", true, "", CmdBadParameter},
        {"kind -1", -1, "1", true, "", CmdBadParameter},
        {"kind 256", 256, "1", true, "", CmdBadParameter},
        {"beyond the engine's buffer", KindEndJob, longJobId.c_str(), false, "",
         0xFFF4},  // XmlErrBufferTooSmall
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Built built = Build(c.kind, c.jobId, c.useJobId);
        if (c.document.empty()) {
            ExpectRefused(built, c.refusal);
        } else {
            ExpectDocument(built, c.document);
        }
        // Without a status the same document, or nothing, comes back.
        char* text = BuildCommand(c.kind, c.jobId, c.useJobId, nullptr);
        EXPECT_EQ(text != nullptr ? std::string(text) : std::string(), c.document);
        FreeMemory(text);
    }
}

// --- allocation failures -------------------------------------------------------

// Allocations of a build: the working text, the path list, then the path and
// value of each row in turn. `statusAt` names failing allocations whose
// refusal has a known status; any other failure gives an allocation status.
struct SweepCase {
    const char* name;
    CommandKind kind;
    const char* jobId;
    bool useJobId;
    std::string expected;
    std::map<uint64_t, CommandStatus> statusAt;
};

// Running out of memory on the mode shift's middle row (allocations 5 and 6)
// leaves its path list incomplete (CmdBadParameter); on its first and last
// rows the failure keeps its own status.
TEST(CommandAllocationFailures, EveryKindFailsCleanlyAtEveryAllocation) {
    const std::map<uint64_t, CommandStatus> kModeShiftStatuses = {
        {3, CmdNoMemory},     {4, CmdNoMemory}, {5, CmdBadParameter},
        {6, CmdBadParameter}, {7, CmdNoMemory}, {8, CmdNoMemory}};
    const SweepCase cases[] = {
        {"start job", KindStartJob, nullptr, false, StartJobDocument(), {}},
        {"end job", KindEndJob, "00000003", false, EndJobDocument("00000003"), {}},
        {"mode shift", KindModeShift, "00000005", true, ModeShiftDocument("00000005"),
         kModeShiftStatuses},
    };
    for (const SweepCase& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t failures = SweepAllocationFailures(
            [&] { return Build(c.kind, c.jobId, c.useJobId); },
            [&](uint64_t failing, const Built& built, int64_t liveBefore) {
                const auto known = c.statusAt.find(failing);
                if (failing == 0) {
                    ExpectDocument(built, c.expected);
                } else if (known != c.statusAt.end()) {
                    ExpectRefused(built, known->second);
                } else {
                    EXPECT_FALSE(built.present) << "allocation " << failing;
                    EXPECT_TRUE(IsAllocationFailureStatus(built.status))
                        << "allocation " << failing << " gave " << built.status;
                }
                EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
            });
        // The path list's strings, the query's record and block, the command text.
        EXPECT_GT(failures, 6u);
    }
}

}  // namespace
