// The printer link on a bus of virtual printers: how devices are named,
// which are listed and counted, how a printer is opened by its URI, and that
// every device and interface the link opens is closed again.
#include <gtest/gtest.h>

#include "app/NotificationCenter.h"
#include "usb/KxUsbCommunicater.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace zelvik {
namespace {

using sim::EndpointConfig;
using sim::EndpointKind;
using sim::VirtualPrinterConfig;

VirtualPrinterConfig printer(std::optional<std::string> deviceID, std::optional<std::string> serial) {
    VirtualPrinterConfig config;
    config.deviceID = std::move(deviceID);
    config.serialNumber = std::move(serial);
    config.locationID = 0xfa;
    return config;
}

bool logged(const sim::VirtualPrinter& p, std::uint8_t type, std::uint8_t request, std::uint16_t value) {
    for (const auto& r : p.controlLog()) {
        if (r.bmRequestType == type && r.bRequest == request && r.wValue == value) return true;
    }
    return false;
}

// What one device step in listing mode makes of a single printer.
struct Identified {
    std::optional<std::string> uri, model, name;
};
Identified identify(VirtualPrinterConfig config) {
    SimulatedUsbAccess bus({std::move(config)});
    KxUsbCommunicater link(bus);
    if (link.dealWithDevice((*bus.copyMatchingDevices())[0]) != 0) return {};
    return {link.deviceURI(), link.modelName(), link.deviceName()};
}

TEST(Identification, TheDeviceIDGivesMakerAndModelAsWritten) {
    EXPECT_EQ(identify(printer("MFG:A;MDL:B;CMD:PJL;", "S")).uri, "usb://A/B?serial=S");
    // A blank after ";" belongs to the key; a value ends at its first ":";
    // a piece without ":" is ignored; a repeated key keeps its last value.
    EXPECT_EQ(identify(printer("MFG:A; MDL:B", "S")).uri, "usb://A/Unknown?serial=S");
    EXPECT_EQ(identify(printer("MDL:B:C;junk;MFG:X;MFG:Y", "S")).uri, "usb://Y/B?serial=S");
    // No device ID, or one that is not UTF-8: both names unknown.
    EXPECT_EQ(identify(printer(std::nullopt, "S")).name, "Unknown Unknown");
    EXPECT_EQ(identify(printer("MFG:A;MDL:\xED\xA0\x80;", "S")).uri, "usb://Unknown/Unknown?serial=S");

    SimulatedUsbAccess bus({printer("MFG:A;MDL:B;", "S")});
    KxUsbCommunicater link(bus);
    link.dealWithDevice((*bus.copyMatchingDevices())[0]);
    const auto& first = bus.printer(0).controlLog().front();
    EXPECT_EQ((std::vector<unsigned>{first.bmRequestType, first.bRequest, first.wValue, first.wIndex,
                                     first.wLength}),
              (std::vector<unsigned>{0xA1, 0, 0, 0, 256}));
}

TEST(Identification, TheDeviceIDStaysWithinItsLengthAndTheReply) {
    auto cut = printer("MFG:A;MDL:" + std::string(300, 'x'), "S");
    cut.deviceIDLength = 258;  // 0x01 0x02: capped at 255, so 253 bytes of text
    EXPECT_EQ(identify(cut).model->size(), 253u - 10u);

    auto overstated = printer("MFG:A;MDL:B", "S");
    overstated.deviceIDLength = 100;
    EXPECT_EQ(identify(overstated).model, "B");

    auto tiny = printer("MFG:A;MDL:B", "S");
    tiny.deviceIDLength = 1;
    EXPECT_EQ(identify(tiny).uri, "usb://Unknown/Unknown?serial=S");
}

TEST(Identification, ASerialNumberIsItsStringOrNone) {
    // No serial-number string: nothing is asked for, the location names it.
    SimulatedUsbAccess bus({printer("MFG:A;MDL:B;", std::nullopt)});
    KxUsbCommunicater link(bus);
    ASSERT_EQ(link.dealWithDevice((*bus.copyMatchingDevices())[0]), 0);
    EXPECT_EQ(link.deviceURI(), "usb://A/B?location=fa");
    EXPECT_FALSE(logged(bus.printer(0), 0x80, 6, 0x0300));

    EXPECT_EQ(identify(printer("MFG:A;MDL:B;", "S\xC3\xA9\xE2\x82\xAC")).uri,
              "usb://A/B?serial=S\xC3\xA9\xE2\x82\xAC");
    auto lone = printer("MFG:A;MDL:B;", std::nullopt);
    lone.serialDescriptor = Bytes{6, 3, 'S', 0, 0x3D, 0xD8};  // a lone high surrogate
    EXPECT_EQ(identify(lone).uri, "usb://A/B?location=fa");
    lone.serialDescriptor = Bytes{2, 3};
    EXPECT_EQ(identify(lone).uri, "usb://A/B?serial=");

    // Without a serial number or a location there is no URI.
    auto nowhere = printer("MFG:A;MDL:B;", std::nullopt);
    nowhere.locationID = 0;
    EXPECT_EQ(identify(nowhere).uri, std::nullopt);
}

class OnTheBus : public ::testing::Test {
protected:
    void attach(std::vector<VirtualPrinterConfig> printers) {
        link.reset();
        bus = std::make_unique<SimulatedUsbAccess>(std::move(printers));
        link = std::make_unique<KxUsbCommunicater>(*bus);
    }
    std::vector<std::string> listedURIs(std::int32_t maximum) {
        std::vector<std::string> uris;
        const std::optional<Dictionary> listing = link->picupUSBDevice(maximum);
        for (const Value& entry : *listing->find("deviceInformation")->asArray()) {
            uris.push_back(*entry.asDictionary()->findString("deviceURI"));
        }
        return uris;
    }
    void expectDevicesClosed() {
        EXPECT_EQ(bus->openDeviceCount(), 0u);
        for (std::size_t i = 0; i < bus->printerCount(); ++i) {
            EXPECT_EQ(bus->activity(i).deviceOpens, bus->activity(i).deviceCloses) << i;
        }
    }

