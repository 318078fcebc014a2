// SPDX-License-Identifier: Apache-2.0
// The in-process bus of virtual printers behind the USB access layer.
#include "usb/sim/SimulatedUsbAccess.h"

#include "base/Trace.h"
#include "base/UniqueFD.h"
#include "usb/sim/BusFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelvik {

using sim::Clock;
using sim::VirtualPrinter;

struct SimulatedUsbAccess::Bus {
    struct Slot {
        std::unique_ptr<VirtualPrinter> model;
        Activity activity;
        bool unplugged = false;
    };

    std::mutex mutex;
    std::condition_variable changed;
    bool loaded = false;
    std::optional<std::string> busFile;  // read on first use
    std::vector<Slot> slots;
    std::uint64_t aborts = 0;  // wakes transfers that AbortPipe ends

    // With the lock held.
    void load(std::vector<sim::VirtualPrinterConfig> printers) {
        sim::applyBusDefaults(printers);
        const auto now = Clock::now();
        for (auto& config : printers) {
            slots.push_back({std::make_unique<VirtualPrinter>(std::move(config), now), {}, false});
        }
        loaded = true;
    }
    // A bus file that is refused is an empty bus, as one that cannot be
    // read; the trace says why.
    void ensureLoaded() {
        if (loaded) return;
        if (!busFile) return load({});
        sim::BusFile file = sim::readBusFile(*busFile);
        if (file.error) {
            ZELVIK_TRACE("bus file refused, the bus is empty: %s",
                         sim::describeBusFileError(*busFile, *file.error).c_str());
        }
        load(std::move(file.printers));
    }
    bool gone(std::size_t index) const { return slots[index].unplugged || slots[index].model->disconnected(); }

    // A printer of a bus file is one printer for every process of the user
    // that reads the file, as a real one is: while interface 0 is claimed,
    // the claim holds a lock on byte `index` of the bus's lock file,
    // "zelvik-sim-DEVICE-INODE.lock" (the bus file's identity) in the user's
    // runtime folder ($XDG_RUNTIME_DIR, else the temporary folder). The lock
    // is an open-file-description lock, so it goes with the descriptor, also
    // when the process dies. Without a bus file, or where the lock file
    // cannot be made, the claim is exclusive within the process only. Gives
    // the descriptor holding the lock (none without one), or nothing when
    // another process holds the printer.
    std::optional<UniqueFD> lockPrinter(std::size_t index, std::string& lockFile) const {
        if (!busFile) return UniqueFD();
        struct stat identity {};
        if (::stat(busFile->c_str(), &identity) != 0) return UniqueFD();
        const char* folder = std::getenv("XDG_RUNTIME_DIR");
        if (folder == nullptr || *folder != '/') folder = std::getenv("TMPDIR");
        if (folder == nullptr || *folder != '/') folder = "/tmp";
        const std::string lockPath = std::string(folder) + "/zelvik-sim-" +
                                     std::to_string(static_cast<unsigned long long>(identity.st_dev)) + "-" +
                                     std::to_string(static_cast<unsigned long long>(identity.st_ino)) + ".lock";
        // The last claim to let go removes the file; a claim that locked a
        // file removed meanwhile tries again on the new one.
        for (int attempt = 0; attempt < 8; ++attempt) {
            UniqueFD fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
            if (!fd.isValid()) return fd;
            struct flock range {};
            range.l_type = F_WRLCK;
            range.l_whence = SEEK_SET;
            range.l_start = static_cast<off_t>(index);
            range.l_len = 1;
            if (::fcntl(fd.get(), F_OFD_SETLK, &range) != 0) {
                if (errno == EAGAIN || errno == EACCES) return std::nullopt;
                return UniqueFD();
            }
            struct stat held {
            }, named{};
            if (::fstat(fd.get(), &held) == 0 && ::stat(lockPath.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                held.st_ino == named.st_ino) {
                lockFile = lockPath;
                return fd;
            }
        }
        return UniqueFD();
    }
    // Lets go of a claim's lock; removes the lock file when no other claim
    // holds any printer of the bus.
    static void unlockPrinter(UniqueFD fd, const std::string& lockFile) {
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (::fcntl(fd.get(), F_OFD_SETLK, &whole) == 0) ::unlink(lockFile.c_str());
    }
};

namespace {

using Bus = SimulatedUsbAccess::Bus;
using Lock = std::unique_lock<std::mutex>;

class DeviceService final : public UsbService {
public:
    DeviceService(std::shared_ptr<Bus> onBus, std::size_t at) : bus(std::move(onBus)), index(at) {}
    std::shared_ptr<Bus> bus;
    std::size_t index;
};

class InterfaceService final : public UsbService {
public:
    InterfaceService(std::shared_ptr<Bus> onBus, std::size_t at, std::uint8_t interfaceNumber)
        : bus(std::move(onBus)), index(at), number(interfaceNumber) {}
    std::shared_ptr<Bus> bus;
    std::size_t index;
    std::uint8_t number;
};

Clock::time_point deadlineAfter(Clock::time_point from, std::uint32_t ms) {
    return ms == 0 ? Clock::time_point::max() : from + std::chrono::milliseconds(ms);
}

void waitUntil(Bus& bus, Lock& lock, Clock::time_point wake) {
    if (wake == Clock::time_point::max()) {
        bus.changed.wait(lock);
    } else {
        bus.changed.wait_until(lock, wake);
    }
}

// A control request to the printer model, with the lock held.
IOReturn sendControl(VirtualPrinter& model, DeviceRequest& request) {
    request.wLenDone = 0;
    if (request.wLength > 0 && request.pData == nullptr) return kIOReturnBadArgument;
    const bool in = (request.bmRequestType & 0x80) != 0;
    const auto result = model.control(request.bmRequestType, request.bRequest, request.wValue, request.wIndex,
                                      request.wLength, in ? static_cast<std::uint8_t*>(request.pData) : nullptr);
    if (result.stalled) return kIOUSBPipeStalled;
    request.wLenDone = in ? result.length : request.wLength;
    return kIOReturnSuccess;
}

class SimDevice final : public UsbDevice {
public:
    SimDevice(std::shared_ptr<Bus> bus, std::size_t index) : mBus(std::move(bus)), mIndex(index) {}
    ~SimDevice() override {
        if (mOpen) USBDeviceClose();
    }

