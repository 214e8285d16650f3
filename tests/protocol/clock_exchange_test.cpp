// SPDX-License-Identifier: MIT
// The mode-shift and clock exchange against the simulated ZN417: one command
// then one packet, each answer taken off the pipe whole, every failure ending
// the exchange without a clock packet, and a silent device released by Stop.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "exchange_fixture.h"
#include "protocol_test_util.h"
#include "support/alloc_failure.h"

using namespace prototest;

namespace {

const std::string kExample(reinterpret_cast<const char*>(kExamplePacket), ClockPacketSize);

// An answer of exactly `length` bytes: `answer` with spaces after its declaration.
std::string Padded(const std::string& answer, size_t length) {
    std::string padded = answer;
    padded.insert(kDeclaration.size(), length - answer.size(), ' ');
    return padded;
}

// --- the exchange -------------------------------------------------------------------

TEST_F(DeviceExchange, AcceptedCommandIsFollowedByExactlyOneClockPacket) {
    EXPECT_EQ(AnswerStatusPacket(), CmdOk);
    const std::vector<Write> writes = Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].status, PlatformOk);
    EXPECT_EQ(writes[0].bytes, Zn417ExpectedModeShift());
    EXPECT_EQ(writes[1].bytes, kExample);

    const Zn417Report report = Zn417GetReport(model_);
    EXPECT_EQ(report.commandsAccepted, 1u);
    EXPECT_EQ(report.clockPackets, 1u);
    EXPECT_EQ(report.unexpectedWrites + report.badClockPackets, 0u);
    EXPECT_TRUE(report.clockSet);
    EXPECT_EQ(report.lastClock.year, 2024);
    EXPECT_EQ(report.lastClock.hour * 100 + report.lastClock.minute, 905);
    EXPECT_EQ(LeftOnBulkIn(), "");
}

TEST_F(DeviceExchange, EachStatusPacketRunsTheWholeExchangeAgain) {
    EXPECT_EQ(AnswerStatusPacket(), CmdOk);
    VirtualClockAdvance(61ull * 60 * 1000000);
    EXPECT_EQ(AnswerStatusPacket(), CmdOk);
    EXPECT_EQ(Writes().size(), 4u);
    EXPECT_EQ(Zn417GetReport(model_).lastClock.hour * 100 + Zn417GetReport(model_).lastClock.minute,
              1006);
}

// --- answers of every kind ----------------------------------------------------------

// One exchange per row, in turn on one device: the answer's status, and the
// writes it took (2 when the clock packet followed the command).
struct AnswerCase {
    const char* name;
    Zn417AnswerMode mode;
    std::string text;  // the detail (Zn417AnswerRefuse) or the bytes (Zn417AnswerCustom)
    CommandStatus status;
    uint32_t writes;
};

TEST_F(DeviceExchange, EachAnswerIsTakenWholeAndDecidesWhetherTheClockFollows) {
    const std::string accepted = Answer(AnswerParts());
    const AnswerCase cases[] = {
        {"2048 bytes", Zn417AnswerCustom, Padded(accepted, 2048), CmdOk, 2},
        // The deciding values sit in the last bytes of the transfer.
        {"2048 bytes refusing", Zn417AnswerCustom, Padded(Answer(Refusal("DeviceBusy")), 2048),
         CmdDeviceBusy, 1},
        {"longer than the request", Zn417AnswerCustom, Padded(accepted, 2049), 0xFFFE, 1},
        {"bytes after a NUL", Zn417AnswerCustom, accepted + std::string("\0garbage", 8), CmdOk, 2},
        // The answer ends with its declaration, so no servicetype is found.
        {"NUL after the declaration", Zn417AnswerCustom,
         kDeclaration + std::string("\0", 1) + accepted, CmdWrongService, 1},
        {"no bytes", Zn417AnswerNothing, "", 0xFFFE, 1},
        {"device busy", Zn417AnswerRefuse, "DeviceBusy", 7680, 1},
        {"garbage", Zn417AnswerGarbage, "", 0xFFFD, 1},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t before = SimWriteCount(interface_);
        if (c.mode == Zn417AnswerCustom) {
            Zn417SetCustomAnswer(model_, c.text.data(), static_cast<uint32_t>(c.text.size()));
        } else {
            Zn417SetAnswerMode(model_, c.mode, c.text.empty() ? nullptr : c.text.c_str());
        }
        EXPECT_EQ(AnswerStatusPacket(), c.status);
        EXPECT_EQ(SimWriteCount(interface_) - before, c.writes);
        EXPECT_EQ(LeftOnBulkIn(), "");
    }
    EXPECT_EQ(Zn417GetReport(model_).answersSent, 8u);
}

