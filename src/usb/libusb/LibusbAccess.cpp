// SPDX-License-Identifier: Apache-2.0
#include "usb/libusb/LibusbAccess.h"

#include "usb/libusb/TransferRounds.h"
#include "base/Trace.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <map>

namespace zelvik {

class LibusbContext {
public:
    explicit LibusbContext(libusb_context* context) : mContext(context) {}
    // Runs only once the last service made from this context is gone, so no
    // device reference outlives it.
    ~LibusbContext() { libusb_exit(mContext); }
    LibusbContext(const LibusbContext&) = delete;
    LibusbContext& operator=(const LibusbContext&) = delete;

    libusb_context* get() const { return mContext; }

private:
    libusb_context* mContext;
};

namespace {

using Clock = std::chrono::steady_clock;

// One open usbfs file of a device. The device object and its interface
// objects share it: Linux ties interface claims to the open file, and a
// control request addressed to an interface (GET_INTERFACE, SET_INTERFACE)
// is refused on a file that does not hold the claim. With one file per
// device, the requests the device object sends after the interface object
// has claimed the interface reach the printer.
class OpenDevice {
public:
    explicit OpenDevice(libusb_device_handle* handle) : mHandle(handle) {}
    ~OpenDevice() { libusb_close(mHandle); }
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    libusb_device_handle* get() const { return mHandle; }

    // Which interface object holds each interface's claim: the file holds
    // it for all of them, but only one object may use and release it.
    bool claim(std::uint8_t interface, const void* object) {
        const auto [held, fresh] = mClaims.try_emplace(interface, object);
        return fresh || held->second == object;
    }
    void release(std::uint8_t interface) { mClaims.erase(interface); }

private:
    libusb_device_handle* mHandle;
    std::map<std::uint8_t, const void*> mClaims;
};
using OpenDeviceRef = std::shared_ptr<OpenDevice>;

struct ConfigFree {
    void operator()(libusb_config_descriptor* config) const { libusb_free_config_descriptor(config); }
};
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigFree>;

constexpr int kMaxPortPathDepth = 7;  // USB allows at most 7 tiers

// A device on the bus: a counted libusb device reference and where it sits.
class LibusbDeviceService final : public UsbService {
public:
    LibusbDeviceService(std::shared_ptr<LibusbContext> context, libusb_device* device)
        : mContext(std::move(context)), mDevice(libusb_ref_device(device)) {
        mBusNumber = libusb_get_bus_number(mDevice);
        mAddress = libusb_get_device_address(mDevice);
        std::uint8_t ports[kMaxPortPathDepth] = {};
        const int depth = libusb_get_port_numbers(mDevice, ports, kMaxPortPathDepth);
        if (depth > 0) {
            mPortPath.assign(ports, ports + depth);
        }
    }
    ~LibusbDeviceService() override { libusb_unref_device(mDevice); }
    LibusbDeviceService(const LibusbDeviceService&) = delete;
    LibusbDeviceService& operator=(const LibusbDeviceService&) = delete;

    libusb_device* device() const { return mDevice; }

    // The device's open file, opened now if no object holds it open.
    IOReturn open(OpenDeviceRef* opened) {
        if (OpenDeviceRef existing = mOpen.lock()) {
            *opened = std::move(existing);
            return kIOReturnSuccess;
        }
        libusb_device_handle* handle = nullptr;
        const int result = libusb_open(mDevice, &handle);
        if (result != LIBUSB_SUCCESS) {
            ZELVIK_TRACE("libusb_open of device %u on bus %u: %s", libusb_get_device_address(mDevice),
                         libusb_get_bus_number(mDevice), libusb_error_name(result));
            return LibusbAccess::ioReturnFromLibusb(result);
        }
        auto fresh = std::make_shared<OpenDevice>(handle);
        mOpen = fresh;
        *opened = std::move(fresh);
        return kIOReturnSuccess;
    }

