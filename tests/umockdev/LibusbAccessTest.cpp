// The libusb implementation of the USB access layer against emulated
// kernel printers: what the printer link relies on, as libusb delivers it
// from usbfs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "umockdev/EmulatedBus.h"
#include "usb/libusb/LibusbAccess.h"

namespace zelvik::emulation {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kServedVendor = ZELVIK_TEST_VENDOR_ID;

std::string printer(const std::string& elements) { return "<device>" + elements + "</device>"; }

class LibusbOnEmulatedKernel : public ::testing::Test {
protected:
    void attach(const std::string& devices, EmulatedBus::Options options = {}) {
        bus.reset();  // one test bed at a time
        bus = std::make_unique<EmulatedBus>("<simulatedBus>" + devices + "</simulatedBus>",
                                            options);
    }

    // The device object of the device at a location, or null.
    std::unique_ptr<UsbDevice> deviceAt(std::uint32_t location, LibusbAccess& on) {
        auto services = on.copyMatchingDevices();
        if (!services) return nullptr;
        for (const auto& service : *services) {
            auto device = on.createDeviceInterface(service);
            std::uint32_t found = 0;
            if (device && device->GetLocationID(&found) == kIOReturnSuccess && found == location) {
                return device;
            }
        }
        return nullptr;
    }
    std::unique_ptr<UsbDevice> deviceAt(std::uint32_t location) {
        return deviceAt(location, access);
    }

    std::unique_ptr<UsbInterface> interfaceOf(UsbDevice& device, LibusbAccess& on) {
        std::vector<UsbServiceRef> interfaces;
        if (device.CreateInterfaceIterator(&interfaces) != kIOReturnSuccess || interfaces.empty()) {
            return nullptr;
        }
        return on.createInterfaceInterface(interfaces.front());
    }

    // Interface 0 of the first printer, claimed.
    std::unique_ptr<UsbInterface> claimFirstPrinter() {
        auto device = deviceAt(bus->locationID(0));
        if (!device) return nullptr;
        auto interface = interfaceOf(*device, access);
        if (!interface || interface->USBInterfaceOpen() != kIOReturnSuccess) return nullptr;
        return interface;
    }

