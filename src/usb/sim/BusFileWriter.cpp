// SPDX-License-Identifier: Apache-2.0
#include "usb/sim/BusFileWriter.h"

#include <cstdio>

namespace zelvik::sim {

namespace {

const VirtualPrinterConfig kDefaults;

std::string hexNumber(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string hexPairs(const Bytes& bytes) {
    std::string text;
    char pair[4];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        if (!text.empty()) text.push_back(' ');
        text += pair;
    }
    return text;
}

std::string escaped(const Bytes& bytes) {
    return escapeBusText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Text the reader takes as it stands (a file name): only what XML itself
// needs escaped, a carriage return as a reference so that it is not read
// back as a line feed.
std::string xmlText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\r': out += "&#13;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

// A comment's text as XML allows it: no "--" inside, no "-" at the end.
std::string commentText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '-' && !out.empty() && out.back() == '-') out.push_back(' ');
        out.push_back(c);
    }
    if (!out.empty() && out.back() == '-') out.push_back(' ');
    return out;
}

const char* typeName(TransferType type) {
    switch (type) {
        case TransferType::Bulk: return "bulk";
        case TransferType::Interrupt: return "interrupt";
        case TransferType::Isochronous: return "isochronous";
    }
    return "bulk";
}

class Writer {
public:
    std::string out;

    void element(const char* name, const std::string& text, const std::string& attributes = {}) {
        out += "    <" + std::string(name) + attributes;
        out += text.empty() ? "/>\n" : ">" + text + "</" + name + ">\n";
    }
    void number(const char* name, std::uint64_t value) { element(name, std::to_string(value)); }
    void flag(const char* name, bool value) { element(name, value ? "true" : "false"); }
    void reply(const char* name, const Reply& reply) {
        std::string attributes;
        if (!reply.to.empty()) attributes += " to=\"" + escapeBusText(reply.to) + "\"";
        if (reply.delayMs) attributes += " delayMs=\"" + std::to_string(*reply.delayMs) + "\"";
        element(name, escaped(reply.answer), attributes);
    }
    void interface(const InterfaceDescription& s) {
        out += "    <interface number=\"" + std::to_string(s.number) + "\" alternateSetting=\"" +
               std::to_string(s.alternateSetting) + "\" class=\"" + std::to_string(s.interfaceClass) +
               "\" subclass=\"" + std::to_string(s.subClass) + "\" protocol=\"" + std::to_string(s.protocol) + "\"";
        if (s.pjl) out += std::string(" pjl=\"") + (*s.pjl ? "true" : "false") + "\"";
        if (s.endpoints.empty()) {
            out += "/>\n";
            return;
        }
        out += ">\n";
        for (const EndpointDescription& e : s.endpoints) {
            out += "      <endpoint address=\"" + hexNumber(e.address, 2) + "\" type=\"" + typeName(e.type) +
                   "\" maxPacketSize=\"" + std::to_string(e.maxPacketSize) + "\"/>\n";
        }
        out += "    </interface>\n";
    }
    void device(const VirtualPrinterConfig& p);
};

