// SPDX-License-Identifier: MIT
// End-to-end tests of zn417-host as a user runs it: help and version, bad
// arguments, the simulated demo against the real plug-in, each device problem
// with its exit status and message, --list, bad configuration files, the
// journal's priority prefixes, SIGHUP against SIGINT, and SIGTERM while an
// action runs.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <poll.h>

#include <algorithm>
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

// The event files left in /tmp (the test's own).
int CountEventFiles() {
    int count = 0;
    DIR* tmp = opendir("/tmp");
    while (struct dirent* entry = tmp != nullptr ? readdir(tmp) : nullptr) {
        count += std::string(entry->d_name).rfind("TRNV.", 0) == 0 ? 1 : 0;
    }
    if (tmp != nullptr) {
        closedir(tmp);
    }
    return count;
}

// The demo's end waits for the actions: both presses are acted on, and /tmp
// is left as it was.
TEST(ReferenceHost, TheSimulatedDemoShowsTwoEventsActsOnBothAndRemovesTheirFiles) {
    char directory[] = "/tmp/zn_e2e_demo_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string acted = std::string(directory) + "/acted";
    const int before = CountEventFiles();
    const ProgramRun run = RunProgram({ZN_HOST_PROGRAM, "--simulate", "--no-config", "--exec",
                                       "echo $ZN417_BUTTON >> '" + acted + "'"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    std::ifstream actions(acted);
    std::stringstream buttons;
    buttons << actions.rdbuf();
    EXPECT_EQ(buttons.str(), "1\n2\n") << run.err;
    EXPECT_EQ(CountEventFiles(), before);
    unlink(acted.c_str());
    rmdir(directory);
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

// Each bad file: exit 2, one line naming the file, line and key with its
// bytes escaped, nothing started, nothing written.
TEST(ReferenceHost, ABadConfigurationFileIsOneEscapedLineAndTheHostDoesNotStart) {
    char directory[] = "/tmp/zn_e2e_config_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/bad.conf";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"[host]\nexec = true\naction_timeout = soon\n", ":3: action_timeout: not a number"},
        {"exec = a\nexec = b\n", ":2: exec: given again (first on line 1)"},
        {"log_level = \x1b]0;owned\x07\n",
         ":1: log_level: a control character (\\x1B) in the line"},
        {"keep_events = \xC3\xA0\x9B" "31m\n",
         ":1: keep_events: not yes or no: '\\xC3\\xA0\\x9B31m'"},
    };
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::binary) << c.text;
        const ProgramRun run = RunProgram({ZN_HOST_PROGRAM, "--simulate", "--config", path});
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.err.rfind("zn417-host: error: " + path + c.message, 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    unlink(path.c_str());
    rmdir(directory);
}

// The prefixes only when JOURNAL_STREAM names stderr itself ("device:inode"),
// not when a program under systemd passes the variable on to one whose
// stderr is elsewhere.
TEST(ReferenceHost, UnderTheJournalEachLineCarriesItsPriority) {
    const std::string setStream =
        "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" \"$@\"";
    const ProgramRun run =
        RunProgram({"/bin/sh", "-c", setStream, ZN_HOST_PROGRAM, "--location", "x"});
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.err.rfind("<3>", 0), 0u) << run.err;
    const ProgramRun found = RunProgram(
        {"/usr/bin/env", "ZN417_SIMULATE=none", "/bin/sh", "-c", setStream, ZN_HOST_PROGRAM, "-s"});
    EXPECT_EQ(found.exitStatus, 3);
    EXPECT_NE(found.err.find("<6>plug-in "), std::string::npos) << found.err;
    EXPECT_NE(found.err.find("<3>no ZN417 attached"), std::string::npos) << found.err;
    const ProgramRun elsewhere = RunProgram(HostWith("JOURNAL_STREAM=8:1234", {"-l", "x"}));
    EXPECT_EQ(elsewhere.err.rfind("zn417-host: error: ", 0), 0u) << elsewhere.err;
}

// Reads the host's stderr until `text` has come; false at its end or after
// 10 s.
bool ReadUntil(int fd, const std::string& text, std::string* seen) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen->find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd ready {fd, POLLIN, 0};
        char buffer[512];
        ssize_t got = 0;
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0 ||
            (got = read(fd, buffer, sizeof buffer)) <= 0) {
            return false;
        }
        seen->append(buffer, static_cast<size_t>(got));
    }
    return true;
}

// SIGHUP re-reads the configuration and serves on; SIGINT stops with 0.
TEST(ReferenceHost, SighupReloadsAndSigintStops) {
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    const pid_t host = SpawnProgram({"/usr/bin/env", "ZN417_SIMULATE=idle", ZN_HOST_PROGRAM,
                                     "--simulate", "--config", "/dev/null"},
                                    -1, err[1]);
    ASSERT_GT(host, 0);
    close(err[1]);
    std::string seen;
    EXPECT_TRUE(ReadUntil(err[0], "watching 20-1", &seen)) << seen;
    ASSERT_EQ(kill(host, SIGHUP), 0);
    EXPECT_TRUE(ReadUntil(err[0], "configuration re-read from /dev/null", &seen)) << seen;
    ASSERT_EQ(kill(host, SIGINT), 0);
    EXPECT_TRUE(ReadUntil(err[0], "stopping", &seen)) << seen;
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_EQ(seen.find("stopping"), seen.rfind("stopping")) << seen;
    close(err[0]);
}

// SIGTERM reaches the host while a 20-second action runs: the host ends the
// action and exits 0 within a second.
TEST(ReferenceHost, SigtermWhileAnActionRunsEndsItAndExitsZeroWithinASecond) {
    char directory[] = "/tmp/zn_e2e_term_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string fifo = std::string(directory) + "/started";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string action = "echo $$ > '" + fifo + "'; exec sleep 20";
    const pid_t host = SpawnProgram({"/usr/bin/env", "ZN417_SIMULATE=press", ZN_HOST_PROGRAM,
                                     "--simulate", "--exec", action},
                                    -1, -1);
    ASSERT_GT(host, 0);

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
