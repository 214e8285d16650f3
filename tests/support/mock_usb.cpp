// SPDX-License-Identifier: MIT
// The mocked USB kernel: the testbed's sysfs tree, the usbfs requests that
// libusb makes on a device node, and the devices' endpoints.
#include "mock_usb.h"

#include <errno.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace {

constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                   USBDEVFS_CAP_BULK_SCATTER_GATHER;
// How long a reap with nothing to hand back waits for an URB to end: the node
// always polls as ready, so this paces the event loop of libusb.
constexpr auto kReapWait = std::chrono::microseconds(500);

// An URB in the mock's hands, from submission until it is reaped.
struct MockUrb {
    UMockdevIoctlData* urb = nullptr;     // the client's struct usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;  // its buffer
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int32_t length = 0;
    int32_t actual = 0;
};

struct EndpointQueue {
    uint16_t maxPacketSize = 0;
    std::deque<std::vector<uint8_t>> packets;  // what the device will send, packet by packet
    std::deque<MockUrb> pending;               // URBs waiting for the device
};

}  // namespace

struct MockDevice {
    std::string sysPath;  // /sys/devices/usb1/1-2
    std::string name;     // 1-2
    std::string node;     // /dev/bus/usb/001/002
    std::string driverName;
    MockFaults faults;
    bool unplugged = false;
    std::map<uint8_t, EndpointQueue> endpoints;  // by address; 0 is the control endpoint
    std::deque<MockUrb> done;                    // ended, to be reaped
    MockReport report;
    Zn417Model* zn417 = nullptr;
};

struct MockBus {
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::set<std::string> paths;     // sysfs paths added so far
    std::map<uint8_t, uint8_t> lastAddress;  // per bus
    std::vector<std::unique_ptr<MockDevice>> devices;
};

