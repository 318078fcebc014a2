// How a printer is identified and named: the serial-number string read
// request by request from a scripted device, its UTF-8 form, and the device
// URI.
#include <gtest/gtest.h>

#include "ScriptedDevice.h"
#include "usb/KxUsbCommunicater.h"

namespace zelvik {
namespace {

using test::Reply;
using test::Request;
using test::stringDescriptor;

struct StringRead {
    IOReturn status;
    std::string text;
    std::vector<Request> requests;
};

// Reads string 5 (US English) into a buffer of `size` bytes.
StringRead readString(std::deque<Reply> script, std::int32_t size = 256) {
    test::ScriptedDevice device;
    device.script = std::move(script);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size) + 1, 0xAA);
    buffer.back() = 0;
    const IOReturn status =
        KxUsbCommunicater::getStringDescriptor(&device, 5, buffer.data(), size, 0x0409);
    return {status, reinterpret_cast<const char*>(buffer.data()), device.requests};
}

Request stringRequest(std::uint16_t wLength) { return {0x80, 6, 0x0305, 0x0409, wLength}; }

TEST(StringDescriptor, HeaderThenBodyOfTheReportedLength) {
    const Bytes ab = stringDescriptor({'A', 'B'});
    const auto read = readString({{0, ab}, {0, ab}});
    EXPECT_EQ(read.status, kIOReturnSuccess);
    EXPECT_EQ(read.text, "AB");
    EXPECT_EQ(read.requests, (std::vector<Request>{stringRequest(2), stringRequest(6)}));

    // A refused header is retried as a probe for the whole buffer, whose
    // short reply is expected; an overrun header is good enough as it is.
    const auto probed = readString({{kIOUSBPipeStalled, {}}, {kIOReturnUnderrun, ab}, {0, ab}});
    EXPECT_EQ(probed.status, kIOReturnSuccess);
    EXPECT_EQ(probed.text, "AB");
    EXPECT_EQ(probed.requests,
              (std::vector<Request>{stringRequest(2), stringRequest(256), stringRequest(6)}));
    EXPECT_EQ(readString({{kIOReturnOverrun, ab}, {0, ab}}).text, "AB");

    // An odd length is asked for as it stands; its last byte is no unit.
    const Bytes odd{7, 3, 'A', 0, 'B', 0, 'C'};
    const auto oddRead = readString({{0, odd}, {0, odd}});
    EXPECT_EQ(oddRead.text, "AB");
    EXPECT_EQ(oddRead.requests.back(), stringRequest(7));
}

TEST(StringDescriptor, FailuresAreReportedAndStopTheExchange) {
    const auto bothFail = readString({{kIOUSBPipeStalled, {}}, {kIOReturnNotResponding, {}}});
    EXPECT_EQ(bothFail.status, kIOReturnNotResponding);
    EXPECT_EQ(bothFail.requests.size(), 2u);

    const auto wrongType = readString({{0, {6, 2}}});
    EXPECT_EQ(wrongType.status, kIOReturnDeviceError);
    EXPECT_EQ(wrongType.requests.size(), 1u);
    EXPECT_EQ(wrongType.text, "");

    EXPECT_EQ(readString({{0, {6, 3}}, {0, {6, 2, 'A', 0, 'B', 0}}}).status, kIOReturnDeviceError);
    EXPECT_EQ(readString({{0, {6, 3}}, {kIOReturnNoDevice, {}}}).status, kIOReturnNoDevice);

    const auto empty = readString({{0, {0, 0}}});
    EXPECT_EQ(empty.status, kIOReturnSuccess);
    EXPECT_EQ(empty.requests.size(), 1u);
}

TEST(StringDescriptor, TheTextAlwaysFitsWithItsZeroByte) {
    test::ScriptedDevice device;
    std::uint8_t five[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(KxUsbCommunicater::getStringDescriptor(&device, 5, five, 5, 0), kIOReturnBadArgument);
    EXPECT_EQ(Bytes(five, five + 5), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_TRUE(device.requests.empty());

    const Bytes letters = stringDescriptor({'A', 'B', 'C', 'D', 'E', 'F', 'G'});
    EXPECT_EQ(readString({{0, letters}, {0, letters}}, 6).text, "ABCDE");
    const Bytes euro = stringDescriptor({'A', 'B', 'C', 0x20AC});
    EXPECT_EQ(readString({{0, euro}, {0, euro}}, 6).text, "ABC");

    // A body longer than its header said: only the bytes asked for count.
    EXPECT_EQ(readString({{0, {4, 3}}, {0, {20, 3, 'A', 0, 'B', 0, 'C', 0}}}).text, "A");
}

TEST(StringDescriptor, UnitsBecomeUTF8UpToAZeroUnit) {
    const Bytes d = stringDescriptor({0x41, 0xE9, 0x20AC, 0, 'Z'});
    EXPECT_EQ(readString({{0, d}, {0, d}}).text, "A\xC3\xA9\xE2\x82\xAC");

    std::uint8_t out[3] = {};
    EXPECT_EQ(KxUsbCommunicater::utf16UnitToUTF8(0, out), 0);
    EXPECT_EQ(KxUsbCommunicater::utf16UnitToUTF8(0x7FF, out), 2);
    EXPECT_EQ(Bytes(out, out + 2), (Bytes{0xDF, 0xBF}));
    // Surrogate halves are not paired.
    EXPECT_EQ(KxUsbCommunicater::utf16UnitToUTF8(0xD83D, out), 3);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{0xED, 0xA0, 0xBD}));
}

TEST(DeviceURI, SerialOrLocationFormWithNamesAsTheyAre) {
    const std::string a = "A", b = "B", s = "S", empty, odd = "Laser Jet/2?x";
    EXPECT_EQ(KxUsbCommunicater::createDeviceURI(&a, &b, &s, 0xfa), "usb://A/B?serial=S");
    EXPECT_EQ(KxUsbCommunicater::createDeviceURI(&a, &b, &empty, 0), "usb://A/B?serial=");
    EXPECT_EQ(KxUsbCommunicater::createDeviceURI(&a, &b, nullptr, 0xfa), "usb://A/B?location=fa");
    EXPECT_EQ(KxUsbCommunicater::createDeviceURI(nullptr, nullptr, nullptr, 0x01100000),
              "usb://Unknown/Unknown?location=1100000");
    EXPECT_EQ(KxUsbCommunicater::createDeviceURI(&a, &b, nullptr, 0), std::nullopt);
    EXPECT_EQ(KxUsbCommunicater::createDeviceURI(&a, &odd, &s, 0), "usb://A/Laser Jet/2?x?serial=S");
    EXPECT_FALSE(KxUsbCommunicater::dictionaryWithString(nullptr, ";", ":"));
}

}  // namespace
}  // namespace zelvik
