// SPDX-License-Identifier: Apache-2.0
// A virtual USB printer: the one model of printer behaviour behind both ways
// of reaching a printer without hardware, the in-process simulated bus
// (SimulatedUsbAccess) and the emulated kernel device of the umockdev tests.
//
// The model is transport-agnostic and never blocks: every call takes the
// current time and says what the printer does at that moment, and when
// something will change (an answer becoming readable, the throughput limit
// letting more bytes in). The transports do the waiting and the time-outs.
// A model is used from one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/Bytes.h"

namespace zelvik::sim {

using Clock = std::chrono::steady_clock;

enum class EndpointKind { BulkIn, BulkOut, InterruptIn, InterruptOut };

struct EndpointConfig {
    EndpointKind kind = EndpointKind::BulkOut;
    std::uint16_t maxPacketSize = 512;
};

enum class IdleIn { Zlp, Nak };

// An interface of a multifunction printer besides the printer interface 0.
// Each has one alternate setting with a bulk OUT and a bulk IN endpoint,
// numbered from 15 downward (interface 1: 0x0F and 0x8F, interface 2: 0x0E
// and 0x8E, ...), so they never clash with interface 0's.
enum class OtherInterface {
    MassStorage,  // a memory-card reader (class 8)
    Printer,      // a second printer-class interface (class 7)
    Vendor,       // vendor-specific (class 0xFF)
};
inline constexpr std::size_t kMostOtherInterfaces = 4;

// The endpoints a printer has when its bus file names none.
std::vector<EndpointConfig> defaultEndpoints();

// One device of the virtual bus file (root `simulatedBus`, one `device`
// element per device; every child optional). Texts hold the bytes after the
// bus file's escapes were resolved.
struct VirtualPrinterConfig {
    std::optional<std::uint16_t> vendorID;  // none: the served vendor
    std::uint16_t productID = 0x0001;
    std::optional<std::uint32_t> locationID;      // none: 0x01000000 + (n << 20); 0 allowed
    std::optional<std::string> deviceID;          // IEEE 1284 text; absent: request stalls
    std::optional<std::uint16_t> deviceIDLength;  // overrides the length field
    std::optional<std::string> serialNumber;      // UTF-8, sent as UTF-16LE
    std::optional<Bytes> serialDescriptor;        // raw descriptor bytes; wins over serialNumber
    bool heldOpen = false;                        // opening the device fails
    bool interfaceHeldOpen = false;               // claiming interface 0 fails
    std::uint8_t alternateSetting = 0;            // current alternate setting
    bool refuseSetInterface = false;
    bool stallGetInterface = false;
    // Endpoints of every alternate setting but 1 when alternateEndpoints is
    // given; empty: no endpoints at all.
    std::vector<EndpointConfig> endpoints = defaultEndpoints();
    // Endpoints of alternate setting 1 where they differ from `endpoints`.
    std::optional<std::vector<EndpointConfig>> alternateEndpoints;
    // Interfaces 1, 2, ... in this order.
    std::vector<OtherInterface> otherInterfaces;
    Bytes pendingAnswer;          // readable before anything is written
    std::optional<Bytes> answer;  // the answer to every write
    std::uint32_t answerDelayMs = 0;
    IdleIn idleIn = IdleIn::Zlp;
    std::optional<std::uint64_t> acceptBytesPerSecond;  // 0: takes nothing at all
    // Every bulk OUT byte is appended; a capture that cannot be written
    // (cannot be opened, a write fails) halts bulk OUT instead of taking
    // data it cannot record.
    std::optional<std::string> captureFile;
    // Paper out: after this many bytes bulk OUT takes nothing more (NAK),
    // without a halt.
    std::optional<std::uint64_t> stopTakingAfterBytes;
    std::optional<std::uint64_t> failWriteAfterBytes;
    // The device leaves the bus once this many bytes were received.
    std::optional<std::uint64_t> disconnectAfterBytes;
    // Faults of one bulk IN transfer, counted from 1 over the printer's
    // life (a transfer ends with data, a zero-length packet or a stall): the
    // Nth halts bulk IN, or the device leaves the bus as it starts.
    std::optional<unsigned> stallReadAt;
    std::optional<unsigned> disconnectAtRead;
    std::uint64_t pageCount = 0;
    // Called with the bytes received so far whenever bulk OUT took some; a
    // test changes the file being sent from here, at a known point of the
    // job. No bus file sets it.
    std::function<void(std::uint64_t)> onReceived;
};

// The vendor ID the program was built to serve.
std::uint16_t servedVendorID();
// The location ID of the n-th device of a bus (from 1) that names none.
std::uint32_t defaultLocationID(std::size_t n);
// Gives every device without a vendor or location ID the bus defaults.
void applyBusDefaults(std::vector<VirtualPrinterConfig>& printers);

// Reads a virtual bus file; an unreadable or malformed file is an empty bus.
// The devices come back with the bus defaults applied.
std::vector<VirtualPrinterConfig> loadSimulatedBus(const std::string& path);
std::vector<VirtualPrinterConfig> parseSimulatedBus(const Bytes& xml);

// The text escapes of the bus file (\r \n \f \e \\ \xNN) made into bytes.
// A backslash that starts no such escape stands for itself.
Bytes unescapeBusText(const std::string& text);

class VirtualPrinter {
public:
    explicit VirtualPrinter(VirtualPrinterConfig config, Clock::time_point start = Clock::now());
    ~VirtualPrinter();
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    const VirtualPrinterConfig& config() const { return mConfig; }

