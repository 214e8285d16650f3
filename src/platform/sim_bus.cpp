// SPDX-License-Identifier: MIT
// The simulated bus backend: devices, interfaces and pipes held in memory
// under one lock, with blocking reads on one condition variable, injected
// failures, recorded writes and a record of every misuse of an object.
#include "platform/sim_bus.h"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/usb_backend.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct SimPipeState {
    SimPipe desc;
    std::deque<Bytes> packets;     // transfers waiting for a ReadPipe
    uint64_t abortGeneration = 0;  // a read ends aborted when this moves on
};

struct SimWriteRecord {
    uint8_t pipeRef;
    int32_t status;
    Bytes bytes;
};

struct SimObject;

struct SimInterfaceRec {
    uint32_t id = 0;
    uint32_t deviceId = 0;
    uint32_t registryOrder = 0;
    bool attached = true;
    bool heldByOther = false;
    SimObject* opener = nullptr;  // the object of ours that holds it open
    std::vector<std::pair<std::string, int32_t>> properties;
    std::vector<SimPipeState> pipes;
    std::deque<Bytes> bulkAnswers;
    std::vector<SimWriteRecord> writes;
    SimResponder responder = nullptr;
    void* responderContext = nullptr;
};

// Objects are kept until the reset, released or not, so that a use after
// Release is caught and counted instead of touching freed memory.
struct SimObject {
    UsbInterfaceObject head;  // first, so the layer's pointer is ours
    SimInterfaceRec* rec;
    uint32_t number;
    bool open;
    bool released;
    uint32_t inFlight;  // operations inside the object now
};

struct SimIterator {
    UsbIterator head;
    std::vector<SimInterfaceRec*> list;
    size_t next;
};

struct SimService {
    UsbService head;
    SimInterfaceRec* rec;
};

struct SimPropertySnapshot {
    UsbPropertySet head;
    std::vector<std::pair<std::string, int32_t>> properties;
};

static_assert(std::is_standard_layout_v<SimObject> && std::is_standard_layout_v<SimIterator> &&
                  std::is_standard_layout_v<SimService> &&
                  std::is_standard_layout_v<SimPropertySnapshot>,
              "each record must share its address with its head");

struct SimFailRule {
    SimStep step;
    int32_t status;
    uint32_t interfaceId;
    uint8_t pipeRef;
    uint32_t remaining;  // 0: every time
};

// A device as a user names it: made at attach from its first interface's
// "idVendor", "idProduct" and "locationID".
struct SimDeviceRec {
    uint32_t id = 0;
    bool attached = true;
    bool accessible = true;
    UsbDeviceInfo info{};
};

struct SimBus {
    std::mutex lock;
    std::vector<SimDeviceRec> devices;
    std::condition_variable changed;       // data, abort, close or unplug: blocked reads look again
    std::condition_variable readsBlocked;  // the number of blocked reads grew
    std::vector<std::unique_ptr<SimInterfaceRec>> interfaces;
    std::vector<std::unique_ptr<SimObject>> objects;
    std::vector<SimFailRule> rules;
    std::vector<std::string> misuses;
    uint32_t nextInterfaceId = 1;
    uint32_t nextDeviceId = 1;
    SimCounters counters{};
};

// Never destroyed: a thread of a host may still be inside when the process
// ends.
SimBus& Bus() {
    static SimBus* bus = new SimBus;
    return *bus;
}

SimObject* AsSim(UsbInterfaceObject* object) {
    return reinterpret_cast<SimObject*>(object);
}

SimInterfaceRec* FindInterface(SimBus& bus, uint32_t interfaceId) {
    for (auto& rec : bus.interfaces) {
        if (rec->id == interfaceId) {
            return rec.get();
        }
    }
    return nullptr;
}

SimPipeState* FindPipe(SimInterfaceRec* rec, uint8_t pipeRef) {
    if (pipeRef == 0 || pipeRef > rec->pipes.size()) {
        return nullptr;
    }
    return &rec->pipes[pipeRef - 1];
}