namespace {

// One lock for every device: the ioctl handler runs on umockdev's thread,
// the tests' calls on theirs.
std::mutex gMockLock;
std::condition_variable gMockChanged;

void Put16(std::vector<uint8_t>* bytes, uint16_t value) {
    bytes->push_back(static_cast<uint8_t>(value & 0xFF));
    bytes->push_back(static_cast<uint8_t>(value >> 8));
}

std::vector<uint8_t> Descriptors(const MockDeviceLayout& layout) {
    std::vector<uint8_t> bytes = {18, 1, 0x00, 0x02, layout.deviceClass, 0, 0, 64};
    Put16(&bytes, layout.vendorId);
    Put16(&bytes, layout.productId);
    Put16(&bytes, 0x0100);
    bytes.insert(bytes.end(), {0, 0, 0, 1});
    std::set<uint8_t> numbers;
    std::vector<uint8_t> body;
    for (const MockInterface& interface : layout.interfaces) {
        numbers.insert(interface.number);
        const size_t declared = interface.declaredEndpoints >= 0
                                    ? static_cast<size_t>(interface.declaredEndpoints)
                                    : interface.endpoints.size();
        body.insert(body.end(), {9, 4, interface.number, interface.alternate,
                                 static_cast<uint8_t>(declared),
                                 interface.interfaceClass, interface.subClass, interface.protocol,
                                 0});
        for (const MockEndpoint& endpoint : interface.endpoints) {
            body.insert(body.end(), {7, 5, endpoint.address, endpoint.attributes});
            Put16(&body, endpoint.maxPacketSize);
            body.push_back(endpoint.interval);
        }
    }
    bytes.insert(bytes.end(), {9, 2});
    Put16(&bytes, static_cast<uint16_t>(9 + body.size()));
    bytes.insert(bytes.end(), {static_cast<uint8_t>(numbers.size()), 1, 0, 0x80, 50});
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

MockDeviceLayout HubLayout(bool root) {
    return {static_cast<uint16_t>(root ? 0x1D6B : 0x05E3), static_cast<uint16_t>(root ? 2 : 0x0608),
            9, {{0, 0, 9, 0, 0, {{0x81, 3, 4, 12}}}}};
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

// The description of one node, in the testbed's text format.
std::string NodeRecord(const std::string& sysPath, uint8_t busNumber, uint8_t address,
                       const MockDeviceLayout& layout) {
    char node[32];
    std::snprintf(node, sizeof node, "bus/usb/%03u/%03u", busNumber, address);
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  "E: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\\n\nA: devnum=%u\\n\n", busNumber,
                  address, busNumber, address);
    return "P: " + sysPath.substr(4) + "\nN: " + node +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: DEVNAME=/dev/" + node +
           "\n" + numbers +
           "A: speed=480\\n\nA: bConfigurationValue=1\\n\nH: descriptors=" +
           Hex(Descriptors(layout)) + "\n";
}

MockDevice* DeviceOfNode(MockBus* bus, const char* node) {
    for (auto& device : bus->devices) {
        if (node != nullptr && device->node == node) {
            return device.get();
        }
    }
    return nullptr;
}

// Ends an URB: it waits in the done list until libusb reaps it.
void Finish(MockDevice* device, MockUrb urb, int status) {
    auto* fields = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
    fields->status = status;
    fields->actual_length = urb.actual;
    device->done.push_back(urb);
    gMockChanged.notify_all();
}

// Gives queued packets to the oldest in-URB of the endpoint, as a host
// controller does: packet after packet until a short one, a full buffer, or
// a packet with no room left (an overflow, the rest of it lost).
void Feed(MockDevice* device, uint8_t address) {
    EndpointQueue& queue = device->endpoints[address];
    while (!queue.pending.empty() && !queue.packets.empty()) {
        MockUrb& urb = queue.pending.front();
        const std::vector<uint8_t> packet = queue.packets.front();
        queue.packets.pop_front();
        const int32_t room = urb.length - urb.actual;
        const int32_t size = static_cast<int32_t>(packet.size());
        const int32_t taken = size < room ? size : room;
        if (taken > 0) {
            std::memcpy(urb.buffer->data + urb.actual, packet.data(), static_cast<size_t>(taken));
        }
        urb.actual += taken;
        int status = 1;  // still open
        if (size > room) {
            status = -EOVERFLOW;
        } else if (size < queue.maxPacketSize || urb.actual == urb.length) {
            status = 0;
        }
        if (status != 1) {
            MockUrb ended = urb;
            queue.pending.pop_front();
            Finish(device, ended, status);
        }
    }
}

void CountPending(MockDevice* device) {
    std::memset(device->report.pendingIn, 0, sizeof device->report.pendingIn);
    std::memset(device->report.pendingOut, 0, sizeof device->report.pendingOut);
    for (auto& entry : device->endpoints) {
        uint32_t* counts = (entry.first & 0x80) != 0 ? device->report.pendingIn
                                                     : device->report.pendingOut;
        counts[entry.first & 0x0F] += static_cast<uint32_t>(entry.second.pending.size());
    }
}

void QueueMessageLocked(MockDevice* device, uint8_t endpoint, const std::string& message) {
    EndpointQueue& queue = device->endpoints[endpoint];
    const size_t packetSize = queue.maxPacketSize > 0 ? queue.maxPacketSize : 64;
    size_t offset = 0;
    do {
        const size_t size = message.size() - offset < packetSize ? message.size() - offset
                                                                  : packetSize;
        queue.packets.emplace_back(message.begin() + static_cast<std::ptrdiff_t>(offset),
                                   message.begin() + static_cast<std::ptrdiff_t>(offset + size));
        offset += size;
        // A message of whole packets ends with a zero-length one.
        if (offset == message.size() && size == packetSize) {
            queue.packets.emplace_back();
        }
    } while (offset < message.size());
    Feed(device, endpoint);
}

// A control request; CLEAR_FEATURE(ENDPOINT_HALT) clears a stall.
void Control(MockDevice* device, MockUrb urb) {
    const uint8_t* setup = urb.buffer->data;
    if (urb.length >= 8 && setup[0] == 0x02 && setup[1] == 0x01 && setup[2] == 0 &&
        setup[3] == 0) {
        device->report.clearFeatures += 1;
        if (setup[4] == device->faults.stallEndpoint) {
            device->faults.stallEndpoint = 0;
        }
    }
    Finish(device, urb, 0);
}

// A bulk or interrupt write: the ZN417's device side checks it and queues
// its answer on bulk-in.
void Write(MockDevice* device, MockUrb urb) {
    urb.actual = urb.length;
    if (urb.endpoint == kMockBulkOut && device->zn417 != nullptr) {
        std::string answer;
        if (Zn417ReceiveWrite(device->zn417, urb.buffer->data, static_cast<uint32_t>(urb.length),
                              &answer)) {
            QueueMessageLocked(device, kMockBulkIn, answer);
        }
    }
    Finish(device, urb, 0);
}

gboolean HandleSubmit(MockDevice* device, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    MockUrb urb;
    urb.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    auto* fields = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
    urb.buffer = umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer),
                                             static_cast<gsize>(fields->buffer_length), nullptr);
    urb.type = fields->type;
    urb.endpoint = fields->endpoint;
    urb.length = fields->buffer_length;
    const bool in = (urb.endpoint & 0x80) != 0 && urb.type != USBDEVFS_URB_TYPE_CONTROL;
    MockUrbRecord record{urb.type, urb.endpoint, urb.length, fields->flags, {}};
    if (!in) {
        record.data.assign(urb.buffer->data, urb.buffer->data + urb.length);
    }
    device->report.urbs.push_back(record);
    umockdev_ioctl_client_complete(client, 0, 0);

