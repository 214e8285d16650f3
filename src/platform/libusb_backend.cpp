// The libusb backend: real USB interfaces on Linux (and on macOS, where
// libusb sits on the operating system's own USB stack). The walk is a
// snapshot of every interface of every configured device; pipe transfers are
// asynchronous underneath so that AbortPipe can cancel them.
#include <libusb.h>
#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/usb_backend.h"

namespace {

using Properties = std::vector<std::pair<std::string, int32_t>>;

libusb_context* gContext = nullptr;
std::mutex gStartLock;

struct LuPipe {
    uint8_t address;  // endpoint address: direction bit 0x80 and number
    uint8_t attributes;
    uint16_t maxPacketSize;
    uint8_t interval;
};

// What the walk learnt of one interface; holds a reference on the device.
struct LuInterfaceInfo {
    libusb_device* device = nullptr;
    uint8_t interfaceNumber = 0;
    Properties properties;
    std::vector<LuPipe> pipes;
};

LuInterfaceInfo CopyInfo(const LuInterfaceInfo& info) {
    LuInterfaceInfo copy = info;
    libusb_ref_device(copy.device);
    return copy;
}

struct LuIterator {
    UsbIterator head;
    std::vector<LuInterfaceInfo>* list;
    size_t next;
};

struct LuService {
    UsbService head;
    LuInterfaceInfo* info;
};

struct LuPropertySet {
    UsbPropertySet head;
    Properties* properties;
};

// A transfer in flight, kept until its owner has seen it end, so that an
// abort or a close can cancel it and wait for that end.
struct LuPending {
    uint8_t pipeRef;
    uint64_t serial;  // order of submission
    libusb_transfer* transfer;
};

// Mutable parts of an object, under its lock: the open handle and the
// transfers in flight.
struct LuObjectData {
    std::mutex lock;
    std::condition_variable transferEnded;
    LuInterfaceInfo info;
    libusb_device_handle* handle = nullptr;
    bool closing = false;  // a close waits for the transfers: none may start
    uint64_t nextSerial = 0;
    std::vector<LuPending> pending;
};

struct LuObject {
    UsbInterfaceObject head;
    uint32_t number;
    LuObjectData* data;
};

PlatformReturn FromLibusb(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return PlatformOk;
        case LIBUSB_ERROR_NO_DEVICE:
            return PlatformErrNoDevice;
        case LIBUSB_ERROR_BUSY:
            return PlatformErrExclusiveAccess;
        case LIBUSB_ERROR_ACCESS:
            return PlatformErrNotPermitted;
        case LIBUSB_ERROR_NO_MEM:
            return PlatformErrNoMemory;
        case LIBUSB_ERROR_INVALID_PARAM:
            return PlatformErrBadArgument;
        case LIBUSB_ERROR_NOT_FOUND:
            return PlatformErrNotFound;
        case LIBUSB_ERROR_PIPE:
            return PlatformErrStalled;
        case LIBUSB_ERROR_OVERFLOW:
            return PlatformErrOverrun;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return PlatformErrUnsupported;
        default:
            return PlatformErrError;
    }
}

PlatformReturn FromTransferStatus(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return PlatformOk;
        case LIBUSB_TRANSFER_CANCELLED:
            return PlatformErrAborted;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return PlatformErrNoDevice;
        case LIBUSB_TRANSFER_STALL:
            return PlatformErrStalled;
        case LIBUSB_TRANSFER_OVERFLOW:
            return PlatformErrOverrun;
        default:
            return PlatformErrError;
    }
}

// The location ID as the registry of macOS forms it: the bus number in the
// top byte, then one hub port per nibble from the root down, 0 below the last
// (bus 1, port 2, hub port 3: 0x01230000). Every interface of a device shares
// it. Ports above 15 keep only their low nibble and tiers below the sixth are
// left out, as that layout has no room for them: devices so placed may share
// a location.
int32_t LocationOf(libusb_device* device) {
    uint32_t location = static_cast<uint32_t>(libusb_get_bus_number(device)) << 24;
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    for (int i = 0; i < depth && i < 6; ++i) {
        location |= static_cast<uint32_t>(ports[i] & 0x0F) << (20 - 4 * i);
    }
    return static_cast<int32_t>(location);
}

