// SPDX-License-Identifier: Apache-2.0
// The in-process simulated bus as the printer link sees it: exclusive opens,
// IOReturn statuses, and transfers that really wait and time out.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "support/TempDir.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace zelvik {
namespace {

using namespace std::chrono_literals;
using sim::VirtualPrinterConfig;

VirtualPrinterConfig printer() {
    VirtualPrinterConfig c;
    c.deviceID = "MFG:Zelvik;MDL:LP-1;";
    return c;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A printer's device and interface objects, made as the printer link makes
// them, the interface opened when `openInterface`.
struct Opened {
    std::unique_ptr<UsbDevice> device;
    std::unique_ptr<UsbInterface> interface;
};
Opened open(SimulatedUsbAccess& usb, std::size_t index = 0, bool openInterface = true) {
    Opened o;
    o.device = usb.createDeviceInterface((*usb.copyMatchingDevices())[index]);
    std::vector<UsbServiceRef> interfaces;
    EXPECT_EQ(o.device->CreateInterfaceIterator(&interfaces), kIOReturnSuccess);
    o.interface = usb.createInterfaceInterface(interfaces.at(0));
    if (openInterface) { EXPECT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess); }
    return o;
}

TEST(SimulatedBus, DeviceOpensAreExclusiveAndControlRequestsNeedOne) {
    SimulatedUsbAccess usb({printer()});
    const auto service = (*usb.copyMatchingDevices())[0];
    auto first = usb.createDeviceInterface(service);
    auto second = usb.createDeviceInterface(service);
    std::uint8_t buffer[256] = {};
    DeviceRequest getID{0xA1, 0, 0, 0, 256, buffer, 99};
    EXPECT_EQ(first->DeviceRequest(getID), kIOReturnNotOpen);
    EXPECT_TRUE(getID.wLenDone == 0 && usb.printer(0).controlLog().empty());

    EXPECT_EQ(first->USBDeviceOpen(), kIOReturnSuccess);
    EXPECT_EQ(second->USBDeviceOpen(), kIOReturnExclusiveAccess);
    EXPECT_EQ(first->DeviceRequest(getID), kIOReturnSuccess);
    EXPECT_EQ(getID.wLenDone, 22u);
    DeviceRequest unknownString{0x80, 6, 0x0305, 0, 256, buffer, 99};
    EXPECT_EQ(first->DeviceRequest(unknownString), kIOUSBPipeStalled);
    EXPECT_EQ(unknownString.wLenDone, 0u);
    DeviceRequest noBuffer{0x80, 6, 0x0303, 0, 2, nullptr, 0};
    EXPECT_NE(first->DeviceRequest(noBuffer), kIOReturnSuccess);

    EXPECT_EQ(first->USBDeviceClose(), kIOReturnSuccess);
    EXPECT_EQ(second->USBDeviceOpen(), kIOReturnSuccess);  // the close let go of it
    EXPECT_EQ(usb.activity(0).deviceOpens, 2u);
    EXPECT_EQ(usb.activity(0).deviceCloses, 1u);
}

TEST(SimulatedBus, InterfaceOpensAreExclusiveAndNeededForItsBulkPipes) {
    SimulatedUsbAccess usb({printer()});
    Opened a = open(usb, 0, false);
    std::uint8_t buf[16];
    std::uint32_t size = sizeof buf;
    EXPECT_EQ(a.interface->ReadPipeTO(2, buf, &size, 50, 50), kIOReturnNotOpen);
    EXPECT_EQ(a.interface->WritePipeTO(1, buf, 1, 50, 50), kIOReturnNotOpen);
    EXPECT_EQ(a.interface->ClearPipeStall(1), kIOReturnNotOpen);

    ASSERT_EQ(a.interface->USBInterfaceOpen(), kIOReturnSuccess);
    EXPECT_EQ(open(usb, 0, false).interface->USBInterfaceOpen(), kIOReturnExclusiveAccess);
    // Only bulk pipes of the right direction carry data: IN is 2, OUT is 1.
    for (std::uint8_t pipe : {0, 1, 3, 4}) {
        EXPECT_NE(a.interface->ReadPipeTO(pipe, buf, &(size = 16), 50, 50), kIOReturnSuccess) << int{pipe};
    }
    for (std::uint8_t pipe : {0, 2, 3, 9}) {
        EXPECT_NE(a.interface->WritePipeTO(pipe, buf, 1, 50, 50), kIOReturnSuccess) << int{pipe};
    }
    EXPECT_EQ(usb.printer(0).bytesReceived(), 0u);
    a.interface.reset();  // destroying an open object closes it
    EXPECT_EQ(usb.openInterfaceCount(), 0u);
    EXPECT_EQ(usb.activity(0).interfaceCloses, 1u);
}

TEST(SimulatedTransfers, WaitsEndAtTheNoDataOrTheCompletionTimeOut) {
    VirtualPrinterConfig silent = printer(), stuck = printer(), slow = printer();
    silent.idleIn = sim::IdleIn::Nak;
    silent.answerDelayMs = 40;
    stuck.acceptBytesPerSecond = 0;
    slow.acceptBytesPerSecond = 20000;  // 2000 bytes every 0.1 s
    SimulatedUsbAccess usb({silent, stuck, slow});
    Opened s = open(usb, 0), t = open(usb, 1), u = open(usb, 2);
    std::uint8_t buffer[64];
    std::uint32_t size = 0;
    const Bytes data(8000, 0xAB);
    const std::pair<std::function<IOReturn()>, double> waits[] = {
        {[&] { return s.interface->ReadPipeTO(2, buffer, &(size = 64), 50, 60000); }, 0.05},
        {[&] { return s.interface->ReadPipeTO(2, buffer, &(size = 64), 15000, 60); }, 0.06},
        {[&] { return t.interface->WritePipeTO(1, data.data(), 100, 50, 60000); }, 0.05},
        // Data keeps moving, but the whole transfer is not done in time.
        {[&] { return u.interface->WritePipeTO(1, data.data(), 8000, 15000, 120); }, 0.12},
    };
    for (const auto& [transfer, atLeast] : waits) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(transfer(), kIOReturnTimeout) << "after " << atLeast;
        EXPECT_GE(secondsSince(start), atLeast);
        EXPECT_LT(secondsSince(start), 10.0);
    }
    EXPECT_LT(usb.printer(2).bytesReceived(), 8000u);
    EXPECT_EQ(u.interface->WritePipeTO(1, nullptr, 0, 50, 50), kIOReturnSuccess);  // no wait for the limit

