// The virtual bus file: what a test or a demo writes is the bus it gets.
#include <gtest/gtest.h>

#include <string>

#include "support/TempDir.h"
#include "usb/sim/VirtualPrinter.h"

namespace zelvik::sim {
namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::vector<VirtualPrinterConfig> parse(const std::string& devices) {
    return parseSimulatedBus(bytesOf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<simulatedBus>" +
                                     devices + "</simulatedBus>\n"));
}

TEST(BusFile, DevicesWithoutSettingsGetTheBusDefaults) {
    const auto bus = parse("<device/><device></device><device><deviceID>MFG:A;MDL:B;</deviceID></device>");
    ASSERT_EQ(bus.size(), 3u);
    for (std::size_t i = 0; i < bus.size(); ++i) {
        const VirtualPrinterConfig& p = bus[i];
        EXPECT_EQ(p.vendorID, servedVendorID());
        EXPECT_EQ(p.vendorID, ZELVIK_PRINTER_VENDOR_ID);
        EXPECT_EQ(p.productID, 0x0001);
        EXPECT_EQ(p.locationID, 0x01000000u + ((i + 1) << 20)) << "device " << i + 1;
        ASSERT_EQ(p.endpoints.size(), 3u);
        EXPECT_EQ(p.endpoints[0].kind, EndpointKind::BulkOut);
        EXPECT_EQ(p.endpoints[0].maxPacketSize, 512);
        EXPECT_EQ(p.endpoints[1].kind, EndpointKind::BulkIn);
        EXPECT_EQ(p.endpoints[1].maxPacketSize, 512);
        EXPECT_EQ(p.endpoints[2].kind, EndpointKind::InterruptIn);
        EXPECT_EQ(p.endpoints[2].maxPacketSize, 64);
        EXPECT_FALSE(p.alternateEndpoints);
        EXPECT_EQ(p.idleIn, IdleIn::Zlp);
        EXPECT_FALSE(p.heldOpen);
        EXPECT_FALSE(p.interfaceHeldOpen);
        EXPECT_FALSE(p.serialNumber);
        EXPECT_FALSE(p.serialDescriptor);
        EXPECT_FALSE(p.answer);
        EXPECT_TRUE(p.pendingAnswer.empty());
        EXPECT_FALSE(p.acceptBytesPerSecond);
        EXPECT_FALSE(p.failWriteAfterBytes);
        EXPECT_FALSE(p.captureFile);
        EXPECT_EQ(p.pageCount, 0u);
    }
    EXPECT_FALSE(bus[0].deviceID);
    EXPECT_EQ(bus[2].deviceID, "MFG:A;MDL:B;");
}

