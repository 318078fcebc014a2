// SPDX-License-Identifier: Apache-2.0
// The virtual printer's behaviour: descriptors, the control requests a
// printer answers, the bulk OUT side (throughput limit, capture, faults, PJL
// commands) and the bulk IN side (queued answers, status blocks of its own).
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

constexpr std::uint8_t kManufacturerStringIndex = 1;
constexpr std::uint8_t kProductStringIndex = 2;
constexpr std::uint8_t kSerialStringIndex = 3;
// Answers nobody reads pile up no further: a printer's buffer is finite.
constexpr std::size_t kMostQueuedAnswerBytes = std::size_t{1} << 20;

void putLE16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::uint32_t copyOut(const Bytes& bytes, std::uint16_t wLength, std::uint8_t* data) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), wLength);
    if (n > 0 && data != nullptr) std::memcpy(data, bytes.data(), n);
    return data == nullptr ? 0 : static_cast<std::uint32_t>(n);
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i])) ++i;
        std::size_t j = i;
        while (j < text.size() && !isBlank(text[j])) ++j;
        if (j > i) out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

VirtualPrinter::VirtualPrinter(VirtualPrinterConfig config, Clock::time_point start)
    : mConfig(std::move(config)), mCreditAt(start) {
    for (const InterfaceDescription& s : mConfig.interfaces) mSettings.emplace(s.number, 0);
    if (mSettings.count(0) != 0) mSettings[0] = mConfig.alternateSetting;
    for (const Reply& reply : mConfig.replies) mReplyKeys.push_back(requestKey(reply.to));
    for (const UnsolicitedStatus& status : mConfig.unsolicitedStatus) {
        Bytes block = status.block.empty() ? deviceStatusBlock() : status.block;
        if (status.everySeconds) {
            const auto every = std::chrono::seconds(std::max<std::uint32_t>(1, *status.everySeconds));
            mPeriodic.push_back({std::move(block), every, start + every, false});
        } else {
            mBeforeNextAnswer.push_back(std::move(block));
        }
    }
    if (!mConfig.pendingAnswer.empty()) queueAnswer(mConfig.pendingAnswer, Clock::time_point::min());
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
    putLE16(d, mConfig.usbVersion);
    d.push_back(mConfig.deviceClass);
    d.push_back(0);  // subclass, protocol
    d.push_back(0);
    d.push_back(mConfig.maxPacketSize0);
    putLE16(d, vendorID());
    putLE16(d, mConfig.productID);
    putLE16(d, 0x0100);  // device release
    d.push_back((mConfig.manufacturer || mConfig.manufacturerDescriptor) ? kManufacturerStringIndex : 0);
    d.push_back((mConfig.product || mConfig.productDescriptor) ? kProductStringIndex : 0);
    d.push_back(serialNumberStringIndex());
    d.push_back(1);  // one configuration
    return d;
}

std::vector<std::uint8_t> VirtualPrinter::interfaceNumbers() const {
    std::vector<std::uint8_t> numbers;
    for (const InterfaceDescription& s : mConfig.interfaces) {
        if (std::find(numbers.begin(), numbers.end(), s.number) == numbers.end()) numbers.push_back(s.number);
    }
    return numbers;
}

std::uint8_t VirtualPrinter::alternateSettingCount(std::uint8_t interfaceNumber) const {
    const auto count = std::count_if(mConfig.interfaces.begin(), mConfig.interfaces.end(),
                                     [&](const InterfaceDescription& s) { return s.number == interfaceNumber; });
    return static_cast<std::uint8_t>(std::min<std::ptrdiff_t>(count, 255));
}

std::uint8_t VirtualPrinter::currentAlternateSetting(std::uint8_t interfaceNumber) const {
    const auto it = mSettings.find(interfaceNumber);
    return it == mSettings.end() ? 0 : it->second;
}

const InterfaceDescription* VirtualPrinter::setting(std::uint8_t interfaceNumber, std::uint8_t alternateSetting) const {
    for (const InterfaceDescription& s : mConfig.interfaces) {
        if (s.number == interfaceNumber && s.alternateSetting == alternateSetting) return &s;
    }
    return nullptr;
}

