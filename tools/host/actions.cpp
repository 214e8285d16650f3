// SPDX-License-Identifier: MIT
// Running, timing and ending actions.
#include "actions.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "host_log.h"

extern char** environ;

namespace {

constexpr int kStopGraceMilliseconds = 500;  // after the host's stop's TERM

int OpenPidFd(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void ArmTimerMs(int timerFd, int64_t ms) {
    struct itimerspec when {};
    when.it_value.tv_sec = ms / 1000;
    when.it_value.tv_nsec = (ms % 1000) * 1000000;
    timerfd_settime(timerFd, 0, &when, nullptr);
}

void ArmTimer(int timerFd, int64_t seconds) {
    ArmTimerMs(timerFd, seconds * 1000);
}

// The children of `pid`, from each of its threads' lists.
void ChildrenOf(pid_t pid, std::vector<pid_t>* children) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
    DIR* tasks = opendir(path);
    if (tasks == nullptr) {
        return;
    }
    while (const struct dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') {
            continue;
        }
        std::string list = std::string(path) + "/" + task->d_name + "/children";
        std::ifstream in(list);
        for (pid_t child; in >> child;) {
            children->push_back(child);
        }
    }
    closedir(tasks);
}

// Sends `signal` to every descendant of the host: the actions and whatever
// they started, also in sessions of their own (the host is their subreaper).
// The host starts no other processes.
void SignalDescendants(int signal) {
    std::vector<pid_t> pending;
    ChildrenOf(getpid(), &pending);
    std::vector<pid_t> seen;
    while (!pending.empty() && seen.size() < 4096) {
        const pid_t pid = pending.back();
        pending.pop_back();
        seen.push_back(pid);
        ChildrenOf(pid, &pending);  // before the signal: a killed parent's list goes
        kill(pid, signal);
    }
}

// The host's environment with the event's variables set: an inherited
// variable of the same name is replaced, every other one is kept.
std::vector<std::string> ActionEnvironment(const HostEvent& event) {
    char location[32];
    std::snprintf(location, sizeof location, "ZN417_LOCATION=0x%08X",
                  static_cast<uint32_t>(event.location));
    std::vector<std::string> entries = {
        "ZN417_EVENT_FILE=" + event.file,
        "ZN417_BUTTON=" + std::to_string(event.button),
        location,
        "ZN417_DEVICE=" + event.device,
        "ZN417_EVENT_DATA=" + event.eventData,
        "ZN417_BUSNUM=" + std::to_string(event.busNumber),
        "ZN417_DEVNUM=" + std::to_string(event.deviceAddress),
    };
    const size_t ours = entries.size();
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        const size_t nameLength = equals != nullptr ? equals - *entry + 1 : std::strlen(*entry);
        bool replaced = false;
        for (size_t i = 0; i < ours && !replaced; ++i) {
            replaced = entries[i].compare(0, nameLength, *entry, nameLength) == 0;
        }
        if (!replaced) {
            entries.emplace_back(*entry);
        }
    }
    return entries;
}

void LogEnd(const PendingAction& action, int status) {
    const char* file = action.event.file.c_str();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        HostLog(HostLogDebug, "action for %s finished", file);
    } else if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        HostLog(HostLogWarning, "action for %s exited with status %d%s", file, code,
                code == 127   ? " (command not found)"
                : code == 126 ? " (command not executable)"
                              : "");
    } else if (WIFSIGNALED(status)) {
        HostLog(HostLogWarning, "action for %s ended by signal %d", file, WTERMSIG(status));
    }
}

void ForgetRunning(ActionRunner* runner) {
    if (runner->pidFd >= 0) {
        close(runner->pidFd);
    }
    runner->pidFd = -1;
    runner->pid = -1;
    runner->terminating = false;
    ArmTimer(runner->timerFd, 0);
}

// Reaps the host's children that have ended, but `keep`. True when none is
// left (`keep` aside).
bool ReapChildren(pid_t keep) {
    std::vector<pid_t> children;
    ChildrenOf(getpid(), &children);
    bool none = true;
    for (pid_t child : children) {
        if (child == keep) {
            continue;
        }
        pid_t reaped;
        while ((reaped = waitpid(child, nullptr, WNOHANG)) < 0 && errno == EINTR) {
        }
        none = none && reaped != 0;
    }
    return none;
}

// Ends what actions left running (the host is its subreaper): TERM, up to
// `graceMs` for it to end, then KILL, and reaps it. Killed processes'
// children come to the host as their parents die: each round kills again
// what came. Bounded, so that a stop never hangs here.
void EndLeftovers(int graceMs) {
    std::vector<pid_t> left;
    ChildrenOf(getpid(), &left);
    if (left.empty()) {
        return;
    }
    const struct timespec tick {0, 10 * 1000 * 1000};
    if (graceMs > 0) {
        SignalDescendants(SIGTERM);
        for (int waited = 0; waited < graceMs; waited += 10) {
            if (ReapChildren(-1)) {
                return;
            }
            nanosleep(&tick, nullptr);
        }
    }
    for (int round = 0; round < 50; ++round) {
        SignalDescendants(SIGKILL);
        if (ReapChildren(-1)) {
            return;
        }
        nanosleep(&tick, nullptr);
    }
}

}  // namespace

int ActionRunnerInit(ActionRunner* runner) {
    // What an action leaves running (a double fork, setsid) stays the host's
    // descendant, so that it is ended with the action and reaped here.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    runner->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    return runner->timerFd >= 0 ? 0 : -1;
}

