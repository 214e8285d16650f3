// SPDX-License-Identifier: MIT
// Dispatch of the platform layer's USB functions to the selected backend,
// the backend selection itself, and the trace hook.
#include "platform/usb_platform.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/usb_backend.h"

namespace {

std::atomic<const UsbBackend*> gSelectedBackend{nullptr};

// The hook is called while this lock is held, so that a hook being replaced
// is never called afterwards and lines never interleave.
std::mutex gTraceLock;
UsbTraceHook gTraceHook = nullptr;
void* gTraceContext = nullptr;
std::atomic<bool> gTraceOn{false};

const UsbBackend* BackendOfKind(UsbBackendKind kind) {
    switch (kind) {
        case UsbBackendSimulated:
            return &gSimulatedBackend;
        case UsbBackendLibusb:
#ifdef ZN_HAVE_LIBUSB
            return &gLibusbBackend;
#else
            return nullptr;
#endif
    }
    return nullptr;
}

// The backend of the next walk: the selected one, else the environment's
// choice, else the simulated bus. A libusb choice that cannot start falls
// back to the simulated bus rather than leaving the layer without a backend.
const UsbBackend* ActiveBackend() {
    const UsbBackend* backend = gSelectedBackend.load(std::memory_order_acquire);
    if (backend != nullptr) {
        return backend;
    }
    const char* choice = std::getenv("ZN_USB_BACKEND");
    if (choice != nullptr && std::strcmp(choice, "libusb") == 0 &&
        UsbPlatformSelectBackend(UsbBackendLibusb) == PlatformOk) {
        return gSelectedBackend.load(std::memory_order_acquire);
    }
    UsbPlatformSelectBackend(UsbBackendSimulated);
    return gSelectedBackend.load(std::memory_order_acquire);
}

}  // namespace

struct UsbDeviceWatch {
    const UsbBackend* backend;
    UsbDeviceHook hook;
    void* context;
};

namespace {

// Watches of every backend. The hooks run with gWatchLock held, so that an
// ended watch is never called again; gReportsLock orders the backends'
// start and stop of their reports and is never taken by a report.
std::mutex gWatchLock;
std::vector<UsbDeviceWatch*> gWatches;
std::mutex gReportsLock;

// Under gWatchLock: whether any watch of `backend` remains.
bool BackendWatched(const UsbBackend* backend) {
    for (const UsbDeviceWatch* watch : gWatches) {
        if (watch->backend == backend) {
            return true;
        }
    }
    return false;
}

}  // namespace

const char* UsbPlatformStatusName(PlatformReturn status) {
    switch (status) {
        case PlatformOk:
            return "ok";
        case PlatformErrError:
            return "error";
        case PlatformErrNoMemory:
            return "no memory";
        case PlatformErrNoDevice:
            return "no device";
        case PlatformErrNotPermitted:
            return "not permitted";
        case PlatformErrBadArgument:
            return "bad argument";
        case PlatformErrExclusiveAccess:
            return "exclusive access";
        case PlatformErrUnsupported:
            return "unsupported";
        case PlatformErrNotOpen:
            return "not open";
        case PlatformErrNotFound:
            return "not found";
        case PlatformErrOverrun:
            return "overrun";
        case PlatformErrAborted:
            return "aborted";
        case PlatformErrStalled:
            return "stalled";
        default:
            return "failed";
    }
}

PlatformReturn UsbPlatformSelectBackend(UsbBackendKind kind) {
    const UsbBackend* backend = BackendOfKind(kind);
    if (backend == nullptr) {
        return PlatformErrUnsupported;
    }
    const PlatformReturn started = backend->Start();
    if (started != PlatformOk) {
        return started;
    }
    gSelectedBackend.store(backend, std::memory_order_release);
    return PlatformOk;
}

UsbBackendKind UsbPlatformCurrentBackend() {
    return ActiveBackend()->kind;
}

void UsbPlatformSetTraceHook(UsbTraceHook hook, void* context) {
    std::lock_guard<std::mutex> guard(gTraceLock);
    gTraceHook = hook;
    gTraceContext = context;
    gTraceOn.store(hook != nullptr, std::memory_order_release);
}

bool UsbTraceEnabled() {
    return gTraceOn.load(std::memory_order_acquire);
}