    // --- Identity and descriptors -------------------------------------------
    std::uint16_t vendorID() const;  // the configured or served vendor
    // 0 when the printer has no serial-number string.
    std::uint8_t serialNumberStringIndex() const;
    Bytes deviceDescriptor() const;         // 18 bytes
    Bytes configurationDescriptor() const;  // with every alternate setting
    std::uint8_t alternateSettingCount() const;
    // 1 + the other interfaces.
    std::uint8_t interfaceCount() const;
    // The endpoint number both endpoints of other interface `number` (1..)
    // carry.
    static std::uint8_t otherInterfaceEndpointNumber(std::uint8_t number) {
        return static_cast<std::uint8_t>(16 - number);
    }
    std::uint8_t currentAlternateSetting() const { return mAlternateSetting; }
    // The endpoints of one alternate setting, in pipe-reference order;
    // endpoint numbers are the 1-based positions.
    const std::vector<EndpointConfig>& endpointsOf(std::uint8_t alternateSetting) const;
    // The endpoint address (number | 0x80 for IN) of a pipe reference of the
    // current alternate setting; 0 when there is no such pipe.
    std::uint8_t endpointAddress(std::uint8_t pipeRef) const;

    // --- The default pipe ----------------------------------------------------
    // One control request as the device sees it. On success `length` bytes
    // of the IN data stage were written to `data` (at most wLength).
    struct ControlResult {
        bool stalled = false;
        std::uint32_t length = 0;
    };
    ControlResult control(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue, std::uint16_t wIndex,
                          std::uint16_t wLength, std::uint8_t* data, Clock::time_point now = Clock::now());

    // Every control request received, oldest first, for tests to inspect.
    struct ControlRecord {
        std::uint8_t bmRequestType, bRequest;
        std::uint16_t wValue, wIndex, wLength;
    };
    const std::vector<ControlRecord>& controlLog() const { return mControlLog; }

    // Halt state of an endpoint address, set by faults, cleared by
    // CLEAR_FEATURE(ENDPOINT_HALT) or a host-side clear.
    bool isHalted(std::uint8_t endpointAddress) const;
    void clearHalt(std::uint8_t endpointAddress);
    // Halts an endpoint as a fault of the printer would.
    void haltEndpoint(std::uint8_t endpointAddress);

    // True once the device left the bus (disconnectAfterBytes); from then on
    // it answers nothing and takes nothing.
    bool disconnected() const { return mDisconnected; }

    // --- Bulk OUT ---------------------------------------------------------------
    // Offers the rest of one OUT transfer. `accepted` bytes were taken now
    // (all of them, or fewer under the throughput limit: offer the rest
    // again at `retryAt`). When the whole transfer has been taken (a
    // zero-length one at once) `complete` is set; that is what a PJL answer
    // or `answer` responds to. `stalled`: the pipe halted, nothing more is
    // taken until the halt is cleared.
    struct WriteResult {
        std::size_t accepted = 0;
        bool complete = false;
        bool stalled = false;
        Clock::time_point retryAt{};
    };
    WriteResult writeBulk(std::span<const std::uint8_t> rest, Clock::time_point now = Clock::now());

    // --- Bulk IN ----------------------------------------------------------------
    enum class ReadKind {
        Data,        // `bytes` hold 1..max bytes
        ZeroLength,  // completes now with no data
        Nothing,     // NAK: nothing to send before `readyAt` (max(): never)
        Stalled,
    };
    struct ReadResult {
        ReadKind kind = ReadKind::Nothing;
        Bytes bytes;
        Clock::time_point readyAt = Clock::time_point::max();
    };
    ReadResult readBulk(std::size_t max, Clock::time_point now = Clock::now());

    std::uint64_t bytesReceived() const { return mBytesReceived; }
    // Answer bytes queued and not read yet, readable now or later.
    std::size_t queuedAnswerBytes() const;

private:
    // Appends to the capture file, if any; the bytes written (all of them
    // without a capture file).
    std::size_t capture(std::span<const std::uint8_t> bytes);
    void receive(std::span<const std::uint8_t> bytes, Clock::time_point now);
    void answerLine(const std::string& received, Clock::time_point now);
    void queueAnswer(Bytes bytes, Clock::time_point readyAt);
    std::uint8_t bulkOutAddress() const;
    std::uint8_t bulkInAddress() const;

    VirtualPrinterConfig mConfig;
    std::uint8_t mAlternateSetting = 0;
    std::vector<std::uint8_t> mHalted;  // halted endpoint addresses
    std::vector<ControlRecord> mControlLog;

    struct Pending {
        Clock::time_point readyAt;
        Bytes bytes;
    };
    std::deque<Pending> mAnswers;
    std::string mLine;          // the PJL line being received
    bool mLineTooLong = false;  // the line outgrew any PJL command
    std::uint64_t mBytesReceived = 0;
    unsigned mReadsEnded = 0;  // bulk IN transfers ended so far
    double mOutCredit = 0;     // bytes the throughput limit allows now
    Clock::time_point mCreditAt{};
    int mCaptureFd = -1;
    bool mDisconnected = false;
};

}  // namespace zelvik::sim
