// SPDX-License-Identifier: MIT
// The host's service run in-process on the simulated bus with the real
// plug-in and a virtual clock, with observers a test waits on (never sleeps):
// watching, waiting, actions started and ended, and the host's log.
#pragma once

#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host_service.h"
#include "platform/clock.h"
#include "platform/sim_bus.h"
#include "zn417_model.h"

struct HarnessEnded {
    HostEvent event;
    int waitStatus;
};

inline std::string HarnessReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool HarnessExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// The entries of a directory such as /proc/self/fd, to see what was left open.
inline size_t HarnessCountEntries(const char* directory) {
    size_t count = 0;
    DIR* dir = opendir(directory);
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return count;
}

// True when /tmp is the one tests/support/private-tmp mounts.
inline bool HarnessTmpIsPrivate() {
    std::ifstream mounts("/proc/self/mounts");
    for (std::string line; std::getline(mounts, line);) {
        if (line.rfind("zn417-test-tmp /tmp ", 0) == 0) {
            return true;
        }
    }
    return false;
}

class ServiceHarness : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HarnessTmpIsPrivate()) {
            GTEST_SKIP() << "needs a private /tmp: run through tests/support/private-tmp";
        }
        PrepareBus();
        if (HasFatalFailure()) {
            return;
        }
        struct timeval now;
        gettimeofday(&now, nullptr);
        VirtualClockEnable(&now);
        char pattern[] = "/tmp/zn_host_keep_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        config_ = dir_ + "/zn417-host.conf";
        std::ofstream(config_) << "";
    }

    void TearDown() override {
        if (dir_.empty()) {
            return;  // skipped
        }
        if (thread_.joinable()) {
            StopService();
        }
        EndLogCapture();
        for (Zn417Model* model : models_) {
            Zn417Detach(model);
        }
        VirtualClockDisable();
        SimBusReset();
        std::string remove = "rm -rf '" + dir_ + "' /tmp/TRNV.*.plist";
        ASSERT_EQ(std::system(remove.c_str()), 0);
    }

    // The bus the host runs on: the simulated one, unless a test's fixture
    // brings another (before the host starts).
    virtual void PrepareBus() {
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
        SimBusReset();
    }

    Zn417Model* Attach(int32_t location = 0x14100000) {
        models_.push_back(Zn417Attach(location));
        return models_.back();
    }

    void Detach(Zn417Model* model) {
        Zn417Detach(model);
        models_.erase(std::find(models_.begin(), models_.end(), model));
    }

    // Starts the service on a thread of its own, with the signals a real
    // host blocks blocked there too (so actions show they do not inherit
    // them). Retries come after `retryMs`, doubling (a test's seam), and a
    // timed-out action's KILL after `killGraceMs`.
    void StartService(std::vector<std::string> extra, int64_t retryMs = 20,
                      int64_t killGraceMs = 200) {
        std::vector<std::string> arguments = {"zn417-host", "--plugin", ZN_PLUGIN_MODULE,
                                              "--config", config_};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        HostOptions options;
        char error[256];
        ASSERT_EQ(ParseHostOptions(static_cast<int>(arguments.size()), argv.data(), &options,
                                   error, sizeof error),
                  0)
            << error;
        service_ = std::make_unique<HostService>();
        ASSERT_EQ(HostServiceInit(service_.get(), options, "/tmp"), kHostExitOk);
        service_->hooks = {OnWatching, OnActionStarted, OnActionEnded, this, OnWaiting};
        RetryBackoffSetDelays(&service_->retry, retryMs, 8 * retryMs);
        service_->actions.killGraceMs = killGraceMs;
        ASSERT_EQ(pipe2(control_, O_CLOEXEC), 0);
        sigset_t blocked, previous;
        sigemptyset(&blocked);
        for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD}) {
            sigaddset(&blocked, signal);
        }
        pthread_sigmask(SIG_BLOCK, &blocked, &previous);
        thread_ = std::thread(
            [this] { status_ = HostServiceRun(service_.get(), control_[0], false); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    int StopService() {
        Control('T');
        return JoinService();
    }

    // After the service ended by itself, or was told to.
    int JoinService() {
        thread_.join();
        HostServiceRelease(service_.get());
        service_.reset();
        close(control_[0]);
        close(control_[1]);
        return status_;
    }

    // Forgets what the observers saw, for the next case of a table run
    // against a fresh service.
    void ForgetObservations() {
        std::lock_guard<std::mutex> guard(lock_);
        watching_ = false;
        transitions_ = 0;
        waits_.clear();
        started_.clear();
        startedEvents_.clear();
        openWhenStarted_.clear();
        ended_.clear();
    }

    void Control(char request) { ASSERT_EQ(write(control_[1], &request, 1), 1); }

    // From here on the host's log (stderr) is collected in log_.
    void CaptureLog() {
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        savedStderr_ = dup(2);
        ASSERT_EQ(dup2(ends[1], 2), 2);
        close(ends[1]);
        logReader_ = std::thread([this, fd = ends[0]] {
            char buffer[512];
            ssize_t got;
            while ((got = read(fd, buffer, sizeof buffer)) > 0) {
                std::lock_guard<std::mutex> guard(lock_);
                log_.append(buffer, static_cast<size_t>(got));
                changed_.notify_all();
            }
            close(fd);
        });
    }

    void EndLogCapture() {
        if (savedStderr_ >= 0) {
            dup2(savedStderr_, 2);
            HostLogSetup();  // the log's own descriptor of the pipe goes: the reader ends
            close(savedStderr_);
            savedStderr_ = -1;
            logReader_.join();
        }
    }

    bool Logged(const std::string& text) {
        return WaitFor([&] { return log_.find(text) != std::string::npos; });
    }

    bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(ms), done);
    }

    // Waits for the watch to be in `watching` state after `transitions` changes.
    bool WaitWatching(int transitions, int ms = 5000) {
        return WaitFor([&] { return transitions_ >= transitions; }, ms);
    }

    int Transitions() {
        std::lock_guard<std::mutex> guard(lock_);
        return transitions_;
    }

    // A press past the plug-in's window, once it reads its interrupt pipe.
    void Press(Zn417Model* model, uint8_t code) {
        ASSERT_TRUE(SimWaitForBlockedReads(1, 5000));
        VirtualClockAdvance(2 * 1000 * 1000);
        Zn417QueueButtonPress(model, code);
    }

    static void OnWatching(void* context, bool watching, const UsbDeviceInfo&) {
        auto* self = static_cast<ServiceHarness*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->watching_ = watching;
        ++self->transitions_;
        self->changed_.notify_all();
    }

    static void OnWaiting(void* context, DeviceProblem problem) {
        auto* self = static_cast<ServiceHarness*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->waits_.push_back(problem);
        self->changed_.notify_all();
    }

    static void OnActionStarted(void* context, pid_t pid, const HostEvent& event) {
        auto* self = static_cast<ServiceHarness*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->started_.push_back(pid);
        self->startedEvents_.push_back(event);
        self->openWhenStarted_.push_back(SimGetCounters().openObjects);
        self->changed_.notify_all();
    }

    static void OnActionEnded(void* context, const HostEvent& event, int waitStatus) {
        auto* self = static_cast<ServiceHarness*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->ended_.push_back({event, waitStatus});
        self->changed_.notify_all();
    }

    // Under lock_ (in a WaitFor condition).
    size_t CountWaits(DeviceProblem problem) const {
        return static_cast<size_t>(std::count(waits_.begin(), waits_.end(), problem));
    }

    std::string dir_;
    std::string config_;
    std::vector<Zn417Model*> models_;
    std::unique_ptr<HostService> service_;
    std::thread thread_;
    int control_[2] = {-1, -1};
    int status_ = -1;

    std::mutex lock_;
    std::condition_variable changed_;
    bool watching_ = false;
    int transitions_ = 0;
    std::vector<DeviceProblem> waits_;
    std::vector<pid_t> started_;
    std::vector<HostEvent> startedEvents_;
    std::vector<uint32_t> openWhenStarted_;  // the bus's open interfaces at each start
    std::vector<HarnessEnded> ended_;
    std::string log_;
    int savedStderr_ = -1;
    std::thread logReader_;
};
