// A device whose default pipe answers from a script, for checking request by
// request what the printer link asks and how it reads the replies.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "files/Bytes.h"
#include "usb/UsbAccess.h"

namespace zelvik::test {

struct Request {
    std::uint8_t bmRequestType, bRequest;
    std::uint16_t wValue, wIndex, wLength;
    bool operator==(const Request&) const = default;
};

struct Reply {
    IOReturn status = kIOReturnSuccess;
    Bytes data;  // the data stage, cut to wLength
};

class ScriptedDevice : public UsbDevice {
public:
    std::deque<Reply> script;       // once used up, requests stall
    std::vector<Request> requests;  // everything asked, oldest first

    IOReturn DeviceRequest(zelvik::DeviceRequest& r) override {
        requests.push_back({r.bmRequestType, r.bRequest, r.wValue, r.wIndex, r.wLength});
        r.wLenDone = 0;
        if (script.empty()) return kIOUSBPipeStalled;
        const Reply reply = script.front();
        script.pop_front();
        const std::size_t n = std::min<std::size_t>(reply.data.size(), r.wLength);
        if (n) std::memcpy(r.pData, reply.data.data(), n);
        r.wLenDone = static_cast<std::uint32_t>(n);
        return reply.status;
    }
    IOReturn USBDeviceOpen() override { return kIOReturnSuccess; }
    IOReturn USBDeviceClose() override { return kIOReturnSuccess; }
    IOReturn GetDeviceVendor(std::uint16_t*) override { return kIOReturnUnsupported; }
    IOReturn GetDeviceProduct(std::uint16_t*) override { return kIOReturnUnsupported; }
    IOReturn GetLocationID(std::uint32_t*) override { return kIOReturnUnsupported; }
    IOReturn USBGetSerialNumberStringIndex(std::uint8_t*) override { return kIOReturnUnsupported; }
    IOReturn CreateInterfaceIterator(std::vector<UsbServiceRef>*) override { return kIOReturnUnsupported; }
};

// A string descriptor holding these UTF-16 units.
inline Bytes stringDescriptor(std::initializer_list<std::uint16_t> units) {
    Bytes d{static_cast<std::uint8_t>(2 + 2 * units.size()), 3};
    for (std::uint16_t u : units) {
        d.push_back(static_cast<std::uint8_t>(u));
        d.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return d;
}

}  // namespace zelvik::test
