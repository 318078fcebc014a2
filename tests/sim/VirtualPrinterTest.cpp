// The virtual printer model, driven with explicit times so that delays,
// idle reads and the throughput limit are checked without waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/TempDir.h"
#include "usb/sim/VirtualPrinter.h"

namespace zelvik::sim {
namespace {

using namespace std::chrono_literals;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

const Clock::time_point t0 = Clock::now();

// The IN data stage of one control request, or nothing on a stall.
std::optional<Bytes> controlIn(VirtualPrinter& printer, std::uint8_t type, std::uint8_t request,
                               std::uint16_t value, std::uint16_t index, std::uint16_t length) {
    Bytes buffer(length + 16, 0xEE);
    const auto result = printer.control(type, request, value, index, length, buffer.data(), t0);
    if (result.stalled) return std::nullopt;
    EXPECT_LE(result.length, length);
    // Nothing is written beyond wLength.
    for (std::size_t i = length; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE);
    buffer.resize(result.length);
    return buffer;
}

bool controlOut(VirtualPrinter& printer, std::uint8_t type, std::uint8_t request,
                std::uint16_t value, std::uint16_t index) {
    return !printer.control(type, request, value, index, 0, nullptr, t0).stalled;
}

std::optional<Bytes> deviceID(VirtualPrinter& p, std::uint16_t length = 256) {
    return controlIn(p, 0xA1, 0, 0, 0, length);
}
std::optional<Bytes> stringDescriptor(VirtualPrinter& p, std::uint8_t index,
                                      std::uint16_t length = 256) {
    return controlIn(p, 0x80, 6, static_cast<std::uint16_t>(0x0300 + index), 0, length);
}

VirtualPrinter::WriteResult write(VirtualPrinter& p, const std::string& text,
                                  Clock::time_point now = t0) {
    const Bytes bytes = bytesOf(text);
    return p.writeBulk(bytes, now);
}

// Reads everything readable at `now`, in reads of at most `max` bytes.
std::string drain(VirtualPrinter& p, Clock::time_point now = t0, std::size_t max = 3072) {
    std::string all;
    for (;;) {
        const auto r = p.readBulk(max, now);
        if (r.kind != VirtualPrinter::ReadKind::Data) return all;
        all += textOf(r.bytes);
    }
}

VirtualPrinterConfig withDeviceID(const std::string& id) {
    VirtualPrinterConfig c;
    c.deviceID = id;
    return c;
}

// --- Identification --------------------------------------------------------------

TEST(VirtualPrinterControl, DeviceIDCarriesABigEndianLengthThatCountsItself) {
    VirtualPrinter p(withDeviceID("MFG:Zelvik;MDL:Zelvik LP-100;"));
    const auto reply = deviceID(p);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 31u);
    EXPECT_EQ((*reply)[0], 0x00);
    EXPECT_EQ((*reply)[1], 31);
    EXPECT_EQ(textOf(Bytes(reply->begin() + 2, reply->end())), "MFG:Zelvik;MDL:Zelvik LP-100;");

    // A text longer than 253 bytes: the length field says so, high byte first.
    VirtualPrinter longer(withDeviceID(std::string(300, 'x')));
    const auto longReply = deviceID(longer, 1024);
    ASSERT_TRUE(longReply);
    EXPECT_EQ(longReply->size(), 302u);
    EXPECT_EQ((*longReply)[0], 0x01);
    EXPECT_EQ((*longReply)[1], 0x2E);
}

TEST(VirtualPrinterControl, DeviceIDLengthOverrideAndTruncation) {
    VirtualPrinterConfig c = withDeviceID("MFG:A;MDL:B;");
    c.deviceIDLength = 0x0102;
    VirtualPrinter p(c);
    const auto reply = deviceID(p);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 14u);  // only the bytes there are
    EXPECT_EQ((*reply)[0], 0x01);
    EXPECT_EQ((*reply)[1], 0x02);

    const auto cut = deviceID(p, 5);
    ASSERT_TRUE(cut);
    EXPECT_EQ(textOf(*cut), std::string("\x01\x02MFG", 5));

    VirtualPrinter none{VirtualPrinterConfig{}};
    EXPECT_FALSE(deviceID(none));
}

