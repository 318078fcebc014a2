// SPDX-License-Identifier: Apache-2.0
// A recording's private place, and one recorded printer handed on as a bus
// file of its own, its serial number replaced by a stand-in on request.
#include "zelvik/recording.h"

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "Process.h"
#include "base/Files.h"
#include "usb/sim/BusFile.h"
#include "usb/sim/BusFileWriter.h"

namespace zelvik::client {

namespace {

using sim::VirtualPrinterConfig;

// A secret shorter than this is replaced only where it stands as a value
// (the string descriptor, a device ID value): in free text it would hit
// other words.
constexpr std::size_t kShortestFreeSecret = 4;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A text's UTF-16LE units, as a string descriptor carries them.
Bytes utf16Of(const std::string& text) {
    const Bytes descriptor = sim::stringDescriptor(text);
    return Bytes(descriptor.begin() + 2, descriptor.end());
}

// Replaces each occurrence of `from` that `fits` (given the index just past
// it) by `to`; the number replaced.
template <typename Fits>
std::size_t replace(Bytes& bytes, const Bytes& from, const Bytes& to, Fits fits) {
    if (from.empty()) return 0;
    Bytes out;
    std::size_t count = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        if (bytes.size() - i >= from.size() &&
            std::equal(from.begin(), from.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i)) &&
            fits(i + from.size())) {
            out.insert(out.end(), to.begin(), to.end());
            i += from.size();
            ++count;
        } else {
            out.push_back(bytes[i++]);
        }
    }
    bytes = std::move(out);
    return count;
}

std::size_t replaceAll(Bytes& bytes, const Bytes& from, const Bytes& to) {
    return replace(bytes, from, to, [](std::size_t) { return true; });
}