void UsbTrace(const char* format, ...) {
    if (!UsbTraceEnabled()) {
        return;
    }
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    std::lock_guard<std::mutex> guard(gTraceLock);
    if (gTraceHook != nullptr) {
        gTraceHook(gTraceContext, line);
    }
}

void UsbTraceTransferDetail(const void* bytes, uint32_t length, char* text, uint32_t capacity) {
    if (text == nullptr || capacity == 0) {
        return;
    }
    text[0] = '\0';
    if (!UsbTraceEnabled()) {
        return;  // the line is not written
    }
    const auto* data = static_cast<const unsigned char*>(bytes);
    size_t used = 0;
    auto append = [&](const char* format, auto... values) {
        if (used < capacity) {
            const int written = std::snprintf(text + used, capacity - used, format, values...);
            if (written > 0) {
                used += static_cast<size_t>(written);
            }
        }
    };
    append(", %u bytes:", length);
    bool printable = length > 0 && data != nullptr;
    for (uint32_t i = 0; printable && i < length; ++i) {
        const unsigned char c = data[i];
        printable = (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t';
    }
    if (printable) {
        constexpr uint32_t kShownText = 72;
        append("%s", " \"");
        for (uint32_t i = 0; i < length && i < kShownText; ++i) {
            const unsigned char c = data[i];
            append("%c", c < 0x20 ? ' ' : static_cast<char>(c));  // line breaks as spaces
        }
        append("%s", length > kShownText ? "\"..." : "\"");
        return;
    }
    constexpr uint32_t kShownBytes = 16;
    for (uint32_t i = 0; data != nullptr && i < length && i < kShownBytes; ++i) {
        append(" %02x", data[i]);
    }
    if (length > kShownBytes) {
        append("%s", " ...");
    }
}

PlatformReturn UsbCreateInterfaceIterator(UsbIterator** iterator) {
    if (iterator == nullptr) {
        return PlatformErrBadArgument;
    }
    *iterator = nullptr;
    return ActiveBackend()->CreateIterator(iterator);
}

UsbService* UsbIteratorNext(UsbIterator* iterator) {
    if (iterator == nullptr) {
        return nullptr;
    }
    return iterator->backend->IteratorNext(iterator);
}

void UsbReleaseIterator(UsbIterator* iterator) {
    if (iterator != nullptr) {
        iterator->backend->ReleaseIterator(iterator);
    }
}

void UsbReleaseService(UsbService* service) {
    if (service != nullptr) {
        service->backend->ReleaseService(service);
    }
}

PlatformReturn UsbCreateProperties(UsbService* service, UsbPropertySet** properties) {
    if (properties == nullptr) {
        return PlatformErrBadArgument;
    }
    *properties = nullptr;
    if (service == nullptr) {
        return PlatformErrBadArgument;
    }
    return service->backend->CreateProperties(service, properties);
}

bool UsbGetPropertyInt32(const UsbPropertySet* properties, const char* name, int32_t* value) {
    if (properties == nullptr || name == nullptr || value == nullptr) {
        return false;
    }
    return properties->backend->GetPropertyInt32(properties, name, value);
}

void UsbReleaseProperties(UsbPropertySet* properties) {
    if (properties != nullptr) {
        properties->backend->ReleaseProperties(properties);
    }
}

PlatformReturn UsbCreateInterfaceObject(UsbService* service, UsbInterfaceObject** object) {
    if (object == nullptr) {
        return PlatformErrBadArgument;
    }
    *object = nullptr;
    if (service == nullptr) {
        return PlatformErrBadArgument;
    }
    return service->backend->CreateInterfaceObject(service, object);
}

PlatformReturn UsbListDevices(UsbDeviceInfo* devices, uint32_t capacity, uint32_t* count) {
    if (count == nullptr || (devices == nullptr && capacity > 0)) {
        return PlatformErrBadArgument;
    }
    *count = 0;
    return ActiveBackend()->ListDevices(devices, capacity, count);
}

PlatformReturn UsbWatchDevices(UsbDeviceHook hook, void* context, UsbDeviceWatch** watch) {
    if (watch == nullptr) {
        return PlatformErrBadArgument;
    }
    *watch = nullptr;
    if (hook == nullptr) {
        return PlatformErrBadArgument;
    }
    const UsbBackend* backend = ActiveBackend();
    std::lock_guard<std::mutex> order(gReportsLock);
    bool watched;
    {
        std::lock_guard<std::mutex> guard(gWatchLock);
        watched = BackendWatched(backend);
    }
    if (!watched) {
        const PlatformReturn started = backend->StartDeviceReports();
        if (started != PlatformOk) {
            return started;
        }
    }
    auto* made = new UsbDeviceWatch{backend, hook, context};
    std::lock_guard<std::mutex> guard(gWatchLock);
    gWatches.push_back(made);
    *watch = made;
    return PlatformOk;
}

void UsbUnwatchDevices(UsbDeviceWatch* watch) {
    if (watch == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> order(gReportsLock);
    bool stillWatched;
    {
        std::lock_guard<std::mutex> guard(gWatchLock);
        for (size_t i = 0; i < gWatches.size(); ++i) {
            if (gWatches[i] == watch) {
                gWatches.erase(gWatches.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        stillWatched = BackendWatched(watch->backend);
    }
    if (!stillWatched) {
        watch->backend->StopDeviceReports();
    }
    delete watch;
}

void UsbReportDeviceEvent(const UsbBackend* backend, UsbDeviceEvent event,
                          const UsbDeviceInfo* device) {
    UsbTrace("%s device %s: %s (%04x:%04x, bus %u address %u)", backend->name,
             event == UsbDeviceArrived ? "arrived" : "left", device->name, device->vendorId,
             device->productId, device->busNumber, device->deviceAddress);
    std::lock_guard<std::mutex> guard(gWatchLock);
    for (const UsbDeviceWatch* watch : gWatches) {
        if (watch->backend == backend) {
            watch->hook(watch->context, event, device);
        }
    }
}

namespace {

// Open interface objects and the last failure of each. Few objects are ever
// open at once, and failures are rare: a short list under a lock will do.
struct OpenInterface {
    const UsbInterfaceObject* object;
    UsbInterfaceEnd end;
};
std::mutex gOpenLock;
std::vector<OpenInterface> gOpenInterfaces;

// Called with gEndHookLock held, so that a hook being replaced is never
// called afterwards.
std::mutex gEndHookLock;
UsbInterfaceEndHook gEndHook = nullptr;
void* gEndHookContext = nullptr;

}  // namespace

void UsbPlatformSetInterfaceEndHook(UsbInterfaceEndHook hook, void* context) {
    std::lock_guard<std::mutex> guard(gEndHookLock);
    gEndHook = hook;
    gEndHookContext = context;
}

void UsbNoteInterfaceOpened(const UsbInterfaceObject* object) {
    std::lock_guard<std::mutex> guard(gOpenLock);
    for (OpenInterface& open : gOpenInterfaces) {
        if (open.object == object) {
            open.end = UsbInterfaceEnd{};
            return;
        }
    }
    gOpenInterfaces.push_back(OpenInterface{object, UsbInterfaceEnd{}});
}

void UsbNotePipeFailure(const UsbInterfaceObject* object, const char* operation, uint8_t pipeRef,
                        PlatformReturn status) {
    std::lock_guard<std::mutex> guard(gOpenLock);
    for (OpenInterface& open : gOpenInterfaces) {
        if (open.object == object) {
            std::snprintf(open.end.operation, sizeof open.end.operation, "%s", operation);
            open.end.pipeRef = pipeRef;
            open.end.status = status;
            return;
        }
    }
}

void UsbNoteInterfaceReleased(const UsbInterfaceObject* object) {
    UsbInterfaceEnd end{};
    bool wasOpen = false;
    {
        std::lock_guard<std::mutex> guard(gOpenLock);
        for (size_t i = 0; i < gOpenInterfaces.size(); ++i) {
            if (gOpenInterfaces[i].object == object) {
                end = gOpenInterfaces[i].end;
                gOpenInterfaces.erase(gOpenInterfaces.begin() + static_cast<std::ptrdiff_t>(i));
                wasOpen = true;
                break;
            }
        }
    }
    if (!wasOpen) {
        return;
    }
    std::lock_guard<std::mutex> guard(gEndHookLock);
    if (gEndHook != nullptr) {
        gEndHook(gEndHookContext, &end);
    }
}
