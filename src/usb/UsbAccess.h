// SPDX-License-Identifier: Apache-2.0
// The USB access layer: the narrow set of operations the printer link uses
// to find USB devices, identify them and move bytes over an interface's
// pipes. Two implementations stand behind it: libusb (real hardware) and a
// simulated bus of virtual printers (tests, demonstrations). Nothing above
// this layer knows which one it has.
//
// Conventions shared by every implementation:
//  - Every operation returns an IOReturn status: 0 for success, otherwise one
//    of the non-zero values below. Callers compare with 0, and with
//    kIOUSBPipeStalled, kIOReturnOverrun and kIOReturnUnderrun where they say
//    so; the other values only tell failures apart for a human reader.
//  - A service is a reference-counted handle to a device or an interface as
//    the bus presents it. Holding a service keeps nothing open.
//  - A device or interface object made from a service is closed on open only
//    by its explicit open/close calls; destroying an open one closes it.
//  - Pipe references are 1-based indexes into the endpoints of the
//    interface's current alternate setting; reference 0 is the default
//    control pipe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace zelvik {

using IOReturn = std::uint32_t;

constexpr IOReturn kIOReturnSuccess = 0;
constexpr IOReturn kIOReturnError = 0xE00002BC;  // general failure
constexpr IOReturn kIOReturnNoMemory = 0xE00002BD;
constexpr IOReturn kIOReturnNoDevice = 0xE00002C0;  // the device went away
constexpr IOReturn kIOReturnBadArgument = 0xE00002C2;
constexpr IOReturn kIOReturnUnsupported = 0xE00002C7;
constexpr IOReturn kIOReturnNotOpen = 0xE00002CD;          // no open device/interface
constexpr IOReturn kIOReturnExclusiveAccess = 0xE00002C5;  // held by another client
constexpr IOReturn kIOReturnBusy = 0xE00002D5;
constexpr IOReturn kIOReturnTimeout = 0xE00002D6;
constexpr IOReturn kIOReturnNotPermitted = 0xE00002E2;
constexpr IOReturn kIOReturnUnderrun = 0xE00002E7;
constexpr IOReturn kIOReturnOverrun = 0xE00002E8;
constexpr IOReturn kIOReturnDeviceError = 0xE00002E9;
constexpr IOReturn kIOReturnAborted = 0xE00002EB;
constexpr IOReturn kIOReturnNotResponding = 0xE00002ED;
constexpr IOReturn kIOUSBPipeStalled = 0xE000404F;

// The status's name for the diagnostic trace ("kIOReturnTimeout"); statuses
// without a name here are "other".
constexpr const char* nameOfIOReturn(IOReturn status) {
    switch (status) {
        case kIOReturnSuccess: return "kIOReturnSuccess";
        case kIOReturnError: return "kIOReturnError";
        case kIOReturnNoMemory: return "kIOReturnNoMemory";
        case kIOReturnNoDevice: return "kIOReturnNoDevice";
        case kIOReturnBadArgument: return "kIOReturnBadArgument";
        case kIOReturnUnsupported: return "kIOReturnUnsupported";
        case kIOReturnNotOpen: return "kIOReturnNotOpen";
        case kIOReturnExclusiveAccess: return "kIOReturnExclusiveAccess";
        case kIOReturnBusy: return "kIOReturnBusy";
        case kIOReturnTimeout: return "kIOReturnTimeout";
        case kIOReturnNotPermitted: return "kIOReturnNotPermitted";
        case kIOReturnUnderrun: return "kIOReturnUnderrun";
        case kIOReturnOverrun: return "kIOReturnOverrun";
        case kIOReturnDeviceError: return "kIOReturnDeviceError";
        case kIOReturnAborted: return "kIOReturnAborted";
        case kIOReturnNotResponding: return "kIOReturnNotResponding";
        case kIOUSBPipeStalled: return "kIOUSBPipeStalled";
        default: return "other";
    }
}

// Pipe properties as the printer link reads them.
enum : std::uint8_t { kUSBOut = 0, kUSBIn = 1 };
enum : std::uint8_t { kUSBControl = 0, kUSBIsoc = 1, kUSBBulk = 2, kUSBInterrupt = 3 };

