// SPDX-License-Identifier: Apache-2.0
#include "umockdev/EmulatedBus.h"

// umockdev's header is C; it is only needed here.
#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

namespace zelvik::emulation {

using sim::Clock;

namespace {

constexpr std::uint16_t kHubVendor = 0x1d6b;
constexpr std::uint16_t kRootHubProduct = 0x0002;
constexpr std::uint16_t kHubProduct = 0x0104;
constexpr int kMaxPortDepth = 6;  // what a location ID can express

// The descriptors of a hub: one configuration, one interface of the hub
// class with its status-change endpoint.
Bytes hubDescriptors(bool root) {
    const std::uint16_t product = root ? kRootHubProduct : kHubProduct;
    return Bytes{// device
                 18, 1, 0x00, 0x02, 9, 0, 1, 64, kHubVendor & 0xFF, kHubVendor >> 8,
                 static_cast<std::uint8_t>(product & 0xFF), static_cast<std::uint8_t>(product >> 8), 0x00, 0x01, 0, 0,
                 0, 1,
                 // configuration, interface, endpoint
                 9, 2, 25, 0, 1, 1, 0, 0xE0, 0, 9, 4, 0, 0, 1, 9, 0, 0, 0, 7, 5, 0x81, 3, 4, 0, 12};
}

std::string hexText(const Bytes& bytes) {
    std::string out;
    char pair[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        out += pair;
    }
    return out;
}

// A port path as sysfs names it: "1-3.2" for bus 1, ports 3 then 2.
std::string sysfsNameOf(std::uint8_t bus, const std::vector<std::uint8_t>& ports) {
    if (ports.empty()) return "usb" + std::to_string(bus);
    std::string name = std::to_string(bus) + "-";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (i > 0) name += ".";
        name += std::to_string(ports[i]);
    }
    return name;
}

std::uint32_t locationOf(std::uint8_t bus, const std::vector<std::uint8_t>& ports) {
    std::uint32_t location = static_cast<std::uint32_t>(bus) << 24;
    int shift = 20;
    for (std::uint8_t port : ports) {
        location |= static_cast<std::uint32_t>(port) << shift;
        shift -= 4;
    }
    return location;
}

// The bus and port path a location ID describes; false when it describes
// no place a device can be (bus 0, or no port at all).
bool placeOf(std::uint32_t location, std::uint8_t* bus, std::vector<std::uint8_t>* ports) {
    *bus = static_cast<std::uint8_t>(location >> 24);
    ports->clear();
    for (int shift = 20; shift >= 0; shift -= 4) {
        const auto port = static_cast<std::uint8_t>((location >> shift) & 0x0F);
        if (port == 0) break;
        ports->push_back(port);
    }
    return *bus != 0 && !ports->empty();
}

struct Urb {
    UMockdevIoctlData* data = nullptr;     // the client's usbdevfs_urb (we hold a reference)
    UMockdevIoctlData* buffer = nullptr;   // its buffer; null for an empty one
    UMockdevIoctlClient* owner = nullptr;  // the open file it came from
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    std::uint32_t length = 0;
    std::uint32_t done = 0;  // OUT bytes the printer took so far
    Clock::time_point retryAt{};

    usbdevfs_urb* header() const { return reinterpret_cast<usbdevfs_urb*>(data->data); }
    std::uint8_t* bytes() const { return buffer ? buffer->data : nullptr; }
};

}  // namespace

// One emulated device node: a hub or a printer.
struct EmulatedDevice {
    EmulatedBus::Impl* bus = nullptr;
    bool hub = false;
    std::uint8_t busNumber = 0;
    std::uint8_t devnum = 0;
    std::vector<std::uint8_t> ports;
    std::string sysfsPath;  // "/devices/usb1/1-3/1-3.2"
    std::string devnode;    // "/dev/bus/usb/001/004"
    bool hasNode = true;
    bool unplugged = false;  // taken off the emulated kernel
    UMockdevIoctlBase* handler = nullptr;

    std::unique_ptr<sim::VirtualPrinter> printer;
    bool gone = false;

    // Interface 0 of a printer: the kernel driver its class binds (the
    // printer class driver, usually), or the open file that claimed it, or
    // another program that holds it.
    const char* driver = nullptr;
    bool driverBound = false;
    UMockdevIoctlClient* claimOwner = nullptr;  // referenced while it holds the claim
    bool heldByOtherProgram = false;
    KernelDriverState record;