// The first rule that fits, consumed once; true with *status when one did.
bool TakeFailure(SimBus& bus, SimStep step, uint32_t interfaceId, uint8_t pipeRef,
                 int32_t* status) {
    for (size_t i = 0; i < bus.rules.size(); ++i) {
        SimFailRule& rule = bus.rules[i];
        if (rule.step != step || (rule.interfaceId != 0 && rule.interfaceId != interfaceId) ||
            (rule.pipeRef != 0 && rule.pipeRef != pipeRef)) {
            continue;
        }
        *status = rule.status;
        if (rule.remaining != 0 && --rule.remaining == 0) {
            bus.rules.erase(bus.rules.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return true;
    }
    return false;
}

void RecordMisuse(SimBus& bus, const SimObject* object, const char* what) {
    char text[160];
    std::snprintf(text, sizeof text, "%s on %s object #%u (interface %u)", what,
                  object->released ? "released" : "closed", object->number, object->rec->id);
    bus.misuses.emplace_back(text);
}

void TraceObject(const SimObject* object, uint32_t interfaceId, const char* operation,
                 PlatformReturn status, const char* detail = "") {
    UsbTrace("sim #%u/if%u %s: %s (0x%08x)%s", object->number, interfaceId, operation,
             UsbPlatformStatusName(status), static_cast<uint32_t>(status), detail);
}

// A device given a node follows the node's permissions: accessible while
// its owner may read and write it, so that a test changes access as an ACL
// or mode change on a real node would (root included).
bool AccessibleNow(const SimDeviceRec& device) {
    if (device.info.node[0] == '\0') {
        return device.accessible;
    }
    struct stat node;
    return stat(device.info.node, &node) == 0 && (node.st_mode & 0600) == 0600;
}

bool DeviceAccessible(const SimBus& bus, uint32_t deviceId) {
    for (const SimDeviceRec& device : bus.devices) {
        if (device.id == deviceId) {
            return AccessibleNow(device);
        }
    }
    return true;
}

// The name, bus and address of a new device. With a location whose bus and
// first port are not 0, the name follows its nibbles as sysfs would name that
// port path (0x14120000: bus 20, ports 1 and 2, "20-1.2"); otherwise the
// device sits on a bus 0 of its own, named by its ID.
UsbDeviceInfo DescribeDevice(uint32_t deviceId, const SimInterfaceDesc& first) {
    UsbDeviceInfo info{};
    int32_t location = 0;
    bool hasLocation = false;
    for (uint32_t p = 0; p < first.propertyCount; ++p) {
        const SimProperty& property = first.properties[p];
        if (std::strcmp(property.name, "idVendor") == 0) {
            info.vendorId = static_cast<uint16_t>(property.value);
        } else if (std::strcmp(property.name, "idProduct") == 0) {
            info.productId = static_cast<uint16_t>(property.value);
        } else if (std::strcmp(property.name, "locationID") == 0) {
            location = property.value;
            hasLocation = true;
        }
    }
    const auto bits = static_cast<uint32_t>(location);
    info.deviceAddress = static_cast<uint8_t>((deviceId - 1) % 127 + 1);
    if (hasLocation && (bits >> 24) != 0 && ((bits >> 20) & 0x0F) != 0) {
        info.busNumber = static_cast<uint8_t>(bits >> 24);
        int used = std::snprintf(info.name, sizeof info.name, "%u", info.busNumber);
        for (int tier = 0; tier < 6; ++tier) {
            const uint32_t port = (bits >> (20 - 4 * tier)) & 0x0F;
            if (port == 0) {
                break;
            }
            used += std::snprintf(info.name + used, sizeof info.name - static_cast<size_t>(used),
                                  "%c%u", tier == 0 ? '-' : '.', port);
        }
        info.hasLocation = true;
        info.locationId = location;
    } else {
        std::snprintf(info.name, sizeof info.name, "0-%u", deviceId);
    }
    info.accessible = true;
    return info;
}

// A step that no rule names.
constexpr SimStep kNoStep = static_cast<SimStep>(-1);

// Under the bus lock, how an operation on an object begins: a released
// object, or a closed one, is a misuse (PlatformErrNotOpen); then an unplug,
// arguments that are not `argumentsGood`, and an injected failure of `step`
// on the pipe end it before it starts.
PlatformReturn CheckObject(SimBus& bus, SimObject* object, const char* operation,
                           bool argumentsGood = true, SimStep step = kNoStep, uint8_t pipeRef = 0) {
    if (object->released || !object->open) {
        RecordMisuse(bus, object, operation);
        return PlatformErrNotOpen;
    }
    if (!object->rec->attached) {
        return PlatformErrNoDevice;
    }
    if (!argumentsGood) {
        return PlatformErrBadArgument;
    }
    PlatformReturn injected;
    return TakeFailure(bus, step, object->rec->id, pipeRef, &injected) ? injected : PlatformOk;
}

// Keeps a blocking platform call from being a cancellation point, as the
// operating system's own calls are not: a thread cancelled inside would
// otherwise unwind through the standard library's waits.
struct NoCancellation {
    int previous = 0;
    NoCancellation() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous); }
    ~NoCancellation() { pthread_setcancelstate(previous, nullptr); }
};

