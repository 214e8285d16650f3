// SPDX-License-Identifier: MIT
// Device answers: every status of the command table through the answer that
// produces it, the job ID hand-over, answers the engine refuses, and
// allocation failures that leak nothing and hand nothing back.
#include "protocol/scan_response.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "protocol_test_util.h"
#include "runtime/memory.h"
#include "support/alloc_failure.h"
#include "xmlpath/engine.h"

using namespace prototest;

namespace {

CommandStatus Parse(const std::string& answer) {
    return ParseScanResponse(nullptr, answer.c_str());
}

AnswerParts StartJobAnswer(const char* jobId) {
    AnswerParts parts;
    parts.operation = "StartJobResponse";
    parts.jobId = jobId;
    return parts;
}

// A pointer value that no allocation returns, to prove jobIdOut untouched.
char* const kUntouched = reinterpret_cast<char*>(static_cast<uintptr_t>(0x5A5A5A50));

// What a call handed back through jobIdOut ("untouched" when nothing), released here.
std::string Handed(char* jobId) {
    if (jobId == kUntouched) {
        return "untouched";
    }
    const std::string handed = jobId != nullptr ? jobId : "null";
    FreeMemory(jobId);
    return handed;
}

// The status with jobIdOut given and what it received; the status without
// jobIdOut must be the same, and neither call may leave a block behind.
std::pair<CommandStatus, std::string> Verdict(const std::string& answer) {
    const int64_t before = LiveAllocations();
    const CommandStatus plain = Parse(answer);
    EXPECT_EQ(LiveAllocations(), before);
    char* jobId = kUntouched;
    const CommandStatus status = ParseScanResponse(&jobId, answer.c_str());
    EXPECT_EQ(status, plain);
    return {status, Handed(jobId)};
}

// --- the device's error conditions ----------------------------------------------

TEST(DeviceConditions, EachDetailGivesItsStatus) {
    const struct {
        const char* detail;
        CommandStatus status;
    } kTable[] = {
        {"SequenceError", 4096},
        {"ParameterError", 4352},
        {"NotSupportedService", 4608},
        {"NotSupportedOperation", 4864},
        {"IllegalJobID", 5120},
        {"NoADFDocumentError", 5376},
        {"MismatchDocumentSizeError", 5632},
        {"ADFCoverOpenError", 5888},
        {"DocumentTooLongError", 6144},
        {"ADFDocumentJamError", 6400},
        {"ScannerCarriageLockError", 6656},
        {"WarmUpError", 6912},
        {"DeviceCheckError", 7168},
        {"PCScanning", 7424},
        {"DeviceBusy", 7680},
        {"PowerOnInitializing", 7936},
        {"RetryCommand", 8448},
    };
    for (const auto& row : kTable) {
        EXPECT_EQ(Parse(Answer(Refusal(row.detail))), row.status) << row.detail;
        EXPECT_STREQ(CommandStatusName(row.status), (std::string("Cmd") + row.detail).c_str());
    }
}

TEST(DeviceConditions, AnyOtherDetailIsOtherDetail) {
    for (const char* detail : {"deviceBusy", "Device Busy", "DeviceBusyX", ""}) {
        EXPECT_EQ(Parse(Answer(Refusal(detail))), CmdOtherDetail) << "'" << detail << "'";
    }
    EXPECT_EQ(Parse(Answer(Refusal(nullptr))), CmdOtherDetail);
}

TEST(DeviceConditions, OnlyNgIsARefusal) {
    for (const char* word : {"OK", "ng", "N G", "NGX", ""}) {
        AnswerParts parts = Refusal("DeviceBusy");
        parts.response = word;
        EXPECT_EQ(Parse(Answer(parts)), CmdOk) << "'" << word << "'";
    }
}

// --- service type ----------------------------------------------------------------

TEST(ServiceType, AnswerForAnotherServiceIsWrongServiceWhateverItsResult) {
    for (const char* service : {"\"print\"", "\" scan\"", "\"scan \"", "\"Scan\"", "\"\""}) {
        for (const char* word : {"OK", "NG"}) {
            AnswerParts parts = Refusal("DeviceBusy");
            parts.serviceType = service;
            parts.response = word;
            EXPECT_EQ(Parse(Answer(parts)), CmdWrongService) << service << " " << word;
        }
    }
}

TEST(ServiceType, MissingServiceTypeIsWrongService) {
    AnswerParts parts;
    parts.serviceType = nullptr;
    EXPECT_EQ(Parse(Answer(parts)), CmdWrongService);
}

TEST(ServiceType, TheFirstServiceTypeDecides) {
    const std::string answer =
        kDeclaration + "<cmd xmlns:ivec=\"" + kCommonUri +
        "\"><ivec:contents><ivec:param_set servicetype=\"print\"/>"
        "<ivec:param_set servicetype=\"scan\"><ivec:response>OK</ivec:response>"
        "</ivec:param_set></ivec:contents></cmd>";
    EXPECT_EQ(Parse(answer), CmdWrongService);
}

// --- accepted answers and the job ID ----------------------------------------------

TEST(AcceptedAnswers, OnlyAnAcceptedStartJobResponseHandsItsJobIdBack) {
    AnswerParts refused = StartJobAnswer("00000001");
    refused.response = "NG";
    refused.detail = "IllegalJobID";
    AnswerParts otherWithoutJobId;
    otherWithoutJobId.jobId = nullptr;
    AnswerParts commandName = otherWithoutJobId;
    commandName.operation = "StartJob";  // not the answer's name: no job ID wanted
    AnswerParts serviceTypeOnly = otherWithoutJobId;
    serviceTypeOnly.operation = nullptr;
    serviceTypeOnly.response = nullptr;
    const struct {
        std::string answer;
        CommandStatus status;
        const char* handed;
    } kCases[] = {
        {Answer(StartJobAnswer("00000001")), CmdOk, "00000001"},
        {"noise" + Answer(StartJobAnswer("00000077")), CmdOk, "00000077"},
        {Answer(StartJobAnswer("")), CmdBadParameter, "untouched"},
        {Answer(StartJobAnswer(nullptr)), CmdBadParameter, "untouched"},
        {Answer(refused), CmdIllegalJobID, "untouched"},
        {Answer(otherWithoutJobId), CmdOk, "untouched"},
        {Answer(commandName), CmdOk, "untouched"},
        {Answer(serviceTypeOnly), CmdOk, "untouched"},
    };
    for (const auto& row : kCases) {
        const auto verdict = Verdict(row.answer);
        EXPECT_EQ(verdict.first, row.status) << row.answer;
        EXPECT_EQ(verdict.second, row.handed) << row.answer;
    }
}

// --- bytes before the declaration ---------------------------------------------------

TEST(LeadingBytes, AreSkippedWithTheSameResult) {
    const std::string answers[] = {
        Answer(AnswerParts()),
        Answer(Refusal("DeviceBusy")),
        Answer(StartJobAnswer("")),
        [] {
            AnswerParts parts;
            parts.serviceType = "\"print\"";
            return Answer(parts);
        }(),
    };
    for (const std::string& answer : answers) {
        const CommandStatus plain = Parse(answer);
        for (const std::string& prefix : {std::string("\r\n"), std::string("junk <cmd> </x> "),
                                          std::string(500, ' '), std::string("\x01\x02<?xm")}) {
            EXPECT_EQ(Parse(prefix + answer), plain) << prefix;
        }
    }
}

// --- answers the engine refuses -----------------------------------------------------

TEST(RefusedAnswers, EngineStatusesArriveInTheir16BitForm) {
    EXPECT_EQ(Parse(""), 0xFFFE);                             // XmlErrArgument: empty
    EXPECT_EQ(Parse("<cmd><ivec:contents/></cmd>"), 0xFFFD);  // XmlErrNoDeclaration
    EXPECT_EQ(Parse("<?xm"), 0xFFFB);                         // XmlErrTruncated: under 6 bytes
    const std::string answer = Answer(AnswerParts());
    EXPECT_EQ(Parse(answer.substr(0, answer.size() - 8)),
              CommandStatusFromEngine(XmlErrUnterminated));
    EXPECT_EQ(Parse(kDeclaration + "<answer><x>1</x></answer>"), 0xFFF3);  // XmlErrBadRoot
}

TEST(RefusedAnswers, AbsentAnswerIsBadParameter) {
    char* out = kUntouched;
    EXPECT_EQ(ParseScanResponse(&out, nullptr), CmdBadParameter);
    EXPECT_EQ(out, kUntouched);
}

TEST(RefusedAnswers, StatusNamesCoverEngineStatuses) {
    EXPECT_STREQ(CommandStatusName(0xFFFE), "XmlErrArgument");
    EXPECT_STREQ(CommandStatusName(0xFFF3), "XmlErrBadRoot");
    EXPECT_STREQ(CommandStatusName(CmdOk), "CmdOk");
    EXPECT_STREQ(CommandStatusName(CmdOtherDetail), "CmdOtherDetail");
    EXPECT_STREQ(CommandStatusName(0x404F), "unknown");
}

// --- allocation failures ----------------------------------------------------------

void SweepStartJobAnswer(const std::string& answer) {
    const uint64_t failures = SweepAllocationFailures(
        [&] {
            char* jobId = kUntouched;
            const CommandStatus status = ParseScanResponse(&jobId, answer.c_str());
            return std::make_pair(status, Handed(jobId));
        },
        [](uint64_t failing, const std::pair<CommandStatus, std::string>& result,
           int64_t liveBefore) {
            if (failing == 0) {
                EXPECT_EQ(result.first, CmdOk);
                EXPECT_EQ(result.second, "00000009");
            } else {
                EXPECT_TRUE(IsAllocationFailureStatus(result.first))
                    << "allocation " << failing << " gave " << result.first;
                EXPECT_EQ(result.second, "untouched") << "allocation " << failing;
            }
            EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
        });
    // The path list's strings, each query's record and block, the job ID.
    EXPECT_GT(failures, 10u);
}

TEST(ResponseAllocationFailures, StartJobAnswerFailsCleanlyAtEveryAllocation) {
    SweepStartJobAnswer(Answer(StartJobAnswer("00000009")));
}

TEST(ResponseAllocationFailures, SecondPassAfterLeadingBytesFailsCleanlyToo) {
    SweepStartJobAnswer("\r\n\r\n" + Answer(StartJobAnswer("00000009")));
}

// A refusal whose detail cannot be copied is out of memory, not a refusal for
// some other reason: the device's condition was never read.
TEST(ResponseAllocationFailures, RefusalFailsAsOutOfMemoryAtEveryAllocation) {
    const std::string answer = Answer(Refusal("DeviceBusy"));
    const uint64_t failures = SweepAllocationFailures(
        [&] { return ParseScanResponse(nullptr, answer.c_str()); },
        [](uint64_t failing, CommandStatus status, int64_t liveBefore) {
            if (failing == 0) {
                EXPECT_EQ(status, CmdDeviceBusy);
            } else {
                EXPECT_TRUE(IsAllocationFailureStatus(status))
                    << "allocation " << failing << " gave " << CommandStatusName(status);
            }
            EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
        });
    // The path list's strings, each query's record and block, the detail's copy.
    EXPECT_GT(failures, 10u);
}

}  // namespace