TEST(BusFile, EverySettingIsReadInDecimalOrHex) {
    const auto bus = parse(R"(
  <device>
    <vendorID>0x04B8</vendorID>
    <productID>4660</productID>
    <locationID>0</locationID>
    <deviceID>MFG:Zelvik;MDL:Zelvik LP-100;</deviceID>
    <deviceIDLength>0x0102</deviceIDLength>
    <serialNumber>SN-1</serialNumber>
    <serialDescriptor>07 03 41 00
        42 00 43</serialDescriptor>
    <heldOpen>true</heldOpen>
    <interfaceHeldOpen>TRUE</interfaceHeldOpen>
    <alternateSetting> 2 </alternateSetting>
    <refuseSetInterface>true</refuseSetInterface>
    <stallGetInterface>false</stallGetInterface>
    <endpoints>bulk-in:64  bulk-out interrupt-out:0x10</endpoints>
    <alternateEndpoints>bulk-out:1024</alternateEndpoints>
    <pendingAnswer>old</pendingAnswer>
    <answer>new</answer>
    <answerDelayMs>250</answerDelayMs>
    <idleIn>nak</idleIn>
    <acceptBytesPerSecond>0x400</acceptBytesPerSecond>
    <captureFile>capture.bin</captureFile>
    <failWriteAfterBytes>4096</failWriteAfterBytes>
    <disconnectAfterBytes>8192</disconnectAfterBytes>
    <pageCount>18446744073709551615</pageCount>
  </device>)");
    ASSERT_EQ(bus.size(), 1u);
    const VirtualPrinterConfig& p = bus[0];
    EXPECT_EQ(p.vendorID, 0x04B8);
    EXPECT_EQ(p.productID, 4660);
    EXPECT_EQ(p.locationID, 0u);  // 0 is a value, not "use the default"
    EXPECT_EQ(p.deviceID, "MFG:Zelvik;MDL:Zelvik LP-100;");
    EXPECT_EQ(p.deviceIDLength, 258);
    EXPECT_EQ(p.serialNumber, "SN-1");
    EXPECT_EQ(p.serialDescriptor, (Bytes{0x07, 0x03, 0x41, 0x00, 0x42, 0x00, 0x43}));
    EXPECT_TRUE(p.heldOpen);
    EXPECT_TRUE(p.interfaceHeldOpen);
    EXPECT_EQ(p.alternateSetting, 2);
    EXPECT_TRUE(p.refuseSetInterface);
    EXPECT_FALSE(p.stallGetInterface);
    ASSERT_EQ(p.endpoints.size(), 3u);
    EXPECT_EQ(p.endpoints[0].kind, EndpointKind::BulkIn);
    EXPECT_EQ(p.endpoints[0].maxPacketSize, 64);
    EXPECT_EQ(p.endpoints[1].kind, EndpointKind::BulkOut);
    EXPECT_EQ(p.endpoints[1].maxPacketSize, 512);
    EXPECT_EQ(p.endpoints[2].kind, EndpointKind::InterruptOut);
    EXPECT_EQ(p.endpoints[2].maxPacketSize, 16);
    ASSERT_TRUE(p.alternateEndpoints);
    ASSERT_EQ(p.alternateEndpoints->size(), 1u);
    EXPECT_EQ((*p.alternateEndpoints)[0].maxPacketSize, 1024);
    EXPECT_EQ(p.pendingAnswer, bytesOf("old"));
    EXPECT_EQ(p.answer, bytesOf("new"));
    EXPECT_EQ(p.answerDelayMs, 250u);
    EXPECT_EQ(p.idleIn, IdleIn::Nak);
    EXPECT_EQ(p.acceptBytesPerSecond, 1024u);
    EXPECT_EQ(p.captureFile, "capture.bin");
    EXPECT_EQ(p.failWriteAfterBytes, 4096u);
    EXPECT_EQ(p.disconnectAfterBytes, 8192u);
    EXPECT_EQ(p.pageCount, 18446744073709551615u);
}

TEST(BusFile, AnEmptyEndpointListMeansNoEndpoints) {
    const auto bus = parse("<device><endpoints></endpoints>"
                           "<alternateEndpoints>bulk-out bulk-in</alternateEndpoints></device>");
    ASSERT_EQ(bus.size(), 1u);
    EXPECT_TRUE(bus[0].endpoints.empty());
    ASSERT_TRUE(bus[0].alternateEndpoints);
    EXPECT_EQ(bus[0].alternateEndpoints->size(), 2u);
}

TEST(BusFile, TextsTakeTheEscapes) {
    EXPECT_EQ(unescapeBusText(R"(a\r\n\f\e\\b)"), (Bytes{'a', '\r', '\n', '\f', 0x1B, '\\', 'b'}));
    EXPECT_EQ(unescapeBusText(R"(\x00\x7f\xFF)"), (Bytes{0x00, 0x7F, 0xFF}));
    // A backslash that starts no escape stands for itself.
    EXPECT_EQ(unescapeBusText(R"(\q\x4)"), bytesOf(R"(\q\x4)"));
    EXPECT_EQ(unescapeBusText(R"(end\)"), bytesOf(R"(end\)"));
    EXPECT_EQ(unescapeBusText(R"(\\n)"), bytesOf(R"(\n)"));

    const auto bus = parse(R"(<device>
      <deviceID>MFG:A\x3BB;MDL:C&amp;D;</deviceID>
      <serialNumber>S\x00N</serialNumber>
      <pendingAnswer>\e%-12345X@PJL\r\n</pendingAnswer>
      <answer>OK\f</answer></device>)");
    ASSERT_EQ(bus.size(), 1u);
    EXPECT_EQ(bus[0].deviceID, "MFG:A;B;MDL:C&D;");
    EXPECT_EQ(bus[0].serialNumber, std::string("S\0N", 3));
    EXPECT_EQ(bus[0].pendingAnswer, bytesOf("\x1b%-12345X@PJL\r\n"));
    EXPECT_EQ(bus[0].answer, bytesOf("OK\f"));
}

TEST(BusFile, SettingsOfOtherToolsAreIgnored) {
    const auto bus = parse("<hub>1-4</hub><device><portPath>1-4.2</portPath><pageCount>3</pageCount>"
                           "</device>");
    ASSERT_EQ(bus.size(), 1u);
    EXPECT_EQ(bus[0].pageCount, 3u);
}