PlatformReturn SimOpen(UsbInterfaceObject* self) {
    SimBus& bus = Bus();
    SimObject* object = AsSim(self);
    PlatformReturn status = PlatformOk;
    uint32_t interfaceId;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        SimInterfaceRec* rec = object->rec;
        interfaceId = rec->id;
        int32_t injected;
        if (object->released) {
            RecordMisuse(bus, object, "USBInterfaceOpen");
            status = PlatformErrNotOpen;
        } else if (object->open) {
            status = PlatformErrExclusiveAccess;
        } else if (!rec->attached) {
            status = PlatformErrNoDevice;
        } else if (TakeFailure(bus, SimStepOpen, rec->id, 0, &injected)) {
            status = injected;
        } else if (!DeviceAccessible(bus, rec->deviceId)) {
            status = PlatformErrNotPermitted;
        } else if (rec->heldByOther || rec->opener != nullptr) {
            status = PlatformErrExclusiveAccess;
        } else {
            object->open = true;
            rec->opener = object;
            ++bus.counters.openObjects;
        }
    }
    if (status == PlatformOk) {
        UsbNoteInterfaceOpened(self);
    }
    TraceObject(object, interfaceId, "USBInterfaceOpen", status);
    return status;
}

// Closes under the bus lock; pending operations end aborted.
void CloseLocked(SimBus& bus, SimObject* object) {
    object->open = false;
    if (object->rec->opener == object) {
        object->rec->opener = nullptr;
    }
    --bus.counters.openObjects;
    bus.changed.notify_all();
}

PlatformReturn SimClose(UsbInterfaceObject* self) {
    SimBus& bus = Bus();
    SimObject* object = AsSim(self);
    PlatformReturn status = PlatformOk;
    uint32_t interfaceId;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        interfaceId = object->rec->id;
        if (object->released || !object->open) {
            RecordMisuse(bus, object, "USBInterfaceClose");
            status = PlatformErrNotOpen;
        } else {
            if (object->inFlight > 0) {
                RecordMisuse(bus, object, "USBInterfaceClose with operations pending");
            }
            CloseLocked(bus, object);
        }
    }
    TraceObject(object, interfaceId, "USBInterfaceClose", status);
    return status;
}

PlatformReturn SimGetNumEndpoints(UsbInterfaceObject* self, uint8_t* count) {
    SimBus& bus = Bus();
    SimObject* object = AsSim(self);
    PlatformReturn status;
    uint32_t interfaceId;
    char detail[32] = "";
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        interfaceId = object->rec->id;
        status = CheckObject(bus, object, "GetNumEndpoints", count != nullptr, SimStepNumEndpoints);
        if (status == PlatformOk) {
            *count = static_cast<uint8_t>(object->rec->pipes.size());
            std::snprintf(detail, sizeof detail, ", %u endpoints", *count);
        }
    }
    TraceObject(object, interfaceId, "GetNumEndpoints", status, detail);
    return status;
}

PlatformReturn SimGetPipeProperties(UsbInterfaceObject* self, uint8_t pipeRef, uint8_t* direction,
                                    uint8_t* number, uint8_t* transferType, uint16_t* maxPacketSize,
                                    uint8_t* interval) {
    SimBus& bus = Bus();
    SimObject* object = AsSim(self);
    PlatformReturn status;
    uint32_t interfaceId;
    char detail[64] = "";
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        interfaceId = object->rec->id;
        SimPipeState* pipe = FindPipe(object->rec, pipeRef);
        const bool argumentsGood = pipe != nullptr && direction != nullptr && number != nullptr &&
                                   transferType != nullptr && maxPacketSize != nullptr &&
                                   interval != nullptr;
        status = CheckObject(bus, object, "GetPipeProperties", argumentsGood, SimStepPipeProperties,
                             pipeRef);
        if (status == PlatformOk) {
            *direction = pipe->desc.direction;
            *number = pipe->desc.endpointNumber;
            *transferType = pipe->desc.transferType;
            *maxPacketSize = pipe->desc.maxPacketSize;
            *interval = pipe->desc.interval;
            std::snprintf(detail, sizeof detail, ", direction %u, type %u", *direction,
                          *transferType);
        }
    }
    char operation[40];
    std::snprintf(operation, sizeof operation, "GetPipeProperties(%u)", pipeRef);
    TraceObject(object, interfaceId, operation, status, detail);
    return status;
}

