// SPDX-License-Identifier: MIT
// The simulated bus behind the platform layer: walk order, properties,
// object life cycle, blocking reads, writes and answers, injected failures,
// misuse records and the trace.
#include "platform/sim_bus.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb_platform.h"

namespace {

const SimPipe kPipes[] = {
    {UsbDirectionOut, UsbTransferBulk, 1, 512, 0},
    {UsbDirectionIn, UsbTransferBulk, 2, 512, 0},
    {UsbDirectionIn, UsbTransferInterrupt, 3, 64, 8},
};
constexpr uint8_t kBulkOut = 1;
constexpr uint8_t kBulkIn = 2;
constexpr uint8_t kInterrupt = 3;

class SimBus : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
        SimBusReset();
    }
    void TearDown() override {
        UsbPlatformSetTraceHook(nullptr, nullptr);
        SimBusReset();
    }

    // Attaches a device of one interface carrying `location`; returns the
    // interface ID, and the device ID through `device`.
    uint32_t Attach(int32_t location, uint32_t order = 0, bool held = false,
                    uint32_t* device = nullptr) {
        properties_.push_back({"locationID", location});
        SimInterfaceDesc desc{&properties_.back(), 1, kPipes, 3, held, order};
        uint32_t id = 0;
        const uint32_t attached = SimAttachDevice(&desc, 1, &id);
        EXPECT_NE(attached, 0u);
        if (device != nullptr) {
            *device = attached;
        }
        return id;
    }

    // The locations of the interfaces a full walk yields, releasing all.
    std::vector<int32_t> WalkLocations() {
        std::vector<int32_t> locations;
        UsbIterator* walk = nullptr;
        EXPECT_EQ(UsbCreateInterfaceIterator(&walk), PlatformOk);
        while (UsbService* service = UsbIteratorNext(walk)) {
            UsbPropertySet* properties = nullptr;
            EXPECT_EQ(UsbCreateProperties(service, &properties), PlatformOk);
            int32_t value = -1;
            EXPECT_TRUE(UsbGetPropertyInt32(properties, "locationID", &value));
            locations.push_back(value);
            UsbReleaseProperties(properties);
            UsbReleaseService(service);
        }
        UsbReleaseIterator(walk);
        return locations;
    }

    // A closed object for the first interface of the walk.
    static UsbInterfaceObject* CreateFirst() {
        UsbIterator* walk = nullptr;
        EXPECT_EQ(UsbCreateInterfaceIterator(&walk), PlatformOk);
        UsbService* service = UsbIteratorNext(walk);
        UsbInterfaceObject* object = nullptr;
        EXPECT_EQ(UsbCreateInterfaceObject(service, &object), PlatformOk);
        UsbReleaseService(service);
        UsbReleaseIterator(walk);
        return object;
    }

    // An open object for the first interface of the walk.
    static UsbInterfaceObject* OpenFirst() {
        UsbInterfaceObject* object = CreateFirst();
        if (object != nullptr) {
            EXPECT_EQ(object->ops->USBInterfaceOpen(object), PlatformOk);
        }
        return object;
    }

    static void CloseAndRelease(UsbInterfaceObject* object) {
        EXPECT_EQ(object->ops->USBInterfaceClose(object), PlatformOk);
        EXPECT_EQ(object->ops->Release(object), PlatformOk);
    }

    static std::string Misuse(uint32_t index) {
        char text[200] = "";
        SimGetMisuse(index, text, sizeof text);
        return text;
    }

    std::deque<SimProperty> properties_;
};

// --- the registry walk -------------------------------------------------------

TEST_F(SimBus, WalkYieldsEachInterfaceOnceInRegistryOrder) {
    Attach(30, 2);
    Attach(10, 1);
    Attach(31, 2);  // equal position: after the one attached before it
    Attach(0);
    EXPECT_EQ(WalkLocations(), (std::vector<int32_t>{0, 10, 30, 31}));
    const SimCounters counters = SimGetCounters();
    EXPECT_EQ(counters.liveIterators + counters.liveServices + counters.livePropertySets, 0u);
}

