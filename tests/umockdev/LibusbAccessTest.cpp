// SPDX-License-Identifier: Apache-2.0
// The libusb implementation of the USB access layer against emulated
// kernel printers: what the printer link relies on, as libusb delivers it
// from usbfs. What the link makes of it is tested over the simulated bus.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "umockdev/EmulatedBus.h"
#include "usb/libusb/LibusbAccess.h"

namespace zelvik::emulation {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::string printer(const std::string& elements) { return "<device>" + elements + "</device>"; }

class LibusbOnEmulatedKernel : public ::testing::Test {
protected:
    // A new test bed and a libusb context that has seen no other; objects
    // from the last one must be gone.
    void attach(const std::string& devices, EmulatedBus::Options options = {}) {
        access.reset();
        bus.reset();  // one test bed at a time
        bus = std::make_unique<EmulatedBus>("<simulatedBus>" + devices + "</simulatedBus>",
                                            options);
        access = std::make_unique<LibusbAccess>();
    }

    // The device object of a printer, or null.
    std::unique_ptr<UsbDevice> deviceOf(std::size_t printer) {
        auto services = access->copyMatchingDevices();
        for (const auto& service : services ? *services : std::vector<UsbServiceRef>{}) {
            auto device = access->createDeviceInterface(service);
            std::uint32_t at = 0;
            if (device->GetLocationID(&at) == kIOReturnSuccess && at == bus->locationID(printer)) {
                return device;
            }
        }
        return nullptr;
    }
    std::unique_ptr<UsbInterface> interfaceOf(UsbDevice& device) {
        std::vector<UsbServiceRef> interfaces;
        if (device.CreateInterfaceIterator(&interfaces) != kIOReturnSuccess || interfaces.empty()) {
            return nullptr;
        }
        return access->createInterfaceInterface(interfaces.front());
    }
    // Interface 0 of a printer, claimed.
    std::unique_ptr<UsbInterface> claim(std::size_t printer) {
        auto device = deviceOf(printer);
        auto interface = device ? interfaceOf(*device) : nullptr;
        if (!interface || interface->USBInterfaceOpen() != kIOReturnSuccess) return nullptr;
        return interface;
    }