PlatformReturn SimReadPipe(UsbInterfaceObject* self, uint8_t pipeRef, void* buffer,
                           uint32_t* size) {
    NoCancellation noCancellation;
    SimBus& bus = Bus();
    SimObject* object = AsSim(self);
    PlatformReturn status;
    uint32_t interfaceId;
    uint32_t received = 0;
    {
        std::unique_lock<std::mutex> guard(bus.lock);
        SimInterfaceRec* rec = object->rec;
        interfaceId = rec->id;
        SimPipeState* pipe = FindPipe(rec, pipeRef);
        const bool argumentsGood = pipe != nullptr && buffer != nullptr && size != nullptr &&
                                   pipe->desc.direction == UsbDirectionIn;
        status = CheckObject(bus, object, "ReadPipe", argumentsGood, SimStepRead, pipeRef);
        if (status == PlatformOk) {
            ++object->inFlight;
            const uint64_t generation = pipe->abortGeneration;
            for (;;) {
                if (!object->open) {
                    status = PlatformErrAborted;  // closed under the read: a misuse, recorded
                    break;
                }
                if (!rec->attached) {
                    status = PlatformErrNoDevice;
                    break;
                }
                if (pipe->abortGeneration != generation) {
                    status = PlatformErrAborted;
                    break;
                }
                if (!pipe->packets.empty()) {
                    Bytes packet = std::move(pipe->packets.front());
                    pipe->packets.pop_front();
                    const uint32_t length = static_cast<uint32_t>(packet.size());
                    received = std::min(length, *size);
                    if (received > 0) {
                        std::memcpy(buffer, packet.data(), received);
                    }
                    status = length > *size ? PlatformErrOverrun : PlatformOk;
                    break;
                }
                ++bus.counters.blockedReads;
                bus.readsBlocked.notify_all();
                bus.changed.wait(guard);
                --bus.counters.blockedReads;
            }
            --object->inFlight;
        }
        if (size != nullptr) {
            *size = received;
        }
    }
    if (status != PlatformOk) {
        UsbNotePipeFailure(self, "ReadPipe", pipeRef, status);
    }
    char operation[32];
    std::snprintf(operation, sizeof operation, "ReadPipe(%u)", pipeRef);
    char detail[320] = "";
    if (status == PlatformOk || status == PlatformErrOverrun) {
        UsbTraceTransferDetail(buffer, received, detail, sizeof detail);
    }
    TraceObject(object, interfaceId, operation, status, detail);
    return status;
}

PlatformReturn SimWritePipe(UsbInterfaceObject* self, uint8_t pipeRef, const void* buffer,
                            uint32_t size) {
    SimBus& bus = Bus();
    SimObject* object = AsSim(self);
    PlatformReturn status;
    uint32_t interfaceId;
    SimResponder responder = nullptr;
    void* responderContext = nullptr;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        SimInterfaceRec* rec = object->rec;
        interfaceId = rec->id;
        SimPipeState* pipe = FindPipe(rec, pipeRef);
        const bool argumentsGood = pipe != nullptr && (buffer != nullptr || size == 0) &&
                                   pipe->desc.direction == UsbDirectionOut;
        status = CheckObject(bus, object, "WritePipe", argumentsGood);
        if (status == PlatformOk) {
            // An injected failure is recorded with the write.
            int32_t injected;
            if (TakeFailure(bus, SimStepWrite, interfaceId, pipeRef, &injected)) {
                status = injected;
            }
            const auto* bytes = static_cast<const uint8_t*>(buffer);
            rec->writes.push_back(SimWriteRecord{pipeRef, status, Bytes(bytes, bytes + size)});
            if (status == PlatformOk && pipe->desc.transferType == UsbTransferBulk &&
                !rec->bulkAnswers.empty()) {
                for (SimPipeState& in : rec->pipes) {
                    if (in.desc.direction == UsbDirectionIn &&
                        in.desc.transferType == UsbTransferBulk) {
                        in.packets.push_back(std::move(rec->bulkAnswers.front()));
                        rec->bulkAnswers.pop_front();
                        bus.changed.notify_all();
                        break;
                    }
                }
            }
            if (status == PlatformOk) {
                responder = rec->responder;
                responderContext = rec->responderContext;
                ++object->inFlight;  // the write lasts until its responder is done
            }
        }
    }
    if (responder != nullptr) {
        responder(responderContext, interfaceId, pipeRef, static_cast<const uint8_t*>(buffer),
                  size);
    }
    if (status == PlatformOk) {
        std::lock_guard<std::mutex> guard(bus.lock);
        --object->inFlight;
    }
    if (status != PlatformOk) {
        UsbNotePipeFailure(self, "WritePipe", pipeRef, status);
    }
    char operation[32];
    std::snprintf(operation, sizeof operation, "WritePipe(%u)", pipeRef);
    char detail[320] = "";
    UsbTraceTransferDetail(buffer, size, detail, sizeof detail);
    TraceObject(object, interfaceId, operation, status, detail);
    return status;
}