    // The other interfaces of the printer (1, 2, ...: a multifunction
    // printer's), each with the kernel driver its class binds (none for a
    // vendor interface).
    struct OtherInterface {
        const char* driver = nullptr;
        bool bound = false;
    };
    std::map<unsigned, OtherInterface> others;
    // The other interface a request names, or nothing for interface 0 or
    // one the printer does not have.
    OtherInterface* other(unsigned number) {
        const auto it = others.find(number);
        return number != 0 && it != others.end() ? &it->second : nullptr;
    }

    std::deque<Urb> pending;    // submitted bulk/interrupt URBs, oldest first
    std::deque<Urb> completed;  // finished and not reaped yet
};

struct EmulatedBus::Impl {
    mutable std::mutex mutex;
    UMockdevTestbed* testbed = nullptr;
    Options options;
    std::vector<std::unique_ptr<EmulatedDevice>> devices;  // parents before children
    std::vector<EmulatedDevice*> printers;                 // in bus file order, then as plugged in

    ~Impl();
    void build(std::vector<sim::VirtualPrinterConfig> configs);
    std::size_t addPrinter(const sim::VirtualPrinterConfig& config);
    EmulatedDevice* addDevice(std::uint8_t bus, std::vector<std::uint8_t> ports, bool hub, const Bytes& descriptors,
                              bool node);
    EmulatedDevice* ensureHub(std::uint8_t bus, const std::vector<std::uint8_t>& ports);
    std::map<std::uint8_t, std::uint8_t> nextDevnum;
    // The places taken by printers, and those hubs need.
    std::set<std::pair<std::uint8_t, std::vector<std::uint8_t>>> printerPlaces, hubPlaces;
    std::uint8_t nextFreePort = 15;
};

