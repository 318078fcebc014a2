// SPDX-License-Identifier: Apache-2.0
// Finding and naming printers: the listing, the per-device identification
// step, the IEEE 1284 device ID, the serial-number string and the device URI.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/Trace.h"
#include "base/Utf8.h"
#include "usb/KxUsbCommunicater.h"
#include "usb/UsbRequests.h"

namespace zelvik {

namespace {

constexpr std::int32_t kNotTaken = 7;
constexpr std::size_t kReplyBufferSize = 256;

// Splits at every whole occurrence of `separator`; empty pieces count.
std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

const std::string& orUnknown(const std::string* name) {
    static const std::string unknown = "Unknown";
    return name ? *name : unknown;
}

}  // namespace

std::optional<Dictionary> KxUsbCommunicater::picupUSBDevice(std::int32_t maximum, const Listable& listable) {
    Array printers;
    initInstanceVariables();

    std::optional<std::vector<UsbServiceRef>> services = mUsb.copyMatchingDevices();
    if (!services) return std::nullopt;

    // A negative maximum compares as a huge unsigned one: no practical limit.
    const auto limit = static_cast<std::uint32_t>(maximum);
    std::uint32_t count = 0;
    for (UsbServiceRef& service : *services) {
        if (count >= limit) break;
        const std::int32_t result = dealWithDevice(service);
        service.reset();
        // A device that was not taken does not count toward the maximum.
        if (result != 0) continue;
        std::optional<Dictionary> information = makeInformationDictionary();
        initInstanceVariables();
        // A printer turned down takes no place: the one after it may.
        if (information && listable && !listable(*information)) continue;
        if (information) printers.emplace_back(std::move(*information));
        ++count;
    }

    Dictionary listing;
    listing.set("deviceInformation", Value(std::move(printers)));
    return listing;
}

std::int32_t KxUsbCommunicater::dealWithDevice(const UsbServiceRef& service) {
    // A target URI on entry makes this step part of an open search.
    const bool openMode = m_deviceURI.has_value();

    std::unique_ptr<UsbDevice> created = mUsb.createDeviceInterface(service);
    if (!created) {
        ZELVIK_TRACE("device skipped: no device object");
        return kNotTaken;
    }
    // A device that another program holds open is skipped here.
    if (const IOReturn status = created->USBDeviceOpen(); status != kIOReturnSuccess) {
        ZELVIK_TRACE("device skipped: open failed, %s", nameOfIOReturn(status));
        // It may have been the printer asked for.
        if (openMode && mLastFailure == UsbFailure::noSuchPrinter) mLastFailure = UsbFailure::deviceNotOpened;
        return kNotTaken;
    }
    OpenedDevice device(std::move(created));

    std::uint16_t productID = 0;
    std::uint16_t vendorID = 0;
    if (device->GetDeviceProduct(&productID) != kIOReturnSuccess ||
        device->GetDeviceVendor(&vendorID) != kIOReturnSuccess) {
        ZELVIK_TRACE("device skipped: no vendor or product ID");
        return kNotTaken;
    }
    if (vendorID != kPrinterVendorID || (m_vendorID && *m_vendorID != vendorID)) {
        ZELVIK_TRACE("device %04x:%04x skipped: another vendor", vendorID, productID);
        return kNotTaken;
    }

    std::uint32_t locationID = 0;
    if (device->GetLocationID(&locationID) != kIOReturnSuccess) {
        ZELVIK_TRACE("device %04x:%04x skipped: no location ID", vendorID, productID);
        return kNotTaken;
    }
    if (m_locationID && *m_locationID != locationID) {
        ZELVIK_TRACE("device at %08x skipped: another location", locationID);
        return kNotTaken;
    }

    const std::optional<Dictionary> deviceID = requestDeviceName(device.get());
    const std::string* vendorName = deviceID ? deviceID->findString("MFG") : nullptr;
    const std::string* modelName = deviceID ? deviceID->findString("MDL") : nullptr;

    // Each candidate is named by its own serial number or none: one left by
    // an earlier candidate would let a command reach the wrong printer.
    m_serialNumber.reset();
    std::uint8_t serialIndex = 0;
    // Index 0 means the device has no serial-number string; asking for
    // string 0 would read the language table as if it were text.
    if (device->USBGetSerialNumberStringIndex(&serialIndex) == kIOReturnSuccess && serialIndex != 0) {
        std::array<std::uint8_t, kReplyBufferSize> text{};
        if (getStringDescriptor(device.get(), serialIndex, text.data(), static_cast<std::int32_t>(text.size()), 0) ==
            kIOReturnSuccess) {
            std::string serial(reinterpret_cast<const char*>(text.data()));
            if (isValidUTF8(serial)) m_serialNumber = std::move(serial);
        }
    }

    std::optional<std::string> uri =
        createDeviceURI(vendorName, modelName, m_serialNumber ? &*m_serialNumber : nullptr, locationID);
    if (!uri) {
        ZELVIK_TRACE("device at %08x skipped: no URI (device ID %s, serial number %s)", locationID,
                     deviceID ? "read" : "unreadable", m_serialNumber ? "read" : "none");
        return kNotTaken;
    }
    // URIs name the same printer only when equal character for character.
    if (openMode && *uri != *m_deviceURI) {
        ZELVIK_TRACE("device %s skipped: not the printer asked for", uri->c_str());
        return kNotTaken;
    }
    ZELVIK_TRACE("device %s taken", uri->c_str());

    m_vendorID = vendorID;
    m_productID = productID;
    if (vendorName) m_vendorName = *vendorName;
    else m_vendorName.reset();
    if (modelName) m_modelName = *modelName;
    else m_modelName.reset();
    mDeviceName = orUnknown(vendorName) + " " + orUnknown(modelName);
    m_deviceURI = std::move(*uri);

    if (!openMode) {
        // Identification only: the close status does not matter.
        device.close();
        return 0;
    }
    return selectInterface(device);
}

std::optional<Dictionary> KxUsbCommunicater::requestDeviceName(UsbDevice* device) {
    if (!device) return std::nullopt;

    // Cleared first, so bytes the device did not send never become text.
    std::array<std::uint8_t, kReplyBufferSize> reply{};
    zelvik::DeviceRequest request;
    request.bmRequestType = kRequestTypeClassInterfaceIn;
    request.bRequest = kPrinterGetDeviceID;
    request.wValue = 0;
    request.wIndex = 0;  // interface 0, alternate setting 0
    request.wLength = static_cast<std::uint16_t>(reply.size());
    request.pData = reply.data();
    if (device->DeviceRequest(request) != kIOReturnSuccess) return std::nullopt;

    // The big-endian length field counts itself. The text ends at the
    // length field, at the bytes actually received, at the buffer's last
    // byte and at a zero byte, whichever comes first.
    std::size_t end = (std::size_t{reply[0]} << 8) | reply[1];
    end = std::min<std::size_t>(end, kReplyBufferSize - 1);
    end = std::min<std::size_t>(end, request.wLenDone);
    std::string text;
    if (end > 2) {
        const auto* first = reinterpret_cast<const char*>(reply.data() + 2);
        const auto* last = reinterpret_cast<const char*>(reply.data() + end);
        text.assign(first, std::find(first, last, '\0'));
    }
    if (!isValidUTF8(text)) return std::nullopt;
    return dictionaryWithString(&text, ";", ":");
}

std::optional<Dictionary> KxUsbCommunicater::dictionaryWithString(const std::string* text, const std::string& separator,
                                                                  const std::string& andKeyValueSeparator) {
    if (!text) return std::nullopt;
    Dictionary pairs;
    for (std::string_view piece : split(*text, separator)) {
        const std::vector<std::string_view> parts = split(piece, andKeyValueSeparator);
        if (parts.size() < 2) continue;
        // A value ends at its first key-value separator; a repeated key
        // keeps its last value.
        pairs.set(std::string(parts[0]), Value(std::string(parts[1])));
    }
    return pairs;
}

std::optional<std::string> KxUsbCommunicater::createDeviceURI(const std::string* vendorName,
                                                              const std::string* modelName,
                                                              const std::string* deviceSerial,
                                                              std::uint32_t locationID) {
    std::string uri = "usb://" + orUnknown(vendorName) + "/" + orUnknown(modelName);
    if (deviceSerial) return uri + "?serial=" + *deviceSerial;
    if (locationID == 0) return std::nullopt;
    char hex[2 * sizeof locationID];
    const auto [end, error] = std::to_chars(hex, hex + sizeof hex, locationID, 16);
    (void)error;  // eight hex digits always fit
    return uri + "?location=" + std::string(hex, end);
}

std::optional<Dictionary> KxUsbCommunicater::makeInformationDictionary() const {
    if (!m_modelName || !m_serialNumber || !m_deviceURI) return std::nullopt;
    Dictionary information;
    information.set("modelName", Value(*m_modelName));
    information.set("serialNumber", Value(*m_serialNumber));
    information.set("deviceURI", Value(*m_deviceURI));
    return information;
}

IOReturn KxUsbCommunicater::getStringDescriptor(UsbDevice* device, std::uint8_t index, std::uint8_t* buffer,
                                                std::int32_t bufferSize, std::uint16_t languageID) {
    if (!buffer || bufferSize < 6) return kIOReturnBadArgument;
    if (!device) return kIOReturnBadArgument;
    std::memset(buffer, 0, static_cast<std::size_t>(bufferSize));

    std::array<std::uint8_t, kReplyBufferSize> work{};
    zelvik::DeviceRequest request;
    request.bmRequestType = kRequestTypeStandardDeviceIn;
    request.bRequest = kGetDescriptor;
    request.wValue = static_cast<std::uint16_t>((kDescriptorString << 8) | index);
    request.wIndex = languageID;
    request.pData = work.data();

    // The two-byte header tells the descriptor's length. Some devices
    // refuse so short a read; they are asked for the whole buffer instead,
    // and a short reply to that is expected.
    request.wLength = 2;
    IOReturn status = device->DeviceRequest(request);
    if (status != kIOReturnSuccess && status != kIOReturnOverrun) {
        work.fill(0);
        request.wLength = static_cast<std::uint16_t>(work.size());
        request.wLenDone = 0;
        status = device->DeviceRequest(request);
        if (status != kIOReturnSuccess && status != kIOReturnUnderrun) return status;
    }

    const std::uint8_t reportedLength = work[0];
    if (reportedLength == 0) return kIOReturnSuccess;
    if (work[1] != kDescriptorString) return kIOReturnDeviceError;

    std::memset(work.data(), 0, reportedLength);
    request.wLength = reportedLength;
    request.wLenDone = 0;
    status = device->DeviceRequest(request);
    if (status != kIOReturnSuccess) return status;
    if (work[1] != kDescriptorString) return kIOReturnDeviceError;

    // Only the bytes asked for (and cleared) belong to this reply: a body
    // that claims to be longer than its header said must not turn older
    // buffer contents into characters.
    std::size_t length = std::min<std::size_t>(work[0], reportedLength) & ~std::size_t{1};
    if (length < 4) return kIOReturnSuccess;

    const auto capacity = static_cast<std::size_t>(bufferSize);
    std::size_t written = 0;
    for (std::size_t at = 2; at + 1 < length; at += 2) {
        const auto unit = static_cast<std::uint16_t>(work[at] | (work[at + 1] << 8));
        if (unit == 0) break;
        std::uint8_t bytes[3];
        const auto count = static_cast<std::size_t>(utf16UnitToUTF8(unit, bytes));
        // Keep room for the terminating zero byte.
        if (written + count >= capacity) break;
        std::memcpy(buffer + written, bytes, count);
        written += count;
    }
    return kIOReturnSuccess;
}

int KxUsbCommunicater::utf16UnitToUTF8(std::uint16_t unit, std::uint8_t* out) {
    if (!out || unit == 0) return 0;
    if (unit <= 0x7F) {
        out[0] = static_cast<std::uint8_t>(unit);
        return 1;
    }
    if (unit <= 0x7FF) {
        out[0] = static_cast<std::uint8_t>(0xC0 | (unit >> 6));
        out[1] = static_cast<std::uint8_t>(0x80 | (unit & 0x3F));
        return 2;
    }
    // Surrogate halves are not paired: each becomes three bytes of its own,
    // which the serial-number check then refuses as not UTF-8.
    out[0] = static_cast<std::uint8_t>(0xE0 | (unit >> 12));
    out[1] = static_cast<std::uint8_t>(0x80 | ((unit >> 6) & 0x3F));
    out[2] = static_cast<std::uint8_t>(0x80 | (unit & 0x3F));
    return 3;
}

}  // namespace zelvik