// The common body of AbortPipe and ClearPipeStallBothEnds.
PlatformReturn SimPipeControl(UsbInterfaceObject* self, uint8_t pipeRef, bool abort) {
    SimBus& bus = Bus();
    SimObject* object = AsSim(self);
    const char* name = abort ? "AbortPipe" : "ClearPipeStallBothEnds";
    PlatformReturn status;
    uint32_t interfaceId;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        interfaceId = object->rec->id;
        SimPipeState* pipe = FindPipe(object->rec, pipeRef);
        status = CheckObject(bus, object, name, pipe != nullptr);
        if (status == PlatformOk && abort) {
            ++pipe->abortGeneration;
            bus.changed.notify_all();
        }
    }
    char operation[48];
    std::snprintf(operation, sizeof operation, "%s(%u)", name, pipeRef);
    TraceObject(object, interfaceId, operation, status);
    return status;
}

PlatformReturn SimAbortPipe(UsbInterfaceObject* self, uint8_t pipeRef) {
    return SimPipeControl(self, pipeRef, true);
}

PlatformReturn SimClearPipeStallBothEnds(UsbInterfaceObject* self, uint8_t pipeRef) {
    return SimPipeControl(self, pipeRef, false);
}

PlatformReturn SimRelease(UsbInterfaceObject* self) {
    SimBus& bus = Bus();
    SimObject* object = AsSim(self);
    PlatformReturn status = PlatformOk;
    uint32_t interfaceId;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        interfaceId = object->rec->id;
        if (object->released) {
            RecordMisuse(bus, object, "Release");
            status = PlatformErrError;
        } else {
            if (object->inFlight > 0) {
                RecordMisuse(bus, object, "Release with operations pending");
            }
            if (object->open) {
                RecordMisuse(bus, object, "Release without USBInterfaceClose");
                CloseLocked(bus, object);
            }
            object->released = true;
            --bus.counters.unreleasedObjects;
        }
    }
    TraceObject(object, interfaceId, "Release", status);
    if (status == PlatformOk) {
        UsbNoteInterfaceReleased(self);
    }
    return status;
}

const UsbInterfaceOps kSimInterfaceOps = {
    SimOpen,      SimClose,     SimGetNumEndpoints,        SimGetPipeProperties, SimReadPipe,
    SimWritePipe, SimAbortPipe, SimClearPipeStallBothEnds, SimRelease,
};

PlatformReturn SimStart() {
    return PlatformOk;
}

PlatformReturn SimCreateIterator(UsbIterator** iterator) {
    SimBus& bus = Bus();
    PlatformReturn status = PlatformOk;
    size_t count = 0;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        int32_t injected;
        if (TakeFailure(bus, SimStepWalk, 0, 0, &injected)) {
            status = injected == PlatformOk ? PlatformErrError : injected;
        } else {
            auto* walk = new SimIterator{{&gSimulatedBackend}, {}, 0};
            for (auto& rec : bus.interfaces) {
                if (rec->attached) {
                    walk->list.push_back(rec.get());
                }
            }
            // Interfaces are kept in attachment order, so a stable sort keeps
            // it among equal registry positions.
            std::stable_sort(walk->list.begin(), walk->list.end(),
                             [](const SimInterfaceRec* a, const SimInterfaceRec* b) {
                                 return a->registryOrder < b->registryOrder;
                             });
            count = walk->list.size();
            ++bus.counters.liveIterators;
            *iterator = &walk->head;
        }
    }
    UsbTrace("sim walk: %s, %zu interfaces", UsbPlatformStatusName(status), count);
    return status;
}