namespace {

// --- usbdevfs -------------------------------------------------------------------

void complete(UMockdevIoctlClient* client, long result, int error = 0) {
    umockdev_ioctl_client_complete(client, result, error);
}

void fail(UMockdevIoctlClient* client, int error) { complete(client, -1, error); }

// The memory an ioctl's argument points to, copied from the client; what
// the handler changes in it goes back to the client when the ioctl
// completes. The caller owns the reference.
UMockdevIoctlData* resolveArg(UMockdevIoctlClient* client, std::size_t size) {
    return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
}

void releaseUrb(Urb& urb) {
    if (urb.buffer) g_object_unref(urb.buffer);
    if (urb.data) g_object_unref(urb.data);
    urb.buffer = nullptr;
    urb.data = nullptr;
}

void finish(EmulatedDevice& device, Urb urb, int status, std::uint32_t actual) {
    urb.header()->status = status;
    urb.header()->actual_length = static_cast<int>(actual);
    device.completed.push_back(urb);
}

// Whether the printer has an endpoint of that address in the setting in
// force of one of its interfaces.
bool endpointExists(const EmulatedDevice& device, std::uint8_t address) {
    return device.printer->endpoint(address) != nullptr;
}

// The kernel driver an interface's class binds: the printer class driver
// (when loaded) for a printer setting of protocol 1 to 3 in any of its
// settings, the mass-storage and HID drivers by the class of setting 0;
// none for anything else.
const char* driverOf(const sim::VirtualPrinterConfig& config, unsigned number, bool printerDriverLoaded) {
    const char* driver = nullptr;
    for (const sim::InterfaceDescription& s : config.interfaces) {
        if (s.number != number) continue;
        if (s.interfaceClass == 7 && s.subClass == 1 && s.protocol >= 1 && s.protocol <= 3) {
            return printerDriverLoaded ? kPrinterDriverName : nullptr;
        }
        if (s.alternateSetting == 0 && s.interfaceClass == 8) driver = kMassStorageDriverName;
        if (s.alternateSetting == 0 && s.interfaceClass == 3) driver = kHidDriverName;
    }
    return driver;
}

// The claim of interface 0 by one open file. A file that uses the interface
// without claiming it first gets it claimed on the spot, as the kernel
// does; either fails while the printer driver or another file holds it.
int claim(EmulatedDevice& device, UMockdevIoctlClient* client) {
    if (device.claimOwner == client) return 0;
    if (device.claimOwner || device.heldByOtherProgram) return EBUSY;
    if (device.driverBound) {
        device.record.refusedWhileBound += 1;
        return EBUSY;
    }
    device.claimOwner = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    device.record.claims += 1;
    return 0;
}

void release(EmulatedDevice& device) {
    if (device.claimOwner) {
        g_object_unref(device.claimOwner);
        device.record.releases += 1;
    }
    device.claimOwner = nullptr;
}

// The kernel refuses a control request addressed to an interface or its
// endpoints unless the file holds (or can take) the interface. Vendor
// requests pass, and so does the printer class GET_DEVICE_ID, which the
// kernel lets through so that a printer can be identified while its driver
// holds it.
int checkControlRecipient(EmulatedDevice& device, UMockdevIoctlClient* client, std::uint8_t requestType,
                          std::uint8_t request, std::uint16_t index) {
    if ((requestType & 0x60) == 0x40) return 0;
    if (requestType == 0xA1 && request == 0 && (index >> 8) == 0) return 0;
    switch (requestType & 0x1F) {
        case 1:  // interface
            if ((index & 0xFF) != 0) return ENOENT;
            return claim(device, client);
        case 2: {  // endpoint
            const auto address = static_cast<std::uint8_t>(index & 0xFF);
            if ((address & 0x7F) == 0) return 0;
            if (!endpointExists(device, address)) return ENOENT;
            return claim(device, client);
        }
        default: return 0;
    }
}

// Moves every pending URB on as far as the printer lets it now.
void progress(EmulatedDevice& device) {
    if (!device.printer) return;
    const auto now = Clock::now();
    std::set<std::uint8_t> busyEndpoints;
    for (auto it = device.pending.begin(); it != device.pending.end();) {
        Urb& urb = *it;
        // One transfer at a time per endpoint, in submission order.
        if (!busyEndpoints.insert(urb.endpoint).second) {
            ++it;
            continue;
        }
        bool finished = false;
        int status = 0;
        std::uint32_t actual = 0;
        if (urb.type == USBDEVFS_URB_TYPE_INTERRUPT) {
            // The model has no interrupt traffic: an interrupt OUT packet
            // is taken, an interrupt IN endpoint stays silent.
            if (!(urb.endpoint & 0x80)) {
                finished = true;
                actual = urb.length;
            }
        } else if (!(urb.endpoint & 0x80)) {
            if (now >= urb.retryAt) {
                const auto result = device.printer->writeBulk(
                    urb.endpoint,
                    std::span<const std::uint8_t>(urb.bytes() ? urb.bytes() + urb.done : nullptr,
                                                  urb.length - urb.done),
                    now);
                urb.done += static_cast<std::uint32_t>(result.accepted);
                urb.retryAt = result.retryAt;
                if (result.stalled) {
                    finished = true;
                    status = -EPIPE;
                    actual = urb.done;
                } else if (result.complete) {
                    finished = true;
                    actual = urb.length;
                }
            }
        } else {
            const auto result = device.printer->readBulk(urb.endpoint, urb.length, now);
            switch (result.kind) {
                case sim::VirtualPrinter::ReadKind::Data:
                    std::memcpy(urb.bytes(), result.bytes.data(), result.bytes.size());
                    finished = true;
                    actual = static_cast<std::uint32_t>(result.bytes.size());
                    break;
                case sim::VirtualPrinter::ReadKind::ZeroLength: finished = true; break;
                case sim::VirtualPrinter::ReadKind::Stalled:
                    finished = true;
                    status = -EPIPE;
                    break;
                case sim::VirtualPrinter::ReadKind::Nothing: break;
            }
        }
        if (!finished && device.printer->disconnected()) {
            finished = true;
            status = -ESHUTDOWN;
            actual = urb.done;
        }
        if (finished) {
            finish(device, urb, status, actual);
            it = device.pending.erase(it);
        } else {
            ++it;
        }
    }
    if (device.printer->disconnected()) device.gone = true;
}

void handleSubmit(EmulatedDevice& device, UMockdevIoctlClient* client) {
    g_autoptr(UMockdevIoctlData) data = resolveArg(client, sizeof(usbdevfs_urb));
    if (!data) return fail(client, EFAULT);
    auto* header = reinterpret_cast<usbdevfs_urb*>(data->data);
    if (device.gone) return fail(client, ENODEV);
    if (header->buffer_length < 0) return fail(client, EINVAL);

    Urb urb;
    urb.owner = client;
    urb.type = header->type;
    urb.endpoint = header->endpoint;
    urb.length = static_cast<std::uint32_t>(header->buffer_length);
    if (urb.length > 0) {
        urb.buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), urb.length, nullptr);
        if (!urb.buffer) return fail(client, EFAULT);
    }
    const auto reject = [&](int error) {
        releaseUrb(urb);
        fail(client, error);
    };
    const auto accept = [&] {
        urb.data = static_cast<UMockdevIoctlData*>(g_object_ref(data));
        complete(client, 0);
    };

    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb.length < 8 || (urb.endpoint & 0x7F) != 0) return reject(EINVAL);
        const std::uint8_t* setup = urb.bytes();
        const std::uint8_t requestType = setup[0];
        const std::uint8_t request = setup[1];
        const auto value = static_cast<std::uint16_t>(setup[2] | (setup[3] << 8));
        const auto index = static_cast<std::uint16_t>(setup[4] | (setup[5] << 8));
        const auto length = static_cast<std::uint16_t>(setup[6] | (setup[7] << 8));
        if (length + 8u > urb.length) return reject(EINVAL);
        sim::VirtualPrinter::ControlResult result{true, 0};
        if (!device.hub) {  // hubs here answer nothing beyond enumeration
            const int error = checkControlRecipient(device, client, requestType, request, index);
            if (error) return reject(error);
            result = device.printer->control(requestType, request, value, index, length, urb.bytes() + 8);
        }
        accept();
        // A control transfer is over at once: the URB waits to be reaped.
        if (result.stalled) {
            finish(device, urb, -EPIPE, 0);
        } else {
            finish(device, urb, 0, (requestType & 0x80) ? result.length : length);
        }
        return;
    }

    if (urb.type != USBDEVFS_URB_TYPE_BULK && urb.type != USBDEVFS_URB_TYPE_INTERRUPT) {
        return reject(EINVAL);
    }
    if (device.hub || !endpointExists(device, urb.endpoint)) return reject(ENOENT);
    if (const int error = claim(device, client)) return reject(error);
    device.record.bulkUrbs += 1;
    accept();
    device.pending.push_back(urb);
    progress(device);
}

