// SPDX-License-Identifier: Apache-2.0
// The virtual bus file reader, on the tree of the XML layer's safe parser
// (no external entity, no DTD; internal entities expanded within a budget),
// which keeps every element's attributes and line.
//
// A bus file has no namespaces: an element whose name has a prefix is no bus
// file element, and a namespace declaration is an attribute that no element
// takes.
//
// Numbers are decimal or 0x-hex with blanks around them allowed; booleans
// are `true` or `false` in any case. Texts take the escapes of
// unescapeBusText; the raw byte elements take hex pairs separated by blanks
// or nothing.
#include "usb/sim/BusFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <set>
#include <string_view>

#include "base/Files.h"
#include "xml/XmlParsing.h"

#ifndef ZELVIK_PRINTER_VENDOR_ID
#error "ZELVIK_PRINTER_VENDOR_ID must name the served vendor ID"
#endif

namespace zelvik::sim {

namespace {

constexpr std::size_t kMostInterfaceSettings = 64;
constexpr std::size_t kMostInterfaces = 32;  // what the kernel takes
constexpr std::uint64_t kLongestPeriod = 86400;

constexpr auto k8 = std::numeric_limits<std::uint8_t>::max();
constexpr auto k16 = std::numeric_limits<std::uint16_t>::max();
constexpr auto k32 = std::numeric_limits<std::uint32_t>::max();
constexpr auto k64 = std::numeric_limits<std::uint64_t>::max();

// What is wrong with a value; nothing when it was taken.
using Problem = std::optional<std::string>;

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

// Decimal, or hexadecimal after "0x", within [low, high].
Problem number(std::string_view text, std::uint64_t low, std::uint64_t high, std::uint64_t& out) {
    const std::string_view written = trimmed(text);
    std::string_view digits = written;
    unsigned base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    const auto range = [&] {
        return "out of range (" + std::to_string(low) + " to " + std::to_string(high) + "): " + std::string(written);
    };
    if (digits.empty()) return "not a number: '" + std::string(written) + "'";
    std::uint64_t value = 0;
    for (const char c : digits) {
        const int digit = hexDigit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return "not a number: '" + std::string(written) + "'";
        if (value > (k64 - static_cast<unsigned>(digit)) / base) return range();
        value = value * base + static_cast<unsigned>(digit);
    }
    if (value < low || value > high) return range();
    out = value;
    return std::nullopt;
}

template <typename T>
Problem numberInto(std::string_view text, T& field, std::uint64_t low = 0,
                   std::uint64_t high = std::numeric_limits<T>::max()) {
    std::uint64_t value = 0;
    if (Problem problem = number(text, low, high, value)) return problem;
    field = static_cast<T>(value);
    return std::nullopt;
}

template <typename T>
Problem numberInto(std::string_view text, std::optional<T>& field, std::uint64_t low = 0,
                   std::uint64_t high = std::numeric_limits<T>::max()) {
    T value{};
    if (Problem problem = numberInto(text, value, low, high)) return problem;
    field = value;
    return std::nullopt;
}

Problem flagInto(std::string_view text, bool& field) {
    const std::string word = lower(trimmed(text));
    if (word != "true" && word != "false") return "neither true nor false: '" + std::string(trimmed(text)) + "'";
    field = word == "true";
    return std::nullopt;
}

// Hex pairs, separated by blanks or nothing.
Problem hexInto(std::string_view text, std::optional<Bytes>& field) {
    Bytes bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || hexDigit(text[i]) < 0 || hexDigit(text[i + 1]) < 0) {
            return "not hex pairs at '" + std::string(text.substr(i, 8)) + "'";
        }
        bytes.push_back(static_cast<std::uint8_t>(hexDigit(text[i]) * 16 + hexDigit(text[i + 1])));
        i += 2;
    }
    field = std::move(bytes);
    return std::nullopt;
}

std::string textOf(const std::string& escaped) {
    const Bytes bytes = unescapeBusText(escaped);
    return std::string(bytes.begin(), bytes.end());
}

std::string hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value & 0xFFu);
    return text;
}

using xmlparsing::Node;
using xmlparsing::NodeKind;

bool isBlank(std::string_view text) { return trimmed(text).empty(); }

// The walk of one document. Each method gives false once the file is
// refused; `error` then says why.
class Reader {
public:
    std::optional<BusFileError> error;

    bool fail(const Node* node, std::string reason) {
        error = BusFileError{node ? node->line : 0, node ? node->name : std::string(), std::move(reason)};
        return false;
    }

