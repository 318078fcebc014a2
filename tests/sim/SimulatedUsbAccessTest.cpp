// The in-process simulated bus as the printer link sees it: services,
// exclusive opens, control requests, pipes, and transfers that really wait.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/TempDir.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace zelvik {
namespace {

using namespace std::chrono_literals;
using sim::EndpointConfig;
using sim::EndpointKind;
using sim::VirtualPrinterConfig;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

VirtualPrinterConfig printer(const std::string& model, std::optional<std::string> serial = {}) {
    VirtualPrinterConfig c;
    c.deviceID = "MFG:Zelvik;MDL:" + model + ";";
    c.serialNumber = std::move(serial);
    return c;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One printer with its device and interface objects made the way the
// printer link makes them.
struct Opened {
    std::unique_ptr<UsbDevice> device;
    std::unique_ptr<UsbInterface> interface;
};

Opened open(SimulatedUsbAccess& usb, std::size_t index = 0) {
    Opened o;
    const auto services = usb.copyMatchingDevices();
    if (!services || index >= services->size()) return o;
    o.device = usb.createDeviceInterface((*services)[index]);
    if (!o.device) return o;
    std::vector<UsbServiceRef> interfaces;
    if (o.device->CreateInterfaceIterator(&interfaces) != kIOReturnSuccess || interfaces.size() != 1) {
        return o;
    }
    o.interface = usb.createInterfaceInterface(interfaces[0]);
    return o;
}

// --- The bus and its devices --------------------------------------------------------

TEST(SimulatedBus, ListsDevicesInBusOrderWithTheirIdentity) {
    VirtualPrinterConfig other = printer("Other", "O-1");
    other.vendorID = 0x0FF0;
    other.locationID = 0xfa;
    other.productID = 0x0042;
    SimulatedUsbAccess usb({printer("First", "S-1"), other, printer("Third")});
    const auto services = usb.copyMatchingDevices();
    ASSERT_TRUE(services);
    ASSERT_EQ(services->size(), 3u);
    ASSERT_EQ(usb.printerCount(), 3u);

    const std::uint32_t locations[] = {0x01100000, 0xfa, 0x01300000};
    const std::uint16_t vendors[] = {sim::servedVendorID(), 0x0FF0, sim::servedVendorID()};
    const std::uint8_t serialIndexes[] = {3, 3, 0};
    for (std::size_t i = 0; i < 3; ++i) {
        auto device = usb.createDeviceInterface((*services)[i]);
        ASSERT_TRUE(device);
        std::uint16_t vendor = 0, product = 0;
        std::uint32_t location = 0;
        std::uint8_t serialIndex = 0xFF;
        EXPECT_EQ(device->GetDeviceVendor(&vendor), kIOReturnSuccess);
        EXPECT_EQ(device->GetDeviceProduct(&product), kIOReturnSuccess);
        EXPECT_EQ(device->GetLocationID(&location), kIOReturnSuccess);
        EXPECT_EQ(device->USBGetSerialNumberStringIndex(&serialIndex), kIOReturnSuccess);
        EXPECT_EQ(vendor, vendors[i]);
        EXPECT_EQ(product, i == 1 ? 0x0042 : 0x0001);
        EXPECT_EQ(location, locations[i]);
        EXPECT_EQ(serialIndex, serialIndexes[i]);
    }
    // Services of another kind, or of another bus, make no object.
    SimulatedUsbAccess elsewhere({printer("X")});
    EXPECT_FALSE(elsewhere.createDeviceInterface((*services)[0]));
    EXPECT_FALSE(usb.createInterfaceInterface((*services)[0]));
    EXPECT_FALSE(usb.createDeviceInterface(nullptr));
}

TEST(SimulatedBus, DeviceOpensAreExclusiveAndCounted) {
    VirtualPrinterConfig held = printer("Held", "H");
    held.heldOpen = true;
    SimulatedUsbAccess usb({printer("A", "S"), held});
    const auto services = *usb.copyMatchingDevices();

    auto first = usb.createDeviceInterface(services[0]);
    auto second = usb.createDeviceInterface(services[0]);
    EXPECT_EQ(first->USBDeviceOpen(), kIOReturnSuccess);
    EXPECT_EQ(second->USBDeviceOpen(), kIOReturnExclusiveAccess);
    EXPECT_EQ(usb.openDeviceCount(), 1u);
    EXPECT_TRUE(usb.activity(0).deviceOpen);
    EXPECT_EQ(first->USBDeviceClose(), kIOReturnSuccess);
    EXPECT_EQ(first->USBDeviceClose(), kIOReturnNotOpen);
    EXPECT_EQ(second->USBDeviceOpen(), kIOReturnSuccess);
    second.reset();  // destroying an open object closes it
    EXPECT_EQ(usb.openDeviceCount(), 0u);
    EXPECT_EQ(usb.activity(0).deviceOpens, 2u);
    EXPECT_EQ(usb.activity(0).deviceCloses, 2u);

    auto heldDevice = usb.createDeviceInterface(services[1]);
    const IOReturn status = heldDevice->USBDeviceOpen();
    EXPECT_NE(status, kIOReturnSuccess);
    EXPECT_EQ(status, kIOReturnExclusiveAccess);
    EXPECT_EQ(usb.activity(1).deviceOpens, 0u);
}

TEST(SimulatedBus, ControlRequestsNeedAnOpenDeviceAndReportStalls) {
    SimulatedUsbAccess usb({printer("LP-1", "SN")});
    auto device = usb.createDeviceInterface((*usb.copyMatchingDevices())[0]);
    std::uint8_t buffer[256] = {};
    DeviceRequest getID{0xA1, 0, 0, 0, 256, buffer, 99};
    EXPECT_EQ(device->DeviceRequest(getID), kIOReturnNotOpen);
    EXPECT_EQ(getID.wLenDone, 0u);
    EXPECT_TRUE(usb.printer(0).controlLog().empty());

    ASSERT_EQ(device->USBDeviceOpen(), kIOReturnSuccess);
    EXPECT_EQ(device->DeviceRequest(getID), kIOReturnSuccess);
    const std::string id = "MFG:Zelvik;MDL:LP-1;";
    EXPECT_EQ(getID.wLenDone, 2u + id.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer) + 2, id.size()), id);

