// SPDX-License-Identifier: Apache-2.0
// The virtual bus file: one `device` element per virtual printer, read with
// the program's own XML reader.
//
// Beyond the elements every printer setting has its own element for:
//  - an endpoint of `endpoints` may carry its maximum packet size, as in
//    `bulk-in:64` (default 512 for bulk, 64 for interrupt endpoints);
//  - `alternateEndpoints` lists the endpoints of alternate setting 1, which
//    then exists even when `alternateSetting` is 0 (an empty `endpoints`
//    with it makes a printer whose endpoints are all in setting 1);
//  - `disconnectAfterBytes`: the printer leaves the bus once it has received
//    that many bytes on bulk OUT;
//  - `stopTakingAfterBytes`: from that many bytes on, bulk OUT takes nothing
//    more (paper out), without a halt;
//  - `otherInterfaces`: the kinds of interfaces 1, 2, ... of a multifunction
//    printer (mass-storage, printer, vendor; at most four).
// Only a regular file is read as a bus file (a FIFO or a device is an empty
// bus, and opening it never blocks).
// Numbers are decimal or 0x-hex with blanks around them allowed; booleans
// are `true` or `false` in any case.
//
// A file that cannot be read, is not well-formed XML, has another root than
// `simulatedBus`, or holds a value that cannot be taken as written (a number
// that is not one or does not fit, an unknown endpoint kind or `idleIn`
// value, a boolean other than true/false, a repeated element, bad hex
// pairs) is an empty bus as a whole: a half-read bus would make a test pass
// or fail for the wrong reason. Elements the bus does not know are ignored,
// so other tools may keep their own settings in the same file.

#include <algorithm>
#include <cctype>
#include <limits>
#include <optional>
#include <string_view>

#include "usb/sim/VirtualPrinter.h"
#include "base/Files.h"
#include "xml/KxXmlDataConverter.h"
#include "xml/Value.h"

#ifndef ZELVIK_PRINTER_VENDOR_ID
#error "ZELVIK_PRINTER_VENDOR_ID must name the served vendor ID"
#endif

namespace zelvik::sim {

namespace {

constexpr std::size_t kLargestBusFile = std::size_t{16} * 1024 * 1024;
constexpr std::size_t kMostEndpoints = 15;  // endpoint numbers are 4 bits

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decimal, or hexadecimal after "0x"; nothing when it is neither or
// exceeds `limit`.
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t limit) {
    text = trimmed(text);
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return std::nullopt;
        if (value > (limit - static_cast<unsigned>(digit)) / base) return std::nullopt;
        value = value * base + static_cast<unsigned>(digit);
    }
    return value;
}

// The blank-separated words of a text.
std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> found;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        std::size_t j = i;
        while (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j]))) ++j;
        if (j == i) break;
        found.push_back(text.substr(i, j - i));
        i = j;
    }
    return found;
}

std::optional<std::vector<EndpointConfig>> parseEndpoints(std::string_view text) {
    std::vector<EndpointConfig> endpoints;
    for (const std::string_view token : words(text)) {
        const std::size_t colon = token.find(':');
        const std::string kind = lower(token.substr(0, colon));
        EndpointConfig ep;
        if (kind == "bulk-in") {
            ep = {EndpointKind::BulkIn, 512};
        } else if (kind == "bulk-out") {
            ep = {EndpointKind::BulkOut, 512};
        } else if (kind == "interrupt-in") {
            ep = {EndpointKind::InterruptIn, 64};
        } else if (kind == "interrupt-out") {
            ep = {EndpointKind::InterruptOut, 64};
        } else {
            return std::nullopt;
        }
        if (colon != std::string_view::npos) {
            const auto size = parseNumber(token.substr(colon + 1), 0xFFFF);
            if (!size) return std::nullopt;
            ep.maxPacketSize = static_cast<std::uint16_t>(*size);
        }
        endpoints.push_back(ep);
    }
    if (endpoints.size() > kMostEndpoints) return std::nullopt;
    return endpoints;
}

// Blank-separated interface kinds: mass-storage, printer, vendor.
std::optional<std::vector<OtherInterface>> parseOtherInterfaces(std::string_view text) {
    std::vector<OtherInterface> others;
    for (const std::string_view word : words(text)) {
        const std::string kind = lower(word);
        if (kind == "mass-storage") {
            others.push_back(OtherInterface::MassStorage);
        } else if (kind == "printer") {
            others.push_back(OtherInterface::Printer);
        } else if (kind == "vendor") {
            others.push_back(OtherInterface::Vendor);
        } else {
            return std::nullopt;
        }
    }
    if (others.size() > kMostOtherInterfaces) return std::nullopt;
    return others;
}