    // A delayed answer is waited for.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(s.interface->WritePipeTO(1, "@PJL ECHO hi\n", 13, 15000, 60000), kIOReturnSuccess);
    EXPECT_EQ(s.interface->ReadPipeTO(2, buffer, &(size = 64), 15000, 60000), kIOReturnSuccess);
    EXPECT_GE(secondsSince(start), 0.040);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "@PJL ECHO hi\r\n\f");
}

TEST(SimulatedTransfers, AStalledPipeFailsUntilItsHaltIsCleared) {
    VirtualPrinterConfig c = printer();
    c.failWriteAfterBytes = 2048;
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    const Bytes data(2048, 7);
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 1024, 15000, 60000), kIOReturnSuccess);
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 2048, 15000, 60000), kIOUSBPipeStalled);
    EXPECT_EQ(usb.printer(0).bytesReceived(), 2048u);
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 0, 15000, 60000), kIOUSBPipeStalled);

    // The clear the printer link sends goes through the default pipe only.
    DeviceRequest clear{0x02, 0x01, 0, 0x01, 0, nullptr, 0};
    EXPECT_NE(o.interface->ControlRequest(1, clear), kIOReturnSuccess);
    EXPECT_TRUE(usb.printer(0).isHalted(0x01));
    EXPECT_EQ(o.interface->ControlRequest(0, clear), kIOReturnSuccess);
    EXPECT_EQ(o.interface->ClearPipeStall(1), kIOReturnSuccess);
    EXPECT_FALSE(usb.printer(0).isHalted(0x01));
    // Past its limit the printer halts again at the next packet.
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 1, 15000, 60000), kIOUSBPipeStalled);
}

TEST(SimulatedTransfers, APrinterLeavingTheBusIsNoDeviceForEveryObject) {
    VirtualPrinterConfig c = printer();
    c.idleIn = sim::IdleIn::Nak;
    SimulatedUsbAccess usb({c, printer()});
    Opened o = open(usb);
    ASSERT_EQ(o.device->USBDeviceOpen(), kIOReturnSuccess);

    std::thread unplugger([&usb] {
        std::this_thread::sleep_for(30ms);
        usb.unplug(0);
    });
    std::uint8_t buffer[64];
    std::uint32_t size = 64;
    EXPECT_EQ(o.interface->ReadPipeTO(2, buffer, &size, 15000, 60000), kIOReturnNoDevice);  // while waiting
    unplugger.join();
    std::uint16_t vendor = 0;
    EXPECT_EQ(o.device->GetDeviceVendor(&vendor), kIOReturnNoDevice);
    EXPECT_EQ(o.interface->WritePipeTO(1, buffer, 1, 50, 50), kIOReturnNoDevice);
    EXPECT_EQ(usb.copyMatchingDevices()->size(), 1u);
    // The objects still close.
    EXPECT_EQ(o.interface->USBInterfaceClose(), kIOReturnSuccess);
    EXPECT_EQ(o.device->USBDeviceClose(), kIOReturnSuccess);
    EXPECT_EQ(usb.openDeviceCount(), 0u);
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
