// SPDX-License-Identifier: MIT
// The libusb backend: real USB interfaces on Linux (and on macOS, where
// libusb sits on the operating system's own USB stack). The walk is a
// snapshot of every interface of every configured device; pipe transfers are
// asynchronous underneath so that AbortPipe can cancel them, and each runs on
// a buffer of its own, sized in whole packets of its endpoint.
#include <libusb.h>
#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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

// One transfer and the memory it works on. The data goes through `bytes`,
// never through the caller's buffer, so that a transfer given up after a
// failed cancel may still end later without touching memory its caller has
// reused; such a run is kept until the process ends.
struct LuTransferRun {
    libusb_transfer* transfer = nullptr;
    std::vector<unsigned char> bytes;
    std::atomic<bool> completed{false};  // set by TransferDone
    std::atomic<bool> givenUp{false};    // its owner is to return without it
};

// A transfer in flight, kept until its owner has seen it end, so that an
// abort or a close can cancel it and wait for that end.
struct LuPending {
    uint8_t pipeRef;
    uint64_t serial;  // order of submission
    LuTransferRun* run;
    bool givenUp;     // the cancel failed or never took effect
    bool ownerGone;   // the owner of a given-up transfer has returned
};

// Mutable parts of an object, under its lock: the open handle and the
// transfers in flight.
struct LuObjectData {
    std::mutex lock;
    std::condition_variable transferEnded;
    LuInterfaceInfo info;
    libusb_device_handle* handle = nullptr;
    bool closing = false;  // a close waits for the transfers: none may start
    bool deviceSilent = false;  // a clear-halt request timed out since the open
    uint64_t nextSerial = 0;
    std::vector<LuPending> pending;
};

// Transfers given up after a failed cancel: libusb may still own them, so
// they live as long as the process.
std::mutex gGivenUpLock;
std::vector<LuTransferRun*> gGivenUp;

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
// it. A port path with a port above 15 or more than six ports does not fit
// that layout: such a device has no location ID (false), so that it can
// never be taken for another device. Ports are never 0, so no two fitting
// paths share an ID.
bool LocationOf(libusb_device* device, int32_t* location) {
    constexpr int kNibbles = 6;
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    if (depth < 0 || depth > kNibbles) {
        return false;
    }
    uint32_t value = static_cast<uint32_t>(libusb_get_bus_number(device)) << 24;
    for (int i = 0; i < depth; ++i) {
        if (ports[i] == 0 || ports[i] > 0x0F) {
            return false;
        }
        value |= static_cast<uint32_t>(ports[i]) << (20 - 4 * i);
    }
    *location = static_cast<int32_t>(value);
    return true;
}

// The device's name as sysfs and udev give it ("1-4.2"), for the trace.
struct LuDeviceName {
    char text[sizeof UsbDeviceInfo::name];  // "255-255.255.255.255.255.255.255" at most
};

LuDeviceName NameOf(libusb_device* device) {
    LuDeviceName name{};
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    int used = std::snprintf(name.text, sizeof name.text, "%u-", libusb_get_bus_number(device));
    for (int i = 0; i < depth && used > 0 && used < static_cast<int>(sizeof name.text); ++i) {
        used += std::snprintf(name.text + used, sizeof name.text - static_cast<size_t>(used),
                              i == 0 ? "%u" : ".%u", ports[i]);
    }
    if (depth <= 0) {
        std::snprintf(name.text, sizeof name.text, "usb%u", libusb_get_bus_number(device));
    }
    return name;
}

// The bytes a bulk or interrupt endpoint moves per packet (per service
// interval for a high-bandwidth one): wMaxPacketSize's size field times its
// transactions field.
uint32_t PacketBytes(uint16_t maxPacketSize) {
    return static_cast<uint32_t>(maxPacketSize & 0x07FF) * (((maxPacketSize >> 11) & 0x03) + 1);
}

// Why the interface's alternate setting 0 cannot be driven, or null when it
// can: every bulk or interrupt endpoint needs a packet size, and no
// endpoint address may repeat.
const char* SettingFault(const libusb_interface_descriptor& setting, uint8_t* endpointAddress) {
    for (uint8_t e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        *endpointAddress = endpoint.bEndpointAddress;
        const uint8_t type = endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
        if ((type == LIBUSB_TRANSFER_TYPE_BULK || type == LIBUSB_TRANSFER_TYPE_INTERRUPT) &&
            PacketBytes(endpoint.wMaxPacketSize) == 0) {
            return "has a wMaxPacketSize of 0";
        }
        for (uint8_t other = 0; other < e; ++other) {
            if (setting.endpoint[other].bEndpointAddress == endpoint.bEndpointAddress) {
                return "appears twice";
            }
        }
    }
    return nullptr;
}