UsbService* SimIteratorNext(UsbIterator* iterator) {
    SimBus& bus = Bus();
    auto* walk = reinterpret_cast<SimIterator*>(iterator);
    std::lock_guard<std::mutex> guard(bus.lock);
    while (walk->next < walk->list.size()) {
        SimInterfaceRec* rec = walk->list[walk->next++];
        if (rec->attached) {
            ++bus.counters.liveServices;
            return &(new SimService{{&gSimulatedBackend}, rec})->head;
        }
    }
    return nullptr;
}

// Frees a handle of the walk and counts it out.
template <typename Record>
void ReleaseCounted(Record* record, uint32_t SimCounters::*live) {
    SimBus& bus = Bus();
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        --(bus.counters.*live);
    }
    delete record;
}

void SimReleaseIterator(UsbIterator* iterator) {
    ReleaseCounted(reinterpret_cast<SimIterator*>(iterator), &SimCounters::liveIterators);
}

void SimReleaseService(UsbService* service) {
    ReleaseCounted(reinterpret_cast<SimService*>(service), &SimCounters::liveServices);
}

// Under the bus lock: whether the creation `step` of the interface may make
// its record; when not, *status is the injected result (0: success without a
// record) or PlatformErrNoDevice.
bool MayCreate(SimBus& bus, SimStep step, const SimInterfaceRec* rec, PlatformReturn* status) {
    if (TakeFailure(bus, step, rec->id, 0, status)) {
        return false;
    }
    *status = rec->attached ? PlatformOk : PlatformErrNoDevice;
    return rec->attached;
}

PlatformReturn SimCreateProperties(UsbService* service, UsbPropertySet** properties) {
    SimBus& bus = Bus();
    SimInterfaceRec* rec = reinterpret_cast<SimService*>(service)->rec;
    PlatformReturn status;
    uint32_t interfaceId;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        interfaceId = rec->id;
        if (MayCreate(bus, SimStepProperties, rec, &status)) {
            auto* snapshot = new SimPropertySnapshot{{&gSimulatedBackend}, rec->properties};
            ++bus.counters.livePropertySets;
            *properties = &snapshot->head;
        }
    }
    UsbTrace("sim properties of if%u: %s%s", interfaceId, UsbPlatformStatusName(status),
             status == PlatformOk && *properties == nullptr ? ", none" : "");
    return status;
}

bool SimGetPropertyInt32(const UsbPropertySet* properties, const char* name, int32_t* value) {
    const auto* snapshot = reinterpret_cast<const SimPropertySnapshot*>(properties);
    for (const auto& property : snapshot->properties) {
        if (property.first == name) {
            *value = property.second;
            return true;
        }
    }
    return false;
}

void SimReleaseProperties(UsbPropertySet* properties) {
    ReleaseCounted(reinterpret_cast<SimPropertySnapshot*>(properties),
                   &SimCounters::livePropertySets);
}

PlatformReturn SimCreateInterfaceObject(UsbService* service, UsbInterfaceObject** object) {
    SimBus& bus = Bus();
    SimInterfaceRec* rec = reinterpret_cast<SimService*>(service)->rec;
    PlatformReturn status;
    uint32_t interfaceId;
    uint32_t number = 0;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        interfaceId = rec->id;
        if (MayCreate(bus, SimStepCreateObject, rec, &status)) {
            number = ++bus.counters.objectsCreated;
            bus.objects.push_back(std::unique_ptr<SimObject>(
                new SimObject{{&kSimInterfaceOps}, rec, number, false, false, 0}));
            ++bus.counters.unreleasedObjects;
            *object = &bus.objects.back()->head;
        }
    }
    UsbTrace("sim create object #%u for if%u: %s", number, interfaceId,
             UsbPlatformStatusName(status));
    return status;
}

PlatformReturn SimListDevices(UsbDeviceInfo* devices, uint32_t capacity, uint32_t* count) {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    int32_t injected;
    if (TakeFailure(bus, SimStepWalk, 0, 0, &injected)) {
        return injected == PlatformOk ? PlatformErrError : injected;
    }
    uint32_t found = 0;
    for (const SimDeviceRec& device : bus.devices) {
        if (!device.attached) {
            continue;
        }
        if (found < capacity) {
            devices[found] = device.info;
            devices[found].accessible = AccessibleNow(device);
        }
        ++found;
    }
    *count = found;
    return PlatformOk;
}