    std::unique_ptr<EmulatedBus> bus;  // outlives the libusb context below
    std::unique_ptr<LibusbAccess> access;
};

TEST_F(LibusbOnEmulatedKernel, ListsDevicesByBusThenPortPathWithTheirLocationIDs) {
    // Listed out of order on purpose, behind hubs on two buses.
    attach(printer("<locationID>0x02100000</locationID><productID>3</productID>") +
           printer("<locationID>0x01320000</locationID><productID>2</productID>") +
           printer("<locationID>0x01310000</locationID><productID>1</productID>"
                   "<serialNumber>A1</serialNumber>"));
    for (int round = 0; round < 2; ++round) {  // the same order every time
        auto services = access->copyMatchingDevices();
        ASSERT_TRUE(services.has_value());
        // Location; for printers, product and whether a serial number is named.
        std::vector<std::tuple<std::uint32_t, std::uint16_t, bool>> seen;
        for (const auto& service : *services) {
            auto device = access->createDeviceInterface(service);
            std::uint32_t location = 0;
            std::uint16_t vendor = 0, product = 0;
            std::uint8_t serial = 0;
            ASSERT_EQ(kIOReturnSuccess, device->GetLocationID(&location));
            ASSERT_EQ(kIOReturnSuccess, device->GetDeviceVendor(&vendor));
            ASSERT_EQ(kIOReturnSuccess, device->GetDeviceProduct(&product));
            ASSERT_EQ(kIOReturnSuccess, device->USBGetSerialNumberStringIndex(&serial));
            if (vendor != ZELVIK_TEST_VENDOR_ID) product = serial = 0;
            seen.emplace_back(location, product, serial != 0);
        }
        // Root hub, hub on port 3, its ports 1 and 2; then bus 2.
        EXPECT_EQ((decltype(seen){{0x01000000, 0, false}, {0x01300000, 0, false},
                                  {0x01310000, 1, true}, {0x01320000, 2, false},
                                  {0x02000000, 0, false}, {0x02100000, 3, false}}),
                  seen);
    }
}

TEST_F(LibusbOnEmulatedKernel, ControlRequestsShareTheOpenFileThatHoldsTheClaim) {
    attach(printer("<deviceID>MFG:Zelvik;MDL:LP-100;</deviceID>"
                   "<alternateSetting>1</alternateSetting>") +
           printer(""));
    auto device = deviceOf(0);
    ASSERT_NE(nullptr, device);
    std::uint8_t buffer[256] = {};
    DeviceRequest getDeviceID{0xA1, 0x00, 0, 0, sizeof buffer, buffer, 0};
    EXPECT_EQ(kIOReturnNotOpen, device->DeviceRequest(getDeviceID));

    // Identifying takes nothing from the printer class driver.
    ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen());
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(getDeviceID));
    const std::string text = "MFG:Zelvik;MDL:LP-100;";
    ASSERT_EQ(text.size() + 2, getDeviceID.wLenDone);
    EXPECT_EQ(text, std::string(reinterpret_cast<char*>(buffer + 2), text.size()));
    EXPECT_TRUE(bus->kernelDriver(0).bound);

    // GET_INTERFACE and SET_INTERFACE name the interface; the kernel takes
    // them only from the open file that claimed it.
    auto interface = interfaceOf(*device);
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpen());
    std::uint8_t alternate = 0xFF;
    DeviceRequest getInterface{0x81, 0x0A, 0, 0, 1, &alternate, 0};
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

    // A printer without a device ID stalls the request.
    auto silent = deviceOf(1);
    ASSERT_EQ(kIOReturnSuccess, silent->USBDeviceOpen());
    EXPECT_EQ(kIOUSBPipeStalled, silent->DeviceRequest(getDeviceID));
    EXPECT_EQ(0u, getDeviceID.wLenDone);
    // The link reads a string descriptor's header alone and takes an
    // overrun there as an answer; the emulation cannot babble.
    EXPECT_EQ(kIOReturnOverrun, LibusbAccess::ioReturnFromLibusb(LIBUSB_ERROR_OVERFLOW));
}

TEST_F(LibusbOnEmulatedKernel, AClaimTakesThePrinterFromItsDriverUntilReleased) {
    attach(printer(""));
    auto interface = claim(0);
    ASSERT_NE(nullptr, interface);
    EXPECT_FALSE(bus->kernelDriver(0).bound);
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    EXPECT_TRUE(bus->kernelDriver(0).bound);
    // Destroying an open interface releases it too.
    interface = claim(0);
    ASSERT_NE(nullptr, interface);
    interface.reset();
    KernelDriverState state = bus->kernelDriver(0);
    EXPECT_EQ(std::tuple(true, 2, 2, 0u), std::tuple(state.bound, state.detachCount,
                                                     state.attachCount, state.refusedWhileBound));

    // Without the driver loaded there is nothing to detach or give back.
    attach(printer(""), EmulatedBus::Options{.printerDriverLoaded = false});
    interface = claim(0);
    ASSERT_NE(nullptr, interface);
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    state = bus->kernelDriver(0);
    EXPECT_FALSE(state.bound);
    EXPECT_EQ(0, state.detachCount);
}