    std::unique_ptr<EmulatedBus> bus;  // outlives the libusb context below
    LibusbAccess access;
};

// --- Enumeration -----------------------------------------------------------------

TEST_F(LibusbOnEmulatedKernel, ListsEveryDeviceByBusThenPortPathWithItsLocationID) {
    // Listed out of order on purpose, behind hubs on two buses.
    attach(printer("<locationID>0x02100000</locationID><productID>3</productID>") +
           printer("<locationID>0x01320000</locationID><productID>2</productID>") +
           printer("<locationID>0x01310000</locationID><productID>1</productID>"));
    ASSERT_EQ("2-1", bus->sysfsName(0));
    ASSERT_EQ("1-3.2", bus->sysfsName(1));

    for (int round = 0; round < 2; ++round) {
        auto services = access.copyMatchingDevices();
        ASSERT_TRUE(services.has_value());
        std::vector<std::uint32_t> locations;
        std::vector<std::uint16_t> printerProducts;
        for (const auto& service : *services) {
            auto device = access.createDeviceInterface(service);
            ASSERT_NE(nullptr, device);
            std::uint32_t location = 0;
            std::uint16_t vendor = 0, product = 0;
            ASSERT_EQ(kIOReturnSuccess, device->GetLocationID(&location));
            ASSERT_EQ(kIOReturnSuccess, device->GetDeviceVendor(&vendor));
            ASSERT_EQ(kIOReturnSuccess, device->GetDeviceProduct(&product));
            locations.push_back(location);
            if (vendor == kServedVendor) printerProducts.push_back(product);
        }
        // Root hub, hub on port 3, its ports 1 and 2; then bus 2.
        EXPECT_EQ((std::vector<std::uint32_t>{0x01000000, 0x01300000, 0x01310000, 0x01320000,
                                              0x02000000, 0x02100000}),
                  locations);
        EXPECT_EQ((std::vector<std::uint16_t>{1, 2, 3}), printerProducts);
    }
}

TEST_F(LibusbOnEmulatedKernel, ReportsTheSerialNumberStringIndexOrZero) {
    attach(printer("<locationID>0x01100000</locationID><serialNumber>A1</serialNumber>") +
           printer("<locationID>0x01200000</locationID>"));
    std::uint8_t index = 0xFF;
    ASSERT_EQ(kIOReturnSuccess, deviceAt(0x01100000)->USBGetSerialNumberStringIndex(&index));
    EXPECT_NE(0, index);
    ASSERT_EQ(kIOReturnSuccess, deviceAt(0x01200000)->USBGetSerialNumberStringIndex(&index));
    EXPECT_EQ(0, index);
}

// --- Control requests ------------------------------------------------------------

TEST_F(LibusbOnEmulatedKernel, IdentifiesAPrinterWhoseDriverHoldsIt) {
    attach(printer("<deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>A1</serialNumber>") +
           printer("<locationID>0x01500000</locationID>"));
    auto device = deviceAt(bus->locationID(0));
    ASSERT_NE(nullptr, device);

    std::uint8_t buffer[256] = {};
    DeviceRequest getDeviceID{0xA1, 0x00, 0, 0, sizeof buffer, buffer, 0};
    EXPECT_EQ(kIOReturnNotOpen, device->DeviceRequest(getDeviceID));

    ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen());
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(getDeviceID));
    const std::string text = "MFG:Zelvik;MDL:LP-100;";
    ASSERT_EQ(text.size() + 2, getDeviceID.wLenDone);
    EXPECT_EQ(0, buffer[0]);
    EXPECT_EQ(text.size() + 2, buffer[1]);
    EXPECT_EQ(text, std::string(reinterpret_cast<char*>(buffer + 2), text.size()));
    EXPECT_TRUE(bus->kernelDriver(0).bound);  // identifying takes nothing from the driver

    std::uint8_t index = 0;
    ASSERT_EQ(kIOReturnSuccess, device->USBGetSerialNumberStringIndex(&index));
    DeviceRequest serial{0x80, 0x06, static_cast<std::uint16_t>(0x0300 | index), 0x0409, 255,
                         buffer, 0};
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(serial));
    EXPECT_EQ(6u, serial.wLenDone);
    EXPECT_EQ(0, std::memcmp(buffer, "\x06\x03" "A\0" "1\0", 6));
    EXPECT_EQ(kIOReturnSuccess, device->USBDeviceClose());

    // A printer without a device ID stalls the request.
    auto silent = deviceAt(0x01500000);
    ASSERT_EQ(kIOReturnSuccess, silent->USBDeviceOpen());
    EXPECT_EQ(kIOUSBPipeStalled, silent->DeviceRequest(getDeviceID));
    EXPECT_EQ(0u, getDeviceID.wLenDone);
}

TEST_F(LibusbOnEmulatedKernel, DeviceRequestsReachTheInterfaceItsInterfaceObjectClaimed) {
    // GET_INTERFACE and SET_INTERFACE name the interface; the kernel takes
    // them only from the open file that holds its claim.
    attach(printer("<alternateSetting>1</alternateSetting>"));
    auto device = deviceAt(bus->locationID(0));
    ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen());
    auto interface = interfaceOf(*device, access);
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpen());

    std::uint8_t alternate = 0xFF;
    DeviceRequest getInterface{0x81, 0x0A, 0, 0, 1, &alternate, 0};
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(getInterface));
    EXPECT_EQ(1, alternate);
    DeviceRequest setInterface{0x01, 0x0B, 0, 0, 0, nullptr, 0};
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(setInterface));
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(getInterface));
    EXPECT_EQ(0, alternate);

    // The interface stays usable after the device object closes.
    EXPECT_EQ(kIOReturnSuccess, device->USBDeviceClose());
    device.reset();
    DeviceRequest clearHalt{0x02, 0x01, 0, 0x82, 0, nullptr, 0};
    EXPECT_EQ(kIOReturnSuccess, interface->ControlRequest(0, clearHalt));
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, "x", 1, 1000, 1000));
}