// Adds every interface (first alternate setting) of one device to `list`.
void CollectInterfaces(libusb_device* device, std::vector<LuInterfaceInfo>* list) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
        return;
    }
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) {
        return;  // unconfigured: it has no interfaces to offer
    }
    for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
        if (config->interface[i].num_altsetting < 1) {
            continue;
        }
        const libusb_interface_descriptor& setting = config->interface[i].altsetting[0];
        LuInterfaceInfo info;
        info.device = libusb_ref_device(device);
        info.interfaceNumber = setting.bInterfaceNumber;
        info.properties = {
            {"idVendor", descriptor.idVendor},
            {"idProduct", descriptor.idProduct},
            {"bcdDevice", descriptor.bcdDevice},
            {"bInterfaceNumber", setting.bInterfaceNumber},
            {"bAlternateSetting", setting.bAlternateSetting},
            {"bInterfaceClass", setting.bInterfaceClass},
            {"bInterfaceSubClass", setting.bInterfaceSubClass},
            {"bInterfaceProtocol", setting.bInterfaceProtocol},
            {"bNumEndpoints", setting.bNumEndpoints},
            {"locationID", LocationOf(device)},
        };
        for (uint8_t e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            info.pipes.push_back({endpoint.bEndpointAddress, endpoint.bmAttributes,
                                  endpoint.wMaxPacketSize, endpoint.bInterval});
        }
        list->push_back(std::move(info));
    }
    libusb_free_config_descriptor(config);
}

LuObject* AsLu(UsbInterfaceObject* object) {
    return reinterpret_cast<LuObject*>(object);
}

// What the trace names an object by, copied where the object may be released
// by another thread before the line is written.
struct LuTraceName {
    uint32_t number;
    uint8_t interfaceNumber;
};

LuTraceName TraceNameOf(const LuObject* object) {
    return {object->number, object->data->info.interfaceNumber};
}

void TraceObject(LuTraceName name, const char* operation, uint8_t pipeRef, PlatformReturn status,
                 const char* detail = "") {
    char call[48];
    if (pipeRef != 0) {
        std::snprintf(call, sizeof call, "%s(%u)", operation, pipeRef);
    } else {
        std::snprintf(call, sizeof call, "%s", operation);
    }
    UsbTrace("libusb #%u/if%u %s: %s (0x%08x)%s", name.number, name.interfaceNumber, call,
             UsbPlatformStatusName(status), static_cast<uint32_t>(status), detail);
}

// Under the object's lock: the pipe `pipeRef` of the open object, or the
// status that refuses the operation.
PlatformReturn FindOpenPipe(const LuObjectData* data, uint8_t pipeRef, const LuPipe** pipe) {
    if (data->handle == nullptr) {
        return PlatformErrNotOpen;
    }
    if (pipeRef == 0 || pipeRef > data->info.pipes.size()) {
        return PlatformErrBadArgument;
    }
    *pipe = &data->info.pipes[pipeRef - 1];
    return PlatformOk;
}

// Under the object's lock (held by `guard`): cancels the transfers pending on
// `pipeRef` (0: on every pipe) and waits until their owners have seen them
// end. The owners handle the events that end them; transfers submitted during
// the wait are not waited for.
void CancelAndWait(LuObjectData* data, std::unique_lock<std::mutex>& guard, uint8_t pipeRef) {
    const uint64_t cutoff = data->nextSerial;
    auto cancelled = [&](const LuPending& entry) {
        return (pipeRef == 0 || entry.pipeRef == pipeRef) && entry.serial < cutoff;
    };
    for (const LuPending& entry : data->pending) {
        if (cancelled(entry)) {
            // "Not found" when it has just completed: its owner still reports it.
            libusb_cancel_transfer(entry.transfer);
        }
    }
    data->transferEnded.wait(
        guard, [&] { return std::none_of(data->pending.begin(), data->pending.end(), cancelled); });
}