TEST_F(LibusbOnEmulatedKernel, AnInterfaceHeldElsewhereCannotBeClaimed) {
    attach(printer("<interfaceHeldOpen>true</interfaceHeldOpen>") +
           printer("<heldOpen>true</heldOpen>"));
    // Another program holds the first printer's interface.
    auto device = deviceOf(0);
    ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen());  // opening is not exclusive
    auto interface = interfaceOf(*device);
    EXPECT_EQ(kIOReturnExclusiveAccess, interface->USBInterfaceOpen());
    EXPECT_EQ(kIOReturnNotOpen, interface->WritePipeTO(1, "x", 1, 100, 100));
    EXPECT_EQ(0, bus->kernelDriver(0).detachCount);

    // A device that cannot be opened is still listed.
    auto closed = deviceOf(1);
    ASSERT_NE(nullptr, closed);
    EXPECT_NE(kIOReturnSuccess, closed->USBDeviceOpen());
    EXPECT_NE(kIOReturnSuccess, interfaceOf(*closed)->USBInterfaceOpen());
}

TEST_F(LibusbOnEmulatedKernel, PipesFollowTheAlternateSettingInForce) {
    attach(printer("<endpoints>bulk-out</endpoints>"
                   "<alternateEndpoints>interrupt-in bulk-in bulk-out</alternateEndpoints>") +
           printer("<refuseSetInterface>true</refuseSetInterface>"
                   "<alternateEndpoints>bulk-in</alternateEndpoints>"));
    auto interface = claim(0);
    ASSERT_NE(nullptr, interface);
    // (status, direction, endpoint number, type, maximum packet size)
    using Pipe = std::tuple<IOReturn, unsigned, unsigned, unsigned, unsigned>;
    const auto pipe = [&](std::uint8_t ref) {
        std::uint8_t direction = 0, number = 0, type = 0, interval = 0;
        std::uint16_t packet = 0;
        const IOReturn status =
            interface->GetPipeProperties(ref, &direction, &number, &type, &packet, &interval);
        return status == kIOReturnSuccess ? Pipe{status, direction, number, type, packet}
                                          : Pipe{status, 0, 0, 0, 0};
    };
    std::uint8_t count = 0;
    ASSERT_EQ(kIOReturnSuccess, interface->GetNumEndpoints(&count));
    EXPECT_EQ(1, count);
    EXPECT_EQ((Pipe{kIOReturnSuccess, kUSBOut, 1, kUSBBulk, 512}), pipe(1));
    EXPECT_EQ((Pipe{kIOReturnBadArgument, 0, 0, 0, 0}), pipe(2));

    ASSERT_EQ(kIOReturnSuccess, interface->SetAlternateInterface(1));
    ASSERT_EQ(kIOReturnSuccess, interface->GetNumEndpoints(&count));
    EXPECT_EQ(3, count);
    EXPECT_EQ(kUSBInterrupt, std::get<3>(pipe(1)));
    EXPECT_EQ((Pipe{kIOReturnSuccess, kUSBIn, 2, kUSBBulk, 512}), pipe(2));
    // Data goes to the pipe of the setting in force, in its direction only.
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(3, "abc", 3, 1000, 1000));
    EXPECT_EQ(3u, bus->bytesReceived(0));
    EXPECT_EQ(kIOReturnBadArgument, interface->WritePipeTO(2, "abc", 3, 1000, 1000));

    // A setting the printer refuses leaves the pipes as they were.
    auto refusing = claim(1);
    ASSERT_NE(nullptr, refusing);
    EXPECT_NE(kIOReturnSuccess, refusing->SetAlternateInterface(1));
    ASSERT_EQ(kIOReturnSuccess, refusing->GetNumEndpoints(&count));
    EXPECT_EQ(3, count);
}