    IOReturn USBDeviceOpen() override {
        Lock lock(mBus->mutex);
        auto& slot = mBus->slots[mIndex];
        if (mBus->gone(mIndex)) return kIOReturnNoDevice;
        if (mOpen || slot.activity.deviceOpen || slot.model->config().heldOpen) {
            return kIOReturnExclusiveAccess;
        }
        mOpen = true;
        slot.activity.deviceOpen = true;
        ++slot.activity.deviceOpens;
        return kIOReturnSuccess;
    }

    IOReturn USBDeviceClose() override {
        Lock lock(mBus->mutex);
        if (!mOpen) return kIOReturnNotOpen;
        auto& slot = mBus->slots[mIndex];
        mOpen = false;
        slot.activity.deviceOpen = false;
        ++slot.activity.deviceCloses;
        return kIOReturnSuccess;
    }

    IOReturn GetDeviceVendor(std::uint16_t* vendorID) override {
        return readIdentity(vendorID, [this] { return model().vendorID(); });
    }

    IOReturn GetDeviceProduct(std::uint16_t* productID) override {
        return readIdentity(productID, [this] { return model().config().productID; });
    }

    IOReturn GetLocationID(std::uint32_t* locationID) override {
        return readIdentity(locationID, [this] { return model().config().locationID.value_or(0); });
    }

    IOReturn USBGetSerialNumberStringIndex(std::uint8_t* index) override {
        return readIdentity(index, [this] { return model().serialNumberStringIndex(); });
    }

    IOReturn DeviceRequest(zelvik::DeviceRequest& request) override {
        Lock lock(mBus->mutex);
        request.wLenDone = 0;
        if (mBus->gone(mIndex)) return kIOReturnNoDevice;
        if (!mOpen) return kIOReturnNotOpen;
        return sendControl(model(), request);
    }

