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

// --- answers of every size ----------------------------------------------------------

TEST_F(DeviceExchange, AnswerOf2048BytesIsParsedWhole) {
    Zn417SetAnswerMode(model_, Zn417AnswerLong);
    EXPECT_EQ(AnswerStatusPacket(), CmdOk);
    EXPECT_EQ(Zn417CopyLastAnswer(model_, nullptr, 0), 2048u);
    EXPECT_EQ(Writes().size(), 2u);

    // The deciding values sit in the last bytes of the transfer.
    const std::string refusal = Padded(Answer(Refusal("DeviceBusy")), 2048);
    Zn417SetCustomAnswer(model_, refusal.data(), 2048);
    EXPECT_EQ(AnswerStatusPacket(), CmdDeviceBusy);
    EXPECT_EQ(Writes().size(), 3u);
    EXPECT_EQ(LeftOnBulkIn(), "");
}

TEST_F(DeviceExchange, AnswerLongerThanTheRequestIsNoAnswer) {
    const std::string answer = Padded(Answer(AnswerParts()), 2049);
    Zn417SetCustomAnswer(model_, answer.data(), static_cast<uint32_t>(answer.size()));
    EXPECT_EQ(AnswerStatusPacket(), 0xFFFE);
    EXPECT_EQ(Writes().size(), 1u);
}

TEST_F(DeviceExchange, AnswerEndsAtItsFirstNul) {
    std::string answer = Answer(AnswerParts()) + std::string("\0garbage", 8);
    Zn417SetCustomAnswer(model_, answer.data(), static_cast<uint32_t>(answer.size()));
    EXPECT_EQ(AnswerStatusPacket(), CmdOk);
    answer = kDeclaration + std::string("\0", 1) + Answer(AnswerParts());
    Zn417SetCustomAnswer(model_, answer.data(), static_cast<uint32_t>(answer.size()));
    EXPECT_NE(AnswerStatusPacket(), CmdOk);
}

TEST_F(DeviceExchange, AnswerOfNoBytesGivesArgumentStatusAndNoClock) {
    Zn417SetAnswerMode(model_, Zn417AnswerNothing);
    EXPECT_EQ(AnswerStatusPacket(), 0xFFFE);
    EXPECT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Zn417GetReport(model_).answersSent, 1u);
}

TEST_F(DeviceExchange, DeviceBusyGivesItsStatusAndNoClock) {
    Zn417SetAnswerMode(model_, Zn417AnswerRefuse, "DeviceBusy");
    EXPECT_EQ(AnswerStatusPacket(), 7680);
    EXPECT_EQ(Writes().size(), 1u);
}

TEST_F(DeviceExchange, GarbageGivesTheEnginesStatusAndNoClock) {
    Zn417SetAnswerMode(model_, Zn417AnswerGarbage);
    EXPECT_EQ(AnswerStatusPacket(), 0xFFFD);
    EXPECT_EQ(Writes().size(), 1u);
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

TEST_F(DeviceExchange, ClosedInterfaceSendsNothing) {
    CloseScannerInterface(&state_);
    EXPECT_EQ(AnswerStatusPacket(), static_cast<CommandStatus>(PlatformErrNotOpen & 0xFFFF));
    SendClock(&state_);
    EXPECT_EQ(Writes().size(), 0u);
}

TEST_F(DeviceExchange, AbsentStateIsRefused) {
    EXPECT_EQ(SendModeShift(nullptr), CmdBadParameter);
    SendClock(nullptr);
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