TEST_F(DeviceExchange, FailedReadIsAnEmptyAnswer) {
    SimFailStep(SimStepRead, PlatformErrStalled, interface_, Zn417BulkInPipe, 1);
    EXPECT_EQ(AnswerStatusPacket(), 0xFFFE);
    EXPECT_EQ(Writes().size(), 1u);
    LeftOnBulkIn();  // the device's answer stays behind the failed read
}

// --- failed writes -------------------------------------------------------------------

TEST_F(DeviceExchange, FailedCommandWriteReturnsWithoutReading) {
    SimFailStep(SimStepWrite, PlatformErrStalled, interface_, 0, 1);
    SimQueueInPacket(interface_, Zn417BulkInPipe, "early", 5);
    EXPECT_EQ(AnswerStatusPacket(), 0x404F);  // the low half of PlatformErrStalled
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0].status, PlatformErrStalled);
    EXPECT_EQ(LeftOnBulkIn(), "early");
}

TEST_F(DeviceExchange, FailedClockWriteReturnsWithoutReading) {
    ASSERT_EQ(SendModeShift(&state_), CmdOk);
    SimFailStep(SimStepWrite, PlatformErrNoDevice, interface_, 0, 1);
    SimQueueInPacket(interface_, Zn417BulkInPipe, "early", 5);
    SendClock(&state_);
    ASSERT_EQ(Writes().size(), 2u);
    EXPECT_EQ(Writes()[1].status, PlatformErrNoDevice);
    EXPECT_EQ(Zn417GetReport(model_).clockPackets, 0u);
    EXPECT_EQ(LeftOnBulkIn(), "early");
}

TEST_F(DeviceExchange, AbsentStateOrClosedInterfaceSendsNothing) {
    EXPECT_EQ(SendModeShift(nullptr), CmdBadParameter);
    SendClock(nullptr);
    CloseScannerInterface(&state_);
    EXPECT_EQ(AnswerStatusPacket(), static_cast<CommandStatus>(PlatformErrNotOpen & 0xFFFF));
    SendClock(&state_);
    EXPECT_EQ(Writes().size(), 0u);
}

// --- a device that never answers -------------------------------------------------------

TEST_F(DeviceExchange, CloseEndsTheWaitForASilentDevicePromptly) {
    Zn417SetAnswerMode(model_, Zn417AnswerNever);
    std::future<CommandStatus> exchange =
        std::async(std::launch::async, [this] { return AnswerStatusPacket(); });
    ASSERT_TRUE(SimWaitForBlockedReads(1, 10000));
    CloseScannerInterface(&state_);
    ASSERT_EQ(exchange.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(exchange.get(), 0xFFFE);
    EXPECT_EQ(Writes().size(), 1u);
}

// --- allocation failures -----------------------------------------------------------------

TEST_F(DeviceExchange, AllocationFailuresLeakNothingAndLeaveNoAnswerBehind) {
    const uint64_t failures = SweepAllocationFailures(
        [this] {
            const uint32_t before = SimWriteCount(interface_);
            const CommandStatus status = AnswerStatusPacket();
            return std::make_pair(status, SimWriteCount(interface_) - before);
        },
        [this](uint64_t failing, const std::pair<CommandStatus, uint32_t>& result,
               int64_t liveBefore) {
            if (failing == 0) {
                EXPECT_EQ(result.first, CmdOk);
                EXPECT_EQ(result.second, 2u);
            } else {
                // Either the mode shift failed, or the clock packet was never sent.
                EXPECT_TRUE(result.first != CmdOk || result.second == 1u)
                    << "allocation " << failing;
            }
            EXPECT_EQ(LiveAllocations(), liveBefore) << "allocation " << failing;
            EXPECT_EQ(LeftOnBulkIn(), "") << "allocation " << failing;
        });
    EXPECT_GT(failures, 20u);  // the command's and the answer's path lists, queries and texts
    EXPECT_EQ(Zn417GetReport(model_).unexpectedWrites, 0u);
}

}  // namespace