    IOReturn CreateInterfaceIterator(std::vector<UsbServiceRef>* interfaces) override {
        Lock lock(mBus->mutex);
        if (interfaces == nullptr) return kIOReturnBadArgument;
        if (mBus->gone(mIndex)) return kIOReturnNoDevice;
        interfaces->clear();
        for (const std::uint8_t number : model().interfaceNumbers()) {
            interfaces->push_back(std::make_shared<InterfaceService>(mBus, mIndex, number));
        }
        return kIOReturnSuccess;
    }

private:
    // An identity value of the device: no open needed, but the device must
    // still be on the bus.
    template <typename T, typename Read>
    IOReturn readIdentity(T* out, Read read) {
        Lock lock(mBus->mutex);
        if (out == nullptr) return kIOReturnBadArgument;
        if (mBus->gone(mIndex)) return kIOReturnNoDevice;
        *out = static_cast<T>(read());
        return kIOReturnSuccess;
    }

    VirtualPrinter& model() { return *mBus->slots[mIndex].model; }

    std::shared_ptr<Bus> mBus;
    std::size_t mIndex;
    bool mOpen = false;
};

// One interface of a virtual printer. Interface 0 is the printer with its
// pipes; the other interfaces of a multifunction printer can be claimed and
// released (each claim is counted), but their pipes are not modelled.
class SimInterface final : public UsbInterface {
public:
    SimInterface(std::shared_ptr<Bus> bus, std::size_t index, std::uint8_t number)
        : mBus(std::move(bus)), mIndex(index), mNumber(number) {}
    ~SimInterface() override {
        if (mOpen) USBInterfaceClose();
    }

    IOReturn USBInterfaceOpen() override {
        Lock lock(mBus->mutex);
        auto& slot = mBus->slots[mIndex];
        if (mBus->gone(mIndex)) return kIOReturnNoDevice;
        if (mNumber != 0) {
            if (mOpen) return kIOReturnExclusiveAccess;
            mOpen = true;
            ++slot.activity.otherInterfaceOpens;
            return kIOReturnSuccess;
        }
        if (mOpen || slot.activity.interfaceOpen || slot.model->config().interfaceHeldOpen) {
            return kIOReturnExclusiveAccess;
        }
        std::optional<UniqueFD> hold = mBus->lockPrinter(mIndex, mLockFile);
        if (!hold) return kIOReturnExclusiveAccess;
        mLock = std::move(*hold);
        mOpen = true;
        mHostHalted.clear();
        slot.activity.interfaceOpen = true;
        ++slot.activity.interfaceOpens;
        return kIOReturnSuccess;
    }

    IOReturn USBInterfaceClose() override {
        Lock lock(mBus->mutex);
        if (!mOpen) return kIOReturnNotOpen;
        auto& slot = mBus->slots[mIndex];
        mOpen = false;
        if (mNumber != 0) return kIOReturnSuccess;
        if (mLock.isValid()) Bus::unlockPrinter(std::move(mLock), mLockFile);
        mHostHalted.clear();
        slot.activity.interfaceOpen = false;
        ++slot.activity.interfaceCloses;
        mBus->changed.notify_all();
        return kIOReturnSuccess;
    }

    IOReturn GetInterfaceNumber(std::uint8_t* number) override {
        if (number == nullptr) return kIOReturnBadArgument;
        Lock lock(mBus->mutex);
        if (mBus->gone(mIndex)) return kIOReturnNoDevice;
        *number = mNumber;
        return kIOReturnSuccess;
    }

    IOReturn GetNumEndpoints(std::uint8_t* count) override {
        if (count == nullptr) return kIOReturnBadArgument;
        Lock lock(mBus->mutex);
        if (const IOReturn status = usable(); status != kIOReturnSuccess) return status;
        *count = static_cast<std::uint8_t>(endpoints().size());
        return kIOReturnSuccess;
    }

    IOReturn SetAlternateInterface(std::uint8_t alternateSetting) override {
        Lock lock(mBus->mutex);
        if (const IOReturn status = usable(); status != kIOReturnSuccess) return status;
        // The host asks the device with a SET_INTERFACE request.
        const auto result = model().control(0x01, 0x0B, alternateSetting, 0, 0, nullptr);
        if (result.stalled) return kIOUSBPipeStalled;
        mHostHalted.clear();
        return kIOReturnSuccess;
    }