void Writer::device(const VirtualPrinterConfig& p) {
    const VirtualPrinterConfig& d = kDefaults;
    out += "  <device>\n";
    for (const std::string& note : p.notes) out += "    <!--" + commentText(note) + "-->\n";
    element("vendorID", hexNumber(p.vendorID.value_or(servedVendorID()), 4));
    element("productID", hexNumber(p.productID, 4));
    if (p.locationID) element("locationID", hexNumber(*p.locationID, 8));
    if (p.usbVersion != d.usbVersion) element("usbVersion", hexNumber(p.usbVersion, 4));
    if (p.deviceClass != d.deviceClass) number("deviceClass", p.deviceClass);
    if (p.maxPacketSize0 != d.maxPacketSize0) number("maxPacketSize0", p.maxPacketSize0);
    if (p.configurationAttributes != d.configurationAttributes) {
        element("configurationAttributes", hexNumber(p.configurationAttributes, 2));
    }
    // Raw bytes win over text, and only one of the two may be written.
    const auto string = [&](const char* text, const char* raw, const std::optional<std::string>& written,
                            const std::optional<Bytes>& bytes) {
        if (bytes) element(raw, hexPairs(*bytes));
        else if (written) element(text, escapeBusText(*written));
    };
    string("manufacturer", "manufacturerDescriptor", p.manufacturer, p.manufacturerDescriptor);
    string("product", "productDescriptor", p.product, p.productDescriptor);
    string("serialNumber", "serialDescriptor", p.serialNumber, p.serialDescriptor);
    if (p.deviceIDReply) {
        element("deviceIDReply", hexPairs(*p.deviceIDReply));
    } else if (p.deviceID) {
        element("deviceID", escapeBusText(*p.deviceID));
        if (p.deviceIDLength) number("deviceIDLength", *p.deviceIDLength);
    }
    if (p.interfaces != defaultInterfaces()) {
        for (const InterfaceDescription& s : p.interfaces) interface(s);
    }
    if (p.alternateSetting != d.alternateSetting) number("alternateSetting", p.alternateSetting);
    if (p.heldOpen) flag("heldOpen", true);
    if (p.interfaceHeldOpen) flag("interfaceHeldOpen", true);
    if (p.refuseSetInterface) flag("refuseSetInterface", true);
    if (p.stallGetInterface) flag("stallGetInterface", true);

    for (const Reply& r : p.replies) reply("reply", r);
    if (p.defaultReply) reply("defaultReply", Reply{{}, p.defaultReply->answer, p.defaultReply->delayMs});
    if (p.statusCode != d.statusCode) number("statusCode", p.statusCode);
    if (p.statusDisplay != d.statusDisplay) element("statusDisplay", escapeBusText(p.statusDisplay));
    if (p.online != d.online) flag("online", p.online);
    if (p.pageCount != d.pageCount) number("pageCount", p.pageCount);
    for (const UnsolicitedStatus& s : p.unsolicitedStatus) {
        element("unsolicitedStatus", escaped(s.block),
                s.everySeconds ? " everySeconds=\"" + std::to_string(*s.everySeconds) + "\"" : std::string());
    }
    if (p.answerDelayMs != d.answerDelayMs) number("answerDelayMs", p.answerDelayMs);
    if (!p.pendingAnswer.empty()) element("pendingAnswer", escaped(p.pendingAnswer));
    if (p.answer) out += "    <answer>" + escaped(*p.answer) + "</answer>\n";
    if (p.idleIn != d.idleIn) element("idleIn", "nak");

    if (p.acceptBytesPerSecond) number("acceptBytesPerSecond", *p.acceptBytesPerSecond);
    if (p.captureFile) element("captureFile", xmlText(*p.captureFile));
    if (p.stopTakingAfterBytes) number("stopTakingAfterBytes", *p.stopTakingAfterBytes);
    if (p.failWriteAfterBytes) number("failWriteAfterBytes", *p.failWriteAfterBytes);
    if (p.disconnectAfterBytes) number("disconnectAfterBytes", *p.disconnectAfterBytes);
    out += "  </device>\n";
}

}  // namespace

std::string escapeBusText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    char code[8];
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': out += "\\\\"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\f': out += "\\f"; continue;
            case '\x1b': out += "\\e"; continue;
            case '&': out += "&amp;"; continue;
            case '<': out += "&lt;"; continue;
            case '>': out += "&gt;"; continue;
            case '"': out += "&quot;"; continue;
            default: break;
        }
        if (byte < 0x20 || byte >= 0x7F) {
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            out += code;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string writeBusFile(const std::vector<VirtualPrinterConfig>& printers, const std::string& comment) {
    Writer writer;
    writer.out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    if (!comment.empty()) writer.out += "<!--" + commentText(comment) + "-->\n";
    writer.out += "<simulatedBus>\n";
    for (const VirtualPrinterConfig& printer : printers) writer.device(printer);
    writer.out += "</simulatedBus>\n";
    return writer.out;
}

}  // namespace zelvik::sim
