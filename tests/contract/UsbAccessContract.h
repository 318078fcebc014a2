// SPDX-License-Identifier: Apache-2.0
// What every implementation of the USB access layer promises the printer
// link, written once and run on each backend: the simulated bus in
// sim_tests, libusb on the emulated kernel in umockdev_tests. A test binary
// gives the suite its backend with
//   INSTANTIATE_TEST_SUITE_P(Name, UsbAccessContract, ::testing::Values(factory), backendName);
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "usb/UsbAccess.h"
#include "usb/sim/VirtualPrinter.h"

namespace zelvik::contract {

// One backend with a bus of virtual printers.
class Backend {
public:
    virtual ~Backend() = default;

    // A new bus of these printers (with the bus defaults applied), and a new
    // access object that has seen no other. Objects made from the last bus
    // must be gone.
    virtual void attach(std::vector<sim::VirtualPrinterConfig> printers) = 0;
    virtual UsbAccess& usb() = 0;

    // Where printer `printer` (in the order given to attach) is found, and
    // what happened to it.
    virtual std::uint32_t locationID(std::size_t printer) = 0;
    virtual std::uint64_t bytesReceived(std::size_t printer) = 0;
    virtual bool isHalted(std::size_t printer, std::uint8_t endpointAddress) = 0;
    virtual std::size_t controlRequestsReceived(std::size_t printer) = 0;
};

struct BackendFactory {
    const char* name;
    std::unique_ptr<Backend> (*make)();
};
inline void PrintTo(const BackendFactory& factory, std::ostream* out) { *out << factory.name; }
inline std::string backendName(const ::testing::TestParamInfo<BackendFactory>& info) {
    return info.param.name;
}

// The device object of the device at a location, found on a fresh listing
// (the bus may list hubs too); null when it is not listed.
std::unique_ptr<UsbDevice> deviceAt(UsbAccess& usb, std::uint32_t locationID);
// Interface 0 of a device; null when there is none.
std::unique_ptr<UsbInterface> interfaceOf(UsbAccess& usb, UsbDevice& device);
// Interface 0 of the device at a location, made from a fresh listing and
// claimed; null when it cannot be claimed.
std::unique_ptr<UsbInterface> claimAt(UsbAccess& usb, std::uint32_t locationID);

class UsbAccessContract : public ::testing::TestWithParam<BackendFactory> {
protected:
    void SetUp() override { backend = GetParam().make(); }

    void attach(std::vector<sim::VirtualPrinterConfig> printers) {
        backend->attach(std::move(printers));
    }
    UsbAccess& usb() { return backend->usb(); }

    // The helpers above for printer `printer` (in the order given to attach).
    std::unique_ptr<UsbDevice> deviceOf(std::size_t printer) {
        return deviceAt(usb(), backend->locationID(printer));
    }
    std::unique_ptr<UsbInterface> interfaceOf(UsbDevice& device) {
        return contract::interfaceOf(usb(), device);
    }
    std::unique_ptr<UsbInterface> claim(std::size_t printer) {
        return claimAt(usb(), backend->locationID(printer));
    }

    std::unique_ptr<Backend> backend;
};

}  // namespace zelvik::contract