TEST(VirtualPrinterControl, SerialNumberIsSentAsUTF16LittleEndian) {
    VirtualPrinterConfig c;
    c.serialNumber = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A é € U+1F600
    VirtualPrinter p(c);
    EXPECT_EQ(p.serialNumberStringIndex(), 3);
    EXPECT_EQ(p.deviceDescriptor()[16], 3);

    const auto reply = stringDescriptor(p, 3);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Bytes{12, 3, 0x41, 0, 0xE9, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE}));

    // The header read the printer link starts with.
    const auto header = stringDescriptor(p, 3, 2);
    ASSERT_TRUE(header);
    EXPECT_EQ(*header, (Bytes{12, 3}));

    // The three-byte form of a surrogate half stays that unit.
    VirtualPrinterConfig lone;
    lone.serialNumber = "\xED\xA0\x80";
    VirtualPrinter q(lone);
    EXPECT_EQ(*stringDescriptor(q, 3), (Bytes{4, 3, 0x00, 0xD8}));

    VirtualPrinterConfig empty;
    empty.serialNumber = "";
    VirtualPrinter e(empty);
    EXPECT_EQ(*stringDescriptor(e, 3), (Bytes{2, 3}));
}

TEST(VirtualPrinterControl, RawSerialDescriptorIsSentAsItStands) {
    VirtualPrinterConfig c;
    c.serialNumber = "ignored";
    c.serialDescriptor = Bytes{7, 3, 'A', 0, 'B', 0, 'C'};  // odd bLength
    VirtualPrinter p(c);
    EXPECT_EQ(*stringDescriptor(p, 3), (Bytes{7, 3, 'A', 0, 'B', 0, 'C'}));
    EXPECT_EQ(*stringDescriptor(p, 3, 7), (Bytes{7, 3, 'A', 0, 'B', 0, 'C'}));
    EXPECT_EQ(*stringDescriptor(p, 3, 2), (Bytes{7, 3}));

    VirtualPrinterConfig wrongType;
    wrongType.serialDescriptor = Bytes{4, 2, 'A', 0};
    VirtualPrinter w(wrongType);
    EXPECT_EQ(*stringDescriptor(w, 3), (Bytes{4, 2, 'A', 0}));

    VirtualPrinterConfig nothing;
    nothing.serialDescriptor = Bytes{};
    VirtualPrinter n(nothing);
    EXPECT_EQ(n.serialNumberStringIndex(), 3);
    EXPECT_EQ(*stringDescriptor(n, 3), Bytes{});
}

TEST(VirtualPrinterControl, LanguageTableAndUnknownStrings) {
    VirtualPrinter p{VirtualPrinterConfig{}};
    EXPECT_EQ(p.serialNumberStringIndex(), 0);
    EXPECT_EQ(*stringDescriptor(p, 0), (Bytes{4, 3, 0x09, 0x04}));
    EXPECT_FALSE(stringDescriptor(p, 3));
    EXPECT_FALSE(stringDescriptor(p, 1));
}

TEST(VirtualPrinterControl, DeviceAndConfigurationDescriptors) {
    VirtualPrinterConfig c;
    c.vendorID = 0x1234;
    c.productID = 0xABCD;
    c.endpoints = {};
    c.alternateEndpoints = std::vector<EndpointConfig>{{EndpointKind::BulkOut, 512},
                                                       {EndpointKind::BulkIn, 64}};
    VirtualPrinter p(c);
    const auto device = controlIn(p, 0x80, 6, 0x0100, 0, 64);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->size(), 18u);
    EXPECT_EQ((*device)[1], 1);
    EXPECT_EQ((*device)[8], 0x34);
    EXPECT_EQ((*device)[9], 0x12);
    EXPECT_EQ((*device)[10], 0xCD);
    EXPECT_EQ((*device)[11], 0xAB);
    EXPECT_EQ((*device)[16], 0);  // no serial-number string

    const auto config = controlIn(p, 0x80, 6, 0x0200, 0, 1024);
    ASSERT_TRUE(config);
    // Configuration, two interface descriptors (alternate settings 0 and 1),
    // two endpoints in setting 1.
    ASSERT_EQ(config->size(), 9u + 9u + 9u + 7u + 7u);
    EXPECT_EQ((*config)[2] | ((*config)[3] << 8), static_cast<int>(config->size()));
    EXPECT_EQ((*config)[9 + 3], 0);   // alternate setting 0
    EXPECT_EQ((*config)[9 + 4], 0);   // no endpoints
    EXPECT_EQ((*config)[18 + 3], 1);  // alternate setting 1
    EXPECT_EQ((*config)[18 + 4], 2);
    EXPECT_EQ((*config)[27 + 2], 0x01);  // bulk OUT, endpoint 1
    EXPECT_EQ((*config)[34 + 2], 0x82);  // bulk IN, endpoint 2
    EXPECT_EQ((*config)[34 + 4], 64);

    EXPECT_FALSE(controlIn(p, 0x80, 6, 0x0201, 0, 64));  // no second configuration
    EXPECT_EQ(controlIn(p, 0x80, 6, 0x0200, 0, 4)->size(), 4u);
}