    std::uint8_t busNumber() const { return mBusNumber; }
    std::uint8_t address() const { return mAddress; }
    const std::vector<std::uint8_t>& portPath() const { return mPortPath; }

private:
    std::shared_ptr<LibusbContext> mContext;
    libusb_device* mDevice;
    std::uint8_t mBusNumber = 0;
    std::uint8_t mAddress = 0;
    std::vector<std::uint8_t> mPortPath;
    std::weak_ptr<OpenDevice> mOpen;
};

// One interface of a device's active configuration.
class LibusbInterfaceService final : public UsbService {
public:
    LibusbInterfaceService(std::shared_ptr<LibusbDeviceService> device, std::uint8_t number)
        : mDevice(std::move(device)), mNumber(number) {}

    const std::shared_ptr<LibusbDeviceService>& deviceService() const { return mDevice; }
    std::uint8_t number() const { return mNumber; }

private:
    std::shared_ptr<LibusbDeviceService> mDevice;
    std::uint8_t mNumber;
};

IOReturn activeConfig(libusb_device* device, ConfigPtr* config) {
    libusb_config_descriptor* raw = nullptr;
    const int result = libusb_get_active_config_descriptor(device, &raw);
    if (result != LIBUSB_SUCCESS) {
        return LibusbAccess::ioReturnFromLibusb(result);
    }
    config->reset(raw);
    return kIOReturnSuccess;
}

IOReturn controlTransfer(libusb_device_handle* handle, DeviceRequest& request) {
    request.wLenDone = 0;
    if (request.wLength > 0 && request.pData == nullptr) {
        return kIOReturnBadArgument;
    }
    const int result = libusb_control_transfer(handle, request.bmRequestType, request.bRequest, request.wValue,
                                               request.wIndex, static_cast<unsigned char*>(request.pData),
                                               request.wLength, LibusbAccess::kControlTimeoutMs);
    if (result < 0) {
        return LibusbAccess::ioReturnFromLibusb(result);
    }
    request.wLenDone = static_cast<std::uint32_t>(result);
    return kIOReturnSuccess;
}

class LibusbDevice final : public UsbDevice {
public:
    explicit LibusbDevice(std::shared_ptr<LibusbDeviceService> service) : mService(std::move(service)) {}

    IOReturn USBDeviceOpen() override {
        if (mHandle) {
            return kIOReturnSuccess;
        }
        return mService->open(&mHandle);
    }

    IOReturn USBDeviceClose() override {
        if (!mHandle) {
            return kIOReturnNotOpen;
        }
        mHandle.reset();
        return kIOReturnSuccess;
    }

    IOReturn GetDeviceVendor(std::uint16_t* vendorID) override {
        libusb_device_descriptor descriptor{};
        const IOReturn status = deviceDescriptor(&descriptor);
        if (status == kIOReturnSuccess && vendorID) {
            *vendorID = descriptor.idVendor;
        }
        return vendorID ? status : kIOReturnBadArgument;
    }

    IOReturn GetDeviceProduct(std::uint16_t* productID) override {
        libusb_device_descriptor descriptor{};
        const IOReturn status = deviceDescriptor(&descriptor);
        if (status == kIOReturnSuccess && productID) {
            *productID = descriptor.idProduct;
        }
        return productID ? status : kIOReturnBadArgument;
    }

    IOReturn GetLocationID(std::uint32_t* locationID) override {
        if (!locationID) {
            return kIOReturnBadArgument;
        }
        *locationID = LibusbAccess::locationIDFromPortPath(mService->busNumber(), mService->portPath());
        return kIOReturnSuccess;
    }

    IOReturn USBGetSerialNumberStringIndex(std::uint8_t* index) override {
        libusb_device_descriptor descriptor{};
        const IOReturn status = deviceDescriptor(&descriptor);
        if (status == kIOReturnSuccess && index) {
            *index = descriptor.iSerialNumber;
        }
        return index ? status : kIOReturnBadArgument;
    }

    IOReturn DeviceRequest(zelvik::DeviceRequest& request) override {
        if (!mHandle) {
            request.wLenDone = 0;
            return kIOReturnNotOpen;
        }
        return controlTransfer(mHandle->get(), request);
    }