    DeviceRequest unknownString{0x80, 6, 0x0305, 0, 256, buffer, 99};
    EXPECT_EQ(device->DeviceRequest(unknownString), kIOUSBPipeStalled);
    EXPECT_EQ(unknownString.wLenDone, 0u);

    DeviceRequest header{0x80, 6, 0x0303, 0, 2, buffer, 0};
    EXPECT_EQ(device->DeviceRequest(header), kIOReturnSuccess);
    EXPECT_EQ(header.wLenDone, 2u);
    EXPECT_EQ(buffer[0], 6);
    EXPECT_EQ(buffer[1], 3);

    DeviceRequest noBuffer{0x80, 6, 0x0303, 0, 2, nullptr, 0};
    EXPECT_NE(device->DeviceRequest(noBuffer), kIOReturnSuccess);

    ASSERT_EQ(usb.printer(0).controlLog().size(), 3u);
    EXPECT_EQ(usb.printer(0).controlLog()[2].wValue, 0x0303);
}

// --- The interface and its pipes ------------------------------------------------------

TEST(SimulatedInterface, NeedsAnExclusiveOpen) {
    VirtualPrinterConfig held = printer("Held", "H");
    held.interfaceHeldOpen = true;
    SimulatedUsbAccess usb({printer("A", "S"), held});

    Opened a = open(usb, 0);
    ASSERT_TRUE(a.interface);
    std::uint8_t number = 9, count = 0;
    EXPECT_EQ(a.interface->GetInterfaceNumber(&number), kIOReturnSuccess);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(a.interface->GetNumEndpoints(&count), kIOReturnNotOpen);
    std::uint32_t size = 16;
    std::uint8_t buf[16];
    EXPECT_EQ(a.interface->ReadPipeTO(2, buf, &size, 50, 50), kIOReturnNotOpen);
    EXPECT_EQ(a.interface->WritePipeTO(1, buf, 1, 50, 50), kIOReturnNotOpen);
    EXPECT_EQ(a.interface->ClearPipeStall(1), kIOReturnNotOpen);

    ASSERT_EQ(a.interface->USBInterfaceOpen(), kIOReturnSuccess);
    Opened again = open(usb, 0);
    EXPECT_EQ(again.interface->USBInterfaceOpen(), kIOReturnExclusiveAccess);
    EXPECT_EQ(a.interface->GetNumEndpoints(&count), kIOReturnSuccess);
    EXPECT_EQ(count, 3);
    UsbServiceRef deviceService;
    EXPECT_EQ(a.interface->GetDevice(&deviceService), kIOReturnSuccess);
    EXPECT_TRUE(usb.createDeviceInterface(deviceService));
    EXPECT_EQ(usb.openInterfaceCount(), 1u);
    a.interface.reset();
    EXPECT_EQ(usb.openInterfaceCount(), 0u);
    EXPECT_EQ(usb.activity(0).interfaceCloses, 1u);

    Opened h = open(usb, 1);
    EXPECT_EQ(h.interface->USBInterfaceOpen(), kIOReturnExclusiveAccess);
    EXPECT_FALSE(usb.activity(1).interfaceOpen);
}

