// SPDX-License-Identifier: Apache-2.0
// The description of one virtual printer: what a bus file's `device` element
// says, and what both players of a printer take: the in-process simulated
// bus (zelvik-sim) and the emulated kernel device of the umockdev tests.
// Tests may also fill one in directly, naming only what differs from a
// default printer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/Bytes.h"

namespace zelvik::sim {

enum class TransferType : std::uint8_t { Isochronous = 1, Bulk = 2, Interrupt = 3 };

// One endpoint descriptor.
struct EndpointDescription {
    std::uint8_t address = 0x01;  // endpoint number, | 0x80 for IN
    TransferType type = TransferType::Bulk;
    std::uint16_t maxPacketSize = 512;

    bool isIn() const { return (address & 0x80) != 0; }
    bool isBulk() const { return type == TransferType::Bulk; }
    // The bInterval the printer reports: none for bulk, every 4 frames for
    // interrupt, every frame for isochronous.
    std::uint8_t interval() const {
        switch (type) {
            case TransferType::Bulk: return 0;
            case TransferType::Interrupt: return 4;
            case TransferType::Isochronous: return 1;
        }
        return 0;
    }

    bool operator==(const EndpointDescription&) const = default;
};

// One alternate setting of one interface: its interface descriptor and its
// endpoint descriptors in the device's order.
struct InterfaceDescription {
    std::uint8_t number = 0;
    std::uint8_t alternateSetting = 0;
    std::uint8_t interfaceClass = 7;  // printer
    std::uint8_t subClass = 1;        // printers
    std::uint8_t protocol = 2;        // bidirectional
    std::vector<EndpointDescription> endpoints;
    // Whether the printer's own language (PJL, print data) is spoken on this
    // setting's bulk endpoints; none: a printer-class setting of protocol 1
    // or 2 speaks it, any other (IEEE 1284.4, IPP over USB, another class)
    // does not.
    std::optional<bool> pjl;

    bool speaksPJL() const { return pjl.value_or(interfaceClass == 7 && (protocol == 1 || protocol == 2)); }

    bool operator==(const InterfaceDescription&) const = default;
};

// Interface 0 of a printer that names none: one bidirectional printer
// setting with bulk OUT 0x01, bulk IN 0x82 and interrupt IN 0x83.
std::vector<InterfaceDescription> defaultInterfaces();

enum class IdleIn { Zlp, Nak };

// An answer to one request line (`to`), or to any PJL query nothing else
// answers (the default reply). An empty answer is silence.
struct Reply {
    std::string to;
    Bytes answer;
    std::optional<std::uint32_t> delayMs;  // none: the printer's answerDelayMs
};

// A status block the printer sends on its own: once, before its next
// answer, or every so many seconds. An empty block is the printer's device
// status ("@PJL USTATUS DEVICE" with its code, display and online state).
struct UnsolicitedStatus {
    Bytes block;
    std::optional<std::uint32_t> everySeconds;
};

// One device of a virtual bus (root `simulatedBus`, one `device` element
// per device; every child optional). Texts hold the bytes after the bus
// file's escapes were resolved.
struct VirtualPrinterConfig {
    // --- The device and its descriptors ------------------------------------------
    std::optional<std::uint16_t> vendorID;  // none: the served vendor
    std::uint16_t productID = 0x0001;
    std::optional<std::uint32_t> locationID;  // none: 0x01000000 + (n << 20); 0 allowed
    std::uint16_t usbVersion = 0x0200;        // bcdUSB
    std::uint8_t deviceClass = 0;             // per interface
    std::uint8_t maxPacketSize0 = 64;
    std::uint8_t configurationAttributes = 0xC0;  // self-powered
    // The printer class's GET_DEVICE_ID: the IEEE 1284 text (absent: the
    // request stalls), the length field sent with it, or the whole reply,
    // which wins over both.
    std::optional<std::string> deviceID;
    std::optional<std::uint16_t> deviceIDLength;
    std::optional<Bytes> deviceIDReply;
    // String descriptors as text (UTF-8, sent as UTF-16LE) or as raw bytes,
    // the raw bytes winning; either makes the string exist. Manufacturer,
    // product and serial number have the string indexes 1, 2 and 3.
    std::optional<std::string> manufacturer;
    std::optional<Bytes> manufacturerDescriptor;
    std::optional<std::string> product;
    std::optional<Bytes> productDescriptor;
    std::optional<std::string> serialNumber;
    std::optional<Bytes> serialDescriptor;
    bool heldOpen = false;              // opening the device fails
    bool interfaceHeldOpen = false;     // claiming interface 0 fails
    std::uint8_t alternateSetting = 0;  // interface 0's setting now
    bool refuseSetInterface = false;    // interface 0 stalls SET_INTERFACE
    bool stallGetInterface = false;     // and GET_INTERFACE
    // The interface settings in the device's order.
    std::vector<InterfaceDescription> interfaces = defaultInterfaces();