void handleReap(EmulatedDevice& device, UMockdevIoctlClient* client) {
    progress(device);
    const auto it = std::find_if(device.completed.begin(), device.completed.end(),
                                 [&](const Urb& urb) { return urb.owner == client; });
    if (it == device.completed.end()) return fail(client, device.gone ? ENODEV : EAGAIN);
    g_autoptr(UMockdevIoctlData) pointer = resolveArg(client, sizeof(void*));
    if (!pointer) return fail(client, EFAULT);
    umockdev_ioctl_data_set_ptr(pointer, 0, it->data);
    releaseUrb(*it);
    device.completed.erase(it);
    complete(client, 0);
}

void handleDiscard(EmulatedDevice& device, UMockdevIoctlClient* client) {
    // The argument is the URB's address itself.
    const auto address = *reinterpret_cast<gulong*>(umockdev_ioctl_client_get_arg(client)->data);
    const auto it = std::find_if(device.pending.begin(), device.pending.end(), [&](const Urb& urb) {
        return urb.owner == client && urb.data->client_addr == address;
    });
    if (it == device.pending.end()) return fail(client, EINVAL);
    Urb urb = *it;
    device.pending.erase(it);
    // A cancelled OUT transfer reports what the printer took of it.
    finish(device, urb, -ENOENT, urb.done);
    complete(client, 0);
}

// The synchronous control ioctl.
void handleControl(EmulatedDevice& device, UMockdevIoctlClient* client) {
    g_autoptr(UMockdevIoctlData) data = resolveArg(client, sizeof(usbdevfs_ctrltransfer));
    if (!data) return fail(client, EFAULT);
    auto* transfer = reinterpret_cast<usbdevfs_ctrltransfer*>(data->data);
    if (device.gone) return fail(client, ENODEV);
    if (device.hub) return fail(client, EPIPE);
    const std::uint8_t requestType = transfer->bRequestType;
    const std::uint8_t request = transfer->bRequest;
    const std::uint16_t value = transfer->wValue;
    const std::uint16_t index = transfer->wIndex;
    const std::uint16_t length = transfer->wLength;
    std::uint8_t* bytes = nullptr;
    if (length > 0) {
        g_autoptr(UMockdevIoctlData)
            buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_ctrltransfer, data), length, nullptr);
        if (!buffer) return fail(client, EFAULT);
        bytes = buffer->data;
    }
    if (const int error = checkControlRecipient(device, client, requestType, request, index)) {
        return fail(client, error);
    }
    const auto result = device.printer->control(requestType, request, value, index, length, bytes);
    if (result.stalled) return fail(client, EPIPE);
    complete(client, (requestType & 0x80) ? result.length : length);
}

