// SPDX-License-Identifier: Apache-2.0
// The serial-number string read request by request from a scripted device,
// and its UTF-8 form.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "base/Bytes.h"
#include "usb/KxUsbCommunicater.h"

namespace zelvik {
namespace {

struct Request {
    std::uint8_t bmRequestType, bRequest;
    std::uint16_t wValue, wIndex, wLength;
    bool operator==(const Request&) const = default;
};

struct Reply {
    IOReturn status = kIOReturnSuccess;
    Bytes data;  // the data stage, cut to wLength
};

// A device whose default pipe answers from a script and records what it is
// asked; once the script is used up, requests stall.
class ScriptedDevice : public UsbDevice {
public:
    std::deque<Reply> script;
    std::vector<Request> requests;

    IOReturn DeviceRequest(zelvik::DeviceRequest& r) override {
        requests.push_back({r.bmRequestType, r.bRequest, r.wValue, r.wIndex, r.wLength});
        r.wLenDone = 0;
        if (script.empty()) return kIOUSBPipeStalled;
        const Reply reply = script.front();
        script.pop_front();
        r.wLenDone = static_cast<std::uint32_t>(std::min<std::size_t>(reply.data.size(), r.wLength));
        if (r.wLenDone) std::memcpy(r.pData, reply.data.data(), r.wLenDone);
        return reply.status;
    }
    IOReturn USBDeviceOpen() override { return kIOReturnSuccess; }
    IOReturn USBDeviceClose() override { return kIOReturnSuccess; }
    IOReturn GetDeviceVendor(std::uint16_t*) override { return kIOReturnUnsupported; }
    IOReturn GetDeviceProduct(std::uint16_t*) override { return kIOReturnUnsupported; }
    IOReturn GetLocationID(std::uint32_t*) override { return kIOReturnUnsupported; }
    IOReturn USBGetSerialNumberStringIndex(std::uint8_t*) override { return kIOReturnUnsupported; }
    IOReturn CreateInterfaceIterator(std::vector<UsbServiceRef>*) override { return kIOReturnUnsupported; }
};

struct StringCase {
    const char* what;
    std::deque<Reply> script;
    IOReturn status;
    std::string text;
    std::vector<std::uint16_t> asked;  // wLength of each request, in order
    std::int32_t size = 256;
};

TEST(StringDescriptor, RequestsAndTextForEveryKindOfReply) {
    const Bytes ab = {6, 3, 'A', 0, 'B', 0};
    const Bytes letters = {16, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0, 'F', 0, 'G', 0};
    const Bytes euro = {10, 3, 'A', 0, 'B', 0, 'C', 0, 0xAC, 0x20};
    const Bytes units = {12, 3, 0x41, 0, 0xE9, 0, 0xAC, 0x20, 0, 0, 'Z', 0};  // A, é, €, zero, Z
    const StringCase cases[] = {
        {"header, then body of the reported length", {{0, ab}, {0, ab}}, kIOReturnSuccess, "AB", {2, 6}},
        {"refused header: probe for the whole buffer, short reply expected",
         {{kIOUSBPipeStalled, {}}, {kIOReturnUnderrun, ab}, {0, ab}},
         kIOReturnSuccess,
         "AB",
         {2, 256, 6}},
        {"overrun header is good enough", {{kIOReturnOverrun, ab}, {0, ab}}, kIOReturnSuccess, "AB", {2, 6}},
        {"odd length asked as it stands; last byte is no unit",
         {{0, {7, 3, 'A', 0, 'B', 0, 'C'}}, {0, {7, 3, 'A', 0, 'B', 0, 'C'}}},
         kIOReturnSuccess,
         "AB",
         {2, 7}},
        {"header and probe fail",
         {{kIOUSBPipeStalled, {}}, {kIOReturnNotResponding, {}}},
         kIOReturnNotResponding,
         "",
         {2, 256}},
        {"header of the wrong type", {{0, {6, 2}}}, kIOReturnDeviceError, "", {2}},
        {"body of the wrong type", {{0, {6, 3}}, {0, {6, 2, 'A', 0, 'B', 0}}}, kIOReturnDeviceError, "", {2, 6}},
        {"body fails", {{0, {6, 3}}, {kIOReturnNoDevice, {}}}, kIOReturnNoDevice, "", {2, 6}},
        {"zero length: empty text", {{0, {0, 0}}}, kIOReturnSuccess, "", {2}},
        {"body claiming more than its header: the probe's bytes past it are no text",
         {{kIOUSBPipeStalled, {}}, {kIOReturnUnderrun, {4, 3, 'A', 0, 'B', 0, 'C', 0}}, {0, {20, 3, 'A', 0}}},
         kIOReturnSuccess,
         "A",
         {2, 256, 4}},
        {"units become UTF-8 up to a zero unit",
         {{0, units}, {0, units}},
         kIOReturnSuccess,
         "A\xC3\xA9\xE2\x82\xAC",
         {2, 12}},
        {"6-byte buffer keeps room for the zero byte",
         {{0, letters}, {0, letters}},
         kIOReturnSuccess,
         "ABCDE",
         {2, 16},
         6},
        {"a character that does not fit whole is left out",
         {{0, euro}, {0, euro}},
         kIOReturnSuccess,
         "ABC",
         {2, 10},
         6},
        {"5-byte buffer: refused, untouched, nothing asked", {}, kIOReturnBadArgument, "\xAA\xAA\xAA\xAA\xAA", {}, 5},
    };
    for (const StringCase& c : cases) {
        ScriptedDevice device;
        device.script = c.script;
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(c.size) + 1, 0xAA);
        buffer.back() = 0;
        EXPECT_EQ(KxUsbCommunicater::getStringDescriptor(&device, 5, buffer.data(), c.size, 0x0409), c.status)
            << c.what;
        EXPECT_EQ(reinterpret_cast<const char*>(buffer.data()), c.text) << c.what;
        std::vector<Request> expected;  // GET_DESCRIPTOR(string 5, US English)
        for (std::uint16_t wLength : c.asked) expected.push_back({0x80, 6, 0x0305, 0x0409, wLength});
        EXPECT_EQ(device.requests, expected) << c.what;
    }
}

}  // namespace
}  // namespace zelvik