    IOReturn GetPipeProperties(std::uint8_t pipeRef, std::uint8_t* direction, std::uint8_t* number,
                               std::uint8_t* transferType, std::uint16_t* maxPacketSize,
                               std::uint8_t* interval) override {
        if (!direction || !number || !transferType || !maxPacketSize || !interval) {
            return kIOReturnBadArgument;
        }
        Lock lock(mBus->mutex);
        if (const IOReturn status = usable(); status != kIOReturnSuccess) return status;
        if (model().endpointAddress(pipeRef) == 0) return kIOReturnBadArgument;
        const sim::EndpointDescription& ep = endpoints()[pipeRef - 1];
        *direction = ep.isIn() ? kUSBIn : kUSBOut;
        *number = static_cast<std::uint8_t>(ep.address & 0x0F);
        *transferType = static_cast<std::uint8_t>(ep.type);
        *maxPacketSize = ep.maxPacketSize;
        *interval = ep.interval();
        return kIOReturnSuccess;
    }

    IOReturn ControlRequest(std::uint8_t pipeRef, zelvik::DeviceRequest& request) override {
        Lock lock(mBus->mutex);
        request.wLenDone = 0;
        if (const IOReturn status = usable(); status != kIOReturnSuccess) return status;
        if (pipeRef != 0) return kIOReturnBadArgument;
        return sendControl(model(), request);
    }

    IOReturn ReadPipeTO(std::uint8_t pipeRef, void* buf, std::uint32_t* size, std::uint32_t noDataTimeout,
                        std::uint32_t completionTimeout) override {
        if (size == nullptr || (*size > 0 && buf == nullptr)) return kIOReturnBadArgument;
        const std::uint32_t capacity = *size;
        *size = 0;
        Lock lock(mBus->mutex);
        if (const IOReturn status = bulkPipe(pipeRef, true); status != kIOReturnSuccess) {
            return status;
        }
        const auto start = Clock::now();
        // Nothing moves on a read until it completes, so both limits count
        // from its start.
        const auto limit = std::min(deadlineAfter(start, noDataTimeout), deadlineAfter(start, completionTimeout));
        const std::uint64_t aborts = mBus->aborts;
        for (;;) {
            if (const IOReturn status = stillRunning(aborts); status != kIOReturnSuccess) {
                return status;
            }
            const auto now = Clock::now();
            auto result = model().readBulk(model().endpointAddress(pipeRef), capacity, now);
            switch (result.kind) {
                case VirtualPrinter::ReadKind::Data:
                    std::memcpy(buf, result.bytes.data(), result.bytes.size());
                    *size = static_cast<std::uint32_t>(result.bytes.size());
                    return kIOReturnSuccess;
                case VirtualPrinter::ReadKind::ZeroLength: return kIOReturnSuccess;
                case VirtualPrinter::ReadKind::Stalled: hostHalt(pipeRef); return kIOUSBPipeStalled;
                case VirtualPrinter::ReadKind::Nothing: break;
            }
            if (now >= limit) return kIOReturnTimeout;
            waitUntil(*mBus, lock, std::min(limit, result.readyAt));
        }
    }

