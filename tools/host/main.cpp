// The reference host: loads the button plug-in, starts it for one USB
// location, prints each event with its event file, optionally runs a command
// per event, and stops the plug-in cleanly on Ctrl-C or SIGTERM. With
// --simulate it is the project's demo against a simulated ZN417.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "demo.h"
#include "event_report.h"
#include "host_options.h"
#include "twain_button_plugin.h"

extern char** environ;

namespace {

constexpr const char* kEventDirectory = "/tmp";
constexpr const char* kPluginFileName = "zn417_button.so";

// What the plug-in's thread, the demo and the signal handler tell the main
// thread, one record per write (shorter than PIPE_BUF, so writes are atomic).
enum NoticeKind : char { kNoticeEvent = 'E', kNoticeSignal = 'S', kNoticeDemoDone = 'D' };

struct HostNotice {
    char kind;
    uint32_t eventCode;
    int32_t location;
    struct timeval when;
    char eventFile[256];
};

struct HostRun {
    int noticeWrite;
    int32_t location;
    char previousFile[256];  // touched only on the plug-in's thread
    DemoScenario* demo;
};

int gSignalWrite = -1;

void OnStopSignal(int) {
    HostNotice notice{};
    notice.kind = kNoticeSignal;
    const int saved = errno;
    (void)!write(gSignalWrite, &notice, sizeof notice);
    errno = saved;
}

// Runs on the plug-in's watch thread: locate the event file while it is fresh
// and hand everything to the main thread.
int32_t OnButtonEvent(uint32_t eventCode, int32_t* hostLocation, void* hostContext) {
    auto* run = static_cast<HostRun*>(hostContext);
    HostNotice notice{};
    notice.kind = kNoticeEvent;
    notice.eventCode = eventCode;
    notice.location = hostLocation != nullptr ? *hostLocation : 0;
    gettimeofday(&notice.when, nullptr);
    if (FindEventFile(kEventDirectory, notice.when.tv_sec, run->previousFile, notice.eventFile,
                      sizeof notice.eventFile) == 0) {
        std::snprintf(run->previousFile, sizeof run->previousFile, "%s", notice.eventFile);
    }
    (void)!write(run->noticeWrite, &notice, sizeof notice);
    if (run->demo != nullptr) {
        NoteDemoEvent(run->demo);
    }
    return 0;
}

bool DefaultPluginPath(char* path, size_t size) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return false;
    }
    self[length] = '\0';
    char* slash = std::strrchr(self, '/');
    if (slash == nullptr) {
        return false;
    }
    *slash = '\0';
    const int written = std::snprintf(path, size, "%s/%s", self, kPluginFileName);
    return written > 0 && static_cast<size_t>(written) < size;
}

