// SPDX-License-Identifier: Apache-2.0
// The USB access layer on libusb-1.0: how the program reaches real printers.
//
// libusb is started only when the bus is first asked for its devices, so a
// command that never looks at the bus touches nothing. Each LibusbAccess has
// its own libusb context; the services it hands out share that context, so
// they stay valid even when they outlive the LibusbAccess that made them.
//
// What the layer promises on Linux:
//  - devices are listed in a stable order: bus number, then port path;
//  - a location ID is the bus number in bits 31-24 followed by one 4-bit
//    field per port of the port path, from bits 23-20 downward;
//  - opening a device is not exclusive (usbfs has no such notion), so a
//    printer that another program uses can still be identified;
//  - a device and its interfaces share one open usbfs file, so requests on
//    the default pipe still reach an interface after it has been claimed;
//  - opening an interface claims it. A kernel driver bound to the interface
//    (the printer class driver, typically) is detached for the claim and
//    re-attached when the interface is released; an interface that another
//    program, or another interface object, has claimed cannot be opened;
//  - bulk transfers honour both the no-data and the completion time-out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "usb/UsbAccess.h"

namespace zelvik {

// One libusb context, shared by a LibusbAccess and every service it made.
class LibusbContext;

class LibusbAccess : public UsbAccess {
public:
    LibusbAccess();
    ~LibusbAccess() override;
    LibusbAccess(const LibusbAccess&) = delete;
    LibusbAccess& operator=(const LibusbAccess&) = delete;

    std::optional<std::vector<UsbServiceRef>> copyMatchingDevices() override;
    std::unique_ptr<UsbDevice> createDeviceInterface(const UsbServiceRef& service) override;
    std::unique_ptr<UsbInterface> createInterfaceInterface(const UsbServiceRef& service) override;

    // The control-transfer time-out of DeviceRequest and ControlRequest. The
    // platform interface has no time-out argument for them; a printer that
    // does not answer a standard request within this time is not answering.
    static constexpr unsigned kControlTimeoutMs = 5000;

    // The one place where libusb's error codes become IOReturn values.
    static IOReturn ioReturnFromLibusb(int libusbError);

    // The location ID of a device on `busNumber` whose port path (from the
    // root hub down) is `ports`. The format has room for six ports of 4 bits:
    // deeper ports are left out, and a port number above 15 shows as 15 (a
    // 0 field would read as the end of the path).
    static std::uint32_t locationIDFromPortPath(std::uint8_t busNumber, std::span<const std::uint8_t> ports);

private:
    // Started on first use; null until then. A failed start is tried again
    // the next time the bus is asked for.
    std::shared_ptr<LibusbContext> mContext;
};

}  // namespace zelvik