    IOReturn WritePipeTO(std::uint8_t pipeRef, const void* buf, std::uint32_t size, std::uint32_t noDataTimeout,
                         std::uint32_t completionTimeout) override {
        if (size > 0 && buf == nullptr) return kIOReturnBadArgument;
        Lock lock(mBus->mutex);
        if (const IOReturn status = bulkPipe(pipeRef, false); status != kIOReturnSuccess) {
            return status;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(buf);
        std::size_t sent = 0;
        const auto start = Clock::now();
        const auto completionLimit = deadlineAfter(start, completionTimeout);
        auto lastMoved = start;
        const std::uint64_t aborts = mBus->aborts;
        for (;;) {
            if (const IOReturn status = stillRunning(aborts); status != kIOReturnSuccess) {
                return status;
            }
            const auto now = Clock::now();
            const auto result = model().writeBulk(model().endpointAddress(pipeRef),
                                                  std::span<const std::uint8_t>(bytes + sent, size - sent), now);
            sent += result.accepted;
            if (result.accepted > 0) {
                lastMoved = now;
                mBus->changed.notify_all();  // a reader elsewhere may have an answer now
            }
            if (result.stalled) {
                hostHalt(pipeRef);
                return kIOUSBPipeStalled;
            }
            if (result.complete) return kIOReturnSuccess;
            if (mBus->gone(mIndex)) return kIOReturnNoDevice;
            const auto limit = std::min(completionLimit, deadlineAfter(lastMoved, noDataTimeout));
            if (now >= limit) {
                // The silence on the clock the limits are counted on: since
                // the transfer's last byte moved, or since its start.
                ZELVIK_TRACE("virtual printer %zu: bulk out timed out, silent for %.6f s (%zu of %u bytes moved)",
                             mIndex, std::chrono::duration<double>(now - lastMoved).count(), sent, size);
                return kIOReturnTimeout;
            }
            waitUntil(*mBus, lock, std::min(limit, result.retryAt));
        }
    }

    IOReturn ClearPipeStall(std::uint8_t pipeRef) override {
        Lock lock(mBus->mutex);
        if (const IOReturn status = usable(); status != kIOReturnSuccess) return status;
        const std::uint8_t address = model().endpointAddress(pipeRef);
        if (address == 0) return kIOReturnBadArgument;
        // One halt flag per endpoint in the model: the clear reaches both ends.
        mHostHalted.erase(std::remove(mHostHalted.begin(), mHostHalted.end(), pipeRef), mHostHalted.end());
        model().clearHalt(address);
        return kIOReturnSuccess;
    }

    IOReturn AbortPipe(std::uint8_t pipeRef) override {
        Lock lock(mBus->mutex);
        if (const IOReturn status = usable(); status != kIOReturnSuccess) return status;
        if (model().endpointAddress(pipeRef) == 0) return kIOReturnBadArgument;
        ++mBus->aborts;
        mBus->changed.notify_all();
        return kIOReturnSuccess;
    }

    IOReturn ResetPipe(std::uint8_t pipeRef) override {
        Lock lock(mBus->mutex);
        if (const IOReturn status = usable(); status != kIOReturnSuccess) return status;
        if (model().endpointAddress(pipeRef) == 0) return kIOReturnBadArgument;
        mHostHalted.erase(std::remove(mHostHalted.begin(), mHostHalted.end(), pipeRef), mHostHalted.end());
        return kIOReturnSuccess;
    }

    IOReturn GetDevice(UsbServiceRef* device) override {
        if (device == nullptr) return kIOReturnBadArgument;
        Lock lock(mBus->mutex);
        if (mBus->gone(mIndex)) return kIOReturnNoDevice;
        *device = std::make_shared<DeviceService>(mBus, mIndex);
        return kIOReturnSuccess;
    }

private:
    VirtualPrinter& model() { return *mBus->slots[mIndex].model; }
    const std::vector<sim::EndpointDescription>& endpoints() { return model().currentEndpoints(0); }

    // With the lock held: the interface is there and open, and it is the
    // printer interface.
    IOReturn usable() {
        if (mBus->gone(mIndex)) return kIOReturnNoDevice;
        if (!mOpen) return kIOReturnNotOpen;
        if (mNumber != 0) return kIOReturnUnsupported;
        return kIOReturnSuccess;
    }

    // With the lock held: the pipe is a bulk pipe of this direction and not
    // halted on the host side.
    IOReturn bulkPipe(std::uint8_t pipeRef, bool in) {
        if (const IOReturn status = usable(); status != kIOReturnSuccess) return status;
        if (model().endpointAddress(pipeRef) == 0) return kIOReturnBadArgument;
        const sim::EndpointDescription& ep = endpoints()[pipeRef - 1];
        if (!ep.isBulk() || ep.isIn() != in) return kIOReturnBadArgument;
        if (std::find(mHostHalted.begin(), mHostHalted.end(), pipeRef) != mHostHalted.end()) {
            return kIOUSBPipeStalled;
        }
        return kIOReturnSuccess;
    }

    // With the lock held, between the steps of a waiting transfer.
    IOReturn stillRunning(std::uint64_t aborts) {
        if (mBus->gone(mIndex)) return kIOReturnNoDevice;
        if (!mOpen) return kIOReturnNotOpen;
        if (mBus->aborts != aborts) return kIOReturnAborted;
        return kIOReturnSuccess;
    }

    void hostHalt(std::uint8_t pipeRef) {
        if (std::find(mHostHalted.begin(), mHostHalted.end(), pipeRef) == mHostHalted.end()) {
            mHostHalted.push_back(pipeRef);
        }
    }

    std::shared_ptr<Bus> mBus;
    std::size_t mIndex;
    std::uint8_t mNumber;
    bool mOpen = false;
    UniqueFD mLock;  // the claim's hold on the printer across processes
    std::string mLockFile;
    std::vector<std::uint8_t> mHostHalted;  // pipe references
};

}  // namespace

SimulatedUsbAccess::SimulatedUsbAccess(std::vector<sim::VirtualPrinterConfig> printers)
    : mBus(std::make_shared<Bus>()) {
    mBus->load(std::move(printers));
}

SimulatedUsbAccess::SimulatedUsbAccess(std::shared_ptr<Bus> bus) : mBus(std::move(bus)) {}

SimulatedUsbAccess::~SimulatedUsbAccess() = default;

std::unique_ptr<SimulatedUsbAccess> SimulatedUsbAccess::fromEnvironment() {
    auto bus = std::make_shared<Bus>();
    if (const char* path = std::getenv("ZELVIK_SIMULATED_BUS"); path != nullptr && *path != 0) {
        bus->busFile = path;
    }
    return std::unique_ptr<SimulatedUsbAccess>(new SimulatedUsbAccess(std::move(bus)));
}

std::optional<std::vector<UsbServiceRef>> SimulatedUsbAccess::copyMatchingDevices() {
    Lock lock(mBus->mutex);
    mBus->ensureLoaded();
    std::vector<UsbServiceRef> services;
    for (std::size_t i = 0; i < mBus->slots.size(); ++i) {
        if (!mBus->gone(i)) services.push_back(std::make_shared<DeviceService>(mBus, i));
    }
    return services;
}

std::unique_ptr<UsbDevice> SimulatedUsbAccess::createDeviceInterface(const UsbServiceRef& service) {
    const auto* device = dynamic_cast<const DeviceService*>(service.get());
    if (device == nullptr || device->bus != mBus) return nullptr;
    Lock lock(mBus->mutex);
    if (device->index >= mBus->slots.size() || mBus->gone(device->index)) return nullptr;
    return std::make_unique<SimDevice>(mBus, device->index);
}

std::unique_ptr<UsbInterface> SimulatedUsbAccess::createInterfaceInterface(const UsbServiceRef& service) {
    const auto* interface = dynamic_cast<const InterfaceService*>(service.get());
    if (interface == nullptr || interface->bus != mBus) return nullptr;
    Lock lock(mBus->mutex);
    if (interface->index >= mBus->slots.size() || mBus->gone(interface->index)) return nullptr;
    return std::make_unique<SimInterface>(mBus, interface->index, interface->number);
}

sim::VirtualPrinter& SimulatedUsbAccess::printer(std::size_t index) {
    Lock lock(mBus->mutex);
    mBus->ensureLoaded();
    if (index >= mBus->slots.size()) std::abort();
    return *mBus->slots[index].model;
}

std::size_t SimulatedUsbAccess::printerCount() {
    Lock lock(mBus->mutex);
    mBus->ensureLoaded();
    return mBus->slots.size();
}

SimulatedUsbAccess::Activity SimulatedUsbAccess::activity(std::size_t index) {
    Lock lock(mBus->mutex);
    mBus->ensureLoaded();
    if (index >= mBus->slots.size()) std::abort();
    return mBus->slots[index].activity;
}

std::size_t SimulatedUsbAccess::openDeviceCount() {
    Lock lock(mBus->mutex);
    return static_cast<std::size_t>(std::count_if(mBus->slots.begin(), mBus->slots.end(),
                                                  [](const Bus::Slot& slot) { return slot.activity.deviceOpen; }));
}

std::size_t SimulatedUsbAccess::openInterfaceCount() {
    Lock lock(mBus->mutex);
    return static_cast<std::size_t>(std::count_if(mBus->slots.begin(), mBus->slots.end(),
                                                  [](const Bus::Slot& slot) { return slot.activity.interfaceOpen; }));
}

void SimulatedUsbAccess::unplug(std::size_t index) {
    Lock lock(mBus->mutex);
    mBus->ensureLoaded();
    if (index >= mBus->slots.size()) std::abort();
    mBus->slots[index].unplugged = true;
    mBus->changed.notify_all();
}

}  // namespace zelvik