// --- Alternate settings and halts ---------------------------------------------------

TEST(VirtualPrinterControl, GetAndSetInterface) {
    VirtualPrinterConfig c;
    c.alternateSetting = 2;
    VirtualPrinter p(c);
    EXPECT_EQ(p.alternateSettingCount(), 3);
    EXPECT_EQ(*controlIn(p, 0x81, 0x0A, 0, 0, 1), Bytes{2});
    EXPECT_FALSE(controlOut(p, 0x01, 0x0B, 3, 0));  // no such setting
    EXPECT_EQ(p.currentAlternateSetting(), 2);
    EXPECT_TRUE(controlOut(p, 0x01, 0x0B, 0, 0));
    EXPECT_EQ(p.currentAlternateSetting(), 0);
    EXPECT_EQ(*controlIn(p, 0x81, 0x0A, 0, 0, 1), Bytes{0});
    EXPECT_FALSE(controlIn(p, 0x81, 0x0A, 0, 1, 1));  // no interface 1

    VirtualPrinterConfig refusing;
    refusing.alternateSetting = 1;
    refusing.refuseSetInterface = true;
    refusing.stallGetInterface = true;
    VirtualPrinter r(refusing);
    EXPECT_FALSE(controlIn(r, 0x81, 0x0A, 0, 0, 1));
    EXPECT_FALSE(controlOut(r, 0x01, 0x0B, 0, 0));
    EXPECT_EQ(r.currentAlternateSetting(), 1);
}

TEST(VirtualPrinterControl, AlternateSettingOneHasItsOwnEndpoints) {
    VirtualPrinterConfig c;
    c.endpoints = {};
    c.alternateEndpoints = std::vector<EndpointConfig>{{EndpointKind::BulkIn, 64},
                                                       {EndpointKind::BulkOut, 512}};
    VirtualPrinter p(c);
    EXPECT_EQ(p.alternateSettingCount(), 2);
    EXPECT_EQ(p.endpointAddress(1), 0);
    EXPECT_TRUE(controlOut(p, 0x01, 0x0B, 1, 0));
    EXPECT_EQ(p.endpointAddress(1), 0x81);
    EXPECT_EQ(p.endpointAddress(2), 0x02);
    EXPECT_EQ(p.endpointAddress(3), 0);
}

TEST(VirtualPrinterControl, ClearFeatureClearsTheNamedHalt) {
    VirtualPrinter p{VirtualPrinterConfig{}};
    p.haltEndpoint(0x01);
    p.haltEndpoint(0x82);
    EXPECT_TRUE(controlOut(p, 0x02, 0x01, 0, 0x82));
    EXPECT_FALSE(p.isHalted(0x82));
    EXPECT_TRUE(p.isHalted(0x01));
    EXPECT_TRUE(controlOut(p, 0x02, 0x01, 0, 0x01));
    EXPECT_FALSE(p.isHalted(0x01));
    EXPECT_FALSE(controlOut(p, 0x02, 0x01, 0, 0x05));  // no such endpoint
    EXPECT_FALSE(controlOut(p, 0x02, 0x01, 0, 0x02));  // endpoint 2 is IN
}

TEST(VirtualPrinterControl, EveryRequestIsLoggedAndOthersStall) {
    VirtualPrinter p(withDeviceID("MFG:A;MDL:B;"));
    deviceID(p);
    stringDescriptor(p, 0, 2);
    EXPECT_FALSE(controlIn(p, 0xA1, 1, 0, 0, 1));      // GET_PORT_STATUS: not offered
    EXPECT_FALSE(controlOut(p, 0x00, 0x09, 1, 0));     // SET_CONFIGURATION
    const auto& log = p.controlLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].bmRequestType, 0xA1);
    EXPECT_EQ(log[0].bRequest, 0);
    EXPECT_EQ(log[0].wLength, 256);
    EXPECT_EQ(log[1].bmRequestType, 0x80);
    EXPECT_EQ(log[1].bRequest, 6);
    EXPECT_EQ(log[1].wValue, 0x0300);
    EXPECT_EQ(log[1].wLength, 2);
    EXPECT_EQ(log[3].bRequest, 0x09);
    EXPECT_EQ(log[3].wValue, 1);
}