TEST(SimulatedInterface, PipePropertiesFollowTheCurrentAlternateSetting) {
    VirtualPrinterConfig c = printer("A", "S");
    c.endpoints = {};
    c.alternateEndpoints = std::vector<EndpointConfig>{{EndpointKind::BulkIn, 64},
                                                       {EndpointKind::BulkOut, 512},
                                                       {EndpointKind::InterruptIn, 8}};
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    std::uint8_t count = 99, direction = 0, number = 0, type = 0, interval = 0;
    std::uint16_t packet = 0;
    EXPECT_EQ(o.interface->GetNumEndpoints(&count), kIOReturnSuccess);
    EXPECT_EQ(count, 0);
    EXPECT_NE(o.interface->GetPipeProperties(1, &direction, &number, &type, &packet, &interval),
              kIOReturnSuccess);

    EXPECT_EQ(o.interface->SetAlternateInterface(1), kIOReturnSuccess);
    EXPECT_EQ(usb.printer(0).currentAlternateSetting(), 1);
    EXPECT_EQ(o.interface->GetNumEndpoints(&count), kIOReturnSuccess);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(o.interface->GetPipeProperties(1, &direction, &number, &type, &packet, &interval),
              kIOReturnSuccess);
    EXPECT_EQ(direction, kUSBIn);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(type, kUSBBulk);
    EXPECT_EQ(packet, 64);
    EXPECT_EQ(o.interface->GetPipeProperties(2, &direction, &number, &type, &packet, &interval),
              kIOReturnSuccess);
    EXPECT_EQ(direction, kUSBOut);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(packet, 512);
    EXPECT_EQ(o.interface->GetPipeProperties(3, &direction, &number, &type, &packet, &interval),
              kIOReturnSuccess);
    EXPECT_EQ(type, kUSBInterrupt);
    EXPECT_EQ(packet, 8);
    EXPECT_NE(o.interface->GetPipeProperties(4, &direction, &number, &type, &packet, &interval),
              kIOReturnSuccess);
    EXPECT_NE(o.interface->GetPipeProperties(0, &direction, &number, &type, &packet, &interval),
              kIOReturnSuccess);
    EXPECT_NE(o.interface->SetAlternateInterface(2), kIOReturnSuccess);
}

TEST(SimulatedInterface, ARefusedAlternateSettingFails) {
    VirtualPrinterConfig c = printer("A", "S");
    c.alternateSetting = 1;
    c.refuseSetInterface = true;
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    EXPECT_NE(o.interface->SetAlternateInterface(0), kIOReturnSuccess);
    EXPECT_EQ(usb.printer(0).currentAlternateSetting(), 1);
}

TEST(SimulatedInterface, ControlRequestsGoThroughPipeZeroOnly) {
    SimulatedUsbAccess usb({printer("A", "S")});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    usb.printer(0).haltEndpoint(0x82);
    DeviceRequest clear{0x02, 0x01, 0, 0x82, 0, nullptr, 0};
    EXPECT_NE(o.interface->ControlRequest(1, clear), kIOReturnSuccess);
    EXPECT_TRUE(usb.printer(0).isHalted(0x82));
    EXPECT_EQ(o.interface->ControlRequest(0, clear), kIOReturnSuccess);
    EXPECT_FALSE(usb.printer(0).isHalted(0x82));
    DeviceRequest getInterface{0x81, 0x0A, 0, 0, 1, nullptr, 0};
    std::uint8_t alt = 0xFF;
    getInterface.pData = &alt;
    EXPECT_EQ(o.interface->ControlRequest(0, getInterface), kIOReturnSuccess);
    EXPECT_EQ(getInterface.wLenDone, 1u);
    EXPECT_EQ(alt, 0);
}

