// SPDX-License-Identifier: Apache-2.0
// The virtual bus file: what a test or a demo writes is the bus it gets.
#include <gtest/gtest.h>

#include <string>

#include "usb/sim/VirtualPrinter.h"

namespace zelvik::sim {
namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::vector<VirtualPrinterConfig> parse(const std::string& devices) {
    return parseSimulatedBus(
        bytesOf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<simulatedBus>" + devices + "</simulatedBus>\n"));
}

// An endpoint list written out as the bus file names endpoints.
std::string listed(const std::vector<EndpointConfig>& endpoints) {
    static const char* const kinds[] = {"bulk-in", "bulk-out", "interrupt-in", "interrupt-out"};
    std::string text;
    for (const EndpointConfig& e : endpoints) {
        text += (text.empty() ? "" : " ") + std::string(kinds[static_cast<int>(e.kind)]) + ":" +
                std::to_string(e.maxPacketSize);
    }
    return text;
}

TEST(BusFile, DevicesWithoutSettingsGetTheBusDefaults) {
    const auto bus = parse("<device/><device></device><device><deviceID>MFG:A;MDL:B;</deviceID></device>");
    ASSERT_EQ(bus.size(), 3u);
    for (std::size_t i = 0; i < bus.size(); ++i) {
        const VirtualPrinterConfig& p = bus[i];
        EXPECT_EQ(p.vendorID, ZELVIK_PRINTER_VENDOR_ID);
        EXPECT_EQ(p.productID, 0x0001);
        EXPECT_EQ(p.locationID, 0x01000000u + ((i + 1) << 20)) << "device " << i + 1;
        EXPECT_EQ(listed(p.endpoints), "bulk-out:512 bulk-in:512 interrupt-in:64");
        EXPECT_EQ(p.idleIn, IdleIn::Zlp);
        EXPECT_FALSE(p.heldOpen || p.interfaceHeldOpen || p.answer || p.acceptBytesPerSecond || p.failWriteAfterBytes ||
                     p.captureFile || p.serialNumber || p.alternateEndpoints);
    }
    EXPECT_FALSE(bus[0].deviceID);
}

// Settings the program's own tests do not already read from a file.
TEST(BusFile, SettingsAreReadInDecimalOrHexAndOtherToolsSettingsAreIgnored) {
    const auto bus = parse(R"(<hub>1-4</hub>
  <device><portPath>1-4.2</portPath>
    <deviceIDLength>0x0102</deviceIDLength>
    <alternateSetting> 2 </alternateSetting>
    <refuseSetInterface>TRUE</refuseSetInterface> <stallGetInterface>false</stallGetInterface>
    <endpoints>bulk-in:64  bulk-out interrupt-out:0x10</endpoints>
    <alternateEndpoints>bulk-out:1024</alternateEndpoints>
    <answerDelayMs>250</answerDelayMs> <idleIn>nak</idleIn>
    <disconnectAfterBytes>8192</disconnectAfterBytes> <pageCount>18446744073709551615</pageCount>
  </device>
  <device><endpoints></endpoints></device>)");
    ASSERT_EQ(bus.size(), 2u);
    const VirtualPrinterConfig& p = bus[0];
    EXPECT_EQ(p.deviceIDLength, 258);
    EXPECT_EQ(p.alternateSetting, 2);
    EXPECT_TRUE(p.refuseSetInterface);
    EXPECT_FALSE(p.stallGetInterface);
    EXPECT_EQ(listed(p.endpoints), "bulk-in:64 bulk-out:512 interrupt-out:16");
    EXPECT_EQ(listed(p.alternateEndpoints.value_or(defaultEndpoints())), "bulk-out:1024");
    EXPECT_EQ(p.answerDelayMs, 250u);
    EXPECT_EQ(p.idleIn, IdleIn::Nak);
    EXPECT_EQ(p.disconnectAfterBytes, 8192u);
    EXPECT_EQ(p.pageCount, 18446744073709551615u);
    EXPECT_TRUE(bus[1].endpoints.empty());  // an empty list: no endpoints at all
}

TEST(BusFile, TextsTakeTheEscapes) {
    EXPECT_EQ(unescapeBusText(R"(a\r\n\f\e\\b)"), (Bytes{'a', '\r', '\n', '\f', 0x1B, '\\', 'b'}));
    EXPECT_EQ(unescapeBusText(R"(\x00\x7f\xFF)"), (Bytes{0x00, 0x7F, 0xFF}));
    // A backslash that starts no escape stands for itself.
    EXPECT_EQ(unescapeBusText(R"(\q\x4)"), bytesOf(R"(\q\x4)"));
    EXPECT_EQ(unescapeBusText(R"(end\)"), bytesOf(R"(end\)"));
    EXPECT_EQ(unescapeBusText(R"(\\n)"), bytesOf(R"(\n)"));

    const auto bus = parse(R"(<device><deviceID>MFG:A\x3BB;MDL:C&amp;D;</deviceID>
      <serialNumber>S\x00N</serialNumber> <answer>\e%-12345X\f</answer></device>)");
    ASSERT_EQ(bus.size(), 1u);
    EXPECT_EQ(bus[0].deviceID, "MFG:A;B;MDL:C&D;");
    EXPECT_EQ(bus[0].serialNumber, std::string("S\0N", 3));
    EXPECT_EQ(bus[0].answer, bytesOf("\x1b%-12345X\f"));
}

TEST(BusFile, AnEmptyOrMalformedFileIsAnEmptyBusAsAWhole) {
    std::vector<std::string> files = {
        "<simulatedBus/>", "", "not xml at all", "<simulatedBus><device></simulatedBus>",
        "<otherRoot><device/></otherRoot>",
        // One bad device spoils the good ones around it.
        "<simulatedBus><device/><device><productID>x</productID></device><device/></simulatedBus>"};
    std::string sixteen;  // more endpoints than a device can have
    for (int i = 0; i < 16; ++i) sixteen += "bulk-in ";
    for (const std::string& device : std::vector<std::string>{
             "<vendorID>0x10000</vendorID>", "<vendorID>12a</vendorID>", "<vendorID>-1</vendorID>",
             "<locationID>4294967296</locationID>", "<pageCount>18446744073709551616</pageCount>",
             "<alternateSetting>255</alternateSetting>", "<heldOpen>yes</heldOpen>", "<idleIn>stall</idleIn>",
             "<endpoints>bulk-up</endpoints>", "<endpoints>bulk-in:65536</endpoints>",
             "<endpoints>" + sixteen + "</endpoints>", "<serialDescriptor>04 03 4</serialDescriptor>",
             "<captureFile></captureFile>", "<pageCount>1</pageCount><pageCount>2</pageCount>",
             "<answer><b>x</b></answer>", "text"}) {
        files.push_back("<simulatedBus><device>" + device + "</device></simulatedBus>");
    }
    for (const std::string& xml : files) EXPECT_TRUE(parseSimulatedBus(bytesOf(xml)).empty()) << xml;
}

TEST(BusFile, TheDemoExampleHasPrintersWithAndWithoutSerialAndAnotherVendor) {
    int withSerial = 0, servedWithoutSerial = 0, otherVendor = 0;
    for (const auto& p : loadSimulatedBus(ZELVIK_SOURCE_DIR "/examples/virtual-printers.xml")) {
        EXPECT_TRUE(p.deviceID && !p.captureFile);
        if (p.vendorID != servedVendorID()) ++otherVendor;
        else if (p.serialNumber) ++withSerial;
        else ++servedWithoutSerial;
    }
    EXPECT_GE(withSerial, 2);
    EXPECT_GE(servedWithoutSerial, 1);
    EXPECT_GE(otherVendor, 1);
}

}  // namespace
}  // namespace zelvik::sim
