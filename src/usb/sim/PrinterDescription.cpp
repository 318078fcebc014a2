// SPDX-License-Identifier: Apache-2.0
// What a printer description says on the bus: its string descriptors and
// device ID reply as bytes, how its replies are matched, and the names the
// helper gives the printer it describes.
#include "usb/sim/PrinterDescription.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "base/Utf8.h"

namespace zelvik::sim {

namespace {

constexpr std::uint8_t kStringDescriptorType = 3;
const std::string kUniversalExit = "\x1b%-12345X";
// The helper reads a reply into 256 bytes and keeps a zero byte at its end.
constexpr std::size_t kReplyBuffer = 256;
// A PJL command line is short; a longer "line" is print data, not a command.
constexpr std::size_t kLongestLine = 4096;

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

// The device ID text as the helper reads it: the big-endian length field
// counts itself, and the text ends there, at the bytes received, at the
// buffer's last byte and at a zero byte.
std::optional<std::string> deviceIDTextOf(const VirtualPrinterConfig& printer) {
    std::optional<Bytes> reply = deviceIDReplyOf(printer);
    if (!reply) return std::nullopt;
    if (reply->size() > kReplyBuffer) reply->resize(kReplyBuffer);
    const std::size_t declared = reply->size() < 2 ? 0 : (std::size_t{(*reply)[0]} << 8) | (*reply)[1];
    const std::size_t end = std::min({declared, kReplyBuffer - 1, reply->size()});
    std::string text;
    for (std::size_t i = 2; i < end && (*reply)[i] != 0; ++i) text.push_back(static_cast<char>((*reply)[i]));
    if (!isValidUTF8(text)) return std::nullopt;
    return text;
}

// The serial number as the helper reads the string descriptor: its
// reported length (bLength 0: the empty string), the units up to a zero
// one, as UTF-8 within the helper's buffer, and only when that is valid.
std::optional<std::string> serialNumberOf(const VirtualPrinterConfig& printer) {
    const std::optional<Bytes> descriptor = stringDescriptorOf(printer.serialDescriptor, printer.serialNumber);
    if (!descriptor) return std::nullopt;
    const auto at = [&](std::size_t i) -> unsigned { return i < descriptor->size() ? (*descriptor)[i] : 0; };
    if (at(0) == 0) return std::string();
    if (at(1) != kStringDescriptorType) return std::nullopt;
    std::string text;
    for (std::size_t i = 2; i + 1 < (at(0) & ~1u); i += 2) {
        const unsigned unit = at(i) | at(i + 1) << 8;
        if (unit == 0) break;
        char bytes[3];
        std::size_t count = 1;
        if (unit < 0x80) {
            bytes[0] = static_cast<char>(unit);
        } else if (unit < 0x800) {
            bytes[0] = static_cast<char>(0xC0 | unit >> 6);
            bytes[1] = static_cast<char>(0x80 | (unit & 0x3F));
            count = 2;
        } else {
            bytes[0] = static_cast<char>(0xE0 | unit >> 12);
            bytes[1] = static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            bytes[2] = static_cast<char>(0x80 | (unit & 0x3F));
            count = 3;
        }
        if (text.size() + count >= kReplyBuffer) break;
        text.append(bytes, count);
    }
    if (!isValidUTF8(text)) return std::nullopt;
    return text;
}

}  // namespace

Bytes stringDescriptor(const std::string& text) {
    std::vector<std::uint16_t> units = utf16Units(text);
    if (units.size() > 126) units.resize(126);  // bLength is one byte
    Bytes reply;
    reply.push_back(static_cast<std::uint8_t>(2 + 2 * units.size()));
    reply.push_back(kStringDescriptorType);
    for (std::uint16_t unit : units) {
        reply.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        reply.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return reply;
}

std::optional<Bytes> stringDescriptorOf(const std::optional<Bytes>& raw, const std::optional<std::string>& text) {
    if (raw) return raw;
    if (text) return stringDescriptor(*text);
    return std::nullopt;
}

std::optional<Bytes> deviceIDReplyOf(const VirtualPrinterConfig& printer) {
    if (printer.deviceIDReply) return printer.deviceIDReply;
    if (!printer.deviceID) return std::nullopt;
    const std::string& text = *printer.deviceID;
    const std::uint16_t length =
        printer.deviceIDLength.value_or(static_cast<std::uint16_t>(std::min<std::size_t>(text.size() + 2, 0xFFFF)));
    Bytes reply = {static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)};
    reply.insert(reply.end(), text.begin(), text.end());
    return reply;
}

std::vector<std::string> LineAssembler::feed(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> lines;
    for (const std::uint8_t byte : bytes) {
        if (byte == '\n') {
            if (!mTooLong) {
                if (!mLine.empty() && mLine.back() == '\r') mLine.pop_back();
                lines.push_back(mLine);
            }
            mLine.clear();
            mTooLong = false;
        } else if (!mTooLong) {
            mLine.push_back(static_cast<char>(byte));
            if (mLine.size() > kLongestLine) {
                mLine.clear();
                mTooLong = true;
            }
        }
    }
    return lines;
}

std::string requestLine(const std::string& line) {
    std::size_t at = 0;
    while (line.compare(at, kUniversalExit.size(), kUniversalExit) == 0) at += kUniversalExit.size();
    return line.substr(at);
}

std::string requestKey(const std::string& line) {
    std::string key;
    bool gap = false;
    for (const char c : requestLine(line)) {
        if (c == ' ' || c == '\t') {
            gap = !key.empty();
            continue;
        }
        if (gap) key.push_back(' ');
        gap = false;
        key.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return key;
}

std::optional<std::string> deviceIDValue(const std::string& text, const std::string& key) {
    std::optional<std::string> value;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        const std::string_view piece = std::string_view(text).substr(start, end - start);
        const std::size_t colon = piece.find(':');
        if (colon != std::string_view::npos && piece.substr(0, colon) == key) {
            const std::size_t next = piece.find(':', colon + 1);
            value = std::string(piece.substr(colon + 1, next == std::string_view::npos ? next : next - colon - 1));
        }
        start = end + 1;
    }
    return value;
}

PrinterIdentity identityOf(const VirtualPrinterConfig& printer) {
    PrinterIdentity identity;
    identity.deviceIDText = deviceIDTextOf(printer);
    if (identity.deviceIDText) {
        identity.vendorName = deviceIDValue(*identity.deviceIDText, "MFG");
        identity.modelName = deviceIDValue(*identity.deviceIDText, "MDL");
    }
    identity.serialNumber = serialNumberOf(printer);
    std::string uri = "usb://" + identity.vendorName.value_or("Unknown") + "/" + identity.modelName.value_or("Unknown");
    const std::uint32_t location = printer.locationID.value_or(0);
    if (identity.serialNumber) {
        identity.deviceURI = uri + "?serial=" + *identity.serialNumber;
    } else if (location != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", location);
        identity.deviceURI = uri + "?location=" + hex;
    }
    return identity;
}

}  // namespace zelvik::sim
