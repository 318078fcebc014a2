// SPDX-License-Identifier: Apache-2.0
// The recording access layer under the command handlers, in-process on the
// simulated bus: what a run records replays as the printer answered, print
// data never reaches the file, runs merge into one recording, and only a
// regular file that is a recording is ever written. (Recording through the
// programs, with zelvikctl record, and replaying on the other player: the
// client, zelvikctl and emulated-kernel suites.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "app/Application.h"
#include "app/ZelvikController.h"
#include "support/TempDir.h"
#include "usb/record/Recording.h"
#include "usb/record/RecordingUsbAccess.h"
#include "usb/sim/BusFile.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace zelvik {
namespace {

using sim::VirtualPrinterConfig;
using test::readFile;
using test::writeFile;

const std::string kURI = "usb://A/B?serial=S1";
const std::string kStatus = "\x1b%-12345X@PJL INFO STATUS\r\n\x1b%-12345X";
const std::string kPageCount = "\x1b%-12345X@PJL INFO PAGECOUNT\r\n\x1b%-12345X";
const std::string kJob = "PRINT-DATA-THAT-MUST-NOT-BE-KEPT " + std::string(5000, 'j');

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A multifunction printer with pipes of its own, a slow answer of its own
// and bytes waiting; and a device of another vendor.
std::vector<VirtualPrinterConfig> bus() {
    VirtualPrinterConfig printer;
    printer.deviceID = "MFG:A;MDL:B;SN:S1;";
    printer.serialNumber = "S1";
    printer.locationID = 0x01200000;
    sim::InterfaceDescription pipes, reader;
    pipes.endpoints = {{0x02, sim::TransferType::Bulk, 64}, {0x81, sim::TransferType::Bulk, 64}};
    reader.number = 1;
    reader.interfaceClass = 8;
    printer.interfaces = {pipes, reader};
    printer.replies = {{"@PJL INFO STATUS", bytesOf("@PJL INFO STATUS\r\nCODE=40021\r\n\f"), 300}};
    printer.pageCount = 12;
    printer.pendingAnswer = bytesOf("@PJL USTATUS DEVICE\r\nCODE=10001\r\n\f");
    VirtualPrinterConfig other;
    other.vendorID = static_cast<std::uint16_t>(sim::servedVendorID() ^ 0xFFFF);
    return {printer, other};
}

class Recording : public ::testing::Test {
protected:
    std::string recording() const { return mDir.file("recording.xml"); }

    // One run of the helper: its commands on the bus, recorded.
    void run(std::vector<VirtualPrinterConfig> printers, const std::function<void(ZelvikController&)>& commands) {
        SimulatedUsbAccess simulated(std::move(printers));
        RecordingUsbAccess recorded(simulated, recording());
        char name[] = "zelvik";
        char* argv[] = {name, nullptr};
        Application application(1, argv);
        ZelvikController controller(application, recorded);
        commands(controller);
    }
    std::string ask(ZelvikController& controller, const std::string& query) {
        writeFile(mDir.file("query.pjl"), query);
        EXPECT_EQ(0, controller.sendPJLCommand(kURI, mDir.file("query.pjl"), mDir.file("answer"), 5));
        return readFile(mDir.file("answer"));
    }
    sim::BusFile recorded() const { return sim::readBusFile(recording()); }