// --- Transfers --------------------------------------------------------------------------

TEST(SimulatedTransfers, AQueryAndItsAnswer) {
    VirtualPrinterConfig c = printer("Zelvik LP-100", "S");
    c.pendingAnswer = bytesOf("stale");
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);

    std::uint8_t buffer[3072];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(o.interface->ReadPipeTO(2, buffer, &size, 15000, 60000), kIOReturnSuccess);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "stale");
    size = sizeof buffer;
    EXPECT_EQ(o.interface->ReadPipeTO(2, buffer, &size, 15000, 60000), kIOReturnSuccess);
    EXPECT_EQ(size, 0u);  // idle: a zero-length packet

    const std::string query = "@PJL INFO ID\r\n";
    EXPECT_EQ(o.interface->WritePipeTO(1, query.data(), static_cast<std::uint32_t>(query.size()),
                                       15000, 60000),
              kIOReturnSuccess);
    size = 4;  // a small buffer takes the answer in parts
    EXPECT_EQ(o.interface->ReadPipeTO(2, buffer, &size, 15000, 60000), kIOReturnSuccess);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "@PJL");
    size = sizeof buffer;
    EXPECT_EQ(o.interface->ReadPipeTO(2, buffer, &size, 15000, 60000), kIOReturnSuccess);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size),
              " INFO ID\r\n\"Zelvik LP-100\"\r\n\f");
}

TEST(SimulatedTransfers, PipesOfTheWrongKindOrDirectionRefuseTransfers) {
    SimulatedUsbAccess usb({printer("A", "S")});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    std::uint8_t buffer[64];
    std::uint32_t size = sizeof buffer;
    EXPECT_NE(o.interface->ReadPipeTO(1, buffer, &size, 50, 50), kIOReturnSuccess);   // bulk OUT
    EXPECT_NE(o.interface->ReadPipeTO(3, buffer, &size, 50, 50), kIOReturnSuccess);   // interrupt
    EXPECT_NE(o.interface->ReadPipeTO(0, buffer, &size, 50, 50), kIOReturnSuccess);
    EXPECT_NE(o.interface->ReadPipeTO(4, buffer, &size, 50, 50), kIOReturnSuccess);
    EXPECT_NE(o.interface->WritePipeTO(2, buffer, 1, 50, 50), kIOReturnSuccess);     // bulk IN
    EXPECT_NE(o.interface->WritePipeTO(9, buffer, 1, 50, 50), kIOReturnSuccess);
    EXPECT_EQ(usb.printer(0).bytesReceived(), 0u);
}

TEST(SimulatedTransfers, ASilentPrinterTimesOutAfterTheNoDataTimeout) {
    VirtualPrinterConfig c = printer("A", "S");
    c.idleIn = sim::IdleIn::Nak;
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    std::uint8_t buffer[64];
    std::uint32_t size = sizeof buffer;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(o.interface->ReadPipeTO(2, buffer, &size, 50, 60000), kIOReturnTimeout);
    EXPECT_GE(secondsSince(start), 0.050);
    EXPECT_LT(secondsSince(start), 10.0);
    EXPECT_EQ(size, 0u);

    size = sizeof buffer;
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(o.interface->ReadPipeTO(2, buffer, &size, 15000, 60), kIOReturnTimeout);
    EXPECT_GE(secondsSince(again), 0.060);
    EXPECT_LT(secondsSince(again), 10.0);
}

TEST(SimulatedTransfers, AReadWaitsForADelayedAnswer) {
    VirtualPrinterConfig c = printer("M", "S");
    c.idleIn = sim::IdleIn::Nak;
    c.answerDelayMs = 40;
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    const std::string query = "@PJL ECHO hi\n";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(o.interface->WritePipeTO(1, query.data(), static_cast<std::uint32_t>(query.size()),
                                       15000, 60000),
              kIOReturnSuccess);
    std::uint8_t buffer[64];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(o.interface->ReadPipeTO(2, buffer, &size, 15000, 60000), kIOReturnSuccess);
    EXPECT_GE(secondsSince(start), 0.040);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "@PJL ECHO hi\r\n\f");
}

