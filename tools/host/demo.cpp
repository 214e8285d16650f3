// Demo scenario against a simulated ZN417.
#include "demo.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/sim_bus.h"
#include "protocol/scan_response.h"
#include "zn417_model.h"

struct DemoScenario {
    int32_t location;
    Zn417Model* device;
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

void PrintTraceLine(void*, const char* line) {
    std::printf("  usb| %s\n", line);
}

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

int PrepareDemo(const HostOptions* options, DemoScenario** demo) {
    auto* scenario = static_cast<DemoScenario*>(std::calloc(1, sizeof(DemoScenario)));
    if (scenario == nullptr) {
        return -1;
    }
    scenario->location = options->location;
    pthread_mutex_init(&scenario->lock, nullptr);
    pthread_cond_init(&scenario->changed, nullptr);

    scenario->device = Zn417Attach(options->location);
    if (scenario->device == nullptr) {
        FinishDemo(scenario);
        return -1;
    }
    Zn417SetLogHook(scenario->device, PrintDeviceLine, scenario);
    if (options->trace) {
        UsbPlatformSetTraceHook(PrintTraceLine, nullptr);
    }
    std::printf("demo: simulated ZN417 attached at location 0x%08X\n",
                static_cast<uint32_t>(options->location));
    *demo = scenario;
    return 0;
}

void PlayDemo(DemoScenario* demo, void (*finished)(void* context), void* context) {
    demo->finished = finished;
    demo->finishedContext = context;
    demo->playing = pthread_create(&demo->thread, nullptr, PlayScenario, demo) == 0;
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
    UsbPlatformSetTraceHook(nullptr, nullptr);
    Zn417Detach(demo->device);
    pthread_cond_destroy(&demo->changed);
    pthread_mutex_destroy(&demo->lock);
    std::free(demo);
}