    const uint8_t address = urb.type == USBDEVFS_URB_TYPE_CONTROL ? 0 : urb.endpoint;
    if (address != 0 && address == device->faults.stallEndpoint) {
        Finish(device, urb, -EPIPE);
    } else if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        if (device->faults.controlNeverCompletes) {
            device->endpoints[0].pending.push_back(urb);
        } else {
            Control(device, urb);
        }
    } else if (in) {
        device->endpoints[address].pending.push_back(urb);
        Feed(device, address);
    } else if (device->faults.writesNeverComplete) {
        device->endpoints[address].pending.push_back(urb);
    } else {
        Write(device, urb);
    }
    CountPending(device);
    gMockChanged.notify_all();
    return TRUE;
}

gboolean HandleReap(MockDevice* device, UMockdevIoctlClient* client, UMockdevIoctlData* arg,
                    std::unique_lock<std::mutex>& guard) {
    if (device->done.empty() && !device->unplugged) {
        gMockChanged.wait_for(guard, kReapWait);
    }
    if (device->done.empty()) {
        umockdev_ioctl_client_complete(client, -1, device->unplugged ? ENODEV : EAGAIN);
        return TRUE;
    }
    MockUrb urb = device->done.front();
    device->done.pop_front();
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(pointer);
    g_object_unref(urb.buffer);
    g_object_unref(urb.urb);
    return TRUE;
}