    IOReturn CreateInterfaceIterator(std::vector<UsbServiceRef>* interfaces) override {
        if (!interfaces) {
            return kIOReturnBadArgument;
        }
        ConfigPtr config;
        const IOReturn status = activeConfig(mService->device(), &config);
        if (status != kIOReturnSuccess) {
            return status;
        }
        interfaces->clear();
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& interface = config->interface[i];
            if (interface.num_altsetting < 1) {
                continue;
            }
            interfaces->push_back(
                std::make_shared<LibusbInterfaceService>(mService, interface.altsetting[0].bInterfaceNumber));
        }
        return kIOReturnSuccess;
    }

private:
    IOReturn deviceDescriptor(libusb_device_descriptor* descriptor) const {
        // libusb keeps the device descriptor it read at enumeration; this
        // needs no open device and sends nothing.
        return LibusbAccess::ioReturnFromLibusb(libusb_get_device_descriptor(mService->device(), descriptor));
    }

    std::shared_ptr<LibusbDeviceService> mService;
    OpenDeviceRef mHandle;
};

class LibusbInterface final : public UsbInterface {
public:
    explicit LibusbInterface(std::shared_ptr<LibusbInterfaceService> service) : mService(std::move(service)) {}

    ~LibusbInterface() override {
        if (mHandle) {
            USBInterfaceClose();
        }
    }
    LibusbInterface(const LibusbInterface&) = delete;
    LibusbInterface& operator=(const LibusbInterface&) = delete;

    IOReturn USBInterfaceOpen() override {
        if (mHandle) {
            return kIOReturnSuccess;
        }
        OpenDeviceRef handle;
        const IOReturn status = mService->deviceService()->open(&handle);
        if (status != kIOReturnSuccess) {
            return status;
        }
        // A bound kernel driver (the printer class driver, usually) gives
        // the interface up for as long as we hold it and gets it back on
        // release. Platforms that cannot detach drivers say so here; the
        // claim below then tells whether the interface is free.
        if (!handle->claim(mService->number(), this)) {
            return kIOReturnExclusiveAccess;  // another object of this device holds it
        }
        libusb_set_auto_detach_kernel_driver(handle->get(), 1);
        const int result = libusb_claim_interface(handle->get(), mService->number());
        if (result != LIBUSB_SUCCESS) {
            handle->release(mService->number());
            ZELVIK_TRACE("libusb_claim_interface %u: %s", mService->number(), libusb_error_name(result));
            return LibusbAccess::ioReturnFromLibusb(result);
        }
        mHandle = std::move(handle);
        // The kernel puts every interface at alternate setting 0 when the
        // configuration is set, and only a SET_INTERFACE through usbfs
        // changes that.
        mAlternateSetting = 0;
        mConfig.reset();
        return kIOReturnSuccess;
    }

    IOReturn USBInterfaceClose() override {
        if (!mHandle) {
            return kIOReturnNotOpen;
        }
        const int result = libusb_release_interface(mHandle->get(), mService->number());
        mHandle->release(mService->number());
        mHandle.reset();
        // A device that went away has nothing left to release; the
        // interface is closed all the same.
        if (result == LIBUSB_ERROR_NO_DEVICE || result == LIBUSB_ERROR_NOT_FOUND) {
            return kIOReturnSuccess;
        }
        return LibusbAccess::ioReturnFromLibusb(result);
    }

    IOReturn GetInterfaceNumber(std::uint8_t* number) override {
        if (!number) {
            return kIOReturnBadArgument;
        }
        *number = mService->number();
        return kIOReturnSuccess;
    }

    IOReturn GetNumEndpoints(std::uint8_t* count) override {
        if (!count) {
            return kIOReturnBadArgument;
        }
        const libusb_interface_descriptor* setting = nullptr;
        const IOReturn status = currentSetting(&setting);
        if (status == kIOReturnSuccess) {
            *count = setting->bNumEndpoints;
        }
        return status;
    }

    IOReturn SetAlternateInterface(std::uint8_t alternateSetting) override {
        if (!mHandle) {
            return kIOReturnNotOpen;
        }
        const int result = libusb_set_interface_alt_setting(mHandle->get(), mService->number(), alternateSetting);
        if (result != LIBUSB_SUCCESS) {
            return LibusbAccess::ioReturnFromLibusb(result);
        }
        mAlternateSetting = alternateSetting;
        return kIOReturnSuccess;
    }