    // The elements among an element's children; text between them must be
    // blank, processing instructions are passed over, and comments too
    // unless `comments` takes them.
    bool childElements(const Node& parent, std::vector<const Node*>& elements,
                       std::vector<std::string>* comments = nullptr) {
        for (const Node& child : parent.children) {
            if (child.kind == NodeKind::element) {
                elements.push_back(&child);
            } else if (child.kind == NodeKind::comment && comments != nullptr) {
                comments->push_back(child.text);
            } else if (child.kind == NodeKind::text || child.kind == NodeKind::cdataSection) {
                if (!isBlank(child.text)) {
                    return fail(&parent,
                                "text beside the elements: '" + std::string(trimmed(child.text).substr(0, 20)) + "'");
                }
            }
        }
        return true;
    }

    // The text of an element that holds text only.
    bool text(const Node& element, std::string& out) {
        out.clear();
        for (const Node& child : element.children) {
            if (child.kind == NodeKind::element) {
                return fail(&element, "holds an element <" + child.name + ">, not text");
            }
            if (child.kind == NodeKind::text || child.kind == NodeKind::cdataSection) out += child.text;
        }
        return true;
    }

    // The attributes of an element, each checked against the names it may
    // carry.
    bool attributes(const Node& element, const std::set<std::string_view>& allowed,
                    std::vector<std::pair<std::string, std::string>>& out) {
        for (const xmlparsing::Attribute& attribute : element.attributes) {
            if (allowed.count(attribute.name) == 0) return fail(&element, "unknown attribute '" + attribute.name + "'");
            out.emplace_back(attribute.name, attribute.value);
        }
        return true;
    }

    bool device(const Node& element, VirtualPrinterConfig& config);

private:
    bool setting(const Node& element, const std::string& name, const std::string& text, VirtualPrinterConfig& config);
    bool interface(const Node& element, VirtualPrinterConfig& config);
    bool checkInterfaces(const std::vector<const Node*>& elements, const VirtualPrinterConfig& config);
    bool reply(const Node& element, const std::string& text, Reply& out, bool needsRequest);
};

bool Reader::setting(const Node& element, const std::string& name, const std::string& text, VirtualPrinterConfig& c) {
    Problem problem;
    if (name == "vendorID") {
        problem = numberInto(text, c.vendorID);
    } else if (name == "productID") {
        problem = numberInto(text, c.productID);
    } else if (name == "locationID") {
        problem = numberInto(text, c.locationID);
    } else if (name == "usbVersion") {
        problem = numberInto(text, c.usbVersion);
    } else if (name == "deviceClass") {
        problem = numberInto(text, c.deviceClass);
    } else if (name == "maxPacketSize0") {
        problem = numberInto(text, c.maxPacketSize0);
        if (!problem && c.maxPacketSize0 != 8 && c.maxPacketSize0 != 16 && c.maxPacketSize0 != 32 &&
            c.maxPacketSize0 != 64) {
            problem = "not 8, 16, 32 or 64: " + std::string(trimmed(text));
        }
    } else if (name == "configurationAttributes") {
        problem = numberInto(text, c.configurationAttributes);
    } else if (name == "manufacturer") {
        c.manufacturer = textOf(text);
    } else if (name == "manufacturerDescriptor") {
        problem = hexInto(text, c.manufacturerDescriptor);
    } else if (name == "product") {
        c.product = textOf(text);
    } else if (name == "productDescriptor") {
        problem = hexInto(text, c.productDescriptor);
    } else if (name == "serialNumber") {
        c.serialNumber = textOf(text);
    } else if (name == "serialDescriptor") {
        problem = hexInto(text, c.serialDescriptor);
    } else if (name == "deviceID") {
        c.deviceID = textOf(text);
    } else if (name == "deviceIDLength") {
        problem = numberInto(text, c.deviceIDLength);
    } else if (name == "deviceIDReply") {
        problem = hexInto(text, c.deviceIDReply);
    } else if (name == "heldOpen") {
        problem = flagInto(text, c.heldOpen);
    } else if (name == "interfaceHeldOpen") {
        problem = flagInto(text, c.interfaceHeldOpen);
    } else if (name == "alternateSetting") {
        problem = numberInto(text, c.alternateSetting);
    } else if (name == "refuseSetInterface") {
        problem = flagInto(text, c.refuseSetInterface);
    } else if (name == "stallGetInterface") {
        problem = flagInto(text, c.stallGetInterface);
    } else if (name == "pendingAnswer") {
        c.pendingAnswer = unescapeBusText(text);
    } else if (name == "answer") {
        c.answer = unescapeBusText(text);
    } else if (name == "answerDelayMs") {
        problem = numberInto(text, c.answerDelayMs);
    } else if (name == "statusCode") {
        problem = numberInto(text, c.statusCode, 0, 99999);
    } else if (name == "statusDisplay") {
        c.statusDisplay = textOf(text);
    } else if (name == "online") {
        problem = flagInto(text, c.online);
    } else if (name == "pageCount") {
        problem = numberInto(text, c.pageCount);
    } else if (name == "idleIn") {
        const std::string word = lower(trimmed(text));
        if (word != "zlp" && word != "nak") problem = "neither zlp nor nak: '" + std::string(trimmed(text)) + "'";
        c.idleIn = word == "nak" ? IdleIn::Nak : IdleIn::Zlp;
    } else if (name == "acceptBytesPerSecond") {
        problem = numberInto(text, c.acceptBytesPerSecond);
    } else if (name == "captureFile") {
        if (text.empty()) problem = "names no file";
        c.captureFile = text;
    } else if (name == "stopTakingAfterBytes") {
        problem = numberInto(text, c.stopTakingAfterBytes);
    } else if (name == "failWriteAfterBytes") {
        problem = numberInto(text, c.failWriteAfterBytes);
    } else if (name == "disconnectAfterBytes") {
        problem = numberInto(text, c.disconnectAfterBytes);
    } else if (name == "endpoints" || name == "alternateEndpoints" || name == "otherInterfaces") {
        problem = "replaced by <interface> elements (see zelvik-sim(1))";
    } else {
        problem = "not a bus file element";
    }
    return problem ? fail(&element, *problem) : true;
}