// Attach and detach report on the caller's thread: nothing to start.
PlatformReturn SimStartDeviceReports() {
    return PlatformOk;
}

void SimStopDeviceReports() {}

}  // namespace

const UsbBackend gSimulatedBackend = {
    UsbBackendSimulated,
    "sim",
    SimStart,
    SimCreateIterator,
    SimIteratorNext,
    SimReleaseIterator,
    SimReleaseService,
    SimCreateProperties,
    SimGetPropertyInt32,
    SimReleaseProperties,
    SimCreateInterfaceObject,
    SimListDevices,
    SimStartDeviceReports,
    SimStopDeviceReports,
};

void SimBusReset() {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    bus.interfaces.clear();
    bus.devices.clear();
    bus.objects.clear();
    bus.rules.clear();
    bus.misuses.clear();
    bus.nextInterfaceId = 1;
    bus.nextDeviceId = 1;
    bus.counters = SimCounters{};
}

uint32_t SimAttachDevice(const SimInterfaceDesc* interfaces, uint32_t count,
                         uint32_t* interfaceIds) {
    if (interfaces == nullptr || count == 0) {
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const SimInterfaceDesc& desc = interfaces[i];
        if ((desc.propertyCount > 0 && desc.properties == nullptr) ||
            (desc.pipeCount > 0 && desc.pipes == nullptr) || desc.pipeCount > 255) {
            return 0;
        }
        for (uint32_t p = 0; p < desc.propertyCount; ++p) {
            if (desc.properties[p].name == nullptr) {
                return 0;
            }
        }
    }
    SimBus& bus = Bus();
    uint32_t deviceId;
    UsbDeviceInfo info;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        deviceId = bus.nextDeviceId++;
        info = DescribeDevice(deviceId, interfaces[0]);
        bus.devices.push_back(SimDeviceRec{deviceId, true, true, info});
        for (uint32_t i = 0; i < count; ++i) {
            const SimInterfaceDesc& desc = interfaces[i];
            auto rec = std::make_unique<SimInterfaceRec>();
            rec->id = bus.nextInterfaceId++;
            rec->deviceId = deviceId;
            rec->registryOrder = desc.registryOrder;
            rec->heldByOther = desc.heldByOtherClient;
            for (uint32_t p = 0; p < desc.propertyCount; ++p) {
                rec->properties.emplace_back(desc.properties[p].name, desc.properties[p].value);
            }
            for (uint32_t p = 0; p < desc.pipeCount; ++p) {
                rec->pipes.push_back(SimPipeState{desc.pipes[p], {}, 0});
            }
            if (interfaceIds != nullptr) {
                interfaceIds[i] = rec->id;
            }
            bus.interfaces.push_back(std::move(rec));
        }
    }
    UsbTrace("sim attach device %u, %u interfaces", deviceId, count);
    UsbReportDeviceEvent(&gSimulatedBackend, UsbDeviceArrived, &info);
    return deviceId;
}

PlatformReturn SimDetachDevice(uint32_t deviceId) {
    SimBus& bus = Bus();
    bool found = false;
    UsbDeviceInfo info{};
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        for (SimDeviceRec& device : bus.devices) {
            if (device.id == deviceId && device.attached) {
                device.attached = false;
                info = device.info;
                info.accessible = device.accessible;
            }
        }
        for (auto& rec : bus.interfaces) {
            if (rec->deviceId == deviceId && rec->attached) {
                rec->attached = false;
                found = true;
            }
        }
        bus.changed.notify_all();
    }
    if (!found) {
        return PlatformErrNotFound;
    }
    UsbTrace("sim detach device %u", deviceId);
    UsbReportDeviceEvent(&gSimulatedBackend, UsbDeviceLeft, &info);
    return PlatformOk;
}

// Applies `change` to the interface under the bus lock and returns its
// result; PlatformErrNotFound for an unknown interface.
template <typename Change>
PlatformReturn ChangeInterface(uint32_t interfaceId, Change change) {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    SimInterfaceRec* rec = FindInterface(bus, interfaceId);
    return rec == nullptr ? PlatformErrNotFound : change(bus, rec);
}

PlatformReturn SimSetDeviceAccessible(uint32_t deviceId, bool accessible) {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    for (SimDeviceRec& device : bus.devices) {
        if (device.id == deviceId && device.attached) {
            device.accessible = accessible;
            return PlatformOk;
        }
    }
    return PlatformErrNotFound;
}