TEST(SimulatedTransfers, ASlowPrinterTakesRealTimeAndTimesOutWhenTooSlow) {
    VirtualPrinterConfig c = printer("Slow", "S");
    c.acceptBytesPerSecond = 20000;  // 2000 bytes every 0.1 s
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    const Bytes data(4000, 0xAB);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 4000, 15000, 60000), kIOReturnSuccess);
    EXPECT_GE(secondsSince(start), 0.15);
    EXPECT_EQ(usb.printer(0).bytesReceived(), 4000u);

    // Data keeps moving, but the whole transfer is not done in time.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 4000, 15000, 120), kIOReturnTimeout);
    EXPECT_GE(secondsSince(start), 0.12);
    EXPECT_LT(usb.printer(0).bytesReceived(), 8000u);

    // A zero-length write does not wait for the limit.
    EXPECT_EQ(o.interface->WritePipeTO(1, nullptr, 0, 15000, 60000), kIOReturnSuccess);
}

TEST(SimulatedTransfers, APrinterThatTakesNoDataTimesOutAfterTheNoDataTimeout) {
    VirtualPrinterConfig c = printer("Stuck", "S");
    c.acceptBytesPerSecond = 0;
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    const Bytes data(100, 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 100, 50, 60000), kIOReturnTimeout);
    EXPECT_GE(secondsSince(start), 0.050);
    EXPECT_LT(secondsSince(start), 10.0);
}

TEST(SimulatedTransfers, AStalledPipeFailsUntilItsHaltIsCleared) {
    VirtualPrinterConfig c = printer("Faulty", "S");
    c.failWriteAfterBytes = 2048;
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    const Bytes data(2048, 7);
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 1024, 15000, 60000), kIOReturnSuccess);
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 2048, 15000, 60000), kIOUSBPipeStalled);
    EXPECT_EQ(usb.printer(0).bytesReceived(), 2048u);
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 0, 15000, 60000), kIOUSBPipeStalled);

    // The clear the printer link sends, then the host side.
    DeviceRequest clear{0x02, 0x01, 0, 0x01, 0, nullptr, 0};
    EXPECT_EQ(o.interface->ControlRequest(0, clear), kIOReturnSuccess);
    EXPECT_EQ(o.interface->ClearPipeStall(1), kIOReturnSuccess);
    EXPECT_FALSE(usb.printer(0).isHalted(0x01));
    // Past its limit the printer halts again at the next packet.
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 1, 15000, 60000), kIOUSBPipeStalled);
    EXPECT_EQ(o.interface->ResetPipe(1), kIOReturnSuccess);
    EXPECT_EQ(o.interface->AbortPipe(1), kIOReturnSuccess);
    EXPECT_NE(o.interface->AbortPipe(7), kIOReturnSuccess);
}

TEST(SimulatedTransfers, TheCaptureFileHoldsWhatWasWritten) {
    test::TempDir dir;
    VirtualPrinterConfig c = printer("A", "S");
    c.captureFile = dir.file("out.bin");
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    Bytes data(5000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
    for (std::size_t at = 0; at < data.size(); at += 2048) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(2048, data.size() - at));
        ASSERT_EQ(o.interface->WritePipeTO(1, data.data() + at, n, 15000, 60000), kIOReturnSuccess);
    }
    ASSERT_EQ(o.interface->WritePipeTO(1, nullptr, 0, 15000, 60000), kIOReturnSuccess);
    EXPECT_EQ(test::readFile(dir.file("out.bin")), std::string(data.begin(), data.end()));
}