TEST_F(SimBus, UnpluggedDevicesLeaveTheWalk) {
    const SimInterfaceDesc pair[] = {{nullptr, 0, kPipes, 3, false, 0},
                                     {nullptr, 0, kPipes, 3, false, 0}};
    const uint32_t device = SimAttachDevice(pair, 2, nullptr);
    Attach(7);
    ASSERT_EQ(SimDetachDevice(device), PlatformOk);
    EXPECT_EQ(WalkLocations(), std::vector<int32_t>{7});
    EXPECT_EQ(SimDetachDevice(device), PlatformErrNotFound);
}

TEST_F(SimBus, PropertiesArePresentOrAbsentByName) {
    const SimProperty properties[] = {{"idVendor", -2}, {"bInterfaceNumber", 0}};
    const SimInterfaceDesc desc{properties, 2, nullptr, 0, false, 0};
    SimAttachDevice(&desc, 1, nullptr);
    UsbIterator* walk = nullptr;
    ASSERT_EQ(UsbCreateInterfaceIterator(&walk), PlatformOk);
    UsbService* service = UsbIteratorNext(walk);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(UsbIteratorNext(walk), nullptr);
    UsbPropertySet* set = nullptr;
    ASSERT_EQ(UsbCreateProperties(service, &set), PlatformOk);
    int32_t value = 99;
    EXPECT_TRUE(UsbGetPropertyInt32(set, "idVendor", &value));
    EXPECT_EQ(value, -2);
    EXPECT_TRUE(UsbGetPropertyInt32(set, "bInterfaceNumber", &value));
    EXPECT_EQ(value, 0);
    value = 99;
    EXPECT_FALSE(UsbGetPropertyInt32(set, "idProduct", &value));
    EXPECT_FALSE(UsbGetPropertyInt32(set, "idvendor", &value));  // names are exact
    EXPECT_EQ(value, 99);
    UsbReleaseProperties(set);
    UsbReleaseService(service);
    UsbReleaseIterator(walk);
}

TEST_F(SimBus, InjectedFailuresHitOneStepOfOneInterface) {
    const uint32_t first = Attach(1);
    const uint32_t second = Attach(2);
    SimFailStep(SimStepWalk, PlatformErrNoMemory);
    UsbIterator* walk = nullptr;
    EXPECT_EQ(UsbCreateInterfaceIterator(&walk), PlatformErrNoMemory);
    EXPECT_EQ(walk, nullptr);

    SimFailStep(SimStepProperties, PlatformErrError, second);
    SimFailStep(SimStepCreateObject, PlatformOk, first);  // success without an object
    ASSERT_EQ(UsbCreateInterfaceIterator(&walk), PlatformOk);
    UsbService* one = UsbIteratorNext(walk);
    UsbService* two = UsbIteratorNext(walk);
    UsbPropertySet* set = nullptr;
    EXPECT_EQ(UsbCreateProperties(one, &set), PlatformOk);
    UsbReleaseProperties(set);
    EXPECT_EQ(UsbCreateProperties(two, &set), PlatformErrError);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(UsbCreateProperties(two, &set), PlatformOk);  // only once
    UsbReleaseProperties(set);
    UsbInterfaceObject* object = nullptr;
    EXPECT_EQ(UsbCreateInterfaceObject(one, &object), PlatformOk);
    EXPECT_EQ(object, nullptr);
    UsbReleaseService(one);
    UsbReleaseService(two);
    UsbReleaseIterator(walk);
    EXPECT_EQ(SimGetCounters().unreleasedObjects, 0u);
}

// --- objects: opening, pipes, counters ---------------------------------------

TEST_F(SimBus, OpenIsExclusive) {
    const uint32_t id = Attach(1, 0, true);
    UsbInterfaceObject* object = CreateFirst();
    UsbInterfaceObject* rival = CreateFirst();
    ASSERT_TRUE(object != nullptr && rival != nullptr);

    EXPECT_EQ(object->ops->USBInterfaceOpen(object), PlatformErrExclusiveAccess);
    SimSetHeldByOtherClient(id, false);
    SimFailStep(SimStepOpen, PlatformErrNoDevice, id);
    EXPECT_EQ(object->ops->USBInterfaceOpen(object), PlatformErrNoDevice);
    EXPECT_EQ(object->ops->USBInterfaceOpen(object), PlatformOk);
    EXPECT_EQ(rival->ops->USBInterfaceOpen(rival), PlatformErrExclusiveAccess);
    SimCounters counters = SimGetCounters();
    EXPECT_EQ(counters.openObjects, 1u);
    EXPECT_EQ(counters.unreleasedObjects, 2u);
    CloseAndRelease(object);
    EXPECT_EQ(rival->ops->Release(rival), PlatformOk);  // never opened: release alone is right
    counters = SimGetCounters();
    EXPECT_EQ(counters.openObjects + counters.unreleasedObjects + counters.misuses, 0u);
}

