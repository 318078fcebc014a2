// SPDX-License-Identifier: Apache-2.0
#include "contract/UsbAccessContract.h"

#include <chrono>
#include <functional>
#include <string>
#include <tuple>

namespace zelvik::contract {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::unique_ptr<UsbDevice> OnBackend::deviceOf(std::size_t printer) {
    const auto services = backend->usb().copyMatchingDevices();
    for (const auto& service : services ? *services : std::vector<UsbServiceRef>{}) {
        auto device = backend->usb().createDeviceInterface(service);
        std::uint32_t location = 0;
        if (device && device->GetLocationID(&location) == kIOReturnSuccess &&
            location == backend->locationID(printer)) {
            return device;
        }
    }
    return nullptr;
}

std::unique_ptr<UsbInterface> OnBackend::interfaceOf(UsbDevice& device) {
    std::vector<UsbServiceRef> interfaces;
    if (device.CreateInterfaceIterator(&interfaces) != kIOReturnSuccess || interfaces.empty()) {
        return nullptr;
    }
    return backend->usb().createInterfaceInterface(interfaces.front());
}

std::unique_ptr<UsbInterface> OnBackend::claim(std::size_t printer) {
    auto device = deviceOf(printer);
    auto interface = device ? interfaceOf(*device) : nullptr;
    if (!interface || interface->USBInterfaceOpen() != kIOReturnSuccess) return nullptr;
    return interface;
}

namespace {

Clock::duration since(Clock::time_point start) { return Clock::now() - start; }

TEST_P(UsbAccessContract, ListsEveryPrinterInAStableOrderWithItsIdentity) {
    backend->attach({{.productID = 1, .locationID = 0x01100000, .serialNumber = "A1"},
                     {.productID = 2, .locationID = 0x01200000},
                     // another maker's, behind a hub
                     {.vendorID = 0x1234, .productID = 3, .locationID = 0x01310000}});
    // (location, vendor, product, whether a serial number string is named)
    using Identity = std::tuple<std::uint32_t, std::uint16_t, std::uint16_t, bool>;
    const std::vector<Identity> expected = {{0x01100000, sim::servedVendorID(), 1, true},
                                            {0x01200000, sim::servedVendorID(), 2, false},
                                            {0x01310000, 0x1234, 3, false}};
    for (int listing = 0; listing < 2; ++listing) {
        const auto services = backend->usb().copyMatchingDevices();
        std::vector<Identity> printers;
        for (const auto& service : services.value()) {
            auto device = backend->usb().createDeviceInterface(service);
            Identity id;
            std::uint8_t serial = 0;
            ASSERT_EQ(kIOReturnSuccess, device->GetLocationID(&std::get<0>(id)));
            ASSERT_EQ(kIOReturnSuccess, device->GetDeviceVendor(&std::get<1>(id)));
            ASSERT_EQ(kIOReturnSuccess, device->GetDeviceProduct(&std::get<2>(id)));
            ASSERT_EQ(kIOReturnSuccess, device->USBGetSerialNumberStringIndex(&serial));
            std::get<3>(id) = serial != 0;
            for (std::size_t p = 0; p < expected.size(); ++p) {
                if (std::get<0>(id) == backend->locationID(p)) printers.push_back(id);
            }
        }
        EXPECT_EQ(expected, printers) << "listing " << listing;
    }
}

TEST_P(UsbAccessContract, ControlRequestsNeedAnOpenDeviceAndGetThePrintersAnswers) {
    backend->attach({{.deviceID = "MFG:Zelvik;MDL:LP-1;", .serialNumber = "A1"}, {}, {.heldOpen = true}});
    auto device = deviceOf(0);
    ASSERT_NE(nullptr, device);
    std::uint8_t buffer[256] = {};
    const auto answer = [&](const DeviceRequest& r) {
        return std::string(reinterpret_cast<char*>(buffer), r.wLenDone);
    };
    DeviceRequest getDeviceID{0xA1, 0x00, 0, 0, sizeof buffer, buffer, 99};
    EXPECT_EQ(kIOReturnNotOpen, device->DeviceRequest(getDeviceID));
    EXPECT_EQ(0u, getDeviceID.wLenDone);
    EXPECT_EQ(0u, backend->controlRequestsReceived(0));

    ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen());
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(getDeviceID));
    EXPECT_EQ(std::string("\0\x16", 2) + "MFG:Zelvik;MDL:LP-1;", answer(getDeviceID));
    // The serial number string, in UTF-16LE, at the index the device names.
    std::uint8_t index = 0;
    ASSERT_EQ(kIOReturnSuccess, device->USBGetSerialNumberStringIndex(&index));
    DeviceRequest serial{0x80, 0x06, static_cast<std::uint16_t>(0x0300 | index), 0x0409, sizeof buffer, buffer, 0};
    ASSERT_EQ(kIOReturnSuccess, device->DeviceRequest(serial));
    EXPECT_EQ(std::string("\x06\x03"
                          "A\0"
                          "1\0",
                          6),
              answer(serial));
    DeviceRequest unknownString{0x80, 0x06, 0x0305, 0x0409, sizeof buffer, buffer, 99};
    EXPECT_EQ(kIOUSBPipeStalled, device->DeviceRequest(unknownString));
    EXPECT_EQ(0u, unknownString.wLenDone);
    DeviceRequest noBuffer{0x80, 0x06, 0x0303, 0x0409, 2, nullptr, 0};
    EXPECT_NE(kIOReturnSuccess, device->DeviceRequest(noBuffer));
    EXPECT_EQ(kIOReturnSuccess, device->USBDeviceClose());