void RunEventCommand(const char* command, const char* eventFile) {
    char script[4096];
    std::snprintf(script, sizeof script, "%s \"$1\"", command);
    char* const argv[] = {const_cast<char*>("/bin/sh"),    const_cast<char*>("-c"),      script,
                          const_cast<char*>("zn417-host"), const_cast<char*>(eventFile), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawn(&child, "/bin/sh", nullptr, nullptr, argv, environ);
    if (spawned != 0) {
        std::printf("  exec: cannot run /bin/sh: %s\n", std::strerror(spawned));
        return;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        std::printf("  exec: command exited with status %d\n", WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        std::printf("  exec: command ended by signal %d\n", WTERMSIG(status));
    }
}

void PrintEvent(const HostNotice& notice, const HostOptions& options) {
    struct tm local;
    localtime_r(&notice.when.tv_sec, &local);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    const uint32_t code = notice.eventCode;
    std::printf("[%s.%03d] event '%c%c%c%c' (0x%08X) at location 0x%08X\n", clock,
                static_cast<int>(notice.when.tv_usec / 1000), static_cast<char>(code >> 24),
                static_cast<char>(code >> 16), static_cast<char>(code >> 8),
                static_cast<char>(code), code, static_cast<uint32_t>(notice.location));
    if (notice.eventFile[0] == '\0') {
        std::printf("  event file: (not found in %s)\n", kEventDirectory);
    } else {
        std::printf("  event file: %s\n", notice.eventFile);
        PrintEventFile(stdout, notice.eventFile);
        if (options.execCommand != nullptr) {
            RunEventCommand(options.execCommand, notice.eventFile);
        }
    }
    std::fflush(stdout);
}

bool ReadNotice(int fd, HostNotice* notice) {
    size_t got = 0;
    while (got < sizeof *notice) {
        const ssize_t n = read(fd, reinterpret_cast<char*>(notice) + got, sizeof *notice - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

void OnDemoFinished(void* context) {
    HostNotice notice{};
    notice.kind = kNoticeDemoDone;
    (void)!write(static_cast<HostRun*>(context)->noticeWrite, &notice, sizeof notice);
}

void InstallStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    HostOptions options;
    char error[256];
    if (ParseHostOptions(argc, argv, &options, error, sizeof error) != 0) {
        std::fprintf(stderr, "zn417-host: %s\n", error);
        return kHostExitUsage;
    }
    if (options.help) {
        std::fputs(HostUsage(), stdout);
        return kHostExitOk;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    char pluginPath[PATH_MAX];
    if (options.pluginPath != nullptr) {
        std::snprintf(pluginPath, sizeof pluginPath, "%s", options.pluginPath);
    } else if (!DefaultPluginPath(pluginPath, sizeof pluginPath)) {
        std::fprintf(stderr, "zn417-host: cannot find the plug-in beside the host; use --plugin\n");
        return kHostExitFailure;
    }

    int notices[2];
    if (pipe2(notices, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "zn417-host: pipe: %s\n", std::strerror(errno));
        return kHostExitFailure;
    }
    gSignalWrite = notices[1];
    InstallStopSignals();

    HostRun run{};
    run.noticeWrite = notices[1];
    run.location = options.location;
    if (options.simulate && PrepareDemo(&options, &run.demo) != 0) {
        std::fprintf(stderr, "zn417-host: cannot attach the simulated ZN417\n");
        return kHostExitFailure;
    }

    // The plug-in links the platform layer that this host already holds, so
    // both see the same USB bus.
    void* plugin = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::fprintf(stderr, "zn417-host: cannot load %s: %s\n", pluginPath, dlerror());
        FinishDemo(run.demo);
        return kHostExitFailure;
    }
    auto start = reinterpret_cast<TWAINButtonPluginStartFunction>(
        dlsym(plugin, TWAIN_BUTTON_PLUGIN_START_SYMBOL));
    auto stop = reinterpret_cast<TWAINButtonPluginStopFunction>(
        dlsym(plugin, TWAIN_BUTTON_PLUGIN_STOP_SYMBOL));
    if (start == nullptr || stop == nullptr) {
        std::fprintf(stderr, "zn417-host: %s lacks the plug-in entry points\n", pluginPath);
        dlclose(plugin);
        FinishDemo(run.demo);
        return kHostExitFailure;
    }

    std::printf("zn417-host: watching location 0x%08X with %s\n",
                static_cast<uint32_t>(run.location), pluginPath);
    const int32_t started = start(&run.location, &run, nullptr, OnButtonEvent);
    if (started != 0) {
        std::fprintf(stderr, "zn417-host: the plug-in did not start (status %d)\n", started);
        dlclose(plugin);
        FinishDemo(run.demo);
        return kHostExitFailure;
    }
    if (run.demo != nullptr) {
        PlayDemo(run.demo, OnDemoFinished, &run);
    }

    HostNotice notice{};
    int exitStatus = kHostExitOk;
    while (ReadNotice(notices[0], &notice)) {
        if (notice.kind == kNoticeEvent) {
            PrintEvent(notice, options);
        } else if (notice.kind == kNoticeSignal) {
            std::printf("zn417-host: stopping\n");
            break;
        } else if (notice.kind == kNoticeDemoDone) {
            std::printf("zn417-host: demo finished, stopping\n");
            break;
        }
    }
    stop();
    FinishDemo(run.demo);
    dlclose(plugin);
    std::printf("zn417-host: stopped\n");
    return exitStatus;
}