bool Reader::reply(const Node& element, const std::string& text, Reply& out, bool needsRequest) {
    std::vector<std::pair<std::string, std::string>> given;
    if (!attributes(element,
                    needsRequest ? std::set<std::string_view>{"to", "delayMs"} : std::set<std::string_view>{"delayMs"},
                    given)) {
        return false;
    }
    bool named = false;
    for (const auto& [name, value] : given) {
        if (name == "to") {
            out.to = textOf(value);
            named = !isBlank(out.to);
        } else if (Problem problem = numberInto(value, out.delayMs)) {
            return fail(&element, "delayMs " + *problem);
        }
    }
    if (needsRequest && !named) return fail(&element, "names no request (attribute 'to')");
    out.answer = unescapeBusText(text);
    return true;
}

bool Reader::interface(const Node& element, VirtualPrinterConfig& config) {
    InterfaceDescription setting;
    std::vector<std::pair<std::string, std::string>> given;
    if (!attributes(element, {"number", "alternateSetting", "class", "subclass", "protocol", "pjl"}, given)) {
        return false;
    }
    for (const auto& [name, value] : given) {
        Problem problem;
        if (name == "number") problem = numberInto(value, setting.number, 0, kMostInterfaces - 1);
        if (name == "alternateSetting") problem = numberInto(value, setting.alternateSetting);
        if (name == "class") problem = numberInto(value, setting.interfaceClass);
        if (name == "subclass") problem = numberInto(value, setting.subClass);
        if (name == "protocol") problem = numberInto(value, setting.protocol);
        if (name == "pjl") {
            bool speaks = false;
            problem = flagInto(value, speaks);
            setting.pjl = speaks;
        }
        if (problem) return fail(&element, name + " " + *problem);
    }
    std::vector<const Node*> endpoints;
    if (!childElements(element, endpoints)) return false;
    for (const Node* child : endpoints) {
        if (child->name != "endpoint") return fail(child, "not an endpoint of an interface");
        std::string text;
        if (!Reader::text(*child, text)) return false;
        if (!isBlank(text)) return fail(child, "holds text");
        given.clear();
        if (!attributes(*child, {"address", "type", "direction", "maxPacketSize"}, given)) return false;
        EndpointDescription endpoint;
        std::optional<std::uint8_t> address;
        std::optional<std::string> type, direction;
        std::optional<std::uint16_t> size;
        for (const auto& [name, value] : given) {
            Problem problem;
            if (name == "address") problem = numberInto(value, address);
            if (name == "type") type = lower(trimmed(value));
            if (name == "direction") direction = lower(trimmed(value));
            if (name == "maxPacketSize") problem = numberInto(value, size, 1, 1024);
            if (problem) return fail(child, name + " " + *problem);
        }
        if (!address) return fail(child, "names no address");
        if ((*address & 0x70) != 0 || (*address & 0x0F) == 0) {
            return fail(child, "no endpoint address (1 to 15, | 0x80 for IN): " + hex2(*address));
        }
        endpoint.address = *address;
        if (!type) return fail(child, "names no type (bulk, interrupt or isochronous)");
        if (*type == "bulk") {
            endpoint.type = TransferType::Bulk;
        } else if (*type == "interrupt") {
            endpoint.type = TransferType::Interrupt;
        } else if (*type == "isochronous") {
            endpoint.type = TransferType::Isochronous;
        } else {
            return fail(child, "type is not bulk, interrupt or isochronous: '" + *type + "'");
        }
        if (direction && *direction != "in" && *direction != "out") {
            return fail(child, "direction is neither in nor out: '" + *direction + "'");
        }
        if (direction && (*direction == "in") != endpoint.isIn()) {
            return fail(child, "direction " + *direction + " disagrees with address " + hex2(endpoint.address));
        }
        endpoint.maxPacketSize = size.value_or(endpoint.type == TransferType::Bulk        ? 512
                                               : endpoint.type == TransferType::Interrupt ? 64
                                                                                          : 1024);
        for (const EndpointDescription& other : setting.endpoints) {
            if (other.address == endpoint.address) return fail(child, hex2(endpoint.address) + " twice in one setting");
        }
        setting.endpoints.push_back(endpoint);
    }
    if (config.interfaces.size() >= kMostInterfaceSettings) {
        return fail(&element, "more than " + std::to_string(kMostInterfaceSettings) + " interface settings");
    }
    config.interfaces.push_back(std::move(setting));
    return true;
}

