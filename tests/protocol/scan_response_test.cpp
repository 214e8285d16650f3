// SPDX-License-Identifier: MIT
// Device answers: every status of the command table through the answer that
// produces it, the job ID hand-over, answers the engine refuses, and
// allocation failures that leak nothing and hand nothing back.
#include "protocol/scan_response.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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
        EXPECT_EQ(Verdict(Answer(Refusal(row.detail))),
                  std::make_pair(row.status, std::string("untouched")))
            << row.detail;
        EXPECT_STREQ(CommandStatusName(row.status), (std::string("Cmd") + row.detail).c_str());
    }
}

// Every answer's verdict: its status, and what reached jobIdOut (a job ID,
// or "untouched").
struct VerdictCase {
    std::string name;
    std::string answer;
    CommandStatus status;
    const char* handed;
};

AnswerParts Responding(AnswerParts parts, const char* response) {
    parts.response = response;
    return parts;
}

AnswerParts ForService(AnswerParts parts, const char* serviceType) {
    parts.serviceType = serviceType;
    return parts;
}

AnswerParts Operation(AnswerParts parts, const char* operation) {
    parts.operation = operation;
    return parts;
}

TEST(AnswerVerdicts, EachAnswerGivesItsStatusAndOnlyAnAcceptedStartJobHandsItsJobIdBack) {
    const char* const kNone = "untouched";
    std::vector<VerdictCase> cases;
    // Only these exact details have a status of their own.
    for (const char* detail : {"deviceBusy", "Device Busy", "DeviceBusyX", ""}) {
        cases.push_back({std::string("detail '") + detail + "'", Answer(Refusal(detail)),
                         CmdOtherDetail, kNone});
    }
    cases.push_back({"no detail", Answer(Refusal(nullptr)), CmdOtherDetail, kNone});
    // Only "NG" is a refusal.
    for (const char* word : {"OK", "ng", "N G", "NGX", ""}) {
        cases.push_back({std::string("response '") + word + "'",
                         Answer(Responding(Refusal("DeviceBusy"), word)), CmdOk, kNone});
    }
    // An answer for another service is wrong whatever its result.
    for (const char* service : {"\"print\"", "\" scan\"", "\"scan \"", "\"Scan\"", "\"\""}) {
        for (const char* word : {"OK", "NG"}) {
            cases.push_back({std::string("service ") + service + " " + word,
                             Answer(ForService(Responding(Refusal("DeviceBusy"), word), service)),
                             CmdWrongService, kNone});
        }
    }
    cases.push_back(
        {"no servicetype", Answer(ForService(AnswerParts(), nullptr)), CmdWrongService, kNone});
    cases.push_back({"the first servicetype decides",
                     kDeclaration + "<cmd xmlns:ivec=\"" + kCommonUri +
                         "\"><ivec:contents><ivec:param_set servicetype=\"print\"/>"
                         "<ivec:param_set servicetype=\"scan\"><ivec:response>OK</ivec:response>"
                         "</ivec:param_set></ivec:contents></cmd>",
                     CmdWrongService, kNone});
    // The job ID of an accepted StartJobResponse, and of nothing else.
    AnswerParts noJobId;
    noJobId.jobId = nullptr;
    AnswerParts serviceTypeOnly = Responding(Operation(noJobId, nullptr), nullptr);
    AnswerParts refusedStart = StartJobAnswer("00000001");
    refusedStart.response = "NG";
    refusedStart.detail = "IllegalJobID";
    const VerdictCase jobIds[] = {
        {"accepted start job", Answer(StartJobAnswer("00000001")), CmdOk, "00000001"},
        {"noise before it", "noise" + Answer(StartJobAnswer("00000077")), CmdOk, "00000077"},
        {"empty job ID", Answer(StartJobAnswer("")), CmdBadParameter, kNone},
        {"no job ID", Answer(StartJobAnswer(nullptr)), CmdBadParameter, kNone},
        {"refused start job", Answer(refusedStart), CmdIllegalJobID, kNone},
        {"other answer without job ID", Answer(noJobId), CmdOk, kNone},
        // The command's name, not the answer's: no job ID wanted.
        {"StartJob operation", Answer(Operation(noJobId, "StartJob")), CmdOk, kNone},
        {"servicetype only", Answer(serviceTypeOnly), CmdOk, kNone},
    };
    cases.insert(cases.end(), std::begin(jobIds), std::end(jobIds));
    // Answers the engine refuses give its status in the 16-bit form.
    const std::string whole = Answer(AnswerParts());
    const VerdictCase refused[] = {
        {"empty", "", 0xFFFE, kNone},                                      // XmlErrArgument
        {"no declaration", "<cmd><ivec:contents/></cmd>", 0xFFFD, kNone},  // XmlErrNoDeclaration
        {"under 6 bytes", "<?xm", 0xFFFB, kNone},                          // XmlErrTruncated
        {"cut short", whole.substr(0, whole.size() - 8),
         CommandStatusFromEngine(XmlErrUnterminated), kNone},
        {"other root", kDeclaration + "<answer><x>1</x></answer>", 0xFFF3, kNone},  // XmlErrBadRoot
    };
    cases.insert(cases.end(), std::begin(refused), std::end(refused));
    for (const VerdictCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto verdict = Verdict(c.answer);
        EXPECT_EQ(verdict.first, c.status);
        EXPECT_EQ(verdict.second, c.handed);
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

// The failure-free run's status and job ID; `wantJobId` passes jobIdOut.
struct SweepCase {
    const char* name;
    std::string answer;
    bool wantJobId;
    CommandStatus status;
    const char* handed;
};

// A refusal whose detail cannot be copied is out of memory, not a refusal for
// some other reason: the device's condition was never read.
TEST(ResponseAllocationFailures, EveryAnswerFailsCleanlyAtEveryAllocation) {
    const SweepCase cases[] = {
        {"start job answer", Answer(StartJobAnswer("00000009")), true, CmdOk, "00000009"},
        {"second pass after leading bytes", "\r\n\r\n" + Answer(StartJobAnswer("00000009")), true,
         CmdOk, "00000009"},
        {"refusal", Answer(Refusal("DeviceBusy")), false, CmdDeviceBusy, "untouched"},
    };
    for (const SweepCase& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t failures = SweepAllocationFailures(
            [&] {
                char* jobId = kUntouched;
                const CommandStatus status =
                    ParseScanResponse(c.wantJobId ? &jobId : nullptr, c.answer.c_str());
                return std::make_pair(status, Handed(jobId));
            },
            [&](uint64_t failing, const std::pair<CommandStatus, std::string>& result,
                int64_t liveBefore) {
                if (failing == 0) {
                    EXPECT_EQ(result.first, c.status);
                    EXPECT_EQ(result.second, c.handed);
                } else {
                    EXPECT_TRUE(IsAllocationFailureStatus(result.first))
                        << "allocation " << failing << " gave " << CommandStatusName(result.first);
                    EXPECT_EQ(result.second, "untouched") << "allocation " << failing;
                }
                EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
            });
        // The path list's strings, each query's record and block, the job ID or detail.
        EXPECT_GT(failures, 10u);
    }
}

}  // namespace
