// SPDX-License-Identifier: MIT
// Runs a program as a child process with its output caught in files or read
// from a pipe, for the tests that drive the host, nm and Python as programs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

struct ProgramRun {
    int exitStatus = -1;  // -1 when it could not run or did not exit normally
    std::string out;
    std::string err;
};

inline std::string SlurpAndRemove(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path.c_str());
    return text;
}

// Starts `arguments` with stdin from /dev/null and stdout and stderr on
// `outFd` and `errFd` (-1: /dev/null). The child's pid, or -1.
inline pid_t SpawnProgram(const std::vector<std::string>& arguments, int outFd, int errFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (const auto& [from, to] : {std::pair<int, int>{outFd, 1}, {errFd, 2}}) {
        if (from >= 0) {
            posix_spawn_file_actions_adddup2(&actions, from, to);
        } else {
            posix_spawn_file_actions_addopen(&actions, to, "/dev/null", O_WRONLY, 0);
        }
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? child : -1;
}

inline ProgramRun RunProgram(const std::vector<std::string>& arguments) {
    ProgramRun run;
    char outPath[] = "/tmp/zn_e2e_out_XXXXXX";
    char errPath[] = "/tmp/zn_e2e_err_XXXXXX";
    const int outFd = mkstemp(outPath);
    const int errFd = mkstemp(errPath);
    if (outFd < 0 || errFd < 0) {
        return run;
    }
    const pid_t child = SpawnProgram(arguments, outFd, errFd);
    close(outFd);
    close(errFd);
    if (child > 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) {
            run.exitStatus = WEXITSTATUS(status);
        }
    }
    run.out = SlurpAndRemove(outPath);
    run.err = SlurpAndRemove(errPath);
    return run;
}

// Reads `fd` (a child's output) into *seen until `text` has come; false at
// its end or after 10 s.
inline bool ReadUntil(int fd, const std::string& text, std::string* seen) {
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

// Waits `ms` at most for the child's end: its wait status, or -1 when it
// had to be killed.
inline int WaitExit(pid_t pid, int ms) {
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    struct pollfd ended {pidFd, POLLIN, 0};
    const bool done = poll(&ended, 1, ms) == 1;
    close(pidFd);
    if (!done) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return done ? status : -1;
}