    std::unique_ptr<SimulatedUsbAccess> bus;
    std::unique_ptr<KxUsbCommunicater> link;
};

std::vector<VirtualPrinterConfig> mixedBus() {
    std::vector<VirtualPrinterConfig> printers;
    printers.push_back(printer("MFG:A;MDL:B;", "X"));
    printers.back().vendorID = static_cast<std::uint16_t>(kPrinterVendorID ^ 0x8000);
    printers.push_back(printer("MFG:A;MDL:B;", "H"));
    printers.back().heldOpen = true;
    printers.push_back(printer("MFG:A;", "N"));             // counts, not listed
    printers.push_back(printer("MFG:A;MDL:B;", std::nullopt));
    printers.back().locationID = 0;                          // no URI: not counted
    printers.push_back(printer("MFG:A;MDL:B;", "S1"));
    printers.push_back(printer("MDL:C;", "S2"));
    return printers;
}

TEST_F(OnTheBus, AListingSkipsOtherVendorsHeldDevicesAndDevicesWithoutURI) {
    attach(mixedBus());
    EXPECT_EQ(listedURIs(-1),
              (std::vector<std::string>{"usb://A/B?serial=S1", "usb://Unknown/C?serial=S2"}));
    EXPECT_EQ(bus->activity(0).deviceOpens, 1u);  // opened to read its vendor, then closed
    expectDevicesClosed();

    Dictionary expected;
    expected.set("modelName", "B");
    expected.set("serialNumber", "S1");
    expected.set("deviceURI", "usb://A/B?serial=S1");
    const auto listing = link->picupUSBDevice(-1);
    EXPECT_EQ(*(*listing->find("deviceInformation")->asArray())[0].asDictionary(), expected);
}

TEST_F(OnTheBus, TheMaximumCountsIdentifiedDevicesListedOrNot) {
    attach(mixedBus());
    // The device without a model is the first counted, S1 the second.
    EXPECT_EQ(listedURIs(2), std::vector<std::string>{"usb://A/B?serial=S1"});
    EXPECT_EQ(bus->activity(5).deviceOpens, 0u);
    EXPECT_TRUE(listedURIs(1).empty());

    attach(mixedBus());
    EXPECT_TRUE(listedURIs(0).empty());
    for (std::size_t i = 0; i < bus->printerCount(); ++i) EXPECT_EQ(bus->activity(i).deviceOpens, 0u);

    attach(std::vector<VirtualPrinterConfig>{});
    EXPECT_TRUE(listedURIs(5).empty());
}

TEST_F(OnTheBus, APrinterOpensTalksClosesAndOpensAgain) {
    attach({printer("MFG:A;MDL:B;", "S1"), printer("MFG:A;MDL:B;", "S2")});
    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S2"), 0);
    EXPECT_EQ(bus->activity(0).interfaceOpens, 0u);
    EXPECT_EQ(bus->activity(1).interfaceOpens, 1u);
    expectDevicesClosed();  // only the interface stays open

    const std::string query = "@PJL INFO ID\r\n";
    ASSERT_EQ(link->writePipeWithBuffer(reinterpret_cast<const std::uint8_t*>(query.data()),
                                        static_cast<std::uint32_t>(query.size())), 0);
    std::vector<std::uint8_t> answer(3072);
    std::uint32_t size = static_cast<std::uint32_t>(answer.size());
    ASSERT_EQ(link->readPipeToBuffer(answer.data(), &size), 0);
    EXPECT_EQ(std::string(answer.begin(), answer.begin() + size), "@PJL INFO ID\r\n\"B\"\r\n\f");
    size = static_cast<std::uint32_t>(answer.size());
    EXPECT_EQ(link->readPipeToBuffer(answer.data(), &size), 0);  // a zero-length packet
    EXPECT_EQ(size, 0u);

    link->closePipes();
    EXPECT_EQ(bus->openInterfaceCount(), 0u);
    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S2"), 0);
    // Starting another open lets go of the printer held so far.
    EXPECT_EQ(link->openUSBDevice("usb://A/B?serial=S1"), 0);
    EXPECT_EQ(bus->openInterfaceCount(), 1u);
    link->initInstanceVariables();
    EXPECT_EQ(bus->openInterfaceCount(), 0u);
}

TEST_F(OnTheBus, AURIThatNoPrinterBuildsOpensNothing) {
    auto held = printer("MFG:A;MDL:B;", "S2");
    held.interfaceHeldOpen = true;
    // Same model as the held one, serial unreadable: it must not pass for S2.
    auto unreadable = printer("MFG:A;MDL:B;", std::nullopt);
    unreadable.serialDescriptor = Bytes{4, 2, 'S', 0};
    attach({printer("MFG:A;MDL:B;", "S1"), held, unreadable});
    EXPECT_EQ(link->openUSBDevice("usb://A/b?serial=S1"), 7);  // case differs
    EXPECT_EQ(link->openUSBDevice("usb://A/B?serial=S9"), 7);
    EXPECT_EQ(link->openUSBDevice("usb://A/B?serial=S2"), 7);
    EXPECT_EQ(bus->activity(2).interfaceOpens, 0u);
    EXPECT_FALSE(link->hasOpenInterface());
    EXPECT_EQ(bus->openInterfaceCount(), 0u);
    expectDevicesClosed();

    // Without an open interface nothing is sent anywhere.
    std::uint8_t buffer[4] = {};
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(static_cast<IOReturn>(link->writePipeWithBuffer(buffer, 4)), kIOReturnNotOpen);
    EXPECT_EQ(static_cast<IOReturn>(link->readPipeToBuffer(buffer, &size)), kIOReturnNotOpen);
    EXPECT_EQ(link->clearEndpointStall(1), kIOReturnNotOpen);
    link->closePipes();
}

TEST_F(OnTheBus, ThePipeWalkKeepsTheLowestReferenceOfEachKind) {
    auto config = printer("MFG:A;MDL:B;", "S");
    config.endpoints = {{EndpointKind::BulkIn, 64}, {EndpointKind::BulkOut, 512},
                        {EndpointKind::BulkOut, 1024}, {EndpointKind::InterruptIn, 8},
                        {EndpointKind::InterruptIn, 16}};
    auto outOnly = printer("MFG:A;MDL:B;", "T");
    outOnly.endpoints = {{EndpointKind::BulkOut, 512}};
    attach({config, outOnly});

    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S"), 0);
    EXPECT_EQ(std::vector<int>({link->bulkPipeIn(), link->bulkPipeOut(), link->intPipeIn()}),
              std::vector<int>({1, 2, 4}));
    EXPECT_EQ(link->maxBulkPacketSize(), 512u);
    EXPECT_EQ(link->maxIntPacketSize(), 8u);
    link->closePipes();

    // A printer without bulk IN opens all the same.
    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=T"), 0);
    EXPECT_EQ(link->bulkPipeIn(), 0);
    EXPECT_EQ(link->bulkPipeOut(), 1);
    link->closePipes();
    EXPECT_EQ(bus->openInterfaceCount(), 0u);
}

TEST_F(OnTheBus, InterfaceZeroIsPutBackOnItsSettingOrTheOpenFails) {
    auto elsewhere = printer("MFG:A;MDL:B;", "S1");
    elsewhere.alternateSetting = 2;
    auto refusing = elsewhere;
    refusing.serialNumber = "S2";
    refusing.refuseSetInterface = true;
    auto settingOne = printer("MFG:A;MDL:B;", "S3");  // no endpoints but in setting 1
    settingOne.endpoints = {};
    settingOne.alternateEndpoints = sim::defaultEndpoints();
    attach({elsewhere, refusing, settingOne});

    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S1"), 0);
    EXPECT_TRUE(logged(bus->printer(0), 0x01, 0x0B, 0));
    EXPECT_EQ(bus->printer(0).currentAlternateSetting(), 0);

    EXPECT_EQ(link->openUSBDevice("usb://A/B?serial=S2"), 7);
    EXPECT_TRUE(logged(bus->printer(1), 0x01, 0x0B, 0));
    EXPECT_FALSE(bus->activity(1).interfaceOpen);

    // The setting the pipes were found in is kept, so data goes through.
    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S3"), 0);
    EXPECT_EQ(bus->printer(2).currentAlternateSetting(), 1);
    const std::uint8_t data[4] = {'d', 'a', 't', 'a'};
    EXPECT_EQ(link->writePipeWithBuffer(data, sizeof data), 0);
    EXPECT_EQ(bus->printer(2).bytesReceived(), 4u);
    link->closePipes();
    expectDevicesClosed();
}

TEST_F(OnTheBus, AStalledGetInterfaceClearsBothBulkHaltsInThenOut) {
    auto stalling = printer("MFG:A;MDL:B;", "S1");
    stalling.stallGetInterface = true;
    attach({stalling});
    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S1"), 0);
    std::vector<std::uint16_t> cleared;
    for (const auto& r : bus->printer(0).controlLog()) {
        if (r.bmRequestType == 0x02 && r.bRequest == 0x01 && r.wValue == 0) cleared.push_back(r.wIndex);
    }
    // Bulk OUT is endpoint 1 and bulk IN endpoint 2 (0x82).
    EXPECT_EQ(cleared, (std::vector<std::uint16_t>{0x82, 0x01}));
    EXPECT_FALSE(logged(bus->printer(0), 0x01, 0x0B, 0));
}

TEST(CancelObserver, ACancelNotificationSetsTheFlagUntilRemoved) {
    SimulatedUsbAccess bus(std::vector<VirtualPrinterConfig>{});
    KxUsbCommunicater observing(bus), removed(bus);
    EXPECT_FALSE(observing.processCancelFlg());
    observing.registNotification();
    removed.registNotification();
    removed.removeNotification();
    {
        KxUsbCommunicater gone(bus);  // destroyed while registered
        gone.registNotification();
    }
    auto& center = NotificationCenter::defaultCenter();
    center.postNotificationName("SomethingElse", nullptr);
    EXPECT_FALSE(observing.processCancelFlg());
    center.postNotificationName(kKxUsbCommunicaterCancel, &bus);
    EXPECT_TRUE(observing.processCancelFlg());
    EXPECT_FALSE(removed.processCancelFlg());
    observing.initInstanceVariables();
    EXPECT_TRUE(observing.processCancelFlg());
    observing.removeNotification();
}

}  // namespace
}  // namespace zelvik
