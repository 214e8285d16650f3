// SPDX-License-Identifier: MIT
// Runs a program as a child process with its output caught in files, for the
// end-to-end tests that drive the host, nm and Python.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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
