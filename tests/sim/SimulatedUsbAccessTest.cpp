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
    std::uint32_t locationID(std::size_t p) override { return model(p).config().locationID.value_or(0); }
    std::uint64_t bytesReceived(std::size_t p) override { return model(p).bytesReceived(); }
    bool isHalted(std::size_t p, std::uint8_t address) override { return model(p).isHalted(address); }
    std::size_t controlRequestsReceived(std::size_t p) override { return model(p).controlLog().size(); }

private:
    sim::VirtualPrinter& model(std::size_t printer) { return mUsb->printer(printer); }
    std::unique_ptr<SimulatedUsbAccess> mUsb;
};

using contract::UsbAccessContract;
INSTANTIATE_TEST_SUITE_P(Simulated, UsbAccessContract,
                         ::testing::Values(contract::factoryOf<SimulatedBackend>("inProcess")), contract::backendName);

TEST(SimulatedBus, DeviceOpensAreExclusive) {
    SimulatedUsbAccess usb({VirtualPrinterConfig{}});
    auto first = usb.createDeviceInterface(usb.copyMatchingDevices()->at(0));
    auto second = usb.createDeviceInterface(usb.copyMatchingDevices()->at(0));
    EXPECT_EQ(first->USBDeviceOpen(), kIOReturnSuccess);
    EXPECT_EQ(second->USBDeviceOpen(), kIOReturnExclusiveAccess);
    EXPECT_EQ(first->USBDeviceClose(), kIOReturnSuccess);
    EXPECT_EQ(second->USBDeviceOpen(), kIOReturnSuccess);  // the close let go of it
}

TEST(SimulatedBus, AnUnpluggedPrinterEndsAWaitingTransferAndLeavesTheListing) {
    VirtualPrinterConfig silent;
    silent.idleIn = sim::IdleIn::Nak;
    SimulatedUsbAccess usb({silent, VirtualPrinterConfig{}});
    auto device = usb.createDeviceInterface(usb.copyMatchingDevices()->at(0));
    std::vector<UsbServiceRef> interfaces;
    ASSERT_EQ(device->CreateInterfaceIterator(&interfaces), kIOReturnSuccess);
    auto interface = usb.createInterfaceInterface(interfaces.at(0));
    ASSERT_EQ(interface->USBInterfaceOpen(), kIOReturnSuccess);
    std::thread unplugger([&usb] { std::this_thread::sleep_for(30ms), usb.unplug(0); });
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