// Adds every interface of one device, as its alternate setting 0 describes
// it, to `list`. An interface whose setting 0 cannot be driven is passed
// over, and so is a device whose configuration cannot be read; the trace
// says why.
void CollectInterfaces(libusb_device* device, std::vector<LuInterfaceInfo>* list) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
        return;
    }
    libusb_config_descriptor* config = nullptr;
    const int read = libusb_get_active_config_descriptor(device, &config);
    if (read == LIBUSB_ERROR_NOT_FOUND) {
        return;  // unconfigured: it has no interfaces to offer
    }
    const LuDeviceName name = NameOf(device);
    if (read != LIBUSB_SUCCESS) {
        UsbTrace("libusb walk: %s passed over: its configuration cannot be read (%s)", name.text,
                 libusb_error_name(read));
        return;
    }
    int32_t location = 0;
    const bool hasLocation = LocationOf(device, &location);
    if (!hasLocation && descriptor.bDeviceClass != LIBUSB_CLASS_HUB) {
        UsbTrace("libusb walk: %s has no location ID: its port path does not fit one",
                 name.text);
    }
    for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        const libusb_interface_descriptor* setting = nullptr;
        for (int a = 0; a < interface.num_altsetting; ++a) {
            if (interface.altsetting[a].bAlternateSetting == 0) {
                setting = &interface.altsetting[a];
                break;
            }
        }
        if (setting == nullptr) {
            UsbTrace("libusb walk: %s interface %u passed over: it has no alternate setting 0",
                     name.text, i);
            continue;
        }
        uint8_t endpointAddress = 0;
        if (const char* fault = SettingFault(*setting, &endpointAddress)) {
            UsbTrace("libusb walk: %s if%u passed over: endpoint 0x%02x %s", name.text,
                     setting->bInterfaceNumber, endpointAddress, fault);
            continue;
        }
        LuInterfaceInfo info;
        info.device = libusb_ref_device(device);
        info.interfaceNumber = setting->bInterfaceNumber;
        info.properties = {
            {"idVendor", descriptor.idVendor},
            {"idProduct", descriptor.idProduct},
            {"bcdDevice", descriptor.bcdDevice},
            {"bInterfaceNumber", setting->bInterfaceNumber},
            {"bAlternateSetting", setting->bAlternateSetting},
            {"bInterfaceClass", setting->bInterfaceClass},
            {"bInterfaceSubClass", setting->bInterfaceSubClass},
            {"bInterfaceProtocol", setting->bInterfaceProtocol},
            {"bNumEndpoints", setting->bNumEndpoints},
        };
        if (hasLocation) {
            info.properties.emplace_back("locationID", location);
        }
        for (uint8_t e = 0; e < setting->bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting->endpoint[e];
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

// How long a cancelled transfer may take to end before it is given up.
constexpr auto kCancelWait = std::chrono::milliseconds(250);

// Under the object's lock: lets the owner of a pending transfer return
// without it, and wakes the owner from libusb's event wait.
void GiveUp(LuPending* entry) {
    entry->givenUp = true;
    entry->run->givenUp.store(true);
    {
        std::lock_guard<std::mutex> guard(gGivenUpLock);
        gGivenUp.push_back(entry->run);
    }
    libusb_interrupt_event_handler(gContext);
}

// Under the object's lock (held by `guard`): cancels the transfers pending on
// `pipeRef` (0: on every pipe) and waits until their owners have seen them
// end. A transfer whose cancel fails, or that has not ended within
// kCancelWait, is given up: its owner returns at once, and libusb keeps it
// until the handle is closed. Transfers submitted during the wait are not
// waited for.
void CancelAndWait(LuObjectData* data, std::unique_lock<std::mutex>& guard, uint8_t pipeRef) {
    const uint64_t cutoff = data->nextSerial;
    auto cancelled = [&](const LuPending& entry) {
        return (pipeRef == 0 || entry.pipeRef == pipeRef) && entry.serial < cutoff;
    };
    auto running = [&] {
        return std::any_of(data->pending.begin(), data->pending.end(), [&](const LuPending& entry) {
            return cancelled(entry) && !entry.givenUp;
        });
    };
    for (LuPending& entry : data->pending) {
        if (cancelled(entry) && !entry.givenUp) {
            // "Not found" when it has just completed: its owner still reports it.
            const int result = libusb_cancel_transfer(entry.run->transfer);
            if (result != LIBUSB_SUCCESS && result != LIBUSB_ERROR_NOT_FOUND &&
                result != LIBUSB_ERROR_NO_DEVICE) {
                UsbTrace("libusb cancel on pipe %u failed (%s): transfer given up", entry.pipeRef,
                         libusb_error_name(result));
                GiveUp(&entry);
            }
        }
    }
    if (!data->transferEnded.wait_for(guard, kCancelWait, [&] { return !running(); })) {
        for (LuPending& entry : data->pending) {
            if (cancelled(entry) && !entry.givenUp) {
                UsbTrace("libusb cancel on pipe %u did not end the transfer: given up",
                         entry.pipeRef);
                GiveUp(&entry);
            }
        }
    }
    // The owners of given-up transfers leave at once; the object must not
    // be released while they are still in it.
    data->transferEnded.wait(guard, [&] {
        return std::none_of(data->pending.begin(), data->pending.end(),
                            [&](const LuPending& entry) {
                                return cancelled(entry) && !(entry.givenUp && entry.ownerGone);
                            });
    });
}

void LIBUSB_CALL TransferDone(libusb_transfer* transfer) {
    static_cast<LuTransferRun*>(transfer->user_data)->completed.store(true);
}

// The length of the transfer that serves a request of `size` bytes: an
// interrupt read asks for one packet, so that packets are never merged; a
// bulk read asks for whole packets, so that a device's full packet never
// overflows it; a write sends what it is given.
uint32_t TransferLength(const LuPipe& pipe, bool in, uint32_t size) {
    const uint32_t packet = PacketBytes(pipe.maxPacketSize);
    if (!in || packet == 0) {
        return size;
    }
    if ((pipe.attributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
        return packet;
    }
    return (size + packet - 1) / packet * packet;
}

// Submits one transfer on the pipe and handles events until it completes,
// is cancelled, the device goes away, or the transfer is given up. An
// in-transfer hands the caller at most `size` bytes; more makes it an
// overrun. A write whose length is a whole number of packets ends with a
// zero-length packet, so that the device sees where it ends. The object is
// not touched after the transfer has left the pending list: a Release may be
// waiting for just that.
PlatformReturn RunTransfer(LuObjectData* data, uint8_t pipeRef, bool in, void* buffer,
                           uint32_t size, uint32_t* done) {
    *done = 0;
    if (size > static_cast<uint32_t>(INT32_MAX) / 2 || (buffer == nullptr && size > 0)) {
        return PlatformErrBadArgument;
    }
    auto* run = new LuTransferRun;
    run->transfer = libusb_alloc_transfer(0);
    if (run->transfer == nullptr) {
        delete run;
        return PlatformErrNoMemory;
    }
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
            const uint32_t length = TransferLength(*pipe, in, size);
            const uint32_t packet = PacketBytes(pipe->maxPacketSize);
            if (in) {
                run->bytes.assign(length, 0);
            } else {
                const auto* source = static_cast<const unsigned char*>(buffer);
                run->bytes.assign(source, source + size);
            }
            unsigned char* bytes = run->bytes.empty() ? nullptr : run->bytes.data();
            if ((pipe->attributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
                libusb_fill_interrupt_transfer(run->transfer, data->handle, pipe->address, bytes,
                                               static_cast<int>(length), TransferDone, run, 0);
            } else {
                libusb_fill_bulk_transfer(run->transfer, data->handle, pipe->address, bytes,
                                          static_cast<int>(length), TransferDone, run, 0);
                if (!in && size > 0 && packet > 0 && size % packet == 0) {
                    run->transfer->flags |= LIBUSB_TRANSFER_ADD_ZERO_PACKET;
                }
            }
            status = FromLibusb(libusb_submit_transfer(run->transfer));
        }
        if (status != PlatformOk) {
            libusb_free_transfer(run->transfer);
            delete run;
            return status;
        }
        data->pending.push_back({pipeRef, data->nextSerial++, run, false, false});
    }
    // Blocks without a cancellation point of ours; libusb's own event wait
    // is a poll, which is one, so cancellation is held off around it.
    int cancelState = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    while (!run->completed.load() && !run->givenUp.load()) {
        const int handled = libusb_handle_events_completed(gContext, nullptr);
        if (handled < 0 && handled != LIBUSB_ERROR_INTERRUPTED) {
            libusb_cancel_transfer(run->transfer);  // event handling broke: end the transfer
        }
    }
    pthread_setcancelstate(cancelState, nullptr);
    bool givenUp = false;
    {
        std::lock_guard<std::mutex> guard(data->lock);
        auto entry = std::find_if(data->pending.begin(), data->pending.end(),
                                  [&](const LuPending& pending) { return pending.run == run; });
        givenUp = entry->givenUp;
        if (givenUp) {
            entry->ownerGone = true;  // the transfer stays libusb's
        } else {
            data->pending.erase(entry);
        }
        data->transferEnded.notify_all();
    }
    if (givenUp) {
        return PlatformErrAborted;
    }
    PlatformReturn status = FromTransferStatus(run->transfer->status);
    const auto received = static_cast<uint32_t>(std::max(run->transfer->actual_length, 0));
    if (in) {
        *done = std::min(received, size);
        if (*done > 0) {
            std::memcpy(buffer, run->bytes.data(), *done);
        }
        if (status == PlatformOk && received > size) {
            status = PlatformErrOverrun;  // the room is filled, the rest is lost
        }
    } else {
        *done = received;
    }
    libusb_free_transfer(run->transfer);
    delete run;
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
                data->deviceSilent = false;
                UsbNoteInterfaceOpened(self);
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
    // Given-up transfers leave libusb's list here; their runs stay in gGivenUp.
    libusb_close(data->handle);
    data->handle = nullptr;
    data->pending.clear();
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
    if (status != PlatformOk) {
        UsbNotePipeFailure(self, "ReadPipe", pipeRef, status);
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
    if (status != PlatformOk) {
        UsbNotePipeFailure(self, "WritePipe", pipeRef, status);
    }
    // A failed write shows what went out, and of how much.
    char detail[320] = "";
    UsbTraceTransferDetail(buffer, status == PlatformOk ? size : sent, detail, sizeof detail);
    if (status != PlatformOk) {
        const size_t used = std::strlen(detail);
        std::snprintf(detail + used, sizeof detail - used, " (of %u)", size);
    }
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

// The clear-halt request's own bound: the system's default is 5 s, and a
// close clears three pipes.
constexpr unsigned int kClearHaltTimeoutMs = 250;

PlatformReturn LuClearPipeStallBothEnds(UsbInterfaceObject* self, uint8_t pipeRef) {
    LuObject* object = AsLu(self);
    PlatformReturn status;
    bool silent = false;
    {
        std::lock_guard<std::mutex> guard(object->data->lock);
        LuObjectData* data = object->data;
        const LuPipe* pipe = nullptr;
        status = FindOpenPipe(data, pipeRef, &pipe);
        if (status == PlatformOk && data->deviceSilent) {
            // It let one request time out: asking again would only wait again.
            status = PlatformErrError;
        } else if (status == PlatformOk) {
            // CLEAR_FEATURE(ENDPOINT_HALT) under a short bound; once the
            // device has answered, the system's clear-halt resets the host's
            // side (the data toggle) as well.
            const int cleared = libusb_control_transfer(
                data->handle,
                LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_STANDARD | LIBUSB_RECIPIENT_ENDPOINT,
                LIBUSB_REQUEST_CLEAR_FEATURE, 0 /* ENDPOINT_HALT */, pipe->address, nullptr, 0,
                kClearHaltTimeoutMs);
            if (cleared == LIBUSB_ERROR_TIMEOUT) {
                data->deviceSilent = true;
                status = PlatformErrError;
            } else if (cleared < 0) {
                status = FromLibusb(cleared);
            } else {
                status = FromLibusb(libusb_clear_halt(data->handle, pipe->address));
            }
        }
        silent = data->deviceSilent;
    }
    TraceObject(TraceNameOf(object), "ClearPipeStallBothEnds", pipeRef, status,
                silent ? ", the device does not answer" : "");
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
    UsbNoteInterfaceReleased(self);  // before the address can be reused
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
    std::snprintf(info->name, sizeof info->name, "%s", NameOf(device).text);
    // The walk's rule: a port path that does not fit has no location ID.
    info->hasLocation = LocationOf(device, &info->locationId);
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", info->busNumber,
                  info->deviceAddress);
    info->accessible = access(node, R_OK | W_OK) == 0;
    std::snprintf(info->node, sizeof info->node, "%s", node);
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
