// SPDX-License-Identifier: Apache-2.0
// The virtual printer model, driven with explicit times so that answers,
// status blocks and the throughput limit are checked without waiting. Its
// delays, idle reads, halts and alternate settings are checked through both
// backends by the USB access contract, and settings that do not speak PJL
// by the printer catalogue.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "usb/sim/VirtualPrinter.h"

namespace zelvik::sim {
namespace {

using namespace std::chrono_literals;
using Kind = VirtualPrinter::ReadKind;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

const Clock::time_point t0 = Clock::now();
constexpr std::uint8_t kOut = 0x01, kIn = 0x82;  // a default printer's bulk pipes

VirtualPrinter::WriteResult write(VirtualPrinter& p, const std::string& text, Clock::time_point now = t0,
                                  std::uint8_t out = kOut) {
    return p.writeBulk(out, bytesOf(text), now);
}
// Everything readable at `now`, one transfer after the other.
std::string drain(VirtualPrinter& p, Clock::time_point now = t0, std::uint8_t in = kIn) {
    std::string all;
    for (auto r = p.readBulk(in, 3072, now); r.kind == Kind::Data; r = p.readBulk(in, 3072, now))
        all.append(r.bytes.begin(), r.bytes.end());
    return all;
}
// What one transfer gives at `now`.
std::string readOnce(VirtualPrinter& p, Clock::time_point now) {
    const auto r = p.readBulk(kIn, 3072, now);
    return std::string(r.bytes.begin(), r.bytes.end());
}

TEST(VirtualPrinterAnswers, PJLQueriesAreAnsweredInOrderOnceTheirLineEnds) {
    VirtualPrinterConfig c;
    c.deviceID = "MFG:Zelvik;MDL:Zelvik LP-100;CMD:PJL;";
    c.pageCount = 4321;
    VirtualPrinter p(c);
    write(p, "\x1b%-12345X@PJL INFO ID\r\n@PJL ECHO hello  world\n@PJL INFO PAGE");
    write(p, "COUNT\r\n@PJL SET COPIES=2\r\n@PJL INFO STATUS\r\nPJL INFO ID\r\n\x1b%-12345X\r\n@PJL INFO ID");
    EXPECT_EQ(drain(p),  // the last line never ends
              "@PJL INFO ID\r\n\"Zelvik LP-100\"\r\n\f"
              "@PJL ECHO hello  world\r\n\f"
              "@PJL INFO PAGECOUNT\r\n4321\r\n\f"
              "@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY=\"Ready\"\r\nONLINE=TRUE\r\n\f");

    // A line longer than any command is print data, however it starts; the
    // line after it is a command again.
    write(p, std::string(100000, 'z') + "\n@PJL ECHO " + std::string(5000, 'z') + "\n@PJL INFO ID\n");
    EXPECT_EQ(drain(p), "@PJL INFO ID\r\n\"Zelvik LP-100\"\r\n\f");
}

TEST(VirtualPrinterAnswers, RepliesComeFirstThenTheBuiltInAnswersThenTheDefaultForOtherQueries) {
    VirtualPrinterConfig c;
    c.deviceIDReply = bytesOf(std::string("\0\x2d", 2) + "MFG:Zelvik;MDL:MF 9;CMD:PJL,PCL,POSTSCRIPT;");
    c.replies = {{"@pjl info   status", bytesOf("@PJL INFO STATUS\r\nCODE=35078\r\n\f"), 500},
                 {"@PJL INFO ID", {}, std::nullopt}};
    c.defaultReply = Reply{"", bytesOf("?\f"), std::nullopt};
    c.statusCode = 40038;
    c.statusDisplay = "LOW TONER";
    c.online = false;
    VirtualPrinter p(c);
    write(p, "\x1b%-12345X@PJL INFO STATUS \r\n@PJL INFO ID\r\n@PJL SET COPIES=2\r\n@PJL INQUIRE COPIES\r\n");
    EXPECT_EQ(drain(p, t0 + 499ms), "");  // a reply's own delay holds back what follows it too
    EXPECT_EQ(drain(p, t0 + 500ms), "@PJL INFO STATUS\r\nCODE=35078\r\n\f?\f");

    write(p, "@PJL USTATUS DEVICE = ON\r\n@PJL INFO USTATUS\r\n@PJL INFO CONFIG\r\n@PJL INFO VARIABLES\r\n", t0 + 1s);
    const std::string answers = drain(p, t0 + 1s);
    EXPECT_EQ(answers.rfind("@PJL USTATUS DEVICE\r\nCODE=40038\r\nDISPLAY=\"LOW TONER\"\r\nONLINE=FALSE\r\n\f"
                            "@PJL INFO USTATUS\r\nDEVICE=ON [3 ENUMERATED]\r\n",
                            0),
              0u)
        << answers;
    EXPECT_NE(answers.find("LANGUAGES [2 ENUMERATED]\r\n\tPCL\r\n\tPOSTSCRIPT\r\n"), std::string::npos) << answers;
    EXPECT_NE(answers.find("@PJL INFO VARIABLES\r\nCOPIES=1 [2 RANGE]\r\n"), std::string::npos) << answers;
    EXPECT_EQ(answers.back(), '\f');
}

TEST(VirtualPrinterAnswers, AFixedAnswerRepliesToEveryWriteAndReadsLeaveTheRestQueued) {
    std::string answer(5000, 'a');
    for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<char>('a' + i % 26);
    VirtualPrinterConfig c;
    c.deviceID = "MDL:M;";
    c.answer = bytesOf(answer);
    VirtualPrinter p(c);
    write(p, "@PJL INFO ID\r\n");  // no PJL answer: the fixed one instead
    EXPECT_EQ(p.readBulk(kIn, 3072, t0).bytes, bytesOf(answer.substr(0, 3072)));
    EXPECT_EQ(p.queuedAnswerBytes(), 5000u - 3072u);
    EXPECT_TRUE(write(p, "").complete);
    EXPECT_EQ(drain(p), answer.substr(3072) + answer);
    EXPECT_EQ(p.readBulk(kIn, 3072, t0).kind, Kind::ZeroLength);
}

TEST(VirtualPrinterAnswers, StatusBlocksOfItsOwnGoBeforeTheNextAnswerOrComeOnTheirPeriod) {
    VirtualPrinterConfig c;
    c.pendingAnswer = bytesOf("old");
    c.unsolicitedStatus = {{bytesOf("@PJL USTATUS JOB\r\n\f"), std::nullopt}, {{}, std::nullopt}, {{}, 5}};
    c.answerDelayMs = 100;
    c.idleIn = IdleIn::Nak;
    VirtualPrinter p(c, t0);
    EXPECT_EQ(readOnce(p, t0), "old");  // the waiting bytes are not an answer
    EXPECT_EQ(p.readBulk(kIn, 3072, t0).readyAt, t0 + 5s);
    write(p, "@PJL ECHO 1\r\n");
    EXPECT_EQ(p.readBulk(kIn, 3072, t0 + 99ms).readyAt, t0 + 100ms);
    const std::string status = "@PJL USTATUS DEVICE\r\nCODE=10001\r\nDISPLAY=\"Ready\"\r\nONLINE=TRUE\r\n\f";
    EXPECT_EQ(readOnce(p, t0 + 100ms), "@PJL USTATUS JOB\r\n\f" + status + "@PJL ECHO 1\r\n\f");
    write(p, "@PJL ECHO 2\r\n", t0 + 1s);
    EXPECT_EQ(readOnce(p, t0 + 2s), "@PJL ECHO 2\r\n\f");  // once only

    // Every five seconds; the ones nobody read meanwhile do not pile up.
    EXPECT_EQ(readOnce(p, t0 + 5s), status);
    EXPECT_EQ(readOnce(p, t0 + 9s), "");
    EXPECT_EQ(p.readBulk(kIn, 3072, t0 + 9s).readyAt, t0 + 10s);
    EXPECT_EQ(readOnce(p, t0 + 30s), status);
    EXPECT_EQ(readOnce(p, t0 + 30s), "");
}

TEST(VirtualPrinterWrites, TheThroughputLimitSpreadsATransferOverTime) {
    VirtualPrinterConfig c;
    c.acceptBytesPerSecond = 1000;
    VirtualPrinter p(c, t0);
    const Bytes data(2048, 0x55);
    auto now = t0;
    int parts = 1;
    for (std::size_t sent = 0;; ++parts) {
        const auto r = p.writeBulk(kOut, std::span(data).subspan(sent), now);
        sent += r.accepted;
        if (r.complete) break;
        ASSERT_GT(r.retryAt, now);
        ASSERT_LT(parts, 1000);
        now = r.retryAt;
    }
    EXPECT_EQ(p.bytesReceived(), 2048u);
    EXPECT_NEAR(std::chrono::duration<double>(now - t0).count(), 2.048, 0.01);
    EXPECT_GT(parts, 10);  // taken in parts, not all at the end
    // Unused time does not pile up beyond a short burst.
    EXPECT_LE(p.writeBulk(kOut, data, now + 60s).accepted, 100u);
}

}  // namespace
}  // namespace zelvik::sim
