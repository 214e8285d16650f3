// SPDX-License-Identifier: MIT
// The simulated ZN417 itself: it refuses what a correct plug-in would not
// send, rejects a damaged clock packet, and narrates the exchange.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange_fixture.h"
#include "protocol/command_builder.h"
#include "protocol/scan_response.h"
#include "runtime/memory.h"

namespace {

// Writes `bytes` and reads the device's answer.
std::string Exchange(PluginState* state, const std::string& bytes) {
    EXPECT_EQ(WriteBulkPipe(state, bytes.data(), static_cast<uint32_t>(bytes.size())), PlatformOk);
    std::string answer(4096, '\0');
    auto size = static_cast<uint32_t>(answer.size());
    EXPECT_EQ(ReadBulkPipe(state, &answer[0], &size), PlatformOk);
    answer.resize(size);
    return answer;
}

TEST_F(DeviceExchange, ModelRefusesAnyOtherCommand) {
    CommandStatus status = 1;
    char* startJob = BuildCommand(KindStartJob, nullptr, false, &status);
    ASSERT_NE(startJob, nullptr);
    const std::string answer = Exchange(&state_, startJob);
    FreeMemory(startJob);
    EXPECT_EQ(ParseScanResponse(nullptr, answer.c_str()), CmdParameterError);
    std::string almost = Zn417ExpectedModeShift();
    almost.back() = ' ';
    Exchange(&state_, almost);
    EXPECT_EQ(Zn417GetReport(model_).unexpectedWrites, 2u);
    EXPECT_EQ(Zn417GetReport(model_).commandsAccepted, 0u);
}

TEST_F(DeviceExchange, ModelRejectsADamagedClockPacket) {
    ClockPacket packet;
    ASSERT_TRUE(BuildClockPacket(kFirstMarch2024At0905, &packet));
    packet.bytes[35] ^= 1;
    const std::string acknowledgement =
        Exchange(&state_, std::string(reinterpret_cast<const char*>(packet.bytes), 36));
    EXPECT_FALSE(acknowledgement.empty());
    const Zn417Report report = Zn417GetReport(model_);
    EXPECT_EQ(report.badClockPackets, 1u);
    EXPECT_FALSE(report.clockSet);
}

TEST_F(DeviceExchange, ModelNarratesTheExchange) {
    std::vector<std::string> lines;
    Zn417SetLogHook(
        model_,
        [](void* context, Zn417LogKind, const char* line) {
            static_cast<std::vector<std::string>*>(context)->push_back(line);
        },
        &lines);
    EXPECT_EQ(AnswerStatusPacket(), CmdOk);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::string("command received: ") + Zn417ExpectedModeShift());
    EXPECT_EQ(lines[1].rfind("answer: <?xml", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("<ivec:response>OK</ivec:response>"), std::string::npos);
    EXPECT_EQ(lines[2], "device clock set to 2024-03-01 09:05");
}

}  // namespace
