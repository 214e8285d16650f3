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
#include <string>
#include <fstream>
#include <iterator>
#include <string>
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

inline ProgramRun RunProgram(const std::vector<std::string>& arguments) {
    ProgramRun run;
    char outPath[] = "/tmp/zn_e2e_out_XXXXXX";
    char errPath[] = "/tmp/zn_e2e_err_XXXXXX";
    const int outFd = mkstemp(outPath);
    const int errFd = mkstemp(errPath);
    if (outFd < 0 || errFd < 0) {
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    close(errFd);
    if (spawned == 0) {
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