gboolean HandleDiscard(MockDevice* device, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    device->report.discards += 1;
    const auto address = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
    for (auto& entry : device->endpoints) {
        auto& pending = entry.second.pending;
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (it->urb->client_addr != address) {
                continue;
            }
            if (device->faults.discardFails) {
                umockdev_ioctl_client_complete(client, -1, EIO);
                return TRUE;
            }
            if (!device->faults.discardIgnored) {
                MockUrb urb = *it;
                pending.erase(it);
                Finish(device, urb, -ENOENT);
                CountPending(device);
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return TRUE;
}

gboolean HandleDriverIoctl(MockDevice* device, UMockdevIoctlClient* client,
                           UMockdevIoctlData* arg) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
    const auto* request = reinterpret_cast<const usbdevfs_ioctl*>(data->data);
    long result = 0;
    int error = 0;
    if (request->ioctl_code == USBDEVFS_DISCONNECT) {
        if (device->report.driverBound) {
            device->report.driverBound = false;
            device->report.driverDetaches += 1;
        } else {
            result = -1;
            error = ENODATA;
        }
    } else if (request->ioctl_code == USBDEVFS_CONNECT) {
        if (!device->driverName.empty() && !device->report.driverBound &&
            !device->report.claimed) {
            device->report.driverBound = true;
            device->report.driverAttaches += 1;
        }
    } else {
        result = -1;
        error = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, result, error);
    g_object_unref(data);
    return TRUE;
}

gboolean Claim(MockDevice* device, UMockdevIoctlClient* client, uint32_t interface) {
    if (device->faults.claimBusy || device->report.driverBound) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return TRUE;
    }
    device->report.claimed = true;
    device->report.claimedInterface = interface;
    device->report.claims += 1;
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer context) {
    auto* bus = static_cast<MockBus*>(context);
    std::unique_lock<std::mutex> guard(gMockLock);
    MockDevice* device = DeviceOfNode(bus, umockdev_ioctl_client_get_devnode(client));
    if (device == nullptr) {
        return FALSE;
    }
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (request == USBDEVFS_REAPURBNDELAY) {
        return HandleReap(device, client, arg, guard);
    }
    if (device->unplugged) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
            const uint32_t caps = kCapabilities;
            std::memcpy(data->data, &caps, sizeof caps);
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(data);
            return TRUE;
        }
        case USBDEVFS_SUBMITURB:
            return HandleSubmit(device, client, arg);
        case USBDEVFS_DISCARDURB:
            return HandleDiscard(device, client, arg);
        case USBDEVFS_CLAIMINTERFACE: {
            UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
            uint32_t interface = 0;
            std::memcpy(&interface, data->data, sizeof interface);
            g_object_unref(data);
            return Claim(device, client, interface);
        }
        case USBDEVFS_RELEASEINTERFACE:
            device->report.claimed = false;
            device->report.releases += 1;
            umockdev_ioctl_client_complete(client, 0, 0);
            gMockChanged.notify_all();
            return TRUE;
        case USBDEVFS_CLEAR_HALT: {
            device->report.clearHalts += 1;
            const auto delay = std::chrono::milliseconds(device->faults.clearHaltDelayMs);
            if (delay.count() > 0) {
                // The kernel waits for a device that does not answer; so does this call.
                guard.unlock();
                std::this_thread::sleep_for(delay);
                guard.lock();
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            auto* answer = reinterpret_cast<usbdevfs_getdriver*>(data->data);
            if (device->report.driverBound) {
                std::snprintf(answer->driver, sizeof answer->driver, "%s",
                              device->driverName.c_str());
                umockdev_ioctl_client_complete(client, 0, 0);
            } else {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
            }
            g_object_unref(data);
            return TRUE;
        }
        case USBDEVFS_IOCTL:
            return HandleDriverIoctl(device, client, arg);
        case USBDEVFS_DISCONNECT_CLAIM: {
            if (!device->faults.disconnectClaim) {
                umockdev_ioctl_client_complete(client, -1, ENOTTY);
                return TRUE;
            }
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_disconnect_claim), nullptr);
            const uint32_t interface =
                reinterpret_cast<const usbdevfs_disconnect_claim*>(data->data)->interface;
            g_object_unref(data);
            if (device->report.driverBound) {
                device->report.driverBound = false;
                device->report.driverDetaches += 1;
            }
            return Claim(device, client, interface);
        }
        default:
            std::fprintf(stderr, "mock usb: request 0x%lx on %s answered ENOTTY\n", request,
                         device->node.c_str());
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
    }
}

// Adds the node at `sysPath` once.
void AddNode(MockBus* bus, const std::string& sysPath, uint8_t busNumber, uint8_t address,
             const MockDeviceLayout& layout) {
    if (!bus->paths.insert(sysPath).second) {
        return;
    }
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bus->testbed,
                                          NodeRecord(sysPath, busNumber, address, layout).c_str(),
                                          &error)) {
        std::fprintf(stderr, "mock usb: cannot add %s: %s\n", sysPath.c_str(), error->message);
        g_error_free(error);
    }
}

}  // namespace

MockDeviceLayout Zn417Layout() {
    return {static_cast<uint16_t>(ZN_VENDOR_ID),
            static_cast<uint16_t>(ZN_PRODUCT_ID),
            0,
            {{0, 0, 0xFF, 0xFF, 0xFF,
              {{kMockBulkOut, 2, 512, 0}, {kMockBulkIn, 2, 512, 0}, {kMockInterruptIn, 3, 64, 8}}}}};
}

