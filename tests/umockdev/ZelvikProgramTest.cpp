// The unmodified zelvik program, as a front end runs it, against emulated
// kernel printers: every command through libusb and usbfs.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/ProgramTest.h"
#include "umockdev/EmulatedBus.h"

namespace zelvik::emulation {
namespace {

using namespace zelvik::test;

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kURI = kPrinterURI;

class ZelvikOnEmulatedKernel : public ProgramTest {
protected:
    // The program runs under the preload library this test inherited.
    std::string program() const override { return ZELVIK_PROGRAM; }

    void attach(const std::string& devices) {
        // One test bed at a time: a test bed that goes away takes the
        // environment variable that points programs to the emulation.
        bus.reset();
        bus = std::make_unique<EmulatedBus>("<simulatedBus>" + devices + "</simulatedBus>");
    }
    // One printer that captures what it receives, with extra elements.
    void attachPrinter(const std::string& extra = "") {
        attach("<device><deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>A1</serialNumber>"
               "<locationID>0x01240000</locationID><captureFile>" + capture() + "</captureFile>" +
               extra + "</device>");
    }

    // The printer class driver gave the printer up for each command that
    // opened it, and had it back afterwards.
    void expectDriverDetachedForEachOpen(std::size_t printer, int opens) {
        const KernelDriverState state = bus->kernelDriver(printer);
        EXPECT_TRUE(state.bound);
        EXPECT_EQ(opens, state.detachCount);
        EXPECT_EQ(opens, state.attachCount);
        EXPECT_EQ(0u, state.refusedWhileBound);
    }

    std::unique_ptr<EmulatedBus> bus;
};

TEST_F(ZelvikOnEmulatedKernel, ListsThePrintersBehindHubsInPortOrder) {
    const std::string otherVendor = hex(ZELVIK_TEST_VENDOR_ID ^ 0x0101);
    attach("<device><deviceID>MFG:Zelvik;MDL:LP-200;</deviceID><serialNumber>B2</serialNumber>"
           "<locationID>0x02410000</locationID></device>"
           "<device><deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>A1</serialNumber>"
           "<locationID>0x01320000</locationID></device>"
           "<device><vendorID>" + otherVendor + "</vendorID><deviceID>MFG:Other;MDL:X;</deviceID>"
           "<serialNumber>O1</serialNumber><locationID>0x01310000</locationID></device>"
           "<device><deviceID>MFG:Zelvik;MDL:LP-300;</deviceID>"
           "<locationID>0x01330000</locationID></device>");
    ASSERT_EQ("2-4.1", bus->sysfsName(0));
    ASSERT_EQ("1-3.2", bus->sysfsName(1));

    const std::string first = listEntry("LP-100", "A1", "usb://Zelvik/LP-100?serial=A1");
    const std::string second = listEntry("LP-200", "B2", "usb://Zelvik/LP-200?serial=B2");
    EXPECT_EQ(kXmlHead + "<printerListBody>\n" + first + second + "</printerListBody>\n", list("-1"));
    EXPECT_EQ(statusFileFor(0), status);
    // The printer without a serial number on 1-3.3 counts toward the
    // maximum without being listed.
    EXPECT_EQ(kXmlHead + "<printerListBody>\n" + first + "</printerListBody>\n", list("2"));
    EXPECT_EQ(kXmlHead + "<printerListBody>\n" + first + second + "</printerListBody>\n", list("3"));

    // Listing identifies printers without taking them from their driver.
    for (std::size_t printer = 0; printer < bus->printerCount(); ++printer) {
        expectDriverDetachedForEachOpen(printer, 0);
    }
}

TEST_F(ZelvikOnEmulatedKernel, FindsAPrinterByItsSerialOrByItsLocation) {
    attach("<device><deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>A1</serialNumber>"
           "<locationID>0x01320000</locationID></device>"
           "<device><deviceID>MFG:Zelvik;MDL:LP-300;</deviceID>"
           "<locationID>0x01330000</locationID></device>"
           "<device><deviceID>MFG:Zelvik;MDL:LP-400;</deviceID><serialNumber>H1</serialNumber>"
           "<interfaceHeldOpen>true</interfaceHeldOpen></device>");
    EXPECT_EQ("True", active(kURI));
    EXPECT_EQ("True", active(kURI));  // the first open was closed again
    EXPECT_EQ("True", active("usb://Zelvik/LP-300?location=1330000"));
    EXPECT_EQ("False", active("usb://Zelvik/LP-300?location=1340000"));
    EXPECT_EQ("False", active("usb://Zelvik/LP-100?serial=a1"));
    EXPECT_EQ("False", active("usb://Zelvik/LP-400?serial=H1"));  // another program holds it
    expectDriverDetachedForEachOpen(0, 2);
    expectDriverDetachedForEachOpen(1, 1);
}

TEST_F(ZelvikOnEmulatedKernel, AQueryGetsExactlyThePrintersAnswer) {
    attachPrinter("<pendingAnswer>stale bytes\\r\\n</pendingAnswer>");
    EXPECT_EQ(statusFileFor(0), query("\x1b%-12345X@PJL INFO ID\r\n"));
    EXPECT_EQ("@PJL INFO ID\r\n\"LP-100\"\r\n\f", readFile(response()));
    EXPECT_EQ("\x1b%-12345X@PJL INFO ID\r\n", readFile(capture()));
    expectDriverDetachedForEachOpen(0, 1);
    EXPECT_GT(bus->kernelDriver(0).bulkUrbs, 0u);
}

TEST_F(ZelvikOnEmulatedKernel, AnEmptyQueryIsAZeroLengthWrite) {
    attachPrinter("<answer>OK</answer>");
    EXPECT_EQ(statusFileFor(0), query(""));
    EXPECT_EQ("OK", readFile(response()));
}

TEST_F(ZelvikOnEmulatedKernel, APrinterLeftInAnotherAlternateSettingIsBroughtBack) {
    attachPrinter("<alternateSetting>2</alternateSetting>");
    EXPECT_EQ(statusFileFor(0), query("@PJL INFO STATUS\r\n"));
    EXPECT_EQ("@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY=\"Ready\"\r\nONLINE=TRUE\r\n\f",
              readFile(response()));
    bool setInterfaceSent = false;
    for (const auto& request : bus->controlLog(0)) {
        setInterfaceSent |= request.bmRequestType == 0x01 && request.bRequest == 0x0B &&
                            request.wValue == 0;
    }
    EXPECT_TRUE(setInterfaceSent);

    attachPrinter("<stallGetInterface>true</stallGetInterface>");
    EXPECT_EQ(statusFileFor(0), query("@PJL ECHO hi\r\n"));
    EXPECT_EQ("@PJL ECHO hi\r\n\f", readFile(response()));
}

TEST_F(ZelvikOnEmulatedKernel, QueryFailures) {
    attachPrinter();
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(statusFileFor(8), query("not PJL at all", "1"));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, seconds(1));
    EXPECT_FALSE(exists(response()));

