// SPDX-License-Identifier: MIT
// Demo scenario against a simulated ZN417.
#include "demo.h"

#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "event_report.h"
#include "platform/clock.h"
#include "platform/sim_bus.h"
#include "twain_button_plugin.h"
#include "protocol/scan_response.h"
#include "zn417_model.h"

enum DemoKind : int {
    kDemoShow,      // the readable demo
    kDemoIdle,      // the device alone, virtual clock
    kDemoPress,     // as idle, plus one press
    kDemoTwo,       // two ZN417s
    kDemoDenied,    // a device this user may not open
    kDemoHeld,      // a device whose interface another program holds
    kDemoNone,      // another maker's device only
};

struct DemoScenario {
    DemoKind kind;
    int32_t location;
    Zn417Model* device;
    Zn417Model* secondDevice;
    uint32_t otherDeviceId;  // kDemoNone
    bool virtualClock;
    pthread_mutex_t lock;
    pthread_cond_t changed;
    uint32_t eventsSeen;
    bool ending;  // FinishDemo asked the scenario to stop
    bool playing;
    pthread_t thread;
    void (*finished)(void* context);
    void* finishedContext;
};

namespace {

void Narrate(const char* text) {
    std::printf("demo: %s\n", text);
}

// The device's side of the bulk exchange. After each answer the demo reads
// it the way the plug-in does, to show the status the plug-in got from it.
void PrintDeviceLine(void* context, Zn417LogKind kind, const char* line) {
    auto* demo = static_cast<DemoScenario*>(context);
    std::printf("  zn417| %s\n", line);
    if (kind != Zn417LogAnswer) {
        return;
    }
    char answer[2049];
    const uint32_t length = Zn417CopyLastAnswer(demo->device, answer, sizeof answer - 1);
    answer[length < sizeof answer - 1 ? length : sizeof answer - 1] = '\0';
    const CommandStatus status = ParseScanResponse(nullptr, answer);
    std::printf("  zn417| the plug-in reads it as status %u (%s)%s\n", status,
                CommandStatusName(status), status == CmdOk ? "" : ": no clock packet follows");
}

// Waits on the scenario's condition until `eventsSeen` reaches `events` or
// `milliseconds` pass; a pure delay when `events` is 0. False when the
// scenario is ending.
bool WaitFor(DemoScenario* demo, uint32_t events, uint32_t milliseconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&demo->lock);
    while (!demo->ending && (events == 0 || demo->eventsSeen < events)) {
        if (pthread_cond_timedwait(&demo->changed, &demo->lock, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    const bool going = !demo->ending;
    pthread_mutex_unlock(&demo->lock);
    return going;
}

// Waits until the plug-in reads its interrupt pipe again (after its pause),
// looking every 100 ms whether the scenario is ending. False when it is.
bool WaitForPluginReading(DemoScenario* demo, uint32_t milliseconds) {
    for (uint32_t waited = 0; waited < milliseconds; waited += 100) {
        if (SimWaitForBlockedReads(1, 100)) {
            return true;
        }
        if (!WaitFor(demo, 0, 0)) {
            return false;
        }
    }
    return true;
}

// Presses button 1 as soon as the plug-in reads, past its 1-second window
// on the virtual clock.
void* PlayPress(void* argument) {
    auto* demo = static_cast<DemoScenario*>(argument);
    SimWaitForBlockedReads(1, 5000);
    VirtualClockAdvance(2 * 1000 * 1000);
    Zn417QueueButtonPress(demo->device, 1);
    return nullptr;
}

bool ParseKind(const char* text, DemoKind* kind) {
    static const struct {
        const char* name;
        DemoKind kind;
    } kKinds[] = {{"demo", kDemoShow},     {"idle", kDemoIdle}, {"press", kDemoPress},
                  {"two", kDemoTwo},       {"denied", kDemoDenied}, {"held", kDemoHeld},
                  {"none", kDemoNone}};
    for (const auto& entry : kKinds) {
        if (std::strcmp(text, entry.name) == 0) {
            *kind = entry.kind;
            return true;
        }
    }
    return false;
}

// Another maker's device with a vendor-specific interface.
uint32_t AttachOtherDevice(int32_t location) {
    const SimProperty properties[] = {{"idVendor", 0x1234}, {"idProduct", 0x5678},
                                      {"bInterfaceProtocol", 255}, {"locationID", location}};
    const SimInterfaceDesc desc{properties, 4, nullptr, 0, false, 0};
    return SimAttachDevice(&desc, 1, nullptr);
}

void* PlayScenario(void* argument) {
    auto* demo = static_cast<DemoScenario*>(argument);
    SimWaitForBlockedReads(1, 5000);  // the plug-in waits on its interrupt pipe
    bool going = true;
    if (going) {
        Narrate("the scanner, still busy, sends a status packet (status word 256)");
        Zn417SetAnswerMode(demo->device, Zn417AnswerRefuse, "DeviceBusy");
        Zn417QueueStatusPacket(demo->device);
        going = WaitFor(demo, 0, 1000);
    }
    if (going) {
        Narrate("the scanner, ready now, sends another status packet");
        Zn417SetAnswerMode(demo->device, Zn417AnswerAccept);
        Zn417QueueStatusPacket(demo->device);
        going = WaitFor(demo, 0, 1000);
    }
    if (going) {
        Narrate("scan button pressed (button code 1)");
        Zn417QueueButtonPress(demo->device, 1);
        going = WaitFor(demo, 1, 5000);
    }
    if (going) {
        Narrate("the plug-in pauses 5 s after a press");
        going = WaitForPluginReading(demo, 10000);
    }
    if (going) {
        Narrate("the plug-in waits again; next press once its 1-second window has passed");
        going = WaitFor(demo, 0, 1200);
    }
    if (going) {
        Narrate("scan button pressed again (button code 2)");
        Zn417QueueButtonPress(demo->device, 2);
        going = WaitFor(demo, 2, 5000);
    }
    if (going && demo->finished != nullptr) {
        demo->finished(demo->finishedContext);
    }
    return nullptr;
}

}  // namespace

int PrepareDemo(const HostOptions& options, DemoScenario** demo) {
    DemoKind kind = kDemoShow;
    const char* choice = std::getenv("ZN417_SIMULATE");
    if (choice != nullptr && *choice != '\0' && !ParseKind(choice, &kind)) {
        std::fprintf(stderr, "zn417-host: ZN417_SIMULATE=%s names no simulated scenario\n",
                     choice);
        return -1;
    }
    auto* scenario = static_cast<DemoScenario*>(std::calloc(1, sizeof(DemoScenario)));
    if (scenario == nullptr) {
        return -1;
    }
    scenario->kind = kind;
    scenario->location =
        options.flags.locationSet ? options.flags.location : kDefaultSimulatedLocation;
    pthread_mutex_init(&scenario->lock, nullptr);
    pthread_cond_init(&scenario->changed, nullptr);
    if (kind != kDemoShow) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        VirtualClockEnable(&now);
        scenario->virtualClock = true;
    }

    bool attached;
    if (kind == kDemoNone) {
        scenario->otherDeviceId = AttachOtherDevice(scenario->location);
        attached = scenario->otherDeviceId != 0;
    } else {
        scenario->device = Zn417Attach(scenario->location);
        attached = scenario->device != nullptr;
    }
    if (attached && kind == kDemoTwo) {
        scenario->secondDevice = Zn417Attach(scenario->location + 0x00100000);
        attached = scenario->secondDevice != nullptr;
    }
    if (attached && kind == kDemoDenied) {
        attached = SimSetDeviceAccessible(Zn417DeviceId(scenario->device), false) == PlatformOk;
    }
    if (attached && kind == kDemoHeld) {
        attached =
            SimSetHeldByOtherClient(Zn417InterfaceId(scenario->device), true) == PlatformOk;
    }
    if (!attached) {
        FinishDemo(scenario);
        return -1;
    }
    if (kind == kDemoShow) {
        Zn417SetLogHook(scenario->device, PrintDeviceLine, scenario);
        std::printf("demo: simulated ZN417 attached at location 0x%08X\n",
                    static_cast<uint32_t>(scenario->location));
    }
    *demo = scenario;
    return 0;
}

void ShowDemoEvent(const HostEvent& event) {
    struct timeval when;
    gettimeofday(&when, nullptr);
    struct tm local;
    localtime_r(&when.tv_sec, &local);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    const uint32_t code = TWAIN_BUTTON_EVENT_SCAN;
    std::printf("[%s.%03d] event '%c%c%c%c' (0x%08X) at location 0x%08X\n", clock,
                static_cast<int>(when.tv_usec / 1000), static_cast<char>(code >> 24),
                static_cast<char>(code >> 16), static_cast<char>(code >> 8),
                static_cast<char>(code), code, static_cast<uint32_t>(event.location));
    std::printf("  event file: %s\n", event.file.c_str());
    PrintEventFile(stdout, event.file.c_str());
    std::fflush(stdout);
}

void PlayDemo(DemoScenario* demo, void (*finished)(void* context), void* context) {
    demo->finished = finished;
    demo->finishedContext = context;
    if (demo->kind != kDemoShow && demo->kind != kDemoPress) {
        return;  // the bus is set; the host serves until stopped
    }
    demo->playing = pthread_create(&demo->thread, nullptr,
                                   demo->kind == kDemoShow ? PlayScenario : PlayPress, demo) == 0;
    if (!demo->playing) {
        Narrate("cannot start the scenario thread");
        finished(context);
    }
}

void NoteDemoEvent(DemoScenario* demo) {
    pthread_mutex_lock(&demo->lock);
    demo->eventsSeen += 1;
    pthread_cond_broadcast(&demo->changed);
    pthread_mutex_unlock(&demo->lock);
}

void FinishDemo(DemoScenario* demo) {
    if (demo == nullptr) {
        return;
    }
    pthread_mutex_lock(&demo->lock);
    demo->ending = true;
    pthread_cond_broadcast(&demo->changed);
    pthread_mutex_unlock(&demo->lock);
    if (demo->playing) {
        pthread_join(demo->thread, nullptr);
    }
    Zn417Detach(demo->device);
    Zn417Detach(demo->secondDevice);
    if (demo->otherDeviceId != 0) {
        SimDetachDevice(demo->otherDeviceId);
    }
    if (demo->virtualClock) {
        VirtualClockDisable();
    }
    pthread_cond_destroy(&demo->changed);
    pthread_mutex_destroy(&demo->lock);
    std::free(demo);
}