MockBus* MockBusCreate() {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
        return nullptr;
    }
    auto* bus = new MockBus;
    bus->testbed = umockdev_testbed_new();
    bus->handler = umockdev_ioctl_base_new();
    g_signal_connect_data(bus->handler, "handle-ioctl", G_CALLBACK(HandleIoctl), bus, nullptr,
                          G_CONNECT_AFTER);
    return bus;
}

void MockBusRelease(MockBus* bus) {
    if (bus == nullptr) {
        return;
    }
    for (auto& device : bus->devices) {
        umockdev_testbed_detach_ioctl(bus->testbed, device->node.c_str(), nullptr);
    }
    g_object_unref(bus->handler);
    g_object_unref(bus->testbed);
    std::lock_guard<std::mutex> guard(gMockLock);
    for (auto& device : bus->devices) {
        for (auto& entry : device->endpoints) {
            for (MockUrb& urb : entry.second.pending) {
                g_object_unref(urb.buffer);
                g_object_unref(urb.urb);
            }
        }
        for (MockUrb& urb : device->done) {
            g_object_unref(urb.buffer);
            g_object_unref(urb.urb);
        }
        Zn417Detach(device->zn417);
    }
    delete bus;
}

MockDevice* MockAddDevice(MockBus* bus, uint8_t busNumber, const std::vector<uint8_t>& ports,
                          const MockDeviceLayout& layout, const char* kernelDriver) {
    std::string path = "/sys/devices/usb" + std::to_string(busNumber);
    if (bus->paths.count(path) == 0) {
        AddNode(bus, path, busNumber, 1, HubLayout(true));  // the root hub has address 1
        bus->lastAddress[busNumber] = 1;
    }
    std::string name = std::to_string(busNumber) + "-";
    for (size_t i = 0; i < ports.size(); ++i) {
        name += (i == 0 ? "" : ".") + std::to_string(ports[i]);
        path += "/" + name;
        if (i + 1 < ports.size() && bus->paths.count(path) == 0) {
            AddNode(bus, path, busNumber, ++bus->lastAddress[busNumber], HubLayout(false));
        }
    }
    if (ports.empty() || bus->paths.count(path) != 0) {
        return nullptr;  // that place is taken
    }
    const uint8_t address = ++bus->lastAddress[busNumber];
    auto device = std::make_unique<MockDevice>();
    device->sysPath = path;
    device->name = name;
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", busNumber, address);
    device->node = node;
    device->driverName = kernelDriver;
    device->report.driverBound = !device->driverName.empty();
    for (const MockInterface& interface : layout.interfaces) {
        for (const MockEndpoint& endpoint : interface.endpoints) {
            device->endpoints[endpoint.address].maxPacketSize = endpoint.maxPacketSize;
        }
    }
    if (layout.vendorId == static_cast<uint16_t>(ZN_VENDOR_ID)) {
        device->zn417 = Zn417CreateUnattached();
    }
    // The handler first, so that the node answers as soon as it exists.
    umockdev_testbed_attach_ioctl(bus->testbed, device->node.c_str(), bus->handler, nullptr);
    MockDevice* made = device.get();
    {
        std::lock_guard<std::mutex> guard(gMockLock);
        bus->devices.push_back(std::move(device));
    }
    AddNode(bus, path, busNumber, address, layout);
    return made;
}

std::string MockDeviceName(const MockDevice* device) {
    return device->name;
}

std::string MockDeviceNode(const MockDevice* device) {
    return device->node;
}

std::string MockNodeFile(const MockBus* bus, const MockDevice* device) {
    gchar* root = umockdev_testbed_get_root_dir(bus->testbed);
    std::string path = std::string(root) + device->node;
    g_free(root);
    return path;
}

void MockSetFaults(MockDevice* device, const MockFaults& faults) {
    std::lock_guard<std::mutex> guard(gMockLock);
    device->faults = faults;
}