void LIBUSB_CALL TransferDone(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

// Submits one transfer on the pipe and handles events until it completes,
// is cancelled, or the device goes away. The object is not touched after the
// transfer has left the pending list: a Release may be waiting for just that.
PlatformReturn RunTransfer(LuObjectData* data, uint8_t pipeRef, bool in, void* buffer,
                           uint32_t size, uint32_t* done) {
    *done = 0;
    if (size > static_cast<uint32_t>(INT32_MAX) || (buffer == nullptr && size > 0)) {
        return PlatformErrBadArgument;
    }
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
        return PlatformErrNoMemory;
    }
    int completed = 0;
    {
        std::lock_guard<std::mutex> guard(data->lock);
        const LuPipe* pipe = nullptr;
        PlatformReturn status = FindOpenPipe(data, pipeRef, &pipe);
        if (status == PlatformOk && ((pipe->address & LIBUSB_ENDPOINT_IN) != 0) != in) {
            status = PlatformErrBadArgument;
        } else if (status == PlatformOk && data->closing) {
            status = PlatformErrAborted;
        }
        if (status == PlatformOk) {
            auto* bytes = static_cast<unsigned char*>(buffer);
            const int length = static_cast<int>(size);
            if ((pipe->attributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
                libusb_fill_interrupt_transfer(transfer, data->handle, pipe->address, bytes, length,
                                               TransferDone, &completed, 0);
            } else {
                libusb_fill_bulk_transfer(transfer, data->handle, pipe->address, bytes, length,
                                          TransferDone, &completed, 0);
            }
            status = FromLibusb(libusb_submit_transfer(transfer));
        }
        if (status != PlatformOk) {
            libusb_free_transfer(transfer);
            return status;
        }
        data->pending.push_back({pipeRef, data->nextSerial++, transfer});
    }
    // Blocks without a cancellation point of ours; libusb's own event wait
    // is a poll, which is one, so cancellation is held off around it.
    int cancelState = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    while (completed == 0) {
        const int handled = libusb_handle_events_completed(gContext, &completed);
        if (handled < 0 && handled != LIBUSB_ERROR_INTERRUPTED) {
            libusb_cancel_transfer(transfer);  // event handling broke: end the transfer
        }
    }
    pthread_setcancelstate(cancelState, nullptr);
    {
        std::lock_guard<std::mutex> guard(data->lock);
        data->pending.erase(
            std::find_if(data->pending.begin(), data->pending.end(),
                         [&](const LuPending& entry) { return entry.transfer == transfer; }));
        data->transferEnded.notify_all();
    }
    const PlatformReturn status = FromTransferStatus(transfer->status);
    *done = static_cast<uint32_t>(transfer->actual_length);
    libusb_free_transfer(transfer);
    return status;
}

PlatformReturn LuOpen(UsbInterfaceObject* self) {
    LuObject* object = AsLu(self);
    LuObjectData* data = object->data;
    PlatformReturn status = PlatformOk;
    {
        std::lock_guard<std::mutex> guard(data->lock);
        libusb_device_handle* handle = nullptr;
        if (data->handle != nullptr) {
            status = PlatformErrExclusiveAccess;
        } else if ((status = FromLibusb(libusb_open(data->info.device, &handle))) == PlatformOk) {
            // A kernel driver bound to the interface is set aside while we
            // hold it and bound again on release, where the system allows.
            libusb_set_auto_detach_kernel_driver(handle, 1);
            status = FromLibusb(libusb_claim_interface(handle, data->info.interfaceNumber));
            if (status == PlatformOk) {
                data->handle = handle;
            } else {
                libusb_close(handle);
            }
        }
    }
    TraceObject(TraceNameOf(object), "USBInterfaceOpen", 0, status);
    return status;
}

// Under the object's lock, with the object open. Transfers still pending are
// aborted first: libusb forgets the transfers of a closed handle, and their
// owners would wait for them for ever.
void CloseHandle(LuObjectData* data, std::unique_lock<std::mutex>& guard) {
    data->closing = true;
    CancelAndWait(data, guard, 0);
    data->closing = false;
    libusb_release_interface(data->handle, data->info.interfaceNumber);
    libusb_close(data->handle);
    data->handle = nullptr;
}

PlatformReturn LuClose(UsbInterfaceObject* self) {
    LuObject* object = AsLu(self);
    PlatformReturn status = PlatformOk;
    {
        std::unique_lock<std::mutex> guard(object->data->lock);
        if (object->data->handle == nullptr || object->data->closing) {
            status = PlatformErrNotOpen;
        } else {
            CloseHandle(object->data, guard);
        }
    }
    TraceObject(TraceNameOf(object), "USBInterfaceClose", 0, status);
    return status;
}

PlatformReturn LuGetNumEndpoints(UsbInterfaceObject* self, uint8_t* count) {
    LuObject* object = AsLu(self);
    PlatformReturn status = PlatformOk;
    {
        std::lock_guard<std::mutex> guard(object->data->lock);
        if (object->data->handle == nullptr) {
            status = PlatformErrNotOpen;
        } else if (count == nullptr) {
            status = PlatformErrBadArgument;
        } else {
            *count = static_cast<uint8_t>(object->data->info.pipes.size());
        }
    }
    TraceObject(TraceNameOf(object), "GetNumEndpoints", 0, status);
    return status;
}

PlatformReturn LuGetPipeProperties(UsbInterfaceObject* self, uint8_t pipeRef, uint8_t* direction,
                                   uint8_t* number, uint8_t* transferType, uint16_t* maxPacketSize,
                                   uint8_t* interval) {
    LuObject* object = AsLu(self);
    PlatformReturn status;
    {
        std::lock_guard<std::mutex> guard(object->data->lock);
        const LuPipe* pipe = nullptr;
        status = FindOpenPipe(object->data, pipeRef, &pipe);
        if (status == PlatformOk &&
            (direction == nullptr || number == nullptr || transferType == nullptr ||
             maxPacketSize == nullptr || interval == nullptr)) {
            status = PlatformErrBadArgument;
        } else if (status == PlatformOk) {
            *direction =
                (pipe->address & LIBUSB_ENDPOINT_IN) != 0 ? UsbDirectionIn : UsbDirectionOut;
            *number = pipe->address & LIBUSB_ENDPOINT_ADDRESS_MASK;
            *transferType = pipe->attributes & LIBUSB_TRANSFER_TYPE_MASK;
            *maxPacketSize = pipe->maxPacketSize;
            *interval = pipe->interval;
        }
    }
    TraceObject(TraceNameOf(object), "GetPipeProperties", pipeRef, status);
    return status;
}

PlatformReturn LuReadPipe(UsbInterfaceObject* self, uint8_t pipeRef, void* buffer, uint32_t* size) {
    LuObject* object = AsLu(self);
    const LuTraceName name = TraceNameOf(object);
    PlatformReturn status = PlatformErrBadArgument;
    uint32_t received = 0;
    if (size != nullptr && buffer != nullptr) {
        status = RunTransfer(object->data, pipeRef, true, buffer, *size, &received);
        *size = received;
    }
    char detail[320] = "";
    UsbTraceTransferDetail(buffer, received, detail, sizeof detail);
    TraceObject(name, "ReadPipe", pipeRef, status, detail);
    return status;
}

PlatformReturn LuWritePipe(UsbInterfaceObject* self, uint8_t pipeRef, const void* buffer,
                           uint32_t size) {
    LuObject* object = AsLu(self);
    const LuTraceName name = TraceNameOf(object);
    uint32_t sent = 0;
    // libusb takes a mutable buffer for both directions; an out-transfer
    // only reads it.
    PlatformReturn status =
        RunTransfer(object->data, pipeRef, false, const_cast<void*>(buffer), size, &sent);
    if (status == PlatformOk && sent != size) {
        status = PlatformErrError;  // a short write is a failed write
    }
    char detail[320] = "";
    UsbTraceTransferDetail(buffer, size, detail, sizeof detail);
    TraceObject(name, "WritePipe", pipeRef, status, detail);
    return status;
}

// Returns once every transfer that was pending on the pipe has ended, so
// that what follows (a stall clear, a close) meets no transfer of it.
PlatformReturn LuAbortPipe(UsbInterfaceObject* self, uint8_t pipeRef) {
    LuObject* object = AsLu(self);
    PlatformReturn status;
    {
        std::unique_lock<std::mutex> guard(object->data->lock);
        const LuPipe* pipe = nullptr;
        status = FindOpenPipe(object->data, pipeRef, &pipe);
        if (status == PlatformOk) {
            CancelAndWait(object->data, guard, pipeRef);
        }
    }
    TraceObject(TraceNameOf(object), "AbortPipe", pipeRef, status);
    return status;
}

PlatformReturn LuClearPipeStallBothEnds(UsbInterfaceObject* self, uint8_t pipeRef) {
    LuObject* object = AsLu(self);
    PlatformReturn status;
    {
        std::lock_guard<std::mutex> guard(object->data->lock);
        const LuPipe* pipe = nullptr;
        status = FindOpenPipe(object->data, pipeRef, &pipe);
        if (status == PlatformOk) {
            // Clears the halt on the device and resets the host's data toggle.
            status = FromLibusb(libusb_clear_halt(object->data->handle, pipe->address));
        }
    }
    TraceObject(TraceNameOf(object), "ClearPipeStallBothEnds", pipeRef, status);
    return status;
}

PlatformReturn LuRelease(UsbInterfaceObject* self) {
    LuObject* object = AsLu(self);
    TraceObject(TraceNameOf(object), "Release", 0, PlatformOk);
    {
        std::unique_lock<std::mutex> guard(object->data->lock);
        if (object->data->handle != nullptr && !object->data->closing) {
            CloseHandle(object->data, guard);
        }
    }
    libusb_unref_device(object->data->info.device);
    delete object->data;
    delete object;
    return PlatformOk;
}

const UsbInterfaceOps kLibusbInterfaceOps = {
    LuOpen,      LuClose,     LuGetNumEndpoints,        LuGetPipeProperties, LuReadPipe,
    LuWritePipe, LuAbortPipe, LuClearPipeStallBothEnds, LuRelease,
};

PlatformReturn LuStart() {
    std::lock_guard<std::mutex> guard(gStartLock);
    if (gContext != nullptr) {
        return PlatformOk;
    }
    // The context lives as long as the process: objects may outlive any
    // point at which it could be given back.
    return libusb_init(&gContext) == LIBUSB_SUCCESS ? PlatformOk : PlatformErrUnsupported;
}

PlatformReturn LuCreateIterator(UsbIterator** iterator) {
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(gContext, &devices);
    if (count < 0) {
        const PlatformReturn status = FromLibusb(static_cast<int>(count));
        UsbTrace("libusb walk: %s", UsbPlatformStatusName(status));
        return status;
    }
    auto* list = new std::vector<LuInterfaceInfo>;
    for (ssize_t i = 0; i < count; ++i) {
        CollectInterfaces(devices[i], list);
    }
    libusb_free_device_list(devices, 1);
    UsbTrace("libusb walk: ok, %zu interfaces", list->size());
    *iterator = &(new LuIterator{{&gLibusbBackend}, list, 0})->head;
    return PlatformOk;
}

UsbService* LuIteratorNext(UsbIterator* iterator) {
    auto* walk = reinterpret_cast<LuIterator*>(iterator);
    if (walk->next >= walk->list->size()) {
        return nullptr;
    }
    auto* info = new LuInterfaceInfo(CopyInfo((*walk->list)[walk->next++]));
    return &(new LuService{{&gLibusbBackend}, info})->head;
}

void LuReleaseIterator(UsbIterator* iterator) {
    auto* walk = reinterpret_cast<LuIterator*>(iterator);
    for (LuInterfaceInfo& info : *walk->list) {
        libusb_unref_device(info.device);
    }
    delete walk->list;
    delete walk;
}

void LuReleaseService(UsbService* service) {
    auto* entry = reinterpret_cast<LuService*>(service);
    libusb_unref_device(entry->info->device);
    delete entry->info;
    delete entry;
}

PlatformReturn LuCreateProperties(UsbService* service, UsbPropertySet** properties) {
    const LuInterfaceInfo* info = reinterpret_cast<LuService*>(service)->info;
    *properties = &(new LuPropertySet{{&gLibusbBackend}, new Properties(info->properties)})->head;
    return PlatformOk;
}

bool LuGetPropertyInt32(const UsbPropertySet* properties, const char* name, int32_t* value) {
    for (const auto& property : *reinterpret_cast<const LuPropertySet*>(properties)->properties) {
        if (property.first == name) {
            *value = property.second;
            return true;
        }
    }
    return false;
}

void LuReleaseProperties(UsbPropertySet* properties) {
    auto* set = reinterpret_cast<LuPropertySet*>(properties);
    delete set->properties;
    delete set;
}

PlatformReturn LuCreateInterfaceObject(UsbService* service, UsbInterfaceObject** object) {
    static std::atomic<uint32_t> objectsMade{0};
    auto* data = new LuObjectData;
    data->info = CopyInfo(*reinterpret_cast<LuService*>(service)->info);
    auto* made = new LuObject{{&kLibusbInterfaceOps}, ++objectsMade, data};
    *object = &made->head;
    UsbTrace("libusb create object #%u for if%u: ok", made->number, data->info.interfaceNumber);
    return PlatformOk;
}


// Device listing and arrival/departure reports. The reports come from
// libusb's hotplug callbacks, run by a thread of ours that handles libusb's
// events while any watch exists.

// Fills `info` from the device: its IDs, its sysfs name ("1-4.2": the bus,
// then the port path), its location ID when the port path fits that layout,
// and whether this process may open its node.
void DescribeDevice(libusb_device* device, UsbDeviceInfo* info) {
    *info = UsbDeviceInfo{};
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS) {
        info->vendorId = descriptor.idVendor;
        info->productId = descriptor.idProduct;
    }
    info->busNumber = libusb_get_bus_number(device);
    info->deviceAddress = libusb_get_device_address(device);
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    int used = std::snprintf(info->name, sizeof info->name, "%u", info->busNumber);
    bool fits = depth > 0 && depth <= 6;
    for (int i = 0; i < depth; ++i) {
        used += std::snprintf(info->name + used, sizeof info->name - static_cast<size_t>(used),
                              "%c%u", i == 0 ? '-' : '.', ports[i]);
        fits = fits && ports[i] <= 15;
    }
    if (depth <= 0) {
        std::snprintf(info->name, sizeof info->name, "usb%u", info->busNumber);  // a root hub
    }
    info->hasLocation = fits;
    info->locationId = fits ? LocationOf(device) : 0;
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", info->busNumber,
                  info->deviceAddress);
    info->accessible = access(node, R_OK | W_OK) == 0;
}