void handleDriverRequest(EmulatedDevice& device, UMockdevIoctlClient* client) {
    g_autoptr(UMockdevIoctlData) data = resolveArg(client, sizeof(usbdevfs_ioctl));
    if (!data) return fail(client, EFAULT);
    const auto* command = reinterpret_cast<usbdevfs_ioctl*>(data->data);
    if (device.hub) return fail(client, EINVAL);
    if (command->ifno != 0) {
        auto* other = device.other(static_cast<unsigned>(command->ifno));
        if (!other) return fail(client, EINVAL);
        if (command->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (!other->bound) return fail(client, ENODATA);
            other->bound = false;
            device.record.otherInterfaceTouches += 1;
            return complete(client, 0);
        }
        if (command->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
            if (other->bound || !other->driver) return complete(client, 0);
            other->bound = true;
            return complete(client, 1);
        }
        return fail(client, ENOTTY);
    }
    if (command->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        if (device.claimOwner || device.heldByOtherProgram) return fail(client, EINVAL);
        if (!device.driverBound) return fail(client, ENODATA);
        device.driverBound = false;
        device.record.detachCount += 1;
        return complete(client, 0);
    }
    if (command->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
        if (device.claimOwner || device.heldByOtherProgram) return fail(client, EBUSY);
        if (device.driverBound || device.driver == nullptr) return complete(client, 0);
        device.driverBound = true;
        device.record.attachCount += 1;
        return complete(client, 1);  // a driver was bound
    }
    fail(client, ENOTTY);
}

void handleDisconnectClaim(EmulatedDevice& device, UMockdevIoctlClient* client) {
    g_autoptr(UMockdevIoctlData) data = resolveArg(client, sizeof(usbdevfs_disconnect_claim));
    if (!data) return fail(client, EFAULT);
    const auto* request = reinterpret_cast<usbdevfs_disconnect_claim*>(data->data);
    if (auto* other = device.hub ? nullptr : device.other(request->interface)) {
        other->bound = false;
        device.record.otherInterfaceTouches += 1;
        return complete(client, 0);
    }
    if (device.hub || request->interface != 0) return fail(client, EINVAL);
    // A claim through usbfs, ours or another program's, is never taken
    // away: the kernel refuses it whichever driver names the caller gives.
    if (device.claimOwner || device.heldByOtherProgram) return fail(client, EBUSY);
    if (device.driverBound) {
        const bool named = std::strncmp(request->driver, device.driver, sizeof request->driver) == 0;
        if ((request->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !named) {
            return fail(client, EBUSY);
        }
        if ((request->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && named) {
            return fail(client, EBUSY);
        }
        device.driverBound = false;
        device.record.detachCount += 1;
    }
    const int error = claim(device, client);
    if (error) return fail(client, error);
    complete(client, 0);
}

void handle(EmulatedDevice& device, UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);

    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            g_autoptr(UMockdevIoctlData) data = resolveArg(client, sizeof(std::uint32_t));
            if (!data) return fail(client, EFAULT);
            const std::uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            std::memcpy(data->data, &caps, sizeof caps);
            complete(client, 0);
            return;
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            // Reaping after the device left still hands back what finished.
            handleReap(device, client);
            return;
        default: break;
    }
    if (device.gone) return fail(client, ENODEV);

    switch (request) {
        case USBDEVFS_CONNECTINFO: {
            g_autoptr(UMockdevIoctlData) data = resolveArg(client, sizeof(usbdevfs_connectinfo));
            if (!data) return fail(client, EFAULT);
            auto* info = reinterpret_cast<usbdevfs_connectinfo*>(data->data);
            info->devnum = device.devnum;
            info->slow = 0;
            complete(client, 0);
            return;
        }
        case USBDEVFS_GETDRIVER: {
            g_autoptr(UMockdevIoctlData) data = resolveArg(client, sizeof(usbdevfs_getdriver));
            if (!data) return fail(client, EFAULT);
            auto* query = reinterpret_cast<usbdevfs_getdriver*>(data->data);
            const char* name = nullptr;
            if (device.hub) {
                name = query->interface == 0 ? "hub" : nullptr;
            } else if (auto* other = device.other(query->interface)) {
                name = other->bound ? other->driver : nullptr;
            } else if (query->interface == 0) {
                name = (device.claimOwner || device.heldByOtherProgram) ? "usbfs"
                       : device.driverBound                             ? device.driver
                                                                        : nullptr;
            }
            if (!name) return fail(client, ENODATA);
            std::memset(query->driver, 0, sizeof query->driver);
            std::strncpy(query->driver, name, sizeof query->driver - 1);
            complete(client, 0);
            return;
        }
        case USBDEVFS_IOCTL: handleDriverRequest(device, client); return;
        case USBDEVFS_DISCONNECT_CLAIM: handleDisconnectClaim(device, client); return;
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            g_autoptr(UMockdevIoctlData) data = resolveArg(client, sizeof(unsigned int));
            if (!data) return fail(client, EFAULT);
            unsigned int interface = 0;
            std::memcpy(&interface, data->data, sizeof interface);
            if (auto* other = device.hub ? nullptr : device.other(interface)) {
                if (request == USBDEVFS_CLAIMINTERFACE) {
                    if (other->bound) return fail(client, EBUSY);
                    device.record.otherInterfaceTouches += 1;
                }
                return complete(client, 0);
            }
            if (device.hub || interface != 0) return fail(client, ENOENT);
            if (request == USBDEVFS_CLAIMINTERFACE) {
                const int error = claim(device, client);
                if (error) return fail(client, error);
            } else {
                if (device.claimOwner != client) return fail(client, EINVAL);
                release(device);
            }
            complete(client, 0);
            return;
        }
        case USBDEVFS_SETINTERFACE: {
            g_autoptr(UMockdevIoctlData) data = resolveArg(client, sizeof(usbdevfs_setinterface));
            if (!data) return fail(client, EFAULT);
            const auto* setting = reinterpret_cast<usbdevfs_setinterface*>(data->data);
            if (device.hub || setting->interface > 0xFF) return fail(client, EINVAL);
            const auto number = static_cast<std::uint8_t>(setting->interface);
            if (auto* other = device.other(number)) {
                if (other->bound) return fail(client, EBUSY);
                device.record.otherInterfaceTouches += 1;
            } else if (number != 0) {
                return fail(client, EINVAL);
            } else if (const int error = claim(device, client)) {
                return fail(client, error);
            }
            if (setting->altsetting >= device.printer->alternateSettingCount(number)) {
                return fail(client, EINVAL);
            }
            const auto result = device.printer->control(0x01, 0x0B, static_cast<std::uint16_t>(setting->altsetting),
                                                        number, 0, nullptr);
            // The kernel forgives a stalled SET_INTERFACE on an interface
            // that has a single setting: many printers stall it.
            if (result.stalled && device.printer->alternateSettingCount(number) > 1) {
                return fail(client, EPIPE);
            }
            complete(client, 0);
            return;
        }
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: {
            g_autoptr(UMockdevIoctlData) data = resolveArg(client, sizeof(unsigned int));
            if (!data) return fail(client, EFAULT);
            unsigned int endpoint = 0;
            std::memcpy(&endpoint, data->data, sizeof endpoint);
            const auto address = static_cast<std::uint8_t>(endpoint);
            if (device.hub || !endpointExists(device, address)) return fail(client, ENOENT);
            if (const int error = claim(device, client)) return fail(client, error);
            if (request == USBDEVFS_CLEAR_HALT) {
                // The kernel clears the halt on the device and its own side.
                const auto result = device.printer->control(0x02, 0x01, 0, address, 0, nullptr);
                if (result.stalled) return fail(client, EPIPE);
            }
            device.printer->clearHalt(address);
            complete(client, 0);
            return;
        }
        case USBDEVFS_RESET: complete(client, 0); return;
        case USBDEVFS_SUBMITURB: handleSubmit(device, client); return;
        case USBDEVFS_DISCARDURB: handleDiscard(device, client); return;
        case USBDEVFS_CONTROL: handleControl(device, client); return;
        default: fail(client, ENOTTY); return;
    }
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto& device = *static_cast<EmulatedDevice*>(user);
    std::lock_guard lock(device.bus->mutex);
    handle(device, client);
    return TRUE;
}

}  // namespace