const std::vector<EndpointDescription>& VirtualPrinter::currentEndpoints(std::uint8_t interfaceNumber) const {
    static const std::vector<EndpointDescription> kNone;
    const InterfaceDescription* s = setting(interfaceNumber, currentAlternateSetting(interfaceNumber));
    return s == nullptr ? kNone : s->endpoints;
}

std::uint8_t VirtualPrinter::endpointAddress(std::uint8_t pipeRef) const {
    const auto& endpoints = currentEndpoints(0);
    if (pipeRef == 0 || pipeRef > endpoints.size()) return 0;
    return endpoints[pipeRef - 1].address;
}

VirtualPrinter::EndpointInForce VirtualPrinter::endpointInForce(std::uint8_t address) const {
    for (const auto& [number, alternate] : mSettings) {
        const InterfaceDescription* s = setting(number, alternate);
        if (s == nullptr) continue;
        for (const EndpointDescription& e : s->endpoints) {
            if (e.address == address) return {s, &e};
        }
    }
    return {};
}

const EndpointDescription* VirtualPrinter::endpoint(std::uint8_t address) const {
    return endpointInForce(address).endpoint;
}

Bytes VirtualPrinter::configurationDescriptor() const {
    Bytes d = {9,
               kDescriptorConfiguration,
               0,
               0,
               static_cast<std::uint8_t>(interfaceNumbers().size()),
               1 /* value */,
               0 /* no string */,
               mConfig.configurationAttributes,
               1 /* 2 mA */};
    for (const InterfaceDescription& s : mConfig.interfaces) {
        d.insert(d.end(), {9, kDescriptorInterface, s.number, s.alternateSetting,
                           static_cast<std::uint8_t>(std::min<std::size_t>(s.endpoints.size(), 255)), s.interfaceClass,
                           s.subClass, s.protocol, 0});
        for (const EndpointDescription& e : s.endpoints) {
            d.insert(d.end(), {7, kDescriptorEndpoint, e.address, static_cast<std::uint8_t>(e.type)});
            putLE16(d, e.maxPacketSize);
            d.push_back(e.interval());
        }
    }
    const auto total = static_cast<std::uint16_t>(std::min<std::size_t>(d.size(), 0xFFFF));
    d[2] = static_cast<std::uint8_t>(total & 0xFF);
    d[3] = static_cast<std::uint8_t>(total >> 8);
    return d;
}

// --- The default pipe ------------------------------------------------------------