TEST_F(LibusbOnEmulatedKernel, BulkTransfersCarryZeroLengthPacketsAndHonourBothTimeOuts) {
    // The second printer NAKs reads and takes 20000 bytes a second.
    attach(printer("<answer>got it</answer>") +
           printer("<idleIn>nak</idleIn><acceptBytesPerSecond>20000</acceptBytesPerSecond>"));
    auto interface = claim(0);
    ASSERT_NE(nullptr, interface);
    char buffer[64];
    std::uint32_t size = sizeof buffer;
    // An idle printer answers a read with a zero-length packet at once, and
    // a zero-length write is a transfer it answers.
    ASSERT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, buffer, &size, 1000, 1000));
    EXPECT_EQ(0u, size);
    ASSERT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, nullptr, 0, 1000, 1000));
    size = sizeof buffer;
    ASSERT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, buffer, &size, 1000, 1000));
    EXPECT_EQ("got it", std::string(buffer, size));

    // A read that gets nothing ends at the no-data time-out, not the
    // completion one, and its URB is taken back.
    auto slow = claim(1);
    ASSERT_NE(nullptr, slow);
    size = sizeof buffer;
    auto begin = Clock::now();
    EXPECT_EQ(kIOReturnTimeout, slow->ReadPipeTO(2, buffer, &size, 200, 4000));
    EXPECT_GE(Clock::now() - begin, milliseconds(200));
    EXPECT_LT(Clock::now() - begin, milliseconds(3000));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(0u, bus->pendingUrbs());

    // A write that keeps moving goes on past the no-data time-out...
    const std::string data(20000, 'd');
    begin = Clock::now();
    EXPECT_EQ(kIOReturnSuccess, slow->WritePipeTO(1, data.data(), 9000, 150, 5000));
    EXPECT_GE(Clock::now() - begin, milliseconds(300));
    EXPECT_EQ(9000u, bus->bytesReceived(1));
    // ...but not past the completion time-out, even within one round
    // (unbounded, this write would be done in about a second).
    begin = Clock::now();
    EXPECT_EQ(kIOReturnTimeout, slow->WritePipeTO(1, data.data(), 20000, 2000, 400));
    EXPECT_GE(Clock::now() - begin, milliseconds(400));
    EXPECT_GT(bus->bytesReceived(1), 9000u);
    EXPECT_LT(bus->bytesReceived(1), 29000u);
}

TEST_F(LibusbOnEmulatedKernel, AStallIsClearedOnBothSidesAndADepartedPrinterIsNoDevice) {
    attach(printer("<failWriteAfterBytes>4</failWriteAfterBytes>") +
           printer("<disconnectAfterBytes>100</disconnectAfterBytes>"));
    auto interface = claim(0);
    ASSERT_NE(nullptr, interface);
    EXPECT_EQ(kIOUSBPipeStalled, interface->WritePipeTO(1, "0123456789", 10, 1000, 1000));
    EXPECT_EQ(4u, bus->bytesReceived(0));
    EXPECT_TRUE(bus->isHalted(0, 0x01));
    EXPECT_EQ(kIOReturnSuccess, interface->ClearPipeStall(1));
    EXPECT_FALSE(bus->isHalted(0, 0x01));
    const auto log = bus->controlLog(0);  // CLEAR_FEATURE(ENDPOINT_HALT) of 0x01 last
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(std::tuple(0x02, 0x01, 0x01),
              std::tuple(log.back().bmRequestType, log.back().bRequest, log.back().wIndex));
    EXPECT_EQ(kIOReturnSuccess, interface->ResetPipe(2));
    EXPECT_EQ(kIOReturnBadArgument, interface->ClearPipeStall(9));

    // A printer that leaves the bus in the middle of a write.
    auto leaving = claim(1);
    ASSERT_NE(nullptr, leaving);
    const std::string data(1000, 'd');
    EXPECT_EQ(kIOReturnNoDevice, leaving->WritePipeTO(1, data.data(), 1000, 1000, 1000));
    EXPECT_EQ(kIOReturnNoDevice, leaving->WritePipeTO(1, data.data(), 10, 1000, 1000));
    EXPECT_EQ(100u, bus->bytesReceived(1));
    // Nothing is left to release; closing still succeeds.
    EXPECT_EQ(kIOReturnSuccess, leaving->USBInterfaceClose());
}

}  // namespace
}  // namespace zelvik::emulation
