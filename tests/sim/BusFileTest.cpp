// SPDX-License-Identifier: Apache-2.0
// The virtual bus file: what a test or a demo writes is the bus it gets, and
// a file that says something wrong is refused with its line and element.
#include <gtest/gtest.h>

#include <string>

#include "usb/sim/BusFile.h"
#include "usb/sim/BusFileWriter.h"

namespace zelvik::sim {
namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

BusFile parse(const std::string& devices) {
    return parseBusFile(
        bytesOf("<?xml version=\"1.0\" encoding=\"UTF-8\"?><simulatedBus>" + devices + "</simulatedBus>\n"));
}

TEST(BusFile, DevicesWithoutSettingsGetTheBusDefaults) {
    const BusFile bus = parse("<device/><device></device><device><deviceID>MFG:A;MDL:B;</deviceID></device>");
    ASSERT_FALSE(bus.error);
    ASSERT_EQ(bus.printers.size(), 3u);
    for (std::size_t i = 0; i < bus.printers.size(); ++i) {
        const VirtualPrinterConfig& p = bus.printers[i];
        EXPECT_EQ(p.vendorID, ZELVIK_PRINTER_VENDOR_ID);
        EXPECT_EQ(p.productID, 0x0001);
        EXPECT_EQ(p.locationID, 0x01000000u + ((i + 1) << 20)) << "device " << i + 1;
        ASSERT_EQ(p.interfaces.size(), 1u);
        EXPECT_TRUE(p.interfaces[0].speaksPJL());
        EXPECT_EQ(p.interfaces[0].endpoints.size(), 3u);
        EXPECT_FALSE(p.heldOpen || p.interfaceHeldOpen || p.answer || p.acceptBytesPerSecond || p.failWriteAfterBytes ||
                     p.captureFile || p.serialNumber || !p.replies.empty() || p.defaultReply);
    }
    EXPECT_FALSE(bus.printers[0].deviceID);
}

TEST(BusFile, EverySettingIsReadAsWritten) {
    const BusFile bus = parse(R"(<device>
    <usbVersion>0x0110</usbVersion> <deviceClass>0xEF</deviceClass> <maxPacketSize0> 8 </maxPacketSize0>
    <deviceIDReply>00 05 41 3a 42</deviceIDReply> <manufacturer>Zelvik  </manufacturer>
    <productDescriptor>04 03 41 00</productDescriptor> <serialNumber>Z1</serialNumber>
    <interface class="255" subclass="0" protocol="255">
      <endpoint address="0x07" type="bulk" direction="out" maxPacketSize="512"/>
      <endpoint address="0x88" type="interrupt"/>
    </interface>
    <interface number="1"><endpoint address="0x81" type="Bulk" maxPacketSize="16"/></interface>
    <interface number="1" alternateSetting="1" protocol="4" pjl="true"/>
    <refuseSetInterface>TRUE</refuseSetInterface> <stallGetInterface>false</stallGetInterface>
    <reply to="@PJL  info status" delayMs="250">@PJL INFO STATUS\r\n\f</reply> <reply to="@PJL INFO ID"/>
    <defaultReply>?\f</defaultReply> <answerDelayMs>100</answerDelayMs> <idleIn>nak</idleIn>
    <statusCode>40038</statusCode> <statusDisplay>LOW TONER</statusDisplay> <online>false</online>
    <unsolicitedStatus/> <unsolicitedStatus everySeconds="5">@PJL USTATUS TIMED\r\n\f</unsolicitedStatus>
    <pageCount>18446744073709551615</pageCount> <disconnectAfterBytes>8192</disconnectAfterBytes>
  </device>)");
    ASSERT_FALSE(bus.error) << describeBusFileError("bus", *bus.error);
    const VirtualPrinterConfig& p = bus.printers.at(0);
    EXPECT_EQ(std::tuple(p.usbVersion, p.deviceClass, p.maxPacketSize0), std::tuple(0x0110, 0xEF, 8));
    EXPECT_EQ(p.deviceIDReply, (Bytes{0, 5, 'A', ':', 'B'}));
    EXPECT_EQ(p.manufacturer, "Zelvik  ");
    EXPECT_EQ(p.productDescriptor, (Bytes{4, 3, 'A', 0}));
    ASSERT_EQ(p.interfaces.size(), 3u);
    const InterfaceDescription& vendor = p.interfaces[0];
    EXPECT_EQ(std::tuple(vendor.number, vendor.interfaceClass, vendor.protocol, vendor.speaksPJL()),
              std::tuple(0, 0xFF, 0xFF, false));
    ASSERT_EQ(vendor.endpoints.size(), 2u);
    EXPECT_EQ(std::tuple(vendor.endpoints[1].address, vendor.endpoints[1].type, vendor.endpoints[1].maxPacketSize),
              std::tuple(0x88, TransferType::Interrupt, 64));
    EXPECT_EQ(p.interfaces[1].endpoints.at(0).maxPacketSize, 16);
    EXPECT_TRUE(p.interfaces[1].speaksPJL());
    EXPECT_EQ(std::tuple(p.interfaces[2].number, p.interfaces[2].alternateSetting, p.interfaces[2].speaksPJL()),
              std::tuple(1, 1, true));
    EXPECT_TRUE(p.refuseSetInterface);
    EXPECT_FALSE(p.stallGetInterface);
    ASSERT_EQ(p.replies.size(), 2u);
    EXPECT_EQ(std::tuple(p.replies[0].to, p.replies[0].answer, p.replies[0].delayMs),
              std::tuple("@PJL  info status", bytesOf("@PJL INFO STATUS\r\n\f"), 250u));
    EXPECT_TRUE(p.replies[1].answer.empty());
    EXPECT_EQ(p.defaultReply.value_or(Reply{}).answer, bytesOf("?\f"));
    EXPECT_EQ(std::tuple(p.statusCode, p.statusDisplay, p.online), std::tuple(40038u, "LOW TONER", false));
    ASSERT_EQ(p.unsolicitedStatus.size(), 2u);
    EXPECT_TRUE(p.unsolicitedStatus[0].block.empty() && !p.unsolicitedStatus[0].everySeconds);
    EXPECT_EQ(p.unsolicitedStatus[1].everySeconds, 5u);
    EXPECT_EQ(p.pageCount, 18446744073709551615u);
    EXPECT_EQ(p.disconnectAfterBytes, 8192u);
}

TEST(BusFile, TextsTakeTheEscapes) {
    EXPECT_EQ(unescapeBusText(R"(a\r\n\f\e\\b)"), (Bytes{'a', '\r', '\n', '\f', 0x1B, '\\', 'b'}));
    EXPECT_EQ(unescapeBusText(R"(\x00\x7f\xFF)"), (Bytes{0x00, 0x7F, 0xFF}));
    // A backslash that starts no escape stands for itself.
    EXPECT_EQ(unescapeBusText(R"(\q\x4)"), bytesOf(R"(\q\x4)"));
    EXPECT_EQ(unescapeBusText(R"(end\)"), bytesOf(R"(end\)"));
    EXPECT_EQ(unescapeBusText(R"(\\n)"), bytesOf(R"(\n)"));

    const BusFile bus = parse(R"(<device><deviceID>MFG:A\x3BB;MDL:C&amp;D;</deviceID>
      <serialNumber>S\x00N</serialNumber> <answer>\e%-12345X\f</answer></device>)");
    ASSERT_EQ(bus.printers.size(), 1u);
    EXPECT_EQ(bus.printers[0].deviceID, "MFG:A;B;MDL:C&D;");
    EXPECT_EQ(bus.printers[0].serialNumber, std::string("S\0N", 3));
    EXPECT_EQ(bus.printers[0].answer, bytesOf("\x1b%-12345X\f"));

    // Internal entities stand for their text, in attributes too; a default
    // that a declaration gives an attribute is not written in the file, so
    // not taken.
    const BusFile declared =
        parseBusFile(bytesOf("<!DOCTYPE simulatedBus [<!ENTITY q '@PJL INFO ID'><!ATTLIST device when CDATA 'now'>]>"
                             "<simulatedBus><device><reply to='&q;'>&q;\\f</reply></device></simulatedBus>"));
    ASSERT_FALSE(declared.error) << describeBusFileError("bus", *declared.error);
    EXPECT_EQ(declared.printers.at(0).replies.at(0).to, "@PJL INFO ID");
    EXPECT_EQ(declared.printers.at(0).replies.at(0).answer, bytesOf("@PJL INFO ID\f"));
}

TEST(BusFile, AFileThatSaysSomethingWrongIsRefusedWithItsLineAndElement) {
    // (the device's elements, one per line after the first; what the error
    // says: "LINE: <element>: reason", or part of it)
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\n<statusCode>1</statusCode>\n<statusCod>1</statusCod>", "3: <statusCod>: not a bus file element"},
        {"\n<answer when='x'>y</answer>", "2: <answer>: unknown attribute 'when'"},
        {"\n<endpoints>bulk-in</endpoints>", "2: <endpoints>: replaced by <interface> elements"},
        {"<vendorID>0x10000</vendorID>", "1: <vendorID>: out of range (0 to 65535): 0x10000"},
        {"<vendorID>12a</vendorID>", "<vendorID>: not a number: '12a'"},
        {"<vendorID>-1</vendorID>", "<vendorID>: not a number"},
        {"<productID>1\n\t2</productID>", "<productID>: not a number: '1\\n\\x092'"},
        {"<locationID>4294967296</locationID>", "<locationID>: out of range"},
        {"<pageCount>18446744073709551616</pageCount>", "<pageCount>: out of range"},
        {"<statusCode>100000</statusCode>", "<statusCode>: out of range (0 to 99999)"},
        {"<maxPacketSize0>12</maxPacketSize0>", "<maxPacketSize0>: not 8, 16, 32 or 64"},
        {"<heldOpen>yes</heldOpen>", "<heldOpen>: neither true nor false: 'yes'"},
        {"<idleIn>stall</idleIn>", "<idleIn>: neither zlp nor nak"},
        {"<serialDescriptor>04 03 4</serialDescriptor>", "<serialDescriptor>: not hex pairs at '4'"},
        {"<captureFile></captureFile>", "<captureFile>: names no file"},
        {"<pageCount>1</pageCount>\n<pageCount>2</pageCount>", "2: <pageCount>: given twice"},
        {"<answer><b>x</b></answer>", "<answer>: holds an element <b>, not text"},
        {"<serialNumber>A</serialNumber>\n<serialDescriptor>02 03</serialDescriptor>",
         "2: <serialDescriptor>: says what <serialNumber> says already"},
        {"<deviceIDReply>00 02</deviceIDReply><deviceID>x</deviceID>", "<deviceID>: says what <deviceIDReply>"},
        {"<alternateSetting>1</alternateSetting>", "<alternateSetting>: interface 0 has no setting 1"},
        {"<interface number='1'/>", "<interface>: interface 1 setting 0 out of order"},
        {"<interface/>\n<interface alternateSetting='2'/>", "2: <interface>: interface 0 setting 2 out of order"},
        {"<interface number='32'/>", "<interface>: number out of range (0 to 31)"},
        {"<interface>\n<endpoint type='bulk'/></interface>", "2: <endpoint>: names no address"},
        {"<interface><endpoint address='0x10' type='bulk'/></interface>", "<endpoint>: no endpoint address"},
        {"<interface><endpoint address='0x81'/></interface>", "<endpoint>: names no type"},
        {"<interface><endpoint address='0x81' type='control'/></interface>", "type is not bulk, interrupt or"},
        {"<interface><endpoint address='0x81' type='bulk' direction='out'/></interface>",
         "<endpoint>: direction out disagrees with address 0x81"},
        {"<interface><endpoint address='1' type='bulk' maxPacketSize='1025'/></interface>", "maxPacketSize out of"},
        {"<interface><endpoint address='1' type='bulk'/><endpoint address='1' type='bulk'/></interface>",
         "<endpoint>: 0x01 twice in one setting"},
        {"<interface><endpoint address='1' type='bulk'/></interface>\n"
         "<interface number='1'><endpoint address='1' type='bulk'/></interface>",
         "2: <interface>: 0x01 is interface 0's already"},
        {"<interface><hub/></interface>", "<hub>: not an endpoint of an interface"},
        {"<reply>x</reply>", "<reply>: names no request (attribute 'to')"},
        {"<reply to='@PJL INFO ID' delayMs='x'>x</reply>", "<reply>: delayMs not a number"},
        {"<defaultReply to='@PJL INFO ID'>x</defaultReply>", "<defaultReply>: unknown attribute 'to'"},
        {"<unsolicitedStatus everySeconds='0'/>", "<unsolicitedStatus>: everySeconds out of range (1 to 86400)"},
        {"text", "<device>: text beside the elements: 'text'"},
        // The line of a start tag is that of its '<'.
        {"\n<interface\nnumber='1'/>", "2: <interface>: interface 1 setting 0 out of order"},
        // No namespaces.
        {"<x:serialNumber xmlns:x='urn:x'>A</x:serialNumber>", "<x:serialNumber>: not a bus file element"},
        {"<serialNumber xmlns='urn:x'>A</serialNumber>", "<serialNumber>: unknown attribute 'xmlns'"},
    };
    for (const auto& [device, says] : cases) {
        const BusFile bus = parse("<device>" + device + "</device>");
        ASSERT_TRUE(bus.error) << device;
        EXPECT_TRUE(bus.printers.empty());
        const std::string line = describeBusFileError("bus.xml", *bus.error);
        EXPECT_NE(line.find(says), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    }
    // The file as a whole; one bad device spoils the good ones around it.
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "<a>";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"", "bus.xml: the document is empty"},
        // What is not well-formed: the parser's words, at its line.
        {"not xml at all", "bus.xml:1: syntax error"},
        {"<simulatedBus>\n<device>\n</simulatedBus>", "bus.xml:3: mismatched tag"},
        {"<simulatedBus>\n<device when='1' when='2'/></simulatedBus>", "bus.xml:2: duplicate attribute"},
        // ... or the bound that was passed, where.
        {"<simulatedBus>\n" + deep, "bus.xml:2: elements nested more than 257 deep"},
        {"<otherRoot><device/></otherRoot>", "bus.xml:1: <otherRoot>: not a bus file: its root is <simulatedBus>"},
        {"<simulatedBus>\n<printer/></simulatedBus>", "bus.xml:2: <printer>: not a bus file element"},
        {"<simulatedBus version='2'/>", "bus.xml:1: <simulatedBus>: unknown attribute 'version'"},
        {"<simulatedBus><device/>\n<device><productID>x</productID></device><device/></simulatedBus>",
         "bus.xml:2: <productID>: not a number: 'x'"},
    };
    for (const auto& [text, says] : files) {
        const BusFile bus = parseBusFile(bytesOf(text));
        ASSERT_TRUE(bus.error) << text;
        EXPECT_TRUE(bus.printers.empty());
        EXPECT_EQ(describeBusFileError("bus.xml", *bus.error).rfind(says, 0), 0u)
            << describeBusFileError("bus.xml", *bus.error);
    }
    EXPECT_EQ(checkBusFile("/nonexistent/bus.xml"),
              "/nonexistent/bus.xml: not a readable regular file of at most 16 MiB");
}

