// SPDX-License-Identifier: Apache-2.0
// What every implementation of the USB access layer promises the printer
// link, written once and run on each backend: the simulated bus in
// sim_tests, libusb on the emulated kernel in umockdev_tests. Each test
// binary instantiates UsbAccessContract with factoryOf<ItsBackend>.
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

// One backend with a bus of virtual printers. Printers are numbered in the
// order given to attach.
class Backend {
public:
    virtual ~Backend() = default;
    // A new bus of these printers (with the bus defaults applied) and a new
    // access object; objects made from the last bus must be gone.
    virtual void attach(std::vector<sim::VirtualPrinterConfig> printers) = 0;
    virtual UsbAccess& usb() = 0;
    virtual std::uint32_t locationID(std::size_t printer) = 0;
    virtual std::uint64_t bytesReceived(std::size_t printer) = 0;
    virtual bool isHalted(std::size_t printer, std::uint8_t endpointAddress) = 0;
    virtual std::size_t controlRequestsReceived(std::size_t printer) = 0;
};

// A printer's objects made as the printer link makes them, on a fresh
// listing each time (the bus may list hubs too; a printer is found by its
// location). Null when there is no such printer or interface.
class OnBackend {
protected:
    std::unique_ptr<UsbDevice> deviceOf(std::size_t printer);
    std::unique_ptr<UsbInterface> interfaceOf(UsbDevice& device);  // interface 0
    std::unique_ptr<UsbInterface> claim(std::size_t printer);      // null if refused

    std::unique_ptr<Backend> backend;
};

struct BackendFactory {
    const char* name;
    std::unique_ptr<Backend> (*make)();
};
template <typename T>
BackendFactory factoryOf(const char* name) {
    return {name, []() -> std::unique_ptr<Backend> { return std::make_unique<T>(); }};
}
inline void PrintTo(const BackendFactory& factory, std::ostream* out) { *out << factory.name; }
inline std::string backendName(const ::testing::TestParamInfo<BackendFactory>& info) { return info.param.name; }

class UsbAccessContract : public ::testing::TestWithParam<BackendFactory>, protected OnBackend {
protected:
    void SetUp() override { backend = GetParam().make(); }
};

}  // namespace zelvik::contract
