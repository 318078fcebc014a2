// SPDX-License-Identifier: Apache-2.0
// The libusb implementation of the USB access layer against emulated
// kernel printers: the layer's promises as libusb delivers them from usbfs,
// and what only this backend does (printer class drivers detached and given
// back, hubs and buses in the listing, device opens that are not exclusive,
// one open file per device). What the link makes of it is tested over the
// simulated bus.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "contract/UsbAccessContract.h"
#include "umockdev/EmulatedBus.h"
#include "usb/libusb/LibusbAccess.h"

namespace zelvik::emulation {
namespace {

class EmulatedKernelBackend final : public contract::Backend {
public:
    void attach(std::vector<sim::VirtualPrinterConfig> printers) override {
        access.reset();
        bus.reset();  // one test bed at a time
        bus = std::make_unique<EmulatedBus>(std::move(printers), options);
        access = std::make_unique<LibusbAccess>();
    }
    UsbAccess& usb() override { return *access; }
    std::uint32_t locationID(std::size_t p) override { return bus->locationID(p); }
    std::uint64_t bytesReceived(std::size_t p) override { return bus->bytesReceived(p); }
    bool isHalted(std::size_t p, std::uint8_t address) override { return bus->isHalted(p, address); }
    std::size_t controlRequestsReceived(std::size_t p) override { return bus->controlLog(p).size(); }

    EmulatedBus::Options options;
    std::unique_ptr<EmulatedBus> bus;  // outlives the libusb context below
    std::unique_ptr<LibusbAccess> access;
};

using contract::UsbAccessContract;
INSTANTIATE_TEST_SUITE_P(Libusb, UsbAccessContract,
                         ::testing::Values(contract::factoryOf<EmulatedKernelBackend>("emulatedKernel")),
                         contract::backendName);

class LibusbOnEmulatedKernel : public ::testing::Test, protected contract::OnBackend {
protected:
    // A new test bed of the printers in this bus file text.
    void attach(const std::string& devices, EmulatedBus::Options options = {}) {
        if (!backend) backend = std::make_unique<EmulatedKernelBackend>();
        kernel().options = options;
        const std::string text = "<simulatedBus>" + devices + "</simulatedBus>";
        sim::BusFile file = sim::parseBusFile(Bytes(text.begin(), text.end()));
        ASSERT_FALSE(file.error) << sim::describeBusFileError("bus", *file.error);
        kernel().attach(std::move(file.printers));
    }
    EmulatedKernelBackend& kernel() { return static_cast<EmulatedKernelBackend&>(*backend); }
    EmulatedBus& bus() { return *kernel().bus; }
};

std::string printer(const std::string& elements) { return "<device>" + elements + "</device>"; }

TEST_F(LibusbOnEmulatedKernel, ListsDevicesByBusThenPortPathHubsToo) {
    // Given out of order on purpose, behind hubs on two buses.
    attach(printer("<locationID>0x02100000</locationID>") + printer("<locationID>0x01320000</locationID>") +
           printer("<locationID>0x01310000</locationID>"));
    std::vector<std::uint32_t> seen;
    const auto services = backend->usb().copyMatchingDevices();
    for (const auto& service : services.value()) {
        ASSERT_EQ(kIOReturnSuccess, backend->usb().createDeviceInterface(service)->GetLocationID(&seen.emplace_back()));
    }
    // Root hub, hub on port 3, its ports 1 and 2; then bus 2.
    EXPECT_EQ((std::vector<std::uint32_t>{0x01000000, 0x01300000, 0x01310000, 0x01320000, 0x02000000, 0x02100000}),
              seen);
}

TEST_F(LibusbOnEmulatedKernel, DeviceOpensAreNotExclusiveAndShareTheFileThatHoldsTheClaim) {
    const std::string pipes = "<endpoint address='0x01' type='bulk'/><endpoint address='0x82' type='bulk'/>";
    attach(printer("<deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><interface>" + pipes +
                   "</interface><interface alternateSetting='1'>" + pipes +
                   "</interface><alternateSetting>1</alternateSetting>"));
    // Identifying takes nothing from the printer class driver, nor from
    // another program that has the device open.
    auto device = deviceOf(0), other = deviceOf(0);
    ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen());
    ASSERT_EQ(kIOReturnSuccess, other->USBDeviceOpen());
    std::uint8_t buffer[256] = {};
    DeviceRequest getDeviceID{0xA1, 0x00, 0, 0, sizeof buffer, buffer, 0};
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(getDeviceID));
    EXPECT_TRUE(bus().kernelDriver(0).bound);

    // GET_INTERFACE and SET_INTERFACE name the interface; the kernel takes
    // them only from the open file that claimed it.
    auto interface = interfaceOf(*device);
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpen());
    std::uint8_t alternate = 0xFF;
    DeviceRequest getInterface{0x81, 0x0A, 0, 0, 1, &alternate, 0};
    EXPECT_NE(kIOReturnSuccess, other->DeviceRequest(getInterface));
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(getInterface));
    EXPECT_EQ(1, alternate);
    DeviceRequest setInterface{0x01, 0x0B, 0, 0, 0, nullptr, 0};
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(setInterface));
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(getInterface));
    EXPECT_EQ(0, alternate);

    // Closing the device object leaves the interface's file open.
    EXPECT_EQ(kIOReturnSuccess, device->USBDeviceClose());
    device.reset();
    DeviceRequest clearHalt{0x02, 0x01, 0, 0x82, 0, nullptr, 0};
    EXPECT_EQ(kIOReturnSuccess, interface->ControlRequest(0, clearHalt));
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, "x", 1, 1000, 1000));
}

TEST_F(LibusbOnEmulatedKernel, AClaimTakesThePrinterFromItsDriverUntilReleased) {
    attach(printer(""));
    auto interface = claim(0);
    ASSERT_NE(nullptr, interface);
    EXPECT_FALSE(bus().kernelDriver(0).bound);
    interface.reset();  // destroying an open interface releases it
    KernelDriverState state = bus().kernelDriver(0);
    EXPECT_EQ(std::tuple(true, 1, 1, 0u),
              std::tuple(state.bound, state.detachCount, state.attachCount, state.refusedWhileBound));

    // An interface another program holds leaves its driver alone.
    attach(printer("<interfaceHeldOpen>true</interfaceHeldOpen>"));
    auto device = deviceOf(0);
    EXPECT_EQ(kIOReturnExclusiveAccess, interfaceOf(*device)->USBInterfaceOpen());
    EXPECT_EQ(0, bus().kernelDriver(0).detachCount);

    // Without the driver loaded there is nothing to detach or give back.
    device.reset();
    attach(printer(""), EmulatedBus::Options{.printerDriverLoaded = false});
    interface = claim(0);
    ASSERT_NE(nullptr, interface);
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    state = bus().kernelDriver(0);
    EXPECT_FALSE(state.bound);
    EXPECT_EQ(0, state.detachCount);
}

TEST_F(LibusbOnEmulatedKernel, ATimedOutReadTakesItsUrbBack) {
    attach(printer("<idleIn>nak</idleIn>"));
    auto interface = claim(0);
    ASSERT_NE(nullptr, interface);
    char buffer[64];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(kIOReturnTimeout, interface->ReadPipeTO(2, buffer, &size, 200, 4000));
    EXPECT_EQ(0u, bus().pendingUrbs());
}

}  // namespace
}  // namespace zelvik::emulation