    IOReturn GetPipeProperties(std::uint8_t pipeRef, std::uint8_t* direction, std::uint8_t* number,
                               std::uint8_t* transferType, std::uint16_t* maxPacketSize,
                               std::uint8_t* interval) override {
        if (!direction || !number || !transferType || !maxPacketSize || !interval) {
            return kIOReturnBadArgument;
        }
        if (pipeRef == 0) {
            // The default control pipe has no endpoint descriptor.
            libusb_device_descriptor descriptor{};
            const int result = libusb_get_device_descriptor(mService->deviceService()->device(), &descriptor);
            if (result != LIBUSB_SUCCESS) {
                return LibusbAccess::ioReturnFromLibusb(result);
            }
            *direction = kUSBOut;
            *number = 0;
            *transferType = kUSBControl;
            *maxPacketSize = descriptor.bMaxPacketSize0;
            *interval = 0;
            return kIOReturnSuccess;
        }
        const libusb_endpoint_descriptor* endpoint = nullptr;
        const IOReturn status = endpointOf(pipeRef, &endpoint);
        if (status != kIOReturnSuccess) {
            return status;
        }
        *direction = (endpoint->bEndpointAddress & LIBUSB_ENDPOINT_IN) ? kUSBIn : kUSBOut;
        *number = endpoint->bEndpointAddress & 0x0F;
        *transferType = endpoint->bmAttributes & 0x03;
        // Bits 12-11 carry extra transactions per microframe, not size.
        *maxPacketSize = endpoint->wMaxPacketSize & 0x07FF;
        *interval = endpoint->bInterval;
        return kIOReturnSuccess;
    }

    IOReturn ControlRequest(std::uint8_t pipeRef, zelvik::DeviceRequest& request) override {
        request.wLenDone = 0;
        if (!mHandle) {
            return kIOReturnNotOpen;
        }
        if (pipeRef != 0) {
            // Printers have no control endpoint besides the default one.
            return kIOReturnBadArgument;
        }
        return controlTransfer(mHandle->get(), request);
    }

    IOReturn ReadPipeTO(std::uint8_t pipeRef, void* buf, std::uint32_t* size, std::uint32_t noDataTimeout,
                        std::uint32_t completionTimeout) override {
        if (!size) {
            return kIOReturnBadArgument;
        }
        const std::uint32_t capacity = *size;
        *size = 0;
        return transfer(pipeRef, LIBUSB_ENDPOINT_IN, static_cast<unsigned char*>(buf), capacity, size, noDataTimeout,
                        completionTimeout);
    }

    IOReturn WritePipeTO(std::uint8_t pipeRef, const void* buf, std::uint32_t size, std::uint32_t noDataTimeout,
                         std::uint32_t completionTimeout) override {
        std::uint32_t moved = 0;
        // libusb takes one buffer type for both directions; it only reads an
        // OUT transfer's buffer.
        return transfer(pipeRef, LIBUSB_ENDPOINT_OUT, static_cast<unsigned char*>(const_cast<void*>(buf)), size, &moved,
                        noDataTimeout, completionTimeout);
    }

    IOReturn ClearPipeStall(std::uint8_t pipeRef) override { return clearHalt(pipeRef); }

    IOReturn AbortPipe(std::uint8_t pipeRef) override {
        // Transfers here are synchronous: when this runs, none is pending
        // on any pipe, so there is nothing to abort.
        if (!mHandle) {
            return kIOReturnNotOpen;
        }
        if (pipeRef == 0) {
            return kIOReturnSuccess;
        }
        const libusb_endpoint_descriptor* endpoint = nullptr;
        return endpointOf(pipeRef, &endpoint);
    }

    IOReturn ResetPipe(std::uint8_t pipeRef) override { return clearHalt(pipeRef); }

    IOReturn GetDevice(UsbServiceRef* device) override {
        if (!device) {
            return kIOReturnBadArgument;
        }
        *device = mService->deviceService();
        return kIOReturnSuccess;
    }

private:
    // The interface descriptor of the current alternate setting, from the
    // active configuration (read once per open: only SET_CONFIGURATION,
    // which nothing here sends, would change it).
    IOReturn currentSetting(const libusb_interface_descriptor** setting) {
        if (!mConfig) {
            const IOReturn status = activeConfig(mService->deviceService()->device(), &mConfig);
            if (status != kIOReturnSuccess) {
                return status;
            }
        }
        for (int i = 0; i < mConfig->bNumInterfaces; ++i) {
            const libusb_interface& interface = mConfig->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor& candidate = interface.altsetting[a];
                if (candidate.bInterfaceNumber == mService->number() &&
                    candidate.bAlternateSetting == mAlternateSetting) {
                    *setting = &candidate;
                    return kIOReturnSuccess;
                }
            }
        }
        // The interface (or its setting) is not in the active configuration
        // any more: the device was reconfigured under us.
        return kIOReturnNoDevice;
    }

