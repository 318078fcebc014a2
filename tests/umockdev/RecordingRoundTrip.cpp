// SPDX-License-Identifier: Apache-2.0
// A printer on the emulated kernel recorded with `zelvikctl record` through
// the unmodified helper, then played from the recording on zelvik-sim and
// on the emulated kernel again: zelvikctl lists it, tells its info and gets
// its answers byte for byte as from the printer itself.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TempDir.h"
#include "umockdev/EmulatedBus.h"

namespace zelvik::emulation {
namespace {

using test::Process;
using test::readFile;

const std::string kURI = "usb://Zelvik/MF 7?serial=RT-0042";
const char* const kQuestions[] = {"INFO ID",        "INFO STATUS",    "INFO CONFIG",
                                  "INFO PAGECOUNT", "INFO VARIABLES", "ECHO zelvikctl record"};

// A multifunction printer with answers of its own (one of them slow, one
// question it leaves unanswered), its pipes where it has them, and a device
// of another vendor beside it.
const std::string kBus = "<simulatedBus><device>"
                         "<deviceID>MFG:Zelvik;MDL:MF 7;CMD:PJL,PCL,PDF;SN:RT-0042;</deviceID>"
                         "<serialNumber>RT-0042</serialNumber><locationID>0x01320000</locationID>"
                         "<interface><endpoint address='0x03' type='bulk' maxPacketSize='64'/>"
                         "<endpoint address='0x84' type='bulk' maxPacketSize='64'/></interface>"
                         "<interface number='1' class='8' subclass='6' protocol='80'>"
                         "<endpoint address='0x05' type='bulk'/><endpoint address='0x86' type='bulk'/></interface>"
                         "<reply to='@PJL INFO STATUS' delayMs='450'>@PJL INFO STATUS\\r\\nCODE=10023\\r\\n"
                         "DISPLAY=\"Warming up\"\\r\\nONLINE=TRUE\\r\\n\\f</reply>"
                         "<reply to='@PJL INFO ID'>@PJL INFO ID\\r\\n\"MF 7 Series\"\\r\\n\\f</reply>"
                         "<reply to='@PJL INFO VARIABLES'/>"
                         "<pageCount>31337</pageCount></device>"
                         "<device><vendorID>0x1234</vendorID></device></simulatedBus>";

struct Output {
    int status;
    std::string out;
};

class RecordingRoundTrip : public ::testing::Test {
protected:
    Output zelvikctl(std::vector<std::string> arguments) {
        Process process(ZELVIKCTL_PROGRAM, arguments, {}, {}, mDir.file("run"));
        EXPECT_TRUE(process.waitFor(std::chrono::seconds(60)));
        return {process.exitCode(), readFile(mDir.file("run.out"))};
    }
    // What zelvikctl says of the printer, through `how` (the helper to run,
    // or the bus file to simulate).
    std::vector<Output> told(const std::vector<std::string>& how) {
        std::vector<std::vector<std::string>> commands = {{"list"}, {"info", kURI}};
        for (const char* question : kQuestions) commands.push_back({"pjl", "--timeout", "1", kURI, question});
        std::vector<Output> outputs;
        for (auto& command : commands) {
            command.insert(command.begin(), how.begin(), how.end());
            command.insert(command.begin(), "--json");
            outputs.push_back(zelvikctl(command));
        }
        return outputs;
    }
    void expectSame(const std::vector<Output>& expected, const std::vector<Output>& actual, const char* player) {
        ASSERT_EQ(expected.size(), actual.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(expected[i].status, actual[i].status) << player << ", command " << i;
            EXPECT_EQ(expected[i].out, actual[i].out) << player << ", command " << i;
        }
    }

    test::TempDir mDir;
};

TEST_F(RecordingRoundTrip, ARecordedPrinterAnswersOnEitherPlayerAsItDid) {
    const std::vector<std::string> helper = {"--helper", ZELVIK_PROGRAM};
    auto bus = std::make_unique<EmulatedBus>(kBus);
    std::vector<std::string> record = helper;
    record.insert(record.end(), {"record", kURI, "--timeout", "1", "--output", mDir.file("recorded.xml")});
    ASSERT_EQ(0, zelvikctl(record).status) << readFile(mDir.file("run.err"));
    const std::vector<Output> printer = told(helper);
    EXPECT_NE(std::string::npos, printer[0].out.find(kURI));
    EXPECT_EQ(4, printer[6].status);  // INFO VARIABLES goes unanswered

    expectSame(printer, told({"--simulated", mDir.file("recorded.xml")}), "zelvik-sim");
    bus.reset();
    bus = std::make_unique<EmulatedBus>(readFile(mDir.file("recorded.xml")));
    expectSame(printer, told(helper), "emulated kernel");
}

}  // namespace
}  // namespace zelvik::emulation