TEST_F(SimBus, PipesAreDescribedByReference) {
    const uint32_t id = Attach(1);
    UsbInterfaceObject* object = OpenFirst();
    uint8_t count = 0;
    EXPECT_EQ(object->ops->GetNumEndpoints(object, &count), PlatformOk);
    EXPECT_EQ(count, 3);
    uint8_t direction, number, type, interval;
    uint16_t packet;
    ASSERT_EQ(object->ops->GetPipeProperties(object, kInterrupt, &direction, &number, &type,
                                             &packet, &interval),
              PlatformOk);
    EXPECT_EQ(direction, UsbDirectionIn);
    EXPECT_EQ(type, UsbTransferInterrupt);
    EXPECT_EQ(packet, 64);
    EXPECT_EQ(
        object->ops->GetPipeProperties(object, 4, &direction, &number, &type, &packet, &interval),
        PlatformErrBadArgument);
    EXPECT_EQ(
        object->ops->GetPipeProperties(object, 0, &direction, &number, &type, &packet, &interval),
        PlatformErrBadArgument);

    SimFailStep(SimStepNumEndpoints, PlatformErrError, id);
    SimFailStep(SimStepPipeProperties, PlatformErrStalled, id, kBulkIn);
    EXPECT_EQ(object->ops->GetNumEndpoints(object, &count), PlatformErrError);
    EXPECT_EQ(object->ops->GetPipeProperties(object, kBulkOut, &direction, &number, &type, &packet,
                                             &interval),
              PlatformOk);
    EXPECT_EQ(object->ops->GetPipeProperties(object, kBulkIn, &direction, &number, &type, &packet,
                                             &interval),
              PlatformErrStalled);
    CloseAndRelease(object);
}

// --- blocking reads ----------------------------------------------------------

TEST_F(SimBus, QueuedPacketsOfAnyLengthAreReadInOrderAndInjectedFailuresAtOnce) {
    const uint32_t id = Attach(1);
    UsbInterfaceObject* object = OpenFirst();
    const std::vector<uint8_t> big(300, 0xAB);
    ASSERT_EQ(SimQueueInPacket(id, kInterrupt, "\x01\x02", 2), PlatformOk);
    ASSERT_EQ(SimQueueInPacket(id, kInterrupt, nullptr, 0), PlatformOk);
    ASSERT_EQ(SimQueueInPacket(id, kInterrupt, big.data(), 300), PlatformOk);
    EXPECT_EQ(SimQueueInPacket(id, kBulkOut, "x", 1), PlatformErrBadArgument);

    uint8_t buffer[256];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(object->ops->ReadPipe(object, kInterrupt, buffer, &size), PlatformOk);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(buffer[1], 2);
    size = sizeof buffer;
    EXPECT_EQ(object->ops->ReadPipe(object, kInterrupt, buffer, &size), PlatformOk);
    EXPECT_EQ(size, 0u);
    size = sizeof buffer;
    EXPECT_EQ(object->ops->ReadPipe(object, kInterrupt, buffer, &size), PlatformErrOverrun);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(buffer[255], 0xAB);
    EXPECT_EQ(object->ops->ReadPipe(object, kBulkOut, buffer, &size), PlatformErrBadArgument);
    // An injected failure returns at once, with nothing read, though no data waits.
    SimFailStep(SimStepRead, PlatformErrStalled, id, kInterrupt);
    size = sizeof buffer;
    EXPECT_EQ(object->ops->ReadPipe(object, kInterrupt, buffer, &size), PlatformErrStalled);
    EXPECT_EQ(size, 0u);
    CloseAndRelease(object);
}

// Starts a read of the interrupt pipe on its own thread and waits until the
// bus reports it blocked.
struct BlockedRead {
    UsbInterfaceObject* object;
    uint8_t buffer[256] = {};
    uint32_t size = sizeof buffer;
    PlatformReturn status = PlatformErrError;
    double cpuSeconds = 0;
    std::thread thread;

