// End-to-end tests of the reference host as a user runs it: its help, its
// refusal of bad arguments, and the simulated demo against the real plug-in.
#include <gtest/gtest.h>

#include <sstream>

#include "run_program.h"

namespace {

TEST(ReferenceHost, HelpDocumentsEveryOptionAndExitsZero) {
    const ProgramRun run = RunProgram({ZN_HOST_PROGRAM, "--help"});
    EXPECT_EQ(run.exitStatus, 0);
    for (const char* option : {"--location", "--plugin", "--exec", "--simulate", "--trace"}) {
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
    }
}

TEST(ReferenceHost, BadArgumentsExitTwoWithAMessage) {
    const std::vector<std::vector<std::string>> commands = {
        {ZN_HOST_PROGRAM, "--no-such-option"},
        {ZN_HOST_PROGRAM},  // no location and no --simulate
        {ZN_HOST_PROGRAM, "--location", "not-a-number"},
        {ZN_HOST_PROGRAM, "--location"},
    };
    for (const auto& command : commands) {
        const ProgramRun run = RunProgram(command);
        EXPECT_EQ(run.exitStatus, 2) << command.back();
        EXPECT_NE(run.err.find("zn417-host: "), std::string::npos) << command.back();
    }
}

TEST(ReferenceHost, TheSimulatedDemoShowsTwoEventsAndExitsZero) {
    const ProgramRun run = RunProgram({ZN_HOST_PROGRAM, "--simulate"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    int events = 0;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("event 'scan' (0x7363616E)") != std::string::npos) {
            ++events;
        }
        // The demo's event files are real ones in /tmp: checked, then removed.
        const std::string label = "  event file: /tmp/TRNV.";
        if (line.rfind(label, 0) == 0) {
            const std::string path = line.substr(std::string("  event file: ").size());
            EXPECT_EQ(unlink(path.c_str()), 0) << path;
        }
    }
    EXPECT_EQ(events, 2) << run.out;
    EXPECT_NE(run.out.find("EventData: 00 00 00 00 01"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("EventData: 00 00 00 00 02"), std::string::npos) << run.out;
}

}  // namespace