// --- PJL and fixed answers ----------------------------------------------------------

TEST(VirtualPrinterAnswers, PJLQueriesAreAnsweredInOrder) {
    VirtualPrinterConfig c = withDeviceID("MFG:Zelvik;MDL:Zelvik LP-100;CMD:PJL;");
    c.pageCount = 4321;
    VirtualPrinter p(c);
    const auto w = write(p,
                         "\x1b%-12345X@PJL INFO ID\r\n"
                         "@PJL ECHO hello  world\n"
                         "@PJL INFO PAGECOUNT\r\n"
                         "@PJL SET COPIES=2\r\n"
                         "@PJL INFO STATUS\r\n"
                         "PJL INFO ID\r\n"
                         "\x1b%-12345X\r\n");
    EXPECT_TRUE(w.complete);
    EXPECT_EQ(drain(p),
              "@PJL INFO ID\r\n\"Zelvik LP-100\"\r\n\f"
              "@PJL ECHO hello  world\r\n\f"
              "@PJL INFO PAGECOUNT\r\n4321\r\n\f"
              "@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY=\"Ready\"\r\nONLINE=TRUE\r\n\f");
}

TEST(VirtualPrinterAnswers, ALineIsAnsweredOnlyOnceItEnds) {
    VirtualPrinter p(withDeviceID("MDL:M;"));
    write(p, "@PJL INFO");
    EXPECT_EQ(drain(p), "");
    write(p, " ID\r");
    EXPECT_EQ(drain(p), "");
    write(p, "\n@PJL INFO ID");  // the second line never ends
    EXPECT_EQ(drain(p), "@PJL INFO ID\r\n\"M\"\r\n\f");
}

TEST(VirtualPrinterAnswers, PrintDataIsNotTakenForCommands) {
    VirtualPrinter p(withDeviceID("MDL:M;"));
    std::string data(100000, 'z');  // one endless "line"
    data += "@PJL INFO ID\n";
    write(p, data);
    EXPECT_EQ(drain(p), "");
    write(p, "@PJL INFO ID\n");
    EXPECT_EQ(drain(p), "@PJL INFO ID\r\n\"M\"\r\n\f");
}

TEST(VirtualPrinterAnswers, AModelWithoutMDLAnswersAnEmptyName) {
    VirtualPrinter p(withDeviceID("MFG:A;mdl:x;"));
    write(p, "@PJL INFO ID\n");
    EXPECT_EQ(drain(p), "@PJL INFO ID\r\n\"\"\r\n\f");
}

TEST(VirtualPrinterAnswers, AFixedAnswerRepliesToEveryCompletedWrite) {
    VirtualPrinterConfig c = withDeviceID("MDL:M;");
    c.answer = bytesOf("OK\f");
    VirtualPrinter p(c);
    write(p, "@PJL INFO ID\r\n");  // no PJL answer: the fixed one instead
    EXPECT_EQ(drain(p), "OK\f");
    EXPECT_TRUE(write(p, "").complete);
    write(p, "x");
    EXPECT_EQ(drain(p), "OK\fOK\f");
}

TEST(VirtualPrinterAnswers, PendingAnswerIsReadableFromTheStart) {
    VirtualPrinterConfig c;
    c.pendingAnswer = bytesOf("old news");
    c.answerDelayMs = 1000;
    c.idleIn = IdleIn::Nak;
    VirtualPrinter p(c, t0);
    EXPECT_EQ(p.queuedAnswerBytes(), 8u);
    const auto r = p.readBulk(3072, t0);
    EXPECT_EQ(r.kind, VirtualPrinter::ReadKind::Data);
    EXPECT_EQ(textOf(r.bytes), "old news");
}

// --- Bulk IN --------------------------------------------------------------------------

TEST(VirtualPrinterReads, AReadTakesAtMostWhatWasAskedAndLeavesTheRest) {
    VirtualPrinterConfig c;
    std::string answer;
    for (int i = 0; i < 5000; ++i) answer += static_cast<char>('a' + i % 26);
    c.answer = bytesOf(answer);
    VirtualPrinter p(c);
    write(p, "");
    auto r = p.readBulk(3072, t0);
    ASSERT_EQ(r.kind, VirtualPrinter::ReadKind::Data);
    EXPECT_EQ(textOf(r.bytes), answer.substr(0, 3072));
    EXPECT_EQ(p.queuedAnswerBytes(), 5000u - 3072u);
    r = p.readBulk(3072, t0);
    ASSERT_EQ(r.kind, VirtualPrinter::ReadKind::Data);
    EXPECT_EQ(textOf(r.bytes), answer.substr(3072));
    EXPECT_EQ(p.readBulk(3072, t0).kind, VirtualPrinter::ReadKind::ZeroLength);
}

