// SPDX-License-Identifier: Apache-2.0
// getPrinterList over virtual printers: the printer list file, the maximum,
// and which devices are listed and counted.
#include "e2e/Harness.h"

namespace zelvik::test {
namespace {

std::string printer(const std::string& mfgAndModel, const std::string& rest) {
    return "<device><deviceID>" + mfgAndModel + "</deviceID>" + rest + "</device>";
}

const std::string kFirst = printer("MFG:Zelvik;MDL:LP-100;", "<serialNumber>A1</serialNumber>");

const std::string kHead = kXmlHead;
const std::string kFirstEntry = listEntry("LP-100", "A1", "usb://Zelvik/LP-100?serial=A1");

class PrinterList : public SimProgramTest {
protected:
    PrinterList() { mTraced = true; }
};

TEST_F(PrinterList, DevicesThatAreNotPrintersNeitherListNorCount) {
    const std::string otherVendor = "<device><vendorID>" + hex(ZELVIK_TEST_VENDOR_ID ^ 0x0101) +
                                    "</vendorID><deviceID>MFG:Other;MDL:X;</deviceID>"
                                    "<serialNumber>O1</serialNumber></device>";
    const std::string heldOpen =
        printer("MFG:Zelvik;MDL:Held;", "<serialNumber>H1</serialNumber><heldOpen>true</heldOpen>");
    const std::string noSerialNoLocation = printer("MFG:Zelvik;MDL:Nowhere;", "<locationID>0</locationID>");
    setBus(otherVendor + heldOpen + noSerialNoLocation + kFirst);
    EXPECT_EQ(kHead + "<printerListBody>\n" + kFirstEntry + "</printerListBody>\n", list("1"));
}

TEST_F(PrinterList, IdentifiedDevicesWithoutModelOrSerialCountButAreNotListed) {
    const std::string noModel = printer("MFG:Zelvik;", "<serialNumber>N1</serialNumber>");
    const std::string noSerial = printer("MFG:Zelvik;MDL:LP-9;", "");
    setBus(noModel + kFirst);
    EXPECT_EQ(kHead + "<printerListBody></printerListBody>\n", list("1"));
    setBus(noSerial + kFirst);
    EXPECT_EQ(kHead + "<printerListBody></printerListBody>\n", list("1"));
    setBus(noModel + noSerial + kFirst);
    EXPECT_EQ(kHead + "<printerListBody>\n" + kFirstEntry + "</printerListBody>\n", list("3"));
}

TEST_F(PrinterList, APrinterWhoseTextXMLCannotCarryIsLeftOutAndHidesNoOther) {
    // A model name no XML file can hold (the fault table has the other
    // kinds): that printer is left out and takes no place under the
    // maximum, and the trace says which and why.
    setBus(printer("MFG:Zelvik;MDL:LP\\x01;", "<serialNumber>M1</serialNumber>") + kFirst);
    EXPECT_EQ(kHead + "<printerListBody>\n" + kFirstEntry + "</printerListBody>\n", list("1"));
    EXPECT_EQ(kStatusZero, status);
    const std::string trace = readFile(path("trace.log"));
    EXPECT_NE(std::string::npos,
              trace.find("device usb://Zelvik/LP\\x01?serial=M1 left out of the list: its modelName cannot be "
                         "written as XML text"))
        << trace;
}

TEST_F(PrinterList, URIsAreExactWithUnknownMakerAndEmptySerial) {
    const std::string noMaker = printer("MDL:LP-300;", "<serialNumber>C3</serialNumber>");
    const std::string emptySerial = printer("MFG:Zelvik;MDL:LP-400;", "<serialDescriptor>02 03</serialDescriptor>");
    const std::string oddNames = printer("MFG:Zel/vik Co;MDL:LP 500?x;", "<serialNumber>S&amp;5</serialNumber>");
    setBus(noMaker + emptySerial + oddNames);
    EXPECT_EQ(kHead + "<printerListBody>\n" + listEntry("LP-300", "C3", "usb://Unknown/LP-300?serial=C3") +
                  listEntry("LP-400", "", "usb://Zelvik/LP-400?serial=") +
                  listEntry("LP 500?x", "S&amp;5", "usb://Zel/vik Co/LP 500?x?serial=S&amp;5") + "</printerListBody>\n",
              list("-1"));
}

TEST_F(PrinterList, ListPathInMissingDirectoryGivesThreeAndNoFile) {
    setBus(kFirst);
    const std::string s = runCommand({{"command", "getPrinterList"},
                                      {"statusFilePath", statusPath()},
                                      {"printerListFilePath", path("missing/list.xml")},
                                      {"printerListMax", "5"}});
    EXPECT_EQ(statusFileFor(3), s);
    EXPECT_FALSE(exists(path("missing")));
}

TEST_F(PrinterList, UnreadableBusIsAnEmptyBus) {
    writeFile(path("bus.xml"), "<simulatedBus><device>");
    EXPECT_EQ(kHead + "<printerListBody></printerListBody>\n", list("5"));
    EXPECT_EQ(kStatusZero, status);
}

}  // namespace
}  // namespace zelvik::test
