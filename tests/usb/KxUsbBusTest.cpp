// SPDX-License-Identifier: Apache-2.0
// The printer link on a bus of virtual printers: how devices are named, how
// a printer is opened by its URI and its pipes learnt, and that every device
// and interface the link opens is closed again.
#include <gtest/gtest.h>

#include <array>

#include "base/NotificationCenter.h"
#include "usb/KxUsbCommunicater.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace zelvik {
namespace {

using sim::TransferType;
using sim::VirtualPrinterConfig;

VirtualPrinterConfig printer(std::optional<std::string> deviceID, std::optional<std::string> serial) {
    VirtualPrinterConfig config;
    config.deviceID = std::move(deviceID);
    config.serialNumber = std::move(serial);
    config.locationID = 0x0fa00010;
    return config;
}

template <typename Change>
VirtualPrinterConfig with(VirtualPrinterConfig config, Change change) {
    change(config);
    return config;
}

// The wIndex of every control request of one kind that a printer got.
std::vector<unsigned> indexesOf(const sim::VirtualPrinter& p, std::uint8_t type, std::uint8_t request,
                                std::uint16_t value) {
    std::vector<unsigned> found;
    for (const auto& r : p.controlLog()) {
        if (r.bmRequestType == type && r.bRequest == request && r.wValue == value) found.push_back(r.wIndex);
    }
    return found;
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

TEST_F(OnTheBus, AListingClosesEveryDeviceItOpensAndStopsAtTheMaximum) {
    const std::vector<VirtualPrinterConfig> printers = {
        with(printer("MFG:A;MDL:B;", "X"),
             [](auto& c) { c.vendorID = static_cast<std::uint16_t>(kPrinterVendorID ^ 0x8000); }),
        with(printer("MFG:A;MDL:B;", "H"), [](auto& c) { c.heldOpen = true; }),
        printer("MFG:A;", "N"),                                                          // counts, not listed
        with(printer("MFG:A;MDL:B;", std::nullopt), [](auto& c) { c.locationID = 0; }),  // no URI
        printer("MFG:A;MDL:B;", "S1"),
        printer("MDL:C;", "S2"),
    };
    attach(printers);
    EXPECT_EQ(listedURIs(-1), (std::vector<std::string>{"usb://A/B?serial=S1", "usb://Unknown/C?serial=S2"}));
    EXPECT_EQ(bus->activity(0).deviceOpens, 1u);  // opened to read its vendor
    expectDevicesClosed();

    attach(printers);
    EXPECT_EQ(listedURIs(2), std::vector<std::string>{"usb://A/B?serial=S1"});
    EXPECT_EQ(bus->activity(5).deviceOpens, 0u);
    expectDevicesClosed();
}

TEST_F(OnTheBus, OnlyTheOpenedPrintersInterfaceIsHeldAndItIsLetGo) {
    attach({printer("MFG:A;MDL:B;", "S1"), printer("MFG:A;MDL:B;", "S2"), printer("MFG:A;MDL:B;", "S1")});
    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S2"), 0);
    EXPECT_EQ(bus->activity(0).interfaceOpens, 0u);
    EXPECT_TRUE(bus->activity(1).interfaceOpen);
    expectDevicesClosed();
    link->closePipes();
    EXPECT_EQ(bus->openInterfaceCount(), 0u);

    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S2"), 0);
    // Starting another open lets go of the printer held so far.
    EXPECT_EQ(link->openUSBDevice("usb://A/B?serial=S1"), 0);
    EXPECT_EQ(bus->openInterfaceCount(), 1u);
    EXPECT_TRUE(bus->activity(0).interfaceOpen);  // the search ends at the first claim
    link->initInstanceVariables();
    EXPECT_EQ(bus->openInterfaceCount(), 0u);
}

TEST_F(OnTheBus, ASerialLeftByAnEarlierCandidateNeverOpensAnother) {
    // S2's interface is held elsewhere; the next printer, same model, has an
    // unreadable serial and must not pass for S2.
    attach({with(printer("MFG:A;MDL:B;", "S2"), [](auto& c) { c.interfaceHeldOpen = true; }),
            with(printer("MFG:A;MDL:B;", std::nullopt), [](auto& c) {
                c.serialDescriptor = Bytes{4, 2, 'S', 0};
            })});
    EXPECT_EQ(link->openUSBDevice("usb://A/B?serial=S2"), 7);
    EXPECT_EQ(bus->activity(1).interfaceOpens, 0u);
    EXPECT_EQ(bus->openInterfaceCount(), 0u);
    expectDevicesClosed();
}

TEST_F(OnTheBus, ThePipeWalkKeepsTheLowestReferenceOfEachKind) {
    auto config = printer("MFG:A;MDL:B;", "S");
    config.interfaces.front().endpoints = {{0x81, TransferType::Bulk, 64},
                                           {0x02, TransferType::Bulk, 512},
                                           {0x03, TransferType::Bulk, 1024},
                                           {0x84, TransferType::Interrupt, 8},
                                           {0x85, TransferType::Interrupt, 16}};
    attach({config});

    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S"), 0);
    EXPECT_EQ(std::vector<int>({link->bulkPipeIn(), link->bulkPipeOut(), link->intPipeIn()}),
              std::vector<int>({1, 2, 4}));
    EXPECT_EQ(link->maxBulkPacketSize(), 512u);
    EXPECT_EQ(link->maxIntPacketSize(), 8u);
}

TEST_F(OnTheBus, InterfaceZeroIsPutBackOnItsSettingOrTheOpenFails) {
    auto elsewhere = with(printer("MFG:A;MDL:B;", "S1"), [](auto& c) {
        for (std::uint8_t setting = 1; setting <= 2; ++setting) {
            c.interfaces.push_back(c.interfaces.front());
            c.interfaces.back().alternateSetting = setting;
        }
        c.alternateSetting = 2;
    });
    auto refusing = with(elsewhere, [](auto& c) { c.serialNumber = "S2", c.refuseSetInterface = true; });
    attach({elsewhere, refusing});

    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S1"), 0);
    EXPECT_EQ(indexesOf(bus->printer(0), 0x01, 0x0B, 0), std::vector<unsigned>{0});  // SET_INTERFACE 0/0
    EXPECT_EQ(bus->printer(0).currentAlternateSetting(), 0);

    EXPECT_EQ(link->openUSBDevice("usb://A/B?serial=S2"), 7);
    EXPECT_EQ(indexesOf(bus->printer(1), 0x01, 0x0B, 0), std::vector<unsigned>{0});
    EXPECT_FALSE(bus->activity(1).interfaceOpen);

    expectDevicesClosed();
}

TEST_F(OnTheBus, AStalledGetInterfaceClearsBothBulkHaltsInThenOut) {
    attach({with(printer("MFG:A;MDL:B;", "S1"), [](auto& c) { c.stallGetInterface = true; })});
    ASSERT_EQ(link->openUSBDevice("usb://A/B?serial=S1"), 0);
    // CLEAR_FEATURE(ENDPOINT_HALT): bulk IN is endpoint 2 (0x82), bulk OUT endpoint 1.
    EXPECT_EQ(indexesOf(bus->printer(0), 0x02, 0x01, 0), (std::vector<unsigned>{0x82, 0x01}));
    EXPECT_TRUE(indexesOf(bus->printer(0), 0x01, 0x0B, 0).empty());
}

TEST(CancelObserver, ACancelNotificationSetsTheFlagUntilRemoved) {
    SimulatedUsbAccess bus(std::vector<VirtualPrinterConfig>{});
    KxUsbCommunicater observing(bus), removed(bus);
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
    observing.initInstanceVariables();  // a new operation does not forget a cancel
    EXPECT_TRUE(observing.processCancelFlg());
    observing.removeNotification();
}

}  // namespace
}  // namespace zelvik
