// Demo scenario against a simulated ZN417.
#include "demo.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/sim_bus.h"
#include "usb/usb_ids.h"

struct DemoScenario {
    int32_t location;
    uint32_t deviceId;
    uint32_t interfaceId;
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

constexpr uint32_t kInterruptPacketLength = 32;

void PrintTraceLine(void*, const char* line) {
    std::printf("  usb| %s\n", line);
}

void Narrate(const char* text) {
    std::printf("demo: %s\n", text);
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

void QueueInterruptPacket(DemoScenario* demo, uint16_t statusWord, uint8_t buttonCode) {
    uint8_t packet[kInterruptPacketLength] = {};
    packet[2] = static_cast<uint8_t>(statusWord & 0xFF);
    packet[3] = static_cast<uint8_t>(statusWord >> 8);
    packet[4] = buttonCode;
    SimQueueInPacket(demo->interfaceId, 3, packet, sizeof packet);
}

void* PlayScenario(void* argument) {
    auto* demo = static_cast<DemoScenario*>(argument);
    SimWaitForBlockedReads(1, 5000);  // the plug-in waits on its interrupt pipe
    bool going = true;
    if (going) {
        Narrate("the scanner sends a status packet (status word 256)");
        QueueInterruptPacket(demo, 256, 0);
        going = WaitFor(demo, 0, 1500);
    }
    if (going) {
        Narrate("scan button pressed (button code 1)");
        QueueInterruptPacket(demo, 0, 1);
        going = WaitFor(demo, 1, 5000);
    }
    if (going) {
        Narrate("the plug-in pauses 5 s after a press; next press in 6.5 s");
        going = WaitFor(demo, 0, 6500);
    }
    if (going) {
        Narrate("scan button pressed again (button code 2)");
        QueueInterruptPacket(demo, 0, 2);
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

    const SimProperty properties[] = {
        {"bInterfaceProtocol", VendorSpecificProtocol},
        {"bInterfaceNumber", ScannerInterfaceNumber},
        {"idVendor", MakerVendorId},
        {"idProduct", static_cast<int32_t>(ModelProductId)},
        {"bNumEndpoints", ScannerEndpointCount},
        {"locationID", options->location},
    };
    const SimPipe pipes[] = {
        {UsbDirectionOut, UsbTransferBulk, 1, 512, 0},
        {UsbDirectionIn, UsbTransferBulk, 2, 512, 0},
        {UsbDirectionIn, UsbTransferInterrupt, 3, 64, 8},
    };
    SimInterfaceDesc scanner{};
    scanner.properties = properties;
    scanner.propertyCount = sizeof properties / sizeof properties[0];
    scanner.pipes = pipes;
    scanner.pipeCount = sizeof pipes / sizeof pipes[0];
    scenario->deviceId = SimAttachDevice(&scanner, 1, &scenario->interfaceId);
    if (scenario->deviceId == 0) {
        FinishDemo(scenario);
        return -1;
    }
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
    if (demo->deviceId != 0) {
        SimDetachDevice(demo->deviceId);
    }
    pthread_cond_destroy(&demo->changed);
    pthread_mutex_destroy(&demo->lock);
    std::free(demo);
}
