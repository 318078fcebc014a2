// SPDX-License-Identifier: Apache-2.0
// The virtual printer's behaviour: descriptors, the control requests a
// printer answers, the bulk OUT side (throughput limit, capture, faults, PJL
// commands) and the bulk IN side (queued answers).
#include "usb/sim/VirtualPrinter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "usb/UsbRequests.h"

namespace zelvik::sim {

namespace {

constexpr std::uint8_t kSerialStringIndex = 3;
// A PJL command line is short; a longer "line" is print data, not a command.
constexpr std::size_t kLongestPJLLine = 4096;

const std::string kUniversalExit = "\x1b%-12345X";

bool isIn(EndpointKind kind) { return kind == EndpointKind::BulkIn || kind == EndpointKind::InterruptIn; }

bool isBulk(EndpointKind kind) { return kind == EndpointKind::BulkIn || kind == EndpointKind::BulkOut; }

void putLE16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::uint32_t copyOut(const Bytes& bytes, std::uint16_t wLength, std::uint8_t* data) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), wLength);
    if (n > 0 && data != nullptr) std::memcpy(data, bytes.data(), n);
    return data == nullptr ? 0 : static_cast<std::uint32_t>(n);
}

// UTF-8 to UTF-16 code units. Three-byte forms of surrogate halves are kept
// as the units they encode, so a bus file can describe a serial number with
// a lone surrogate; any other byte that starts no valid sequence becomes
// U+FFFD.
std::vector<std::uint16_t> utf16Units(const std::string& text) {
    std::vector<std::uint16_t> units;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    auto continuation = [&](std::size_t at) { return at < n && (s[at] & 0xC0) == 0x80; };
    while (i < n) {
        const unsigned char c = s[i];
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if (c >= 0xC2 && c < 0xE0 && continuation(i + 1)) {
            cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
            len = 2;
        } else if (c >= 0xE0 && c < 0xF0 && continuation(i + 1) && continuation(i + 2)) {
            cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
            len = 3;
            if (cp < 0x800) {
                cp = 0xFFFD;
                len = 1;
            }
        } else if (c >= 0xF0 && c < 0xF5 && continuation(i + 1) && continuation(i + 2) && continuation(i + 3)) {
            cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
            len = 4;
            if (cp < 0x10000 || cp > 0x10FFFF) {
                cp = 0xFFFD;
                len = 1;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(cp));
        }
        i += len;
    }
    return units;
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        std::size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t') ++j;
        if (j > i) out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

// The MDL value of a device ID text, read as a printer link reads it: pairs
// split at ";", key and value at ":", a value ending at its next ":", the
// last pair of a key winning.
std::string modelOf(const std::optional<std::string>& deviceID) {
    std::string model;
    if (!deviceID) return model;
    std::size_t start = 0;
    const std::string& text = *deviceID;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        const std::string piece = text.substr(start, end - start);
        const std::size_t colon = piece.find(':');
        if (colon != std::string::npos && piece.compare(0, colon, "MDL") == 0) {
            const std::size_t next = piece.find(':', colon + 1);
            model = piece.substr(colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
        }
        start = end + 1;
    }
    return model;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

std::vector<EndpointConfig> defaultEndpoints() {
    return {{EndpointKind::BulkOut, 512}, {EndpointKind::BulkIn, 512}, {EndpointKind::InterruptIn, 64}};
}

VirtualPrinter::VirtualPrinter(VirtualPrinterConfig config, Clock::time_point start)
    : mConfig(std::move(config)), mAlternateSetting(mConfig.alternateSetting), mCreditAt(start) {
    if (!mConfig.pendingAnswer.empty()) {
        mAnswers.push_back({Clock::time_point::min(), mConfig.pendingAnswer});
    }
    if (mConfig.captureFile && !mConfig.captureFile->empty()) {
        // Opened now, so that a printer that receives nothing still leaves
        // an (empty) capture behind; unbuffered, so that the capture can be
        // read while the transfer runs.
        // Non-blocking, so that a FIFO nobody reads fails here instead of
        // hanging; the writes then block as usual.
        mCaptureFd = ::open(mConfig.captureFile->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
        if (mCaptureFd >= 0) {
            const int flags = ::fcntl(mCaptureFd, F_GETFL);
            if (flags < 0 || ::fcntl(mCaptureFd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
                ::close(mCaptureFd);
                mCaptureFd = -1;
            }
        }
    }
}

VirtualPrinter::~VirtualPrinter() {
    if (mCaptureFd >= 0) ::close(mCaptureFd);
}

// --- Identity and descriptors --------------------------------------------------

std::uint16_t VirtualPrinter::vendorID() const { return mConfig.vendorID.value_or(servedVendorID()); }

std::uint8_t VirtualPrinter::serialNumberStringIndex() const {
    return (mConfig.serialDescriptor || mConfig.serialNumber) ? kSerialStringIndex : 0;
}

Bytes VirtualPrinter::deviceDescriptor() const {
    Bytes d;
    d.push_back(18);
    d.push_back(kDescriptorDevice);
    putLE16(d, 0x0200);  // USB 2.0
    d.push_back(0);      // class, subclass, protocol: per interface
    d.push_back(0);
    d.push_back(0);
    d.push_back(64);  // max packet size of the default pipe
    putLE16(d, vendorID());
    putLE16(d, mConfig.productID);
    putLE16(d, 0x0100);  // device release
    d.push_back(0);      // no manufacturer string
    d.push_back(0);      // no product string
    d.push_back(serialNumberStringIndex());
    d.push_back(1);  // one configuration
    return d;
}

std::uint8_t VirtualPrinter::alternateSettingCount() const {
    const unsigned highest = std::max<unsigned>(mConfig.alternateSetting, mConfig.alternateEndpoints ? 1u : 0u);
    return static_cast<std::uint8_t>(std::min(highest + 1, 255u));
}

std::uint8_t VirtualPrinter::interfaceCount() const {
    return static_cast<std::uint8_t>(1 + std::min(mConfig.otherInterfaces.size(), kMostOtherInterfaces));
}

const std::vector<EndpointConfig>& VirtualPrinter::endpointsOf(std::uint8_t alternateSetting) const {
    static const std::vector<EndpointConfig> kNone;
    if (alternateSetting >= alternateSettingCount()) return kNone;
    if (alternateSetting == 1 && mConfig.alternateEndpoints) return *mConfig.alternateEndpoints;
    return mConfig.endpoints;
}

Bytes VirtualPrinter::configurationDescriptor() const {
    Bytes d = {
        9, kDescriptorConfiguration, 0, 0, interfaceCount(), 1 /* value */, 0 /* no string */, 0xC0 /* self-powered */,
        1 /* 2 mA */};
    for (unsigned alt = 0; alt < alternateSettingCount(); ++alt) {
        const auto& endpoints = endpointsOf(static_cast<std::uint8_t>(alt));
        d.insert(d.end(), {9, kDescriptorInterface, 0, static_cast<std::uint8_t>(alt),
                           static_cast<std::uint8_t>(endpoints.size()), 7 /* printer */, 1 /* printers */,
                           2 /* bidirectional */, 0});
        for (std::size_t i = 0; i < endpoints.size(); ++i) {
            const EndpointConfig& ep = endpoints[i];
            const auto number = static_cast<std::uint8_t>(i + 1);
            d.push_back(7);
            d.push_back(kDescriptorEndpoint);
            d.push_back(static_cast<std::uint8_t>(number | (isIn(ep.kind) ? 0x80 : 0)));
            d.push_back(isBulk(ep.kind) ? 2 : 3);
            putLE16(d, ep.maxPacketSize);
            d.push_back(isBulk(ep.kind) ? 0 : 4);
        }
    }
    for (std::size_t i = 0; i + 1 < interfaceCount(); ++i) {
        const auto number = static_cast<std::uint8_t>(i + 1);
        std::uint8_t interfaceClass = 0xFF, subClass = 0, protocol = 0;
        switch (mConfig.otherInterfaces[i]) {
            case OtherInterface::MassStorage: interfaceClass = 8, subClass = 6, protocol = 0x50; break;
            case OtherInterface::Printer: interfaceClass = 7, subClass = 1, protocol = 2; break;
            case OtherInterface::Vendor: break;
        }
        d.insert(d.end(), {9, kDescriptorInterface, number, 0, 2, interfaceClass, subClass, protocol, 0});
        const std::uint8_t endpoint = otherInterfaceEndpointNumber(number);
        for (const std::uint8_t address : {endpoint, static_cast<std::uint8_t>(endpoint | 0x80)}) {
            d.insert(d.end(), {7, kDescriptorEndpoint, address, 2});
            putLE16(d, 512);
            d.push_back(0);
        }
    }
    const auto total = static_cast<std::uint16_t>(std::min<std::size_t>(d.size(), 0xFFFF));
    d[2] = static_cast<std::uint8_t>(total & 0xFF);
    d[3] = static_cast<std::uint8_t>(total >> 8);
    return d;
}

std::uint8_t VirtualPrinter::endpointAddress(std::uint8_t pipeRef) const {
    const auto& endpoints = endpointsOf(mAlternateSetting);
    if (pipeRef == 0 || pipeRef > endpoints.size() || pipeRef > 15) return 0;
    return static_cast<std::uint8_t>(pipeRef | (isIn(endpoints[pipeRef - 1].kind) ? 0x80 : 0));
}

std::uint8_t VirtualPrinter::bulkOutAddress() const {
    const auto& endpoints = endpointsOf(mAlternateSetting);
    for (std::size_t i = 0; i < endpoints.size() && i < 15; ++i) {
        if (endpoints[i].kind == EndpointKind::BulkOut) return static_cast<std::uint8_t>(i + 1);
    }
    return 0x01;
}

std::uint8_t VirtualPrinter::bulkInAddress() const {
    const auto& endpoints = endpointsOf(mAlternateSetting);
    for (std::size_t i = 0; i < endpoints.size() && i < 15; ++i) {
        if (endpoints[i].kind == EndpointKind::BulkIn) return static_cast<std::uint8_t>((i + 1) | 0x80);
    }
    return 0x81;
}

// --- The default pipe ------------------------------------------------------------

VirtualPrinter::ControlResult VirtualPrinter::control(std::uint8_t bmRequestType, std::uint8_t bRequest,
                                                      std::uint16_t wValue, std::uint16_t wIndex, std::uint16_t wLength,
                                                      std::uint8_t* data, Clock::time_point) {
    mControlLog.push_back({bmRequestType, bRequest, wValue, wIndex, wLength});
    const ControlResult stall{true, 0};
    if (mDisconnected) return stall;

    // Printer class: GET_DEVICE_ID.
    if (bmRequestType == 0xA1 && bRequest == kPrinterGetDeviceID) {
        if (!mConfig.deviceID) return stall;
        const std::string& text = *mConfig.deviceID;
        const std::uint16_t length =
            mConfig.deviceIDLength.value_or(static_cast<std::uint16_t>(std::min<std::size_t>(text.size() + 2, 0xFFFF)));
        Bytes reply = {static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)};
        reply.insert(reply.end(), text.begin(), text.end());
        return {false, copyOut(reply, wLength, data)};
    }

    if (bmRequestType == 0x80 && bRequest == kGetDescriptor) {
        const auto type = static_cast<std::uint8_t>(wValue >> 8);
        const auto index = static_cast<std::uint8_t>(wValue & 0xFF);
        Bytes reply;
        if (type == kDescriptorDevice && index == 0) {
            reply = deviceDescriptor();
        } else if (type == kDescriptorConfiguration && index == 0) {
            reply = configurationDescriptor();
        } else if (type == kDescriptorString && index == 0) {
            reply = {4, kDescriptorString, 0x09, 0x04};  // US English only
        } else if (type == kDescriptorString && index == serialNumberStringIndex()) {
            if (mConfig.serialDescriptor) {
                reply = *mConfig.serialDescriptor;
            } else {
                std::vector<std::uint16_t> units = utf16Units(*mConfig.serialNumber);
                if (units.size() > 126) units.resize(126);  // bLength is one byte
                reply.push_back(static_cast<std::uint8_t>(2 + 2 * units.size()));
                reply.push_back(kDescriptorString);
                for (std::uint16_t unit : units) putLE16(reply, unit);
            }
        } else {
            return stall;
        }
        return {false, copyOut(reply, wLength, data)};
    }

    if (bmRequestType == 0x81 && bRequest == kGetInterface) {
        if (mConfig.stallGetInterface || wIndex != 0) return stall;
        const Bytes reply = {mAlternateSetting};
        return {false, copyOut(reply, wLength, data)};
    }

    if (bmRequestType == 0x01 && bRequest == kSetInterface) {
        if (mConfig.refuseSetInterface || wIndex != 0 || wValue >= alternateSettingCount()) {
            return stall;
        }
        mAlternateSetting = static_cast<std::uint8_t>(wValue);
        return {false, 0};
    }

    if (bmRequestType == 0x02 && bRequest == kClearFeature && wValue == kEndpointHalt) {
        const auto address = static_cast<std::uint8_t>(wIndex & 0xFF);
        if ((wIndex >> 8) != 0) return stall;
        if (address == 0) return {false, 0};
        bool known = false;
        for (std::uint8_t p = 1; p <= endpointsOf(mAlternateSetting).size() && p <= 15; ++p) {
            known = known || endpointAddress(p) == address;
        }
        if (!known) return stall;
        clearHalt(address);
        return {false, 0};
    }

    return stall;
}

bool VirtualPrinter::isHalted(std::uint8_t endpointAddress) const {
    return std::find(mHalted.begin(), mHalted.end(), endpointAddress) != mHalted.end();
}

void VirtualPrinter::clearHalt(std::uint8_t endpointAddress) {
    mHalted.erase(std::remove(mHalted.begin(), mHalted.end(), endpointAddress), mHalted.end());
}

void VirtualPrinter::haltEndpoint(std::uint8_t endpointAddress) {
    if (!isHalted(endpointAddress)) mHalted.push_back(endpointAddress);
}

// --- Bulk OUT ----------------------------------------------------------------------

VirtualPrinter::WriteResult VirtualPrinter::writeBulk(std::span<const std::uint8_t> rest, Clock::time_point now) {
    WriteResult result;
    result.retryAt = Clock::time_point::max();
    if (mDisconnected) return result;

    const std::uint8_t address = bulkOutAddress();
    if (isHalted(address)) {
        result.stalled = true;
        return result;
    }
    // Past the fault limit every further packet, a zero-length one too, is
    // refused with a halt.
    if (mConfig.failWriteAfterBytes && mBytesReceived >= *mConfig.failWriteAfterBytes) {
        haltEndpoint(address);
        result.stalled = true;
        return result;
    }
    if (rest.empty()) {
        result.complete = true;
        if (mConfig.answer) {
            queueAnswer(*mConfig.answer, now + std::chrono::milliseconds(mConfig.answerDelayMs));
        }
        return result;
    }

    std::uint64_t allowed = rest.size();
    if (mConfig.acceptBytesPerSecond) {
        const double rate = static_cast<double>(*mConfig.acceptBytesPerSecond);
        // A bucket of a tenth of a second's worth: long transfers take real
        // time, and the transport wakes about ten times a second.
        const double bucket = std::max(1.0, rate / 10.0);
        if (now > mCreditAt) {
            const double seconds = std::chrono::duration<double>(now - mCreditAt).count();
            mOutCredit = std::min(bucket, mOutCredit + seconds * rate);
            mCreditAt = now;
        }
        const auto credit = static_cast<std::uint64_t>(std::floor(mOutCredit + 1e-6));
        allowed = std::min<std::uint64_t>(allowed, credit);
        if (allowed < rest.size() && rate > 0) {
            const double need = std::min(bucket, static_cast<double>(rest.size() - allowed)) -
                                (mOutCredit - static_cast<double>(allowed));
            const auto wait =
                std::chrono::ceil<std::chrono::nanoseconds>(std::chrono::duration<double>(std::max(0.0, need) / rate));
            result.retryAt = now + wait;
        }
    }
    if (mConfig.failWriteAfterBytes) {
        allowed = std::min(allowed, *mConfig.failWriteAfterBytes - mBytesReceived);
    }
    if (mConfig.disconnectAfterBytes) {
        allowed = std::min(allowed, *mConfig.disconnectAfterBytes > mBytesReceived
                                        ? *mConfig.disconnectAfterBytes - mBytesReceived
                                        : 0);
    }
    if (mConfig.stopTakingAfterBytes) {
        // Nothing past the stop is ever taken, so no retry can help.
        const std::uint64_t stop = *mConfig.stopTakingAfterBytes;
        const std::uint64_t left = stop > mBytesReceived ? stop - mBytesReceived : 0;
        if (left < rest.size() && left <= allowed) result.retryAt = Clock::time_point::max();
        allowed = std::min(allowed, left);
    }

    std::size_t taken = static_cast<std::size_t>(allowed);
    // Bytes that cannot be recorded are not taken: a test that relies on
    // the capture must not pass on a job the capture lacks.
    const std::size_t captured = capture(rest.first(taken));
    const bool captureFailed = captured < taken;
    taken = captured;
    if (mConfig.acceptBytesPerSecond) mOutCredit -= static_cast<double>(taken);
    receive(rest.first(taken), now);
    result.accepted = taken;
    if (taken > 0 && mConfig.onReceived) mConfig.onReceived(mBytesReceived);
    if (captureFailed) {
        haltEndpoint(address);
        result.stalled = true;
        result.retryAt = Clock::time_point::max();
        return result;
    }

    if (mConfig.disconnectAfterBytes && mBytesReceived >= *mConfig.disconnectAfterBytes) {
        mDisconnected = true;
        mAnswers.clear();
        result.retryAt = Clock::time_point::max();
        result.complete = taken == rest.size();
        return result;
    }
    if (mConfig.failWriteAfterBytes && mBytesReceived >= *mConfig.failWriteAfterBytes) {
        haltEndpoint(address);
        if (taken < rest.size()) {
            result.stalled = true;
            return result;
        }
    }
    if (taken == rest.size()) {
        result.complete = true;
        result.retryAt = Clock::time_point{};
        if (mConfig.answer) {
            queueAnswer(*mConfig.answer, now + std::chrono::milliseconds(mConfig.answerDelayMs));
        }
    }
    return result;
}

std::size_t VirtualPrinter::capture(std::span<const std::uint8_t> bytes) {
    if (!mConfig.captureFile || mConfig.captureFile->empty()) return bytes.size();
    if (mCaptureFd < 0) return 0;
    const std::uint8_t* p = bytes.data();
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(mCaptureFd, p + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    return written;
}

void VirtualPrinter::receive(std::span<const std::uint8_t> bytes, Clock::time_point now) {
    if (bytes.empty()) return;
    mBytesReceived += bytes.size();
    if (mConfig.answer) return;  // a fixed answer replaces the PJL answers
    for (std::uint8_t byte : bytes) {
        if (byte == '\n') {
            if (!mLineTooLong) {
                if (!mLine.empty() && mLine.back() == '\r') mLine.pop_back();
                answerLine(mLine, now);
            }
            mLine.clear();
            mLineTooLong = false;
        } else if (!mLineTooLong) {
            mLine.push_back(static_cast<char>(byte));
            if (mLine.size() > kLongestPJLLine) {
                mLine.clear();
                mLineTooLong = true;
            }
        }
    }
}

void VirtualPrinter::answerLine(const std::string& received, Clock::time_point now) {
    std::string line = received;
    if (line.compare(0, kUniversalExit.size(), kUniversalExit) == 0) {
        line.erase(0, kUniversalExit.size());
    }
    if (line.compare(0, 5, "@PJL ") != 0) return;
    const std::string command = line.substr(5);
    const std::vector<std::string> parts = words(command);
    if (parts.empty()) return;
    const auto readyAt = now + std::chrono::milliseconds(mConfig.answerDelayMs);

    if (upper(parts[0]) == "ECHO") {
        // The echoed words exactly as sent.
        const std::size_t at = command.find_first_not_of(" \t");
        queueAnswer(bytesOf("@PJL ECHO" + command.substr(at + 4) + "\r\n\f"), readyAt);
        return;
    }
    if (parts.size() != 2 || upper(parts[0]) != "INFO") return;
    const std::string category = upper(parts[1]);
    if (category == "ID") {
        queueAnswer(bytesOf("@PJL INFO ID\r\n\"" + modelOf(mConfig.deviceID) + "\"\r\n\f"), readyAt);
    } else if (category == "STATUS") {
        queueAnswer(bytesOf("@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY=\"Ready\"\r\n"
                            "ONLINE=TRUE\r\n\f"),
                    readyAt);
    } else if (category == "PAGECOUNT") {
        queueAnswer(bytesOf("@PJL INFO PAGECOUNT\r\n" + std::to_string(mConfig.pageCount) + "\r\n\f"), readyAt);
    }
}

void VirtualPrinter::queueAnswer(Bytes bytes, Clock::time_point readyAt) {
    if (bytes.empty()) return;
    // Answers leave in the order they were caused.
    if (!mAnswers.empty()) readyAt = std::max(readyAt, mAnswers.back().readyAt);
    mAnswers.push_back({readyAt, std::move(bytes)});
}

// --- Bulk IN -----------------------------------------------------------------------

VirtualPrinter::ReadResult VirtualPrinter::readBulk(std::size_t max, Clock::time_point now) {
    ReadResult result;
    if (mDisconnected) return result;
    const unsigned transfer = mReadsEnded + 1;
    if (mConfig.disconnectAtRead == transfer) {
        mDisconnected = true;
        mAnswers.clear();
        result.readyAt = now;  // looked at again at once, the device is gone
        return result;
    }
    if (mConfig.stallReadAt == transfer) haltEndpoint(bulkInAddress());
    if (isHalted(bulkInAddress())) {
        ++mReadsEnded;
        result.kind = ReadKind::Stalled;
        return result;
    }
    // Everything readable now goes out in one transfer, up to the count
    // asked for; the rest stays queued.
    while (!mAnswers.empty() && mAnswers.front().readyAt <= now && result.bytes.size() < max) {
        Pending& front = mAnswers.front();
        const std::size_t n = std::min(front.bytes.size(), max - result.bytes.size());
        result.bytes.insert(result.bytes.end(), front.bytes.begin(),
                            front.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        if (front.bytes.empty()) mAnswers.pop_front();
    }
    if (!result.bytes.empty()) {
        ++mReadsEnded;
        result.kind = ReadKind::Data;
        result.readyAt = now;
        return result;
    }
    if (max == 0 || mConfig.idleIn == IdleIn::Zlp) {
        ++mReadsEnded;
        result.kind = ReadKind::ZeroLength;
        result.readyAt = now;
        return result;
    }
    result.kind = ReadKind::Nothing;
    result.readyAt = mAnswers.empty() ? Clock::time_point::max() : mAnswers.front().readyAt;
    return result;
}

std::size_t VirtualPrinter::queuedAnswerBytes() const {
    std::size_t total = 0;
    for (const Pending& p : mAnswers) total += p.bytes.size();
    return total;
}

}  // namespace zelvik::sim