TEST(VirtualPrinterReads, AnAnswerBecomesReadableAfterItsDelay) {
    VirtualPrinterConfig c = withDeviceID("MDL:M;");
    c.answerDelayMs = 500;
    c.idleIn = IdleIn::Nak;
    VirtualPrinter p(c, t0);
    write(p, "@PJL INFO ID\n", t0 + 100ms);
    auto r = p.readBulk(3072, t0 + 599ms);
    EXPECT_EQ(r.kind, VirtualPrinter::ReadKind::Nothing);
    EXPECT_EQ(r.readyAt, t0 + 600ms);
    r = p.readBulk(3072, t0 + 600ms);
    EXPECT_EQ(r.kind, VirtualPrinter::ReadKind::Data);

    // With zlp, a read before the delay is over completes empty at once.
    c.idleIn = IdleIn::Zlp;
    VirtualPrinter z(c, t0);
    write(z, "@PJL INFO ID\n", t0);
    EXPECT_EQ(z.readBulk(3072, t0 + 499ms).kind, VirtualPrinter::ReadKind::ZeroLength);
    EXPECT_EQ(z.readBulk(3072, t0 + 500ms).kind, VirtualPrinter::ReadKind::Data);
}

TEST(VirtualPrinterReads, AnIdlePrinterAnswersAZeroLengthPacketOrNothingAtAll) {
    VirtualPrinterConfig c;
    VirtualPrinter zlp(c);
    EXPECT_EQ(zlp.readBulk(3072, t0).kind, VirtualPrinter::ReadKind::ZeroLength);

    c.idleIn = IdleIn::Nak;
    VirtualPrinter nak(c);
    const auto r = nak.readBulk(3072, t0 + 15s);
    EXPECT_EQ(r.kind, VirtualPrinter::ReadKind::Nothing);
    EXPECT_EQ(r.readyAt, Clock::time_point::max());
}

TEST(VirtualPrinterReads, AHaltedInEndpointStalls) {
    VirtualPrinterConfig c;
    c.pendingAnswer = bytesOf("x");
    VirtualPrinter p(c);
    p.haltEndpoint(0x82);
    EXPECT_EQ(p.readBulk(64, t0).kind, VirtualPrinter::ReadKind::Stalled);
    p.clearHalt(0x82);
    EXPECT_EQ(p.readBulk(64, t0).kind, VirtualPrinter::ReadKind::Data);
}

// --- Bulk OUT ------------------------------------------------------------------------

TEST(VirtualPrinterWrites, TheThroughputLimitSpreadsATransferOverTime) {
    VirtualPrinterConfig c;
    c.acceptBytesPerSecond = 1000;
    VirtualPrinter p(c, t0);
    const Bytes data(2048, 0x55);
    std::size_t sent = 0;
    auto now = t0;
    int parts = 0;
    for (;;) {
        const auto r = p.writeBulk(std::span(data).subspan(sent), now);
        ASSERT_FALSE(r.stalled);
        sent += r.accepted;
        if (r.complete) break;
        ASSERT_GT(r.retryAt, now);
        now = r.retryAt;
        ASSERT_LT(++parts, 1000);
    }
    EXPECT_EQ(sent, 2048u);
    EXPECT_EQ(p.bytesReceived(), 2048u);
    const double seconds = std::chrono::duration<double>(now - t0).count();
    EXPECT_NEAR(seconds, 2.048, 0.01);
    EXPECT_GT(parts, 10);  // taken in parts, not all at the end

    // Unused time does not pile up beyond a short burst.
    const auto later = now + 60s;
    const auto r = p.writeBulk(data, later);
    EXPECT_LE(r.accepted, 100u);
    EXPECT_FALSE(r.complete);
}

TEST(VirtualPrinterWrites, APrinterThatTakesNothingNeverCompletes) {
    VirtualPrinterConfig c;
    c.acceptBytesPerSecond = 0;
    VirtualPrinter p(c, t0);
    const auto r = write(p, "data", t0 + 100s);
    EXPECT_EQ(r.accepted, 0u);
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.retryAt, Clock::time_point::max());
    EXPECT_TRUE(write(p, "", t0).complete);  // a zero-length packet still goes
}