PlatformReturn LuListDevices(UsbDeviceInfo* devices, uint32_t capacity, uint32_t* count) {
    libusb_device** list = nullptr;
    const ssize_t found = libusb_get_device_list(gContext, &list);
    if (found < 0) {
        return FromLibusb(static_cast<int>(found));
    }
    for (ssize_t i = 0; i < found; ++i) {
        if (static_cast<uint32_t>(i) < capacity) {
            DescribeDevice(list[i], &devices[i]);
        }
    }
    *count = static_cast<uint32_t>(found);
    libusb_free_device_list(list, 1);
    return PlatformOk;
}

struct LuReports {
    libusb_hotplug_callback_handle callback = 0;
    std::thread thread;
    std::atomic<bool> running{false};
};

LuReports gReports;

int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                          void*) {
    UsbDeviceInfo info;
    DescribeDevice(device, &info);
    UsbReportDeviceEvent(&gLibusbBackend,
                         event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? UsbDeviceArrived
                                                                      : UsbDeviceLeft,
                         &info);
    return 0;  // stay registered
}

// Sleeps in libusb's poll until an event comes or the reports stop (a day
// rather than libusb_handle_events' minute, so an idle host never wakes).
void HandleReportEvents() {
    while (gReports.running.load(std::memory_order_acquire)) {
        struct timeval day = {24 * 3600, 0};
        libusb_handle_events_timeout_completed(gContext, &day, nullptr);
    }
}

PlatformReturn LuStartDeviceReports() {
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) {
        return PlatformErrUnsupported;
    }
    const int registered = libusb_hotplug_register_callback(
        gContext,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug, nullptr, &gReports.callback);
    if (registered != LIBUSB_SUCCESS) {
        return FromLibusb(registered);
    }
    gReports.running.store(true, std::memory_order_release);
    gReports.thread = std::thread(HandleReportEvents);
    return PlatformOk;
}

void LuStopDeviceReports() {
    gReports.running.store(false, std::memory_order_release);
    libusb_hotplug_deregister_callback(gContext, gReports.callback);
    libusb_interrupt_event_handler(gContext);  // the thread sees `running` at once
    if (gReports.thread.joinable()) {
        gReports.thread.join();
    }
}

}  // namespace

const UsbBackend gLibusbBackend = {
    UsbBackendLibusb,
    "libusb",
    LuStart,
    LuCreateIterator,
    LuIteratorNext,
    LuReleaseIterator,
    LuReleaseService,
    LuCreateProperties,
    LuGetPropertyInt32,
    LuReleaseProperties,
    LuCreateInterfaceObject,
    LuListDevices,
    LuStartDeviceReports,
    LuStopDeviceReports,
};