void ActionRunnerRelease(ActionRunner* runner) {
    EndAllActions(runner);
    if (runner->timerFd >= 0) {
        close(runner->timerFd);
        runner->timerFd = -1;
    }
}

std::string CommandForEvent(const HostSettings& settings, const HostEvent& event) {
    const auto own = settings.buttons.find(event.button);
    return own != settings.buttons.end() ? own->second : settings.exec;
}

std::string ShellScriptFor(const std::string& command) {
    // A single word (a program's path or name) takes no arguments of its own.
    if (command.find_first_of(" \t\n;&|<>()$`'\"\\*?[#~=%{}") != std::string::npos) {
        return command;
    }
    return command + " \"$1\"";
}

void QueueAction(ActionRunner* runner, const HostEvent& event, const std::string& command) {
    runner->queue.push_back(PendingAction{event, command});
}

bool ActionRunning(const ActionRunner* runner) {
    return runner->pid > 0;
}

bool ActionsQueued(const ActionRunner* runner) {
    return !runner->queue.empty();
}

int StartNextAction(ActionRunner* runner) {
    if (runner->queue.empty() || ActionRunning(runner)) {
        return -1;
    }
    runner->current = std::move(runner->queue.front());
    runner->queue.pop_front();
    const std::string script = ShellScriptFor(runner->current.command);
    const std::vector<std::string> environment = ActionEnvironment(runner->current.event);
    std::vector<char*> envp;
    for (const std::string& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    char* const argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                          const_cast<char*>(script.c_str()), const_cast<char*>("zn417-action"),
                          const_cast<char*>(runner->current.event.file.c_str()), nullptr};

    // A process group of its own, so that ending it ends what it started;
    // the host's blocked signals and their handlers are not inherited.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    // No terminal input: an action that reads stdin reads end of file
    // instead of being stopped by SIGTTIN.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, "/bin/sh", &files, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        HostLog(HostLogError, "cannot run /bin/sh for the action: %s", std::strerror(spawned));
        return -1;
    }
    runner->pid = child;
    runner->pidFd = OpenPidFd(child);
    if (runner->pidFd < 0) {
        // Without a descriptor to poll the action cannot be followed: end it now.
        HostLog(HostLogError, "cannot follow the action: %s", std::strerror(errno));
        kill(-child, SIGKILL);
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        runner->pid = -1;
        return -1;
    }
    if (runner->timeoutSeconds > 0) {
        ArmTimer(runner->timerFd, runner->timeoutSeconds);
    }
    HostLog(HostLogDebug, "action started for %s (pid %d)", runner->current.event.file.c_str(),
            static_cast<int>(child));
    return 0;
}

bool ReapAction(ActionRunner* runner, int* waitStatus) {
    if (!ActionRunning(runner)) {
        return false;
    }
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(runner->pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (reaped == 0) {
        return false;
    }
    if (reaped < 0) {
        status = 0;  // reaped elsewhere: nothing more to learn
    }
    LogEnd(runner->current, status);
    if (runner->terminating) {
        kill(-runner->pid, SIGKILL);  // what of the timed-out action outlived its leader
        SignalDescendants(SIGKILL);
    }
    ForgetRunning(runner);
    ReapChildren(-1);  // what it left and has ended too
    *waitStatus = status;
    return true;
}

void OnActionTimer(ActionRunner* runner) {
    uint64_t expirations = 0;
    if (read(runner->timerFd, &expirations, sizeof expirations) < 0 || !ActionRunning(runner)) {
        return;
    }
    if (!runner->terminating) {
        HostLog(HostLogWarning, "action for %s still runs after %lld s: ending it",
                runner->current.event.file.c_str(),
                static_cast<long long>(runner->timeoutSeconds));
        kill(-runner->pid, SIGTERM);
        SignalDescendants(SIGTERM);
        runner->terminating = true;
        ArmTimerMs(runner->timerFd, runner->killGraceMs);
    } else {
        HostLog(HostLogWarning, "action for %s ignored TERM: killing it",
                runner->current.event.file.c_str());
        kill(-runner->pid, SIGKILL);
        SignalDescendants(SIGKILL);
    }
}

void DropQueuedActions(ActionRunner* runner) {
    for (const PendingAction& action : runner->queue) {
        HostLog(HostLogWarning, "button %d press not acted on as the host stops; its event file "
                "is kept: %s", action.event.button, action.event.file.c_str());
    }
    runner->queue.clear();
}

void EndAllActions(ActionRunner* runner) {
    runner->queue.clear();
    int graceMs = kStopGraceMilliseconds;
    if (ActionRunning(runner)) {
        const pid_t group = runner->pid;
        kill(-group, SIGTERM);
        SignalDescendants(SIGTERM);
        struct pollfd ended {runner->pidFd, POLLIN, 0};
        while (poll(&ended, 1, kStopGraceMilliseconds) < 0 && errno == EINTR) {
        }
        kill(-group, SIGKILL);  // whatever of the group is left
        int status = 0;
        while (waitpid(group, &status, 0) < 0 && errno == EINTR) {
        }
        HostLog(HostLogInfo, "action for %s ended as the host stops",
                runner->current.event.file.c_str());
        ForgetRunning(runner);
        graceMs = 0;  // the rest had its TERM and its grace with the action
    }
    EndLeftovers(graceMs);
}

void ReapOrphans(ActionRunner* runner) {
    ReapChildren(runner->pid);
}