    // A printer without a device ID stalls the request.
    auto silentDevice = deviceOf(1);
    ASSERT_EQ(kIOReturnSuccess, silentDevice->USBDeviceOpen());
    EXPECT_EQ(kIOUSBPipeStalled, silentDevice->DeviceRequest(getDeviceID));
    EXPECT_EQ(0u, getDeviceID.wLenDone);
    // One that another program holds is listed, and cannot be opened.
    auto heldDevice = deviceOf(2);
    ASSERT_NE(nullptr, heldDevice);
    EXPECT_NE(kIOReturnSuccess, heldDevice->USBDeviceOpen());
}

TEST_P(UsbAccessContract, AnInterfaceIsClaimedOnceAndItsPipesNeedTheClaim) {
    backend->attach({{}, {.interfaceHeldOpen = true}});
    auto device = deviceOf(0);
    ASSERT_NE(nullptr, device);
    auto interface = interfaceOf(*device);
    std::uint8_t buffer[16] = {};
    std::uint32_t size = 0;
    DeviceRequest clear{0x02, 0x01, 0, 0x01, 0, nullptr, 0};
    EXPECT_EQ(kIOReturnNotOpen, interface->ReadPipeTO(2, buffer, &(size = 16), 100, 100));
    EXPECT_EQ(kIOReturnNotOpen, interface->WritePipeTO(1, buffer, 1, 100, 100));
    EXPECT_EQ(kIOReturnNotOpen, interface->ClearPipeStall(1));
    EXPECT_EQ(kIOReturnNotOpen, interface->ControlRequest(0, clear));

    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpen());
    EXPECT_EQ(kIOReturnExclusiveAccess, interfaceOf(*deviceOf(0))->USBInterfaceOpen());
    EXPECT_EQ(kIOReturnExclusiveAccess, interfaceOf(*device)->USBInterfaceOpen());  // same device
    // Data moves only on the bulk pipes, in their direction (OUT is 1, IN
    // 2); requests go to the default pipe only.
    for (const std::uint8_t pipe : std::initializer_list<std::uint8_t>{0, 1, 9}) {
        EXPECT_NE(kIOReturnSuccess, interface->ReadPipeTO(pipe, buffer, &(size = 16), 100, 100))
            << "pipe " << int{pipe};
    }
    for (const std::uint8_t pipe : std::initializer_list<std::uint8_t>{0, 2, 9}) {
        EXPECT_NE(kIOReturnSuccess, interface->WritePipeTO(pipe, buffer, 1, 100, 100)) << "pipe " << int{pipe};
    }
    EXPECT_EQ(0u, backend->bytesReceived(0));
    EXPECT_EQ(kIOReturnBadArgument, interface->ControlRequest(1, clear));
    EXPECT_EQ(kIOReturnSuccess, interface->ControlRequest(0, clear));

    interface.reset();  // destroying an open interface object gives the claim up
    EXPECT_NE(nullptr, claim(0));
    auto heldInterface = interfaceOf(*deviceOf(1));
    EXPECT_EQ(kIOReturnExclusiveAccess, heldInterface->USBInterfaceOpen());
    EXPECT_EQ(kIOReturnNotOpen, heldInterface->WritePipeTO(1, "x", 1, 100, 100));
}