TEST(BusFile, AnEmptyBusHasNoDevices) {
    EXPECT_TRUE(parseSimulatedBus(bytesOf("<simulatedBus/>")).empty());
    EXPECT_TRUE(parseSimulatedBus(bytesOf("<simulatedBus>\n</simulatedBus>")).empty());
    EXPECT_TRUE(parse("<comment>none yet</comment>").empty());
}

TEST(BusFile, AMalformedFileIsAnEmptyBusAsAWhole) {
    const char* const cases[] = {
        "",
        "not xml at all",
        "<simulatedBus><device></simulatedBus>",
        "<otherRoot><device/></otherRoot>",
        "<simulatedBus><device><vendorID>0x10000</vendorID></device></simulatedBus>",
        "<simulatedBus><device><vendorID>12a</vendorID></device></simulatedBus>",
        "<simulatedBus><device><vendorID></vendorID></device></simulatedBus>",
        "<simulatedBus><device><vendorID>-1</vendorID></device></simulatedBus>",
        "<simulatedBus><device><vendorID>0x</vendorID></device></simulatedBus>",
        "<simulatedBus><device><locationID>4294967296</locationID></device></simulatedBus>",
        "<simulatedBus><device><pageCount>18446744073709551616</pageCount></device></simulatedBus>",
        "<simulatedBus><device><alternateSetting>255</alternateSetting></device></simulatedBus>",
        "<simulatedBus><device><heldOpen>yes</heldOpen></device></simulatedBus>",
        "<simulatedBus><device><idleIn>stall</idleIn></device></simulatedBus>",
        "<simulatedBus><device><endpoints>bulk-up</endpoints></device></simulatedBus>",
        "<simulatedBus><device><endpoints>bulk-in:</endpoints></device></simulatedBus>",
        "<simulatedBus><device><endpoints>bulk-in:65536</endpoints></device></simulatedBus>",
        "<simulatedBus><device><endpoints>bulk-in bulk-in bulk-in bulk-in bulk-in bulk-in bulk-in "
        "bulk-in bulk-in bulk-in bulk-in bulk-in bulk-in bulk-in bulk-in bulk-in</endpoints>"
        "</device></simulatedBus>",
        "<simulatedBus><device><serialDescriptor>04 03 4</serialDescriptor></device></simulatedBus>",
        "<simulatedBus><device><serialDescriptor>0403</serialDescriptor></device></simulatedBus>",
        "<simulatedBus><device><serialDescriptor>zz</serialDescriptor></device></simulatedBus>",
        "<simulatedBus><device><captureFile></captureFile></device></simulatedBus>",
        "<simulatedBus><device><pageCount>1</pageCount><pageCount>2</pageCount></device>"
        "</simulatedBus>",
        "<simulatedBus><device><answer><b>x</b></answer></device></simulatedBus>",
        "<simulatedBus><device>text</device></simulatedBus>",
        // One bad device spoils the good ones around it.
        "<simulatedBus><device/><device><productID>x</productID></device><device/></simulatedBus>",
    };
    for (const char* xml : cases) {
        EXPECT_TRUE(parseSimulatedBus(bytesOf(xml)).empty()) << xml;
    }
}

TEST(BusFile, LoadingReadsTheFileOrGivesAnEmptyBus) {
    test::TempDir dir;
    EXPECT_TRUE(loadSimulatedBus(dir.file("missing.xml")).empty());
    EXPECT_TRUE(loadSimulatedBus(dir.path()).empty());  // a directory
    test::writeFile(dir.file("bus.xml"),
                    "<simulatedBus><device><productID>7</productID></device></simulatedBus>");
    const auto bus = loadSimulatedBus(dir.file("bus.xml"));
    ASSERT_EQ(bus.size(), 1u);
    EXPECT_EQ(bus[0].productID, 7);
}

TEST(BusFile, TheShippedExampleDescribesTheDemoBus) {
    const auto bus = loadSimulatedBus(ZELVIK_SOURCE_DIR "/examples/virtual-printers.xml");
    ASSERT_GE(bus.size(), 4u);
    int served = 0, withSerial = 0, servedWithoutSerial = 0, otherVendor = 0;
    for (const auto& p : bus) {
        EXPECT_TRUE(p.deviceID);
        EXPECT_FALSE(p.captureFile);
        if (p.vendorID != servedVendorID()) {
            ++otherVendor;
            continue;
        }
        ++served;
        if (p.serialNumber) ++withSerial; else ++servedWithoutSerial;
    }
    EXPECT_GE(withSerial, 2);
    EXPECT_GE(servedWithoutSerial, 1);
    EXPECT_GE(otherVendor, 1);
    EXPECT_GE(served, 3);
}

}  // namespace
}  // namespace zelvik::sim
