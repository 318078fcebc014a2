// SPDX-License-Identifier: Apache-2.0
// The virtual printer model, driven with explicit times so that answers
// and the throughput limit are checked without waiting. Its delays, idle
// reads, halts and alternate settings are checked through both backends by
// the USB access contract.
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

VirtualPrinter::WriteResult write(VirtualPrinter& p, const std::string& text, Clock::time_point now = t0) {
    return p.writeBulk(bytesOf(text), now);
}
// Everything readable at `now`.
std::string drain(VirtualPrinter& p, Clock::time_point now = t0) {
    std::string all;
    for (auto r = p.readBulk(3072, now); r.kind == Kind::Data; r = p.readBulk(3072, now))
        all.append(r.bytes.begin(), r.bytes.end());
    return all;
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

TEST(VirtualPrinterAnswers, AFixedAnswerRepliesToEveryWriteAndReadsLeaveTheRestQueued) {
    std::string answer(5000, 'a');
    for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<char>('a' + i % 26);
    VirtualPrinterConfig c;
    c.deviceID = "MDL:M;";
    c.answer = bytesOf(answer);
    VirtualPrinter p(c);
    write(p, "@PJL INFO ID\r\n");  // no PJL answer: the fixed one instead
    EXPECT_EQ(p.readBulk(3072, t0).bytes, bytesOf(answer.substr(0, 3072)));
    EXPECT_EQ(p.queuedAnswerBytes(), 5000u - 3072u);
    EXPECT_TRUE(write(p, "").complete);
    EXPECT_EQ(drain(p), answer.substr(3072) + answer);
    EXPECT_EQ(p.readBulk(3072, t0).kind, Kind::ZeroLength);
}

TEST(VirtualPrinterWrites, TheThroughputLimitSpreadsATransferOverTime) {
    VirtualPrinterConfig c;
    c.acceptBytesPerSecond = 1000;
    VirtualPrinter p(c, t0);
    const Bytes data(2048, 0x55);
    auto now = t0;
    int parts = 1;
    for (std::size_t sent = 0;; ++parts) {
        const auto r = p.writeBulk(std::span(data).subspan(sent), now);
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
    EXPECT_LE(p.writeBulk(data, now + 60s).accepted, 100u);
}

}  // namespace
}  // namespace zelvik::sim
