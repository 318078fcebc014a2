// SPDX-License-Identifier: Apache-2.0
// The unmodified zelvik program, as a front end runs it, against emulated
// kernel printers: each command once through libusb and usbfs, and the
// printer class driver given back after every open. The commands' finer
// outcomes are tested over the simulated bus, and printers of every layout
// (multifunction ones too) by the printer catalogue.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>

#include "support/ProgramTest.h"
#include "umockdev/EmulatedBus.h"

namespace zelvik::emulation {
namespace {

using namespace zelvik::test;

class ZelvikOnEmulatedKernel : public ProgramTest {
protected:
    // The program runs under the preload library this test inherited.
    std::string program() const override { return ZELVIK_PROGRAM; }
    std::vector<std::string> environment() const override { return {"ZELVIK_TRACE=" + path("trace.log")}; }

    void attach(const std::string& devices) {
        // One test bed at a time: a test bed that goes away takes the
        // environment variable that points programs to the emulation.
        bus.reset();
        bus = std::make_unique<EmulatedBus>("<simulatedBus>" + devices + "</simulatedBus>");
    }
    // One printer that captures what it receives, with extra elements.
    void attachPrinter(const std::string& extra = "") {
        attach("<device><deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>A1</serialNumber>"
               "<captureFile>" +
               capture() + "</captureFile>" + extra + "</device>");
    }

    // The printer class driver gave the printer up for each command that
    // opened it, and had it back afterwards.
    void expectDriverDetachedForEachOpen(std::size_t printer, int opens) {
        const KernelDriverState s = bus->kernelDriver(printer);
        EXPECT_EQ(std::tuple(true, opens, opens, 0u),
                  std::tuple(s.bound, s.detachCount, s.attachCount, s.refusedWhileBound));
    }

    std::unique_ptr<EmulatedBus> bus;
};

TEST_F(ZelvikOnEmulatedKernel, ListsThePrintersBehindHubsInPortOrderWithoutOpeningThem) {
    attach("<device><deviceID>MFG:Zelvik;MDL:LP-200;</deviceID><serialNumber>B2</serialNumber>"
           "<locationID>0x02410000</locationID></device>"
           "<device><deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>A1</serialNumber>"
           "<locationID>0x01320000</locationID></device>");
    EXPECT_EQ(kXmlHead + "<printerListBody>\n" + listEntry("LP-100", "A1", "usb://Zelvik/LP-100?serial=A1") +
                  listEntry("LP-200", "B2", "usb://Zelvik/LP-200?serial=B2") + "</printerListBody>\n",
              list("-1"));
    EXPECT_EQ(kStatusZero, status);
    for (std::size_t printer = 0; printer < bus->printerCount(); ++printer) {
        expectDriverDetachedForEachOpen(printer, 0);
    }
}

TEST_F(ZelvikOnEmulatedKernel, MachineActiveFindsAPrinterBySerialOrLocationAndGivesItBack) {
    attach("<device><deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>A1</serialNumber>"
           "<locationID>0x01320000</locationID></device>"
           "<device><deviceID>MFG:Zelvik;MDL:LP-300;</deviceID>"
           "<locationID>0x01330000</locationID></device>"
           "<device><deviceID>MFG:Zelvik;MDL:LP-400;</deviceID><serialNumber>H1</serialNumber>"
           "<interfaceHeldOpen>true</interfaceHeldOpen></device>");
    EXPECT_EQ("True", active(kPrinterURI));
    EXPECT_EQ("True", active(kPrinterURI));  // the first open was closed again
    EXPECT_EQ("True", active("usb://Zelvik/LP-300?location=1330000"));
    EXPECT_EQ("False", active("usb://Zelvik/LP-300?location=1340000"));
    EXPECT_EQ("False", active("usb://Zelvik/LP-400?serial=H1"));  // another program holds it
    expectDriverDetachedForEachOpen(0, 2);
    expectDriverDetachedForEachOpen(1, 1);
}

TEST_F(ZelvikOnEmulatedKernel, AQueryGetsExactlyThePrintersAnswer) {
    // Left in another alternate setting by an earlier client, with stale
    // bytes waiting.
    std::string settings;
    for (const char* setting : {"0", "1", "2"}) {
        settings += std::string("<interface alternateSetting='") + setting +
                    "'><endpoint address='0x01' type='bulk'/><endpoint address='0x82' type='bulk'/></interface>";
    }
    attachPrinter("<pendingAnswer>stale bytes\\r\\n</pendingAnswer>" + settings +
                  "<alternateSetting>2</alternateSetting>");
    EXPECT_EQ(kStatusZero, query("\x1b%-12345X@PJL INFO ID\r\n"));
    EXPECT_EQ("@PJL INFO ID\r\n\"LP-100\"\r\n\f", readFile(response()));
    EXPECT_EQ("\x1b%-12345X@PJL INFO ID\r\n", readFile(capture()));
    expectDriverDetachedForEachOpen(0, 1);
}

TEST_F(ZelvikOnEmulatedKernel, DataOutputDeliversEveryByteOrReportsAPrinterThatLeft) {
    attachPrinter();
    const std::string data = patterned((3u << 20) + 1000);
    writeFile(path("print.bin"), data);
    EXPECT_EQ(kStatusZero, runCommand(dataOutputCommand()));
    EXPECT_TRUE(readFile(capture()) == data);
    EXPECT_EQ("100", readFile(response()));
    expectDriverDetachedForEachOpen(0, 1);

    std::remove(capture().c_str());
    attachPrinter("<disconnectAfterBytes>5000</disconnectAfterBytes>");
    EXPECT_EQ(statusFileFor(7), runCommand(dataOutputCommand()));
    EXPECT_TRUE(data.substr(0, 5000) == readFile(capture()));
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
    ASSERT_TRUE(process->waitFor(std::chrono::seconds(5)));
    const std::string captured = readFile(capture());
    EXPECT_EQ(kStatusZero, readFile(statusPath()));
    EXPECT_LE(captured.size(), before + 2 * 2048);
    EXPECT_LT(captured.size(), data.size());
    EXPECT_TRUE(data.compare(0, captured.size(), captured) == 0);
    const std::string kept = readFile(response());
    EXPECT_NE("100", kept);
    EXPECT_LE(std::stoi(percentage), std::stoi(kept));
    expectDriverDetachedForEachOpen(0, 1);
}

TEST_F(ZelvikOnEmulatedKernel, TerminationFromOutsideHandsThePrinterBackToItsDriver) {
    attachPrinter("<acceptBytesPerSecond>20000</acceptBytesPerSecond>");
    writeFile(path("print.bin"), patterned(200000));
    writeCommand(dataOutputCommand());
    auto process = start();
    ASSERT_TRUE(test::eventually([&] { return readFile(capture()).size() > 4096; }));
    process->signal(SIGTERM);
    ASSERT_TRUE(process->waitFor(std::chrono::seconds(2)));
    EXPECT_FALSE(exists(statusPath()));
    expectDriverDetachedForEachOpen(0, 1);
}

}  // namespace
}  // namespace zelvik::emulation