    IOReturn endpointOf(std::uint8_t pipeRef, const libusb_endpoint_descriptor** endpoint) {
        const libusb_interface_descriptor* setting = nullptr;
        const IOReturn status = currentSetting(&setting);
        if (status != kIOReturnSuccess) {
            return status;
        }
        if (pipeRef == 0 || pipeRef > setting->bNumEndpoints) {
            return kIOReturnBadArgument;
        }
        *endpoint = &setting->endpoint[pipeRef - 1];
        return kIOReturnSuccess;
    }

    IOReturn clearHalt(std::uint8_t pipeRef) {
        if (!mHandle) {
            return kIOReturnNotOpen;
        }
        if (pipeRef == 0) {
            // The default pipe cannot stay halted: a stall there ends with
            // the next setup packet.
            return kIOReturnSuccess;
        }
        const libusb_endpoint_descriptor* endpoint = nullptr;
        const IOReturn status = endpointOf(pipeRef, &endpoint);
        if (status != kIOReturnSuccess) {
            return status;
        }
        return LibusbAccess::ioReturnFromLibusb(libusb_clear_halt(mHandle->get(), endpoint->bEndpointAddress));
    }

    // One bulk (or interrupt) transfer with both time-outs, in the short
    // rounds of runTransferRounds: libusb knows only one time-out per
    // transfer, and silence is counted from the last round that moved data.
    IOReturn transfer(std::uint8_t pipeRef, std::uint8_t direction, unsigned char* buffer, std::uint32_t length,
                      std::uint32_t* moved, std::uint32_t noDataTimeout, std::uint32_t completionTimeout) {
        *moved = 0;
        if (!mHandle) {
            return kIOReturnNotOpen;
        }
        const libusb_endpoint_descriptor* endpoint = nullptr;
        const IOReturn status = endpointOf(pipeRef, &endpoint);
        if (status != kIOReturnSuccess) {
            return status;
        }
        const std::uint8_t address = endpoint->bEndpointAddress;
        const std::uint8_t type = endpoint->bmAttributes & 0x03;
        if ((address & LIBUSB_ENDPOINT_IN) != direction ||
            (type != LIBUSB_TRANSFER_TYPE_BULK && type != LIBUSB_TRANSFER_TYPE_INTERRUPT)) {
            return kIOReturnBadArgument;
        }
        if ((length > 0 && buffer == nullptr) || length > static_cast<std::uint32_t>(INT_MAX)) {
            return kIOReturnBadArgument;
        }

        int failure = LIBUSB_SUCCESS;
        const RoundEnd end = runTransferRounds<Clock>(
            length, moved, noDataTimeout, completionTimeout,
            [&](std::uint32_t done, std::uint32_t timeout, std::uint32_t* transferred) {
                int count = 0;
                unsigned char* const rest = buffer ? buffer + done : nullptr;
                const int left = static_cast<int>(length - done);
                const int result =
                    type == LIBUSB_TRANSFER_TYPE_BULK
                        ? libusb_bulk_transfer(mHandle->get(), address, rest, left, &count, timeout)
                        : libusb_interrupt_transfer(mHandle->get(), address, rest, left, &count, timeout);
                *transferred = static_cast<std::uint32_t>(std::max(count, 0));
                if (result == LIBUSB_SUCCESS) return RoundEnd::Complete;
                if (result == LIBUSB_ERROR_TIMEOUT) return RoundEnd::TimedOut;
                failure = result;
                return RoundEnd::Failed;
            });
        switch (end) {
            case RoundEnd::Complete: return kIOReturnSuccess;
            case RoundEnd::TimedOut: return kIOReturnTimeout;
            case RoundEnd::Failed: break;
        }
        return LibusbAccess::ioReturnFromLibusb(failure);
    }