    attachPrinter("<interfaceHeldOpen>true</interfaceHeldOpen>");
    EXPECT_EQ(statusFileFor(7), query("@PJL INFO ID\r\n"));
    attachPrinter("<failWriteAfterBytes>0</failWriteAfterBytes>");
    EXPECT_EQ(statusFileFor(7), query("@PJL INFO ID\r\n"));
    EXPECT_FALSE(exists(response()));
    expectDriverDetachedForEachOpen(0, 1);
}

TEST_F(ZelvikOnEmulatedKernel, DataOutputDeliversSeveralMegabytesExactly) {
    attachPrinter();
    const std::string data = patterned((3u << 20) + 1000);
    writeFile(path("print.bin"), data);
    EXPECT_EQ(statusFileFor(0), runCommand(dataOutputCommand()));
    EXPECT_TRUE(readFile(capture()) == data);
    EXPECT_EQ("100", readFile(response()));
    expectDriverDetachedForEachOpen(0, 1);
}

TEST_F(ZelvikOnEmulatedKernel, DataOutputShowsRisingProgressOnASlowPrinter) {
    attachPrinter("<acceptBytesPerSecond>40000</acceptBytesPerSecond>");
    const std::string data = patterned(140000);
    writeFile(path("print.bin"), data);
    writeCommand(dataOutputCommand());
    auto process = start();
    std::vector<std::string> seen;
    for (bool running = true; running;) {
        running = process->running();
        const std::string now = readFile(response());
        if (!now.empty() && (seen.empty() || seen.back() != now)) seen.push_back(now);
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(statusFileFor(0), readFile(statusPath()));
    EXPECT_TRUE(readFile(capture()) == data);
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ("100", seen.back());
    for (std::size_t i = 1; i + 1 < seen.size(); ++i) {
        EXPECT_LT(std::stoi(seen[i - 1]), std::stoi(seen[i]));
    }
}

TEST_F(ZelvikOnEmulatedKernel, DataOutputToAFailingPrinterGivesSeven) {
    attachPrinter("<failWriteAfterBytes>4096</failWriteAfterBytes>");
    writeFile(path("print.bin"), patterned(10000));
    EXPECT_EQ(statusFileFor(7), runCommand(dataOutputCommand()));
    EXPECT_TRUE(patterned(4096) == readFile(capture()));
    expectDriverDetachedForEachOpen(0, 1);

    std::remove(capture().c_str());
    attachPrinter("<disconnectAfterBytes>5000</disconnectAfterBytes>");
    EXPECT_EQ(statusFileFor(7), runCommand(dataOutputCommand()));
    EXPECT_TRUE(patterned(5000) == readFile(capture()));
}

TEST_F(ZelvikOnEmulatedKernel, ACancelStopsDataOutputWithinAChunk) {
    attachPrinter("<acceptBytesPerSecond>20000</acceptBytesPerSecond>");
    const std::string data = patterned(200000);
    writeFile(path("print.bin"), data);
    writeCommand(dataOutputCommand());
    auto process = start();
    ASSERT_TRUE(test::eventually([&] { return !readFile(response()).empty(); }));
    const std::string percentage = readFile(response());

    writeCommand({{"command", "processCancel"}, {"statusFilePath", path("cancel-status.xml")}});
    const std::size_t before = readFile(capture()).size();
    process->signal(SIGUSR1);
    ASSERT_TRUE(process->waitFor(seconds(5)));
    const std::string captured = readFile(capture());
    EXPECT_EQ(statusFileFor(0), readFile(statusPath()));
    EXPECT_LE(captured.size(), before + 2 * 2048);
    EXPECT_LT(captured.size(), data.size());
    EXPECT_TRUE(data.compare(0, captured.size(), captured) == 0);
    const std::string kept = readFile(response());
    EXPECT_NE("100", kept);
    EXPECT_LE(std::stoi(percentage), std::stoi(kept));
    expectDriverDetachedForEachOpen(0, 1);
}

}  // namespace
}  // namespace zelvik::emulation