TEST(VirtualPrinterWrites, FailingAfterALimitHaltsTheOutEndpointUntilCleared) {
    VirtualPrinterConfig c;
    c.failWriteAfterBytes = 2048;
    VirtualPrinter p(c);
    const Bytes data(3000, 1);
    auto r = p.writeBulk(std::span(data).first(1000), t0);
    EXPECT_TRUE(r.complete);
    r = p.writeBulk(std::span(data).first(2000), t0);
    EXPECT_EQ(r.accepted, 1048u);
    EXPECT_TRUE(r.stalled);
    EXPECT_FALSE(r.complete);
    EXPECT_TRUE(p.isHalted(0x01));
    EXPECT_EQ(p.bytesReceived(), 2048u);

    r = p.writeBulk(data, t0);
    EXPECT_TRUE(r.stalled);
    EXPECT_EQ(r.accepted, 0u);

    // A clear lets the host try again, but the printer is past its limit.
    EXPECT_TRUE(controlOut(p, 0x02, 0x01, 0, 0x01));
    EXPECT_FALSE(p.isHalted(0x01));
    r = p.writeBulk(data, t0);
    EXPECT_TRUE(r.stalled);
    EXPECT_EQ(r.accepted, 0u);
    EXPECT_EQ(p.bytesReceived(), 2048u);
}

TEST(VirtualPrinterWrites, ATransferEndingExactlyAtTheLimitCompletesAndTheNextPacketStalls) {
    VirtualPrinterConfig c;
    c.failWriteAfterBytes = 4;
    VirtualPrinter p(c);
    EXPECT_TRUE(write(p, "abcd").complete);
    EXPECT_TRUE(p.isHalted(0x01));
    EXPECT_TRUE(write(p, "").stalled);
}

TEST(VirtualPrinterWrites, TheCaptureFileGetsEveryAcceptedByteInOrder) {
    test::TempDir dir;
    const std::string path = dir.file("capture.bin");
    test::writeFile(path, "earlier:");
    VirtualPrinterConfig c;
    c.captureFile = path;
    c.acceptBytesPerSecond = 10000;
    c.failWriteAfterBytes = 5000;
    {
        VirtualPrinter p(c, t0);
        Bytes data(6000);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
        std::size_t sent = 0;
        auto now = t0;
        for (;;) {
            const auto r = p.writeBulk(std::span(data).subspan(sent), now);
            sent += r.accepted;
            // Readable while the printer is still taking data.
            EXPECT_EQ(test::readFile(path).size(), 8u + sent);
            if (r.complete || r.stalled) break;
            now = r.retryAt;
        }
        EXPECT_EQ(sent, 5000u);
        p.writeBulk(Bytes{}, now);
        const std::string captured = test::readFile(path);
        ASSERT_EQ(captured.size(), 8u + 5000u);
        EXPECT_EQ(captured.substr(0, 8), "earlier:");
        EXPECT_EQ(captured.substr(8), std::string(data.begin(), data.begin() + 5000));
    }

    // Created, empty, even when nothing is written.
    VirtualPrinterConfig fresh;
    fresh.captureFile = dir.file("fresh.bin");
    VirtualPrinter q(fresh);
    EXPECT_TRUE(test::exists(dir.file("fresh.bin")));
    EXPECT_EQ(test::readFile(dir.file("fresh.bin")), "");
}

TEST(VirtualPrinterWrites, APrinterCanLeaveTheBusMidTransfer) {
    VirtualPrinterConfig c;
    c.disconnectAfterBytes = 10;
    c.pendingAnswer = bytesOf("x");
    VirtualPrinter p(c);
    EXPECT_TRUE(write(p, "12345").complete);
    EXPECT_FALSE(p.disconnected());
    const auto r = write(p, "67890abc");
    EXPECT_EQ(r.accepted, 5u);
    EXPECT_FALSE(r.complete);
    EXPECT_TRUE(p.disconnected());
    EXPECT_EQ(p.readBulk(64, t0).kind, VirtualPrinter::ReadKind::Nothing);
    EXPECT_TRUE(p.control(0x80, 6, 0x0100, 0, 18, Bytes(18).data(), t0).stalled);
}

}  // namespace
}  // namespace zelvik::sim