    std::shared_ptr<LibusbInterfaceService> mService;
    OpenDeviceRef mHandle;
    std::uint8_t mAlternateSetting = 0;
    ConfigPtr mConfig;
};

}  // namespace

LibusbAccess::LibusbAccess() = default;
LibusbAccess::~LibusbAccess() = default;

std::optional<std::vector<UsbServiceRef>> LibusbAccess::copyMatchingDevices() {
    if (!mContext) {
        // libusb stays silent unless its LIBUSB_DEBUG variable says
        // otherwise; logging is never switched on from here.
        libusb_context* context = nullptr;
        if (libusb_init(&context) != LIBUSB_SUCCESS) {
            return std::nullopt;
        }
        mContext = std::make_shared<LibusbContext>(context);
    }

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(mContext->get(), &list);
    if (count < 0) {
        return std::nullopt;
    }
    std::vector<std::shared_ptr<LibusbDeviceService>> devices;
    devices.reserve(static_cast<std::size_t>(count));
    for (ssize_t i = 0; i < count; ++i) {
        devices.push_back(std::make_shared<LibusbDeviceService>(mContext, list[i]));
    }
    // The services hold their own references now.
    libusb_free_device_list(list, 1);

    // libusb lists devices in no particular order; the listing and the open
    // search must see the same order from one run to the next.
    std::sort(devices.begin(), devices.end(), [](const auto& a, const auto& b) {
        if (a->busNumber() != b->busNumber()) {
            return a->busNumber() < b->busNumber();
        }
        if (a->portPath() != b->portPath()) {
            return a->portPath() < b->portPath();
        }
        return a->address() < b->address();
    });
    return std::vector<UsbServiceRef>(devices.begin(), devices.end());
}

std::unique_ptr<UsbDevice> LibusbAccess::createDeviceInterface(const UsbServiceRef& service) {
    auto device = std::dynamic_pointer_cast<LibusbDeviceService>(service);
    if (!device) {
        return nullptr;
    }
    return std::make_unique<LibusbDevice>(std::move(device));
}

std::unique_ptr<UsbInterface> LibusbAccess::createInterfaceInterface(const UsbServiceRef& service) {
    auto interface = std::dynamic_pointer_cast<LibusbInterfaceService>(service);
    if (!interface) {
        return nullptr;
    }
    return std::make_unique<LibusbInterface>(std::move(interface));
}

IOReturn LibusbAccess::ioReturnFromLibusb(int libusbError) {
    switch (libusbError) {
        case LIBUSB_SUCCESS: return kIOReturnSuccess;
        case LIBUSB_ERROR_IO: return kIOReturnDeviceError;
        case LIBUSB_ERROR_INVALID_PARAM: return kIOReturnBadArgument;
        case LIBUSB_ERROR_ACCESS: return kIOReturnNotPermitted;
        case LIBUSB_ERROR_NO_DEVICE: return kIOReturnNoDevice;
        case LIBUSB_ERROR_NOT_FOUND:
            // An interface, setting or configuration that is not there.
            return kIOReturnBadArgument;
        case LIBUSB_ERROR_BUSY: return kIOReturnExclusiveAccess;
        case LIBUSB_ERROR_TIMEOUT: return kIOReturnTimeout;
        case LIBUSB_ERROR_OVERFLOW: return kIOReturnOverrun;
        case LIBUSB_ERROR_PIPE: return kIOUSBPipeStalled;
        case LIBUSB_ERROR_INTERRUPTED: return kIOReturnAborted;
        case LIBUSB_ERROR_NO_MEM: return kIOReturnNoMemory;
        case LIBUSB_ERROR_NOT_SUPPORTED: return kIOReturnUnsupported;
        default: return kIOReturnError;
    }
}

std::uint32_t LibusbAccess::locationIDFromPortPath(std::uint8_t busNumber, std::span<const std::uint8_t> ports) {
    std::uint32_t locationID = static_cast<std::uint32_t>(busNumber) << 24;
    int shift = 20;
    for (const std::uint8_t port : ports) {
        if (shift < 0) {
            break;
        }
        locationID |= static_cast<std::uint32_t>(std::min<std::uint8_t>(port, 0x0F)) << shift;
        shift -= 4;
    }
    return locationID;
}

}  // namespace zelvik