std::optional<Bytes> parseHexPairs(std::string_view text) {
    Bytes bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) return std::nullopt;
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        if (i + 2 < text.size() && !std::isspace(static_cast<unsigned char>(text[i + 2]))) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
    }
    return bytes;
}

std::optional<bool> parseBool(std::string_view text) {
    const std::string word = lower(trimmed(text));
    if (word == "true") return true;
    if (word == "false") return false;
    return std::nullopt;
}

std::string textOf(const std::string& escaped) {
    const Bytes bytes = unescapeBusText(escaped);
    return std::string(bytes.begin(), bytes.end());
}

// One `device` element; nothing when one of its values is malformed.
std::optional<VirtualPrinterConfig> parseDevice(const Value& element) {
    VirtualPrinterConfig config;
    if (const std::string* text = element.asString()) {
        // `<device/>`: a printer with every default.
        if (!trimmed(*text).empty()) return std::nullopt;
        return config;
    }
    const Dictionary* fields = element.asDictionary();
    if (fields == nullptr) return std::nullopt;

    for (std::size_t i = 0; i < fields->size(); ++i) {
        const std::string& name = fields->nameAt(i);
        const std::string* value = fields->valueAt(i).asString();
        bool ok = value != nullptr;
        auto number = [&](std::uint64_t limit) -> std::uint64_t {
            const auto n = ok ? parseNumber(*value, limit) : std::nullopt;
            ok = n.has_value();
            return n.value_or(0);
        };
        auto flag = [&]() -> bool {
            const auto b = ok ? parseBool(*value) : std::nullopt;
            ok = b.has_value();
            return b.value_or(false);
        };
        constexpr auto k16 = std::numeric_limits<std::uint16_t>::max();
        constexpr auto k32 = std::numeric_limits<std::uint32_t>::max();
        constexpr auto k64 = std::numeric_limits<std::uint64_t>::max();

        if (name == "vendorID") {
            config.vendorID = static_cast<std::uint16_t>(number(k16));
        } else if (name == "productID") {
            config.productID = static_cast<std::uint16_t>(number(k16));
        } else if (name == "locationID") {
            config.locationID = static_cast<std::uint32_t>(number(k32));
        } else if (name == "deviceID") {
            if (ok) config.deviceID = textOf(*value);
        } else if (name == "deviceIDLength") {
            config.deviceIDLength = static_cast<std::uint16_t>(number(k16));
        } else if (name == "serialNumber") {
            if (ok) config.serialNumber = textOf(*value);
        } else if (name == "serialDescriptor") {
            if (ok) {
                config.serialDescriptor = parseHexPairs(*value);
                ok = config.serialDescriptor.has_value();
            }
        } else if (name == "heldOpen") {
            config.heldOpen = flag();
        } else if (name == "interfaceHeldOpen") {
            config.interfaceHeldOpen = flag();
        } else if (name == "alternateSetting") {
            config.alternateSetting = static_cast<std::uint8_t>(number(254));
        } else if (name == "refuseSetInterface") {
            config.refuseSetInterface = flag();
        } else if (name == "stallGetInterface") {
            config.stallGetInterface = flag();
        } else if (name == "endpoints" || name == "alternateEndpoints") {
            std::optional<std::vector<EndpointConfig>> endpoints;
            if (ok) endpoints = parseEndpoints(*value);
            ok = endpoints.has_value();
            if (ok && name == "endpoints") config.endpoints = std::move(*endpoints);
            if (ok && name == "alternateEndpoints") config.alternateEndpoints = std::move(endpoints);
        } else if (name == "otherInterfaces") {
            std::optional<std::vector<OtherInterface>> others;
            if (ok) others = parseOtherInterfaces(*value);
            ok = others.has_value();
            if (ok) config.otherInterfaces = std::move(*others);
        } else if (name == "pendingAnswer") {
            if (ok) config.pendingAnswer = unescapeBusText(*value);
        } else if (name == "answer") {
            if (ok) config.answer = unescapeBusText(*value);
        } else if (name == "answerDelayMs") {
            config.answerDelayMs = static_cast<std::uint32_t>(number(k32));
        } else if (name == "idleIn") {
            const std::string word = ok ? lower(trimmed(*value)) : std::string();
            ok = word == "zlp" || word == "nak";
            config.idleIn = word == "nak" ? IdleIn::Nak : IdleIn::Zlp;
        } else if (name == "acceptBytesPerSecond") {
            config.acceptBytesPerSecond = number(k64);
        } else if (name == "captureFile") {
            ok = ok && !value->empty();
            if (ok) config.captureFile = *value;
        } else if (name == "failWriteAfterBytes") {
            config.failWriteAfterBytes = number(k64);
        } else if (name == "stopTakingAfterBytes") {
            config.stopTakingAfterBytes = number(k64);
        } else if (name == "disconnectAfterBytes") {
            config.disconnectAfterBytes = number(k64);
        } else if (name == "pageCount") {
            config.pageCount = number(k64);
        } else {
            continue;  // not ours
        }
        if (!ok) return std::nullopt;
    }
    // The other interfaces' endpoint numbers count down from 15 and must
    // stay clear of interface 0's.
    const std::size_t lowestOther = kMostEndpoints + 1 - config.otherInterfaces.size();
    if (config.endpoints.size() >= lowestOther ||
        (config.alternateEndpoints && config.alternateEndpoints->size() >= lowestOther)) {
        return std::nullopt;
    }
    return config;
}

}  // namespace