    // --- What the printer answers -------------------------------------------------------
    Bytes pendingAnswer;          // readable before anything is written
    std::optional<Bytes> answer;  // the answer to every write, instead of all below
    std::vector<Reply> replies;   // answers to request lines, before the built-in ones
    std::optional<Reply> defaultReply;
    std::uint32_t answerDelayMs = 0;
    IdleIn idleIn = IdleIn::Zlp;

    // --- How it takes data, and its faults -------------------------------------------------
    std::optional<std::uint64_t> acceptBytesPerSecond;  // 0: takes nothing at all
    // Every bulk OUT byte the printer receives is appended; a capture that
    // cannot be written (cannot be opened, a write fails) halts bulk OUT
    // instead of taking data it cannot record.
    std::optional<std::string> captureFile;
    // Paper out: after this many bytes bulk OUT takes nothing more (NAK),
    // without a halt.
    std::optional<std::uint64_t> stopTakingAfterBytes;
    std::optional<std::uint64_t> failWriteAfterBytes;
    // The device leaves the bus once this many bytes were received.
    std::optional<std::uint64_t> disconnectAfterBytes;
    // Faults of one bulk IN transfer of the printer, counted from 1 over its
    // life (a transfer ends with data, a zero-length packet or a stall): the
    // Nth halts its endpoint, or the device leaves the bus as it starts. No
    // bus file sets them.
    std::optional<unsigned> stallReadAt;
    std::optional<unsigned> disconnectAtRead;

    // --- Its state, as PJL tells it --------------------------------------------------------
    std::uint64_t pageCount = 0;
    std::uint32_t statusCode = 10001;  // INFO STATUS and USTATUS
    std::string statusDisplay = "Ready";
    bool online = true;
    std::vector<UnsolicitedStatus> unsolicitedStatus;

    // The comments of the device element, in order: a recording's notes
    // (the print jobs it saw, by size). A description read and written
    // again keeps them.
    std::vector<std::string> notes;

    // Called with the bytes received so far whenever the printer took some;
    // a test changes the file being sent from here, at a known point of the
    // job. No bus file sets it.
    std::function<void(std::uint64_t)> onReceived;
};

// --- What a description says on the bus ---------------------------------------------

// A string descriptor of a text: its characters as UTF-16LE units (a
// three-byte form of a surrogate half is kept as that unit, a byte that
// starts no valid UTF-8 sequence becomes U+FFFD), as many as bLength allows.
Bytes stringDescriptor(const std::string& text);
// A string given as raw descriptor bytes or as text (the raw bytes win);
// none when neither is given.
std::optional<Bytes> stringDescriptorOf(const std::optional<Bytes>& raw, const std::optional<std::string>& text);
// The printer's whole reply to GET_DEVICE_ID (a request's wLength cuts
// it); none: the request stalls.
std::optional<Bytes> deviceIDReplyOf(const VirtualPrinterConfig& printer);

// A request line as the printer matches replies to it: what follows the
// universal exit sequences in front (requestLine), then in upper case with
// each run of blanks one blank and none at either end (requestKey).
std::string requestLine(const std::string& line);
std::string requestKey(const std::string& line);

// The lines a printer takes from what is written to it, one write after
// another: up to a line feed, a carriage return before it left out; a line
// that outgrows any PJL command is print data, and no line.
class LineAssembler {
public:
    std::vector<std::string> feed(std::span<const std::uint8_t> bytes);

private:
    std::string mLine;
    bool mTooLong = false;
};

// A value of an IEEE 1284 device ID text, read as the helper reads it:
// pairs split at ";", key and value at ":", a value ending at its next
// ":", the last pair of a key winning; none when no pair has the key.
std::optional<std::string> deviceIDValue(const std::string& text, const std::string& key);

// What the helper makes of a described printer, by its rules (README,
// "Device URIs"): the device ID text as it reads it (none when the request
// stalls, or the text is not UTF-8), the names in it, the serial number
// (none without a serial string, or one that is not text) and the URI that
// names the printer (none without a serial number or a location ID).
struct PrinterIdentity {
    std::optional<std::string> deviceIDText;
    std::optional<std::string> vendorName, modelName;
    std::optional<std::string> serialNumber;
    std::optional<std::string> deviceURI;
};
PrinterIdentity identityOf(const VirtualPrinterConfig& printer);

// The vendor ID the program was built to serve.
std::uint16_t servedVendorID();
// The location ID of the n-th device of a bus (from 1) that names none.
std::uint32_t defaultLocationID(std::size_t n);
// Gives every device without a vendor or location ID the bus defaults.
void applyBusDefaults(std::vector<VirtualPrinterConfig>& printers);

}  // namespace zelvik::sim