// --- Claiming interface 0 --------------------------------------------------------

TEST_F(LibusbOnEmulatedKernel, ClaimDetachesThePrinterDriverAndReleaseGivesItBack) {
    attach(printer(""));
    ASSERT_TRUE(bus->kernelDriver(0).bound);
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    KernelDriverState state = bus->kernelDriver(0);
    EXPECT_FALSE(state.bound);
    EXPECT_EQ(1, state.detachCount);
    EXPECT_EQ(0u, state.refusedWhileBound);

    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    state = bus->kernelDriver(0);
    EXPECT_TRUE(state.bound);
    EXPECT_EQ(1, state.attachCount);

    // Destroying an open interface releases it too.
    interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    EXPECT_FALSE(bus->kernelDriver(0).bound);
    interface.reset();
    EXPECT_TRUE(bus->kernelDriver(0).bound);
    EXPECT_EQ(2, bus->kernelDriver(0).attachCount);
}

TEST_F(LibusbOnEmulatedKernel, ClaimWorksWithoutAPrinterDriver) {
    attach(printer(""), EmulatedBus::Options{.printerDriverLoaded = false});
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    const KernelDriverState state = bus->kernelDriver(0);
    EXPECT_FALSE(state.bound);
    EXPECT_EQ(0, state.detachCount);
}

TEST_F(LibusbOnEmulatedKernel, AnInterfaceAnotherProgramHoldsCannotBeClaimed) {
    attach(printer("") + printer("<interfaceHeldOpen>true</interfaceHeldOpen>"));

    // Another program (its own libusb context, its own open file) holds
    // the first printer.
    LibusbAccess other;
    auto otherDevice = deviceAt(bus->locationID(0), other);
    auto held = interfaceOf(*otherDevice, other);
    ASSERT_EQ(kIOReturnSuccess, held->USBInterfaceOpen());

    auto device = deviceAt(bus->locationID(0));
    ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen());  // opening is not exclusive
    auto interface = interfaceOf(*device, access);
    EXPECT_EQ(kIOReturnExclusiveAccess, interface->USBInterfaceOpen());
    EXPECT_EQ(kIOReturnNotOpen, interface->WritePipeTO(1, "x", 1, 100, 100));

    ASSERT_EQ(kIOReturnSuccess, held->USBInterfaceClose());
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceOpen());

    auto heldDevice = deviceAt(bus->locationID(1));
    auto heldInterface = interfaceOf(*heldDevice, access);
    EXPECT_EQ(kIOReturnExclusiveAccess, heldInterface->USBInterfaceOpen());
}

TEST_F(LibusbOnEmulatedKernel, ADeviceThatCannotBeOpenedIsStillListed) {
    attach(printer("<heldOpen>true</heldOpen>"));
    auto device = deviceAt(bus->locationID(0));
    ASSERT_NE(nullptr, device);
    EXPECT_NE(kIOReturnSuccess, device->USBDeviceOpen());
    EXPECT_NE(kIOReturnSuccess, interfaceOf(*device, access)->USBInterfaceOpen());
}

// --- Pipes and alternate settings ------------------------------------------------