    test::TempDir mDir;
};

TEST_F(Recording, WhatARunLearntReplaysAsThePrinterAnsweredAndPrintDataIsNotKept) {
    std::string listed, answered;
    run(bus(), [&](ZelvikController& controller) {
        ASSERT_EQ(0, controller.getPrinterList(mDir.file("list.xml"), -1));
        listed = readFile(mDir.file("list.xml"));
        answered = ask(controller, kStatus);
        writeFile(mDir.file("job.prn"), kJob);
        EXPECT_EQ(0, controller.dataOutput(kURI, mDir.file("job.prn"), mDir.file("progress")));
    });
    const sim::BusFile file = recorded();
    ASSERT_FALSE(file.error) << sim::describeBusFileError("recording", *file.error);
    ASSERT_EQ(1u, file.printers.size());  // the other vendor's device was only looked at
    const VirtualPrinterConfig& p = file.printers[0];
    const VirtualPrinterConfig original = bus()[0];
    EXPECT_EQ(sim::deviceIDReplyOf(original), p.deviceIDReply);
    EXPECT_EQ(sim::stringDescriptorOf(original.serialDescriptor, original.serialNumber), p.serialDescriptor);
    EXPECT_EQ(0x01200000u, p.locationID);
    ASSERT_EQ(1u, p.interfaces.size());  // interface 0, as the helper read it
    ASSERT_EQ(2u, p.interfaces[0].endpoints.size());
    EXPECT_EQ(0x81, p.interfaces[0].endpoints[1].address);
    EXPECT_EQ(64, p.interfaces[0].endpoints[1].maxPacketSize);
    EXPECT_EQ(original.pendingAnswer, p.pendingAnswer);
    ASSERT_EQ(1u, p.replies.size());
    EXPECT_EQ("@PJL INFO STATUS", p.replies[0].to);
    EXPECT_EQ(bytesOf(answered), p.replies[0].answer);
    // Not readable at the read before, 0.2 s after the write.
    EXPECT_GE(p.replies[0].delayMs.value_or(0), 150u);
    EXPECT_LE(p.replies[0].delayMs.value_or(0), 300u);
    EXPECT_EQ(std::string::npos, readFile(recording()).find("PRINT-DATA"));
    ASSERT_EQ(1u, p.notes.size());
    EXPECT_NE(std::string::npos, p.notes[0].find(std::to_string(kJob.size()) + " bytes"));

    // The recording, played, lists the printer and answers as it did.
    run(file.printers, [&](ZelvikController& controller) {
        ASSERT_EQ(0, controller.getPrinterList(mDir.file("list.xml"), -1));
        EXPECT_EQ(listed, readFile(mDir.file("list.xml")));
        EXPECT_EQ(answered, ask(controller, kStatus));
    });
}

TEST_F(Recording, RunsMergeIntoOneRecordingAndAnAnswerOutlivesALaterSilence) {
    run(bus(), [&](ZelvikController& controller) { ask(controller, kStatus); });
    std::vector<VirtualPrinterConfig> silent = bus();
    silent[0].replies[0].answer.clear();
    run(silent, [&](ZelvikController& controller) {
        writeFile(mDir.file("query.pjl"), kStatus);
        EXPECT_EQ(8, controller.sendPJLCommand(kURI, mDir.file("query.pjl"), mDir.file("answer"), 1));
        EXPECT_EQ("@PJL INFO PAGECOUNT\r\n12\r\n\f", ask(controller, kPageCount));
    });
    const sim::BusFile file = recorded();
    ASSERT_EQ(1u, file.printers.size());
    ASSERT_EQ(2u, file.printers[0].replies.size());
    EXPECT_EQ(bytesOf("@PJL INFO STATUS\r\nCODE=40021\r\n\f"), file.printers[0].replies[0].answer);
    EXPECT_EQ("@PJL INFO PAGECOUNT", file.printers[0].replies[1].to);
}

TEST_F(Recording, OnlyARegularFileThatIsARecordingIsWritten) {
    const auto listing = [&](ZelvikController& controller) { controller.getPrinterList(mDir.file("list.xml"), -1); };
    writeFile(mDir.file("elsewhere"), "mine");
    ASSERT_EQ(0, ::symlink(mDir.file("elsewhere").c_str(), recording().c_str()));
    run(bus(), listing);
    EXPECT_EQ("mine", readFile(mDir.file("elsewhere")));
    ::unlink(recording().c_str());

    writeFile(recording(), "<notes>not a recording</notes>");
    run(bus(), listing);
    EXPECT_EQ("<notes>not a recording</notes>", readFile(recording()));
}

TEST(RecordedReplies, EachCommandOfARequestGetsTheBlockThatEchoesIt) {
    const std::vector<std::string> lines = {"\x1b%-12345X@PJL", "@PJL INFO ID", "@PJL INFO STATUS",
                                            "@PJL INFO PAGECOUNT"};
    const Bytes answer =
        bytesOf("@PJL USTATUS DEVICE\r\n\f@PJL INFO STATUS\r\nCODE=1\r\n\f\r\n@PJL INFO ID\r\nX\r\n\f");
    const std::vector<sim::Reply> replies = record::repliesOf(lines, answer, 40);
    ASSERT_EQ(3u, replies.size());
    EXPECT_EQ("@PJL INFO ID", replies[0].to);
    EXPECT_EQ(bytesOf("\r\n@PJL INFO ID\r\nX\r\n\f"), replies[0].answer);
    // The block the printer sent by itself goes with the answer after it.
    EXPECT_EQ(bytesOf("@PJL USTATUS DEVICE\r\n\f@PJL INFO STATUS\r\nCODE=1\r\n\f"), replies[1].answer);
    EXPECT_EQ(40u, replies[1].delayMs);
    // Unanswered, and so silent, not answered by a built-in answer.
    EXPECT_EQ("@PJL INFO PAGECOUNT", replies[2].to);
    EXPECT_TRUE(replies[2].answer.empty());
}

}  // namespace
}  // namespace zelvik