// Interfaces count up from 0 in the device's order, each one's settings from
// 0 and together, and no endpoint address serves two interfaces.
bool Reader::checkInterfaces(const std::vector<const Node*>& elements, const VirtualPrinterConfig& config) {
    for (std::size_t i = 0; i < config.interfaces.size(); ++i) {
        const InterfaceDescription& s = config.interfaces[i];
        const bool next = i == 0 ? s.number == 0 && s.alternateSetting == 0
                                 : (s.number == config.interfaces[i - 1].number &&
                                    s.alternateSetting == config.interfaces[i - 1].alternateSetting + 1) ||
                                       (s.number == config.interfaces[i - 1].number + 1 && s.alternateSetting == 0);
        if (!next) {
            return fail(elements[i], "interface " + std::to_string(s.number) + " setting " +
                                         std::to_string(s.alternateSetting) +
                                         " out of order: interfaces count up from 0, and each one's settings from 0");
        }
        for (const EndpointDescription& endpoint : s.endpoints) {
            for (std::size_t j = 0; j < i; ++j) {
                const InterfaceDescription& earlier = config.interfaces[j];
                if (earlier.number == s.number) continue;
                for (const EndpointDescription& e : earlier.endpoints) {
                    if (e.address == endpoint.address) {
                        return fail(elements[i], hex2(endpoint.address) + " is interface " +
                                                     std::to_string(earlier.number) + "'s already");
                    }
                }
            }
        }
    }
    return true;
}