Zn417Model* MockZn417(MockDevice* device) {
    return device->zn417;
}

void MockQueuePacket(MockDevice* device, uint8_t endpoint, const std::vector<uint8_t>& packet) {
    std::lock_guard<std::mutex> guard(gMockLock);
    device->endpoints[endpoint].packets.push_back(packet);
    Feed(device, endpoint);
    CountPending(device);
}

void MockQueueMessage(MockDevice* device, uint8_t endpoint, const std::vector<uint8_t>& message) {
    std::lock_guard<std::mutex> guard(gMockLock);
    QueueMessageLocked(device, endpoint, std::string(message.begin(), message.end()));
    CountPending(device);
}

void MockQueueStatusPacket(MockDevice* device) {
    uint8_t packet[Zn417InterruptPacketLength];
    Zn417FillInterruptPacket(256, 0, packet);
    MockQueuePacket(device, kMockInterruptIn, std::vector<uint8_t>(packet, packet + sizeof packet));
}

void MockQueuePress(MockDevice* device, uint8_t buttonCode) {
    uint8_t packet[Zn417InterruptPacketLength];
    Zn417FillInterruptPacket(0, buttonCode, packet);
    MockQueuePacket(device, kMockInterruptIn, std::vector<uint8_t>(packet, packet + sizeof packet));
}

void MockUnplug(MockBus* bus, MockDevice* device) {
    {
        std::lock_guard<std::mutex> guard(gMockLock);
        device->unplugged = true;
        device->report.claimed = false;  // the kernel drops the claims of a device that left
        for (auto& entry : device->endpoints) {
            while (!entry.second.pending.empty()) {
                MockUrb urb = entry.second.pending.front();
                entry.second.pending.pop_front();
                Finish(device, urb, -ESHUTDOWN);
            }
        }
        CountPending(device);
    }
    umockdev_testbed_uevent(bus->testbed, device->sysPath.c_str(), "remove");
}

void MockReplug(MockBus* bus, MockDevice* device) {
    {
        std::lock_guard<std::mutex> guard(gMockLock);
        device->unplugged = false;
        for (auto& entry : device->endpoints) {
            entry.second.packets.clear();
        }
        device->report.driverBound = !device->driverName.empty();
    }
    umockdev_testbed_uevent(bus->testbed, device->sysPath.c_str(), "add");
}

MockReport MockGetReport(const MockDevice* device) {
    std::lock_guard<std::mutex> guard(gMockLock);
    return device->report;
}

bool MockWaitPending(const MockDevice* device, uint8_t endpoint, uint32_t count,
                     uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(gMockLock);
    return gMockChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        const uint32_t* counts =
            (endpoint & 0x80) != 0 ? device->report.pendingIn : device->report.pendingOut;
        return counts[endpoint & 0x0F] >= count;
    });
}

bool MockWaitReport(const MockDevice* device, bool (*test)(const MockReport& report, void* context),
                    void* context, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(gMockLock);
    return gMockChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return test(device->report, context); });
}

bool MockEnsurePreloaded(char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr) {
        return true;
    }
    if (std::getenv("ZN_MOCK_REEXECUTED") != nullptr) {
        return false;
    }
    std::string value = "libumockdev-preload.so.0";
    if (preload != nullptr && *preload != '\0') {
        value += std::string(":") + preload;
    }
    setenv("LD_PRELOAD", value.c_str(), 1);
    // The sanitizers' runtimes expect to come first; the preload library
    // does not touch what they watch.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = asan != nullptr ? asan : "";
    asanOptions += (asanOptions.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
    const char* tsan = std::getenv("TSAN_OPTIONS");
    std::string tsanOptions = tsan != nullptr ? tsan : "";
    tsanOptions += (tsanOptions.empty() ? "" : ":") + std::string("suppressions=" ZN_MOCK_TSAN_SUPPRESSIONS);
    setenv("TSAN_OPTIONS", tsanOptions.c_str(), 1);
    setenv("ZN_MOCK_REEXECUTED", "1", 1);
    execv("/proc/self/exe", argv);
    return false;
}