    explicit BlockedRead(UsbInterfaceObject* target, uint32_t alreadyBlocked = 0) : object(target) {
        thread = std::thread([this] {
            timespec before{}, after{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
            status = object->ops->ReadPipe(object, kInterrupt, buffer, &size);
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
            cpuSeconds = static_cast<double>(after.tv_sec - before.tv_sec) +
                         static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9;
        });
        EXPECT_TRUE(SimWaitForBlockedReads(alreadyBlocked + 1, 10000));
    }
    PlatformReturn Finish() {
        thread.join();
        return status;
    }
};

TEST_F(SimBus, BlockedReadIsReleasedByAbortOfItsPipeOnly) {
    const uint32_t id = Attach(1);
    UsbInterfaceObject* object = OpenFirst();
    BlockedRead read(object);
    EXPECT_EQ(object->ops->AbortPipe(object, kBulkIn), PlatformOk);
    EXPECT_EQ(SimGetCounters().blockedReads, 1u);
    EXPECT_EQ(object->ops->AbortPipe(object, kInterrupt), PlatformOk);
    EXPECT_EQ(read.Finish(), PlatformErrAborted);
    EXPECT_EQ(read.size, 0u);
    // The abort ends pending transfers only: the next read gets data again.
    SimQueueInPacket(id, kInterrupt, "\x07", 1);
    uint8_t byte = 0;
    uint32_t size = 1;
    EXPECT_EQ(object->ops->ReadPipe(object, kInterrupt, &byte, &size), PlatformOk);
    EXPECT_EQ(byte, 7);
    CloseAndRelease(object);
    EXPECT_EQ(SimGetCounters().misuses, 0u);
}

TEST_F(SimBus, BlockedReadIsReleasedByUnplug) {
    uint32_t device = 0;
    Attach(5, 0, false, &device);
    UsbInterfaceObject* object = OpenFirst();
    BlockedRead read(object);
    ASSERT_EQ(SimDetachDevice(device), PlatformOk);
    EXPECT_EQ(read.Finish(), PlatformErrNoDevice);
    uint8_t count;
    EXPECT_EQ(object->ops->GetNumEndpoints(object, &count), PlatformErrNoDevice);
    CloseAndRelease(object);  // still allowed after an unplug
    EXPECT_EQ(SimGetCounters().misuses, 0u);
}

// The one test that takes a second: it measures a second of waiting.
TEST_F(SimBus, BlockedReadUsesNoCpuTimeWhileWaitingAndIsReleasedByData) {
    const uint32_t id = Attach(1);
    UsbInterfaceObject* object = OpenFirst();
    BlockedRead read(object);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // Still blocked after the second, not returned early and not spinning.
    EXPECT_EQ(SimGetCounters().blockedReads, 1u);
    ASSERT_EQ(SimQueueInPacket(id, kInterrupt, "\x00\x00\x00\x01\x00", 5), PlatformOk);
    EXPECT_EQ(read.Finish(), PlatformOk);
    EXPECT_EQ(read.size, 5u);
    EXPECT_EQ(read.buffer[3], 1);
    RecordProperty("blocked_read_cpu_us", static_cast<int>(read.cpuSeconds * 1e6));
    EXPECT_LT(read.cpuSeconds, 0.02);  // a spinning reader would use about a second
    CloseAndRelease(object);
}

// --- writes and answers ------------------------------------------------------

TEST_F(SimBus, EveryWriteIsRecordedWithItsStatus) {
    const uint32_t id = Attach(1);
    UsbInterfaceObject* object = OpenFirst();
    EXPECT_EQ(object->ops->WritePipe(object, kBulkOut, "hello", 5), PlatformOk);
    SimFailStep(SimStepWrite, PlatformErrStalled, id, kBulkOut);
    EXPECT_EQ(object->ops->WritePipe(object, kBulkOut, "again", 5), PlatformErrStalled);
    EXPECT_EQ(object->ops->WritePipe(object, kBulkOut, nullptr, 0), PlatformOk);
    EXPECT_EQ(object->ops->WritePipe(object, kBulkIn, "x", 1), PlatformErrBadArgument);
    ASSERT_EQ(SimWriteCount(id), 3u);
    char data[8] = {};
    uint8_t pipe = 0;
    int32_t status = 0;
    uint32_t length = 0;
    ASSERT_TRUE(SimGetWrite(id, 1, &pipe, &status, data, 3, &length));
    EXPECT_EQ(pipe, kBulkOut);
    EXPECT_EQ(status, PlatformErrStalled);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(std::string(data), "aga");  // no more than the room given
    EXPECT_FALSE(SimGetWrite(id, 3, nullptr, nullptr, nullptr, 0, nullptr));
    CloseAndRelease(object);
}

TEST_F(SimBus, QueuedAnswersFollowSuccessfulWritesOneEach) {
    const uint32_t id = Attach(1);
    UsbInterfaceObject* object = OpenFirst();
    SimQueueBulkAnswer(id, "first", 5);
    SimQueueBulkAnswer(id, "second", 6);
    SimFailStep(SimStepWrite, PlatformErrError, id);
    EXPECT_EQ(object->ops->WritePipe(object, kBulkOut, "a", 1), PlatformErrError);
    EXPECT_EQ(object->ops->WritePipe(object, kBulkOut, "b", 1), PlatformOk);
    char buffer[16] = {};
    uint32_t size = sizeof buffer;
    EXPECT_EQ(object->ops->ReadPipe(object, kBulkIn, buffer, &size), PlatformOk);
    EXPECT_EQ(std::string(buffer, size), "first");
    // Nothing more was written, so the second answer has not come: the read
    // would block. Prove it with an abort from another thread.
    std::thread aborter([&] {
        SimWaitForBlockedReads(1, 10000);
        object->ops->AbortPipe(object, kBulkIn);
    });
    size = sizeof buffer;
    EXPECT_EQ(object->ops->ReadPipe(object, kBulkIn, buffer, &size), PlatformErrAborted);
    aborter.join();
    CloseAndRelease(object);
}

TEST_F(SimBus, ResponderSeesEachWriteAndMayAnswer) {
    const uint32_t id = Attach(1);
    UsbInterfaceObject* object = OpenFirst();
    struct Device {
        std::vector<std::string> seen;
    } device;
    SimSetResponder(
        id,
        [](void* context, uint32_t interfaceId, uint8_t pipe, const uint8_t* data,
           uint32_t length) {
            auto* self = static_cast<Device*>(context);
            self->seen.emplace_back(reinterpret_cast<const char*>(data), length);
            if (self->seen.size() == 1) {  // answers the first only, with 2048 bytes
                std::vector<uint8_t> answer(2048, 'A');
                EXPECT_EQ(SimQueueInPacket(interfaceId, pipe + 1, answer.data(), 2048), PlatformOk);
            }
        },
        &device);
    EXPECT_EQ(object->ops->WritePipe(object, kBulkOut, "<cmd/>", 6), PlatformOk);
    std::vector<uint8_t> buffer(4096);
    uint32_t size = 4096;
    EXPECT_EQ(object->ops->ReadPipe(object, kBulkIn, buffer.data(), &size), PlatformOk);
    EXPECT_EQ(size, 2048u);
    EXPECT_EQ(object->ops->WritePipe(object, kBulkOut, "<cmd2/>", 7), PlatformOk);
    EXPECT_EQ(device.seen, (std::vector<std::string>{"<cmd/>", "<cmd2/>"}));
    SimSetResponder(id, nullptr, nullptr);
    CloseAndRelease(object);
}

// --- misuse ------------------------------------------------------------------

TEST_F(SimBus, OperationsAfterCloseOrReleaseAreReportedAsMisuse) {
    Attach(1);
    UsbInterfaceObject* object = OpenFirst();
    EXPECT_EQ(object->ops->USBInterfaceClose(object), PlatformOk);
    uint8_t buffer[4];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(object->ops->ReadPipe(object, kInterrupt, buffer, &size), PlatformErrNotOpen);
    EXPECT_EQ(object->ops->AbortPipe(object, kInterrupt), PlatformErrNotOpen);
    EXPECT_EQ(object->ops->USBInterfaceClose(object), PlatformErrNotOpen);
    ASSERT_EQ(SimGetCounters().misuses, 3u);
    EXPECT_EQ(Misuse(0), "ReadPipe on closed object #1 (interface 1)");
    EXPECT_EQ(object->ops->Release(object), PlatformOk);
    EXPECT_EQ(object->ops->WritePipe(object, kBulkOut, "x", 1), PlatformErrNotOpen);
    EXPECT_EQ(object->ops->Release(object), PlatformErrError);
    EXPECT_EQ(SimGetCounters().misuses, 5u);
    EXPECT_EQ(Misuse(4), "Release on released object #1 (interface 1)");
}

TEST_F(SimBus, ClosingUnderABlockedReadIsReportedAndEndsTheRead) {
    Attach(1);
    UsbInterfaceObject* object = OpenFirst();
    BlockedRead read(object);
    EXPECT_EQ(object->ops->USBInterfaceClose(object), PlatformOk);
    EXPECT_EQ(read.Finish(), PlatformErrAborted);
    EXPECT_EQ(Misuse(0),
              "USBInterfaceClose with operations pending on closed object #1 "
              "(interface 1)");
    EXPECT_EQ(object->ops->Release(object), PlatformOk);
}

TEST_F(SimBus, ReleasingAnOpenObjectIsReportedAndClosesIt) {
    Attach(1);
    UsbInterfaceObject* object = OpenFirst();
    EXPECT_EQ(object->ops->Release(object), PlatformOk);
    EXPECT_EQ(SimGetCounters().misuses, 1u);
    EXPECT_EQ(SimGetCounters().openObjects, 0u);
}

// --- trace and arguments ---------------------------------------------------

TEST_F(SimBus, TraceGivesOneLinePerOperation) {
    const uint32_t id = Attach(1);
    std::vector<std::string> lines;
    UsbPlatformSetTraceHook(
        [](void* context, const char* line) {
            static_cast<std::vector<std::string>*>(context)->push_back(line);
        },
        &lines);
    UsbInterfaceObject* object = OpenFirst();
    SimQueueInPacket(id, kInterrupt, "\x00\x00\x00\x01\x00", 5);
    uint8_t buffer[8];
    uint32_t size = sizeof buffer;
    object->ops->ReadPipe(object, kInterrupt, buffer, &size);
    object->ops->WritePipe(object, kBulkOut, "<cmd/>", 6);
    CloseAndRelease(object);
    UsbPlatformSetTraceHook(nullptr, nullptr);
    const std::vector<std::string> expected = {
        "sim walk: ok, 1 interfaces",
        "sim create object #1 for if1: ok",
        "sim #1/if1 USBInterfaceOpen: ok (0x00000000)",
        "sim #1/if1 ReadPipe(3): ok (0x00000000), 5 bytes: 00 00 00 01 00",
        "sim #1/if1 WritePipe(1): ok (0x00000000), 6 bytes: \"<cmd/>\"",
        "sim #1/if1 USBInterfaceClose: ok (0x00000000)",
        "sim #1/if1 Release: ok (0x00000000)",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(SimBus, BadArgumentsAreRefused) {
    EXPECT_EQ(UsbCreateInterfaceIterator(nullptr), PlatformErrBadArgument);
    EXPECT_EQ(UsbIteratorNext(nullptr), nullptr);
    UsbPropertySet* set = reinterpret_cast<UsbPropertySet*>(1);
    EXPECT_EQ(UsbCreateProperties(nullptr, &set), PlatformErrBadArgument);
    EXPECT_EQ(set, nullptr);
    int32_t value;
    EXPECT_FALSE(UsbGetPropertyInt32(nullptr, "idVendor", &value));
    UsbInterfaceObject* object = reinterpret_cast<UsbInterfaceObject*>(1);
    EXPECT_EQ(UsbCreateInterfaceObject(nullptr, &object), PlatformErrBadArgument);
    EXPECT_EQ(object, nullptr);
    UsbReleaseIterator(nullptr);
    UsbReleaseService(nullptr);
    UsbReleaseProperties(nullptr);
    EXPECT_EQ(SimAttachDevice(nullptr, 1, nullptr), 0u);
    const SimInterfaceDesc noPipes{nullptr, 0, nullptr, 2, false, 0};
    EXPECT_EQ(SimAttachDevice(&noPipes, 1, nullptr), 0u);
    EXPECT_EQ(SimQueueInPacket(42, 1, "x", 1), PlatformErrNotFound);
}

}  // namespace
