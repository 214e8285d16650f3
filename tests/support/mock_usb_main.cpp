// SPDX-License-Identifier: MIT
// Entry of the tests on the mocked USB kernel: makes sure umockdev's preload
// library is loaded, then runs each selected test in a process of its own,
// since libusb learns the devices of a process once, when it starts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "support/mock_usb.h"

namespace {

// The value of the option that starts with `prefix`; null when not given.
const char* OptionValue(int argc, char** argv, const char* prefix) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) {
            return argv[i] + std::strlen(prefix);
        }
    }
    return nullptr;
}

// True when the options name exactly one test, as CTest's runs do.
bool FilterNamesOneTest(int argc, char** argv) {
    const char* pattern = OptionValue(argc, argv, "--gtest_filter=");
    return pattern != nullptr && std::strpbrk(pattern, "*?:-") == nullptr &&
           std::strchr(pattern, '.') != nullptr;
}

// Runs this program with `extra` added to its arguments; the child's
// standard output goes to *output when asked for. Returns its exit status.
int RunSelf(const std::vector<std::string>& base, const std::string& extra, std::string* output) {
    std::vector<std::string> arguments = base;
    arguments.push_back(extra);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    int pipeEnds[2] = {-1, -1};
    if (output != nullptr && pipe(pipeEnds) != 0) {
        return 1;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (output != nullptr) {
            dup2(pipeEnds[1], STDOUT_FILENO);
            close(pipeEnds[0]);
            close(pipeEnds[1]);
        }
        execv("/proc/self/exe", pointers.data());
        _exit(127);
    }
    if (output != nullptr) {
        close(pipeEnds[1]);
        char chunk[4096];
        ssize_t got = 0;
        while ((got = read(pipeEnds[0], chunk, sizeof chunk)) > 0) {
            output->append(chunk, static_cast<size_t>(got));
        }
        close(pipeEnds[0]);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return 1;
    }
    return WEXITSTATUS(status);
}

// Runs this program once per test that its options select; 0 when all pass.
int RunEachInItsOwnProcess(int argc, char** argv) {
    const std::vector<std::string> base(argv, argv + argc);
    std::string listing;
    if (RunSelf(base, "--gtest_list_tests", &listing) != 0) {
        return 1;
    }
    // "Suite." lines, each followed by its "  Test" lines; "#" starts a comment.
    std::vector<std::string> names;
    std::istringstream lines(listing);
    std::string line;
    std::string suite;
    while (std::getline(lines, line)) {
        line = line.substr(0, line.find('#'));
        const size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos) {
            continue;
        }
        const std::string word = line.substr(first, line.find_last_not_of(' ') + 1 - first);
        if (first == 0) {
            suite = word;
        } else {
            names.push_back(suite + word);
        }
    }
    int failures = 0;
    for (const std::string& name : names) {
        if (RunSelf(base, "--gtest_filter=" + name, nullptr) != 0) {
            std::fprintf(stderr, "FAILED: %s\n", name.c_str());
            ++failures;
        }
    }
    std::printf("%zu passed, %d failed\n", names.size() - static_cast<size_t>(failures), failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (!MockEnsurePreloaded(argv)) {
        std::fprintf(stderr, "cannot load libumockdev-preload.so.0 (package umockdev)\n");
        return 1;
    }
    // Counted before InitGoogleTest takes the gtest options out of argv.
    const bool oneOrListing = OptionValue(argc, argv, "--gtest_list_tests") != nullptr ||
                              FilterNamesOneTest(argc, argv) ||
                              std::getenv("ZN_MOCK_SINGLE_TEST") != nullptr;
    if (!oneOrListing) {
        setenv("ZN_MOCK_SINGLE_TEST", "1", 1);
        return RunEachInItsOwnProcess(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