std::string caseOf(std::string text, bool upper) {
    for (char& c : text) {
        if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// What identifies the printer, and what takes its place.
struct Secret {
    std::string text;
    std::string standIn;  // as many bytes: a device ID keeps its length
    bool free() const { return text.size() >= kShortestFreeSecret; }
    // The text and, in free text, its other letter cases.
    std::vector<std::pair<Bytes, Bytes>> spellings() const {
        std::vector<std::pair<Bytes, Bytes>> all{{bytesOf(text), bytesOf(standIn)}};
        if (!free()) return all;
        for (const bool upper : {true, false}) {
            const std::string other = caseOf(text, upper);
            if (other != text) all.emplace_back(bytesOf(other), bytesOf(caseOf(standIn, upper)));
        }
        return all;
    }
};

// The serial number and the device ID's SN and SERN values, the longest
// first; the stand-ins are the same for every recording: X, Y, Z and then
// zeros.
std::vector<Secret> secretsOf(const VirtualPrinterConfig& printer) {
    const sim::PrinterIdentity identity = sim::identityOf(printer);
    std::vector<std::string> found;
    if (identity.serialNumber) found.push_back(*identity.serialNumber);
    if (identity.deviceIDText) {
        for (const char* key : {"SN", "SERN"}) {
            if (auto value = sim::deviceIDValue(*identity.deviceIDText, key)) found.push_back(std::move(*value));
        }
    }
    std::vector<Secret> secrets;
    for (const std::string& text : found) {
        const bool known = std::any_of(secrets.begin(), secrets.end(), [&](const Secret& s) { return s.text == text; });
        if (text.empty() || known) continue;
        std::string standIn(text.size(), '0');
        standIn[0] = "XYZ"[secrets.size()];
        secrets.push_back({text, standIn});
    }
    std::sort(secrets.begin(), secrets.end(),
              [](const Secret& a, const Secret& b) { return a.text.size() > b.text.size(); });
    return secrets;
}

// A string descriptor with the secret's units replaced, its length kept
// true to the units it carries.
void anonymizeDescriptor(std::optional<Bytes>& descriptor, const Secret& secret) {
    if (!descriptor || descriptor->empty()) return;
    const Bytes from = utf16Of(secret.text), to = utf16Of(secret.standIn);
    const std::size_t count = replaceAll(*descriptor, from, to);
    const auto length = static_cast<long>((*descriptor)[0]) +
                        static_cast<long>(count) * (static_cast<long>(to.size()) - static_cast<long>(from.size()));
    (*descriptor)[0] = static_cast<std::uint8_t>(std::clamp(length, 0L, 255L));
}

void anonymizeText(Bytes& bytes, const Secret& secret) {
    for (const auto& [from, to] : secret.spellings()) replaceAll(bytes, from, to);
}
void anonymizeText(std::string& text, const Secret& secret) {
    Bytes bytes = bytesOf(text);
    anonymizeText(bytes, secret);
    text = textOf(bytes);
}

// The serial number replaced wherever it stands in the description.
void anonymize(VirtualPrinterConfig& p) {
    const std::vector<Secret> secrets = secretsOf(p);
    // Every string and the device ID as the bytes the printer sends.
    p.deviceIDReply = sim::deviceIDReplyOf(p);
    p.deviceID.reset();
    p.deviceIDLength.reset();
    p.serialDescriptor = sim::stringDescriptorOf(p.serialDescriptor, p.serialNumber);
    p.serialNumber.reset();
    p.manufacturerDescriptor = sim::stringDescriptorOf(p.manufacturerDescriptor, p.manufacturer);
    p.manufacturer.reset();
    p.productDescriptor = sim::stringDescriptorOf(p.productDescriptor, p.product);
    p.product.reset();

    for (const Secret& secret : secrets) {
        anonymizeDescriptor(p.serialDescriptor, secret);
        if (p.deviceIDReply) {
            // A value of the device ID: after its key's ":", up to the
            // next ";" or ":" or the end.
            const auto endsValue = [&](std::size_t at) {
                return at >= p.deviceIDReply->size() || (*p.deviceIDReply)[at] == ';' ||
                       (*p.deviceIDReply)[at] == ':' || (*p.deviceIDReply)[at] == 0;
            };
            replace(*p.deviceIDReply, bytesOf(":" + secret.text), bytesOf(":" + secret.standIn), endsValue);
        }
        if (!secret.free()) continue;
        anonymizeDescriptor(p.manufacturerDescriptor, secret);
        anonymizeDescriptor(p.productDescriptor, secret);
        if (p.deviceIDReply) anonymizeText(*p.deviceIDReply, secret);
        for (sim::Reply& reply : p.replies) {
            anonymizeText(reply.to, secret);
            anonymizeText(reply.answer, secret);
        }
        if (p.defaultReply) anonymizeText(p.defaultReply->answer, secret);
        if (p.answer) anonymizeText(*p.answer, secret);
        anonymizeText(p.pendingAnswer, secret);
        for (sim::UnsolicitedStatus& status : p.unsolicitedStatus) anonymizeText(status.block, secret);
        anonymizeText(p.statusDisplay, secret);
        for (std::string& note : p.notes) anonymizeText(note, secret);
    }
}

}  // namespace

struct Recording::Place {
    detail::PrivateDirectory directory;
    std::string file() const { return directory.file("recording.xml"); }
};

Recording::Recording() : mPlace(std::make_unique<Place>()) {}
Recording::~Recording() = default;

bool Recording::made() const { return mPlace->directory.made(); }

Helper Recording::recordingHelper(Helper helper) const {
    if (!made()) return helper;
    auto& environment = helper.environment;
    environment.erase(std::remove_if(environment.begin(), environment.end(),
                                     [](const std::string& entry) { return entry.rfind("ZELVIK_RECORD=", 0) == 0; }),
                      environment.end());
    environment.push_back("ZELVIK_RECORD=" + mPlace->file());
    return helper;
}

Result<RecordedPrinter> Recording::printer(const std::string& deviceURI, bool anonymized) const {
    if (!made()) return Error(ErrorKind::setupFailed, 0, "no private directory for the recording");
    const std::optional<Bytes> content = readRegularFile(mPlace->file(), sim::kLargestBusFile);
    if (!content) return Error(ErrorKind::resultMissing, 0, "the helper recorded nothing (one that cannot record?)");
    sim::BusFile recorded = sim::parseBusFile(*content);
    if (recorded.error) {
        return Error(ErrorKind::resultMalformed, 0, sim::describeBusFileError("the recording", *recorded.error));
    }
    const auto named =
        std::find_if(recorded.printers.begin(), recorded.printers.end(),
                     [&](const VirtualPrinterConfig& p) { return sim::identityOf(p).deviceURI == deviceURI; });
    if (named == recorded.printers.end()) {
        return Error(ErrorKind::resultMissing, 0, "no printer of that URI was recorded");
    }
    VirtualPrinterConfig printer = std::move(*named);
    if (anonymized) anonymize(printer);
    RecordedPrinter result;
    result.deviceURI = sim::identityOf(printer).deviceURI.value_or(deviceURI);
    result.busFile = sim::writeBusFile(
        {printer},
        " The printer " + sim::escapeBusText(result.deviceURI) +
            ", recorded (ZELVIK_RECORD); zelvik-sim(1) replays it, and so does zelvikctl told to simulate this file. ");
    return result;
}

}  // namespace zelvik::client
