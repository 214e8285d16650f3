// Device answers: every status of the command table through the answer that
// produces it, the job ID hand-over, answers the engine refuses, and
// allocation failures that leak nothing and hand nothing back.
#include "protocol/scan_response.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(DeviceConditions, RefusalHandsNoJobIdBack) {
    AnswerParts parts = StartJobAnswer("00000001");
    parts.response = "NG";
    parts.detail = "IllegalJobID";
    char* jobId = kUntouched;
    EXPECT_EQ(ParseScanResponse(&jobId, Answer(parts).c_str()), CmdIllegalJobID);
    EXPECT_EQ(jobId, kUntouched);
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

TEST(AcceptedAnswers, StartJobResponseHandsTheJobIdBack) {
    char* jobId = nullptr;
    EXPECT_EQ(ParseScanResponse(&jobId, Answer(StartJobAnswer("00000001")).c_str()), CmdOk);
    ASSERT_NE(jobId, nullptr);
    EXPECT_STREQ(jobId, "00000001");
    FreeMemory(jobId);
}

TEST(AcceptedAnswers, StartJobResponseWithoutJobIdOutHandsNothing) {
    const int64_t before = LiveAllocations();
    EXPECT_EQ(Parse(Answer(StartJobAnswer("00000001"))), CmdOk);
    EXPECT_EQ(LiveAllocations(), before);
}

TEST(AcceptedAnswers, StartJobResponseWithoutJobIdIsBadParameter) {
    for (const char* jobId : {"", static_cast<const char*>(nullptr)}) {
        char* out = kUntouched;
        EXPECT_EQ(ParseScanResponse(&out, Answer(StartJobAnswer(jobId)).c_str()), CmdBadParameter);
        EXPECT_EQ(out, kUntouched);
        EXPECT_EQ(Parse(Answer(StartJobAnswer(jobId))), CmdBadParameter);
    }
}

TEST(AcceptedAnswers, OtherOperationsNeedNoJobIdAndHandNoneBack) {
    AnswerParts parts;
    parts.jobId = nullptr;
    char* out = kUntouched;
    EXPECT_EQ(ParseScanResponse(&out, Answer(parts).c_str()), CmdOk);
    EXPECT_EQ(out, kUntouched);
    parts.operation = "StartJob";  // not the answer's name: no job ID wanted
    EXPECT_EQ(Parse(Answer(parts)), CmdOk);
}

TEST(AcceptedAnswers, AnswerWithOnlyItsServiceTypeIsAccepted) {
    AnswerParts parts;
    parts.operation = nullptr;
    parts.jobId = nullptr;
    parts.response = nullptr;
    EXPECT_EQ(Parse(Answer(parts)), CmdOk);
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

TEST(LeadingBytes, JobIdComesFromTheAnswerAfterThem) {
    char* jobId = nullptr;
    const std::string answer = "noise" + Answer(StartJobAnswer("00000077"));
    EXPECT_EQ(ParseScanResponse(&jobId, answer.c_str()), CmdOk);
    ASSERT_NE(jobId, nullptr);
    EXPECT_STREQ(jobId, "00000077");
    FreeMemory(jobId);
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
            std::string handed = "untouched";
            if (jobId != kUntouched) {
                handed = jobId != nullptr ? jobId : "null";
                FreeMemory(jobId);
            }
            return std::make_pair(status, handed);
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
    EXPECT_GT(failures, 20u);
}

TEST(ResponseAllocationFailures, StartJobAnswerFailsCleanlyAtEveryAllocation) {
    SweepStartJobAnswer(Answer(StartJobAnswer("00000009")));
}

TEST(ResponseAllocationFailures, SecondPassAfterLeadingBytesFailsCleanlyToo) {
    SweepStartJobAnswer("\r\n\r\n" + Answer(StartJobAnswer("00000009")));
}

}  // namespace