TEST_F(LibusbOnEmulatedKernel, PipePropertiesFollowTheCurrentAlternateSetting) {
    attach(printer("<endpoints>bulk-out</endpoints>"
                   "<alternateEndpoints>interrupt-in bulk-in bulk-out</alternateEndpoints>"));
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);

    std::uint8_t count = 0, direction = 0, number = 0, type = 0, interval = 0;
    std::uint16_t packet = 0;
    ASSERT_EQ(kIOReturnSuccess, interface->GetNumEndpoints(&count));
    EXPECT_EQ(1, count);
    ASSERT_EQ(kIOReturnSuccess,
              interface->GetPipeProperties(1, &direction, &number, &type, &packet, &interval));
    EXPECT_EQ(kUSBOut, direction);
    EXPECT_EQ(kUSBBulk, type);
    EXPECT_EQ(kIOReturnBadArgument,
              interface->GetPipeProperties(2, &direction, &number, &type, &packet, &interval));

    ASSERT_EQ(kIOReturnSuccess, interface->SetAlternateInterface(1));
    ASSERT_EQ(kIOReturnSuccess, interface->GetNumEndpoints(&count));
    EXPECT_EQ(3, count);
    ASSERT_EQ(kIOReturnSuccess,
              interface->GetPipeProperties(1, &direction, &number, &type, &packet, &interval));
    EXPECT_EQ(kUSBIn, direction);
    EXPECT_EQ(1, number);
    EXPECT_EQ(kUSBInterrupt, type);
    EXPECT_NE(0, interval);
    ASSERT_EQ(kIOReturnSuccess,
              interface->GetPipeProperties(2, &direction, &number, &type, &packet, &interval));
    EXPECT_EQ(kUSBIn, direction);
    EXPECT_EQ(2, number);
    EXPECT_EQ(kUSBBulk, type);
    EXPECT_EQ(512, packet);

    // Data goes to the pipe of the setting now in force.
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(3, "abc", 3, 1000, 1000));
    EXPECT_EQ(3u, bus->bytesReceived(0));
    EXPECT_EQ(kIOReturnBadArgument, interface->WritePipeTO(2, "abc", 3, 1000, 1000));
}

TEST_F(LibusbOnEmulatedKernel, ARefusedAlternateSettingLeavesThePipesAsTheyWere) {
    attach(printer("<refuseSetInterface>true</refuseSetInterface>"
                   "<alternateEndpoints>bulk-in</alternateEndpoints>"));
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    EXPECT_NE(kIOReturnSuccess, interface->SetAlternateInterface(1));
    std::uint8_t count = 0;
    ASSERT_EQ(kIOReturnSuccess, interface->GetNumEndpoints(&count));
    EXPECT_EQ(3, count);
}

// --- Bulk transfers --------------------------------------------------------------

TEST_F(LibusbOnEmulatedKernel, APJLQueryIsAnsweredAndAnIdlePrinterSendsZeroLengthPackets) {
    attach(printer("<deviceID>MFG:Zelvik;MDL:LP-100;</deviceID>"));
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    std::uint8_t buffer[3072];
    std::uint32_t size = sizeof buffer;
    ASSERT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, buffer, &size, 1000, 1000));
    EXPECT_EQ(0u, size);

    const std::string query = "@PJL INFO ID\r\n";
    ASSERT_EQ(kIOReturnSuccess,
              interface->WritePipeTO(1, query.data(), static_cast<std::uint32_t>(query.size()),
                                     1000, 1000));
    size = sizeof buffer;
    ASSERT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, buffer, &size, 1000, 1000));
    EXPECT_EQ("@PJL INFO ID\r\n\"LP-100\"\r\n\f",
              std::string(reinterpret_cast<char*>(buffer), size));
}

TEST_F(LibusbOnEmulatedKernel, AZeroLengthWriteReachesThePrinter) {
    attach(printer("<answer>got it</answer>"));
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    ASSERT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, nullptr, 0, 1000, 1000));
    char buffer[64];
    std::uint32_t size = sizeof buffer;
    ASSERT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, buffer, &size, 1000, 1000));
    EXPECT_EQ("got it", std::string(buffer, size));
}

