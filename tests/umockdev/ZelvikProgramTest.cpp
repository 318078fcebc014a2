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

#include "support/Process.h"
#include "support/TempDir.h"
#include "umockdev/EmulatedBus.h"

namespace zelvik::emulation {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using test::exists;
using test::Process;
using test::readFile;
using test::writeFile;

using Elements = std::vector<std::pair<std::string, std::string>>;

const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string statusFor(int code) {
    return kHead + "<statusBody>\n    <errorCode>" + std::to_string(code) +
           "</errorCode>\n</statusBody>\n";
}

std::string entry(const std::string& model, const std::string& serial, const std::string& uri) {
    return "    <deviceInformation>\n"
           "        <modelName>" + model + "</modelName>\n"
           "        <serialNumber>" + serial + "</serialNumber>\n"
           "        <deviceURI>" + uri + "</deviceURI>\n"
           "    </deviceInformation>\n";
}

std::string patterned(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 7 + i / 2048) & 0xff);
    }
    return data;
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

const std::string kURI = "usb://Zelvik/LP-100?serial=A1";

class ZelvikOnEmulatedKernel : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return mDir.file(name); }
    std::string commandPath() const { return path("command.xml"); }
    std::string statusPath() const { return path("status.xml"); }
    std::string capture() const { return path("capture.bin"); }
    std::string response() const { return path("response.bin"); }

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

    void writeCommand(const Elements& elements) {
        std::string xml = kHead + "<commandBody>\n";
        for (const auto& [name, value] : elements) {
            xml += "  <" + name + ">" + value + "</" + name + ">\n";
        }
        writeFile(commandPath(), xml + "</commandBody>\n");
    }
    std::unique_ptr<Process> start() {
        return std::make_unique<Process>(ZELVIK_PROGRAM, std::vector<std::string>{commandPath()});
    }
    // Runs one command to its end; the status file's content ("" if none).
    std::string run(const Elements& elements) {
        std::remove(statusPath().c_str());
        writeCommand(elements);
        auto process = start();
        EXPECT_TRUE(process->started());
        EXPECT_TRUE(process->waitFor(seconds(30))) << "the program did not end";
        EXPECT_FALSE(exists(commandPath()));
        return readFile(statusPath());
    }

    std::string list(const std::string& maximum) {
        std::remove(path("list.xml").c_str());
        status = run({{"command", "getPrinterList"}, {"statusFilePath", statusPath()},
                      {"printerListFilePath", path("list.xml")}, {"printerListMax", maximum}});
        return readFile(path("list.xml"));
    }
    std::string query(const std::string& bytes, const std::string& timeOut = "5",
                      const std::string& uri = kURI) {
        writeFile(path("query.pjl"), bytes);
        return run({{"command", "sendPJLCommand"}, {"statusFilePath", statusPath()},
                    {"deviceURI", uri}, {"outputFilePath", path("query.pjl")},
                    {"responseFilePath", response()}, {"timeOut", timeOut}});
    }
    Elements dataOutput() const {
        return {{"command", "dataOutput"}, {"statusFilePath", statusPath()}, {"deviceURI", kURI},
                {"outputFilePath", path("print.bin")}, {"responseFilePath", response()}};
    }
    std::string active(const std::string& uri) {
        std::remove(response().c_str());
        EXPECT_EQ(statusFor(0),
                  run({{"command", "isMachineActive"}, {"statusFilePath", statusPath()},
                       {"deviceURI", uri}, {"responseFilePath", response()}}));
        return readFile(response());
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

    test::TempDir mDir;                // outlives the printers that write into it
    std::unique_ptr<EmulatedBus> bus;
    std::string status;
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

    const std::string first = entry("LP-100", "A1", "usb://Zelvik/LP-100?serial=A1");
    const std::string second = entry("LP-200", "B2", "usb://Zelvik/LP-200?serial=B2");
    EXPECT_EQ(kHead + "<printerListBody>\n" + first + second + "</printerListBody>\n", list("-1"));
    EXPECT_EQ(statusFor(0), status);
    // The printer without a serial number on 1-3.3 counts toward the
    // maximum without being listed.
    EXPECT_EQ(kHead + "<printerListBody>\n" + first + "</printerListBody>\n", list("2"));
    EXPECT_EQ(kHead + "<printerListBody>\n" + first + second + "</printerListBody>\n", list("3"));

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
    EXPECT_EQ(statusFor(0), query("\x1b%-12345X@PJL INFO ID\r\n"));
    EXPECT_EQ("@PJL INFO ID\r\n\"LP-100\"\r\n\f", readFile(response()));
    EXPECT_EQ("\x1b%-12345X@PJL INFO ID\r\n", readFile(capture()));
    expectDriverDetachedForEachOpen(0, 1);
    EXPECT_GT(bus->kernelDriver(0).bulkUrbs, 0u);
}