// --- The tree ---------------------------------------------------------------------

EmulatedBus::Impl::~Impl() {
    for (auto& device : devices) {
        if (device->hasNode && !device->unplugged) {
            umockdev_testbed_detach_ioctl(testbed, device->devnode.c_str(), nullptr);
        }
    }
    for (auto& device : devices) {
        for (Urb& urb : device->pending) releaseUrb(urb);
        for (Urb& urb : device->completed) releaseUrb(urb);
        release(*device);
        if (device->handler) g_object_unref(device->handler);
    }
    if (testbed) g_object_unref(testbed);
}

EmulatedDevice* EmulatedBus::Impl::addDevice(std::uint8_t bus, std::vector<std::uint8_t> ports, bool hub,
                                             const Bytes& descriptors, bool node) {
    auto device = std::make_unique<EmulatedDevice>();
    device->bus = this;
    device->hub = hub;
    device->busNumber = bus;
    device->ports = std::move(ports);
    device->devnum = ++nextDevnum[bus];
    device->hasNode = node;

    std::string path = "/devices/usb" + std::to_string(bus);
    for (std::size_t depth = 1; depth <= device->ports.size(); ++depth) {
        path += "/" + sysfsNameOf(bus, std::vector<std::uint8_t>(device->ports.begin(),
                                                                 device->ports.begin() + static_cast<long>(depth)));
    }
    device->sysfsPath = path;
    char nodeName[32];
    std::snprintf(nodeName, sizeof nodeName, "bus/usb/%03u/%03u", unsigned{bus}, unsigned{device->devnum});
    device->devnode = std::string("/dev/") + nodeName;

    if (node) {
        // The handler must be in place before the device appears: a
        // program may open the node as soon as it is listed.
        device->handler = umockdev_ioctl_base_new();
        g_signal_connect(device->handler, "handle-ioctl", G_CALLBACK(onIoctl), device.get());
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed, device->devnode.c_str(), device->handler, &error)) {
            const std::string message = error ? error->message : "unknown error";
            g_clear_error(&error);
            throw std::runtime_error("cannot emulate " + device->devnode + ": " + message);
        }
    }

    // The kernel's PRODUCT: vendor, product and release from the device
    // descriptor, in hex.
    auto word = [&descriptors](std::size_t at) {
        return unsigned{descriptors[at]} | unsigned{descriptors[at + 1]} << 8;
    };
    char record[512];
    std::snprintf(record, sizeof record,
                  "P: %s\n%s%s%s"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: PRODUCT=%x/%x/%x\n"
                  "E: BUSNUM=%03u\nE: DEVNUM=%03u\nE: DEVNAME=%s\n"
                  "A: busnum=%u\\n\nA: devnum=%u\\n\nA: speed=480\\n\n"
                  "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n",
                  path.c_str(), node ? "N: " : "", node ? nodeName : "", node ? "\n" : "", word(8), word(10), word(12),
                  unsigned{bus}, unsigned{device->devnum}, device->devnode.c_str(), unsigned{bus},
                  unsigned{device->devnum});
    const std::string text = std::string(record) + "H: descriptors=" + hexText(descriptors) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &error)) {
        const std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot add " + path + ": " + message);
    }
    // umockdev announced the device ("add"); its handler may run from now.
    std::lock_guard lock(mutex);
    devices.push_back(std::move(device));
    return devices.back().get();
}