TEST_F(LibusbOnEmulatedKernel, AReadFromASilentPrinterEndsAfterTheNoDataTimeOut) {
    attach(printer("<idleIn>nak</idleIn>"));
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    char buffer[64];
    std::uint32_t size = sizeof buffer;
    const auto begin = Clock::now();
    EXPECT_EQ(kIOReturnTimeout, interface->ReadPipeTO(2, buffer, &size, 200, 4000));
    const auto took = Clock::now() - begin;
    EXPECT_EQ(0u, size);
    EXPECT_GE(took, milliseconds(200));
    EXPECT_LT(took, milliseconds(3000));  // not the completion time-out
    EXPECT_EQ(0u, bus->pendingUrbs());  // the timed-out URB was taken back
}

TEST_F(LibusbOnEmulatedKernel, ASlowPrinterKeepsAWriteGoingPastTheNoDataTimeOut) {
    // 20000 bytes a second: each 150 ms round moves some of the 9000
    // bytes, so the write goes on until all are taken.
    attach(printer("<acceptBytesPerSecond>20000</acceptBytesPerSecond>"));
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    const std::string data(9000, 'd');
    const auto begin = Clock::now();
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, data.data(), 9000, 150, 5000));
    EXPECT_GE(Clock::now() - begin, milliseconds(300));
    EXPECT_EQ(9000u, bus->bytesReceived(0));
}

TEST_F(LibusbOnEmulatedKernel, ASlowWriteEndsAtTheCompletionTimeOut) {
    attach(printer("<acceptBytesPerSecond>20000</acceptBytesPerSecond>"));
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    const std::string data(20000, 'd');
    // Unbounded, the write would be done in about a second.
    const auto begin = Clock::now();
    EXPECT_EQ(kIOReturnTimeout, interface->WritePipeTO(1, data.data(), 20000, 150, 400));
    EXPECT_GE(Clock::now() - begin, milliseconds(400));
    EXPECT_GT(bus->bytesReceived(0), 0u);
    EXPECT_LT(bus->bytesReceived(0), 20000u);
}

TEST_F(LibusbOnEmulatedKernel, AStalledPipeIsReportedAndClearedOnBothSides) {
    attach(printer("<failWriteAfterBytes>4</failWriteAfterBytes>"));
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    EXPECT_EQ(kIOUSBPipeStalled, interface->WritePipeTO(1, "0123456789", 10, 1000, 1000));
    EXPECT_EQ(4u, bus->bytesReceived(0));
    EXPECT_TRUE(bus->isHalted(0, 0x01));

    EXPECT_EQ(kIOReturnSuccess, interface->ClearPipeStall(1));
    EXPECT_FALSE(bus->isHalted(0, 0x01));
    const auto log = bus->controlLog(0);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(0x02, log.back().bmRequestType);  // CLEAR_FEATURE(ENDPOINT_HALT) of 0x01
    EXPECT_EQ(0x01, log.back().bRequest);
    EXPECT_EQ(0x01, log.back().wIndex);

    EXPECT_EQ(kIOReturnSuccess, interface->AbortPipe(1));
    EXPECT_EQ(kIOReturnSuccess, interface->ResetPipe(2));
    EXPECT_EQ(kIOReturnBadArgument, interface->ClearPipeStall(9));
}

TEST_F(LibusbOnEmulatedKernel, APrinterThatLeavesTheBusIsNoDevice) {
    attach(printer("<disconnectAfterBytes>100</disconnectAfterBytes>"));
    auto interface = claimFirstPrinter();
    ASSERT_NE(nullptr, interface);
    const std::string data(1000, 'd');
    EXPECT_EQ(kIOReturnNoDevice, interface->WritePipeTO(1, data.data(), 1000, 1000, 1000));
    EXPECT_EQ(kIOReturnNoDevice, interface->WritePipeTO(1, data.data(), 10, 1000, 1000));
    EXPECT_EQ(100u, bus->bytesReceived(0));
}

}  // namespace
}  // namespace zelvik::emulation