VirtualPrinter::ControlResult VirtualPrinter::control(std::uint8_t bmRequestType, std::uint8_t bRequest,
                                                      std::uint16_t wValue, std::uint16_t wIndex, std::uint16_t wLength,
                                                      std::uint8_t* data, Clock::time_point) {
    mControlLog.push_back({bmRequestType, bRequest, wValue, wIndex, wLength});
    const ControlResult stall{true, 0};
    if (mDisconnected) return stall;

    // Printer class: GET_DEVICE_ID, whichever interface it names.
    if (bmRequestType == 0xA1 && bRequest == kPrinterGetDeviceID) {
        const std::optional<Bytes> reply = deviceIDReplyOf(mConfig);
        if (!reply) return stall;
        return {false, copyOut(*reply, wLength, data)};
    }

    if (bmRequestType == 0x80 && bRequest == kGetDescriptor) {
        const auto type = static_cast<std::uint8_t>(wValue >> 8);
        const auto index = static_cast<std::uint8_t>(wValue & 0xFF);
        std::optional<Bytes> reply;
        if (type == kDescriptorDevice && index == 0) {
            reply = deviceDescriptor();
        } else if (type == kDescriptorConfiguration && index == 0) {
            reply = configurationDescriptor();
        } else if (type == kDescriptorString && index == 0) {
            reply = Bytes{4, kDescriptorString, 0x09, 0x04};  // US English only
        } else if (type == kDescriptorString && index == kManufacturerStringIndex) {
            reply = stringDescriptorOf(mConfig.manufacturerDescriptor, mConfig.manufacturer);
        } else if (type == kDescriptorString && index == kProductStringIndex) {
            reply = stringDescriptorOf(mConfig.productDescriptor, mConfig.product);
        } else if (type == kDescriptorString && index == kSerialStringIndex) {
            reply = stringDescriptorOf(mConfig.serialDescriptor, mConfig.serialNumber);
        }
        if (!reply) return stall;
        return {false, copyOut(*reply, wLength, data)};
    }

    // GET_INTERFACE and SET_INTERFACE name an interface in wIndex.
    const auto interfaceNumber = static_cast<std::uint8_t>(wIndex & 0xFF);
    const bool knownInterface = (wIndex >> 8) == 0 && mSettings.count(interfaceNumber) != 0;
    if (bmRequestType == 0x81 && bRequest == kGetInterface) {
        if (!knownInterface || (interfaceNumber == 0 && mConfig.stallGetInterface)) return stall;
        const Bytes reply = {currentAlternateSetting(interfaceNumber)};
        return {false, copyOut(reply, wLength, data)};
    }

    if (bmRequestType == 0x01 && bRequest == kSetInterface) {
        if (!knownInterface || (interfaceNumber == 0 && mConfig.refuseSetInterface) || wValue > 0xFF ||
            setting(interfaceNumber, static_cast<std::uint8_t>(wValue)) == nullptr) {
            return stall;
        }
        mSettings[interfaceNumber] = static_cast<std::uint8_t>(wValue);
        return {false, 0};
    }

    if (bmRequestType == 0x02 && bRequest == kClearFeature && wValue == kEndpointHalt) {
        const auto address = static_cast<std::uint8_t>(wIndex & 0xFF);
        if ((wIndex >> 8) != 0) return stall;
        if (address == 0) return {false, 0};
        if (endpoint(address) == nullptr) return stall;
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

VirtualPrinter::WriteResult VirtualPrinter::writeBulk(std::uint8_t address, std::span<const std::uint8_t> rest,
                                                      Clock::time_point now) {
    WriteResult result;
    result.retryAt = Clock::time_point::max();
    if (mDisconnected) return result;

    const EndpointInForce found = endpointInForce(address);
    const EndpointDescription* ep = found.endpoint;
    if (ep == nullptr || ep->isIn() || !ep->isBulk() || isHalted(address)) {
        result.stalled = true;
        return result;
    }
    if (!found.setting->speaksPJL()) {
        // Nothing here understands the bytes: taken and ignored.
        mTraffic.ignored += rest.size();
        mTraffic.bytesOut[address] += rest.size();
        result.accepted = rest.size();
        result.complete = true;
        result.retryAt = Clock::time_point{};
        return result;
    }
    // Past the fault limit every further packet, a zero-length one too, is
    // refused with a halt.
    if (mConfig.failWriteAfterBytes && mTraffic.received >= *mConfig.failWriteAfterBytes) {
        haltEndpoint(address);
        result.stalled = true;
        return result;
    }
    if (rest.empty()) {
        result.complete = true;
        if (mConfig.answer) respond(*mConfig.answer, std::nullopt, now);
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
    const std::uint64_t received = mTraffic.received;
    if (mConfig.failWriteAfterBytes) {
        allowed = std::min(allowed, *mConfig.failWriteAfterBytes - received);
    }
    if (mConfig.disconnectAfterBytes) {
        allowed =
            std::min(allowed, *mConfig.disconnectAfterBytes > received ? *mConfig.disconnectAfterBytes - received : 0);
    }
    if (mConfig.stopTakingAfterBytes) {
        // Nothing past the stop is ever taken, so no retry can help.
        const std::uint64_t stop = *mConfig.stopTakingAfterBytes;
        const std::uint64_t left = stop > received ? stop - received : 0;
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
    mTraffic.bytesOut[address] += taken;
    receive(rest.first(taken), now);
    result.accepted = taken;
    if (taken > 0 && mConfig.onReceived) mConfig.onReceived(mTraffic.received);
    if (captureFailed) {
        haltEndpoint(address);
        result.stalled = true;
        result.retryAt = Clock::time_point::max();
        return result;
    }

    if (mConfig.disconnectAfterBytes && mTraffic.received >= *mConfig.disconnectAfterBytes) {
        mDisconnected = true;
        mAnswers.clear();
        mQueuedBytes = 0;
        result.retryAt = Clock::time_point::max();
        result.complete = taken == rest.size();
        return result;
    }
    if (mConfig.failWriteAfterBytes && mTraffic.received >= *mConfig.failWriteAfterBytes) {
        haltEndpoint(address);
        if (taken < rest.size()) {
            result.stalled = true;
            return result;
        }
    }
    if (taken == rest.size()) {
        result.complete = true;
        result.retryAt = Clock::time_point{};
        if (mConfig.answer) respond(*mConfig.answer, std::nullopt, now);
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
    mTraffic.received += bytes.size();
    if (mConfig.answer) return;  // a fixed answer replaces the PJL answers
    for (const std::string& line : mLines.feed(bytes)) answerLine(line, now);
}

// One line the printer received: a reply given for it, else a built-in PJL
// answer, else the default reply to a PJL query; otherwise nothing.
void VirtualPrinter::answerLine(const std::string& received, Clock::time_point now) {
    const std::string key = requestKey(received);
    if (key.empty()) return;
    for (std::size_t i = 0; i < mReplyKeys.size(); ++i) {
        if (mReplyKeys[i] == key) {
            respond(mConfig.replies[i].answer, mConfig.replies[i].delayMs, now);
            return;
        }
    }
    const std::string line = requestLine(received);
    if (line.compare(0, 5, "@PJL ") != 0) return;
    const std::vector<std::string> parts = words(upper(line.substr(5)));
    if (parts.empty()) return;
    if (std::optional<Bytes> answer = builtInAnswer(line.substr(5), parts)) {
        respond(std::move(*answer), std::nullopt, now);
        return;
    }
    const bool query = parts[0] == "INFO" || parts[0] == "INQUIRE" || parts[0] == "DINQUIRE";
    if (query && mConfig.defaultReply) respond(mConfig.defaultReply->answer, mConfig.defaultReply->delayMs, now);
}

std::optional<Bytes> VirtualPrinter::builtInAnswer(const std::string& command, const std::vector<std::string>& parts) {
    if (parts[0] == "ECHO") {
        // The echoed words exactly as sent.
        const std::size_t at = command.find_first_not_of(" \t");
        return bytesOf("@PJL ECHO" + command.substr(at + 4) + "\r\n\f");
    }
    if (parts[0] == "USTATUS") {
        std::string setting;
        for (std::size_t i = 1; i < parts.size(); ++i) setting += parts[i];
        if (setting == "DEVICE=ON" || setting == "DEVICE=VERBOSE") {
            mDeviceStatusOn = true;
            return deviceStatusBlock();
        }
        if (setting == "DEVICE=OFF") mDeviceStatusOn = false;
        return std::nullopt;
    }
    if (parts.size() != 2 || parts[0] != "INFO") return std::nullopt;
    const std::string& category = parts[1];
    const std::string online = mConfig.online ? "TRUE" : "FALSE";
    if (category == "ID") return bytesOf("@PJL INFO ID\r\n\"" + modelName() + "\"\r\n\f");
    if (category == "STATUS") {
        return bytesOf("@PJL INFO STATUS\r\nCODE=" + std::to_string(mConfig.statusCode) + "\r\nDISPLAY=\"" +
                       mConfig.statusDisplay + "\"\r\nONLINE=" + online + "\r\n\f");
    }
    if (category == "PAGECOUNT")
        return bytesOf("@PJL INFO PAGECOUNT\r\n" + std::to_string(mConfig.pageCount) + "\r\n\f");
    if (category == "CONFIG") {
        // The languages are the device ID's command set, PJL aside.
        std::vector<std::string> languages;
        const std::string text = deviceIDText();
        std::string commands = deviceIDValue(text, "CMD").value_or("");
        if (commands.empty()) commands = deviceIDValue(text, "COMMAND SET").value_or("");
        std::size_t start = 0;
        while (start <= commands.size()) {
            std::size_t end = commands.find(',', start);
            if (end == std::string::npos) end = commands.size();
            const std::string language = upper(commands.substr(start, end - start));
            if (!language.empty() && language != "PJL") languages.push_back(language);
            start = end + 1;
        }
        if (languages.empty()) languages.push_back("PCL");
        std::string answer = "@PJL INFO CONFIG\r\nIN TRAYS [1 ENUMERATED]\r\n\tINTRAY1 MP\r\n"
                             "OUT TRAYS [1 ENUMERATED]\r\n\tNORMAL FACEDOWN\r\n"
                             "PAPERS [3 ENUMERATED]\r\n\tLETTER\r\n\tLEGAL\r\n\tA4\r\n"
                             "LANGUAGES [" +
                             std::to_string(languages.size()) + " ENUMERATED]\r\n";
        for (const std::string& language : languages) answer += "\t" + language + "\r\n";
        answer += "USTATUS [4 ENUMERATED]\r\n\tDEVICE\r\n\tJOB\r\n\tPAGE\r\n\tTIMED\r\n"
                  "MEMORY=134217728\r\nDISPLAY LINES=2\r\nDISPLAY CHARACTER SIZE=16\r\n\f";
        return bytesOf(answer);
    }
    if (category == "VARIABLES") {
        return bytesOf("@PJL INFO VARIABLES\r\nCOPIES=1 [2 RANGE]\r\n\t1\r\n\t999\r\n"
                       "PAPER=A4 [3 ENUMERATED]\r\n\tLETTER\r\n\tLEGAL\r\n\tA4\r\n"
                       "ORIENTATION=PORTRAIT [2 ENUMERATED]\r\n\tPORTRAIT\r\n\tLANDSCAPE\r\n"
                       "DUPLEX=OFF [2 ENUMERATED]\r\n\tOFF\r\n\tON\r\n"
                       "TIMEOUT=15 [2 RANGE]\r\n\t5\r\n\t300\r\n\f");
    }
    if (category == "USTATUS") {
        return bytesOf(std::string("@PJL INFO USTATUS\r\nDEVICE=") + (mDeviceStatusOn ? "ON" : "OFF") +
                       " [3 ENUMERATED]\r\n\tOFF\r\n\tON\r\n\tVERBOSE\r\n"
                       "JOB=OFF [2 ENUMERATED]\r\n\tOFF\r\n\tON\r\n"
                       "PAGE=OFF [2 ENUMERATED]\r\n\tOFF\r\n\tON\r\n"
                       "TIMED=0 [2 RANGE]\r\n\t5\r\n\t300\r\n\f");
    }
    return std::nullopt;
}

Bytes VirtualPrinter::deviceStatusBlock() const {
    return bytesOf("@PJL USTATUS DEVICE\r\nCODE=" + std::to_string(mConfig.statusCode) + "\r\nDISPLAY=\"" +
                   mConfig.statusDisplay + "\"\r\nONLINE=" + (mConfig.online ? "TRUE" : "FALSE") + "\r\n\f");
}

std::string VirtualPrinter::deviceIDText() const {
    if (mConfig.deviceIDReply) {
        const Bytes& reply = *mConfig.deviceIDReply;
        std::string text;
        for (std::size_t i = 2; i < reply.size() && reply[i] != 0; ++i) text.push_back(static_cast<char>(reply[i]));
        return text;
    }
    return mConfig.deviceID.value_or(std::string());
}

std::string VirtualPrinter::modelName() const { return deviceIDValue(deviceIDText(), "MDL").value_or(""); }

void VirtualPrinter::respond(Bytes answer, std::optional<std::uint32_t> delayMs, Clock::time_point now) {
    if (answer.empty()) return;  // silence
    const auto readyAt = now + std::chrono::milliseconds(delayMs.value_or(mConfig.answerDelayMs));
    for (Bytes& block : mBeforeNextAnswer) queueAnswer(std::move(block), readyAt);
    mBeforeNextAnswer.clear();
    queueAnswer(std::move(answer), readyAt);
}

void VirtualPrinter::queueAnswer(Bytes bytes, Clock::time_point readyAt, int periodic) {
    if (bytes.empty() || mQueuedBytes + bytes.size() > kMostQueuedAnswerBytes) return;
    // Answers leave in the order they were caused.
    if (!mAnswers.empty()) readyAt = std::max(readyAt, mAnswers.back().readyAt);
    mQueuedBytes += bytes.size();
    mAnswers.push_back({readyAt, std::move(bytes), periodic});
    if (periodic >= 0) mPeriodic[static_cast<std::size_t>(periodic)].unread = true;
}

void VirtualPrinter::releasePeriodicStatus(Clock::time_point now) {
    for (std::size_t i = 0; i < mPeriodic.size(); ++i) {
        Periodic& p = mPeriodic[i];
        if (now < p.due) continue;
        // A printer does not pile up reports nobody reads.
        if (!p.unread) queueAnswer(p.block, p.due, static_cast<int>(i));
        p.due += p.every * (1 + (now - p.due) / p.every);
    }
}

Clock::time_point VirtualPrinter::nextPeriodicStatus() const {
    Clock::time_point next = Clock::time_point::max();
    for (const Periodic& p : mPeriodic) {
        if (!p.unread) next = std::min(next, p.due);
    }
    return next;
}

// --- Bulk IN -----------------------------------------------------------------------

VirtualPrinter::ReadResult VirtualPrinter::readBulk(std::uint8_t address, std::size_t max, Clock::time_point now) {
    ReadResult result;
    if (mDisconnected) return result;
    const EndpointInForce found = endpointInForce(address);
    const EndpointDescription* ep = found.endpoint;
    if (ep == nullptr || !ep->isIn() || !ep->isBulk()) {
        result.kind = ReadKind::Stalled;
        return result;
    }
    const auto ended = [&](ReadKind kind) {
        mTraffic.transfersIn[address] += 1;
        result.kind = kind;
        result.readyAt = now;
        return result;
    };
    if (!found.setting->speaksPJL()) {
        if (isHalted(address)) return ended(ReadKind::Stalled);
        if (max == 0 || mConfig.idleIn == IdleIn::Zlp) return ended(ReadKind::ZeroLength);
        return result;
    }

    const unsigned transfer = mReadsEnded + 1;
    if (mConfig.disconnectAtRead == transfer) {
        mDisconnected = true;
        mAnswers.clear();
        mQueuedBytes = 0;
        result.readyAt = now;  // looked at again at once, the device is gone
        return result;
    }
    if (mConfig.stallReadAt == transfer) haltEndpoint(address);
    if (isHalted(address)) {
        ++mReadsEnded;
        return ended(ReadKind::Stalled);
    }
    releasePeriodicStatus(now);
    // Everything readable now goes out in one transfer, up to the count
    // asked for; the rest stays queued.
    while (!mAnswers.empty() && mAnswers.front().readyAt <= now && result.bytes.size() < max) {
        Pending& front = mAnswers.front();
        const std::size_t n = std::min(front.bytes.size(), max - result.bytes.size());
        result.bytes.insert(result.bytes.end(), front.bytes.begin(),
                            front.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        mQueuedBytes -= n;
        if (front.bytes.empty()) {
            if (front.periodic >= 0) mPeriodic[static_cast<std::size_t>(front.periodic)].unread = false;
            mAnswers.pop_front();
        }
    }
    if (!result.bytes.empty()) {
        ++mReadsEnded;
        return ended(ReadKind::Data);
    }
    if (max == 0 || mConfig.idleIn == IdleIn::Zlp) {
        ++mReadsEnded;
        return ended(ReadKind::ZeroLength);
    }
    result.kind = ReadKind::Nothing;
    result.readyAt =
        std::min(mAnswers.empty() ? Clock::time_point::max() : mAnswers.front().readyAt, nextPeriodicStatus());
    return result;
}

std::size_t VirtualPrinter::queuedAnswerBytes() const { return mQueuedBytes; }

}  // namespace zelvik::sim