TEST_P(UsbAccessContract, PipesFollowTheAlternateSettingInForce) {
    using sim::TransferType;
    const sim::InterfaceDescription outOnly{.endpoints = {{0x01, TransferType::Bulk, 512}}};
    const sim::InterfaceDescription three{.alternateSetting = 1,
                                          .endpoints = {{0x81, TransferType::Interrupt, 64},
                                                        {0x82, TransferType::Bulk, 512},
                                                        {0x03, TransferType::Bulk, 64}}};
    const sim::InterfaceDescription inOnly{.alternateSetting = 1, .endpoints = {{0x81, TransferType::Bulk, 512}}};
    backend->attach({{.interfaces = {outOnly, three}},
                     {.refuseSetInterface = true, .interfaces = {sim::defaultInterfaces().front(), inOnly}}});
    auto interface = claim(0), refused = claim(1);
    ASSERT_TRUE(interface && refused);
    // (status, direction, endpoint number, type, maximum packet size, interval)
    using Pipe = std::tuple<IOReturn, unsigned, unsigned, unsigned, unsigned, unsigned>;
    const auto pipe = [](UsbInterface& of, std::uint8_t ref) {
        std::uint8_t direction = 0, number = 0, type = 0, interval = 0;
        std::uint16_t packet = 0;
        const IOReturn status = of.GetPipeProperties(ref, &direction, &number, &type, &packet, &interval);
        return status == kIOReturnSuccess ? Pipe{status, direction, number, type, packet, interval}
                                          : Pipe{status, 0, 0, 0, 0, 0};
    };
    const auto endpoints = [](UsbInterface& of) {
        std::uint8_t count = 0xFF;
        EXPECT_EQ(kIOReturnSuccess, of.GetNumEndpoints(&count));
        return count;
    };
    EXPECT_EQ(1, endpoints(*interface));
    EXPECT_EQ((Pipe{kIOReturnSuccess, kUSBOut, 1, kUSBBulk, 512, 0}), pipe(*interface, 1));
    EXPECT_EQ((Pipe{kIOReturnBadArgument, 0, 0, 0, 0, 0}), pipe(*interface, 2));

    ASSERT_EQ(kIOReturnSuccess, interface->SetAlternateInterface(1));
    EXPECT_EQ(3, endpoints(*interface));
    EXPECT_EQ((Pipe{kIOReturnSuccess, kUSBIn, 1, kUSBInterrupt, 64, 4}), pipe(*interface, 1));
    EXPECT_EQ((Pipe{kIOReturnSuccess, kUSBIn, 2, kUSBBulk, 512, 0}), pipe(*interface, 2));
    EXPECT_EQ((Pipe{kIOReturnSuccess, kUSBOut, 3, kUSBBulk, 64, 0}), pipe(*interface, 3));
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(3, "abc", 3, 1000, 1000));
    EXPECT_EQ(3u, backend->bytesReceived(0));
    EXPECT_EQ(kIOReturnBadArgument, interface->WritePipeTO(2, "abc", 3, 1000, 1000));

    // A setting the printer refuses leaves the pipes as they were.
    EXPECT_NE(kIOReturnSuccess, refused->SetAlternateInterface(1));
    EXPECT_EQ(3, endpoints(*refused));
    EXPECT_EQ((Pipe{kIOReturnSuccess, kUSBIn, 3, kUSBInterrupt, 64, 4}), pipe(*refused, 3));
}

