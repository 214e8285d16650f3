// SPDX-License-Identifier: MIT
// Command documents: each kind and each way of passing a job ID gives exactly
// the expected document or the expected refusal, and no allocation failure
// leaks or yields a half-built command.
#include "protocol/command_builder.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "protocol_test_util.h"
#include "runtime/memory.h"
#include "support/alloc_failure.h"
#include "xmlpath/engine.h"

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

// --- the documents -------------------------------------------------------------

TEST(CommandDocuments, TemplatesUseTheEnginesNamespaceUris) {
    EXPECT_EQ(kCommonUri, NamespaceTable[0].uri);
    EXPECT_STREQ(NamespaceTable[0].prefix, "ivec");
    EXPECT_EQ(kVendorUri, NamespaceTable[1].uri);
    EXPECT_STREQ(NamespaceTable[1].prefix, "vxr");
}

TEST(CommandDocuments, ModeShiftWithoutJobIdCarriesOneSpace) {
    ExpectDocument(Build(KindModeShift, nullptr, false), ModeShiftDocument(" "));
    ExpectDocument(Build(KindModeShift, nullptr, true), ModeShiftDocument(" "));
}

TEST(CommandDocuments, ModeShiftIgnoresAJobIdUnlessAskedToUseIt) {
    ExpectDocument(Build(KindModeShift, "00000042", false), ModeShiftDocument(" "));
    ExpectDocument(Build(KindModeShift, "00000042", true), ModeShiftDocument("00000042"));
}

TEST(CommandDocuments, EndJobCarriesTheGivenJobId) {
    ExpectDocument(Build(KindEndJob, "12345678", false), EndJobDocument("12345678"));
    ExpectDocument(Build(KindEndJob, "7", true), EndJobDocument("7"));
}

TEST(CommandDocuments, StartJobIgnoresJobIdAndKeepsTheTemplatesOwn) {
    ExpectDocument(Build(KindStartJob, nullptr, false), StartJobDocument());
    ExpectDocument(Build(KindStartJob, "99999999", true), StartJobDocument());
}

TEST(CommandDocuments, StatusMayBeAbsent) {
    char* text = BuildCommand(KindEndJob, "1", false, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), EndJobDocument("1"));
    FreeMemory(text);
    EXPECT_EQ(BuildCommand(KindEndJob, nullptr, false, nullptr), nullptr);
}

// --- refusals ------------------------------------------------------------------

TEST(CommandRefusals, UnknownKindsAreBadParameters) {
    for (CommandKind kind : {0, 4, -1, 256}) {
        ExpectRefused(Build(kind, "1", true), CmdBadParameter);
    }
}

TEST(CommandRefusals, EndJobNeedsANonEmptyJobId) {
    ExpectRefused(Build(KindEndJob, nullptr, true), CmdBadParameter);
    ExpectRefused(Build(KindEndJob, "", true), CmdBadParameter);
}

TEST(CommandRefusals, ModeShiftRefusesAnEmptyJobIdItWasAskedToUse) {
    ExpectRefused(Build(KindModeShift, "", true), CmdBadParameter);
    ExpectDocument(Build(KindModeShift, "", false), ModeShiftDocument(" "));
}

TEST(CommandRefusals, ADocumentBeyondTheEnginesBufferGivesItsStatus) {
    const std::string longJobId(900, '7');
    ExpectRefused(Build(KindEndJob, longJobId.c_str(), false), 0xFFF4);  // XmlErrBufferTooSmall
}

// --- allocation failures -------------------------------------------------------

// Allocations of a build: the working text, the path list, then the path and
// value of each row in turn. `incompleteAt` names the failing allocations that
// leave the path list incomplete (CmdBadParameter).
void SweepBuild(CommandKind kind, const char* jobId, bool useJobId, const std::string& expected,
                const std::set<uint64_t>& incompleteAt = {}) {
    const uint64_t failures = SweepAllocationFailures(
        [&] { return Build(kind, jobId, useJobId); },
        [&](uint64_t failing, const Built& built, int64_t liveBefore) {
            if (failing == 0) {
                ExpectDocument(built, expected);
            } else if (incompleteAt.count(failing) != 0) {
                ExpectRefused(built, CmdBadParameter);
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

TEST(CommandAllocationFailures, StartJobFailsCleanlyAtEveryAllocation) {
    SweepBuild(KindStartJob, nullptr, false, StartJobDocument());
}

TEST(CommandAllocationFailures, EndJobFailsCleanlyAtEveryAllocation) {
    SweepBuild(KindEndJob, "00000003", false, EndJobDocument("00000003"));
}

// Running out of memory on the mode shift's middle row (allocations 5 and 6)
// leaves its path list incomplete; on its first and last rows the failure
// keeps its own status.
TEST(CommandAllocationFailures, ModeShiftFailsCleanlyAtEveryAllocation) {
    SweepBuild(KindModeShift, "00000005", true, ModeShiftDocument("00000005"), {5, 6});
    for (uint64_t failing : {3, 4, 7, 8}) {
        FailAllocationAfter(failing, false);
        const Built built = Build(KindModeShift, "00000005", true);
        ClearAllocationFailure();
        SCOPED_TRACE(failing);
        ExpectRefused(built, CmdNoMemory);
    }
}

}  // namespace