TEST(BusFile, WrittenDescriptionsAreReadBackAsTheyWere) {
    const BusFile example = readBusFile(ZELVIK_SOURCE_DIR "/examples/virtual-printers.xml");
    BusFile bus =
        parse(R"(<device><!-- a note - with dashes --><deviceID>MFG:A;MDL:\e"&lt;&amp;\x00\xc3\xa9\\;</deviceID>
      <serialDescriptor>06 03 41 00</serialDescriptor><reply to="@PJL  Info&#9;ID" delayMs="0"></reply>
      <reply to="@PJL X">\r\n\f\x7f</reply><captureFile>/tmp/a&#13;b &amp; c</captureFile>
      <interface><endpoint address="0x01" type="bulk"/></interface><idleIn>nak</idleIn><online>false</online></device>)");
    ASSERT_FALSE(bus.error) << describeBusFileError("bus", *bus.error);
    bus.printers.insert(bus.printers.end(), example.printers.begin(), example.printers.end());
    const std::string written = writeBusFile(bus.printers, "made -- here");
    const BusFile again = parseBusFile(bytesOf(written));
    ASSERT_FALSE(again.error) << describeBusFileError("written", *again.error) << "\n" << written;
    EXPECT_EQ(written, writeBusFile(again.printers, "made -- here"));
    const VirtualPrinterConfig& p = again.printers.at(0);
    EXPECT_EQ(p.notes, std::vector<std::string>{" a note - with dashes "});
    EXPECT_EQ(p.deviceID, std::string("MFG:A;MDL:\x1b\"<&\0\xc3\xa9\\;", 19));
    EXPECT_EQ(p.replies.at(0).to, "@PJL  Info\tID");
    EXPECT_EQ(p.replies.at(0).delayMs, 0u);
    EXPECT_EQ(p.replies.at(1).answer, bytesOf("\r\n\f\x7f"));
    EXPECT_EQ(p.captureFile, "/tmp/a\rb & c");
    EXPECT_EQ(std::tuple(p.interfaces.size(), p.idleIn, p.online), std::tuple(1u, IdleIn::Nak, false));
}

}  // namespace
}  // namespace zelvik::sim