TEST_P(UsbAccessContract, BulkTransfersCarryZeroLengthPacketsAndWaitForALateAnswer) {
    backend->attach(
        {{.answer = Bytes{'g', 'o', 't', ' ', 'i', 't'}}, {.answerDelayMs = 100, .idleIn = sim::IdleIn::Nak}});
    auto interface = claim(0), waiting = claim(1);
    ASSERT_TRUE(interface && waiting);
    char buffer[64];
    std::uint32_t size = 0;
    // An idle printer ends a read with a zero-length packet at once, and a
    // zero-length write is a transfer it answers.
    ASSERT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, buffer, &(size = 64), 1000, 1000));
    EXPECT_EQ(0u, size);
    ASSERT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, nullptr, 0, 1000, 1000));
    ASSERT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, buffer, &(size = 64), 1000, 1000));
    EXPECT_EQ("got it", std::string(buffer, size));

    const auto start = Clock::now();
    ASSERT_EQ(kIOReturnSuccess, waiting->WritePipeTO(1, "@PJL ECHO hi\n", 13, 15000, 60000));
    ASSERT_EQ(kIOReturnSuccess, waiting->ReadPipeTO(2, buffer, &(size = 64), 15000, 60000));
    EXPECT_GE(since(start), 100ms);
    EXPECT_EQ("@PJL ECHO hi\r\n\f", std::string(buffer, size));
}

TEST_P(UsbAccessContract, TransfersEndAtTheNoDataOrTheCompletionTimeOut) {
    backend->attach({{.idleIn = sim::IdleIn::Nak}, {.acceptBytesPerSecond = 0}, {.acceptBytesPerSecond = 20000}});
    auto s = claim(0), t = claim(1), u = claim(2);
    ASSERT_TRUE(s && t && u);
    const std::string data(20000, 'd');
    // A write that keeps moving goes on past the no-data time-out...
    auto start = Clock::now();
    EXPECT_EQ(kIOReturnSuccess, u->WritePipeTO(1, data.data(), 9000, 150, 5000));
    EXPECT_GE(since(start), 300ms);
    EXPECT_EQ(9000u, backend->bytesReceived(2));
    // ...but not past the completion time-out (unbounded, this one would
    // be done in about a second).
    start = Clock::now();
    EXPECT_EQ(kIOReturnTimeout, u->WritePipeTO(1, data.data(), 20000, 2000, 400));
    EXPECT_GE(since(start), 400ms);
    EXPECT_LT(since(start), 3s);
    EXPECT_GT(backend->bytesReceived(2), 9000u);
    EXPECT_LT(backend->bytesReceived(2), 29000u);

    // Nothing moving ends a transfer at whichever limit comes first.
    char buffer[64];
    std::uint32_t size = 0;
    const std::tuple<const char*, std::function<IOReturn()>> waits[] = {
        {"read, no data", [&] { return s->ReadPipeTO(2, buffer, &(size = 64), 200, 60000); }},
        {"read, completion", [&] { return s->ReadPipeTO(2, buffer, &(size = 64), 15000, 200); }},
        {"write, no data", [&] { return t->WritePipeTO(1, data.data(), 100, 200, 60000); }},
    };
    for (const auto& [what, transfer] : waits) {
        start = Clock::now();
        EXPECT_EQ(kIOReturnTimeout, transfer()) << what;
        EXPECT_GE(since(start), 200ms) << what;
        EXPECT_LT(since(start), 3s) << what;
        EXPECT_EQ(0u, size) << what;
    }
    EXPECT_EQ(0u, backend->bytesReceived(1));
}