TEST(SimulatedTransfers, AnUnpluggedPrinterIsGoneForEveryObject) {
    VirtualPrinterConfig c = printer("A", "S");
    c.idleIn = sim::IdleIn::Nak;
    SimulatedUsbAccess usb({c, printer("B", "T")});
    Opened o = open(usb);
    ASSERT_EQ(o.device->USBDeviceOpen(), kIOReturnSuccess);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);

    std::thread unplugger([&usb] {
        std::this_thread::sleep_for(30ms);
        usb.unplug(0);
    });
    std::uint8_t buffer[64];
    std::uint32_t size = sizeof buffer;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(o.interface->ReadPipeTO(2, buffer, &size, 15000, 60000), kIOReturnNoDevice);
    EXPECT_LT(secondsSince(start), 10.0);
    unplugger.join();

    std::uint16_t vendor = 0;
    EXPECT_EQ(o.device->GetDeviceVendor(&vendor), kIOReturnNoDevice);
    EXPECT_EQ(o.interface->WritePipeTO(1, buffer, 1, 50, 50), kIOReturnNoDevice);
    const auto services = usb.copyMatchingDevices();
    ASSERT_EQ(services->size(), 1u);
    auto device = usb.createDeviceInterface((*services)[0]);
    std::uint32_t location = 0;
    EXPECT_EQ(device->GetLocationID(&location), kIOReturnSuccess);
    EXPECT_EQ(location, 0x01200000u);
    // The objects still close.
    EXPECT_EQ(o.interface->USBInterfaceClose(), kIOReturnSuccess);
    EXPECT_EQ(o.device->USBDeviceClose(), kIOReturnSuccess);
    EXPECT_EQ(usb.openDeviceCount(), 0u);
}

TEST(SimulatedTransfers, APrinterThatDisconnectsMidTransferFailsTheTransfer) {
    VirtualPrinterConfig c = printer("A", "S");
    c.disconnectAfterBytes = 3000;
    SimulatedUsbAccess usb({c});
    Opened o = open(usb);
    ASSERT_EQ(o.interface->USBInterfaceOpen(), kIOReturnSuccess);
    const Bytes data(2048, 1);
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 2048, 15000, 60000), kIOReturnSuccess);
    EXPECT_EQ(o.interface->WritePipeTO(1, data.data(), 2048, 15000, 60000), kIOReturnNoDevice);
    EXPECT_TRUE(usb.copyMatchingDevices()->empty());
}

// --- The bus file from the environment ------------------------------------------------

class BusFromEnvironment : public ::testing::Test {
protected:
    void TearDown() override { ::unsetenv("ZELVIK_SIMULATED_BUS"); }
};

TEST_F(BusFromEnvironment, TheFileIsReadOnlyWhenTheBusIsFirstUsed) {
    test::TempDir dir;
    const std::string path = dir.file("bus.xml");
    ::setenv("ZELVIK_SIMULATED_BUS", path.c_str(), 1);
    auto usb = SimulatedUsbAccess::fromEnvironment();
    ASSERT_TRUE(usb);
    // Written after the access object was made, before its first use.
    test::writeFile(path,
                    "<simulatedBus><device><serialNumber>A</serialNumber></device>"
                    "<device><vendorID>0x0FF0</vendorID></device></simulatedBus>");
    const auto services = usb->copyMatchingDevices();
    ASSERT_TRUE(services);
    EXPECT_EQ(services->size(), 2u);
    EXPECT_EQ(usb->printer(1).vendorID(), 0x0FF0);
    // Read once: later changes do not matter.
    test::writeFile(path, "<simulatedBus/>");
    EXPECT_EQ(usb->copyMatchingDevices()->size(), 2u);
}

TEST_F(BusFromEnvironment, UnsetUnreadableOrMalformedIsAnEmptyBus) {
    ::unsetenv("ZELVIK_SIMULATED_BUS");
    auto unset = SimulatedUsbAccess::fromEnvironment();
    ASSERT_TRUE(unset->copyMatchingDevices());
    EXPECT_TRUE(unset->copyMatchingDevices()->empty());

    test::TempDir dir;
    ::setenv("ZELVIK_SIMULATED_BUS", dir.file("missing.xml").c_str(), 1);
    EXPECT_TRUE(SimulatedUsbAccess::fromEnvironment()->copyMatchingDevices()->empty());

    test::writeFile(dir.file("bad.xml"), "<simulatedBus><device>");
    ::setenv("ZELVIK_SIMULATED_BUS", dir.file("bad.xml").c_str(), 1);
    auto bad = SimulatedUsbAccess::fromEnvironment();
    EXPECT_TRUE(bad->copyMatchingDevices()->empty());
    EXPECT_EQ(bad->printerCount(), 0u);
}

}  // namespace
}  // namespace zelvik