// One control request. The data stage, if any, uses pData; wLenDone says
// how many bytes actually moved.
struct DeviceRequest {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
    void* pData = nullptr;
    std::uint32_t wLenDone = 0;
};

// A device or interface as the bus presents it. Backends derive from it.
class UsbService {
public:
    virtual ~UsbService() = default;
};
using UsbServiceRef = std::shared_ptr<UsbService>;

class UsbInterface;

// A USB device, reached through its default pipe.
class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // Opening fails when another program holds the device.
    virtual IOReturn USBDeviceOpen() = 0;
    virtual IOReturn USBDeviceClose() = 0;

    virtual IOReturn GetDeviceVendor(std::uint16_t* vendorID) = 0;
    virtual IOReturn GetDeviceProduct(std::uint16_t* productID) = 0;
    // Bus number in bits 31-24, then one 4-bit field per port of the
    // device's port path from bits 23-20 downward.
    virtual IOReturn GetLocationID(std::uint32_t* locationID) = 0;
    virtual IOReturn USBGetSerialNumberStringIndex(std::uint8_t* index) = 0;

    // A control request on the default pipe; needs the device open.
    virtual IOReturn DeviceRequest(zelvik::DeviceRequest& request) = 0;

    // The interface services of the device's active configuration, in
    // interface order.
    virtual IOReturn CreateInterfaceIterator(std::vector<UsbServiceRef>* interfaces) = 0;
};

// One interface of a device, with its pipes.
class UsbInterface {
public:
    virtual ~UsbInterface() = default;

    // Exclusive claim; fails when another program holds the interface.
    virtual IOReturn USBInterfaceOpen() = 0;
    virtual IOReturn USBInterfaceClose() = 0;

    virtual IOReturn GetInterfaceNumber(std::uint8_t* number) = 0;
    virtual IOReturn GetNumEndpoints(std::uint8_t* count) = 0;
    virtual IOReturn SetAlternateInterface(std::uint8_t alternateSetting) = 0;
    virtual IOReturn GetPipeProperties(std::uint8_t pipeRef, std::uint8_t* direction, std::uint8_t* number,
                                       std::uint8_t* transferType, std::uint16_t* maxPacketSize,
                                       std::uint8_t* interval) = 0;

    // A control request on pipe 0 of the interface's device.
    virtual IOReturn ControlRequest(std::uint8_t pipeRef, zelvik::DeviceRequest& request) = 0;

    // Synchronous bulk transfers. noDataTimeout bounds the time without any
    // data moving, completionTimeout the whole transfer (milliseconds). A
    // read sets *size to the bytes received (0 for a zero-length packet); a
    // write of 0 bytes sends a zero-length packet.
    virtual IOReturn ReadPipeTO(std::uint8_t pipeRef, void* buf, std::uint32_t* size, std::uint32_t noDataTimeout,
                                std::uint32_t completionTimeout) = 0;
    virtual IOReturn WritePipeTO(std::uint8_t pipeRef, const void* buf, std::uint32_t size, std::uint32_t noDataTimeout,
                                 std::uint32_t completionTimeout) = 0;

    // Host-side halt clearing, and abort/reset of a pipe.
    virtual IOReturn ClearPipeStall(std::uint8_t pipeRef) = 0;
    virtual IOReturn AbortPipe(std::uint8_t pipeRef) = 0;
    virtual IOReturn ResetPipe(std::uint8_t pipeRef) = 0;

    // The device service the interface belongs to.
    virtual IOReturn GetDevice(UsbServiceRef* device) = 0;
};

// The bus.
class UsbAccess {
public:
    virtual ~UsbAccess() = default;

    // Every device service attached now, in a stable order; nothing when the
    // bus cannot be reached at all.
    virtual std::optional<std::vector<UsbServiceRef>> copyMatchingDevices() = 0;

    // The device or interface object for a service; null when the service
    // is not of that kind or the object cannot be made.
    virtual std::unique_ptr<UsbDevice> createDeviceInterface(const UsbServiceRef& service) = 0;
    virtual std::unique_ptr<UsbInterface> createInterfaceInterface(const UsbServiceRef& service) = 0;
};

}  // namespace zelvik