TEST_F(ZelvikOnEmulatedKernel, AnEmptyQueryIsAZeroLengthWrite) {
    attachPrinter("<answer>OK</answer>");
    EXPECT_EQ(statusFor(0), query(""));
    EXPECT_EQ("OK", readFile(response()));
}

TEST_F(ZelvikOnEmulatedKernel, APrinterLeftInAnotherAlternateSettingIsBroughtBack) {
    attachPrinter("<alternateSetting>2</alternateSetting>");
    EXPECT_EQ(statusFor(0), query("@PJL INFO STATUS\r\n"));
    EXPECT_EQ("@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY=\"Ready\"\r\nONLINE=TRUE\r\n\f",
              readFile(response()));
    bool setInterfaceSent = false;
    for (const auto& request : bus->controlLog(0)) {
        setInterfaceSent |= request.bmRequestType == 0x01 && request.bRequest == 0x0B &&
                            request.wValue == 0;
    }
    EXPECT_TRUE(setInterfaceSent);

    attachPrinter("<stallGetInterface>true</stallGetInterface>");
    EXPECT_EQ(statusFor(0), query("@PJL ECHO hi\r\n"));
    EXPECT_EQ("@PJL ECHO hi\r\n\f", readFile(response()));
}

TEST_F(ZelvikOnEmulatedKernel, QueryFailures) {
    attachPrinter();
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(statusFor(8), query("not PJL at all", "1"));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, seconds(1));
    EXPECT_FALSE(exists(response()));

    attachPrinter("<interfaceHeldOpen>true</interfaceHeldOpen>");
    EXPECT_EQ(statusFor(7), query("@PJL INFO ID\r\n"));
    attachPrinter("<failWriteAfterBytes>0</failWriteAfterBytes>");
    EXPECT_EQ(statusFor(7), query("@PJL INFO ID\r\n"));
    EXPECT_FALSE(exists(response()));
    expectDriverDetachedForEachOpen(0, 1);
}

TEST_F(ZelvikOnEmulatedKernel, DataOutputDeliversSeveralMegabytesExactly) {
    attachPrinter();
    const std::string data = patterned((3u << 20) + 1000);
    writeFile(path("print.bin"), data);
    EXPECT_EQ(statusFor(0), run(dataOutput()));
    EXPECT_TRUE(readFile(capture()) == data);
    EXPECT_EQ("100", readFile(response()));
    expectDriverDetachedForEachOpen(0, 1);
}

TEST_F(ZelvikOnEmulatedKernel, DataOutputShowsRisingProgressOnASlowPrinter) {
    attachPrinter("<acceptBytesPerSecond>40000</acceptBytesPerSecond>");
    const std::string data = patterned(140000);
    writeFile(path("print.bin"), data);
    writeCommand(dataOutput());
    auto process = start();
    std::vector<std::string> seen;
    for (bool running = true; running;) {
        running = process->running();
        const std::string now = readFile(response());
        if (!now.empty() && (seen.empty() || seen.back() != now)) seen.push_back(now);
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(statusFor(0), readFile(statusPath()));
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
    EXPECT_EQ(statusFor(7), run(dataOutput()));
    EXPECT_TRUE(patterned(4096) == readFile(capture()));
    expectDriverDetachedForEachOpen(0, 1);

    std::remove(capture().c_str());
    attachPrinter("<disconnectAfterBytes>5000</disconnectAfterBytes>");
    EXPECT_EQ(statusFor(7), run(dataOutput()));
    EXPECT_TRUE(patterned(5000) == readFile(capture()));
}

TEST_F(ZelvikOnEmulatedKernel, ACancelStopsDataOutputWithinAChunk) {
    attachPrinter("<acceptBytesPerSecond>20000</acceptBytesPerSecond>");
    const std::string data = patterned(200000);
    writeFile(path("print.bin"), data);
    writeCommand(dataOutput());
    auto process = start();
    ASSERT_TRUE(test::eventually([&] { return !readFile(response()).empty(); }));
    const std::string percentage = readFile(response());

    writeCommand({{"command", "processCancel"}, {"statusFilePath", path("cancel-status.xml")}});
    const std::size_t before = readFile(capture()).size();
    process->signal(SIGUSR1);
    ASSERT_TRUE(process->waitFor(seconds(5)));
    const std::string captured = readFile(capture());
    EXPECT_EQ(statusFor(0), readFile(statusPath()));
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