TEST_P(UsbAccessContract, AStalledPipeFailsUntilItsHaltIsCleared) {
    backend->attach({{.failWriteAfterBytes = 2048, .stallReadAt = 1}});
    auto interface = claim(0);
    ASSERT_NE(nullptr, interface);
    const std::string data(2048, 'd');
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, data.data(), 1024, 1000, 1000));
    EXPECT_EQ(kIOUSBPipeStalled, interface->WritePipeTO(1, data.data(), 2048, 1000, 1000));
    EXPECT_EQ(2048u, backend->bytesReceived(0));
    EXPECT_TRUE(backend->isHalted(0, 0x01));
    EXPECT_EQ(kIOUSBPipeStalled, interface->WritePipeTO(1, nullptr, 0, 1000, 1000));
    EXPECT_EQ(kIOReturnBadArgument, interface->ClearPipeStall(9));
    EXPECT_EQ(kIOReturnSuccess, interface->ResetPipe(2));  // nothing to reset: no harm
    EXPECT_EQ(kIOReturnSuccess, interface->ClearPipeStall(1));
    EXPECT_FALSE(backend->isHalted(0, 0x01));
    // Past its limit the printer halts again at the next packet.
    EXPECT_EQ(kIOUSBPipeStalled, interface->WritePipeTO(1, data.data(), 1, 1000, 1000));
    EXPECT_EQ(2048u, backend->bytesReceived(0));

    // Its first read halts bulk IN; once that is cleared, reads go through.
    char buffer[8];
    std::uint32_t size = 0;
    EXPECT_EQ(kIOUSBPipeStalled, interface->ReadPipeTO(2, buffer, &(size = 8), 1000, 1000));
    EXPECT_EQ(kIOUSBPipeStalled, interface->ReadPipeTO(2, buffer, &(size = 8), 1000, 1000));
    EXPECT_TRUE(backend->isHalted(0, 0x82));
    EXPECT_EQ(kIOReturnSuccess, interface->ClearPipeStall(2));
    EXPECT_TRUE(backend->isHalted(0, 0x01));  // only the one named
    EXPECT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, buffer, &(size = 8), 1000, 1000));
    EXPECT_EQ(0u, size);
}

TEST_P(UsbAccessContract, APrinterLeavingTheBusIsNoDeviceForEveryObject) {
    // It leaves while the write waits.
    backend->attach({{.deviceID = "MFG:Zelvik;", .acceptBytesPerSecond = 2000, .disconnectAfterBytes = 100}});
    auto device = deviceOf(0);
    ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen());
    auto interface = interfaceOf(*device);
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpen());

    const std::string data(1000, 'd');
    EXPECT_EQ(kIOReturnNoDevice, interface->WritePipeTO(1, data.data(), 1000, 5000, 5000));
    EXPECT_EQ(100u, backend->bytesReceived(0));
    EXPECT_EQ(kIOReturnNoDevice, interface->WritePipeTO(1, data.data(), 10, 1000, 1000));
    char buffer[64];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(kIOReturnNoDevice, interface->ReadPipeTO(2, buffer, &size, 1000, 1000));
    EXPECT_EQ(kIOReturnNoDevice, interface->ClearPipeStall(1));
    DeviceRequest getDeviceID{0xA1, 0x00, 0, 0, sizeof buffer, buffer, 0};
    EXPECT_EQ(kIOReturnNoDevice, interface->ControlRequest(0, getDeviceID));
    EXPECT_EQ(kIOReturnNoDevice, device->DeviceRequest(getDeviceID));
    // Nothing is left to release; the objects close all the same.
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    EXPECT_EQ(kIOReturnSuccess, device->USBDeviceClose());
}

}  // namespace
}  // namespace zelvik::contract