bool Reader::device(const Node& element, VirtualPrinterConfig& config) {
    std::vector<std::pair<std::string, std::string>> none;
    if (!attributes(element, {}, none)) return false;
    std::vector<const Node*> children;
    if (!childElements(element, children, &config.notes)) return false;

    std::set<std::string> seen;
    std::vector<const Node*> interfaces;
    const Node* alternateSetting = nullptr;
    for (const Node* child : children) {
        const std::string& name = child->name;
        if (name.find(':') != std::string::npos) return fail(child, "not a bus file element");
        if (name == "interface") {
            if (interfaces.empty()) config.interfaces.clear();
            interfaces.push_back(child);
            if (!interface(*child, config)) return false;
            continue;
        }
        std::string text;
        if (!Reader::text(*child, text)) return false;
        if (name == "reply" || name == "defaultReply" || name == "unsolicitedStatus") {
            if (name == "defaultReply" && !seen.insert(name).second) return fail(child, "given twice");
            if (name == "unsolicitedStatus") {
                std::vector<std::pair<std::string, std::string>> given;
                if (!attributes(*child, {"everySeconds"}, given)) return false;
                UnsolicitedStatus status{unescapeBusText(text), std::nullopt};
                for (const auto& entry : given) {
                    if (Problem problem = numberInto(entry.second, status.everySeconds, 1, kLongestPeriod)) {
                        return fail(child, "everySeconds " + *problem);
                    }
                }
                config.unsolicitedStatus.push_back(std::move(status));
                continue;
            }
            Reply answer;
            if (!reply(*child, text, answer, name == "reply")) return false;
            if (name == "reply") config.replies.push_back(std::move(answer));
            else config.defaultReply = std::move(answer);
            continue;
        }
        if (!setting(*child, name, text, config)) return false;
        if (!attributes(*child, {}, none)) return false;
        if (!seen.insert(name).second) return fail(child, "given twice");
        if (name == "alternateSetting") alternateSetting = child;
        // Two ways to say one thing: one of them.
        for (const auto& [one, other] :
             std::initializer_list<std::pair<const char*, const char*>>{{"deviceIDReply", "deviceID"},
                                                                        {"deviceIDReply", "deviceIDLength"},
                                                                        {"serialNumber", "serialDescriptor"},
                                                                        {"manufacturer", "manufacturerDescriptor"},
                                                                        {"product", "productDescriptor"}}) {
            if ((name == one && seen.count(other)) || (name == other && seen.count(one))) {
                return fail(child, std::string("says what <") + (name == one ? other : one) + "> says already");
            }
        }
    }
    if (!interfaces.empty() && !checkInterfaces(interfaces, config)) return false;
    if (alternateSetting != nullptr) {
        const bool described = std::any_of(config.interfaces.begin(), config.interfaces.end(), [&](const auto& s) {
            return s.number == 0 && s.alternateSetting == config.alternateSetting;
        });
        if (!described) {
            return fail(alternateSetting, "interface 0 has no setting " + std::to_string(config.alternateSetting));
        }
    }
    return true;
}

BusFile refused(BusFileError error) {
    BusFile file;
    file.error = std::move(error);
    return file;
}

}  // namespace

std::vector<InterfaceDescription> defaultInterfaces() {
    InterfaceDescription printer;
    printer.endpoints = {{0x01, TransferType::Bulk, 512},
                         {0x82, TransferType::Bulk, 512},
                         {0x83, TransferType::Interrupt, 64}};
    return {printer};
}

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

BusFile parseBusFile(const Bytes& xml) {
    xmlparsing::ParseFailure failure;
    const std::optional<Node> root = xmlparsing::parseXmlDocument(xml.data(), xml.size(), &failure);
    if (!root) return refused({failure.line, "", failure.message});

    Reader reader;
    if (root->name != "simulatedBus") {
        reader.fail(&*root, "not a bus file: its root is <simulatedBus>");
        return refused(*reader.error);
    }
    std::vector<std::pair<std::string, std::string>> none;
    std::vector<const Node*> devices;
    if (!reader.attributes(*root, {}, none) || !reader.childElements(*root, devices)) return refused(*reader.error);

    BusFile file;
    for (const Node* element : devices) {
        if (element->name != "device") {
            reader.fail(element, "not a bus file element (a bus holds <device> elements)");
            return refused(*reader.error);
        }
        VirtualPrinterConfig config;
        if (!reader.device(*element, config)) return refused(*reader.error);
        file.printers.push_back(std::move(config));
    }
    applyBusDefaults(file.printers);
    return file;
}

BusFile readBusFile(const std::string& path) {
    // Only a regular file is read at all: a FIFO or a device node never
    // holds the open.
    const std::optional<Bytes> data = readRegularFile(path, kLargestBusFile);
    if (!data) return refused({0, "", "not a readable regular file of at most 16 MiB"});
    return parseBusFile(*data);
}

std::string describeBusFileError(const std::string& path, const BusFileError& error) {
    std::string text = path;
    if (error.line > 0) text += ":" + std::to_string(error.line);
    text += ": ";
    if (!error.element.empty()) text += "<" + error.element + ">: ";
    text += error.reason;
    // One line, whatever the file quoted: control characters in the bus
    // file's own escapes.
    std::string line;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            line += c;
        } else if (c == '\n' || c == '\r' || c == '\f') {
            line += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\f";
        } else {
            line += "\\x" + hex2(byte).substr(2);
        }
    }
    return line;
}

std::optional<std::string> checkBusFile(const std::string& path) {
    const BusFile file = readBusFile(path);
    if (!file.error) return std::nullopt;
    return describeBusFileError(path, *file.error);
}

}  // namespace zelvik::sim