EmulatedDevice* EmulatedBus::Impl::ensureHub(std::uint8_t bus, const std::vector<std::uint8_t>& ports) {
    for (auto& device : devices) {
        if (device->busNumber == bus && device->ports == ports) return device.get();
    }
    if (!ports.empty()) {
        ensureHub(bus, std::vector<std::uint8_t>(ports.begin(), ports.end() - 1));
    }
    return addDevice(bus, ports, true, hubDescriptors(ports.empty()), true);
}

void EmulatedBus::Impl::build(std::vector<sim::VirtualPrinterConfig> configs) {
    sim::applyBusDefaults(configs);
    testbed = umockdev_testbed_new();
    if (!testbed) throw std::runtime_error("umockdev cannot make a test bed");
    for (const auto& config : configs) addPrinter(config);
}

// Every printer gets the place its location ID names, unless that place
// cannot be emulated or is taken; it then goes to the next free port of
// bus 1's root hub.
std::size_t EmulatedBus::Impl::addPrinter(const sim::VirtualPrinterConfig& config) {
    std::uint8_t bus = 0;
    std::vector<std::uint8_t> ports;
    bool usable = placeOf(config.locationID.value_or(0), &bus, &ports) && ports.size() <= kMaxPortDepth &&
                  !printerPlaces.count({bus, ports}) && !hubPlaces.count({bus, ports});
    for (std::size_t depth = 1; usable && depth < ports.size(); ++depth) {
        const std::vector<std::uint8_t> above(ports.begin(), ports.begin() + static_cast<long>(depth));
        usable = !printerPlaces.count({bus, above});
    }
    while (!usable) {
        if (nextFreePort == 0) throw std::runtime_error("no free port left on bus 1's root hub");
        bus = 1;
        ports = {nextFreePort--};
        usable = !printerPlaces.count({bus, ports}) && !hubPlaces.count({bus, ports});
    }
    for (std::size_t depth = 0; depth < ports.size(); ++depth) {
        const auto end = ports.begin() + static_cast<long>(depth);
        hubPlaces.insert({bus, std::vector<std::uint8_t>(ports.begin(), end)});
    }
    printerPlaces.insert({bus, ports});

    ensureHub(bus, std::vector<std::uint8_t>(ports.begin(), ports.end() - 1));
    auto printer = std::make_unique<sim::VirtualPrinter>(config);
    Bytes descriptors = printer->deviceDescriptor();
    const Bytes configuration = printer->configurationDescriptor();
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    // A device that another program holds open cannot be opened here;
    // without a node, opening it fails.
    EmulatedDevice* device = addDevice(bus, ports, false, descriptors, !config.heldOpen);
    std::lock_guard lock(mutex);
    device->printer = std::move(printer);
    device->driver = driverOf(config, 0, options.printerDriverLoaded);
    device->driverBound = device->driver != nullptr;
    device->heldByOtherProgram = config.interfaceHeldOpen;
    for (const std::uint8_t number : device->printer->interfaceNumbers()) {
        if (number == 0) continue;
        EmulatedDevice::OtherInterface other;
        other.driver = driverOf(config, number, options.printerDriverLoaded);
        other.bound = other.driver != nullptr;
        device->others[number] = other;
    }
    printers.push_back(device);
    return printers.size() - 1;
}

