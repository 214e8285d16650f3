// End-to-end tests of zn417-host as a user runs it: help and version, bad
// arguments, the simulated demo against the real plug-in, each device problem
// with its exit status and message, --list, a bad configuration file, the
// journal's priority prefixes, and SIGTERM while an action runs.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "run_program.h"

namespace {

// The host with an environment entry ("NAME=value") added.
std::vector<std::string> HostWith(const std::string& entry, std::vector<std::string> arguments) {
    std::vector<std::string> command = {"/usr/bin/env", entry, ZN_HOST_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

TEST(ReferenceHost, HelpDocumentsEveryOptionAndEveryExitStatus) {
    const ProgramRun run = RunProgram({ZN_HOST_PROGRAM, "--help"});
    EXPECT_EQ(run.exitStatus, 0);
    for (const char* option :
         {"--device", "--location", "--list", "--wait", "--exec", "--config", "--plugin",
          "--keep-events", "--release-during-action", "--action-timeout", "--simulate", "--trace",
          "--quiet", "--verbose", "--help", "--version", "70-zn417.rules"}) {
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
    }
    for (int status = 0; status <= 7; ++status) {
        EXPECT_NE(run.out.find("  " + std::to_string(status) + "  "), std::string::npos) << status;
    }
}

TEST(ReferenceHost, VersionNamesTheProgramAndItsVersion) {
    const ProgramRun run = RunProgram({ZN_HOST_PROGRAM, "-V"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out.rfind("zn417-host ", 0), 0u) << run.out;
}

TEST(ReferenceHost, BadArgumentsExitTwoWithAMessage) {
    const std::vector<std::vector<std::string>> commands = {
        {ZN_HOST_PROGRAM, "--no-such-option"},
        {ZN_HOST_PROGRAM, "--location", "not-a-number"},
        {ZN_HOST_PROGRAM, "--location"},
        {ZN_HOST_PROGRAM, "--simulate", "leftover"},
        {ZN_HOST_PROGRAM, "--simulate", "--config", "/nonexistent/zn417-host.conf"},
    };
    for (const auto& command : commands) {
        const ProgramRun run = RunProgram(command);
        EXPECT_EQ(run.exitStatus, 2) << command.back();
        EXPECT_NE(run.err.find("zn417-host: error: "), std::string::npos) << run.err;
    }
}

TEST(ReferenceHost, TheSimulatedDemoShowsTwoEventsAndRemovesTheirFiles) {
    const ProgramRun run = RunProgram({ZN_HOST_PROGRAM, "--simulate"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    int events = 0;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("event 'scan' (0x7363616E)") != std::string::npos) {
            ++events;
        }
        const std::string label = "  event file: /tmp/TRNV.";
        if (line.rfind(label, 0) == 0) {
            const std::string path = line.substr(std::string("  event file: ").size());
            struct stat info;
            EXPECT_NE(stat(path.c_str(), &info), 0) << path << " was left behind";
        }
    }
    EXPECT_EQ(events, 2) << run.out;
    EXPECT_NE(run.out.find("EventData: 00 00 00 00 01"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("EventData: 00 00 00 00 02"), std::string::npos) << run.out;
}

TEST(ReferenceHost, EachDeviceProblemHasItsExitStatusAndSaysWhatToDo) {
    const struct {
        const char* scenario;
        int status;
        const char* message;
    } cases[] = {
        {"ZN417_SIMULATE=none", 3, "no ZN417 attached"},
        {"ZN417_SIMULATE=denied", 4, "70-zn417.rules"},
        {"ZN417_SIMULATE=held", 5, "held by another program"},
        {"ZN417_SIMULATE=two", 6, "name one with --device"},
    };
    for (const auto& c : cases) {
        const ProgramRun run = RunProgram(HostWith(c.scenario, {"--simulate"}));
        EXPECT_EQ(run.exitStatus, c.status) << c.scenario << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    const ProgramRun named = RunProgram(HostWith("ZN417_SIMULATE=idle", {"-s", "-d", "1-4.2"}));
    EXPECT_EQ(named.exitStatus, 3);
    EXPECT_NE(named.err.find("no ZN417 at 1-4.2; attached ZN417s: 20-1 (location 0x14100000)"),
              std::string::npos)
        << named.err;
}

TEST(ReferenceHost, AnUnknownBackendNameExitsSevenAndFallsBackToNothing) {
    const ProgramRun run = RunProgram(HostWith("ZN_USB_BACKEND=libsub", {"--list"}));
    EXPECT_EQ(run.exitStatus, 7);
    EXPECT_NE(run.err.find("ZN_USB_BACKEND=libsub"), std::string::npos) << run.err;
}

TEST(ReferenceHost, ListShowsEveryAttachedScanner) {
    const ProgramRun run = RunProgram(HostWith("ZN417_SIMULATE=two", {"--simulate", "--list"}));
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.out.find("20-1         location 0x14100000 bus 020 device 001  may open: yes"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("20-2         location 0x14200000"), std::string::npos) << run.out;
}

TEST(ReferenceHost, ABadConfigurationFileNamesItsLineAndTheHostDoesNotStart) {
    char directory[] = "/tmp/zn_e2e_config_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/bad.conf";
    std::ofstream(path) << "[host]\nexec = true\naction_timeout = soon\n";
    const ProgramRun run = RunProgram({ZN_HOST_PROGRAM, "--simulate", "--config", path});
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find(path + ":3: action_timeout"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("event"), std::string::npos);
    unlink(path.c_str());
    rmdir(directory);
}

TEST(ReferenceHost, UnderTheJournalEachLineCarriesItsPriority) {
    const ProgramRun run = RunProgram(HostWith("JOURNAL_STREAM=8:1234", {"--location", "x"}));
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.err.rfind("<3>", 0), 0u) << run.err;
    const ProgramRun found = RunProgram(
        {"/usr/bin/env", "JOURNAL_STREAM=8:1234", "ZN417_SIMULATE=none", ZN_HOST_PROGRAM, "-s"});
    EXPECT_EQ(found.exitStatus, 3);
    EXPECT_NE(found.err.find("<6>plug-in "), std::string::npos) << found.err;
    EXPECT_NE(found.err.find("<3>no ZN417 attached"), std::string::npos) << found.err;
}

// SIGTERM reaches the host while a 20-second action runs: the host ends the
// action and exits 0 within a second.
TEST(ReferenceHost, SigtermWhileAnActionRunsEndsItAndExitsZeroWithinASecond) {
    char directory[] = "/tmp/zn_e2e_term_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string fifo = std::string(directory) + "/started";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string action = "echo $$ > '" + fifo + "'; exec sleep 20";
    std::vector<std::string> arguments = {"/usr/bin/env", "ZN417_SIMULATE=press", ZN_HOST_PROGRAM,
                                          "--simulate", "--exec", action};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    pid_t host = 0;
    ASSERT_EQ(posix_spawn(&host, argv[0], &files, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&files);

    std::ifstream started(fifo);  // opens once the action writes
    pid_t actionPid = 0;
    started >> actionPid;
    ASSERT_GT(actionPid, 0);
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(host, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(kill(actionPid, 0), -1) << "the action still runs";
    unlink(fifo.c_str());
    rmdir(directory);
}

}  // namespace
