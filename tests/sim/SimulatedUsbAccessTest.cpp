// SPDX-License-Identifier: Apache-2.0
// The in-process simulated bus: the USB access layer's promises, and what
// only this bus does (exclusive device opens, printers unplugged at any
// moment, the bus file from the environment).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "contract/UsbAccessContract.h"
#include "support/TempDir.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace zelvik {
namespace {

using namespace std::chrono_literals;
using sim::VirtualPrinterConfig;

class SimulatedBackend final : public contract::Backend {
public:
    void attach(std::vector<VirtualPrinterConfig> printers) override {
        mUsb = std::make_unique<SimulatedUsbAccess>(std::move(printers));
    }
    UsbAccess& usb() override { return *mUsb; }
    std::uint32_t locationID(std::size_t printer) override {
        return mUsb->printer(printer).config().locationID.value_or(0);
    }
    std::uint64_t bytesReceived(std::size_t printer) override {
        return mUsb->printer(printer).bytesReceived();
    }
    bool isHalted(std::size_t printer, std::uint8_t endpointAddress) override {
        return mUsb->printer(printer).isHalted(endpointAddress);
    }
    std::size_t controlRequestsReceived(std::size_t printer) override {
        return mUsb->printer(printer).controlLog().size();
    }

private:
    std::unique_ptr<SimulatedUsbAccess> mUsb;
};

using contract::UsbAccessContract;
INSTANTIATE_TEST_SUITE_P(Simulated, UsbAccessContract,
                         ::testing::Values(contract::factoryOf<SimulatedBackend>("inProcess")),
                         contract::backendName);

class SimulatedBus : public ::testing::Test, protected contract::OnBackend {
protected:
    SimulatedUsbAccess& attach(std::vector<VirtualPrinterConfig> printers) {
        backend = std::make_unique<SimulatedBackend>();
        backend->attach(std::move(printers));
        return static_cast<SimulatedUsbAccess&>(backend->usb());
    }
};

TEST_F(SimulatedBus, DeviceOpensAreExclusive) {
    attach({VirtualPrinterConfig{}});
    auto first = deviceOf(0), second = deviceOf(0);
    EXPECT_EQ(first->USBDeviceOpen(), kIOReturnSuccess);
    EXPECT_EQ(second->USBDeviceOpen(), kIOReturnExclusiveAccess);
    EXPECT_EQ(first->USBDeviceClose(), kIOReturnSuccess);
    EXPECT_EQ(second->USBDeviceOpen(), kIOReturnSuccess);  // the close let go of it
}

TEST_F(SimulatedBus, AnUnpluggedPrinterEndsAWaitingTransferAndLeavesTheListing) {
    VirtualPrinterConfig silent;
    silent.idleIn = sim::IdleIn::Nak;
    SimulatedUsbAccess& usb = attach({silent, VirtualPrinterConfig{}});
    auto device = deviceOf(0);
    auto interface = interfaceOf(*device);
    ASSERT_EQ(interface->USBInterfaceOpen(), kIOReturnSuccess);
    std::thread unplugger([&usb] {
        std::this_thread::sleep_for(30ms);
        usb.unplug(0);
    });
    std::uint8_t buffer[64];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(interface->ReadPipeTO(2, buffer, &size, 15000, 60000), kIOReturnNoDevice);
    unplugger.join();
    // Its identity is gone with it, and so is its place in the listing.
    std::uint16_t vendor = 0;
    EXPECT_EQ(device->GetDeviceVendor(&vendor), kIOReturnNoDevice);
    EXPECT_EQ(device->USBDeviceOpen(), kIOReturnNoDevice);
    EXPECT_EQ(usb.copyMatchingDevices()->size(), 1u);
}

class BusFromEnvironment : public ::testing::Test {
protected:
    void TearDown() override { ::unsetenv("ZELVIK_SIMULATED_BUS"); }
};

TEST_F(BusFromEnvironment, TheFileIsReadOnceWhenTheBusIsFirstUsed) {
    test::TempDir dir;
    const std::string path = dir.file("bus.xml");
    ::setenv("ZELVIK_SIMULATED_BUS", path.c_str(), 1);
    auto usb = SimulatedUsbAccess::fromEnvironment();
    // Written after the access object was made, before its first use.
    test::writeFile(path, "<simulatedBus><device/><device/></simulatedBus>");
    EXPECT_EQ(usb->copyMatchingDevices()->size(), 2u);
    test::writeFile(path, "<simulatedBus/>");
    EXPECT_EQ(usb->copyMatchingDevices()->size(), 2u);

    ::setenv("ZELVIK_SIMULATED_BUS", dir.path().c_str(), 1);  // a directory
    EXPECT_TRUE(SimulatedUsbAccess::fromEnvironment()->copyMatchingDevices()->empty());
    ::unsetenv("ZELVIK_SIMULATED_BUS");
    EXPECT_TRUE(SimulatedUsbAccess::fromEnvironment()->copyMatchingDevices()->empty());
}

}  // namespace
}  // namespace zelvik
