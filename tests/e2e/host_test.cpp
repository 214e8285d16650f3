// SPDX-License-Identifier: MIT
// End-to-end tests of zn417-host as a user runs it: help, version and
// --list, each failure (bad arguments or configuration, each device problem,
// no backend) with its exit status and message, the simulated demo against
// the real plug-in, the journal's priority prefixes, and SIGHUP against
// SIGINT while an action runs.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "run_program.h"

namespace {

// The host with an environment entry ("NAME=value") added, if any.
std::vector<std::string> HostWith(const std::string& entry, std::vector<std::string> arguments) {
    std::vector<std::string> command = {ZN_HOST_PROGRAM};
    if (!entry.empty()) {
        command.insert(command.begin(), {"/usr/bin/env", entry});
    }
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

// --help, --version and --list print to stdout, starting with the first
// text shown, and exit 0.
TEST(ReferenceHost, HelpVersionAndListPrintWhatTheyShowAndExitZero) {
    const struct {
        std::vector<std::string> command;
        std::vector<std::string> shown;
    } cases[] = {
        {{ZN_HOST_PROGRAM, "--help"},
         {"usage: zn417-host [options]\n", "--device", "--location", "--list", "--wait",
          "--exit-on-unplug", "--exec", "--config", "--no-config", "--plugin", "--keep-events",
          "--release-during-action", "--action-timeout", "--simulate", "--trace", "--quiet",
          "--verbose", "--help", "--version", "70-zn417.rules", "  0  ", "  1  ", "  2  ",
          "  3  ", "  4  ", "  5  ", "  6  ", "  7  ", "  8  "}},
        {{ZN_HOST_PROGRAM, "-V"}, {"zn417-host "}},
        {HostWith("ZN417_SIMULATE=two", {"--simulate", "--list"}),
         {"20-1         location 0x14100000 bus 020 device 001  may open: yes",
          "20-2         location 0x14200000"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command.back());
        const ProgramRun run = RunProgram(c.command);
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.out.rfind(c.shown[0], 0), 0u) << run.out;
        for (const std::string& text : c.shown) {
            EXPECT_NE(run.out.find(text), std::string::npos) << text;
        }
    }
}

// Each failure: its exit status and the error line that says what is wrong,
// bytes escaped. A bad command line or file (2) is that one line and nothing
// started. A configuration text is written to a file given with --config,
// whose path starts its expected error.
TEST(ReferenceHost, EachFailureExitsWithItsStatusAndOneErrorLineSayingWhatIsWrong) {
    char directory[] = "/tmp/zn_e2e_config_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/bad.conf";
    const struct {
        std::string environment;  // "NAME=value", or empty
        std::vector<std::string> arguments;
        std::string configuration;  // the --config file's text, or empty
        int status;
        std::string error;  // after "zn417-host: error: "
    } cases[] = {
        {"", {"--no-such-option"}, "", 2, "unknown option '--no-such-option' (see --help)"},
        {"", {"--location", "not-a-number"}, "", 2,
         "--location 'not-a-number': not a location ID (decimal or 0x hex, 32 bits)"},
        {"", {"--location"}, "", 2, "--location needs a value"},
        {"", {"--simulate", "leftover"}, "", 2, "unexpected argument 'leftover' (see --help)"},
        {"", {"--simulate", "--config", "/nonexistent/zn417-host.conf"}, "", 2,
         "/nonexistent/zn417-host.conf: no such file"},
        {"", {"--simulate"}, "[host]\nexec = true\naction_timeout = soon\n", 2,
         ":3: action_timeout: not a number"},
        {"", {"--simulate"}, "exec = a\nexec = b\n", 2, ":2: exec: given again (first on line 1)"},
        {"", {"--simulate"}, "log_level = \x1b]0;owned\x07\n", 2,
         ":1: log_level: a control character (\\x1B) in the line"},
        {"", {"--simulate"}, "keep_events = \xC3\xA0\x9B" "31m\n", 2,
         ":1: keep_events: not yes or no: '\\xC3\\xA0\\x9B31m'"},
        {"ZN417_SIMULATE=none", {"--simulate"}, "", 3, "no ZN417 attached"},
        {"ZN417_SIMULATE=idle", {"-s", "-d", "1-4.2"}, "", 3,
         "no ZN417 at 1-4.2; attached ZN417s: 20-1 (location 0x14100000)"},
        {"ZN417_SIMULATE=denied", {"--simulate"}, "", 4,
         "permission denied on 20-1 (/dev/bus/usb/020/001): install the udev rule 70-zn417.rules"},
        {"ZN417_SIMULATE=held", {"--simulate"}, "", 5,
         "the scanner's interface at 20-1 is held by another program"},
        {"ZN417_SIMULATE=two", {"--simulate"}, "", 6,
         "2 ZN417s are attached (20-1 (location 0x14100000), 20-2 (location 0x14200000)); name "
         "one with --device"},
        {"ZN_USB_BACKEND=libsub", {"--list"}, "", 7, "ZN_USB_BACKEND=libsub names no USB backend"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        std::string error = "zn417-host: error: " + c.error;
        if (!c.configuration.empty()) {
            std::ofstream(path, std::ios::binary) << c.configuration;
            arguments.insert(arguments.end(), {"--config", path});
            error = "zn417-host: error: " + path + c.error;
        }
        SCOPED_TRACE(arguments.back() + " " + c.environment);
        const ProgramRun run = RunProgram(HostWith(c.environment, arguments));
        EXPECT_EQ(run.exitStatus, c.status) << run.err;
        EXPECT_NE(("\n" + run.err).find("\n" + error), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
        if (c.status == 2) {
            EXPECT_EQ(run.err.rfind(error, 0), 0u) << run.err;
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
            EXPECT_EQ(run.out, "");
        }
    }
    unlink(path.c_str());
    rmdir(directory);
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

// While a press's 20-second action runs, SIGHUP re-reads the configuration
// and serves on; SIGINT then ends the action and exits 0 within a second.
TEST(ReferenceHost, SighupReloadsAndSigintEndsTheRunningActionAndExitsZeroWithinASecond) {
    char directory[] = "/tmp/zn_e2e_signals_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string fifo = std::string(directory) + "/started";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    const pid_t host = SpawnProgram({"/usr/bin/env", "ZN417_SIMULATE=press", ZN_HOST_PROGRAM,
                                     "--simulate", "--config", "/dev/null", "--exec",
                                     "echo $$ > '" + fifo + "'; exec sleep 20"},
                                    -1, err[1]);
    ASSERT_GT(host, 0);
    close(err[1]);
    pid_t action = 0;
    std::ifstream(fifo) >> action;  // opens once the action writes
    ASSERT_GT(action, 0);
    std::string seen;
    ASSERT_EQ(kill(host, SIGHUP), 0);
    EXPECT_TRUE(ReadUntil(err[0], "configuration re-read from /dev/null", &seen)) << seen;
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(host, SIGINT), 0);
    EXPECT_TRUE(ReadUntil(err[0], "stopping", &seen)) << seen;
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    EXPECT_EQ(kill(action, 0), -1) << "the action still runs";
    EXPECT_EQ(seen.find("stopping"), seen.rfind("stopping")) << seen;
    close(err[0]);
    unlink(fifo.c_str());
    rmdir(directory);
}

}  // namespace
