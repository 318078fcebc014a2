// SPDX-License-Identifier: Apache-2.0
// Cancelling a running command through the reopen event: SIGUSR1, or a
// second launch with the same command file path.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "e2e/Harness.h"
#include "support/PrivateTmp.h"

namespace zelvik::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kURI = "usb://Zelvik/Quiet Model?serial=Q1";

class Cancel : public SimProgramTest {
protected:
    // The trace tells when each read of the printer was made.
    Cancel() { mTraced = true; }

    // The trace's times of the reads of the answer, after the one read that
    // found nothing pending.
    std::vector<double> answerReadTimes() const {
        std::vector<double> times;
        std::istringstream lines(readFile(path("trace.log")));
        for (std::string line; std::getline(lines, line);) {
            if (line.find(" bulk in up to ") != std::string::npos) times.push_back(std::stod(line));
        }
        if (!times.empty()) times.erase(times.begin());
        return times;
    }

    void SetUp() override {
        // A printer that never answers a query: each read finds nothing.
        setBus("<device><deviceID>MFG:Zelvik;MDL:Quiet Model;</deviceID><serialNumber>Q1</serialNumber></device>");
        writeFile(path("query.pjl"), "no question here");
    }

    // Starts a query with a long time limit and waits until the command
    // file has been consumed (the command is running).
    std::unique_ptr<Process> startWaitingQuery() {
        writeCommand({{"command", "sendPJLCommand"},
                      {"statusFilePath", statusPath()},
                      {"deviceURI", kURI},
                      {"outputFilePath", path("query.pjl")},
                      {"responseFilePath", path("answer.bin")},
                      {"timeOut", "60"}});
        auto process = start();
        EXPECT_TRUE(eventually([&] { return !exists(commandPath()); }));
        return process;
    }

    void writeCancel() { writeCommand({{"command", "processCancel"}, {"statusFilePath", path("cancel-status.xml")}}); }
};

TEST_F(Cancel, SignalWithCancelFileStopsTheWaitingQuery) {
    auto process = startWaitingQuery();
    writeCancel();
    const auto sent = std::chrono::steady_clock::now();
    process->signal(SIGUSR1);
    ASSERT_TRUE(process->waitFor(seconds(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, seconds(2));
    EXPECT_EQ(kStatusZero, readFile(statusPath()));
    EXPECT_FALSE(exists(commandPath()));              // the cancel file was consumed
    EXPECT_FALSE(exists(path("cancel-status.xml")));  // and is not answered itself
    EXPECT_FALSE(exists(path("answer.bin")));
}

TEST_F(Cancel, OtherCommandsAndMissingFilesAreDroppedWhileTheCommandGoesOn) {
    auto process = startWaitingQuery();
    // No command file at all: nothing happens.
    process->signal(SIGUSR1);
    // Another command: consumed and dropped.
    writeCommand({{"command", "getPrinterList"},
                  {"statusFilePath", path("other-status.xml")},
                  {"printerListFilePath", path("list.xml")},
                  {"printerListMax", "1"}});
    process->signal(SIGUSR1);
    EXPECT_TRUE(eventually([&] { return !exists(commandPath()); }));
    EXPECT_FALSE(process->waitFor(milliseconds(500)));
    EXPECT_FALSE(exists(path("list.xml")));
    EXPECT_FALSE(exists(path("other-status.xml")));

    writeCancel();
    process->signal(SIGUSR1);
    ASSERT_TRUE(process->waitFor(seconds(5)));
    EXPECT_EQ(kStatusZero, readFile(statusPath()));

    // Only a cancel cuts the pause between two reads short: the events that
    // were dropped left the printer polled every 0.2 s, never sooner (the
    // trace's clock never goes back; its times are rounded to 1 us).
    const std::vector<double> reads = answerReadTimes();
    ASSERT_GE(reads.size(), 3u);
    for (std::size_t i = 1; i < reads.size(); ++i) {
        EXPECT_GE(reads[i] - reads[i - 1], 0.2 - 2e-6) << "read " << i;
    }
}

TEST_F(Cancel, CancelFileNamingAnExistingStatusIsRefused) {
    auto process = startWaitingQuery();
    writeFile(path("cancel-status.xml"), "taken");
    writeCancel();
    process->signal(SIGUSR1);
    EXPECT_FALSE(process->waitFor(milliseconds(600)));
    EXPECT_TRUE(exists(commandPath()));
    std::remove(path("cancel-status.xml").c_str());
    process->signal(SIGUSR1);
    ASSERT_TRUE(process->waitFor(seconds(5)));
    EXPECT_EQ(kStatusZero, readFile(statusPath()));
}

// Another user made the shared temporary rendezvous first, and there is
// neither a runtime directory nor a usable home: the command runs all the
// same, and SIGUSR1 cancels it.
TEST_F(Cancel, WithNoRendezvousAtAllTheCommandRunsAndTheSignalCancels) {
    // The program's folder, reached through a descriptor: a build under
    // /tmp is hidden by the private /tmp.
    const std::string binary = program();
    const std::size_t slash = binary.rfind('/');
    const int folder = ::open(binary.substr(0, slash + 1).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    expectInPrivateTmp([&] {
        const std::string programThere =
            "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(folder) + binary.substr(slash);
        ::setenv("HOME", "/nonexistent", 1);
        if (!squat("/tmp/zelvik-" + std::to_string(::getuid()))) return 2;
        ::mkdir("/tmp/work", 0700);
        writeFile("/tmp/work/bus.xml", "<simulatedBus><device><deviceID>MFG:Zelvik;MDL:Quiet Model;</deviceID>"
                                       "<serialNumber>Q1</serialNumber></device></simulatedBus>");
        writeFile("/tmp/work/query.pjl", "no question here");
        writeFile("/tmp/work/command.xml", commandXml({{"command", "sendPJLCommand"},
                                                       {"statusFilePath", "/tmp/work/status.xml"},
                                                       {"deviceURI", kURI},
                                                       {"outputFilePath", "/tmp/work/query.pjl"},
                                                       {"responseFilePath", "/tmp/work/answer.bin"},
                                                       {"timeOut", "60"}}));
        Process process(programThere, {"/tmp/work/command.xml"}, {"ZELVIK_SIMULATED_BUS=/tmp/work/bus.xml"});
        if (!eventually([] { return !exists("/tmp/work/command.xml"); })) return 3;
        writeFile("/tmp/work/command.xml",
                  commandXml({{"command", "processCancel"}, {"statusFilePath", "/tmp/work/cancel-status.xml"}}));
        process.signal(SIGUSR1);
        if (!process.waitFor(seconds(5))) return 4;
        return readFile("/tmp/work/status.xml") == kStatusZero ? 0 : 5;
    });
    ::close(folder);
}

TEST_F(Cancel, TerminationFromOutsideEndsPromptlyWithoutAStatusFile) {
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(number);
        auto process = startWaitingQuery();
        process->signal(number);
        ASSERT_TRUE(process->waitFor(seconds(3)));
        EXPECT_FALSE(exists(statusPath()));
    }
}

}  // namespace
}  // namespace zelvik::test