PlatformReturn SimSetDeviceNode(uint32_t deviceId, const char* path) {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    for (SimDeviceRec& device : bus.devices) {
        if (device.id == deviceId && device.attached) {
            std::snprintf(device.info.node, sizeof device.info.node, "%s",
                          path != nullptr ? path : "");
            return PlatformOk;
        }
    }
    return PlatformErrNotFound;
}

PlatformReturn SimSetHeldByOtherClient(uint32_t interfaceId, bool held) {
    return ChangeInterface(interfaceId, [&](SimBus&, SimInterfaceRec* rec) {
        rec->heldByOther = held;
        return PlatformOk;
    });
}

void SimFailStep(SimStep step, int32_t status, uint32_t interfaceId, uint8_t pipeRef,
                 uint32_t times) {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    bus.rules.push_back(SimFailRule{step, status, interfaceId, pipeRef, times});
}

void SimClearFailures() {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    bus.rules.clear();
}

PlatformReturn SimQueueInPacket(uint32_t interfaceId, uint8_t pipeRef, const void* data,
                                uint32_t length) {
    if (data == nullptr && length > 0) {
        return PlatformErrBadArgument;
    }
    return ChangeInterface(interfaceId, [&](SimBus& bus, SimInterfaceRec* rec) {
        if (!rec->attached) {
            return PlatformErrNoDevice;
        }
        SimPipeState* pipe = FindPipe(rec, pipeRef);
        if (pipe == nullptr || pipe->desc.direction != UsbDirectionIn) {
            return PlatformErrBadArgument;
        }
        const auto* bytes = static_cast<const uint8_t*>(data);
        pipe->packets.emplace_back(bytes, bytes + length);
        bus.changed.notify_all();
        return PlatformOk;
    });
}

PlatformReturn SimQueueBulkAnswer(uint32_t interfaceId, const void* data, uint32_t length) {
    if (data == nullptr && length > 0) {
        return PlatformErrBadArgument;
    }
    return ChangeInterface(interfaceId, [&](SimBus&, SimInterfaceRec* rec) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        rec->bulkAnswers.emplace_back(bytes, bytes + length);
        return PlatformOk;
    });
}

PlatformReturn SimSetResponder(uint32_t interfaceId, SimResponder responder, void* context) {
    return ChangeInterface(interfaceId, [&](SimBus&, SimInterfaceRec* rec) {
        rec->responder = responder;
        rec->responderContext = responder != nullptr ? context : nullptr;
        return PlatformOk;
    });
}

uint32_t SimWriteCount(uint32_t interfaceId) {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    SimInterfaceRec* rec = FindInterface(bus, interfaceId);
    return rec == nullptr ? 0 : static_cast<uint32_t>(rec->writes.size());
}

bool SimGetWrite(uint32_t interfaceId, uint32_t index, uint8_t* pipeRef, int32_t* status,
                 void* data, uint32_t capacity, uint32_t* length) {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    SimInterfaceRec* rec = FindInterface(bus, interfaceId);
    if (rec == nullptr || index >= rec->writes.size()) {
        return false;
    }
    const SimWriteRecord& write = rec->writes[index];
    if (pipeRef != nullptr) {
        *pipeRef = write.pipeRef;
    }
    if (status != nullptr) {
        *status = write.status;
    }
    if (length != nullptr) {
        *length = static_cast<uint32_t>(write.bytes.size());
    }
    if (data != nullptr && !write.bytes.empty()) {
        std::memcpy(data, write.bytes.data(), std::min<size_t>(capacity, write.bytes.size()));
    }
    return true;
}

SimCounters SimGetCounters() {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    SimCounters counters = bus.counters;
    counters.misuses = static_cast<uint32_t>(bus.misuses.size());
    return counters;
}

bool SimGetMisuse(uint32_t index, char* text, uint32_t capacity) {
    SimBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    if (index >= bus.misuses.size() || text == nullptr || capacity == 0) {
        return false;
    }
    std::snprintf(text, capacity, "%s", bus.misuses[index].c_str());
    return true;
}

bool SimWaitForBlockedReads(uint32_t count, uint32_t timeoutMs) {
    SimBus& bus = Bus();
    std::unique_lock<std::mutex> guard(bus.lock);
    return bus.readsBlocked.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [&] { return bus.counters.blockedReads >= count; });
}
