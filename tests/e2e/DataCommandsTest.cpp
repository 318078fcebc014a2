// SPDX-License-Identifier: Apache-2.0
// sendPJLCommand, dataOutput and isMachineActive over virtual printers.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <thread>

#include "e2e/Harness.h"

namespace zelvik::test {
namespace {

using std::chrono::seconds;

const std::string kURI = kPrinterURI;

class DataCommands : public SimProgramTest {
protected:
    // One printer with the given extra elements; it captures what it gets.
    void setPrinter(const std::string& extra = "") {
        setBus("<device><deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>A1</serialNumber>"
               "<captureFile>" +
               capture() + "</captureFile>" + extra + "</device>");
    }
};

// A second launch with a cancel file (the signal's cancel is ZelvikOnEmulatedKernel's).
TEST_F(DataCommands, ASecondLaunchStopsDataOutputWithinAChunkAndKeepsTheLastPercentage) {
    setPrinter("<acceptBytesPerSecond>10000</acceptBytesPerSecond>");
    const std::string data = patterned(200000);
    writeFile(path("print.bin"), data);
    writeCommand(dataOutputCommand());
    auto process = start();
    ASSERT_TRUE(eventually([&] { return !readFile(response()).empty(); }));
    const std::string percentage = readFile(response());

    writeCommand({{"command", "processCancel"}, {"statusFilePath", path("cancel-status.xml")}});
    const std::size_t before = readFile(capture()).size();
    auto second = start();
    ASSERT_TRUE(second->waitFor(seconds(5)));
    ASSERT_TRUE(process->waitFor(seconds(5)));
    const std::string captured = readFile(capture());
    EXPECT_EQ(kStatusZero, readFile(statusPath()));
    EXPECT_LE(captured.size(), before + 2 * 2048);
    EXPECT_LT(captured.size(), data.size());
    EXPECT_EQ(data.substr(0, captured.size()), captured);
    const std::string kept = readFile(response());
    EXPECT_NE("100", kept);
    EXPECT_LE(std::stoi(percentage), std::stoi(kept));
}

TEST_F(DataCommands, AFileThisUserMayNotReadIsNotSentEitherWay) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    setPrinter();
    writeFile(path("print.bin"), "data");
    ::chmod(path("print.bin").c_str(), 0);
    EXPECT_EQ(statusFileFor(4), runCommand(dataOutputCommand()));
    writeFile(path("query.pjl"), "@PJL INFO ID\r\n");
    ::chmod(path("query.pjl").c_str(), 0);
    EXPECT_EQ(statusFileFor(4), query("@PJL INFO ID\r\n"));
    EXPECT_EQ("", readFile(capture()));
}

TEST_F(DataCommands, AVirtualPrinterIsHeldAcrossProcessesWhileClaimed) {
    setPrinter();
    // A query to the silent printer holds it for its whole time-out.
    writeFile(path("query.pjl"), "not PJL at all");
    writeFile(path("holder.xml"), commandXml({{"command", "sendPJLCommand"},
                                              {"statusFilePath", path("held.xml")},
                                              {"deviceURI", kURI},
                                              {"outputFilePath", path("query.pjl")},
                                              {"responseFilePath", path("held.bin")},
                                              {"timeOut", "3"}}));
    auto holder = start({path("holder.xml")});
    ASSERT_TRUE(holder->started());
    for (int i = 0; i < 500 && readFile(capture()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(readFile(capture()).empty()) << "the query never reached the printer";
    EXPECT_EQ("False", active(kURI));
    ASSERT_TRUE(holder->waitFor(seconds(10)));
    EXPECT_EQ(statusFileFor(8), readFile(path("held.xml")));
    EXPECT_EQ("True", active(kURI));  // let go with the claim
}

// Runs with the diagnostic trace asked for.
class Traced : public DataCommands {
protected:
    Traced() { mTraced = true; }
};

// The line of the trace that holds `text`: its time stamp (seconds on the
// program's monotonic clock) and its text after the stamp.
struct TraceLine {
    double at;
    std::string text;
};
std::optional<TraceLine> traceLine(const std::string& trace, const std::string& text) {
    const std::size_t found = trace.find(text);
    if (found == std::string::npos) return std::nullopt;
    const std::size_t previousEnd = trace.rfind('\n', found);
    const std::size_t begin = previousEnd == std::string::npos ? 0 : previousEnd + 1;
    const std::size_t space = trace.find(' ', begin);
    return TraceLine{std::stod(trace.substr(begin, space - begin)),
                     trace.substr(space + 1, trace.find('\n', found) - space - 1)};
}

TEST_F(Traced, DataOutputGivesUpFifteenSecondsAfterTheLastByteMoved) {
    // Paper out: the printer takes data for a while, then nothing more,
    // 664 bytes into the eighth chunk.
    setPrinter("<acceptBytesPerSecond>20000</acceptBytesPerSecond><stopTakingAfterBytes>15000"
               "</stopTakingAfterBytes>");
    writeFile(path("print.bin"), patterned(40000));
    std::remove(statusPath().c_str());
    writeCommand(dataOutputCommand());
    auto process = start();
    ASSERT_TRUE(process->waitFor(seconds(40))) << "the program did not end";
    EXPECT_EQ(statusFileFor(7), readFile(statusPath()));
    EXPECT_EQ(patterned(15000), readFile(capture()));
    // Read on the program's own monotonic clock, from its trace: the
    // silence as the virtual printer counted it, exact, then the result
    // stamped to the microsecond. File time stamps would bring in the
    // granularity of the kernel's and the file system's clocks instead.
    const std::string trace = readFile(path("trace.log"));
    const std::optional<TraceLine> gaveUp = traceLine(trace, "bulk out timed out, silent for ");
    const std::optional<TraceLine> result = traceLine(trace, "command dataOutput: result 7");
    ASSERT_TRUE(gaveUp && result) << trace;
    EXPECT_NE(std::string::npos, gaveUp->text.find("(664 of 2048 bytes moved)")) << gaveUp->text;
    const double silence = std::stod(gaveUp->text.substr(gaveUp->text.find("for ") + 4));
    EXPECT_GE(silence, 15.0);
    // The documented bound: the 7 within half a second of the time-out.
    EXPECT_LT(silence + (result->at - gaveUp->at), 15.5);
}

TEST_F(Traced, ALinkOrAFIFOAtTheTracePathIsNoTraceAndNeverBlocks) {
    setPrinter("<answer>OK</answer>");
    writeFile(path("elsewhere"), "");
    std::filesystem::create_symlink(path("elsewhere"), path("trace.log"));
    EXPECT_EQ(kStatusZero, query("@PJL INFO ID\r\n"));
    EXPECT_EQ("", readFile(path("elsewhere")));
    std::filesystem::remove(path("trace.log"));
    // Nobody reads this FIFO: opening it to write would wait for ever.
    ASSERT_EQ(0, ::mkfifo(path("trace.log").c_str(), 0600));
    EXPECT_EQ(kStatusZero, query("@PJL INFO ID\r\n"));
}

TEST_F(Traced, TheTraceNamesWhyAQueryFailed) {
    setPrinter("<interfaceHeldOpen>true</interfaceHeldOpen>");
    EXPECT_EQ(statusFileFor(7), query("@PJL INFO ID\r\n"));
    const std::string trace = readFile(path("trace.log"));
    EXPECT_NE(std::string::npos, trace.find("device " + kURI + " taken")) << trace;
    EXPECT_NE(std::string::npos, trace.find("claim of interface 0 failed: kIOReturnExclusiveAccess")) << trace;
    EXPECT_NE(std::string::npos, trace.find("command sendPJLCommand: result 7, printer: printerHeld")) << trace;
}

TEST_F(Traced, ABusFileThatSaysSomethingWrongIsAnEmptyBusAndTheTraceSaysWhy) {
    setBus("<device><deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>A1</serialNumber></device>\n"
           "<device><statusCod>1</statusCod></device>");
    EXPECT_EQ(statusFileFor(7), query("@PJL INFO ID\r\n"));
    const std::string trace = readFile(path("trace.log"));
    EXPECT_NE(std::string::npos, trace.find("bus file refused, the bus is empty: " + path("bus.xml") +
                                            ":2: <statusCod>: not a bus file element\n"))
        << trace;
}

TEST_F(DataCommands, NoTraceIsWrittenUnlessAskedFor) {
    setPrinter("<answer>OK</answer>");
    EXPECT_EQ(kStatusZero, query("@PJL INFO ID\r\n"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(mDir.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"bus.xml", "capture.bin", "query.pjl", "response.bin", "status.xml"}), names);
}

}  // namespace
}  // namespace zelvik::test