EmulatedBus::EmulatedBus(const std::string& busFileText) : EmulatedBus(busFileText, Options{}) {}

namespace {

std::vector<sim::VirtualPrinterConfig> printersOf(const std::string& busFileText) {
    sim::BusFile file = sim::parseBusFile(Bytes(busFileText.begin(), busFileText.end()));
    if (file.error) throw std::runtime_error(sim::describeBusFileError("bus file text", *file.error));
    return std::move(file.printers);
}

}  // namespace

EmulatedBus::EmulatedBus(const std::string& busFileText, Options options)
    : EmulatedBus(printersOf(busFileText), options) {}

EmulatedBus::EmulatedBus(std::vector<sim::VirtualPrinterConfig> printers, Options options)
    : mImpl(std::make_unique<Impl>()) {
    mImpl->options = options;
    mImpl->build(std::move(printers));
}

EmulatedBus::~EmulatedBus() = default;

std::size_t EmulatedBus::printerCount() const { return mImpl->printers.size(); }

std::size_t EmulatedBus::plug(const std::string& deviceElement) {
    const auto configs = printersOf("<simulatedBus>" + deviceElement + "</simulatedBus>");
    if (configs.size() != 1) throw std::runtime_error("plug takes one device element");
    return mImpl->addPrinter(configs[0]);
}

void EmulatedBus::unplug(std::size_t printer) {
    EmulatedDevice* device = mImpl->printers.at(printer);
    if (device->unplugged) return;
    const std::string sysfs = "/sys" + device->sysfsPath;
    // Announced while it is still there, as the kernel does.
    umockdev_testbed_uevent(mImpl->testbed, sysfs.c_str(), "remove");
    if (device->hasNode) umockdev_testbed_detach_ioctl(mImpl->testbed, device->devnode.c_str(), nullptr);
    umockdev_testbed_remove_device(mImpl->testbed, sysfs.c_str());
    std::lock_guard lock(mImpl->mutex);
    device->unplugged = true;
    device->gone = true;
    mImpl->printerPlaces.erase({device->busNumber, device->ports});
}

void EmulatedBus::announce(std::size_t printer, const char* action) {
    const EmulatedDevice* device = mImpl->printers.at(printer);
    umockdev_testbed_uevent(mImpl->testbed, ("/sys" + device->sysfsPath).c_str(), action);
}

std::uint32_t EmulatedBus::locationID(std::size_t printer) const {
    const EmulatedDevice& device = *mImpl->printers.at(printer);
    return locationOf(device.busNumber, device.ports);
}

KernelDriverState EmulatedBus::kernelDriver(std::size_t printer) const {
    std::lock_guard lock(mImpl->mutex);
    const EmulatedDevice& device = *mImpl->printers.at(printer);
    KernelDriverState state = device.record;
    state.bound = device.driverBound;
    state.otherDriversBound = std::all_of(device.others.begin(), device.others.end(),
                                          [](const auto& other) { return other.second.bound || !other.second.driver; });
    return state;
}

std::uint64_t EmulatedBus::bytesReceived(std::size_t printer) const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->printers.at(printer)->printer->bytesReceived();
}

sim::VirtualPrinter::Traffic EmulatedBus::traffic(std::size_t printer) const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->printers.at(printer)->printer->traffic();
}

bool EmulatedBus::isHalted(std::size_t printer, std::uint8_t endpointAddress) const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->printers.at(printer)->printer->isHalted(endpointAddress);
}

std::vector<sim::VirtualPrinter::ControlRecord> EmulatedBus::controlLog(std::size_t printer) const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->printers.at(printer)->printer->controlLog();
}

std::size_t EmulatedBus::pendingUrbs() const {
    std::lock_guard lock(mImpl->mutex);
    std::size_t count = 0;
    for (const auto& device : mImpl->devices) count += device->pending.size();
    return count;
}

}  // namespace zelvik::emulation