std::uint16_t servedVendorID() { return static_cast<std::uint16_t>(ZELVIK_PRINTER_VENDOR_ID); }

std::uint32_t defaultLocationID(std::size_t n) {
    return 0x01000000u + static_cast<std::uint32_t>((n << 20) & 0x00FFFFFFu);
}

void applyBusDefaults(std::vector<VirtualPrinterConfig>& printers) {
    for (std::size_t i = 0; i < printers.size(); ++i) {
        if (!printers[i].vendorID) printers[i].vendorID = servedVendorID();
        if (!printers[i].locationID) printers[i].locationID = defaultLocationID(i + 1);
    }
}

Bytes unescapeBusText(const std::string& text) {
    Bytes out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            out.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        const char e = text[i + 1];
        std::optional<std::uint8_t> byte;
        std::size_t used = 2;
        switch (e) {
            case 'r': byte = '\r'; break;
            case 'n': byte = '\n'; break;
            case 'f': byte = '\f'; break;
            case 'e': byte = 0x1B; break;
            case '\\': byte = '\\'; break;
            case 'x':
                if (i + 3 < text.size() && hexDigit(text[i + 2]) >= 0 && hexDigit(text[i + 3]) >= 0) {
                    byte = static_cast<std::uint8_t>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3]));
                    used = 4;
                }
                break;
            default: break;
        }
        if (byte) {
            out.push_back(*byte);
            i += used - 1;
        } else {
            out.push_back(static_cast<std::uint8_t>(c));  // the backslash stands for itself
        }
    }
    return out;
}

std::vector<VirtualPrinterConfig> parseSimulatedBus(const Bytes& xml) {
    const KxXmlDataConverter converter;
    const std::optional<Dictionary> document = converter.copyXMLDataToDictionaryNS(xml);
    if (!document || document->size() != 1 || document->nameAt(0) != "simulatedBus") return {};

    std::vector<VirtualPrinterConfig> printers;
    const Value& root = document->valueAt(0);
    if (const Dictionary* bus = root.asDictionary()) {
        if (const Value* devices = bus->find("device")) {
            if (const Array* many = devices->asArray()) {
                for (const Value& element : *many) {
                    auto config = parseDevice(element);
                    if (!config) return {};
                    printers.push_back(std::move(*config));
                }
            } else {
                auto config = parseDevice(*devices);
                if (!config) return {};
                printers.push_back(std::move(*config));
            }
        }
    } else if (!root.isString()) {
        return {};
    }
    applyBusDefaults(printers);
    return printers;
}

std::vector<VirtualPrinterConfig> loadSimulatedBus(const std::string& path) {
    // Only a regular file is read at all: a FIFO or a device node never
    // holds the open.
    const std::optional<Bytes> data = readRegularFile(path, kLargestBusFile);
    if (!data) return {};
    return parseSimulatedBus(*data);
}

}  // namespace zelvik::sim
